// The union of several message files without a store: every message once, whatever file and
// format it came from (identity/identity.h says when two are the same), in time order, into one
// file of any writable format.
//
// Equal messages form a multiset: a message twice in one file and once in another is written
// twice. Of equal copies the one that holds the most is written (the folder with its subfolders
// of a backup file, the exact time, the own number), its text from the copy with the fewest "?"
// (a backup file's code page may have lacked a character another file kept) and the names from
// a copy that has them when it has none.
//
// Memory follows the number of messages, never their text: a first pass reads the inputs side by
// side (a thread each, up to the machine's processors), parks each message in a spool file of
// its input beside OUT and keeps 48 bytes of it (its identity hash, time and spool position); a
// second writes the chosen ones from the spools in time order. A backup file merged into a
// backup file is not parked: its chosen records are copied from it as they are (read again, so
// it must not change meanwhile). A broken input is found in the first pass, before OUT is
// opened: nothing is written then. Returns when the merge is over.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/format_table.h"
#include "formats/message_stream.h"
#include "formats/phone_entry.h"
#include "identity/identity.h"
#include "jobs/outcome.h"
#include "message/selection.h"

namespace larkpost {

struct MergeInputCounts {
  std::u16string path;
  ReadCounts read;
  uint64_t selected = 0;      // messages the selection took
  uint64_t contributed = 0;   // of them, not in any earlier input
  uint64_t alreadyThere = 0;  // of them, in an earlier input already
};

struct MergeResult {
  std::vector<MergeInputCounts> inputs;
  uint64_t written = 0;           // messages of OUT
  uint64_t callsWritten = 0;      // calls of OUT, or of the call log written beside it
  std::u16string callLog;         // the call log written beside OUT; empty: none
  uint64_t entriesWritten = 0;    // entries of OUT (a sent message may make several)
  uint64_t replacedMessages = 0;  // backup output: messages with characters the code page lacks
  LeftOut leftOut;                // what OUT lacks: multimedia its format cannot hold, calls
  // With no region known: messages of OUT that a region would have found the same as others,
  // their numbers written with and without the country code.
  uint64_t sameWithRegion = 0;
  std::u16string error;           // why the merge failed; empty on success
};

// Merges the messages of `ins` that the selection takes into `out` (written beside it and
// renamed when complete, as a conversion is; `out` may be one of `ins`). False with
// result.error naming the file and entry at fault; file errors throw CFileException, a refused
// target OutputRefused.
bool MergeMessageFiles(const std::vector<std::u16string>& ins, const std::u16string& out,
                       DeletedAs deletedAs, const Selection& selection, MergeResult& result);

}  // namespace larkpost
