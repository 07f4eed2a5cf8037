#include "jobs/runs.h"

#include <unistd.h>

#include <cerrno>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "backupfile/backup_file.h"
#include "jobs/job_records.h"
#include "jobs/message_files.h"
#include "jobs/outcome.h"
#include "jobs/output_file.h"
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

// A failed restore commits what it restored before the failing record, but a store whose disk
// is full cannot: the open group goes with the failure, and the report says so.
std::u16string RestoreFailureText(RestoreJob& job, uint64_t number, const std::u16string& text) {
  std::u16string ignored;
  job.Restorer().Commit(ignored);
  std::u16string report = RecordFailureText(job, number, text);
  // The failure itself may have been the commit of a group (a run ends at its first failure).
  if (const uint32_t lost = job.Restorer().lost(); lost > 0) {
    report += Utf8ToWide("\nThe " + Counted(lost, "message", "messages") +
                         " restored just before it could not be kept either; the " +
                         Thousands(job.Restorer().counts().restored) +
                         " restored before them stay. Run the same command again to complete "
                         "the restore.");
  }
  return report;
}

bool Exists(const std::u16string& path) {
  return access(WideToPath(path).c_str(), F_OK) == 0;
}

// An interrupted backup leaves nothing of itself: its partial file goes.
void DiscardPartialOutput(const OutputFile& output, CFile& file) {
  file.Abort();
  if (output.temporary) unlink(WideToPath(output.writePath).c_str());
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

  // Counted on this thread, before the worker starts: the backup file's record count.
  job.total = 0;
  for (FolderKind kind : kFolderKinds) {
    if (!job.Includes(kind)) continue;
    if (SmsFolder* folder = job.session.StandardFolder(kind)) {
      job.total += static_cast<int32_t>(CountMessages(*folder));
    }
  }
  job.finished = 0;
  job.progress = 0.0;
  job.written = 0;

  RunWorker([&job] { BackupThread(&job); }, job.progress, job.finished);
}

