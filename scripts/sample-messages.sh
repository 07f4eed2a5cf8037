#!/usr/bin/env bash
# Prints MESSAGES messages as NDJSON for `larkpost store load`, the store the crash and
# concurrency scripts work on: all five standard folders, every other message in one of seven
# subfolders, the drafts without a delivery time, every delivery time distinct otherwise, and
# every 50th message twice (a message sent twice is two messages).
#
#   scripts/sample-messages.sh MESSAGES > messages.ndjson
set -euo pipefail
awk -v n="${1:?usage: sample-messages.sh MESSAGES}" 'BEGIN {
  split("Draft Inbox Outbox Sentedbox Wastebox", kinds, " ");
  for (i = 0; i < n; i++) {
    k = i % 5 + 1;
    folder = "[\"" kinds[k] "\"" (i % 2 ? ",\"Topic " (i % 7) "\"" : "") "]";
    # Times written as digits: awk numbers cannot hold them exactly.
    t = k == 1 ? "0" : sprintf("1334970%07d0000", i);
    line = sprintf("{\"folder\":%s,\"flags\":1,\"subject\":\"Message %d: see you at eight\",", folder, i);
    line = line sprintf("\"lastModified\":%s,\"deliveryTime\":%s,\"messageClass\":\"IPM.SMStext\",", t, t);
    line = line sprintf("\"senderEmailAddress\":\"\\\"Person %d\\\" <+49151%05d>\",\"size\":25,", i % 97, i);
    line = line "\"recipients\":[{\"name\":\"Me\",\"address\":\"+4930123456\",\"type\":1}]}";
    print line;
    if (i % 50 == 0) print line;
  }
}'
