// The readable archive: one HTML page (no network; a content security policy forbids fetching
// anything but the pictures of its own media folder) with the messages as conversations, one per
// set of other parties (a group chat is one conversation with every member; the owner's own
// numbers are told apart by what the messages show), the conversation with the latest message
// first and, inside one, the oldest message first, and a list to jump to each. Each message
// shows its text (escaped, never interpreted), its local time, the service an iPhone message went
// by (its phone column "service": SMS, iMessage, RCS) and its folder; a multimedia
// message its texts and pictures inline (a HEIC picture through a JPEG made of it, the original
// beside it as the download: html_page_preview.h) and its other attachments as links, the files
// in the media folder (page_media.h). A search box filters messages and contacts as one types (also
// from the address: "page.html#q=word"), keeping the day heading of each message it shows; a
// print style drops the controls.
//
// Messages come in any order, so the writer spools each message's markup to an unnamed temporary
// file and keeps only a 24-byte index entry per message and one line per conversation; Finish
// sorts the index and copies the spooled markup into the page.
#pragma once

#include <memory>
#include <string>

#include "formats/message_stream.h"
#include "formats/page_media.h"

namespace larkpost {

class ByteSink;  // platform/file/byte_sink.h

// Writes the page into `sink` (Finish closes it); the caller commits the media folder with it.
// The spool lies beside the sink's file. Without `media.folder` (a page written to a pipe)
// attachments are named and not saved. Throws CFileException.
std::unique_ptr<MessageWriter> HtmlWriter(ByteSink& sink, PageMedia media = {});

}  // namespace larkpost
