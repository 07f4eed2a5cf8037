#!/usr/bin/env bash
# Kills backups with SIGKILL at random moments and checks, every time, that the older backup of
# the same name is still there, byte for byte, and verifies; and that the partial files of killed
# runs do not pile up (the next backup to the same target removes them).
#
#   scripts/crash-backup.sh [ROUNDS] [MESSAGES]      (default 20 rounds, 2,000 messages)
#
# LARKPOST names the program (default build/release/src/cli/larkpost). The test command runs it
# at a small scale; run it by hand at a large one, e.g. `scripts/crash-backup.sh 200 20000`.
set -euo pipefail
rounds=${1:-20}
messages=${2:-2000}
larkpost=${LARKPOST:-$(dirname "$0")/../build/release/src/cli/larkpost}
[ -x "$larkpost" ] || { echo "crash-backup: no program at $larkpost (set LARKPOST)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/larkpost-crash-backup.XXXXXX")
trap 'rm -rf "$work"' EXIT
store=$work/store.db
target=$work/sms.bak

fail() { echo "crash-backup: round $1: $2" >&2; exit 1; }
now_ms() { date +%s%3N; }
partials() { find "$work" -maxdepth 1 -name '.sms.bak.*.part' | wc -l; }

# A store of MESSAGES messages in the standard folders and subfolders.
"$(dirname "$0")/sample-messages.sh" "$messages" > "$work/messages.ndjson"
"$larkpost" --store "$store" store load "$work/messages.ndjson" > /dev/null

start=$(now_ms)
"$larkpost" --store "$store" backup "$target" > /dev/null
duration=$(( $(now_ms) - start ))
"$larkpost" verify "$target" > /dev/null || fail 0 "the first backup does not verify"
reference=$(sha256sum < "$target")

killed=0
for round in $(seq 1 "$rounds"); do
  # Anywhere from before the file is created to after it has been renamed.
  delay_ms=$(( RANDOM % (duration + duration / 4 + 1) ))
  "$larkpost" --store "$store" backup --force "$target" > /dev/null 2>&1 &
  pid=$!
  sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
  if kill -9 "$pid" 2> /dev/null; then killed=$((killed + 1)); fi
  wait "$pid" 2> /dev/null || true
  # The store did not change: whether the kill came before or after the rename, the file at
  # the target is the same complete backup.
  [ "$(sha256sum < "$target")" = "$reference" ] || fail "$round" "the backup at the target changed"
  "$larkpost" verify "$target" > /dev/null || fail "$round" "the backup at the target does not verify"
  [ "$(partials)" -le 1 ] || fail "$round" "$(partials) partial files piled up"
done

"$larkpost" --store "$store" backup --force "$target" > /dev/null
[ "$(sha256sum < "$target")" = "$reference" ] || fail end "a completed backup differs"
[ "$(partials)" -eq 0 ] || fail end "$(partials) partial files left after a completed backup"
echo "crash-backup: $rounds rounds ($killed killed mid-run) of a $messages-message backup" \
     "(${duration} ms each): the old file stayed intact every time"
