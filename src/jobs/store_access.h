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

namespace larkpost {

struct SmsSession;

// The message store's file and the files SQLite keeps beside it (-wal, -shm, -journal): the
// protected files of every output written while a store is open (OpenOutputFile).
std::vector<std::string> MessageStoreFiles();

// Whether a store file exists at `path` (mapi::DatabasePath() for the store of a run).
bool StoreFileExists(const std::string& path);

// False, after telling the user, when the store file chosen with mapi::SetDatabasePath is
// missing.
bool StoreReadyForRun();

// False, after telling the user, when the session could not be opened.
bool SessionReady(const SmsSession& session);

}  // namespace larkpost
