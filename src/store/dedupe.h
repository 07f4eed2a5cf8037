// Removing duplicates already in a store, an explicit action of the user (a restore never
// removes anything): SMS, multimedia messages and calls, each kind among its own. Two copies are the same message when they agree on the standard folder, the
// direction, the millisecond, the text and the other parties' numbers (identity/identity.h), and
// on whatever else both of them hold: their subfolders (a copy in the bare standard folder, as a
// phone's file brings it, is the same as one in a subfolder; copies filed in two subfolders are
// two messages), a time finer than the millisecond, the own number and the recipients' types, the
// real characters (a "?" is a character a backup file's code page lacked). Names and flags never
// decide. Of each group of the same message one is kept, the one that holds the most (Richness:
// the real characters over "?", a subfolder over the bare standard folder, names over none; of
// equal ones the oldest), and the others are removed. Equal messages are kept once: two real
// "OK"s sent in one millisecond become one.
//
// All removals are one store transaction: on any error (a folder or message that cannot be read,
// a removal the store refuses) nothing is removed. Runs on the thread that uses the session.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "message/message_record.h"

namespace larkpost {

struct SmsSession;

struct DedupeCounts {
  uint64_t examined = 0;                       // messages of the store
  uint64_t removed = 0;                        // removed, or that would be in a dry run
  std::map<std::u16string, uint64_t> folders;  // removed per folder path ("Inbox\Work")
};

// `removed` (may be empty) is called for each message removed, or that a dry run would remove,
// before anything is committed. False with `error` when nothing was removed because of an error.
bool DedupeStore(SmsSession& session, bool dryRun,
                 const std::function<void(const MessageRecord&)>& removed, DedupeCounts& counts,
                 std::u16string& error);

}  // namespace larkpost
