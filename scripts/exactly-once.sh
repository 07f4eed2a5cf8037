#!/usr/bin/env bash
# Checks on a generated store that every message comes through each of larkpost's paths exactly
# once: the store's own .bak, .xml and .zip restored into it add nothing; a merge of the three
# holds the store's messages; a file merged with itself is the file; a store loaded twice and
# deduplicated is the store again. The store has what makes that hard: the same text sent in one
# millisecond to several people, drafts without a delivery time, subfolders, names on some
# messages only, read and unread ones, times finer than a millisecond.
#
#   scripts/exactly-once.sh LARKPOST [MESSAGES]
#
# Prints each check, and exits 1 when any failed.
set -euo pipefail
bin=${1:?usage: exactly-once.sh LARKPOST [MESSAGES]}
n=${2:-150000}
work=$(mktemp -d "${TMPDIR:-/tmp}/larkpost-once.XXXXXX")
trap 'rm -rf "$work"' EXIT
lp() { "$bin" --region DE "$@"; }

awk -v n="$n" 'BEGIN {
  split("Draft Inbox Outbox Sentedbox Wastebox", kinds, " ");
  for (i = 0; written < n; i++) {
    k = i % 5 + 1;
    folder = "[\"" kinds[k] "\"" (i % 3 == 0 ? ",\"Topic " (i % 4) "\"" : "") "]";
    # Times as digits (awk numbers cannot hold them exactly); a quarter finer than a millisecond.
    t = k == 1 ? "0" : sprintf("1334970%07d%s", i, i % 4 == 0 ? "1234" : "0000");
    name = i % 2 ? sprintf("Person %d", i % 97) : "";
    received = k == 2 || (k == 5 && i % 2);
    # Every 10th message that is not received goes to three people as three messages.
    copies = !received && i % 10 == 0 ? 3 : 1;
    for (c = 0; c < copies && written < n; c++) {
      person = sprintf("+49151%07d", i * 3 + c);
      line = sprintf("{\"folder\":%s,\"flags\":%d,\"subject\":\"Message %d: see you at eight\",", folder, i % 3 == 1 ? 0 : 1, i);
      line = line sprintf("\"lastModified\":%s,\"deliveryTime\":%s,\"messageClass\":\"IPM.SMStext\",", t, t);
      if (received) {
        line = line sprintf("\"senderEmailAddress\":\"\\\"%s\\\" <%s>\",\"senderName\":\"%s\",\"size\":25,", name, person, name);
        line = line "\"recipients\":[{\"name\":\"Me\",\"address\":\"+4930123456\",\"type\":1}]}";
      } else {
        line = line "\"senderEmailAddress\":\"\\\"Me\\\" <+4930123456>\",\"senderName\":\"Me\",\"size\":25,";
        line = line sprintf("\"recipients\":[{\"name\":\"%s\",\"address\":\"%s\",\"type\":1}]}", name, person);
      }
      print line;
      written++;
    }
  }
}' > "$work/messages.ndjson"

failed=0
fail() { echo "FAILED: $*"; failed=1; }
sorted_dump() { lp --store "$1" store dump | sort; }

lp --store "$work/a.db" store load "$work/messages.ndjson" > /dev/null
sorted_dump "$work/a.db" > "$work/a.dump"
[ "$(wc -l < "$work/a.dump")" -eq "$n" ] || { echo "the store holds $(wc -l < "$work/a.dump") messages, not $n"; exit 1; }
for ext in bak xml zip; do lp --store "$work/a.db" backup "$work/a.$ext" > /dev/null; done
echo "store of $n messages, backed up into .bak, .xml and .zip"

for ext in bak xml zip; do
  out=$(lp --store "$work/a.db" restore --yes --dry-run "$work/a.$ext" 2> /dev/null)
  case $out in
    "Restored: 0,"*) echo "a.$ext restored into its store adds 0" ;;
    *) fail "a.$ext restored into its store: $out" ;;
  esac
done

out=$(lp merge "$work/m.bak" "$work/a.bak" "$work/a.xml" "$work/a.zip")
merged=$(sed -n '1s/^Merged \([0-9,]*\) messages.*/\1/p' <<< "$out" | tr -d ,)
if [ "$merged" = "$n" ]; then
  echo "merge a.bak a.xml a.zip holds $n messages"
else
  fail "merge a.bak a.xml a.zip: $out"
fi

restored_dump() {  # restored_dump FILE: the file restored into an empty store, dumped sorted
  local db=$work/r-$(basename "$1").db
  lp --store "$db" store init > /dev/null
  lp --store "$db" restore --yes "$1" > /dev/null 2>&1
  sorted_dump "$db"
}
for ext in bak xml; do
  lp merge "$work/self.$ext" "$work/a.$ext" "$work/a.$ext" > /dev/null
  if cmp -s <(restored_dump "$work/self.$ext") <(restored_dump "$work/a.$ext"); then
    echo "merge a.$ext a.$ext is a.$ext"
  else
    fail "merge a.$ext a.$ext is not a.$ext"
  fi
done

lp --store "$work/twice.db" store load "$work/messages.ndjson" > /dev/null
lp --store "$work/twice.db" store load --duplicates "$work/messages.ndjson" > /dev/null
lp --store "$work/twice.db" store dedupe --yes > /dev/null
if cmp -s <(sorted_dump "$work/twice.db") "$work/a.dump"; then
  echo "a store loaded twice and deduplicated is the store"
else
  fail "a store loaded twice and deduplicated is not the store"
fi
exit $failed
