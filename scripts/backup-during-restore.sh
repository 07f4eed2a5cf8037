#!/usr/bin/env bash
# Backs up a store again and again while a restore fills it from another process, and checks
# every one of those backups: it verifies, and each message it holds is in the store the restore
# leaves behind, as often as it holds it at the most (restoring it into an empty store and
# dumping that gives a part of the final store's dump): a backup sees whole messages, never one
# twice. A backup taken after the restore holds the whole store.
#
#   scripts/backup-during-restore.sh [MESSAGES]     (default 20,000)
#
# LARKPOST names the program (default build/release/src/cli/larkpost). The test command runs it
# at a small scale. Restores too quick for a backup to land in the middle are repeated with twice
# the messages, three times at the most.
set -euo pipefail
messages=${1:-20000}
larkpost=${LARKPOST:-$(dirname "$0")/../build/release/src/cli/larkpost}
[ -x "$larkpost" ] || { echo "backup-during-restore: no program at $larkpost (set LARKPOST)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/larkpost-backup-during-restore.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "backup-during-restore: $1" >&2; exit 1; }
records() { "$larkpost" verify "$1" | sed -n 's/^OK: \([0-9]*\) records.*/\1/p'; }

for attempt in 1 2 3; do
  rm -rf "$work"/*
  "$(dirname "$0")/sample-messages.sh" "$messages" > "$work/messages.ndjson"
  "$larkpost" --store "$work/source.db" store load "$work/messages.ndjson" > /dev/null
  "$larkpost" --store "$work/source.db" backup "$work/all.bak" > /dev/null
  total=$(records "$work/all.bak")

  store=$work/store.db
  "$larkpost" --store "$store" store init > /dev/null
  "$larkpost" --store "$store" restore --yes "$work/all.bak" > "$work/restore.out" 2>&1 &
  pid=$!
  taken=0
  while kill -0 "$pid" 2> /dev/null; do
    taken=$((taken + 1))
    "$larkpost" --store "$store" backup "$work/during$taken.bak" > "$work/backup.out" 2>&1 ||
      fail "backup $taken during the restore failed: $(cat "$work/backup.out")"
  done
  wait "$pid" || fail "the restore failed: $(cat "$work/restore.out")"
  taken=$((taken + 1))
  "$larkpost" --store "$store" backup "$work/during$taken.bak" > /dev/null
  "$larkpost" --store "$store" store dump "$work/final.ndjson"
  sort "$work/final.ndjson" > "$work/final.sorted"

  midway=0
  for n in $(seq 1 "$taken"); do
    file=$work/during$n.bak
    count=$(records "$file") || fail "backup $n does not verify"
    [ -n "$count" ] || fail "backup $n does not verify"
    if [ "$count" -gt 0 ] && [ "$count" -lt "$total" ]; then midway=$((midway + 1)); fi
    rm -f "$work/check.db"*
    "$larkpost" --store "$work/check.db" store init > /dev/null
    "$larkpost" --store "$work/check.db" restore --yes "$file" > /dev/null ||
      fail "backup $n does not restore"
    "$larkpost" --store "$work/check.db" store dump "$work/check.ndjson"
    extra=$(sort "$work/check.ndjson" | comm -23 - "$work/final.sorted" | wc -l)
    [ "$extra" -eq 0 ] || fail "backup $n holds $extra messages the store does not (or more often)"
  done
  [ "$count" -eq "$total" ] || fail "the backup after the restore holds $count of $total messages"
  if [ "$midway" -gt 0 ]; then
    echo "backup-during-restore: $taken backups of a store a $total-message restore was filling" \
         "($midway in the middle of it): each one whole and consistent"
    exit 0
  fi
  messages=$((messages * 2))
done
fail "no backup landed in the middle of a restore (the restores were too quick)"
