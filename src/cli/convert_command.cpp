#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "backupfile/text_export.h"
#include "cli/commands.h"
#include "cli/printable.h"
#include "cli/record_json.h"
#include "cli/selection_options.h"
#include "message/counts.h"
#include "cli/terminal_ui.h"
#include "jobs/message_files.h"
#include "jobs/outcome.h"
#include "jobs/output_file.h"
#include "platform/file/file.h"
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

int VerifyPhoneFile(const std::u16string& path, const Selection& selection, CliStreams& io) {
  try {
    std::unique_ptr<MessageReader> reader = OpenMessageReader(path, FileKindForPath(path));
    MessageRecord record;
    uint64_t selected = 0;
    while (reader->Next(record)) {
      if (selection.Selects(record)) ++selected;
    }
    if (!reader->error().empty()) {
      io.err << PrintableLine(reader->error()) << "\n";
      return kExitFailure;
    }
    const ReadCounts& read = reader->counts();
    io.out << "OK: " << Counted(read.messages, "message", "messages") << " in "
           << Counted(read.entries, "entry", "entries");
    io.out << "\n";
    if (selection.Narrows()) io.out << SelectedLine(selected, read.messages) << "\n";
    return kExitSuccess;
  } catch (const CFileException& error) {
    io.err << PrintableLine(WideToUtf8(error.ErrorMessage())) << "\n";
    return kExitFailure;
  }
}

int ShowPhoneFile(const std::u16string& path, bool json, const Selection& selection,
                  CliStreams& io) {
  try {
    std::unique_ptr<MessageReader> reader = OpenMessageReader(path, FileKindForPath(path));
    MessageRecord record;
    uint64_t number = 0;
    uint64_t selected = 0;
    while (reader->Next(record)) {
      ++number;
      if (!selection.Selects(record)) continue;
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
        io.out << JsonLine(line) << "\n";
      } else {
        // As a backup file's records are listed; the texts come from the file, so they are
        // printed with their control characters escaped.
        io.out << "No." << number << "  " << PrintableLine(WideToUtf8(record.folderPath)) << "  "
               << WideToUtf8(FormatMessageTime(record.deliveryTime)) << "\n"
               << "  From: \"" << PrintableLine(WideToUtf8(record.senderName)) << "\" <"
               << PrintableLine(WideToUtf8(record.senderAddress)) << ">\n"
               << "  To:   " << PrintableLine(recipients) << "\n"
               << "    " << PrintableIndented(WideToUtf8(record.text), "    ") << "\n";
      }
    }
    if (!reader->error().empty()) {
      io.err << PrintableLine(reader->error()) << "\n";
      return kExitFailure;
    }
    // With --json the standard output carries the messages alone.
    if (selection.Narrows()) (json ? io.err : io.out) << SelectedLine(selected, number) << "\n";
    return kExitSuccess;
  } catch (const CFileException& error) {
    io.err << PrintableLine(WideToUtf8(error.ErrorMessage())) << "\n";
    return kExitFailure;
  }
}

int ConvertFiles(const std::u16string& in, const std::u16string& out, DeletedAs deletedAs,
                 const Selection& selection, CliStreams& io) {
  ConvertResult result;
  try {
    if (!ConvertMessageFile(in, out, deletedAs, selection, result)) {
      if (StopRequested() != 0) {
        io.err << "Interrupted: the partial output was removed; " << PrintableLine(WideToUtf8(out))
               << " was not written.\n";
        return InterruptedExitStatus();
      }
      io.err << "larkpost: convert: " << PrintableLine(WideToUtf8(result.error)) << "\n"
             << "Nothing was written.\n";
      return kExitFailure;
    }
  } catch (const CFileException& error) {
    io.err << PrintableLine(WideToUtf8(error.ErrorMessage())) << "\n";
    return kExitFailure;
  } catch (const OutputRefused& refused) {
    io.err << PrintableLine(WideToUtf8(refused.text)) << "\n";
    return kExitFailure;
  }
  const ReadCounts& read = result.read;
  io.out << "Converted " << Counted(result.selected, "message", "messages") << " from "
         << PrintableLine(WideToUtf8(in)) << " to " << PrintableLine(WideToUtf8(out)) << ".\n";
  if (selection.Narrows()) io.out << SelectedLine(result.selected, read.messages) << "\n";
  if (read.entries != read.messages) {
    io.out << "Read " << Counted(read.entries, "entry", "entries");
    io.out << ".\n";
  }
  if (result.entriesWritten != result.selected) {
    io.out << "Wrote " << Counted(result.entriesWritten, "entry", "entries")
           << " (one per recipient).\n";
  }
  // Counted and told as a backup tells them: the file is complete, but not faithful.
  if (result.replacedMessages > 0) {
    io.err << WideToUtf8(LossyBackupText(result.replacedMessages, GetACP())) << "\n";
    return kExitIncomplete;
  }
  return kExitSuccess;
}

}  // namespace larkpost
