#include "backupfile/record.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "backupfile/address.h"
#include "jobs/job_records.h"
#include "platform/text/text.h"
#include "store/find_folder.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/session.h"

namespace larkpost {

namespace {

constexpr char16_t kReadFolderLineError[] = u"Read folder line error!";
constexpr char16_t kUnknownClassError[] = u"Unknow message class name!";
constexpr char16_t kCreateMessageError[] = u"Create message error!";
constexpr char16_t kParseRecipientError[] = u"Parse recipient error!";
constexpr char16_t kParseSenderError[] = u"Parse sender info error!";
constexpr char16_t kSaveError[] = u"Save sms error!";
constexpr char16_t kLineTooLongError[] = u"Text line too long error!";
constexpr char16_t kTruncatedError[] = u"Record truncated error!";
constexpr char16_t kTextLengthError[] = u"Message text length error!";
constexpr char16_t kSmsClass[] = u"IPM.SMStext";

std::u16string CreateFolderError(const std::u16string& path) {
  return u"Create folder '" + path + u"' error!";
}

// A line feed or carriage return inside a name would end its line early and shift every field
// after it; a blank keeps the record readable.
std::u16string OneLine(std::u16string_view text) {
  std::u16string line(text);
  for (char16_t& c : line) {
    if (c == u'\n' || c == u'\r') c = u' ';
  }
  return line;
}

std::u16string Decimal(int32_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

void AppendUInt32(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
}

void AppendFileTime(std::string& out, const FILETIME& time) {
  AppendUInt32(out, time.dwLowDateTime);
  AppendUInt32(out, time.dwHighDateTime);
}

void AppendLine(std::string& out, std::u16string_view text) {
  out += WideToAnsi(text);
  out.push_back('\n');
}

// The display names from the standard folder down to `folder`, joined by backslashes.
std::u16string FolderPathOf(const SmsFolder& folder) {
  std::vector<const SmsFolder*> chain;
  for (const SmsFolder* level = &folder; level != nullptr; level = level->parent) {
    chain.push_back(level);
  }
  std::u16string path;
  for (auto level = chain.rbegin(); level != chain.rend(); ++level) {
    if (level != chain.rbegin()) path += u'\\';
    path += OneLine((*level)->displayName);
  }
  return path;
}

std::u16string RecipientLine(const RecipientList& recipients) {
  std::u16string line;
  for (const auto& recipient : recipients) {
    line += u'"';
    line += OneLine(recipient->displayName);
    line += u"\" <";
    line += OneLine(recipient->address);
    line += u"> ";
    line += Decimal(recipient->type);
    line += u';';
  }
  if (!line.empty()) line.pop_back();
  return line;
}

// Reads exactly `count` bytes; false when the file ends first.
bool ReadExact(CFile& file, void* buffer, unsigned count) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  unsigned done = 0;
  while (done < count) {
    const unsigned got = file.Read(bytes + done, count - done);
    if (got == 0) return false;
    done += got;
  }
  return true;
}

bool ReadUInt32(CFile& file, uint32_t& value) {
  unsigned char bytes[4];
  if (!ReadExact(file, bytes, 4)) return false;
  value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
          static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  return true;
}

bool ReadFileTime(CFile& file, FILETIME& time) {
  return ReadUInt32(file, time.dwLowDateTime) && ReadUInt32(file, time.dwHighDateTime);
}

bool Fail(std::u16string& error, std::u16string text) {
  error = std::move(text);
  return false;
}

// Reads one line of a record, which must end at a line feed.
bool ReadRecordLine(CFile& file, std::u16string& line, std::u16string& error) {
  std::string narrow;
  switch (ReadTextLine(file, narrow)) {
    case LineEnd::kTooLong:
      return Fail(error, kLineTooLongError);
    case LineEnd::kEndOfFile:
      return Fail(error, kTruncatedError);
    case LineEnd::kLineFeed:
      break;
  }
  line = AnsiToWide(narrow);
  return true;
}

// The longest sender or recipient entry the reader parses. The address patterns backtrack, and
// their cost grows with the cube of the text on unlucky input ("\" <" repeated); this bound keeps
// each parse as cheap as when lines were cut at 1023 bytes, while a line may hold any number of
// entries. No entry this program writes for a real message comes near it.
constexpr size_t kMaxEntryLength = 1023;

// Splits the recipient line into entries. A ";" inside a name or address splits one entry in
// two, so a piece that does not parse is joined with the following ones, the ";" put back,
// until it parses. Only a piece holding "> " can complete an entry (the entry form ends with
// "> " and digits), and an entry takes in at most kMaxJoinedPieces more pieces: a line of broken
// pieces is not parsed over and over.
constexpr size_t kMaxJoinedPieces = 16;

std::unique_ptr<SmsRecipient> ParseEntry(const std::u16string& entry) {
  return entry.size() <= kMaxEntryLength ? ParseRecipientText(entry) : nullptr;
}

bool ParseRecipientLine(const std::u16string& line, RecipientList& recipients) {
  const std::vector<std::u16string> pieces = SplitText(line, std::u16string(u";"));
  for (size_t i = 0; i < pieces.size(); ++i) {
    std::u16string entry = pieces[i];
    std::unique_ptr<SmsRecipient> recipient = ParseEntry(entry);
    for (size_t joined = 0; recipient == nullptr; ++joined) {
      if (++i == pieces.size() || joined == kMaxJoinedPieces) return false;
      entry += u';';
      entry += pieces[i];
      if (entry.size() > kMaxEntryLength) return false;
      if (pieces[i].find(u"> ") != std::u16string::npos) recipient = ParseEntry(entry);
    }
    recipients.push_back(std::move(recipient));
  }
  return true;
}

}  // namespace

bool WriteMessageRecord(BackupJob& job, CFile& file, SmsMessage& message) {
  if (message.folder == nullptr) return false;
  // A message whose recipients cannot be read would lose them silently; the walk fails instead.
  const RecipientList* recipients = message.Recipients();
  if (recipients == nullptr) return false;
  const std::string text = WideToAnsi(message.text + u'\n');
  if (text.size() > std::numeric_limits<uint32_t>::max()) return false;

  // The whole record goes out in one write, so an interrupted backup never leaves half of one
  // behind a flushed record.
  std::string record;
  record.reserve(text.size() + 256);
  AppendLine(record, OneLine(message.messageClass));
  AppendLine(record, FolderPathOf(*message.folder));
  AppendFileTime(record, message.lastModified);
  AppendFileTime(record, message.deliveryTime);
  AppendUInt32(record, message.flags);
  AppendUInt32(record, message.size);
  AppendLine(record, RecipientLine(*recipients));
  std::u16string sender = u"\"";
  sender.append(OneLine(message.senderName)).append(u"\" <");
  sender.append(OneLine(message.senderAddress)).append(u">");
  AppendLine(record, sender);
  AppendUInt32(record, static_cast<uint32_t>(text.size()));
  record += text;
  if (record.size() > std::numeric_limits<unsigned>::max()) return false;

  file.Write(record.data(), static_cast<unsigned>(record.size()));
  if (!FlushFileBuffers(file)) {
    const int osError = errno;
    throw CFileException(CFileException::CauseFromErrno(osError), osError, file.GetFilePath());
  }
  job.RecordWritten();
  return true;
}

LineEnd ReadTextLine(CFile& file, std::string& line) {
  line.clear();
  char byte;
  while (file.Read(&byte, 1) == 1) {
    if (byte == '\n') return LineEnd::kLineFeed;
    if (byte == '\r') continue;
    if (line.size() == kMaxLineBytes) return LineEnd::kTooLong;
    line.push_back(byte);
  }
  return LineEnd::kEndOfFile;
}

bool ReadRecordFields(CFile& file, RecordFields& fields, std::u16string& error) {
  fields = RecordFields{};
  std::string narrow;
  if (ReadTextLine(file, narrow) == LineEnd::kTooLong) return Fail(error, kLineTooLongError);
  fields.messageClass = AnsiToWide(narrow);

  // An empty folder line is also what the end of the file gives, where a record count larger
  // than the records present leads.
  const LineEnd folderEnd = ReadTextLine(file, narrow);
  if (folderEnd == LineEnd::kTooLong) return Fail(error, kLineTooLongError);
  if (narrow.empty()) return Fail(error, kReadFolderLineError);
  if (folderEnd == LineEnd::kEndOfFile) return Fail(error, kTruncatedError);
  fields.folderPath = AnsiToWide(narrow);

  if (!ReadFileTime(file, fields.lastModified) || !ReadFileTime(file, fields.deliveryTime) ||
      !ReadUInt32(file, fields.flags) || !ReadUInt32(file, fields.size)) {
    return Fail(error, kTruncatedError);
  }
  if (!ReadRecordLine(file, fields.recipients, error)) return false;
  if (!ReadRecordLine(file, fields.sender, error)) return false;

  uint32_t length = 0;
  if (!ReadUInt32(file, length)) return Fail(error, kTruncatedError);
  // The length comes from the file: it is checked against what the file still holds before
  // anything is allocated for it.
  const uint64_t position = file.GetPosition();
  const uint64_t fileLength = file.GetLength();
  if (position > fileLength || length > fileLength - position) {
    return Fail(error, kTextLengthError);
  }
  std::string text(length, '\0');
  if (!ReadExact(file, text.data(), length)) return Fail(error, kTruncatedError);
  // Writing appended one line feed to the text; it is not part of the message.
  if (!text.empty() && text.back() == '\n') text.pop_back();
  text.resize(std::strlen(text.c_str()));
  fields.text = AnsiToWide(text);
  return true;
}

bool ReadMessageRecord(RestoreJob& job, CFile& file, std::u16string& error) {
  RecordFields fields;
  if (!ReadRecordFields(file, fields, error)) return false;

  // Find the target folder without creating anything: the store is changed only once the whole
  // record has been checked. An unknown standard folder name fails here.
  SmsFolder* target = nullptr;
  std::unique_ptr<SmsFolder> owned;
  const FolderLookup lookup = FindFolderPath(job.session, fields.folderPath, target, owned);
  if (lookup == FolderLookup::kFailed) return Fail(error, CreateFolderError(fields.folderPath));
  // A message already restored is consumed without checks.
  if (lookup == FolderLookup::kFound &&
      ContainsRestoredMessage(*target, fields.deliveryTime, fields.text)) {
    return true;
  }

  if (fields.messageClass != kSmsClass) return Fail(error, kUnknownClassError);
  RecipientList recipients;
  if (!fields.recipients.empty() && !ParseRecipientLine(fields.recipients, recipients)) {
    return Fail(error, kParseRecipientError);
  }
  SmsMessage parsedSender(nullptr, nullptr);  // holds the parsed name and address only
  if (fields.sender.size() > kMaxEntryLength || !ParseSenderText(parsedSender, fields.sender)) {
    return Fail(error, kParseSenderError);
  }

  if (lookup == FolderLookup::kMissing) {
    bool isStandard = false;
    target = ResolveFolderPath(job.session, fields.folderPath, isStandard, owned);
    if (target == nullptr) return Fail(error, CreateFolderError(fields.folderPath));
  }
  std::unique_ptr<SmsMessage> message = target->CreateMessage();
  if (message == nullptr) return Fail(error, kCreateMessageError);
  message->lastModified = fields.lastModified;
  message->deliveryTime = fields.deliveryTime;
  message->flags = fields.flags;
  message->size = fields.size;
  if (!fields.recipients.empty()) {
    message->recipients = std::make_unique<RecipientList>(std::move(recipients));
  }
  message->senderName = std::move(parsedSender.senderName);
  message->senderAddress = std::move(parsedSender.senderAddress);
  message->text = std::move(fields.text);
  if (!message->Save()) return Fail(error, kSaveError);
  return true;
}

}  // namespace larkpost
