#include "jobs/message_files.h"

#include <string>

#include "jobs/store_access.h"
#include "platform/file/file.h"
#include "platform/file/output_file.h"
#include "platform/file/output_sink.h"
#include "platform/text/text.h"

namespace larkpost {

bool MultimediaLeftOut::Write(const MessageRecord& record, std::string& error) {
  if (!holdsMultimedia_ && record.multimedia) {
    ++leftOut;
    return true;
  }
  return writer_.Write(record, error);
}

bool MultimediaLeftOut::Prepare(const MessageRecord& record, PreparedMessage& prepared,
                                std::string& error) const {
  prepared.leftOut = !holdsMultimedia_ && static_cast<bool>(record.multimedia);
  return prepared.leftOut || writer_.Prepare(record, prepared, error);
}

bool MultimediaLeftOut::WritePrepared(const PreparedMessage& prepared, std::string& error) {
  if (!prepared.leftOut) return writer_.WritePrepared(prepared, error);
  ++leftOut;
  return true;
}

WrittenCounts CountsOf(const MessageWriter& writer, const MultimediaLeftOut& leaveOut) {
  WrittenCounts counts;
  counts.entriesWritten = writer.entriesWritten();
  counts.replacedMessages = writer.replacedMessages();
  counts.multimediaLeftOut = leaveOut.leftOut;
  counts.unaddressedLeftOut = writer.unaddressedLeftOut();
  counts.firstUnaddressed = writer.firstUnaddressed();
  return counts;
}

LeftOut LeftOutByReader(const ReadCounts& read) {
  LeftOut leftOut;
  leftOut.calls = read.callsSkipped;
  leftOut.tapbacks = read.tapbacksSkipped;
  leftOut.unsent = read.unsentSkipped;
  leftOut.groupEvents = read.groupEventsSkipped;
  leftOut.stickers = read.stickersSkipped;
  leftOut.attachmentsMissing = read.attachmentsMissing;
  return leftOut;
}

LeftOut UnwrittenOf(const WrittenCounts& written) {
  LeftOut leftOut;
  leftOut.multimedia = written.multimediaLeftOut;
  leftOut.unaddressed = written.unaddressedLeftOut;
  leftOut.firstUnaddressed = written.firstUnaddressed;
  return leftOut;
}

bool CopyMessages(MessageReader& reader, MessageWriter& writer, const Selection* selection,
                  bool asTheyLie, const std::function<void(uint64_t taken)>& progress,
                  uint64_t& taken, bool& stopped, std::string& failure) {
  MessageRecord record;
  PreparedMessage asItLies;
  while (!(stopped = StopRequested() != 0) && reader.Next(record)) {
    if (selection != nullptr && !selection->Selects(record)) continue;
    ++taken;
    const bool written = asTheyLie && reader.RecordBytes(asItLies.bytes)
                             ? writer.WritePrepared(asItLies, failure)
                             : writer.Write(record, failure);
    if (!written) {
      failure = "message " + std::to_string(reader.counts().messages) + ": " + failure;
      return false;
    }
    if (progress) progress(taken);
  }
  if (stopped) {
    failure = "interrupted";
    return false;
  }
  failure = reader.error();
  return failure.empty();
}

bool ConvertMessageFile(const std::u16string& in, const std::u16string& out, DeletedAs deletedAs,
                        const Selection& selection, ConvertResult& result) {
  result = ConvertResult{};
  const FileKind inKind = InputKindOf(in);
  const FileKind outKind = FileKindForPath(out);
  if (!IsReadable(inKind)) {
    result.error = Utf8ToWide(std::string("a ") + FileKindName(inKind) + " cannot be read");
    return false;
  }
  if (HoldsReadOnlyInput(out)) {
    result.error = out + u" holds " + Utf8ToWide(FileKindName(InputKindOf(out))) +
                   u", which are only read, never replaced";
    return false;
  }
  // Attachments decoded out of the input wait beside the output, where the disk must hold them
  // anyway.
  std::unique_ptr<MessageReader> reader =
      OpenMessageReader(in, inKind, std::make_shared<PartSpool>(out));
  WrittenCounts written;
  std::string error;
  const bool converted = WriteMessageOutput(
      out, outKind, deletedAs,
      [&](MessageWriter& writer, std::string& failure) {
        bool stopped = false;
        return CopyMessages(*reader, writer, &selection, false, nullptr, result.selected, stopped,
                            failure);
      },
      written, error);
  result.read = reader->counts();
  result.leftOut = LeftOutByReader(result.read);
  result.leftOut += UnwrittenOf(written);
  result.written = result.selected - written.multimediaLeftOut - written.unaddressedLeftOut;
  result.entriesWritten = written.entriesWritten;
  result.replacedMessages = written.replacedMessages;
  if (!converted) result.error = Utf8ToWide(error);
  return converted;
}

bool WriteOutputFile(const std::u16string& out,
                     const std::function<bool(OutputSink& sink, std::string& error)>& fill,
                     std::string& error) {
  OutputSink sink(out, MessageStoreFiles());
  try {
    if (!fill(sink, error)) {
      sink.Discard();
      return false;
    }
    sink.Commit();
  } catch (const CFileException& failure) {
    sink.Discard();
    throw sink.Shown(failure);
  }
  return true;
}

bool WriteMessageOutput(const std::u16string& out, FileKind kind, DeletedAs deletedAs,
                        const std::function<bool(MessageWriter&, std::string& error)>& fill,
                        WrittenCounts& counts, std::string& error) {
  return WriteOutputFile(
      out,
      [&](OutputSink& sink, std::string& failure) {
        // The writer goes before the file is finished or thrown away: it may hold files of its
        // own beside it.
        WriterOptions options;
        options.deletedAs = deletedAs;
        options.output = &sink.output();
        std::unique_ptr<MessageWriter> writer = OpenMessageWriter(sink, kind, options);
        if (writer == nullptr) {
          failure = FileKindName(kind) + std::string(" are only read, never written");
          return false;
        }
        MultimediaLeftOut leaveOut(*writer, FormatOf(kind).holds.multimedia);
        if (!fill(leaveOut, failure)) return false;
        writer->Finish();
        counts = CountsOf(*writer, leaveOut);
        return true;
      },
      error);
}

}  // namespace larkpost
