// Every file format Larkpost reads or writes, in one table: how a path names it, what it can
// hold and whether it can be read and written. The command line and the desktop program choose
// through this table, so a name means the same file everywhere; what a format holds decides
// which fields two copies of a message from different files can be compared on.
//
// Adding a format: one entry here, with its reader's factory (or its reader and writer in the
// factories of jobs/message_files.cpp).
#pragma once

#include <memory>
#include <span>
#include <string>

namespace larkpost {

class MessageReader;  // formats/message_stream.h

enum class FileKind {
  kBackup,      // .bak: the program's own backup file (also any name without a known ending)
  kTextExport,  // .txt: the plain-text export (written only, by a backup of a store)
  kPhoneXml,    // .xml: "SMS Backup & Restore"
  kPhoneZip,    // .zip: "SMS Import / Export" (messages.ndjson inside)
  kHtml,        // .html or .htm: the readable archive page (written only)
  kIphone,      // an iPhone's messages: its backup folder, its sms.db or a Mac's chat.db (read only)
};

// What a file of the format keeps of a message beyond its text, direction and time.
struct FormatHolds {
  bool subfolders;      // the folder path below the standard folder
  bool ownNumber;       // the sender of a sent message
  bool recipientTypes;  // to, cc, bcc
  bool names;           // the other parties' names
  bool exactTimes;      // delivery times finer than a millisecond
  bool multimedia;      // multimedia messages
};

struct FileFormat {
  FileKind kind;
  const char* name;                  // "backup file", "XML", ...: for messages
  const char16_t* filterName;        // "Larkpost File": the file dialogs' description
  const char16_t* endings[2];        // ".bak"; the first is the one proposed; null when unused
  bool caseSensitive;                // ".txt" is compared exactly, as the handheld compares it
  bool readable;                     // a restore, a conversion or verify can read it
  bool writable;                     // a conversion can write it (a backup writes every format)
  FormatHolds holds;
  // For an input told by what it holds rather than by its name: true when `path` is one.
  bool (*recognises)(const std::u16string& path);
  // The reader of a file of the format; null where jobs/message_files.cpp makes it.
  std::unique_ptr<MessageReader> (*openReader)(const std::u16string& path);
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

// True for the kinds a restore or a conversion can read.
inline bool IsReadable(FileKind kind) { return FormatOf(kind).readable; }
// "backup file", "text export", "XML", "ZIP", "HTML page": for messages.
inline const char* FileKindName(FileKind kind) { return FormatOf(kind).name; }

}  // namespace larkpost
