#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${LARKPOST_TEST_BUILD:-build/test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLARKPOST_SANITIZE=ON -DLARKPOST_WERROR=ON >/dev/null
# Every #include between our files must follow the target graph the CMake files declare.
python3 scripts/check-includes.py "$build"
cmake --build "$build"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
# Each fuzz target briefly, from its seed corpus, so a parser regression fails here too.
# A fixed seed keeps this short run repeatable; scripts/fuzz.sh alone explores afresh.
LARKPOST_FUZZ_SEED=${LARKPOST_FUZZ_SEED:-1} bash scripts/fuzz.sh "${LARKPOST_FUZZ_SECONDS:-20}"
