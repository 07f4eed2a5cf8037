#!/usr/bin/env bash
# A store on a read-only mount, with and without a -wal file beside it: backup, store list,
# store dump, restore --dry-run and store dedupe --dry-run read it; restore, store load, store
# dedupe and store init say "The message store PATH is read-only." (exit 1) and change nothing.
#
#   scripts/read-only-store.sh [MESSAGES]     (default 2,000)
#
# Needs root to mount a tmpfs; exits 77 (skipped) otherwise. LARKPOST names the program.
set -euo pipefail
messages=${1:-2000}
larkpost=${LARKPOST:-$(dirname "$0")/../build/release/src/cli/larkpost}
larkpost=$(realpath "$larkpost" 2> /dev/null || echo "$larkpost")
[ -x "$larkpost" ] || { echo "read-only-store: no program at $larkpost (set LARKPOST)" >&2; exit 1; }
if [ "$(id -u)" != 0 ]; then echo "read-only-store: skipped (needs root for a tmpfs)"; exit 77; fi

work=$(mktemp -d "${TMPDIR:-/tmp}/larkpost-read-only.XXXXXX")
cleanup() {
  umount "$work/ro" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/ro"
if ! mount -t tmpfs -o size=64m tmpfs "$work/ro" 2> /dev/null; then
  echo "read-only-store: skipped (cannot mount a tmpfs here)"
  exit 77
fi
fail() { echo "read-only-store: $1" >&2; exit 1; }

bash "$(dirname "$0")/sample-messages.sh" "$messages" > "$work/lines.ndjson"
messages=$(wc -l < "$work/lines.ndjson")  # the sample writes some messages twice

# clean: a store closed normally (no -wal); wal: one whose writer was killed, so its last
# messages are in the -wal file only.
"$larkpost" --store "$work/ro/clean.db" store load "$work/lines.ndjson" > /dev/null
"$larkpost" --store "$work/ro/wal.db" store load "$work/lines.ndjson" > /dev/null
# Keep the WAL: a writer that does not checkpoint and is killed before it closes.
command -v sqlite3 > /dev/null || { echo "read-only-store: skipped (no sqlite3)"; exit 77; }
(sqlite3 "$work/ro/wal.db" "PRAGMA wal_autocheckpoint=0;" \
  "INSERT INTO messages(folder_id, delivery_time, props) SELECT folder_id, delivery_time + 1, props FROM messages LIMIT 5;" \
  ".shell kill -9 \$PPID" & wait) > /dev/null 2>&1 || true
[ -s "$work/ro/wal.db-wal" ] || { echo "read-only-store: skipped (could not keep a -wal file)"; exit 77; }
expected_wal=$((messages + 5))

mount -o remount,ro "$work/ro" || fail "cannot remount read-only"
cd "$work"
for store in clean wal; do
  db=$work/ro/$store.db
  want=$messages
  [ $store = wal ] && want=$expected_wal
  "$larkpost" --store "$db" backup "$store.bak" > out.txt 2>&1 || fail "$store: backup failed: $(cat out.txt)"
  "$larkpost" --store "$db" store list > list.txt 2>&1 || fail "$store: store list failed: $(cat list.txt)"
  grep -q "^$want messages" list.txt || fail "$store: store list does not count $want: $(tail -n 1 list.txt)"
  "$larkpost" --store "$db" store dump dump.ndjson || fail "$store: store dump failed"
  [ "$(wc -l < dump.ndjson)" = "$want" ] || fail "$store: dump holds $(wc -l < dump.ndjson) of $want"
  "$larkpost" --store "$db" store init > /dev/null 2>&1 || true
  for writing in "restore --yes $store.bak" "store load dump.ndjson" "store dedupe --yes"; do
    status=0
    "$larkpost" --store "$db" $writing > out.txt 2>&1 || status=$?
    [ $status = 1 ] || fail "$store: '$writing' exited $status"
    grep -qxF "The message store $db is read-only." out.txt || fail "$store: '$writing' said: $(cat out.txt)"
  done
  "$larkpost" --store "$db" store dedupe --dry-run > out.txt 2>&1 ||
    fail "$store: store dedupe --dry-run failed: $(cat out.txt)"
  grep -q "^Would remove " out.txt || fail "$store: store dedupe --dry-run said: $(cat out.txt)"
  # A dry run only reads: it says what a restore would do. Of the clean store everything is
  # present; the rows added behind the wal store's back keep their messages' own times inside,
  # so there only the total is sure.
  for file in "$store.bak" "$store.xml"; do
    [ "$file" = "$store.bak" ] || "$larkpost" convert "$store.bak" "$file" > /dev/null
    "$larkpost" --store "$db" restore --dry-run --json "$file" > out.json 2> err.txt ||
      fail "$store: restore --dry-run $file failed: $(cat err.txt)"
    restored=$(sed -nE 's/.*"restored":([0-9]+).*/\1/p' out.json)
    present=$(sed -nE 's/.*"alreadyPresent":([0-9]+).*/\1/p' out.json)
    { [ $((restored + present)) = "$want" ] && { [ $store = wal ] || [ "$restored" = 0 ]; }; } ||
      fail "$store: restore --dry-run $file said: $(cat out.json)"
  done
done
echo "read-only-store: backup, list, dump, restore --dry-run and dedupe --dry-run read a" \
     "read-only mount (with and without WAL); writers refuse"
