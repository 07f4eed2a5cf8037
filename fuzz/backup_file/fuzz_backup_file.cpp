// The backup file reader on any bytes, as `verify` and a restore read a file: the container's
// digest check, then every record's fields, then the checks a restore makes of each record
// (folder path, recipient entries, sender line). Input: a count byte, then the bytes after the
// container's header; the target writes a header whose digest fits, so the records are reached.
// A first byte of 0xFF instead writes the input as the whole file, header included.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "backupfile/address.h"
#include "backupfile/backup_file.h"
#include "backupfile/digest.h"
#include "backupfile/record.h"
#include "platform/file/file.h"
#include "platform/text/text.h"
#include "store/message.h"

namespace {

// One file per fuzzing process, rewritten for every input.
const std::string& ScratchPath() {
  static const std::string path =
      (std::filesystem::temp_directory_path() / ("larkpost-fuzz-" + std::to_string(getpid()) + ".bak")).string();
  return path;
}

std::string FileFor(const uint8_t* data, size_t size) {
  if (data[0] == 0xFF) return std::string(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string records(reinterpret_cast<const char*>(data) + 1, size - 1);
  const uint32_t length = static_cast<uint32_t>(20 + records.size());
  const larkpost::BackupDigest digest = larkpost::ComputeBackupDigest(length);
  std::string file(reinterpret_cast<const char*>(digest.data()), digest.size());
  const uint32_t count = data[0];
  for (int k = 0; k < 4; ++k) file.push_back(static_cast<char>((count >> (8 * k)) & 0xFF));
  return file + records;
}

// What a restore checks of a record before it touches the store.
void CheckRecord(const larkpost::RecordFields& fields) {
  larkpost::SplitText(fields.folderPath, std::u16string(u"\\"));
  if (!fields.recipients.empty()) {
    for (const std::u16string& entry : larkpost::SplitText(fields.recipients, std::u16string(u";"))) {
      larkpost::ParseRecipientText(entry);
    }
  }
  larkpost::SmsMessage message(nullptr, nullptr);
  larkpost::ParseSenderText(message, fields.sender);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  {
    std::ofstream out(ScratchPath(), std::ios::binary | std::ios::trunc);
    const std::string bytes = FileFor(data, size);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) abort();
  }
  try {
    CFile file(larkpost::Utf8ToWide(ScratchPath()), CFile::modeRead);
    uint32_t count = 0;
    if (!larkpost::ValidateBackupFile(file, count)) return 0;
    for (uint32_t record = 1; record <= count; ++record) {
      larkpost::RecordFields fields;
      std::u16string error;
      if (!larkpost::ReadRecordFields(file, fields, error)) break;
      CheckRecord(fields);
    }
  } catch (const CFileException&) {
    // A read error of the scratch file: not the reader's fault.
  }
  return 0;
}
