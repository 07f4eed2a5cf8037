// Recovering the whole records of a damaged backup file: one whose digest is wrong, that was cut
// short (a crash, a full disk, the partial file a failed backup leaves) or that has damaged
// records in the middle. Store-free; runs on the caller's thread.
//
// Records are read from offset 20 on with the record checker (ReadRecord), whatever the digest
// and the count say. A record that does not pass is skipped: the reader resynchronises at the
// next place where a record that passes begins (a record always begins with the class line
// "IPM.SMStext"). Every record that passes is copied unchanged into a new, valid backup file
// whose count and digest fit what it holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file/file.h"

namespace larkpost {

struct SkippedStretch {
  uint32_t record = 0;     // its number in the damaged file, counting kept and skipped from 1
  uint64_t offset = 0;     // where it begins
  uint64_t length = 0;     // bytes skipped up to the next record kept (or the end)
  std::u16string error;    // why the record there did not pass
};

struct SalvageReport {
  uint32_t kept = 0;
  uint32_t declaredCount = 0;  // what the damaged file's count field says
  bool digestValid = false;    // whether the damaged file's digest matched its length
  std::vector<SkippedStretch> skipped;
};

// Reads `damaged` (open for reading) and writes the records that pass into `out` (created
// empty, open for writing), then its count and digest, flushed to storage. File errors raise
// CFileException.
SalvageReport SalvageBackupFile(CFile& damaged, CFile& out);

}  // namespace larkpost
