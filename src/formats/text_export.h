// The plain-text export: one labelled block per message, for reading, never restored.
//
//   Sender: "name" <address>        ("Sender:" alone unless both are non-empty)
//   Recipients: "name" <address>;"name" <address>;
//   Time: 2009-3-5 8:7:6            (local time, empty when it cannot be converted)
//   Content:
//   the message text as stored
//   (empty line)
//
// Lines end in carriage return and line feed; the bytes are in the ANSI code page.
#pragma once

#include <memory>
#include <string>

#include "message/message_stream.h"
#include "platform/time/filetime.h"

namespace larkpost {

class ByteSink;  // platform/file/byte_sink.h

// Writes the blocks into `sink` (Finish closes it). A multimedia message is refused as a backup
// file refuses it; replacedMessages() counts the messages with characters the code page lacks.
// Prepare encodes the block on any thread.
std::unique_ptr<MessageWriter> TextExportWriter(ByteSink& sink);

// The delivery time as local "year-month-day hour:minute:second" without padding; empty when
// the time cannot be converted.
std::u16string FormatMessageTime(const FILETIME& time);

}  // namespace larkpost
