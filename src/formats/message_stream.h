// Streams of messages in and out of files, one message at a time, whatever the file's size: a
// reader yields the next message and keeps at most one entry's worth of text; a writer puts each
// message out as it comes and keeps nothing of it (the HTML page keeps a small index entry).
// None of them touches a store. A reader and a writer belong to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "message/message_stream.h"
#include "formats/phone_entry.h"

class CFile;

namespace larkpost {

// ByteSource: message/multimedia.h.
ByteSource FileByteSource(std::shared_ptr<CFile> file);  // the source keeps the file open
ByteSource BufferByteSource(std::string_view bytes);  // the bytes must outlive the source
// The bytes [start, start + size) of the open file `fd`, read where they lie, so several sources
// may read one file at once. The source holds `keep` (what keeps `fd` open); a read error, or
// bytes the file no longer has, throws CFileException naming `path`.
ByteSource FileRangeSource(std::shared_ptr<const void> keep, int fd, uint64_t start,
                           uint64_t size, std::u16string path);
// The same out of a scratch file (platform/file/memory_files.h: ReadScratchAt).
ByteSource ScratchRangeSource(std::shared_ptr<const void> keep, FILE* file, uint64_t start,
                              uint64_t size, std::u16string path);

// The largest entry a reader takes in (one <sms> or <mms> element without its attachments, one
// NDJSON line); a larger one is an error naming the entry, found after reading at most this many
// bytes of it.
inline constexpr size_t kMaxEntryBytes = size_t{8} << 20;

// The most parts a multimedia message of a file may have: a phone's message holds a few dozen
// at most, and each part costs some hundred bytes to hold, however few bytes it took in the file.
inline constexpr size_t kMaxMessageParts = 1000;


// One phone entry at a time, from the XML or the NDJSON of the ZIP.
class EntrySource {
 public:
  virtual ~EntrySource() = default;
  // False at the end, or with `error` set on an error naming the entry.
  virtual bool NextEntry(PhoneEntry& entry, std::string& error) = 0;
  uint64_t callsSkipped = 0;
};

// Joins the entries of a source into messages (phone_entry.h).
std::unique_ptr<MessageReader> JoinedReader(std::unique_ptr<EntrySource> source);

}  // namespace larkpost
