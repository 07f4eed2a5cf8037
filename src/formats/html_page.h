// The readable archive: one self-contained HTML page (no network, no other file; a content
// security policy forbids fetching anything) with the messages as conversations, one per other
// party, the conversation with the latest message first and, inside one, the oldest message
// first. Each message shows its text (escaped, never interpreted), its local time and its folder;
// a search box filters messages and contacts as one types (also from the address: "page.html#q=
// word"); a print style drops the controls.
//
// Messages come in any order, so the writer spools each message's markup to an unnamed temporary
// file and keeps only a 24-byte index entry per message and one line per conversation; Finish
// sorts the index and copies the spooled markup into the page.
#pragma once

#include <memory>
#include <string>

#include "formats/message_stream.h"

namespace larkpost {

// Writes the page into `file`, open for writing and empty; the caller closes it. The spool lies
// in the file's folder. Throws CFileException.
std::unique_ptr<MessageWriter> HtmlWriter(CFile& file);

}  // namespace larkpost
