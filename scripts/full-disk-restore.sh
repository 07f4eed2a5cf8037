#!/usr/bin/env bash
# A restore into a store whose file system fills up on the way: the run must fail naming the
# cause ("Disk full while accessing STORE." after the record's number), and the store must stay
# usable, holding whole messages only.
#
#   scripts/full-disk-restore.sh [MESSAGES]     (default 6,000)
#
# Needs root to mount a small tmpfs; exits 77 (skipped) otherwise. LARKPOST names the program.
set -euo pipefail
messages=${1:-6000}
larkpost=${LARKPOST:-$(dirname "$0")/../build/release/src/cli/larkpost}
[ -x "$larkpost" ] || { echo "full-disk-restore: no program at $larkpost (set LARKPOST)" >&2; exit 1; }
if [ "$(id -u)" != 0 ]; then echo "full-disk-restore: skipped (needs root for a tmpfs)"; exit 77; fi

work=$(mktemp -d "${TMPDIR:-/tmp}/larkpost-full-disk.XXXXXX")
disk=$work/disk
mkdir "$disk"
cleanup() { umount "$disk" 2> /dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
if ! mount -t tmpfs -o size=1m tmpfs "$disk" 2> /dev/null; then
  echo "full-disk-restore: skipped (cannot mount a tmpfs here)"
  exit 77
fi

fail() { echo "full-disk-restore: $1" >&2; exit 1; }

awk -v n="$messages" 'BEGIN {
  for (i = 0; i < n; i++) {
    t = 133497000000000000 + i * 10000000;
    printf "{\"folder\":[\"Inbox\"],\"flags\":1,\"subject\":\"Message %d: see you at the station at half past eight\",", i;
    printf "\"lastModified\":%d,\"deliveryTime\":%d,\"messageClass\":\"IPM.SMStext\",", t + 5, t;
    printf "\"senderEmailAddress\":\"\\\"Person\\\" <+49151%05d>\",\"size\":50}\n", i;
  }
}' > "$work/messages.ndjson"
"$larkpost" --store "$work/source.db" store load "$work/messages.ndjson" > /dev/null
"$larkpost" --store "$work/source.db" backup "$work/all.bak" > /dev/null

store=$disk/store.db
"$larkpost" --store "$store" store init > /dev/null
status=0
"$larkpost" --store "$store" restore --yes "$work/all.bak" > "$work/out" 2> "$work/err" || status=$?
[ "$status" = 1 ] || fail "exit status $status, expected 1"
grep -qE "^No\.[0-9]+, Disk full while accessing $store\.\$" "$work/err" ||
  fail "unexpected message: $(cat "$work/err")"
"$larkpost" --store "$store" store list > /dev/null || fail "the store is not usable after the failure"
echo "full-disk-restore: a full disk is named and the store stays usable"
