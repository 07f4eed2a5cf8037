#!/usr/bin/env bash
# Installs what is missing, builds larkpost, and runs a real backup and restore on a demo store
# made from samples/demo-store.ndjson. Everything happens in a temporary folder; your own message
# store is never touched. Set LARKPOST_DEMO_KEEP=1 to keep the folder.
set -euo pipefail
cd "$(dirname "$0")/.."
# The command-line program alone: its packages only, no Qt, tests or benchmarks.
bash scripts/install-deps.sh --cli
build=${LARKPOST_BUILD:-build/cli}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLARKPOST_TESTS=OFF \
  -DLARKPOST_BENCH=OFF -DLARKPOST_GUI=OFF >/dev/null
cmake --build "$build" --target larkpost
larkpost=$(pwd)/$build/src/cli/larkpost
sample=$(pwd)/samples/demo-store.ndjson

work=$(mktemp -d "${TMPDIR:-/tmp}/larkpost-demo.XXXXXX")
if [[ ${LARKPOST_DEMO_KEEP:-0} == 1 ]]; then
  trap 'echo; echo "Demo files kept in $work"' EXIT
else
  trap 'rm -rf "$work"' EXIT
fi
cd "$work"
step() { printf '\n== %s\n' "$*"; }

step "Demo store demo.db from samples/demo-store.ndjson"
"$larkpost" --store demo.db store load "$sample"
"$larkpost" --store demo.db store list

step "Backup of all folders to demo.bak, and a plain-text export demo.txt"
# One message holds a check mark, which Windows-1252 (the default code page of .bak files) lacks:
# the backup is written all the same, then warns that one character became "?" and exits 3.
status=0
"$larkpost" --store demo.db backup --force demo.bak || status=$?
if [[ $status != 3 || ! -f demo.bak ]]; then
  echo "expected demo.bak and the warning about the check mark (exit status 3), got $status" >&2
  exit 1
fi
"$larkpost" --store demo.db backup --force demo.txt || [[ $? == 3 ]]  # the same check mark, the same warning
echo "demo.bak: $(stat -c %s demo.bak) bytes; first block of demo.txt (Windows-1252, shown as UTF-8):"
iconv -f WINDOWS-1252 -t UTF-8 demo.txt | head -n 6 | sed 's/\r$//; s/^/    /'
echo "    ..."
echo "The one character outside Windows-1252 (a check mark) is written as '?':"
iconv -f WINDOWS-1252 -t UTF-8 demo.txt | grep -F 'Gift sorted' | sed 's/\r$//; s/^/    /'

step "Verify demo.bak (digest and every record)"
"$larkpost" verify demo.bak

step "Restore demo.bak into a fresh store restored.db"
"$larkpost" --store restored.db store init > /dev/null
"$larkpost" --store restored.db restore --yes demo.bak

step "Restore the same file again: nothing is added twice"
"$larkpost" --store restored.db restore --yes demo.bak
"$larkpost" --store restored.db store list | tail -n 1

step "Compare: dump both stores and diff them"
"$larkpost" --store demo.db store dump original.ndjson
"$larkpost" --store restored.db store dump restored.ndjson
# The check mark cannot travel through a Windows-1252 backup; it comes back as '?'.
sed 's/\xE2\x9C\x93/?/g' original.ndjson > expected.ndjson
if diff -u expected.ndjson restored.ndjson; then
  echo "The restored store equals the original ($(wc -l < restored.ndjson) messages; the check mark became '?')."
else
  echo "The restored store differs from the original." >&2
  exit 1
fi

step "The way out the warning names: UTF-8 (--codepage 65001) keeps every character"
"$larkpost" --codepage 65001 --store demo.db backup --force demo-utf8.bak
"$larkpost" --store restored-utf8.db store init > /dev/null
"$larkpost" --codepage 65001 --store restored-utf8.db restore --yes demo-utf8.bak
"$larkpost" --store restored-utf8.db store dump restored-utf8.ndjson
if diff -u original.ndjson restored-utf8.ndjson; then
  echo "The restored store equals the original exactly, check mark included."
else
  echo "The UTF-8 round trip differs from the original." >&2
  exit 1
fi
