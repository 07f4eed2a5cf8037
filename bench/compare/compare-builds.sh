#!/usr/bin/env bash
# Times two builds of larkpost against each other on the same data, their runs alternated so
# that the machine's noise falls on both alike: backup of a store (into .bak, .xml and an
# encrypted .bak), restore into an empty store and again into the same one, conversions between
# .bak, .xml and .zip, and a merge of a .bak and an .xml.
#
#   bench/compare/compare-builds.sh OLD_LARKPOST NEW_LARKPOST [MESSAGES] [ROUNDS]
#
# Works in a fresh folder below $LARKPOST_COMPARE_DIR (default /dev/shm, so that the flushes of
# the disk do not hide the programs' own work); LARKPOST_COMPARE_STEPS names the steps to time
# (default: all of them). Prints, per step, the median wall time of each
# build and their ratio (new / old).
set -euo pipefail
old=${1:?usage: compare-builds.sh OLD NEW [MESSAGES] [ROUNDS]}
new=${2:?usage: compare-builds.sh OLD NEW [MESSAGES] [ROUNDS]}
messages=${3:-100000}
rounds=${4:-5}
here=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${LARKPOST_COMPARE_DIR:-/dev/shm}/larkpost-compare.XXXXXX")
trap 'rm -rf "$work"' EXIT

bash "$here/scripts/sample-messages.sh" "$messages" > "$work/messages.ndjson"
# The older build makes the store: a newer one reads an older store's layout as it is, but not
# the other way round.
"$old" --store "$work/source.db" store load "$work/messages.ndjson" > /dev/null

seconds() {  # runs the command, prints its wall time in seconds
  local start end
  start=$(date +%s%N)
  "$@" > /dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  end=$(date +%s%N)
  awk -v ns=$((end - start)) 'BEGIN { printf "%.4f\n", ns / 1e9 }'
}

step() {  # step NAME BINARY WHICH: one timed run of the step with that binary (old or new)
  local name=$1 bin=$2 which=$3 dir
  dir=$(mktemp -d "$work/step.XXXXXX")
  case $name in
    backup) seconds "$bin" --store "$work/source.db" backup --force "$dir/b.bak" ;;
    restore-empty)
      "$bin" --store "$dir/r.db" store init > /dev/null
      seconds "$bin" --store "$dir/r.db" restore --yes "$work/ref.bak" ;;
    # Each build into its own copy of the store: a newer one may upgrade the store's layout.
    restore-again) seconds "$bin" --store "$work/again-$which.db" restore --yes "$work/ref.bak" ;;
    bak-to-xml) seconds "$bin" convert "$work/ref.bak" "$dir/c.xml" ;;
    xml-to-bak) seconds "$bin" convert "$work/ref.xml" "$dir/c.bak" ;;
    bak-to-zip) seconds "$bin" convert "$work/ref.bak" "$dir/c.zip" ;;
    backup-xml) seconds "$bin" --store "$work/source.db" backup --force "$dir/b.xml" ;;
    backup-age)
      seconds "$bin" --store "$work/source.db" backup --force --encrypt-to "$recipient" "$dir/b.bak.age" ;;
    merge) seconds "$bin" merge "$dir/m.bak" "$work/ref.bak" "$work/ref.xml" ;;
  esac
  rm -rf "$dir"
}

"$new" --store "$work/source.db" backup "$work/ref.bak" > /dev/null
"$new" convert "$work/ref.bak" "$work/ref.xml" > /dev/null
recipient=$("$new" keygen | sed -n 's/^# public key: //p')
cp "$work/source.db" "$work/again-old.db"
cp "$work/source.db" "$work/again-new.db"

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

printf "%-14s %10s %10s %8s   (%s messages, %s rounds)\n" step old_s new_s new/old "$messages" "$rounds"
for name in ${LARKPOST_COMPARE_STEPS:-backup restore-empty restore-again bak-to-xml xml-to-bak bak-to-zip backup-xml backup-age merge}; do
  : > "$work/old.times"
  : > "$work/new.times"
  for ((i = 0; i < rounds; i++)); do
    step "$name" "$old" old >> "$work/old.times"
    step "$name" "$new" new >> "$work/new.times"
  done
  o=$(median < "$work/old.times")
  n=$(median < "$work/new.times")
  awk -v s="$name" -v o="$o" -v n="$n" 'BEGIN { printf "%-14s %10.3f %10.3f %8.3f\n", s, o, n, n / o }'
done
