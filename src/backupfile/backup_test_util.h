// Test helpers of the backup file tests: backup files built byte by byte from the layout (never
// by the writer under test), and files of given bytes. Stores to back up and restore:
// jobs/store_backup_test_util.h.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "backupfile/backup_file.h"
#include "backupfile/md5.h"
#include "backupfile/record.h"
#include "platform/file/file.h"
#include "platform/text/text.h"
#include "platform/time/filetime.h"

namespace larkpost::testing {

// ---- The golden-file helper of the backup format -------------------------------------------

inline constexpr uint64_t kMay1 = 133590402000000000;      // 2024-05-01 12:30:00 UTC
inline constexpr uint64_t kMay1Later = 133590402600000000;  // one minute later

// One record as its bytes appear in the file (narrow, Windows-1252). `text` is the message text
// without the line feed that the format appends.
struct GoldenRecord {
  std::string messageClass = "IPM.SMStext";
  std::string folderPath = "Inbox";
  uint64_t lastModified = 0;
  uint64_t deliveryTime = 0;
  uint32_t flags = 0;
  uint32_t size = 0;
  std::string recipients;  // the whole line without its line feed
  std::string sender = "\"\" <>";
  std::string text;
};

inline void PutLittleEndian(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

inline std::string RecordBytes(const GoldenRecord& r) {
  std::string out;
  out += r.messageClass + "\n";
  out += r.folderPath + "\n";
  PutLittleEndian(out, r.lastModified, 8);
  PutLittleEndian(out, r.deliveryTime, 8);
  PutLittleEndian(out, r.flags, 4);
  PutLittleEndian(out, r.size, 4);
  out += r.recipients + "\n";
  out += r.sender + "\n";
  PutLittleEndian(out, r.text.size() + 1, 4);
  out += r.text + "\n";
  return out;
}

// The 16 digest bytes for a file of `length` bytes: MD5 of the length in decimal and the salt.
inline std::string DigestBytes(uint64_t length) {
  const std::string text = std::to_string(static_cast<int32_t>(length)) + "KVELT_MarnoPidesta";
  const auto digest = Md5Digest(text.data(), text.size());
  return std::string(digest.begin(), digest.end());
}

// A complete backup file: digest, count (the number of records unless given), records.
inline std::string BackupBytes(const std::vector<GoldenRecord>& records, int64_t count = -1) {
  std::string body;
  PutLittleEndian(body, count < 0 ? records.size() : static_cast<uint64_t>(count), 4);
  for (const GoldenRecord& r : records) body += RecordBytes(r);
  return DigestBytes(16 + body.size()) + body;
}

// A backup file whose records are given as raw bytes (for broken records).
inline std::string BackupOfRawRecords(const std::string& records, uint32_t count) {
  std::string body;
  PutLittleEndian(body, count, 4);
  body += records;
  return DigestBytes(16 + body.size()) + body;
}

// The sample record of the record tests: a message in a subfolder, from Ann to Bob and Eve.
inline GoldenRecord Sample() {
  GoldenRecord r;
  r.folderPath = "Inbox\\Work";
  r.lastModified = kMay1Later;
  r.deliveryTime = kMay1;
  r.flags = 1;
  r.size = 42;
  r.recipients = "\"Bob\" <+4930123> 1;\"Eve\" <+4940456> 2";
  r.sender = "\"Ann\" <+4915112345678>";
  r.text = "See you at 8";
  return r;
}


// ---- Files -----------------------------------------------------------------------------------

inline void WriteBytes(const std::u16string& path, const std::string& bytes) {
  CFile file(path, CFile::modeCreate | CFile::modeWrite);
  file.Write(bytes.data(), static_cast<unsigned>(bytes.size()));
  file.Close();
}

inline std::string ReadBytes(const std::u16string& path) {
  CFile file(path, CFile::modeRead | CFile::shareDenyNone);
  std::string bytes(file.GetLength(), '\0');
  unsigned got = 0;
  while (got < bytes.size()) {
    const unsigned n = file.Read(bytes.data() + got, static_cast<unsigned>(bytes.size() - got));
    if (n == 0) break;
    got += n;
  }
  bytes.resize(got);
  return bytes;
}

}  // namespace larkpost::testing
