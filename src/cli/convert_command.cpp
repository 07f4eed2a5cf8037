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

namespace {

// A multimedia message's parts below its text, one line each, without their content:
// "  Part: image/jpeg "a.jpg" a.jpg (3,000 bytes)".
void PrintParts(const Multimedia& multimedia, std::ostream& out) {
  auto text = [](const Column& column) { return column ? PrintableLine(WideToUtf8(*column)) : ""; };
  for (const MessagePart& part : multimedia.parts) {
    out << "  Part: " << text(part.contentType);
    if (part.name) out << " \"" << text(part.name) << "\"";
    if (part.fileName && part.fileName != part.name) out << " " << text(part.fileName);
    out << " (" << Counted(PartByteCount(part), "byte", "bytes") << ")\n";
  }
}

// The call entries a listing of a phone's file passes over (it lists messages, multimedia ones
// among them).
void ReportCallsNotListed(const ReadCounts& read, std::ostream& out) {
  const LeftOut notListed = LeftOutByReader(read);
  if (notListed.Any()) out << WideToUtf8(LeftOutText(notListed, u"only messages are listed")) << "\n";
}

}  // namespace

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

// Reads every message of the phone file at `path` into `each`, then lets `done` make the
// command's result from the reader's counts. A broken entry or a file error is printed, and the
// command fails.
int ReadPhoneFile(const std::u16string& path, CliStreams& io,
                  const std::function<void(const MessageRecord&)>& each,
                  const std::function<int(const MessageReader&)>& done) {
  try {
    std::unique_ptr<MessageReader> reader = OpenMessageReader(path, InputKindOf(path));
    MessageRecord record;
    while (reader->Next(record)) each(record);
    if (!reader->error().empty()) {
      io.err << PrintableLine(reader->error()) << "\n";
      return kExitFailure;
    }
    return done(*reader);
  } catch (const CFileException& error) {
    io.err << PrintableLine(WideToUtf8(error.ErrorMessage())) << "\n";
    return kExitFailure;
  }
}

int VerifyPhoneFile(const std::u16string& path, bool json, const Selection& selection,
                    CliStreams& io) {
  uint64_t selected = 0;
  uint64_t multimedia = 0;
  auto each = [&](const MessageRecord& record) {
    if (record.multimedia) ++multimedia;
    if (selection.Selects(record)) ++selected;
  };
  return ReadPhoneFile(path, io, each, [&](const MessageReader& reader) {
    const ReadCounts& read = reader.counts();
    // What a restore of the file would leave out of the store.
    LeftOut restoreLeavesOut = LeftOutByReader(read);
    restoreLeavesOut.multimedia += multimedia;
    if (json) {
      nlohmann::ordered_json summary;
      summary["messages"] = read.messages;
      summary["multimedia"] = multimedia;
      summary["entries"] = read.entries;
      AddLeftOutJson(summary, restoreLeavesOut.multimedia, restoreLeavesOut.calls);
      // What only an iPhone's messages hold, named when there is any.
      const std::pair<const char*, uint64_t> notMessages[] = {
          {"tapbacksLeftOut", restoreLeavesOut.tapbacks},
          {"unsentLeftOut", restoreLeavesOut.unsent},
          {"groupEventsLeftOut", restoreLeavesOut.groupEvents},
          {"stickersLeftOut", restoreLeavesOut.stickers},
          {"attachmentsMissing", restoreLeavesOut.attachmentsMissing}};
      for (const auto& [key, count] : notMessages) {
        if (count > 0) summary[key] = count;
      }
      if (selection.Narrows()) summary["selected"] = selected;
      io.out << JsonLine(summary) << "\n";
      return kExitSuccess;
    }
    io.out << "OK: " << Counted(read.messages, "message", "messages");
    if (multimedia > 0) io.out << " (" << Thousands(multimedia) << " multimedia)";
    io.out << " in " << Counted(read.entries, "entry", "entries") << "\n";
    if (restoreLeavesOut.Any()) {
      io.out << "On restore, " << WideToUtf8(LeftOutText(restoreLeavesOut, kStoreHolder)) << "\n";
    }
    if (selection.Narrows()) io.out << SelectedLine(selected, read.messages) << "\n";
    return kExitSuccess;
  });
}

int ShowPhoneFile(const std::u16string& path, bool json, const Selection& selection,
                  CliStreams& io) {
  uint64_t number = 0;
  uint64_t selected = 0;
  auto each = [&](const MessageRecord& record) {
    ++number;
    if (!selection.Selects(record)) return;
    ++selected;
    std::string recipients;
    for (const RecordRecipient& r : record.recipients) {
      if (!recipients.empty()) recipients += ";";
      recipients += "\"" + WideToUtf8(r.displayName) + "\" <" + WideToUtf8(r.address) + ">";
    }
    if (json) {
      nlohmann::ordered_json line;
      line["record"] = number;
      line["folder"] = WideToUtf8(record.folderPath);
      line["deliveryTime"] = FileTimeToUInt64(record.deliveryTime);
      line["flags"] = record.flags;
      AddPartiesJson(line, record);
      line["text"] = WideToUtf8(record.text);
      if (record.multimedia) AddMultimediaJson(line, *record.multimedia);
      io.out << JsonLine(line) << "\n";
      return;
    }
    // As a backup file's records are listed; the texts come from the file, so they are printed
    // with their control characters escaped.
    io.out << "No." << number << "  "
           << PrintableLine(WideToUtf8(ShownFolderPath(record.folderPath))) << "  "
           << ShownTime(record.deliveryTime) << "\n"
           << "  From: \"" << PrintableLine(WideToUtf8(record.senderName)) << "\" <"
           << PrintableLine(WideToUtf8(record.senderAddress)) << ">\n"
           << "  To:   " << PrintableLine(recipients) << "\n"
           << "    " << PrintableIndented(WideToUtf8(record.text), "    ") << "\n";
    if (record.multimedia) PrintParts(*record.multimedia, io.out);
  };
  return ReadPhoneFile(path, io, each, [&](const MessageReader& reader) {
    // With --json the standard output carries the messages alone.
    std::ostream& notes = json ? io.err : io.out;
    if (selection.Narrows()) notes << SelectedLine(selected, number) << "\n";
    ReportCallsNotListed(reader.counts(), notes);
    return kExitSuccess;
  });
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
    AddLeftOutJson(summary, result.leftOut.multimedia, result.leftOut.calls);
    io.out << JsonLine(summary) << "\n";
    return ReportLossy(result.replacedMessages, result.leftOut, FileKindForPath(out), io);
  }
  io.out << "Converted " << Counted(result.written, "message", "messages") << " from "
         << PrintableLine(WideToPath(in)) << " to " << PrintableLine(WideToPath(out)) << ".\n";
  if (selection.Narrows()) io.out << SelectedLine(result.selected, read.messages) << "\n";
  if (read.entries != read.messages) {
    io.out << "Read " << Counted(read.entries, "entry", "entries") << ".\n";
  }
  if (result.entriesWritten != result.written) {
    io.out << "Wrote " << Counted(result.entriesWritten, "entry", "entries")
           << " (one per recipient).\n";
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
