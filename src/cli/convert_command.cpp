#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "backupfile/text_export.h"
#include "cli/commands.h"
#include "cli/printable.h"
#include "cli/terminal_ui.h"
#include "jobs/message_files.h"
#include "jobs/outcome.h"
#include "jobs/output_file.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

std::string Thousands(uint64_t value) {
  std::string digits = std::to_string(value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits;
}

// A message text below its header, every line indented.
std::string IndentedText(const std::u16string& text) {
  std::string out;
  for (char c : PrintableText(WideToUtf8(text))) {
    out.push_back(c);
    if (c == '\n') out += "    ";
  }
  return out;
}

std::string Plural(uint64_t count, const char* one, const char* many) {
  return Thousands(count) + " " + (count == 1 ? one : many);
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

int VerifyPhoneFile(const std::u16string& path, CliStreams& io) {
  try {
    std::unique_ptr<MessageReader> reader = OpenMessageReader(path, FileKindForPath(path));
    MessageRecord record;
    while (reader->Next(record)) {
    }
    if (!reader->error().empty()) {
      io.err << reader->error() << "\n";
      return kExitFailure;
    }
    const ReadCounts& read = reader->counts();
    io.out << "OK: " << Plural(read.messages, "message", "messages") << " in "
           << Plural(read.entries, "entry", "entries");
    if (read.mmsSkipped > 0) {
      io.out << "; " << Plural(read.mmsSkipped, "multimedia message", "multimedia messages")
             << " would be left out";
    }
    io.out << "\n";
    return kExitSuccess;
  } catch (const CFileException& error) {
    io.err << WideToUtf8(error.ErrorMessage()) << "\n";
    return kExitFailure;
  }
}

int ShowPhoneFile(const std::u16string& path, bool json, CliStreams& io) {
  try {
    std::unique_ptr<MessageReader> reader = OpenMessageReader(path, FileKindForPath(path));
    MessageRecord record;
    uint64_t number = 0;
    while (reader->Next(record)) {
      ++number;
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
        line["sender"] = {{"name", WideToUtf8(record.senderName)},
                          {"address", WideToUtf8(record.senderAddress)}};
        line["recipients"] = nlohmann::ordered_json::array();
        for (const RecordRecipient& r : record.recipients) {
          line["recipients"].push_back({{"name", WideToUtf8(r.displayName)},
                                        {"address", WideToUtf8(r.address)},
                                        {"type", r.type}});
        }
        line["text"] = WideToUtf8(record.text);
        io.out << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
      } else {
        // As a backup file's records are listed; the texts come from the file, so they are
        // printed with their control characters escaped.
        io.out << "No." << number << "  " << PrintableLine(WideToUtf8(record.folderPath)) << "  "
               << WideToUtf8(FormatMessageTime(record.deliveryTime)) << "\n"
               << "  From: \"" << PrintableLine(WideToUtf8(record.senderName)) << "\" <"
               << PrintableLine(WideToUtf8(record.senderAddress)) << ">\n"
               << "  To:   " << PrintableLine(recipients) << "\n"
               << "    " << IndentedText(record.text) << "\n";
      }
    }
    if (!reader->error().empty()) {
      io.err << PrintableLine(reader->error()) << "\n";
      return kExitFailure;
    }
    return kExitSuccess;
  } catch (const CFileException& error) {
    io.err << PrintableLine(WideToUtf8(error.ErrorMessage())) << "\n";
    return kExitFailure;
  }
}

int ConvertFiles(const std::u16string& in, const std::u16string& out, DeletedAs deletedAs,
                 CliStreams& io) {
  ConvertResult result;
  try {
    if (!ConvertMessageFile(in, out, deletedAs, result)) {
      if (StopRequested() != 0) {
        io.err << "Interrupted: the partial output was removed; " << WideToUtf8(out)
               << " was not written.\n";
        return InterruptedExitStatus();
      }
      io.err << "larkpost: convert: " << WideToUtf8(result.error) << "\n"
             << "Nothing was written.\n";
      return kExitFailure;
    }
  } catch (const CFileException& error) {
    io.err << WideToUtf8(error.ErrorMessage()) << "\n";
    return kExitFailure;
  } catch (const OutputRefused& refused) {
    io.err << WideToUtf8(refused.text) << "\n";
    return kExitFailure;
  }
  const ReadCounts& read = result.read;
  io.out << "Converted " << Plural(read.messages, "message", "messages") << " from "
         << WideToUtf8(in) << " to " << WideToUtf8(out) << ".\n";
  if (read.entries != read.messages || read.mmsSkipped > 0) {
    io.out << "Read " << Plural(read.entries, "entry", "entries");
    if (read.mmsSkipped > 0) {
      io.out << "; skipped " << Plural(read.mmsSkipped, "multimedia message", "multimedia messages")
             << " (only text messages are converted)";
    }
    io.out << ".\n";
  }
  if (result.entriesWritten != read.messages) {
    io.out << "Wrote " << Plural(result.entriesWritten, "entry", "entries")
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
