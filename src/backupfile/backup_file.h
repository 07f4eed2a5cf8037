// The backup file container: a 16-byte digest, a 4-byte record count, then one record per
// message, and nothing after the last record (all integers little-endian).
//
//   offset 0   16 bytes  MD5 of the digest text: the file length in decimal + the salt
//   offset 16   4 bytes  record count
//   offset 20            records, back to back (record.h)
//
// The digest detects a file that was cut short or extended, or that this program did not write;
// it does not detect bytes changed in place.
#pragma once

#include <cstdint>

#include "platform/file/file.h"

namespace larkpost {

struct BackupJob;
struct SmsFolder;

// Writes a complete backup file of the job's selected folders into `file` (opened for writing,
// empty). False when the walk fails; file errors raise CFileException. Does not close the file.
bool WriteBackupFile(BackupJob& job, CFile& file);

// Writes the records of one folder and, depth first, of all its subfolders, in the encoding the
// job's format selects. False on failure.
bool WriteFolderRecords(BackupJob& job, CFile& file, SmsFolder& folder);

// Checks the stored digest against the file's length. On success sets recordCount and leaves the
// file at offset 20, where the first record begins.
bool ValidateBackupFile(CFile& file, uint32_t& recordCount);

}  // namespace larkpost
