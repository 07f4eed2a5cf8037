#!/usr/bin/env bash
# A backup onto a file system that fills up on the way: the run must fail with the framework's
# "Disk full while accessing PATH." naming the target, leave the older backup untouched and
# verifying, and a second attempt must not leave a second partial file behind.
#
#   scripts/full-disk-backup.sh [MESSAGES]     (default 3,000)
#
# Needs root to mount a small tmpfs; exits 77 (skipped) otherwise. LARKPOST names the program.
set -euo pipefail
messages=${1:-3000}
larkpost=${LARKPOST:-$(dirname "$0")/../build/release/src/cli/larkpost}
[ -x "$larkpost" ] || { echo "full-disk-backup: no program at $larkpost (set LARKPOST)" >&2; exit 1; }
if [ "$(id -u)" != 0 ]; then echo "full-disk-backup: skipped (needs root for a tmpfs)"; exit 77; fi

work=$(mktemp -d "${TMPDIR:-/tmp}/larkpost-full-disk.XXXXXX")
disk=$work/disk
mkdir "$disk"
cleanup() { umount "$disk" 2> /dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
if ! mount -t tmpfs -o size=256k tmpfs "$disk" 2> /dev/null; then
  echo "full-disk-backup: skipped (cannot mount a tmpfs here)"
  exit 77
fi

fail() { echo "full-disk-backup: $1" >&2; exit 1; }

# A store whose backup is several times the size of the small disk.
awk -v n="$messages" 'BEGIN {
  for (i = 0; i < n; i++) {
    t = 133497000000000000 + i * 10000000;
    printf "{\"folder\":[\"Inbox\"],\"flags\":1,\"subject\":\"Message %d: see you at the station at half past eight\",", i;
    printf "\"lastModified\":%d,\"deliveryTime\":%d,\"messageClass\":\"IPM.SMStext\",", t + 5, t;
    printf "\"senderEmailAddress\":\"\\\"Person\\\" <+49151%05d>\",\"size\":50}\n", i;
  }
}' > "$work/messages.ndjson"
"$larkpost" --store "$work/store.db" store load "$work/messages.ndjson" > /dev/null
# The older backup, small enough to fit: one folder of an empty store.
"$larkpost" --store "$work/store.db" backup --folders draft "$disk/sms.bak" > /dev/null
reference=$(sha256sum < "$disk/sms.bak")

for attempt in 1 2; do
  status=0
  "$larkpost" --store "$work/store.db" backup "$disk/sms.bak" > "$work/out" 2> "$work/err" || status=$?
  [ "$status" = 1 ] || fail "attempt $attempt: exit status $status, expected 1"
  head -n 1 "$work/err" | grep -qxF "Disk full while accessing $disk/sms.bak." ||
    fail "attempt $attempt: unexpected message: $(cat "$work/err")"
  [ "$(sha256sum < "$disk/sms.bak")" = "$reference" ] || fail "attempt $attempt: the old backup changed"
  "$larkpost" verify "$disk/sms.bak" > /dev/null || fail "attempt $attempt: the old backup does not verify"
  count=$(find "$disk" -maxdepth 1 -name '.sms.bak.*.part' | wc -l)
  [ "$count" -le 1 ] || fail "attempt $attempt: $count partial files on the full disk"
done
echo "full-disk-backup: a full disk is named, the old backup stays, partial files do not pile up"
