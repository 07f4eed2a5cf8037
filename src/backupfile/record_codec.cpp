#include "backupfile/record_codec.h"

#include <vector>

#include "backupfile/address.h"
#include "message/folder_path.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

// A line feed or carriage return inside a name would end its line early and shift every field
// after it; a blank keeps the record readable.
void AppendOneLine(std::u16string& line, std::u16string_view text) {
  const size_t start = line.size();
  line.append(text);
  for (size_t i = start; i < line.size(); ++i) {
    if (line[i] == u'\n' || line[i] == u'\r') line[i] = u' ';
  }
}

std::u16string OneLine(std::u16string_view text) {
  std::u16string line;
  AppendOneLine(line, text);
  return line;
}

void AppendDecimal(std::u16string& line, int32_t value) {
  const std::string digits = std::to_string(value);
  line.append(digits.begin(), digits.end());
}

void AppendRecipientLine(std::u16string& line, const std::vector<RecordRecipient>& recipients) {
  for (size_t i = 0; i < recipients.size(); ++i) {
    if (i > 0) line += u';';
    line += u'"';
    AppendOneLine(line, recipients[i].displayName);
    line += u"\" <";
    AppendOneLine(line, recipients[i].address);
    line += u"> ";
    AppendDecimal(line, recipients[i].type);
  }
}

void AppendSenderLine(std::u16string& line, const MessageRecord& record) {
  line += u'"';
  AppendOneLine(line, record.senderName);
  line += u"\" <";
  AppendOneLine(line, record.senderAddress);
  line += u'>';
}

void AppendUInt32(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
}

void AppendFileTime(std::string& out, const FILETIME& time) {
  AppendUInt32(out, time.dwLowDateTime);
  AppendUInt32(out, time.dwHighDateTime);
}

void AppendLine(std::string& out, std::u16string_view text, bool* replaced) {
  AppendAnsi(out, text, replaced);
  out.push_back('\n');
}

bool Fail(std::u16string& error, std::u16string text) {
  error = std::move(text);
  return false;
}

// Watches an entry grow, character by character, for the moment it first has the recipient
// form: a double quote, after it the three characters "\" <", and from the character after that
// "<" on, a ">" followed by a blank. Once it has the form the entry parses; before, it cannot.
// The matcher sees a text only up to a NUL, so nothing after one counts.
class EntryFormWatch {
 public:
  bool Feed(std::u16string_view text) {
    for (char16_t c : text) Feed(c);
    return complete_;
  }

 private:
  void Feed(char16_t c) {
    if (stopped_ || complete_) return;
    if (c == u'\0') {
      stopped_ = true;
      return;
    }
    if (!quoted_) {
      if (c == u'"') {
        quoted_ = true;
        quote_ = at_;
      }
    } else if (!opened_) {
      if (c == u'<' && at_ >= 2 && previous_ == u' ' && beforePrevious_ == u'"' &&
          at_ - 2 > quote_) {
        opened_ = true;
        addressStart_ = at_ + 1;
      }
    } else if (c == u' ' && previous_ == u'>' && at_ >= 1 && at_ - 1 >= addressStart_) {
      complete_ = true;
    }
    beforePrevious_ = previous_;
    previous_ = c;
    ++at_;
  }

  size_t at_ = 0, quote_ = 0, addressStart_ = 0;
  char16_t previous_ = 0, beforePrevious_ = 0;
  bool quoted_ = false, opened_ = false, complete_ = false, stopped_ = false;
};

// Splits the recipient line into entries. A ";" inside a name or address splits one entry in
// two when written, so pieces are joined, the ";" put back, until the entry has the recipient
// form; it is parsed once, then. Linear in the length of the line, however it is made.
bool ParseRecipientLine(const std::u16string& line, std::vector<RecordRecipient>& recipients) {
  if (line.empty()) return true;
  const std::vector<std::u16string> pieces = SplitText(line, std::u16string(u";"));
  for (size_t i = 0; i < pieces.size(); ++i) {
    std::u16string entry = pieces[i];
    EntryFormWatch watch;
    bool complete = watch.Feed(entry);
    while (!complete) {
      if (++i == pieces.size()) return false;
      entry += u';';
      watch.Feed(u";");
      entry += pieces[i];
      complete = watch.Feed(pieces[i]);
    }
    RecordRecipient recipient;
    if (!SplitRecipientText(entry, recipient)) return false;
    recipients.push_back(std::move(recipient));
  }
  return true;
}

}  // namespace

bool CheckRecordFields(const RecordFields& fields, MessageRecord& record, std::u16string& error) {
  record = MessageRecord{};
  // The store keeps no NUL: a folder name would be cut there (empty, it cannot be created at
  // all), a sender or recipient cut differently on each rerun, which would add it again. What a
  // restore cannot put back, verify refuses alike, with the text a restore would give.
  constexpr char16_t kNul = u'\0';
  if (fields.folderPath.find(kNul) != std::u16string::npos) {
    return Fail(error, CreateFolderError(fields.folderPath.substr(0, fields.folderPath.find(kNul))));
  }
  if (fields.recipients.find(kNul) != std::u16string::npos) return Fail(error, kParseRecipientError);
  if (fields.sender.find(kNul) != std::u16string::npos) return Fail(error, kParseSenderError);
  FolderPath path;
  switch (ParseFolderPath(fields.folderPath, path)) {
    case FolderPathResult::kUnknownFolder:
      return Fail(error, CreateFolderError(fields.folderPath));
    case FolderPathResult::kTooDeep:
      return Fail(error, kFolderTooDeepError);
    case FolderPathResult::kOk:
      break;
  }
  if (fields.messageClass != kSmsClass) return Fail(error, kUnknownClassError);
  if (!ParseRecipientLine(fields.recipients, record.recipients)) {
    return Fail(error, kParseRecipientError);
  }
  if (!SplitSenderText(fields.sender, record.senderName, record.senderAddress)) {
    return Fail(error, kParseSenderError);
  }
  record.messageClass = fields.messageClass;
  record.folderPath = fields.folderPath;
  record.lastModified = fields.lastModified;
  record.deliveryTime = fields.deliveryTime;
  record.flags = fields.flags;
  record.size = fields.size;
  record.text = fields.text;
  return true;
}

std::string EncodeRecord(const MessageRecord& record, bool* replaced) {
  const std::string text = WideToAnsi(record.text + u'\n', replaced);
  std::string out;
  out.reserve(text.size() + 256);
  AppendLine(out, OneLine(record.messageClass), replaced);
  AppendLine(out, OneLine(record.folderPath), replaced);
  AppendFileTime(out, record.lastModified);
  AppendFileTime(out, record.deliveryTime);
  AppendUInt32(out, record.flags);
  AppendUInt32(out, record.size);
  std::u16string line;
  AppendRecipientLine(line, record.recipients);
  AppendLine(out, line, replaced);
  line.clear();
  AppendSenderLine(line, record);
  AppendLine(out, line, replaced);
  AppendUInt32(out, static_cast<uint32_t>(text.size()));
  out += text;
  return out;
}

}  // namespace larkpost
