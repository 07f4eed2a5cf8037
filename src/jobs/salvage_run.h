// A salvage: the whole messages of a damaged file (a backup file, a phone's XML or ZIP) into a
// new file of any writable kind, chosen by OUT's ending, without a store. Runs on the caller's
// thread.
//
// The damaged file is read by the salvaging readers (backupfile/salvage.h,
// formats/phone_salvage.h), which skip what does not parse and log it; OUT is written through
// WriteOutputFile as every conversion writes it: replaced only when the salvage is complete,
// mode 0600, never over the store. A backup file salvaged into a backup file keeps its records'
// bytes unchanged.
//
// A stop request (outcome.h, a signal) ends the salvage before the next message: the partial
// output is removed, OUT stays as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "backupfile/salvage.h"
#include "formats/phone_salvage.h"
#include "jobs/message_files.h"

namespace larkpost {

struct SalvageResult {
  FileKind inKind{};
  SalvageReport backup;  // a backup file's records kept and skipped
  SalvageLog phone;      // a phone file's entries kept and skipped
  ReadCounts read;       // a phone file: entries joined into messages, multimedia left out
  uint64_t messagesWritten = 0;
  WrittenCounts written;
  bool interrupted = false;  // stopped on request; nothing was written
  std::u16string error;      // why nothing was written; empty on success or interruption

  // Something of the damaged file is not in OUT: skipped stretches, entries the file counts
  // but does not hold, a cut-off end, a checksum that does not match.
  bool Incomplete() const;
};

// Salvages `in` into `out`. `progress` (when given) is told the count of messages kept after
// each one. False with result.error, or with result.interrupted; file errors throw
// CFileException, a refused target OutputRefused.
bool SalvageMessageFile(const std::u16string& in, const std::u16string& out, DeletedAs deletedAs,
                        SalvageResult& result,
                        const std::function<void(uint64_t kept)>& progress = {});

}  // namespace larkpost
