#!/usr/bin/env bash
# Backup and restore when the file system fills up on the way, on small tmpfs mounts:
# - a backup onto a full disk fails with the framework's "Disk full while accessing PATH."
#   naming the target, leaves the older backup untouched and verifying, and a second attempt
#   leaves no second partial file behind;
# - a restore into a store on a full disk, from a backup or a phone's file, fails naming the
#   cause after the record's number ("No.N, Disk full while accessing STORE."), the store
#   stays usable and holds the messages the report says stay.
#
#   scripts/full-disk.sh [MESSAGES]     (default 6,000)
#
# Needs root to mount a tmpfs; exits 77 (skipped) otherwise. LARKPOST names the program.
set -euo pipefail
messages=${1:-6000}
larkpost=${LARKPOST:-$(dirname "$0")/../build/release/src/cli/larkpost}
[ -x "$larkpost" ] || { echo "full-disk: no program at $larkpost (set LARKPOST)" >&2; exit 1; }
if [ "$(id -u)" != 0 ]; then echo "full-disk: skipped (needs root for a tmpfs)"; exit 77; fi

work=$(mktemp -d "${TMPDIR:-/tmp}/larkpost-full-disk.XXXXXX")
cleanup() {
  umount "$work/small" 2> /dev/null || true
  umount "$work/store" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/small" "$work/store"
if ! mount -t tmpfs -o size=256k tmpfs "$work/small" 2> /dev/null ||
   ! mount -t tmpfs -o size=1m tmpfs "$work/store" 2> /dev/null; then
  echo "full-disk: skipped (cannot mount a tmpfs here)"
  exit 77
fi

fail() { echo "full-disk: $1" >&2; exit 1; }

# A store whose backup is several times the size of the small disk.
awk -v n="$messages" 'BEGIN {
  for (i = 0; i < n; i++) {
    t = 133497000000000000 + i * 10000000;
    printf "{\"folder\":[\"Inbox\"],\"flags\":1,\"subject\":\"Message %d: see you at the station at half past eight\",", i;
    printf "\"lastModified\":%d,\"deliveryTime\":%d,\"messageClass\":\"IPM.SMStext\",", t + 5, t;
    printf "\"senderEmailAddress\":\"\\\"Person\\\" <+49151%05d>\",\"size\":50}\n", i;
  }
}' > "$work/messages.ndjson"
"$larkpost" --store "$work/source.db" store load "$work/messages.ndjson" > /dev/null

# Backup: the older backup is small enough to fit (an empty folder), the new one is not.
target=$work/small/sms.bak
"$larkpost" --store "$work/source.db" backup --folders draft "$target" > /dev/null
reference=$(sha256sum < "$target")
for attempt in 1 2; do
  status=0
  "$larkpost" --store "$work/source.db" backup --force "$target" > "$work/out" 2> "$work/err" || status=$?
  [ "$status" = 1 ] || fail "backup $attempt: exit status $status, expected 1"
  head -n 1 "$work/err" | grep -qxF "Disk full while accessing $target." ||
    fail "backup $attempt: unexpected message: $(cat "$work/err")"
  [ "$(sha256sum < "$target")" = "$reference" ] || fail "backup $attempt: the old backup changed"
  "$larkpost" verify "$target" > /dev/null || fail "backup $attempt: the old backup does not verify"
  count=$(find "$work/small" -maxdepth 1 -name '.sms.bak.*.part' | wc -l)
  [ "$count" -le 1 ] || fail "backup $attempt: $count partial files on the full disk"
done

# Restores into a new store on the other small disk, from a backup and from a phone's file.
restore_fills_the_disk() {
  local file=$1 what=$2 status=0
  rm -f "$store" "$store"-*
  "$larkpost" --store "$store" store init > /dev/null
  "$larkpost" --store "$store" restore --yes "$file" > "$work/out" 2> "$work/err" || status=$?
  [ "$status" = 1 ] || fail "$what: exit status $status, expected 1"
  grep -qE "^No\.[0-9]+, Disk full while accessing $store\.\$" "$work/err" ||
    fail "$what: unexpected message: $(cat "$work/err")"
  "$larkpost" --store "$store" store list > "$work/list" || fail "$what: the store is not usable after it"
  # What stayed is what the message says: every message before the failing one, or, when the
  # open group went with the full disk, the number it names.
  local failed kept held
  failed=$(sed -nE 's/^No\.([0-9]+), .*/\1/p' "$work/err" | head -n 1)
  kept=$(sed -nE 's/.*could not be kept either; the ([0-9,]+) restored before them stay.*/\1/p' \
    "$work/err" | tr -d ,)
  [ -n "$kept" ] || kept=$((failed - 1))
  held=$(sed -nE 's/^([0-9,]+) messages.*/\1/p' "$work/list" | tail -n 1 | tr -d ,)
  [ "${held:-0}" = "$kept" ] ||
    fail "$what: the store holds ${held:-0} messages, the report says $kept stay: $(cat "$work/err")"
}
store=$work/store/store.db
"$larkpost" --store "$work/source.db" backup "$work/all.bak" > /dev/null
restore_fills_the_disk "$work/all.bak" "restore"
"$larkpost" convert "$work/all.bak" "$work/all.xml" > /dev/null
restore_fills_the_disk "$work/all.xml" "restore of a phone's file"
echo "full-disk: a full disk is named, the old backup stays, partial files do not pile up," \
     "the store stays usable"
