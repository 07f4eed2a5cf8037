// How a run ended, and the texts a run adds to the system's own messages.
//
// The worker records the outcome on its job before it sets `finished`; front ends read it (for
// an exit status, an icon, a colour) instead of recognising message texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace larkpost {

enum class RunOutcome : int32_t {
  kNotRun,      // refused before the worker started (or still running)
  kSucceeded,   // "Backup Succeeded." / "Restore Succeeded."
  kIncomplete,  // a backup that finished but is not a faithful copy (BackupShortfall): the file
                // is sealed and valid, but kept under its partial name, never over the target
  kFailed,      // anything else: a file error, a failed walk, a refused target, a bad record
};

// What a finished backup could not copy faithfully. Counted by the store walk and the record
// writers while the backup runs, read by the backup's worker at its end.
struct BackupShortfall {
  uint32_t unreadableFolders = 0;   // folders left out
  uint32_t unreadableMessages = 0;  // messages left out
  uint32_t replacedMessages = 0;    // messages written with characters the code page lacks as "?"

  bool Clean() const { return unreadableFolders == 0 && unreadableMessages == 0 && replacedMessages == 0; }
};

// Shown as a warning instead of "Backup Succeeded." for a shortfall that is not clean:
// "Backup incomplete: 1 folder and 3 messages could not be read and are not in the file."
// "Backup incomplete: 2 messages hold characters the code page lacks, written as \"?\"."
std::u16string IncompleteBackupText(const BackupShortfall& shortfall);

// The line added below a message when the run's partial output was kept:
// "Partial output: /home/ann/.sms.bak.Xa81Qz.part"
std::u16string PartialOutputLine(std::u16string_view path);

// The line added below an incomplete backup's text: the target was left as it was.
// "/home/ann/sms.bak was not replaced."
std::u16string NotReplacedLine(std::u16string_view target);

}  // namespace larkpost
