#!/usr/bin/env bash
# Kills `store load` with SIGKILL at random moments and checks, every time, that the store is
# sound (PRAGMA integrity_check), holds no message without all its recipients, and that a rerun
# of the same load leaves exactly the store a single clean load gives: each message of the file
# once, none missing, none half made. The rerun must say how many it added and how many were
# there already, together the file's messages. Odd rounds start from an empty store, so the kill
# lands while the store fills; even rounds go on in the store the round before left, so a kill
# can also land in a rerun.
#
#   scripts/crash-load.sh [ROUNDS] [MESSAGES]     (default 20 rounds, 20,000 messages)
#
# LARKPOST names the program (default build/release/src/cli/larkpost). The test command runs it
# at a small scale; run it by hand at a large one, e.g. `scripts/crash-load.sh 50 100000`.
set -euo pipefail
rounds=${1:-20}
messages=${2:-20000}
larkpost=${LARKPOST:-$(dirname "$0")/../build/release/src/cli/larkpost}
[ -x "$larkpost" ] || { echo "crash-load: no program at $larkpost (set LARKPOST)" >&2; exit 1; }
command -v sqlite3 > /dev/null || { echo "crash-load: needs the sqlite3 shell" >&2; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/larkpost-crash-load.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() { echo "crash-load: round $1: $2" >&2; exit 1; }
now_ms() { date +%s%3N; }
sound() {
  [ "$(sqlite3 "$1" 'PRAGMA integrity_check')" = ok ] || fail "$2" "integrity_check fails"
  # Every message of the file has one recipient: one in sight without it is half made.
  local bare
  bare=$(sqlite3 "$1" 'SELECT count(*) FROM messages m WHERE m.folder_id > 0 AND NOT EXISTS
                       (SELECT 1 FROM recipients r WHERE r.message_id = m.id)')
  [ "$bare" = 0 ] || fail "$2" "$bare messages without their recipients"
}

"$(dirname "$0")/sample-messages.sh" "$messages" > "$work/messages.ndjson"
lines=$(wc -l < "$work/messages.ndjson")

start=$(now_ms)
"$larkpost" --store "$work/clean.db" store load "$work/messages.ndjson" > /dev/null
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
  "$larkpost" --store "$store" store load "$work/messages.ndjson" > /dev/null 2>&1 &
  pid=$!
  sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
  if kill -9 "$pid" 2> /dev/null; then killed=$((killed + 1)); fi
  wait "$pid" 2> /dev/null || true
  sound "$store" "$round"
  out=$("$larkpost" --store "$store" store load "$work/messages.ndjson") ||
    fail "$round" "the rerun failed"
  added=$(sed -n 's/^Loaded \([0-9]*\) messages\{0,1\} into .*/\1/p' <<< "$out")
  present=$(sed -n 's/^Already present, not loaded again: \([0-9]*\)$/\1/p' <<< "$out")
  [ -n "$added" ] && [ $((added + ${present:-0})) = "$lines" ] ||
    fail "$round" "the rerun did not account for the file's $lines messages: $out"
  sound "$store" "$round"
  "$larkpost" --store "$store" store dump "$work/crashed.ndjson"
  cmp -s "$work/clean.ndjson" "$work/crashed.ndjson" ||
    fail "$round" "the store differs from a clean load's ($(wc -l < "$work/crashed.ndjson")\
 messages, $(wc -l < "$work/clean.ndjson") expected)"
done
echo "crash-load: $rounds rounds ($killed killed mid-run) of a $messages-message load" \
     "(${duration} ms each): every rerun completed the store exactly"
