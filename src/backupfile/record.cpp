#include "backupfile/record.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "platform/text/text.h"

namespace larkpost {

namespace {

// The longest text field a record may hold: a message of the longest text (kMaxTextChars) in
// any code page, with room to spare. A longer one is not a message; reading it would hold it
// whole.
constexpr uint32_t kMaxTextBytes = uint32_t{2} << 20;

}  // namespace

namespace {

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

}  // namespace

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
  // The length comes from the file: a long one is checked against what the file still holds
  // before anything is allocated for it. A short one (nearly every text) is simply read; when
  // the file ends first, it was longer than what the file held all the same.
  constexpr uint32_t kReadUnchecked = 1 << 16;
  if (length > kMaxTextBytes) return Fail(error, kTextLengthError);
  if (length > kReadUnchecked) {
    const uint64_t position = file.GetPosition();
    const uint64_t fileLength = file.GetLength();
    if (position > fileLength || length > fileLength - position) {
      return Fail(error, kTextLengthError);
    }
  }
  std::string text(length, '\0');
  if (!ReadExact(file, text.data(), length)) {
    return Fail(error, length > kReadUnchecked ? kTruncatedError : kTextLengthError);
  }
  // Writing appended one line feed to the text; it is not part of the message.
  if (!text.empty() && text.back() == '\n') text.pop_back();
  text.resize(std::strlen(text.c_str()));
  fields.text = AnsiToWide(text);
  // A text within the byte limit may still decode to more characters than any message holds.
  if (fields.text.size() > kMaxTextChars) return Fail(error, kTextLengthError);
  return true;
}

size_t RecordSize(std::string_view bytes) {
  size_t at = 0;
  auto skipLine = [&] {
    const size_t end = bytes.find('\n', at);
    if (end == std::string_view::npos) return false;
    at = end + 1;
    return true;
  };
  auto skip = [&](size_t count) {
    if (bytes.size() - at < count) return false;
    at += count;
    return true;
  };
  // Class and folder lines, the two times, flags and size, recipient and sender lines.
  if (!skipLine() || !skipLine() || !skip(8 + 8 + 4 + 4) || !skipLine() || !skipLine()) return 0;
  const size_t lengthAt = at;
  if (!skip(4)) return 0;
  uint32_t length = 0;
  for (int i = 3; i >= 0; --i) {
    length = length << 8 | static_cast<unsigned char>(bytes[lengthAt + i]);
  }
  return skip(length) ? at : 0;
}

bool ReadRecord(CFile& file, MessageRecord& record, std::u16string& error) {
  RecordFields fields;
  return ReadRecordFields(file, fields, error) && CheckRecordFields(fields, record, error);
}

}  // namespace larkpost
