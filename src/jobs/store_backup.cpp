#include "jobs/store_backup.h"

#include <exception>
#include <memory>
#include <thread>
#include <utility>

#include "jobs/job_records.h"
#include "jobs/record_pipe.h"
#include "message/folder_path.h"
#include "formats/format_table.h"
#include "platform/file/byte_sink.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/session.h"

namespace larkpost {

namespace {

constexpr int kCursorBatchSize = 10;

// Messages held between the store walk and the writer: enough to ride out a slow flush, small
// whatever the store holds.
constexpr size_t kPipeBytes = size_t{4} << 20;

// Calls `each` for every message of the folder's tree in walk order: a folder's own messages,
// then its subfolders' depth first. Folders the store cannot open, list or read are left out
// (the store counts them in the session's unreadableFolders, once each). False at the first
// failure. A folder deeper than a record's folder path may be (kMaxFolderDepth) is left out and
// counted with them: a record of it would be refused by every reader ("Folder path too deep
// error!"), so a backup holding it could not be restored.
bool ForEachMessage(SmsFolder& folder, const std::function<bool(SmsMessage&)>& each) {
  return WalkFolderTree(folder, [&each](SmsFolder& visited, size_t depth) {
    if (depth > kMaxFolderDepth) {
      if (visited.session != nullptr) ++visited.session->unreadableFolders;
      return true;
    }
    if (!visited.folder) return true;
    if (MessageCursor* cursor = visited.Cursor(kCursorBatchSize)) {
      if (!cursor->Rewind()) return false;
      while (cursor->Next()) {
        if (!each(*cursor->current)) return false;
      }
    }
    return true;
  });
}

// The reader's side of WriteSelectedMessages: walks the selected messages and pushes each one
// made ready for the writer; false when the walk fails, the writer refuses a message (its reason
// in `refusal`), or the writing side stopped.
bool WalkIntoPipe(BackupJob& job, const MessageWriter& writer, RecordPipe& pipe,
                  std::string& refusal) {
  return WalkSelectedMessages(job, [&](SmsMessage& message, const MessageRecord* value) {
    PipedMessage piped;
    piped.record = std::make_unique<MessageRecord>();
    // A message whose recipients cannot be read would lose them silently; the walk fails.
    if (value != nullptr) {
      *piped.record = *value;
    } else if (!RecordFromMessage(message, *piped.record)) {
      return false;
    }
    if (!writer.Prepare(*piped.record, piped.prepared, refusal)) return false;
    // A writer that made the bytes needs the message no longer.
    if (piped.prepared.record == nullptr) piped.record.reset();
    return pipe.Push(std::move(piped));
  });
}

}  // namespace

bool WalkSelectedMessages(BackupJob& job, const SelectedMessageVisitor& each) {
  const bool looksAtMessages = job.selection.LooksAtMessages();
  for (const FolderNames& names : kFolderNames) {
    if (!job.Includes(names.kind)) continue;
    SmsFolder* folder = job.session.StandardFolder(names.kind);
    if (folder == nullptr) continue;
    const bool walked = ForEachMessage(*folder, [&](SmsMessage& message) {
      // No reader takes a longer text back: a file holding it could not be restored, so the
      // message is left out and counted like a message that cannot be read.
      if (message.text.size() > kMaxTextChars) {
        ++job.session.unreadableMessages;
        return true;
      }
      if (!looksAtMessages) return each(message, nullptr);
      MessageRecord value;
      if (!RecordFromMessage(message, value)) return false;
      if (!job.selection.Selects(names.kind, value)) {
        job.MessageLeftOut();
        return true;
      }
      return each(message, &value);
    });
    if (!walked) return false;
  }
  return true;
}

bool WriteSelectedMessages(BackupJob& job, MessageWriter& writer, ByteSink& sink) {
  RecordPipe pipe(kPipeBytes);
  bool walked = false;
  std::string refusal;
  std::exception_ptr walkFailure;
  // The session is used by the reader alone until it has been joined.
  std::thread reader([&] {
    try {
      walked = WalkIntoPipe(job, writer, pipe, refusal);
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

bool WriteStoreBackup(BackupJob& job, ByteSink& sink, OutputFile* output) {
  WriterOptions options;
  options.expectedCount = static_cast<uint32_t>(job.total);
  options.output = output;
  const std::unique_ptr<MessageWriter> writer = OpenMessageWriter(sink, job.format, options);
  return writer != nullptr && WriteSelectedMessages(job, *writer, sink);
}

}  // namespace larkpost
