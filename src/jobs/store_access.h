// Opening the message store for a run, the same for every front end. A run never creates a
// store file: the messaging logon would make a new, empty one, and a mistyped or vanished store
// must not quietly receive a restore or give an empty backup. A store that is missing or cannot
// be opened is told with the system's text, "SMS Account Initialization Failed.", through the
// front end's message box.
//
// The job's session logs on when the job is made: ask StoreReadyForRun() before making it, and
// SessionReady() after.
#pragma once

#include <string>
#include <vector>

#include "platform/file/file_lock.h"

namespace larkpost {

struct SmsSession;

// The message store's file, the files SQLite keeps beside it (-wal, -shm, -journal) and its
// lock (StoreLockPath): the protected files of every output written while a store is open
// (OpenOutputFile).
std::vector<std::string> MessageStoreFiles();

// The lock of the runs that read the store before they decide what to write into it (restore,
// store load, store dedupe), so that each message still ends up in the store once when two of
// them are started at the same time: "<store>.lock" beside the store.
std::string StoreLockPath(const std::string& store);
// Takes that lock for a run on `store`. While another run holds it, the front end is told
// (UserInterface::Status: "Waiting for another run on STORE to end...") and the run waits; false
// when a stop is requested meanwhile (`error` empty) or the lock file cannot be made (`error`).
bool LockStoreForRun(const std::string& store, ExclusiveLock& lock, std::u16string& error);
// The line a run waiting for that lock shows.
std::u16string StoreWaitText(const std::string& store);

// Whether a store file exists at `path` (mapi::DatabasePath() for the store of a run).
bool StoreFileExists(const std::string& path);

// False, after telling the user, when the store file chosen with mapi::SetDatabasePath is
// missing.
bool StoreReadyForRun();

// False, after telling the user, when the session could not be opened.
bool SessionReady(const SmsSession& session);

}  // namespace larkpost
