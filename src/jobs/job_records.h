// BackupJob and RestoreJob: the record of one run, the only state the user-interface thread and
// the run's worker share.
//
// The front end constructs a record on the user-interface thread (which logs on to the store
// named "SMS"), tests `session.initialized`, and hands it to StartBackup/StartRestore. While the
// worker runs it writes `progress`, `written` and `finished`; the user-interface thread only
// reads `progress` and `finished` until `finished` is set, and destroys the record afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <memory>

#include "formats/format_table.h"
#include "jobs/outcome.h"
#include "message/selection.h"
#include "platform/file/file_lock.h"
#include "platform/text/text.h"
#include "store/restore.h"
#include "store/session.h"
#include "store/store_sink.h"

namespace larkpost {

struct BackupJob {
  std::u16string path;
  int32_t includeDraft;
  int32_t includeInbox;
  int32_t includeOutbox;
  int32_t includeSent;
  int32_t includeDeleted;
  FileKind format;  // any writable format, told by the path's ending (FileKindForPath)
  SmsSession session{u"SMS"};
  std::atomic<double> progress{0.0};
  std::atomic<int32_t> finished{0};
  int32_t total = 0;                  // messages counted before the run
  std::atomic<uint32_t> written{0};   // records written so far
  std::atomic<RunOutcome> outcome{RunOutcome::kNotRun};  // set by the worker before `finished`
  // Records written with characters the code page lacks (stored as its default character "?").
  std::atomic<uint32_t> replacedMessages{0};
  // Which messages of the included folders are written; those it leaves out are counted.
  Selection selection;
  std::atomic<uint32_t> leftOut{0};
  // Of `written`, the multimedia messages and the calls (the rest are SMS); and what the
  // selection took but the target cannot hold (a backup file's multimedia and calls), which
  // ends the run lossy.
  std::atomic<uint32_t> multimediaWritten{0};
  std::atomic<uint32_t> callsWritten{0};
  std::u16string callLog;  // the call log written beside the file (a ZIP's); empty: none
  LeftOut notHeld;
  // Flush every record to storage (--sync each) rather than in groups of at most 0.2 s of work.
  bool syncEachRecord = false;

  BackupJob(std::u16string path, int32_t includeDraft, int32_t includeInbox, int32_t includeOutbox,
            int32_t includeSent, int32_t includeDeleted)
      : path(std::move(path)),
        includeDraft(includeDraft),
        includeInbox(includeInbox),
        includeOutbox(includeOutbox),
        includeSent(includeSent),
        includeDeleted(includeDeleted),
        format(FileKindForPath(TrimWhiteSpace(this->path))) {}

  // The five folder flags in FolderKind order.
  bool Includes(FolderKind kind) const {
    const int32_t flags[] = {includeDraft, includeInbox, includeOutbox, includeSent,
                             includeDeleted};
    return flags[static_cast<int>(kind)] != 0;
  }

  // Called by the record writers after each record has been written. When more
  // records are written than were counted (messages arrived after counting, or nothing was
  // counted at all) the fraction may pass 1; with nothing counted it is 1, never infinite.
  void RecordWritten() { ShowProgress(written.fetch_add(1) + 1 + leftOut); }
  // Called by the walks for each message the selection leaves out.
  void MessageLeftOut() { ShowProgress(written + leftOut.fetch_add(1) + 1); }

 private:
  void ShowProgress(uint32_t visited) {
    progress = total > 0 ? static_cast<double>(visited) / static_cast<double>(total) : 1.0;
  }
};

struct RestoreJob {
  std::u16string path;
  SmsSession session{u"SMS"};
  std::atomic<double> progress{0.0};
  std::atomic<int32_t> finished{0};
  std::atomic<RunOutcome> outcome{RunOutcome::kNotRun};  // set by the worker before `finished`
  bool dryRun = false;  // count what a restore would do, change nothing
  // Which records of the file are restored; the others are counted as left out.
  Selection selection;
  uint64_t considered = 0;  // records read from the file
  uint64_t leftOut = 0;     // of them, records the selection did not take
  // What the store cannot hold (the call entries a salvaging reader passed over). The run ends
  // lossy when there are any.
  LeftOut leftOutOfStore;
  // The format of the file, told by the run from its name or content before the first record
  // (value-initialised: the table's first row, a backup file).
  FileKind inputKind{};
  // The store's lock (store_access.h), held from before the first record to the run's last
  // commit.
  ExclusiveLock storeLock;

  explicit RestoreJob(std::u16string path, bool dryRun = false)
      : path(std::move(path)), dryRun(dryRun) {}
  ~RestoreJob() { sink.reset(); }  // commits before the session closes

  // The run's store sink (made on first use, with the presence rule of the file's format): it
  // keeps the counts and the open transaction.
  StoreSink& Sink() {
    if (!sink) {
      const FileFormat& format = FormatOf(inputKind);
      sink = std::make_unique<StoreSink>(session, dryRun, format.comparedOn,
                                         format.foundInOwnFolder);
    }
    return *sink;
  }
  RecordRestorer& Restorer() { return Sink().restorer(); }
  // At the run's end, however it ends: commits what is open, then lets the next run take the
  // store (the job itself may outlive its run).
  void ReleaseStore() {
    std::u16string ignored;
    if (sink) sink->restorer().Commit(ignored);
    storeLock.Release();
  }
  RestoreCounts Counts() const { return sink ? sink->restorer().counts() : RestoreCounts{}; }

  // One checked message of the file: restored (unless present) when the selection takes it,
  // else counted as left out.
  // False with the record's error text, as RecordRestorer::Restore.
  bool Take(const MessageRecord& record, std::u16string& error) {
    ++considered;
    if (!selection.Selects(record)) {
      ++leftOut;
      return true;
    }
    return Sink().Put(record, error);
  }

 private:
  std::unique_ptr<StoreSink> sink;
};

}  // namespace larkpost
