// The kind of a message file, chosen from its name. The command line and the desktop program both
// ask here, so a name means the same file everywhere.
#pragma once

#include <string>

namespace larkpost {

enum class FileKind {
  kBackup,      // .bak: the program's own backup file (also any name without a known ending)
  kTextExport,  // .txt: the plain-text export (written only)
  kPhoneXml,    // .xml: "SMS Backup & Restore"
  kPhoneZip,    // .zip: "SMS Import / Export" (messages.ndjson inside)
  kHtml,        // .html or .htm: the readable archive page (written only)
};

// From the text after the path's last "." of its last component: ".txt" exactly (as the
// handheld compares it) for the text export; ".xml", ".zip", ".html", ".htm" in any letter case;
// a backup file for everything else.
FileKind FileKindForPath(const std::u16string& path);

// True for the kinds a restore or a conversion can read.
bool IsReadable(FileKind kind);

// "backup file", "text export", "XML", "ZIP", "HTML page": for messages.
const char* FileKindName(FileKind kind);

}  // namespace larkpost
