// salvage: what a damaged file still holds, into a new file, with a report of what was skipped.
#include <algorithm>
#include <ostream>
#include <string>

#include "cli/commands.h"
#include "cli/printable.h"
#include "cli/terminal_ui.h"
#include "jobs/outcome.h"
#include "platform/file/output_file.h"
#include "jobs/salvage_run.h"
#include "message/counts.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

void ReportBackupFile(const SalvageResult& result, const std::string& out, CliStreams& io) {
  const SalvageReport& report = result.backup;
  io.out << "Kept " << report.kept << (report.kept == 1 ? " record" : " records") << " in " << out
         << "; the damaged file's count said " << report.declaredCount << ", its digest "
         << (report.digestValid ? "matched" : "did not match") << ".\n";
  for (const SkippedStretch& skipped : report.skipped) {
    io.out << "Skipped: record " << skipped.record << " at byte " << skipped.offset << " ("
           << skipped.length << " bytes): " << PrintableLine(WideToUtf8(skipped.error)) << "\n";
  }
  // Fewer records than the file said it held are lost records, even when no bytes were skipped
  // (a file cut off right after a record).
  if (report.kept < report.declaredCount && report.skipped.empty()) {
    io.out << "Missing: " << Counted(report.declaredCount - report.kept, "record", "records")
           << " the count names are not in the file.\n";
  }
}

void ReportPhoneFile(const SalvageResult& result, const std::string& out, CliStreams& io) {
  const SalvageLog& log = result.phone;
  const bool xml = log.markup;
  io.out << "Kept " << Counted(log.entriesKept, "entry", "entries");
  if (result.read.messages != log.entriesKept) {
    io.out << " (" << Counted(result.read.messages, "message", "messages") << ")";
  }
  // Calls OUT holds, or its call log beside it; those it cannot hold are named as left out.
  const uint64_t callsKept =
      result.read.calls - std::min(result.read.calls, result.written.callsLeftOut);
  if (callsKept > 0) io.out << " and " << Counted(callsKept, "call entry", "call entries");
  io.out << " in " << out;
  if (log.declaredEntries) io.out << "; the file's count said " << *log.declaredEntries;
  io.out << ".\n";
  for (const DamagedStretch& skipped : log.skipped) {
    io.out << "Skipped: ";
    if (xml) {
      if (skipped.betweenEntries) {
        io.out << Counted(skipped.length, "byte", "bytes") << " at byte " << skipped.offset
               << " (line " << skipped.line << ") before entry " << skipped.entry;
      } else {
        io.out << "entry " << skipped.entry << " at byte " << skipped.offset << " (line "
               << skipped.line << ", " << Counted(skipped.length, "byte", "bytes") << ")";
      }
    } else if (skipped.inArchive) {
      io.out << "messages.ndjson from line " << skipped.entry << " on, at byte " << skipped.offset
             << " of the archive (" << Counted(skipped.length, "byte", "bytes") << ")";
    } else {
      io.out << "line " << skipped.entry << " of messages.ndjson at its byte " << skipped.offset
             << " (" << Counted(skipped.length, "byte", "bytes") << ")";
    }
    io.out << ": " << PrintableLine(skipped.error) << "\n";
  }
  if (log.unlistedStretches > 0) {
    io.out << "Skipped: " << Counted(log.unlistedStretches, "more stretch", "more stretches")
           << " (" << Counted(log.unlistedBytes, "byte", "bytes") << "), not listed one by one.\n";
  }
  for (const std::string& note : log.notes) io.out << "Damage: " << PrintableLine(note) << ".\n";
  if (log.unlistedNotes > 0) {
    io.out << "Damage: " << Counted(log.unlistedNotes, "more note", "more notes")
           << ", not listed one by one.\n";
  }
  if (log.declaredEntries && log.entriesFound < *log.declaredEntries) {
    io.out << "Missing: " << Counted(*log.declaredEntries - log.entriesFound, "entry", "entries")
           << " the count names are not in the file.\n";
  } else if (xml && log.cutShort && !log.declaredEntries) {
    io.out << "Cut short: the file ends before </" << log.root << ">; whatever followed is lost.\n";
  }
}

}  // namespace

int RunSalvage(const std::u16string& damagedPath, const std::u16string& outPath,
               DeletedAs deletedAs, CliStreams& io) {
  const std::string out = PrintableLine(WideToPath(outPath));
  SalvageResult result;
  const auto write = [&] { return SalvageMessageFile(damagedPath, outPath, deletedAs, result); };
  if (const std::optional<int> failed =
          WriteOrReport("salvage", outPath, write, result.error, io)) {
    return *failed;
  }
  if (result.backup.byRecord) {
    ReportBackupFile(result, out, io);
  } else {
    ReportPhoneFile(result, out, io);
  }
  // What OUT's format cannot hold (multimedia messages or calls in a backup file, messages in a
  // call log) is named, and makes the salvage incomplete, as it makes a conversion.
  LeftOut leftOut = LeftOutByReader(result.read);
  leftOut += UnwrittenOf(result.written);
  if (leftOut.Any()) {
    io.out << WideToUtf8(LeftOutText(leftOut, LeftOutHolder(FileKindForPath(outPath)))) << "\n";
  }
  if (result.written.replacedMessages > 0) {
    io.err << WideToUtf8(LossyBackupText(result.written.replacedMessages, GetACP())) << "\n";
  }
  return result.Incomplete() || result.written.replacedMessages > 0 || leftOut.Any()
             ? kExitIncomplete
             : kExitSuccess;
}

}  // namespace larkpost
