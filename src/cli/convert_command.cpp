#include <memory>
#include <ostream>
#include <string>

#include "cli/commands.h"
#include "cli/printable.h"
#include "cli/terminal_ui.h"
#include "jobs/message_files.h"
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
      io.err << PrintableLine(reader->error()) << "\n";
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
    io.err << PrintableLine(WideToUtf8(error.ErrorMessage())) << "\n";
    return kExitFailure;
  }
}

int ConvertFiles(const std::u16string& in, const std::u16string& out, DeletedAs deletedAs,
                 CliStreams& io) {
  ConvertResult result;
  try {
    if (!ConvertMessageFile(in, out, deletedAs, result)) {
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
  io.out << "Converted " << Plural(read.messages, "message", "messages") << " from "
         << PrintableLine(WideToUtf8(in)) << " to " << PrintableLine(WideToUtf8(out)) << ".\n";
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
  if (result.replacedMessages > 0) {
    io.out << Plural(result.replacedMessages, "message holds", "messages hold")
           << " characters the code page lacks; they are written as \"?\" (see --codepage).\n";
  }
  return kExitSuccess;
}

}  // namespace larkpost
