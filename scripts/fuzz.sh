#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang (libFuzzer, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and runs each for SECONDS (default 60), one after the other, starting from its seed
# corpus. Without clang or libFuzzer it says so and does nothing.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]      e.g. scripts/fuzz.sh 1800 fuzz_address
#
# New interesting inputs go to build/fuzz/corpus/<target>/, crashes, leaks and timeouts to
# build/fuzz/findings/<target>/ (keep a finding as a test of the module it hit). A finding makes
# the script fail. LARKPOST_FUZZ_TIMEOUT sets the seconds one input may take (default 25; the
# address splitter: 1). LARKPOST_FUZZ_SEED fixes libFuzzer's random seed (default: a new one
# each run), so a short run in the test command explores the same inputs every time.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true

cxx=$(command -v clang++ || command -v clang++-14 || true)
cc=$(command -v clang || command -v clang-14 || true)
if [ -z "$cxx" ] || [ -z "$cc" ] || [ ! -e "$("$cxx" -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]; then
  echo "fuzz: skipped (clang with libFuzzer not found; scripts/install-deps.sh installs it)"
  exit 0
fi

build=${LARKPOST_FUZZ_BUILD:-build/fuzz}
CC=$cc CXX=$cxx cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLARKPOST_FUZZ=ON \
  -DLARKPOST_TESTS=OFF -DLARKPOST_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzzers >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for dir in fuzz/*/; do
    name=$(basename "$dir")
    targets+=("fuzz_$name")
  done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=0
for target in "${targets[@]}"; do
  name=${target#fuzz_}
  corpus="$build/corpus/$name"
  findings="$build/findings/$name"
  mkdir -p "$corpus" "$findings"
  timeout=${LARKPOST_FUZZ_TIMEOUT:-25}
  extra=()
  if [ "$name" = address ]; then
    timeout=${LARKPOST_FUZZ_TIMEOUT:-1}
    extra+=(-max_len=65536)
  fi
  if [ -n "${LARKPOST_FUZZ_SEED:-}" ]; then extra+=(-seed="$LARKPOST_FUZZ_SEED"); fi
  echo "fuzz: $target for ${seconds}s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout="$timeout" -rss_limit_mb=2048 \
      -report_slow_units=1 -print_final_stats=1 -artifact_prefix="$findings/" "${extra[@]}" \
      "$corpus" "fuzz/$name/corpus" >"$build/$name.log" 2>&1; then
    echo "fuzz: $target found a fault; see $build/$name.log and $findings/" >&2
    grep -E "ERROR|SUMMARY|runtime error|Test unit written" "$build/$name.log" | head -20 >&2 || true
    failed=1
  fi
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb|Slowest unit" "$build/$name.log" | sed "s/^/  /" || true
done
exit $failed
