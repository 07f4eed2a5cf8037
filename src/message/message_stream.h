// The two ends every message passes through: a reader yields the messages of a file (or of
// any other source) one at a time, a writer puts each one out as it comes. Every format, the
// store's walk and its restore speak these, so a command is a reader, a selection and a writer.
// A reader and a writer belong to one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "message/message_record.h"

namespace larkpost {

struct ReadCounts {
  uint64_t entries = 0;     // message entries of the file (a sent message may have several)
  uint64_t messages = 0;    // messages yielded
  uint64_t calls = 0;       // entries of a phone's call log yielded (EntryKind::kCall)
  uint64_t callsSkipped = 0;  // entries of a phone's call log passed over (a salvage's)
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
  // The bytes of the message Next yielded last as the file holds them, for a file whose records a
  // file of its kind may take as they are (a damaged backup file's, when salvaged); false for the
  // others.
  virtual bool RecordBytes(std::string&) { return false; }
  // How many messages the file says it holds, for a file that says so before they are read (a
  // backup file's count); false for the others.
  virtual bool Declared(uint64_t&) const { return false; }
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
  bool call = false;                      // a call of the call log (EntryKind::kCall)
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
  // True for a writer whose Prepare does most of the work (it encodes the message's bytes), so
  // that preparing on another thread pays; false where Prepare only passes the message on.
  virtual bool PreparesAhead() const { return false; }
  // Completes the file and writes out what is buffered (no sync); the caller syncs and closes
  // it. Throws CFileException.
  virtual void Finish() = 0;
  uint64_t entriesWritten() const { return entries_; }
  // Messages written with characters the format's code page lacks, as "?" (backup files, text
  // exports); 0 for a format that spells every character.
  uint64_t replacedMessages() const { return replaced_; }
  // Messages left out because the app that imports the file would stop at them (a multimedia
  // message without any address), and which was the first ("Inbox, 2024-05-03 18:02:00").
  uint64_t unaddressedLeftOut() const { return unaddressed_; }
  const std::string& firstUnaddressed() const { return firstUnaddressed_; }

 protected:
  void LeaveOutUnaddressed(const MessageRecord& record);
  // Write for a writer that does its work in Prepare: both steps at once.
  bool PrepareAndWrite(const MessageRecord& record, std::string& error) {
    PreparedMessage prepared;
    return Prepare(record, prepared, error) && WritePrepared(prepared, error);
  }
  uint64_t entries_ = 0;
  uint64_t replaced_ = 0;
  uint64_t unaddressed_ = 0;
  std::string firstUnaddressed_;
};

}  // namespace larkpost
