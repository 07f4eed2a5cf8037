#include "backupfile/backup_file.h"

#include <algorithm>

#include "backupfile/digest.h"
#include "backupfile/record.h"
#include "backupfile/record_codec.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

constexpr unsigned kDigestSize = 16;
constexpr unsigned kCountOffset = 16;
constexpr unsigned kHeaderSize = 20;

void PutUInt32(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Reads up to `count` bytes, fewer only at the end of the file.
unsigned ReadUpTo(CFile& file, unsigned char* buffer, unsigned count) {
  unsigned got = 0;
  while (got < count) {
    const unsigned read = file.Read(buffer + got, count - got);
    if (read == 0) break;
    got += read;
  }
  return got;
}

}  // namespace

std::string BackupFileHeader(uint32_t count) {
  // The digest's place is filled with zeros until the file is sealed: a file whose writing
  // stopped never validates.
  unsigned char header[kHeaderSize] = {};
  PutUInt32(header + kCountOffset, count);
  return std::string(reinterpret_cast<const char*>(header), kHeaderSize);
}

std::string SealedBackupHeader(uint32_t count, uint64_t length) {
  const BackupDigest digest = ComputeBackupDigest(static_cast<uint32_t>(length));
  std::string header(reinterpret_cast<const char*>(digest.data()), kDigestSize);
  unsigned char bytes[4];
  PutUInt32(bytes, count);
  header.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
  return header;
}

BackupRecords::BackupRecords(CFile& file) : file_(file) {
  valid_ = ValidateBackupFile(file, count_);
}

bool BackupRecords::NextFields(RecordFields& fields, std::u16string& error) {
  error.clear();
  if (AtEnd()) return false;
  ++number_;
  return ReadRecordFields(file_, fields, error);
}

bool BackupRecords::Next(MessageRecord& record, std::u16string& error) {
  RecordFields fields;
  return NextFields(fields, error) && CheckRecordFields(fields, record, error);
}

std::u16string RecordErrorText(uint64_t number, std::u16string_view text) {
  std::u16string numbered = u"No." + Utf8ToWide(std::to_string(number)) + u", ";
  numbered += text;
  return numbered;
}

std::string CollectRecordTexts(CFile& file, size_t scan, size_t keep) {
  std::string texts;
  std::string line;
  size_t scanned = 0;
  auto take = [&](const std::string& text) {
    scanned += text.size() + 1;
    if (std::any_of(text.begin(), text.end(),
                    [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
      texts.append(text).push_back('\n');
    }
  };
  file.Seek(kHeaderSize, CFile::begin);
  auto takeLine = [&](bool keepIt) {
    if (ReadTextLine(file, line) != LineEnd::kLineFeed) return false;
    if (keepIt) take(line);
    return true;
  };
  while (scanned < scan && texts.size() < keep) {
    unsigned char fixed[24];
    unsigned char length[4];
    if (!takeLine(false) || !takeLine(true) || ReadUpTo(file, fixed, sizeof fixed) != sizeof fixed ||
        !takeLine(true) || !takeLine(true) || ReadUpTo(file, length, sizeof length) != sizeof length) {
      break;
    }
    const uint32_t count = static_cast<uint32_t>(length[0]) | static_cast<uint32_t>(length[1]) << 8 |
                           static_cast<uint32_t>(length[2]) << 16 |
                           static_cast<uint32_t>(length[3]) << 24;
    // A length past the end or the limit marks a broken record: take what is there.
    line.resize(std::min<size_t>(count, scan - std::min(scan, scanned)));
    const size_t got = ReadUpTo(file, reinterpret_cast<unsigned char*>(line.data()),
                                static_cast<unsigned>(line.size()));
    line.resize(got);
    take(line);
    if (got < count) break;
  }
  return texts;
}

bool ValidateBackupFile(CFile& file, uint32_t& recordCount) {
  recordCount = 0;
  file.SeekToBegin();
  BackupDigest stored{};
  if (ReadUpTo(file, stored.data(), kDigestSize) != kDigestSize) return false;
  const BackupDigest expected = ComputeBackupDigest(static_cast<uint32_t>(file.GetLength()));
  if (DigestToHexText(stored) != DigestToHexText(expected)) return false;

  // A file that ends inside the count holds the bytes present in the low positions.
  unsigned char count[4] = {};
  ReadUpTo(file, count, sizeof count);
  recordCount = static_cast<uint32_t>(count[0]) | static_cast<uint32_t>(count[1]) << 8 |
                static_cast<uint32_t>(count[2]) << 16 | static_cast<uint32_t>(count[3]) << 24;
  return true;
}

}  // namespace larkpost