unsigned BackupThread(BackupJob* job) {
  RunEnd end(job->outcome, job->finished);
  CFile file;
  OutputFile output;
  try {
    job->path = TrimWhiteSpace(job->path);
    OpenOutputFile(output, job->path, MessageStoreFiles(), file);

    // The plain-text export is the folder walk alone, without the container.
    const bool written = job->format == FileKind::kTextExport ? WriteSelectedFolders(*job, file)
                         : job->format == FileKind::kBackup ? WriteBackupFile(*job, file)
                                                      : WriteMessageFile(*job, file, output);
    if (!written && StopRequested() != 0) {
      DiscardPartialOutput(output, file);
      end.Report(RunOutcome::kInterrupted,
                 InterruptedWriteText(job->written, static_cast<uint64_t>(job->total),
                                      output.target, Exists(output.target)),
                 MB_ICONWARNING);
      return 1;
    }
    if (!written) {
      // The partial output named to the user holds what was written, encrypted as asked.
      try {
        SealOutputFile(output, file);
      } catch (const CFileException&) {
      }
      file.Abort();
      end.Report(RunOutcome::kFailed, WithPartialOutput(LoadString(IDS_BACKUP_FAILED), output),
                 MB_ICONWARNING);
      return 1;
    }

    // Everything must be on storage before the new file takes the old one's place.
    if (!FlushFileBuffers(file)) {
      const int osError = errno;
      throw CFileException(CFileException::CauseFromErrno(osError), osError, output.writePath);
    }

    // A backup that left out what it could not read is kept, sealed and valid, under its partial
    // name: it must not take the place of an older file that may be complete.
    const BackupShortfall shortfall = ShortfallOf(*job);
    if (!shortfall.Complete()) {
      SealOutputFile(output, file);
      file.Close();
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
    CommitOutputFile(output, file);
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
    CFileException shown = error;
    if (output.temporary && error.m_strFileName == output.writePath) {
      shown.m_strFileName = output.target;
    }
    file.Abort();
    end.ReportAfterFinish(RunOutcome::kFailed, WithPartialOutput(FileErrorText(shown), output),
                          MB_ICONWARNING);
  } catch (const OutputRefused& refused) {
    end.ReportAfterFinish(RunOutcome::kFailed, refused.text, MB_ICONWARNING);
  } catch (const std::exception&) {
    // Out of memory or a failure of the platform below: the run cannot go on.
    file.Abort();
    end.Report(RunOutcome::kFailed, WithPartialOutput(LoadString(IDS_BACKUP_FAILED), output),
               MB_ICONWARNING);
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

// A phone's XML or ZIP: the whole file is read and checked before the store is changed, so a
// broken entry leaves the store as it was; then each message goes through the same restore step
// as a backup file's records, with the same presence rule, counts and messages.

unsigned RestorePhoneFile(RestoreJob* job, RunEnd& end) {
  auto fail = [&end](const std::u16string& text) {
    end.Report(RunOutcome::kFailed, text, MB_ICONWARNING);
    return 1u;
  };
  const FileKind kind = InputKindOf(job->path);
  job->inputKind = kind;
  uint64_t count = 0;
  uint64_t number = 0;
  try {
    {
      std::unique_ptr<MessageReader> reader = OpenMessageReader(job->path, kind);
      MessageRecord record;
      while (reader->Next(record)) ++count;
      if (!reader->error().empty()) {
        return fail(Utf8ToWide(reader->error()) + u"\nThe store was not changed.");
      }
    }
    std::unique_ptr<MessageReader> reader = OpenMessageReader(job->path, kind);
    MessageRecord record;
    std::u16string error;
    while (reader->Next(record)) {
      ++number;
      job->progress = static_cast<double>(number) / static_cast<double>(count);
      if (!job->Take(record, error)) {
        return fail(RestoreFailureText(*job, number, error));
      }
      if (StopRequested() != 0 && number < count) {
        if (!job->Restorer().Commit(error)) return fail(RecordFailureText(*job, number, error));
        end.Report(RunOutcome::kInterrupted, InterruptedRestoreText(number, count), MB_ICONWARNING);
        return 1;
      }
    }
    if (!reader->error().empty()) {  // the file changed since it was checked
      std::u16string ignored;
      job->Restorer().Commit(ignored);
      return fail(Utf8ToWide(reader->error()));
    }
    if (!job->Restorer().Commit(error)) return fail(RecordFailureText(*job, number, error));
    // The call entries the reader passed over; the multimedia Take counted.
    const LeftOut byReader = LeftOutByReader(reader->counts());
    job->leftOutOfStore += byReader;
  } catch (const CFileException& fileError) {
    return fail(FileErrorText(fileError));
  } catch (const std::exception& failure) {
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
  std::u16string error;
  job->progress = 0.0;
  job->finished = 0;
  RunEnd end(job->outcome, job->finished);
  std::unique_ptr<CFile> file;
  uint32_t record = 0;
  try {
    job->path = TrimWhiteSpace(job->path);
    if (IsPhoneFile(job->path)) return RestorePhoneFile(job, end);
    file = std::make_unique<CFile>(job->path, CFile::modeRead | CFile::shareDenyNone);

    BackupRecords records(*file);
    if (!records.valid()) {
      file->Abort();
      file.reset();
      end.ReportAfterFinish(RunOutcome::kFailed, LoadString(IDS_FILE_VALIDATION_FAILED),
                            MB_ICONINFORMATION);
      return 1;
    }

    auto failRecord = [&](uint32_t number, const std::u16string& text) {
      end.Report(RunOutcome::kFailed, RecordFailureText(*job, number, text),
                 MB_ICONWARNING);
      file->Abort();
      file.reset();
    };
    const uint32_t count = records.count();
    MessageRecord message;
    while (!records.AtEnd()) {
      record = records.number() + 1;
      job->progress = static_cast<double>(record) / static_cast<double>(count);
      // Everything is read and checked before the store is changed, so a broken record leaves
      // nothing behind.
      if (!records.Next(message, error) || !job->Take(message, error)) {
        end.Report(RunOutcome::kFailed, RestoreFailureText(*job, record, error),
                   MB_ICONWARNING);
        file->Abort();
        file.reset();
        return 1;
      }
      // Asked to stop: the open group is committed, so a rerun goes on where this one ended.
      if (StopRequested() != 0 && record < count) {
        if (!job->Restorer().Commit(error)) {
          failRecord(record, error);
          return 1;
        }
        file->Close();
        file.reset();
        end.Report(RunOutcome::kInterrupted, InterruptedRestoreText(record, count),
                   MB_ICONWARNING);
        return 1;
      }
    }
    if (!job->Restorer().Commit(error)) {
      failRecord(count, error);
      return 1;
    }

    file->Close();
    file.reset();
    ReportRestored(*job, end);
  } catch (const CFileException& fileError) {
    if (file) file->Abort();
    file.reset();
    end.ReportAfterFinish(RunOutcome::kFailed, FileErrorText(fileError), MB_ICONWARNING);
  } catch (const std::exception& failure) {
    if (file) file->Abort();
    file.reset();
    std::u16string text = Utf8ToWide(failure.what());
    if (record > 0) text = RecordErrorText(record, text);
    end.Report(RunOutcome::kFailed, text, MB_ICONWARNING);
  }
  return 1;
}

}  // namespace larkpost
