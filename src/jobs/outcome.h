// How a run ended, and the texts a run adds to the system's own messages.
//
// The worker records the outcome on its job before it sets `finished`; front ends read it (for
// an exit status, an icon, a colour) instead of recognising message texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "formats/format_table.h"

namespace larkpost {

enum class RunOutcome : int32_t {
  kNotRun,      // refused before the worker started (or still running)
  kSucceeded,   // "Backup Succeeded." / "Restore Succeeded."
  kIncomplete,  // a backup that left out folders or messages it could not read: the file is
                // sealed and valid, but kept under its partial name, never over the target
  kLossy,       // a complete backup whose format cannot spell some characters (written as "?"):
                // it takes the target's place like a successful one, and says so with a warning
  kInterrupted,  // ended early on the user's request (RequestStop); what was committed stays
  kFailed,      // anything else: a file error, a failed walk, a refused target, a bad record
};

// What a finished backup could not copy faithfully. Counted by the store walk and the record
// writers while the backup runs, read by the backup's worker at its end.
struct BackupShortfall {
  uint32_t unreadableFolders = 0;   // folders left out
  uint32_t unreadableMessages = 0;  // messages left out
  uint32_t replacedMessages = 0;    // messages written with characters the code page lacks as "?"

  // Nothing was left out: every folder and message of the selection is in the file.
  bool Complete() const { return unreadableFolders == 0 && unreadableMessages == 0; }
  bool Clean() const { return Complete() && replacedMessages == 0; }
};

// Shown as a warning instead of "Backup Succeeded." for a backup that is not Complete():
// "Backup incomplete: 1 folder and 3 messages could not be read and are not in the file."
std::u16string IncompleteBackupText(const BackupShortfall& shortfall);

// The warning after "Backup Succeeded." (or a conversion's report) when `messages` messages held
// characters the code page `codePage` lacks:
// "3 messages hold characters code page 1252 lacks, written as "?"; use --codepage 65001 or a
// .zip/.xml file to keep them."
std::u16string LossyBackupText(uint64_t messages, unsigned codePage);

// What a run left out because its target cannot keep it: multimedia messages, which the store,
// backup files and text exports do not hold, the entries of a phone's call log, which they do
// not hold either, and the messages of a target of calls only. Never silent: every run that leaves something out says so (LeftOutText) and ends
// lossy (exit status 3).
struct LeftOut {
  uint64_t multimedia = 0;
  uint64_t calls = 0;
  uint64_t messages = 0;  // messages of a target that holds calls only (a call log)
  // Multimedia messages without any address, which the phone app's import cannot take, and
  // the first of them ("Inbox, 2024-05-03 18:02:00").
  uint64_t unaddressed = 0;
  std::string firstUnaddressed{};
  // What an iPhone's database holds that is no message of any file: reactions (tapbacks),
  // unsent messages, group events and stickers; and attachments it names that were not there
  // (kept in iCloud), whose messages are kept without them.
  uint64_t tapbacks = 0;
  uint64_t unsent = 0;
  uint64_t groupEvents = 0;
  uint64_t stickers = 0;
  uint64_t attachmentsMissing = 0;
  bool Any() const {
    return multimedia > 0 || calls > 0 || messages > 0 || unaddressed > 0 || tapbacks > 0 || unsent > 0 ||
           groupEvents > 0 || stickers > 0 || attachmentsMissing > 0;
  }
  LeftOut& operator+=(const LeftOut& other) {
    multimedia += other.multimedia;
    calls += other.calls;
    messages += other.messages;
    if (unaddressed == 0) firstUnaddressed = other.firstUnaddressed;
    unaddressed += other.unaddressed;
    tapbacks += other.tapbacks;
    unsent += other.unsent;
    groupEvents += other.groupEvents;
    stickers += other.stickers;
    attachmentsMissing += other.attachmentsMissing;
    return *this;
  }
};

// Why a target leaves them out: "the store holds SMS only" (kStoreHolder), "backup files hold SMS
// only", "ZIP files hold messages only" ...
inline constexpr char16_t kStoreHolder[] = u"the store holds messages and calls only";
std::u16string LeftOutHolder(FileKind target);

// "5 multimedia messages and 10 call entries left out: the store holds SMS only.", naming only
// the counts that are not zero; then the messages without any address, and what no target
// holds: "3 tapbacks and 1 group event left out: no file keeps them as messages." and "2
// attachments were not found (kept in iCloud?): their messages are kept without them."; empty
// when nothing was left out.
std::u16string LeftOutText(const LeftOut& leftOut, std::u16string_view holder);

// A request to end the running run at its next clean point, made by a signal handler (it only
// stores a lock-free atomic) and read by the runs: 0 while none was made, else the signal's
// number (SIGINT, SIGTERM). Process-wide; ClearStopRequest() for a new run.
void RequestStop(int signalNumber);
int StopRequested();
void ClearStopRequest();

// "Interrupted: 92,000 of 200,000 messages restored; run the same command again to complete it."
std::u16string InterruptedRestoreText(uint64_t done, uint64_t total);
// "Interrupted: stopped after 1,200 of 5,000 messages; the partial output was removed and PATH
// was not written." ("was not replaced" when PATH is there).
std::u16string InterruptedWriteText(uint64_t done, uint64_t total, std::u16string_view target,
                                    bool targetExists);

// The line added below a message when the run's partial output was kept:
// "Partial output: /home/ann/.sms.bak.Xa81Qz.part"
std::u16string PartialOutputLine(std::u16string_view path);

// The line added below an incomplete backup's text: the target was left as it was.
// "/home/ann/sms.bak was not replaced."
std::u16string NotReplacedLine(std::u16string_view target);

}  // namespace larkpost
