#!/usr/bin/env bash
# Kills restores with SIGKILL at random moments and checks, every time, that the store is sound
# (PRAGMA integrity_check) and that a rerun of the restore leaves exactly the store a single
# clean restore gives: no message twice, none missing, none half made. Odd rounds start from an
# empty store, so the kill lands while the store fills; even rounds go on in the store the round
# before left, so a kill can also land in a rerun.
#
#   scripts/crash-restore.sh [ROUNDS] [MESSAGES]     (default 20 rounds, 20,000 messages)
#
# LARKPOST names the program (default build/release/src/cli/larkpost). The test command runs it
# at a small scale; run it by hand at a large one, e.g. `scripts/crash-restore.sh 50 20000`.
set -euo pipefail
rounds=${1:-20}
messages=${2:-20000}
larkpost=${LARKPOST:-$(dirname "$0")/../build/release/src/cli/larkpost}
[ -x "$larkpost" ] || { echo "crash-restore: no program at $larkpost (set LARKPOST)" >&2; exit 1; }
command -v sqlite3 > /dev/null || { echo "crash-restore: needs the sqlite3 shell" >&2; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/larkpost-crash-restore.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() { echo "crash-restore: round $1: $2" >&2; exit 1; }
now_ms() { date +%s%3N; }
sound() {
  [ "$(sqlite3 "$1" 'PRAGMA integrity_check')" = ok ] || fail "$2" "integrity_check fails"
}

# A store of MESSAGES messages in the standard folders and subfolders.
"$(dirname "$0")/sample-messages.sh" "$messages" > "$work/messages.ndjson"
"$larkpost" --store "$work/source.db" store load "$work/messages.ndjson" > /dev/null
"$larkpost" --store "$work/source.db" backup "$work/all.bak" > /dev/null

"$larkpost" --store "$work/clean.db" store init > /dev/null
start=$(now_ms)
"$larkpost" --store "$work/clean.db" restore --yes "$work/all.bak" > /dev/null
duration=$(( $(now_ms) - start ))
"$larkpost" --store "$work/clean.db" store dump "$work/clean.ndjson"

store=$work/crashed.db
killed=0
for round in $(seq 1 "$rounds"); do
  if [ $((round % 2)) = 1 ]; then
    rm -f "$store" "$store-wal" "$store-shm"
    "$larkpost" --store "$store" store init > /dev/null
  fi
  delay_ms=$(( RANDOM % (duration + 1) ))
  "$larkpost" --store "$store" restore --yes "$work/all.bak" > /dev/null 2>&1 &
  pid=$!
  sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
  if kill -9 "$pid" 2> /dev/null; then killed=$((killed + 1)); fi
  wait "$pid" 2> /dev/null || true
  sound "$store" "$round"
  "$larkpost" --store "$store" restore --yes "$work/all.bak" > /dev/null ||
    fail "$round" "the rerun failed"
  sound "$store" "$round"
  "$larkpost" --store "$store" store dump "$work/crashed.ndjson"
  cmp -s "$work/clean.ndjson" "$work/crashed.ndjson" ||
    fail "$round" "the store differs from a clean restore's" \
         "($(wc -l < "$work/crashed.ndjson") messages, $(wc -l < "$work/clean.ndjson") expected)"
done
echo "crash-restore: $rounds rounds ($killed killed mid-run) of a $messages-message restore" \
     "(${duration} ms each): every rerun completed the store exactly"
