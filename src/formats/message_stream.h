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

#include "message/message_record.h"
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

// The largest entry a reader takes in (one <sms> or <mms> element without its attachments, one
// NDJSON line); a larger one is an error naming the entry, found after reading at most this many
// bytes of it.
inline constexpr size_t kMaxEntryBytes = size_t{8} << 20;

// The most parts a multimedia message of a file may have: a phone's message holds a few dozen
// at most, and each part costs some hundred bytes to hold, however few bytes it took in the file.
inline constexpr size_t kMaxMessageParts = 1000;

struct ReadCounts {
  uint64_t entries = 0;     // message entries of the file (a sent message may have several)
  uint64_t messages = 0;    // messages yielded
  uint64_t callsSkipped = 0;  // entries of a phone's call log (<call>), counted and left out
  // Rows of an iPhone's message database that no file keeps as a message, counted and left out:
  // reactions to a message (tapbacks), unsent messages, group events (a member added, the group
  // renamed) and stickers.
  uint64_t tapbacksSkipped = 0;
  uint64_t unsentSkipped = 0;
  uint64_t groupEventsSkipped = 0;
  uint64_t stickersSkipped = 0;
  // Attachments the database names but the folder does not hold (kept in iCloud): their
  // messages are yielded without them.
  uint64_t attachmentsMissing = 0;
};

class MessageReader {
 public:
  virtual ~MessageReader() = default;
  // The next message. False at the end of the file, or on an error, which error() then
  // describes, naming the entry; nothing further is read after an error.
  virtual bool Next(MessageRecord& record) = 0;
  // Where the message Next yielded last begins in the file, for a file whose records a file of
  // its kind may take as they are (a backup file's); false for the others.
  virtual bool RecordStart(uint64_t&) const { return false; }
  const std::string& error() const { return error_; }
  const ReadCounts& counts() const { return counts_; }

 protected:
  std::string error_;
  ReadCounts counts_;
};

// A message made ready for a writer on any thread (MessageWriter::Prepare), to be written in
// order on the writer's own (WritePrepared).
struct PreparedMessage {
  const MessageRecord* record = nullptr;  // for a writer that writes the record as it is
  std::string bytes;                      // for one that turns it into bytes beforehand
  bool replaced = false;                  // a character of the text became "?" on the way
  bool leftOut = false;                   // nothing to write: the writer counts it
};

class MessageWriter {
 public:
  virtual ~MessageWriter() = default;
  // Writes one message. False (nothing written) when the message cannot be put in this format,
  // with the reason in `error`; file errors throw CFileException.
  virtual bool Write(const MessageRecord& record, std::string& error) = 0;
  // Write in two steps, so that a run can make messages ready on another thread while this one
  // writes the ones before. Prepare changes nothing in the writer and needs no other message,
  // so it may run while the writer writes; it is false as Write is. WritePrepared then writes
  // what Prepare made, in order; `record` must live until then. Here, Prepare leaves
  // everything to WritePrepared.
  virtual bool Prepare(const MessageRecord& record, PreparedMessage& prepared,
                       std::string& error) const;
  virtual bool WritePrepared(const PreparedMessage& prepared, std::string& error);
  // Completes the file and writes out what is buffered (no sync); the caller syncs and closes
  // it. Throws CFileException.
  virtual void Finish() = 0;
  uint64_t entriesWritten() const { return entries_; }
  // Messages left out because the app that imports the file would stop at them (a multimedia
  // message without any address), and which was the first ("Inbox, 2024-05-03 18:02:00").
  uint64_t unaddressedLeftOut() const { return unaddressed_; }
  const std::string& firstUnaddressed() const { return firstUnaddressed_; }

 protected:
  void LeaveOutUnaddressed(const MessageRecord& record);
  uint64_t entries_ = 0;
  uint64_t unaddressed_ = 0;
  std::string firstUnaddressed_;
};

// A temporary file without a name in the folder of `path` (mode 0600, gone when closed), for a
// writer that puts the file together at the end; in memory instead while ScratchInMemory()
// (platform/file/memory_files.h). Throws CFileException naming `path`.
FILE* OpenUnnamedFileBeside(const std::u16string& path);

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
