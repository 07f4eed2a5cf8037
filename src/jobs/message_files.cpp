#include "jobs/message_files.h"

#include <sys/stat.h>

#include <optional>
#include <string>

#include "jobs/store_access.h"
#include "platform/file/file.h"
#include "platform/file/output_file.h"
#include "platform/file/output_sink.h"
#include "platform/text/text.h"

namespace larkpost {

bool LeftOutByFormat::Holds(const MessageRecord& record) const {
  if (record.kind == EntryKind::kCall) return holds_.calls || callLog_;
  return holds_.messages && (holds_.multimedia || !record.multimedia);
}

void LeftOutByFormat::CountLeftOut(bool call, bool multimedia) {
  if (call) {
    ++callsLeftOut;
  } else if (!holds_.messages) {
    ++messagesLeftOut;
  } else if (multimedia) {
    ++multimediaLeftOut;
  }
}

bool LeftOutByFormat::Write(const MessageRecord& record, std::string& error) {
  const bool call = record.kind == EntryKind::kCall;
  if (!Holds(record)) {
    CountLeftOut(call, static_cast<bool>(record.multimedia));
    return true;
  }
  if (!call) return writer_.Write(record, error);
  MessageWriter& into = holds_.calls ? writer_ : callLog_();
  if (!into.Write(record, error)) return false;
  ++callsWritten;
  return true;
}

bool LeftOutByFormat::Prepare(const MessageRecord& record, PreparedMessage& prepared,
                              std::string& error) const {
  prepared.call = record.kind == EntryKind::kCall;
  prepared.leftOut = !Holds(record);
  if (prepared.leftOut) {
    // What it was, for the count.
    prepared.record = &record;
    return true;
  }
  if (prepared.call && !holds_.calls) {
    prepared.record = &record;  // written into the call log as it is
    return true;
  }
  return writer_.Prepare(record, prepared, error);
}

bool LeftOutByFormat::WritePrepared(const PreparedMessage& prepared, std::string& error) {
  if (prepared.leftOut) {
    CountLeftOut(prepared.call, prepared.record != nullptr && prepared.record->multimedia);
    return true;
  }
  if (!prepared.call) return writer_.WritePrepared(prepared, error);
  const bool written = holds_.calls ? writer_.WritePrepared(prepared, error)
                                    : callLog_().Write(*prepared.record, error);
  if (written) ++callsWritten;
  return written;
}

WrittenCounts CountsOf(const MessageWriter& writer, const LeftOutByFormat& leaveOut) {
  WrittenCounts counts;
  counts.entriesWritten = writer.entriesWritten();
  counts.replacedMessages = writer.replacedMessages();
  counts.multimediaLeftOut = leaveOut.multimediaLeftOut;
  counts.unaddressedLeftOut = writer.unaddressedLeftOut();
  counts.firstUnaddressed = writer.firstUnaddressed();
  counts.callsWritten = leaveOut.callsWritten;
  counts.callsLeftOut = leaveOut.callsLeftOut;
  counts.messagesLeftOut = leaveOut.messagesLeftOut;
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
  leftOut.calls = written.callsLeftOut;
  leftOut.messages = written.messagesLeftOut;
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
  result.callsWritten = written.callsWritten;
  result.callLog = written.callLog;
  result.written = result.selected - written.multimediaLeftOut - written.unaddressedLeftOut -
                   written.callsWritten - written.callsLeftOut - written.messagesLeftOut;
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

namespace {

// The call log beside `out`, as the format names it, in the folder of `out`. A file of that
// name may be the app's own call log, which no run replaces: the calls then go to the first
// free name "calls-x-2.json", "calls-x-3.json", ... (the report names it).
std::u16string CallLogPathBeside(const std::u16string& out, const FileFormat& format) {
  const size_t slash = out.rfind(u'/');
  const std::string folder = WideToPath(slash == std::u16string::npos ? u"" : out.substr(0, slash + 1));
  const std::string name = format.callLogBeside(
      WideToPath(slash == std::u16string::npos ? out : out.substr(slash + 1)));
  const size_t dot = name.find(".json");
  std::string path = folder + name;
  struct stat info {};
  for (int copy = 2; lstat(path.c_str(), &info) == 0; ++copy) {
    path = folder + name.substr(0, dot) + "-" + std::to_string(copy) + name.substr(dot);
  }
  return PathToWide(path);
}

}  // namespace

CallLogBeside::CallLogBeside(std::u16string out, const FileFormat& format)
    : out_(std::move(out)), path_(CallLogPathBeside(out_, format)) {}

CallLogBeside::~CallLogBeside() {
  writer_.reset();
  sink_.reset();
  if (wrapped_) WrapOutput(path_, nullptr);
}

MessageWriter& CallLogBeside::Open() {
  if (!writer_) {
    if (const OutputWrapper wrap = OutputWrapperOf(out_)) {
      WrapOutput(path_, wrap);
      wrapped_ = true;
    }
    sink_.emplace(path_, MessageStoreFiles());
    writer_ = OpenMessageWriter(*sink_, FileKind::kCallLog);
  }
  return *writer_;
}

void CallLogBeside::Finish() {
  if (writer_) writer_->Finish();
}

std::u16string CallLogBeside::Commit() {
  if (!sink_) return std::u16string();
  try {
    sink_->Commit();
  } catch (const CFileException& failure) {
    sink_->Discard();
    throw sink_->Shown(failure);
  }
  return path_;
}

std::unique_ptr<CallLogBeside> CallLogBesideOutput(const std::u16string& out, FileKind kind,
                                                   const OutputSink& sink) {
  const FileFormat& format = FormatOf(kind);
  // Beside a file, not beside a pipe or a device.
  if (format.callLogBeside == nullptr || !sink.output().temporary) return nullptr;
  return std::make_unique<CallLogBeside>(out, format);
}

bool WriteMessageOutput(const std::u16string& out, FileKind kind, DeletedAs deletedAs,
                        const std::function<bool(MessageWriter&, std::string& error)>& fill,
                        WrittenCounts& counts, std::string& error) {
  const FileFormat& format = FormatOf(kind);
  std::unique_ptr<CallLogBeside> callLog;
  const bool written = WriteOutputFile(
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
        LeftOutByFormat::CallLogOpener opener;
        callLog = CallLogBesideOutput(out, kind, sink);
        if (callLog) opener = [&callLog]() -> MessageWriter& { return callLog->Open(); };
        LeftOutByFormat leaveOut(*writer, format.holds, opener);
        if (!fill(leaveOut, failure)) return false;
        writer->Finish();
        if (callLog) callLog->Finish();
        counts = CountsOf(*writer, leaveOut);
        return true;
      },
      error);
  if (written && callLog) counts.callLog = callLog->Commit();
  return written;
}

}  // namespace larkpost
