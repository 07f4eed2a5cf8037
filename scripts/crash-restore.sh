#!/usr/bin/env bash
# Kills restores with SIGKILL at random moments and checks, every time, that the store is sound
# (PRAGMA integrity_check) and that a rerun of the restore leaves exactly the store a single
# clean restore gives: no message twice, none missing, none half made. Odd rounds start from an
# empty store, so the kill lands while the store fills; even rounds go on in the store the round
# before left, so a kill can also land in a rerun.
#
#   scripts/crash-restore.sh [ROUNDS] [MESSAGES] [MULTIMEDIA]
#                            (default 20 rounds, 20,000 messages, 0 multimedia messages)
#
# With MULTIMEDIA, as many rounds again restore a phone XML of that many multimedia messages (a
# group chat of four, a picture each, the same picture in every tenth) and 50 call entries, as
# the app writes it; a rerun must leave the store a clean restore gives, as its XML backup shows.
#
# LARKPOST names the program (default build/release/src/cli/larkpost). The test command runs it
# at a small scale; run it by hand at a large one, e.g. `scripts/crash-restore.sh 50 20000`.
set -euo pipefail
rounds=${1:-20}
messages=${2:-20000}
multimedia=${3:-0}
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
# One round NUMBER [LABEL]: the restore of INPUT killed at a random moment (in a fresh store every other round),
# then run again to its end; the store must be sound after each.
crash_round() {
  local number=$1 input=$2 round=${3:-$1}
  if [ $((number % 2)) = 1 ]; then
    rm -f "$store" "$store-wal" "$store-shm"
    "$larkpost" --store "$store" store init > /dev/null
  fi
  delay_ms=$(( RANDOM % (duration + 1) ))
  "$larkpost" --store "$store" restore --yes "$input" > /dev/null 2>&1 &
  pid=$!
  sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
  if kill -9 "$pid" 2> /dev/null; then killed=$((killed + 1)); fi
  wait "$pid" 2> /dev/null || true
  sound "$store" "$round"
  "$larkpost" --store "$store" restore --yes "$input" > /dev/null || fail "$round" "the rerun failed"
  sound "$store" "$round"
}
for round in $(seq 1 "$rounds"); do
  crash_round "$round" "$work/all.bak"
  "$larkpost" --store "$store" store dump "$work/crashed.ndjson"
  cmp -s "$work/clean.ndjson" "$work/crashed.ndjson" ||
    fail "$round" "the store differs from a clean restore's" \
         "($(wc -l < "$work/crashed.ndjson") messages, $(wc -l < "$work/clean.ndjson") expected)"
done
echo "crash-restore: $rounds rounds ($killed killed mid-run) of a $messages-message restore" \
     "(${duration} ms each): every rerun completed the store exactly"
[ "$multimedia" -gt 0 ] || exit 0

# The phone XML: multimedia messages with pictures, and calls.
{
  echo "<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>"
  echo "<smses count=\"$((multimedia + 50))\" backup_set=\"crash\" type=\"full\">"
  for i in $(seq 1 "$multimedia"); do
    date=$((1704103626000 + i * 1000))
    if [ $((i % 10)) = 0 ]; then seed=same; else seed=$i; fi
    picture=$( (printf '\377\330\377\340'; head -c 40000 < <(yes "$seed")) | base64 -w0)
    echo "  <mms date=\"$date\" ct_t=\"application/vnd.wap.multipart.related\" msg_box=\"1\"" \
         "address=\"+4915111111111~+4915122222222~+4915133333333\" m_type=\"132\" sub=\"null\"" \
         "read=\"1\" text_only=\"0\" readable_date=\"Jan 1, 2024\" contact_name=\"Ann, Bob, Cy\">"
    echo "    <parts>"
    echo "      <part seq=\"0\" ct=\"image/jpeg\" name=\"IMG_$i.jpg\" chset=\"null\" cd=\"null\"" \
         "fn=\"null\" cid=\"&lt;image&gt;\" cl=\"IMG_$i.jpg\" ctt_s=\"null\" ctt_t=\"null\"" \
         "text=\"null\" data=\"$picture\" />"
    echo "      <part seq=\"0\" ct=\"text/plain\" name=\"null\" chset=\"106\" cd=\"null\" fn=\"null\"" \
         "cid=\"&lt;text&gt;\" cl=\"text.txt\" ctt_s=\"null\" ctt_t=\"null\" text=\"Picture $i\" />"
    echo "    </parts>"
    echo "    <addrs>"
    echo "      <addr address=\"+4915111111111\" type=\"137\" charset=\"106\" />"
    for to in +4915122222222 +4915133333333 +4915199999999; do
      echo "      <addr address=\"$to\" type=\"151\" charset=\"106\" />"
    done
    echo "    </addrs>"
    echo "  </mms>"
  done
  for i in $(seq 1 50); do
    echo "  <call number=\"+4930$((1000 + i))\" duration=\"$i\" date=\"$((1704103626000 + i * 7000))\"" \
         "type=\"$((1 + i % 3))\" presentation=\"1\" subscription_id=\"-1\"" \
         "readable_date=\"Jan 1, 2024\" contact_name=\"null\" />"
  done
  echo "</smses>"
} > "$work/phone.xml"

rm -f "$work/clean.db"*
"$larkpost" --store "$work/clean.db" store init > /dev/null
start=$(now_ms)
"$larkpost" --store "$work/clean.db" restore --yes "$work/phone.xml" > /dev/null
duration=$(( $(now_ms) - start ))
"$larkpost" --store "$work/clean.db" backup "$work/clean.xml" > /dev/null
killed=0
for round in $(seq 1 "$rounds"); do
  crash_round "$round" "$work/phone.xml" "multimedia $round"
  rm -f "$work/crashed.xml"
  "$larkpost" --store "$store" backup "$work/crashed.xml" > /dev/null
  cmp -s "$work/clean.xml" "$work/crashed.xml" ||
    fail "multimedia $round" "the store differs from a clean restore's"
  [ "$(sqlite3 "$store" 'SELECT count(*) FROM contents')" = \
    "$(sqlite3 "$work/clean.db" 'SELECT count(*) FROM contents')" ] ||
    fail "multimedia $round" "pictures are kept more than once"
done
echo "crash-restore: $rounds rounds ($killed killed mid-run) of a restore of $multimedia" \
     "multimedia messages and 50 calls (${duration} ms each): every rerun completed the store exactly"
