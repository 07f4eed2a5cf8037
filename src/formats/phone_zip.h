// The ZIP of the "SMS Import / Export" app: a file messages.ndjson inside it, one message entry
// per line (phone_json_line.h), and the attachments of multimedia messages as files data/<name>.
// Reading streams the entry out of the archive a chunk at a time; an attachment is read from its
// file when it is wanted (inflated as it is read), while any message of the reader lives. Each
// attachment file is unpacked once when a line first names it, so that a damaged one is the
// error of that line (naming the file) for every command alike; what the lines name in all is
// bounded by the size of the whole archive, however often they name one file.
// Writing puts messages.ndjson first and then each attachment once, in the order the lines name
// them, as the app's import reads them (zip_writer.h); attachments are stored under names made
// from their number and the letters of their own, never a path.
#pragma once

#include <memory>
#include <string>

#include "formats/message_stream.h"

namespace larkpost {

class ByteSink;  // platform/file/byte_sink.h

// Reads messages.ndjson of the ZIP at `path`, or of the ZIP held in `bytes` (which must outlive
// the source and the messages read from it), one line at a time. Errors name the line ("messages.ndjson line 7: ...").
std::unique_ptr<EntrySource> ZipEntries(const std::u16string& path);
std::unique_ptr<EntrySource> ZipEntriesInBuffer(std::string_view bytes);

// Writes the ZIP into `sink`, front to back (Finish closes it). The lines go to an unnamed
// temporary file beside the sink's file first, which the archive takes in at Finish. Throws
// CFileException.
std::unique_ptr<MessageWriter> ZipWriter(ByteSink& sink, DeletedAs deletedAs);

}  // namespace larkpost
