#include "jobs/store_backup.h"

#include <array>
#include <exception>
#include <memory>
#include <thread>
#include <utility>

#include "formats/format_table.h"
#include "jobs/job_records.h"
#include "jobs/message_files.h"
#include "jobs/record_pipe.h"
#include "message/folders.h"
#include "platform/file/byte_sink.h"
#include "store/session.h"
#include "store/store_source.h"

namespace larkpost {

namespace {

// Messages held between the store walk and the writer: enough to ride out a slow flush, small
// whatever the store holds.
constexpr size_t kPipeBytes = size_t{4} << 20;

// The reader's side of WriteSelectedMessages: walks the selected messages and pushes each one
// made ready for the writer; false when the walk fails, the writer refuses a message (its reason
// in `refusal`), or the writing side stopped.
bool WalkIntoPipe(BackupJob& job, const MessageWriter& writer, bool callsBeside,
                  RecordPipe& pipe, std::string& refusal) {
  return WalkSelectedMessages(job, [&](MessageRecord& message) {
    PipedMessage piped;
    if (!writer.Prepare(message, piped.prepared, refusal)) return false;
    // A writer that writes the message itself gets it to keep until then; one that made the
    // bytes needs it no longer.
    if (piped.prepared.record != nullptr) {
      piped.record = std::make_unique<MessageRecord>(std::move(message));
      piped.prepared.record = piped.record.get();
    }
    return pipe.Push(std::move(piped));
  }, callsBeside);
}

}  // namespace

bool WalkSelectedMessages(BackupJob& job, const std::function<bool(MessageRecord&)>& each,
                          bool callsBeside) {
  // The folders the job includes and its selection takes.
  Selection walked = job.selection;
  std::array<bool, kFolderKindCount> folders{};
  for (const FolderNames& names : kFolderNames) {
    folders[static_cast<int>(names.kind)] =
        job.Includes(names.kind) && job.selection.Folder(names.kind);
  }
  walked.SetFolders(folders);
  const FormatHolds& target = FormatOf(job.format).holds;
  const TargetHolds holds{target.messages, target.multimedia, target.calls || callsBeside};
  NotHeld notHeld;
  const bool done = WalkStore(
      job.session, walked, [&job] { job.MessageLeftOut(); },
      [&](MessageRecord& message) {
        if (message.multimedia) ++job.multimediaWritten;
        if (message.kind == EntryKind::kCall) ++job.callsWritten;
        return each(message);
      },
      holds, &notHeld);
  job.notHeld.messages = notHeld.messages;
  job.notHeld.multimedia = notHeld.multimedia;
  job.notHeld.calls = notHeld.calls;
  return done;
}

bool WriteSelectedMessages(BackupJob& job, MessageWriter& writer, bool callsBeside,
                           ByteSink& sink) {
  // A writer that makes nothing ready beforehand writes each message as the walk hands it over,
  // on this thread: a second thread would only pass the messages along.
  if (!writer.PreparesAhead()) {
    bool stopped = false;
    std::string refusal;
    const bool walked = WalkSelectedMessages(job, [&](MessageRecord& message) {
      if (!writer.Write(message, refusal)) return false;
      sink.MessageWritten();
      job.RecordWritten();
      // Asked to stop: the run ends here and discards what it wrote.
      stopped = StopRequested() != 0;
      return !stopped;
    }, callsBeside);
    if (!walked || stopped) return false;
    writer.Finish();
    return true;
  }
  RecordPipe pipe(kPipeBytes);
  bool walked = false;
  std::string refusal;
  std::exception_ptr walkFailure;
  // The session is used by the reader alone until it has been joined.
  std::thread reader([&] {
    try {
      walked = WalkIntoPipe(job, writer, callsBeside, pipe, refusal);
    } catch (...) {
      walkFailure = std::current_exception();
    }
    pipe.Close();
  });
  bool stopped = false;
  bool refused = false;
  try {
    PipedMessage piped;
    while (pipe.Pop(piped)) {
      if (!writer.WritePrepared(piped.prepared, refusal)) {
        refused = true;
        pipe.Stop();
        break;
      }
      sink.MessageWritten();
      if (piped.prepared.replaced) ++job.replacedMessages;
      job.RecordWritten();
      // Asked to stop: the run ends here and discards what it wrote.
      if (StopRequested() != 0) {
        stopped = true;
        pipe.Stop();
        break;
      }
    }
  } catch (...) {
    pipe.Stop();
    reader.join();
    throw;
  }
  reader.join();
  if (stopped || refused) return false;
  if (walkFailure) std::rethrow_exception(walkFailure);
  if (!walked) return false;
  writer.Finish();
  return true;
}

bool WriteStoreBackup(BackupJob& job, ByteSink& sink, OutputFile* output,
                      CallLogBeside* callLog) {
  WriterOptions options;
  options.expectedCount = static_cast<uint32_t>(job.total);
  options.output = output;
  const std::unique_ptr<MessageWriter> writer = OpenMessageWriter(sink, job.format, options);
  if (writer == nullptr) return false;
  if (callLog == nullptr) return WriteSelectedMessages(job, *writer, false, sink);
  // The calls go beside the file, into the app's own call log.
  LeftOutByFormat calls(*writer, FormatOf(job.format).holds,
                        [callLog]() -> MessageWriter& { return callLog->Open(); });
  const bool written = WriteSelectedMessages(job, calls, true, sink);
  if (written) callLog->Finish();
  return written;
}

}  // namespace larkpost
