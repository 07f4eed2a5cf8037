#include <sys/stat.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <utility>

#include "message/folder_path.h"
#include "cli/commands.h"
#include "cli/printable.h"
#include "cli/record_json.h"
#include "cli/selection_options.h"
#include "message/counts.h"
#include "cli/terminal_ui.h"
#include "jobs/message_files.h"
#include "jobs/outcome.h"
#include "platform/file/output_file.h"
#include "platform/file/file.h"
#include "platform/framework/strings.h"
#include "platform/text/text.h"

namespace larkpost {

bool ParseDeletedAs(const std::string& text, DeletedAs& deletedAs) {
  if (text == "direction") {
    deletedAs = DeletedAs::kByDirection;
  } else if (text == "received") {
    deletedAs = DeletedAs::kReceived;
  } else if (text == "sent") {
    deletedAs = DeletedAs::kSent;
  } else {
    return false;
  }
  return true;
}

std::string CallsWrittenLine(uint64_t calls, const std::u16string& callLog) {
  if (calls == 0) return std::string();
  std::string line = "Wrote " + Counted(calls, "call entry", "call entries");
  if (!callLog.empty()) line += " into " + PrintableLine(WideToPath(callLog));
  return line + ".";
}

void AddCallsJson(nlohmann::ordered_json& summary, uint64_t calls, const std::u16string& callLog) {
  summary["calls"] = calls;
  if (!callLog.empty()) summary["callLog"] = WideToUtf8(callLog);
}

int ConvertFiles(const std::u16string& in, const std::u16string& out, DeletedAs deletedAs,
                 const Selection& selection, bool json, CliStreams& io) {
  ConvertResult result;
  const auto write = [&] { return ConvertMessageFile(in, out, deletedAs, selection, result); };
  if (const std::optional<int> failed =
          WriteOrReport("convert", out, write, result.error, io, in)) {
    return *failed;
  }
  const ReadCounts& read = result.read;
  if (json) {
    nlohmann::ordered_json summary;
    summary["converted"] = result.written;
    summary["read"] = read.messages;
    summary["entries"] = read.entries;
    summary["entriesWritten"] = result.entriesWritten;
    if (selection.Narrows()) summary["selected"] = result.selected;
    summary["replaced"] = result.replacedMessages;
    AddCallsJson(summary, result.callsWritten, result.callLog);
    AddLeftOutJson(summary, result.leftOut.multimedia, result.leftOut.calls);
    io.out << JsonLine(summary) << "\n";
    return ReportLossy(result.replacedMessages, result.leftOut, FileKindForPath(out), io);
  }
  io.out << "Converted " << Counted(result.written, "message", "messages") << " from "
         << PrintableLine(WideToPath(in)) << " to " << PrintableLine(WideToPath(out)) << ".\n";
  if (selection.Narrows()) {
    io.out << SelectedLine(result.selected, read.messages + read.calls) << "\n";
  }
  if (read.entries != read.messages) {
    io.out << "Read " << Counted(read.entries, "entry", "entries") << ".\n";
  }
  if (result.entriesWritten != result.written) {
    io.out << "Wrote " << Counted(result.entriesWritten, "entry", "entries")
           << " (one per recipient).\n";
  }
  if (const std::string calls = CallsWrittenLine(result.callsWritten, result.callLog);
      !calls.empty()) {
    io.out << calls << "\n";
  }
  return ReportLossy(result.replacedMessages, result.leftOut, FileKindForPath(out), io);
}

std::optional<int> WriteOrReport(const char* command, const std::u16string& out,
                                 const std::function<bool()>& write,
                                 const std::u16string& error, CliStreams& io,
                                 const std::u16string& in) {
  const std::string shown = PrintableLine(WideToPath(out));
  struct stat info {};
  const bool outExisted = stat(WideToPath(out).c_str(), &info) == 0;
  try {
    if (write()) return std::nullopt;
    if (StopRequested() != 0) {
      io.err << "Interrupted: the partial output was removed; " << shown
             << (outExisted ? " was not replaced.\n" : " was not written.\n");
      return InterruptedExitStatus();
    }
    io.err << "larkpost: " << command << ": " << PrintableLine(WideToUtf8(error)) << "\n";
    if (!in.empty() && error == LoadString(IDS_FILE_VALIDATION_FAILED)) HintWrongFile(in, io);
    io.err << "Nothing was written.\n";
  } catch (const CFileException& fileError) {
    io.err << PrintableLine(WideToUtf8(fileError.ErrorMessage())) << "\n";
  } catch (const OutputRefused& refused) {
    io.err << PrintableLine(WideToUtf8(refused.text)) << "\n";
  }
  return kExitFailure;
}

int ReportLossy(uint64_t replacedMessages, const LeftOut& leftOut, FileKind target,
                CliStreams& io) {
  // Counted and told as a backup tells them: the file is complete, but not faithful.
  if (replacedMessages > 0) {
    io.err << WideToUtf8(LossyBackupText(replacedMessages, GetACP())) << "\n";
  }
  if (leftOut.Any()) io.err << WideToUtf8(LeftOutText(leftOut, LeftOutHolder(target))) << "\n";
  return replacedMessages > 0 || leftOut.Any() ? kExitIncomplete : kExitSuccess;
}

}  // namespace larkpost
