#include "jobs/runs.h"

#include <unistd.h>

#include <cerrno>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "backupfile/backup_file.h"
#include "formats/part_spool.h"
#include "jobs/job_records.h"
#include "jobs/message_files.h"
#include "jobs/outcome.h"
#include "jobs/store_access.h"
#include "platform/file/output_file.h"
#include "platform/file/output_sink.h"
#include "jobs/store_backup.h"
#include "jobs/worker.h"
#include "message/counts.h"
#include "platform/file/file.h"
#include "platform/framework/framework.h"
#include "platform/framework/strings.h"
#include "platform/mapi/provider.h"
#include "platform/text/text.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/media_and_calls.h"
#include "store/session.h"

namespace larkpost {

namespace {

constexpr FolderKind kFolderKinds[] = {FolderKind::Draft, FolderKind::Inbox, FolderKind::Outbox,
                                       FolderKind::Sent, FolderKind::Deleted};

// The framework's text for a file error, as the handheld fills it: at most 254 characters.
std::u16string FileErrorText(const CFileException& error) {
  char16_t buffer[255] = {};
  error.GetErrorMessage(buffer, 255);
  return buffer;
}

// Names the temporary file below the message when the run left it behind (it is gone once it
// has been renamed over the target).
std::u16string WithPartialOutput(std::u16string text, const OutputFile& output) {
  if (output.temporary && access(WideToPath(output.writePath).c_str(), F_OK) == 0) {
    text.push_back(u'\n');
    text.append(PartialOutputLine(output.writePath));
  }
  return text;
}

// What the walk could not copy faithfully, as the store and the record writers counted it.
BackupShortfall ShortfallOf(const BackupJob& job) {
  BackupShortfall shortfall;
  shortfall.unreadableFolders = job.session.unreadableFolders;
  shortfall.unreadableMessages = job.session.unreadableMessages;
  shortfall.replacedMessages = job.replacedMessages;
  return shortfall;
}

// "No.N, " and why record N could not be restored: the store's full disk, when that is why it
// refused the step, else the record error text.
std::u16string RecordFailureText(RestoreJob& job, uint64_t number, const std::u16string& text) {
  const std::u16string cause =
      job.Restorer().FailedForFullDisk()
          ? CFileException(CFileException::diskFull, ENOSPC, Utf8ToWide(mapi::DatabasePath()))
                .ErrorMessage()
          : text;
  return RecordErrorText(number, cause);
}

// What a failed commit of the open group lost, on a line of its own; empty when it lost nothing.
std::u16string LostText(RestoreJob& job) {
  const uint32_t lost = job.Restorer().lost();
  if (lost == 0) return std::u16string();
  return Utf8ToWide("\nThe " + Counted(lost, "message", "messages") +
                    " restored just before it could not be kept either; the " +
                    Thousands(job.Restorer().counts().restored) +
                    " restored before them stay. Run the same command again to complete the "
                    "restore.");
}

// A failed restore commits what it restored before the failing record, but a store whose disk
// is full cannot: the open group goes with the failure, and the report says so.
std::u16string RestoreFailureText(RestoreJob& job, uint64_t number, const std::u16string& text) {
  std::u16string ignored;
  job.Restorer().Commit(ignored);
  // The failure itself may have been the commit of a group (a run ends at its first failure).
  return RecordFailureText(job, number, text) + LostText(job);
}

bool Exists(const std::u16string& path) {
  return access(WideToPath(path).c_str(), F_OK) == 0;
}

}  // namespace

void StartBackup(BackupJob& job) {
  job.path = TrimWhiteSpace(job.path);
  if (job.path.empty()) {
    AfxMessageBox(IDS_SELECT_SAVE_PATH_PROMPT, MB_ICONINFORMATION);
    return;
  }
  bool anyFolder = false;
  for (FolderKind kind : kFolderKinds) anyFolder = anyFolder || job.Includes(kind);
  if (!anyFolder) {
    AfxMessageBox(IDS_SELECT_BACKUP_FOLDER, MB_ICONINFORMATION);
    return;
  }
  // Counted on this thread, before the worker starts: the backup file's record count, and the
  // multimedia messages and calls for a target that keeps them.
  const FormatHolds& holds = FormatOf(job.format).holds;
  job.total = 0;
  for (FolderKind kind : kFolderKinds) {
    if (!job.Includes(kind)) continue;
    if (SmsFolder* folder = job.session.StandardFolder(kind)) {
      if (holds.messages) job.total += static_cast<int32_t>(CountMessages(*folder));
      if (holds.multimedia) job.total += static_cast<int32_t>(CountMultimedia(*folder));
    }
  }
  if (holds.calls) job.total += static_cast<int32_t>(CountCalls(job.session));
  job.finished = 0;
  job.progress = 0.0;
  job.written = 0;

  RunWorker([&job] { BackupThread(&job); }, job.progress, job.finished);
}

unsigned BackupThread(BackupJob* job) {
  RunEnd end(job->outcome, job->finished);
  std::unique_ptr<OutputSink> sink;
  try {
    job->path = TrimWhiteSpace(job->path);
    sink = std::make_unique<OutputSink>(job->path, MessageStoreFiles());
    sink->FlushEachMessage(job->syncEachRecord);
    const OutputFile& output = sink->output();

    // A ZIP's calls go into the app's call log beside it, put in place right after it.
    std::unique_ptr<CallLogBeside> callLog = CallLogBesideOutput(job->path, job->format, *sink);
    const bool written = WriteStoreBackup(*job, *sink, &sink->output(), callLog.get());
    if (!written && StopRequested() != 0) {
      sink->Discard();
      end.Report(RunOutcome::kInterrupted,
                 InterruptedWriteText(job->written, static_cast<uint64_t>(job->total),
                                      output.target, Exists(output.target)),
                 MB_ICONWARNING);
      return 1;
    }
    if (!written) {
      // The partial output named to the user holds what was written, sealed as asked.
      try {
        sink->KeepPartial();
      } catch (const CFileException&) {
      }
      end.Report(RunOutcome::kFailed, WithPartialOutput(LoadString(IDS_BACKUP_FAILED), output),
                 MB_ICONWARNING);
      return 1;
    }

    // A backup that left out what it could not read is kept, sealed and valid, under its partial
    // name: it must not take the place of an older file that may be complete.
    const BackupShortfall shortfall = ShortfallOf(*job);
    if (!shortfall.Complete()) {
      sink->KeepPartial();
      std::u16string text = WithPartialOutput(IncompleteBackupText(shortfall), output);
      if (shortfall.replacedMessages > 0) {
        text += u"\n" + LossyBackupText(shortfall.replacedMessages, GetACP());
      }
      if (output.temporary && Exists(output.target)) text += u"\n" + NotReplacedLine(output.target);
      end.Report(RunOutcome::kIncomplete, text, MB_ICONWARNING);
      return 1;
    }

    // Characters the format cannot spell do not make a backup incomplete: it holds everything
    // its format can, so it takes the target's place, and the warning says how to keep them.
    sink->Commit();
    if (callLog) job->callLog = callLog->Commit();
    // What the target cannot hold (a backup file's multimedia messages and calls) is named.
    if (job->notHeld.Any()) {
      job->outcome = RunOutcome::kSucceeded;
      AfxMessageBox(IDS_BACKUP_SUCCEEDED, MB_ICONINFORMATION);
      std::u16string text = LeftOutText(job->notHeld, LeftOutHolder(job->format));
      if (shortfall.replacedMessages > 0) {
        text += u"\n" + LossyBackupText(shortfall.replacedMessages, GetACP());
      }
      end.Report(RunOutcome::kLossy, text, MB_ICONWARNING);
      return 1;
    }
    if (shortfall.replacedMessages == 0) {
      end.Report(RunOutcome::kSucceeded, IDS_BACKUP_SUCCEEDED, MB_ICONINFORMATION);
      return 1;
    }
    job->outcome = RunOutcome::kLossy;
    AfxMessageBox(IDS_BACKUP_SUCCEEDED, MB_ICONINFORMATION);
    end.Report(RunOutcome::kLossy, LossyBackupText(shortfall.replacedMessages, GetACP()),
               MB_ICONWARNING);
  } catch (const CFileException& error) {
    // The user chose the target; the partial file is named on its own line.
    if (!sink) {
      end.ReportAfterFinish(RunOutcome::kFailed, FileErrorText(error), MB_ICONWARNING);
      return 1;
    }
    sink->Abandon();
    end.ReportAfterFinish(RunOutcome::kFailed,
                          WithPartialOutput(FileErrorText(sink->Shown(error)), sink->output()),
                          MB_ICONWARNING);
  } catch (const OutputRefused& refused) {
    end.ReportAfterFinish(RunOutcome::kFailed, refused.text, MB_ICONWARNING);
  } catch (const std::exception&) {
    // Out of memory or a failure of the platform below: the run cannot go on.
    std::u16string text = LoadString(IDS_BACKUP_FAILED);
    if (sink) {
      sink->Abandon();
      text = WithPartialOutput(text, sink->output());
    }
    end.Report(RunOutcome::kFailed, text, MB_ICONWARNING);
  }
  return 1;
}

void StartRestore(RestoreJob& job) {
  if (job.path.empty()) {
    AfxMessageBox(IDS_SELECT_FILE_PATH_PROMPT, MB_ICONINFORMATION);
    return;
  }
  RunWorker([&job] { RestoreThread(&job); }, job.progress, job.finished);
}

namespace {

// A restore that ran to its end says so; a dry run changed nothing and ends without a word,
// leaving it to its counts to say what a restore would do.
void ReportRestored(const RestoreJob& job, RunEnd& end) {
  if (job.dryRun) {
    end.End(RunOutcome::kSucceeded);
  } else {
    end.Report(RunOutcome::kSucceeded, IDS_RESTORE_SUCCEEDED, MB_ICONINFORMATION);
  }
}

// The messages a restore will read: the count the file declares, or, for a file without a
// digest that vouches for it as a whole (a phone's), the messages of a first reading of the whole
// file, so that a broken entry leaves the store as it was. False with the reason in `error`.
bool CountBeforeRestore(const std::u16string& path, FileKind kind, MessageReader& reader,
                        uint64_t& count, std::u16string& error) {
  if (!FormatOf(kind).checkedBeforeRestore) {
    reader.Declared(count);
    return true;
  }
  std::unique_ptr<MessageReader> check = OpenMessageReader(path, kind);
  MessageRecord record;
  count = 0;
  while (check->Next(record)) ++count;
  if (check->error().empty()) return true;
  error = Utf8ToWide(check->error()) + u"\nThe store was not changed.";
  return false;
}

// What a reader's error leaves of a restore: what it restored before is committed, and the text
// says what could not be kept.
std::u16string ReaderFailureText(RestoreJob& job, const std::string& readerError) {
  std::u16string ignored;
  job.Restorer().Commit(ignored);
  return Utf8ToWide(readerError) + LostText(job);
}

// Each message of the file goes through the same restore step, with the presence rule its
// format's row gives (job_records.h); the run reports what it did.
unsigned RestoreFile(RestoreJob* job, RunEnd& end) {
  auto fail = [&end](const std::u16string& text) {
    end.Report(RunOutcome::kFailed, text, MB_ICONWARNING);
    return 1u;
  };
  // A file of a kind that is only written is read as a backup file, whose digest then fails.
  FileKind kind = InputKindOf(job->path);
  if (!IsReadable(kind)) kind = FileFormats()[0].kind;
  job->inputKind = kind;
  uint64_t number = 0;
  // Parts decoded from the file wait in a spool beside the store until the store has them.
  std::unique_ptr<MessageReader> reader = OpenMessageReader(
      job->path, kind, std::make_shared<PartSpool>(Utf8ToWide(mapi::DatabasePath())));
  if (!reader->error().empty()) {
    // The file was refused whole (a backup file's digest): nothing is read, and the file is
    // closed before the message shows.
    const std::u16string text = Utf8ToWide(reader->error());
    reader.reset();
    end.ReportAfterFinish(RunOutcome::kFailed, text, MB_ICONINFORMATION);
    return 1;
  }
  // One restore at a time decides what the store lacks: a second one waits for the first.
  if (!job->dryRun) {
    std::u16string error;
    if (!LockStoreForRun(mapi::DatabasePath(), job->storeLock, error)) {
      if (!error.empty()) return fail(error);
      end.Report(RunOutcome::kInterrupted, u"Interrupted while waiting for another run on the "
                                           u"message store; nothing was restored.",
                 MB_ICONWARNING);
      return 1;
    }
  }
  try {
    uint64_t count = 0;
    std::u16string error;
    if (!CountBeforeRestore(job->path, kind, *reader, count, error)) return fail(error);
    MessageRecord record;
    // The progress counts the message about to be read, as the record being restored.
    auto advance = [&] {
      if (number < count) job->progress = static_cast<double>(number + 1) / static_cast<double>(count);
    };
    for (advance(); reader->Next(record); advance()) {
      ++number;
      if (!job->Take(record, error)) return fail(RestoreFailureText(*job, number, error));
      // Asked to stop: the open group is committed, so a rerun goes on where this one ended.
      if (StopRequested() != 0 && number < count) {
        if (!job->Restorer().Commit(error)) return fail(RecordFailureText(*job, number, error));
        end.Report(RunOutcome::kInterrupted, InterruptedRestoreText(number, count), MB_ICONWARNING);
        return 1;
      }
    }
    if (!reader->error().empty()) return fail(ReaderFailureText(*job, reader->error()));
    if (!job->Restorer().Commit(error)) return fail(RecordFailureText(*job, number, error));
    // What the reader passed over (call entries); the multimedia Take counted.
    job->leftOutOfStore += LeftOutByReader(reader->counts());
    reader.reset();
  } catch (const std::exception& failure) {
    if (dynamic_cast<const CFileException*>(&failure) != nullptr) throw;
    std::u16string text = Utf8ToWide(failure.what());
    if (number > 0) text = RecordErrorText(number, text);
    return fail(text);
  }
  // Everything the store can hold is in it; what it cannot is named, and the run is lossy.
  // "Restore Succeeded." is shown as a success's (with what the run did below it), the warning
  // after it ends the run.
  if (job->leftOutOfStore.Any()) {
    job->outcome = RunOutcome::kSucceeded;
    if (!job->dryRun) AfxMessageBox(IDS_RESTORE_SUCCEEDED, MB_ICONINFORMATION);
    end.Report(RunOutcome::kLossy, LeftOutText(job->leftOutOfStore, kStoreHolder),
               MB_ICONWARNING);
    return 1;
  }
  ReportRestored(*job, end);
  return 1;
}

}  // namespace

unsigned RestoreThread(RestoreJob* job) {
  job->progress = 0.0;
  job->finished = 0;
  RunEnd end(job->outcome, job->finished);
  // Before `end` tells that the run has ended.
  struct ReleaseStore {
    RestoreJob* job;
    ~ReleaseStore() { job->ReleaseStore(); }
  } releaseStore{job};
  try {
    job->path = TrimWhiteSpace(job->path);
    return RestoreFile(job, end);
  } catch (const CFileException& fileError) {
    end.ReportAfterFinish(RunOutcome::kFailed, FileErrorText(fileError), MB_ICONWARNING);
  } catch (const std::exception& failure) {
    end.Report(RunOutcome::kFailed, Utf8ToWide(failure.what()), MB_ICONWARNING);
  }
  return 1;
}

}  // namespace larkpost
