// Every file format Larkpost reads or writes, in one table, the registry every command chooses
// through: how a path names a format, what its files keep of a message, its reader and writer,
// what its copies of a message are compared on, and how a restore looks for them in the store.
// The command line and the desktop program choose through this table, so a name means the same
// file everywhere, and nothing outside this module asks which format a file is.
//
// Adding a format: its reader and writer, its name in FileKind and one row in format_table.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "formats/phone_entry.h"
#include "identity/identity.h"
#include "message/message_stream.h"

class CFile;  // platform/file/file.h

namespace larkpost {

class ByteSink;    // platform/file/byte_sink.h
struct SalvageLog;      // formats/phone_salvage.h
struct SalvageReport;   // backupfile/salvage.h
class OutputFile;  // platform/file/output_file.h
class PartSpool;   // formats/part_spool.h

enum class FileKind {
  kBackup,      // .bak: the program's own backup file (also any name without a known ending)
  kTextExport,  // .txt: the plain-text export (written only)
  kPhoneXml,    // .xml: "SMS Backup & Restore"
  kPhoneZip,    // .zip: "SMS Import / Export" (messages.ndjson inside)
  kHtml,        // .html or .htm: the readable archive page (written only)
  kIphone,      // an iPhone's messages: its backup folder, its sms.db or a Mac's chat.db (read only)
  kCallLog,     // .json: the call log of "SMS Import / Export" (calls only)
};

// What a file of the format keeps of a message beyond its text, direction and time.
struct FormatHolds {
  bool subfolders;      // the folder path below the standard folder
  bool ownNumber;       // the sender of a sent message
  bool recipientTypes;  // to, cc, bcc
  bool names;           // the other parties' names
  bool exactTimes;      // delivery times finer than a millisecond
  bool multimedia;      // multimedia messages
  bool calls;           // the entries of a phone's call log
  bool messages;        // messages at all (false for a call log)
};

// How a writer is made: its bytes go into `sink`; `output`, when the sink writes a file, says
// where that file goes, for a format whose files come with a folder beside them (a page's media).
struct WriterOptions {
  DeletedAs deletedAs = DeletedAs::kByDirection;  // where a deleted message goes in a phone's file
  uint32_t expectedCount = 0;    // the messages expected, for a count written before the end
  OutputFile* output = nullptr;
};

using ReaderFactory = std::unique_ptr<MessageReader> (*)(const std::u16string& path,
                                                         std::shared_ptr<PartSpool> spool);
using WriterFactory = std::unique_ptr<MessageWriter> (*)(ByteSink& sink,
                                                         const WriterOptions& options);
// The messages that can still be read out of a damaged file (open for reading), what was
// skipped logged into `records` (a file read record by record) or `entries` (entry by entry),
// which must outlive the reader.
using SalvagerFactory = std::unique_ptr<MessageReader> (*)(std::shared_ptr<CFile> damaged,
                                                           SalvageReport& records,
                                                           SalvageLog& entries,
                                                           std::shared_ptr<PartSpool> spool);

// A row names the functions its format has; the ones it leaves out are null.
struct FileFormat {
  FileKind kind;
  const char* name;                  // "backup file", "XML", ...: for messages
  const char16_t* plural;            // "backup files": for what a kind of file holds
  const char16_t* filterName;        // "Larkpost File": the file dialogs' description
  const char16_t* endings[2];        // ".bak"; the first is the one proposed; null when unused
  const char* proposedName;          // a new file's name, as strftime makes it from the time
  bool caseSensitive;                // ".txt" is compared exactly, as the handheld compares it
  bool readable;                     // a restore, a conversion or verify can read it
  bool writable;                     // a backup, a conversion or a merge can write it
  FormatHolds holds;
  // The fields a copy of a message in such a file is compared on with another copy (merge,
  // restore); a restore into the store finds the message under them across the whole store,
  // unless `foundInOwnFolder`: then by the record as it is, in the folder it names.
  IdentityFields comparedOn;
  bool foundInOwnFolder;
  // A restore reads the whole file and checks it before it changes the store (a file without a
  // digest that vouches for it as a whole).
  bool checkedBeforeRestore;
  // verify and show list its records field by field as they lie, going on past a record a
  // restore would refuse (a backup file's), rather than the messages its reader yields.
  bool listedByRecord;
  // For an input told by what it holds rather than by its name: true when `path` is one.
  bool (*recognises)(const std::u16string& path) = nullptr;
  // For such an input, the names its files usually have ("sms.db;chat.db"), which the open
  // dialog offers them by; null when it has none to offer.
  const char16_t* dialogNames = nullptr;
  // Its reader: the file's messages one at a time; attachments a file holds inline are decoded
  // into `spool` (none: only their sizes are counted). Throws CFileException when the file
  // cannot be opened.
  ReaderFactory openReader = nullptr;
  // Its writer into a sink; null for a format only read.
  WriterFactory openWriter = nullptr;
  // Its salvaging reader; null for a format that is not salvaged.
  SalvagerFactory openSalvager = nullptr;
  // The folder a file of the format comes with beside it ("archive_files" of "archive.html");
  // null for a format whose files stand alone.
  std::string (*companionFolder)(const std::string& fileName) = nullptr;
  // For a format whose app keeps calls in a file of their own beside it (the ZIP's call log): the
  // name of that file beside a file named `fileName`, where a run writes the calls it is given;
  // null for the others.
  std::string (*callLogBeside)(const std::string& fileName) = nullptr;
};

// The formats in the order the file dialogs offer them.
std::span<const FileFormat> FileFormats();
const FileFormat& FormatOf(FileKind kind);

// From the text after the path's last "." of its last component: ".txt" exactly for the text
// export; ".xml", ".zip", ".html", ".htm" in any letter case; a backup file for everything else.
// A name ending in ".age" (any letter case) is an encrypted file of the format its name has
// without it: "archive.zip.age" is a ZIP, "archive.age" a backup file.
FileKind FileKindForPath(const std::u16string& path);
// True for a name ending in ".age", in any letter case.
bool IsAgeName(const std::u16string& path);

// The ending of the path's last component, ".age" left aside ("" when it has none, as for
// "notes" or ".profile"),
// and whether it is one the table knows (exactly so for a case-sensitive one). A command that
// writes refuses an ending it does not know rather than write a backup file under that name.
std::u16string EndingOf(const std::u16string& path);
bool IsKnownEnding(const std::u16string& ending);

// The format of an input: the first format that recognises what `path` holds (an iPhone backup
// folder or message database), else the one its name gives (FileKindForPath). It looks into the
// file, so an input is told once, not for every message.
FileKind InputKindOf(const std::u16string& path);

// The format `path` already holds when it is one only read and told by its content (an
// iPhone's database or backup folder), which no output may replace; else the one its name gives.
inline bool HoldsReadOnlyInput(const std::u16string& path) {
  const FileKind held = InputKindOf(path);
  return held != FileKindForPath(path) && !FormatOf(held).writable;
}

// A reader of the messages in `path`, a file of `kind`, by its row (FileFormat::openReader). For
// a backup file the digest is checked first: a file that fails it gives a reader whose error is
// "File Validation Failed."; a broken record ends the reading with "No.%d, " and the record's
// error text. Throws CFileException when the file cannot be opened. Null for a kind that cannot
// be read.
std::unique_ptr<MessageReader> OpenMessageReader(const std::u16string& path, FileKind kind,
                                                 std::shared_ptr<PartSpool> spool = nullptr);
// The same for the format `path` holds (InputKindOf).
inline std::unique_ptr<MessageReader> OpenMessageReader(const std::u16string& path) {
  return OpenMessageReader(path, InputKindOf(path));
}

// A writer of `kind` into `sink`, by its row; null for a kind that is only read.
std::unique_ptr<MessageWriter> OpenMessageWriter(ByteSink& sink, FileKind kind,
                                                 const WriterOptions& options = {});

// For tests of the commands and runs: while set, OpenMessageReader hands out the reader `open`
// returns for a path (when not null) instead of reading the file, as if the file held its
// messages. Set and cleared on the test's thread while no run is going.
using MessageReaderOverride =
    std::function<std::unique_ptr<MessageReader>(const std::u16string& path)>;
void OverrideMessageReaders(MessageReaderOverride open);

// For a front end that asks before replacing: when `path` names a file that comes with a folder
// (a page and its media), whether that folder (named in `folderName`) is already there, and
// whether it was made for that file (then a run replaces it with the file) or is something a
// run would refuse to replace. kAbsent for every other kind of file.
enum class CompanionState;  // platform/file/output_file.h
CompanionState CompanionFolderState(const std::u16string& path, std::u16string& folderName);

// True for the kinds a restore or a conversion can read.
inline bool IsReadable(FileKind kind) { return FormatOf(kind).readable; }
// "backup file", "text export", "XML", "ZIP", "HTML page": for messages.
inline const char* FileKindName(FileKind kind) { return FormatOf(kind).name; }

}  // namespace larkpost
