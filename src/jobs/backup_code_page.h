// The code page of a backup file's texts, told from the texts: a file written with --codepage
// 65001 (or on a handheld set to Chinese) and read at the default 1252 would turn every
// character beyond ASCII into another, and a restore or conversion would keep that garbled text
// for good. Reading commands ask here before they read, and either take what the texts tell
// (when asked to) or refuse until the user says which code page to use.
#pragma once

#include <string>

#include "platform/text/code_page_detect.h"

namespace larkpost {

// What the texts of the file at `path` tell of their code page, from the texts beyond ASCII in their first 4 MiB. False
// for files whose texts are Unicode (every kind but a backup file) and for a file that cannot be
// read, which the command then names itself.
bool DetectFileCodePage(const std::u16string& path, DetectedCodePage& detected);

// The code page the texts of a file look like when they do not read as `current`, 0 when they
// do (or tell nothing: plain ASCII, a guess too weak to act on, a file that is no backup file).
// What verify and show warn about and restore, convert, merge and salvage refuse.
unsigned OtherCodePage(const DetectedCodePage& detected, unsigned current);

}  // namespace larkpost
