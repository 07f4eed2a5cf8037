// Messages in and out of files of every kind, one message at a time and without a store: backup
// files through the record reader and writer, the phone formats and the HTML page through
// src/formats. Conversions, restores of phone files and backups into them all open files here.
// Everything runs on the caller's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "formats/format_table.h"
#include "formats/message_stream.h"
#include "formats/part_spool.h"
#include "jobs/job_records.h"
#include "jobs/outcome.h"

namespace larkpost {

class OutputFile;  // jobs/output_file.h

// A reader of the messages in `path`. For a backup file the digest is checked first: a file that
// fails it gives a reader whose error is "File Validation Failed."; a broken record ends the
// reading with "No.%d, " and the record's error text. Throws CFileException when the file cannot
// be opened. Null for a kind that cannot be read (text export, page).
// The attachments of multimedia messages that the file holds inline (the XML's base64) are
// decoded into `spool`, which a conversion puts beside its output; without one (a listing, a
// restore into the store, which keeps no multimedia) only their sizes are counted and the bytes
// cannot be read. A ZIP's attachments are read from the archive whenever they are wanted.
std::unique_ptr<MessageReader> OpenMessageReader(const std::u16string& path, FileKind kind,
                                                 std::shared_ptr<PartSpool> spool = nullptr);

// For tests of the commands and runs: while set, OpenMessageReader hands out the reader `open`
// returns for a path (when not null) instead of reading the file, as if the file held its
// messages. Set and cleared on the test's thread while no run is going.
using MessageReaderOverride =
    std::function<std::unique_ptr<MessageReader>(const std::u16string& path)>;
void OverrideMessageReaders(MessageReaderOverride open);

// For a writer of backup files: how many messages held characters the code page lacks, written
// as "?"; 0 for any other writer.
uint64_t ReplacedMessages(const MessageWriter& writer);

// A writer of `kind` into `file` (open for writing, empty, seekable), which the caller syncs and
// closes after Finish. A backup file written here is not flushed record by record. Throws
// CFileException. Null for the text export, which only a backup of a store writes.
std::unique_ptr<MessageWriter> OpenMessageWriter(CFile& file, FileKind kind, DeletedAs deletedAs);

// The messages of the job's selected folders, walked as a backup file walks them, written in the
// job's format (phone XML, phone ZIP or HTML page) into `file`, the partial file of `output`; the
// job counts each message. False when the walk or a message fails; file errors throw
// CFileException.
bool WriteMessageFile(BackupJob& job, CFile& file, OutputFile& output);

// For a front end that asks before replacing: when `path` names a page, whether the media folder
// it comes with (named in `folderName`) is already there, and whether it was made for that page
// (then a run replaces it with the page) or is something a run would refuse to replace. kAbsent
// for every other kind of file.
enum class CompanionState;  // jobs/output_file.h
CompanionState PageFolderState(const std::u16string& path, std::u16string& folderName);

// True when the path names a file a restore reads through the readers here rather than as a
// backup file: a phone's XML or ZIP by its ending, iPhone messages by what they hold.
bool IsPhoneFile(const std::u16string& path);

struct WrittenCounts {
  uint64_t entriesWritten = 0;    // entries of the output (a sent message may make several)
  uint64_t replacedMessages = 0;  // backup output: messages with characters the code page lacks
  uint64_t multimediaLeftOut = 0;  // multimedia messages the format cannot hold, not written
  uint64_t unaddressedLeftOut = 0;  // multimedia messages without any address (MessageWriter)
  std::string firstUnaddressed;
};

// What reading a file left out by itself: the entries of a phone's call log, and what an
// iPhone's database holds that is no message.
LeftOut LeftOutByReader(const ReadCounts& read);
// What writing a file left out: multimedia messages the format cannot hold or its app not take.
LeftOut UnwrittenOf(const WrittenCounts& written);

// The one way every conversion's output is written: `fill` writes into `file` (empty, open for
// writing, seekable; `output` names where it goes and where its companion files may go) at a
// partial file beside `out` (output_file.h), which is flushed and renamed
// over `out` only when `fill` returns true. When `fill` returns false (with `error` set) the
// partial file is removed and `out` stays as it was. File errors throw CFileException naming
// `out`, a refused target OutputRefused.
bool WriteOutputFile(const std::u16string& out,
                     const std::function<bool(CFile& file, OutputFile& output, std::string& error)>& fill,
                     std::string& error);

// Puts the messages that `fill` hands to the writer into a new file of `kind` at `out`, as every
// conversion writes its output: into a partial file beside `out` (output_file.h), which is
// finished, flushed and renamed over `out` only when `fill` returns true. A multimedia message
// handed to the writer of a format that cannot hold it (FormatHolds::multimedia) is left out
// here, the one place every output passes, and counted in counts.multimediaLeftOut. When `fill` returns
// false (with `error` set) the partial file is removed and `out` stays as it was; so it is for a
// kind no message writer makes (the text export). File errors
// throw CFileException naming `out`, a refused target OutputRefused.
bool WriteMessageOutput(const std::u16string& out, FileKind kind, DeletedAs deletedAs,
                        const std::function<bool(MessageWriter&, std::string& error)>& fill,
                        WrittenCounts& counts, std::string& error);

struct ConvertResult {
  ReadCounts read;
  LeftOut leftOut;                // what the output lacks: multimedia it cannot hold, calls
  uint64_t selected = 0;          // messages the selection took, of read.messages
  uint64_t written = 0;           // of them, messages the output holds
  uint64_t entriesWritten = 0;    // entries of the output (a sent message may make several)
  uint64_t replacedMessages = 0;  // backup output: messages with characters the code page lacks
  std::u16string error;           // why the conversion failed; empty on success
};

// Converts the messages of `in` that the selection takes into `out`, each kind from its name,
// through WriteMessageOutput: `out` is replaced only when everything was read and written. False
// with result.error; file errors throw CFileException, a refused target OutputRefused.
bool ConvertMessageFile(const std::u16string& in, const std::u16string& out, DeletedAs deletedAs,
                        const Selection& selection, ConvertResult& result);

}  // namespace larkpost
