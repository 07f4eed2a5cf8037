// Backup files as a message stream: the reader every command that reads a backup file uses, and
// the writer every command that writes one uses (a backup of a store, a conversion, a merge, a
// salvage). The container's header is written here and nowhere else.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "message/message_stream.h"

namespace larkpost {

class ByteSink;  // platform/file/byte_sink.h

// The records of the backup file at `path`, checked as a restore checks them, after its digest:
// a file that fails it gives a reader whose error is "File Validation Failed."; a broken record
// ends the reading with "No.%d, " and the record's error text. RecordStart tells where each
// record lies. Throws CFileException when the file cannot be opened.
std::unique_ptr<MessageReader> BackupFileReader(const std::u16string& path);

// Writes a backup file into `sink`: the header (with `expectedCount` as its count until Finish
// writes the true one, and no digest, so a file whose writing stopped never validates), one
// record per message, then at Finish the count and the digest patched in; Finish closes the sink.
// A message that a record cannot hold (a multimedia one) or a record too large is refused.
// replacedMessages() counts the messages with characters the code page lacks. Prepare encodes
// the record on any thread. Throws CFileException.
std::unique_ptr<MessageWriter> BackupFileWriter(ByteSink& sink, uint32_t expectedCount = 0);

}  // namespace larkpost
