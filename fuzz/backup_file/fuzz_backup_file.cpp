// The backup file reader on any bytes, as `verify`, `show`, `salvage` and a restore read a file:
// the container's digest check, then every record through the one record reader and checker
// (ReadRecord). Every record it accepts is written back with the record writer and read again:
// the reader must take whatever the writer makes of an accepted record, or a backup of a restored
// store could not be restored.
//
// Input: a count byte, then the bytes after the container's header; the target writes a header
// whose digest fits, so the records are reached. A first byte of 0xFF instead writes the input as
// the whole file, header included.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "backupfile/backup_file.h"
#include "backupfile/digest.h"
#include "backupfile/record.h"
#include "backupfile/record_codec.h"
#include "platform/file/file.h"
#include "platform/text/text.h"
#include "scratch_path.h"

namespace {

void WriteScratch(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) abort();
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

// The accepted record, encoded again, must be read back and accepted.
void ReadBackWhatTheWriterWrites(const larkpost::MessageRecord& record) {
  static const std::string path = ScratchPath(".again");
  WriteScratch(path, larkpost::EncodeRecord(record));
  CFile again(larkpost::Utf8ToWide(path), CFile::modeRead);
  larkpost::MessageRecord reread;
  std::u16string error;
  if (!larkpost::ReadRecord(again, reread, error)) {
    fprintf(stderr, "the reader refuses what the writer wrote: %s\n",
            larkpost::WideToUtf8(error).c_str());
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const std::string path = ScratchPath(".bak");
  WriteScratch(path, FileFor(data, size));
  try {
    CFile file(larkpost::Utf8ToWide(path), CFile::modeRead);
    uint32_t count = 0;
    if (!larkpost::ValidateBackupFile(file, count)) return 0;
    for (uint32_t number = 1; number <= count; ++number) {
      larkpost::MessageRecord record;
      std::u16string error;
      if (!larkpost::ReadRecord(file, record, error)) break;
      ReadBackWhatTheWriterWrites(record);
    }
  } catch (const CFileException&) {
    // A read error of a scratch file: not the reader's fault.
  }
  return 0;
}
