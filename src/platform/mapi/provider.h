// The message-store provider behind the messaging interface: which SQLite database file
// MAPILogonEx opens, how a new file is laid out, and the fault plan through which tests make any
// call of the interface fail.
//
// A database file holds one or more stores; a new file gets one store named "SMS" with the five
// standard folders Drafts, Inbox, Outbox, Sent Items and Deleted Items, located by the store
// properties PR_CE_DRAFTS_ENTRYID, PR_CE_INBOX_ENTRYID, PR_IPM_OUTBOX_ENTRYID,
// PR_IPM_SENTMAIL_ENTRYID and PR_IPM_WASTEBASKET_ENTRYID. Files are created with mode 0600.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/mapi/mapi.h"

namespace larkpost::mapi {

// The file MAPILogonEx opens from now on (process-wide). Until set: DefaultDatabasePath().
void SetDatabasePath(const std::string& path);
std::string DatabasePath();
// $XDG_DATA_HOME/larkpost/messages.db, else ~/.local/share/larkpost/messages.db.
std::string DefaultDatabasePath();

// Whether MAPILogonEx opens the store for reading only from now on (process-wide; default no).
// The commands that only read a store set it, so they work on a read-only file and on a
// read-only mount, with or without a WAL file beside the store; every write to a store opened so
// fails. Such a logon never creates a missing store.
void SetReadOnlyAccess(bool readOnly);
// Whether the existing store file at `path` refuses writes: the file, its folder (where SQLite
// keeps its -wal and -shm files) or the file system holding it is read-only for this process.
bool DatabaseIsReadOnly(const std::string& path);

// Creates the file (and its folder) with its "SMS" store when it does not exist; an existing
// database is left as it is. S_OK, or MAPI_E_LOGON_FAILED when the file cannot be made or is not
// a database of this provider (not SQLite, another program's tables, a newer layout).
HRESULT InitializeDatabase(const std::string& path);

// Adds one more store to an existing database (MAPI_E_LOGON_FAILED when there is none), with or
// without the five standard folders and the store properties that locate them. For tests of
// store lookup.
HRESULT AddStore(const std::string& path, const std::u16string& displayName,
                 bool withStandardFolders);

// Store transactions: every change made through the objects of `store`'s logon between Begin and
// Commit becomes visible, and durable, at once at Commit, or not at all (Abort, or the process
// ends first). Reads in between see the changes already made, and no other process can write in
// between, so a check and the insert it decides on are one step. Begin inside an open store
// transaction nests (as a savepoint: Abort then undoes only what came after that Begin). A
// second process that wants to write waits until the transaction ends. A new message made in
// the transaction and not saved yet comes into sight at its Commit (IMAPIProp::SaveChanges);
// when it cannot, Commit fails (and a failed outermost Commit has rolled everything back).
HRESULT BeginStoreTransaction(IMsgStore* store);
HRESULT CommitStoreTransaction(IMsgStore* store);
void AbortStoreTransaction(IMsgStore* store);

// The messages of `folder` (one of this provider's) whose PR_MESSAGE_DELIVERY_TIME is `time`,
// each with its recipients, read in one statement through the store's (folder, delivery time)
// index without opening any object: for a restore, which compares each record with every message
// its folder holds at the record's time. Time zero also takes the messages without a delivery
// time. `visit` gets each message's position (MessagePosition), the message as a contents-table
// row with `columns` and its recipients as the rows of its recipient table (every property each
// has), in insertion order, and answers false to stop; the rows are freed after it returns.
// `*position` is where to go on: 0 the first time, then what the call left there, so a second
// call visits only messages added since. S_OK, or a failure of the store (then nothing more is
// visited).
using MessageVisit =
    std::function<bool(int64_t position, const SRow& message, const SRowSet& recipients)>;
HRESULT ReadMessagesAt(IMAPIFolder* folder, const FILETIME& time, const SPropTagArray* columns,
                       int64_t* position, const MessageVisit& visit);

// The messages of `folder` from delivery time `from` on, in the order of their times (messages of
// one time in insertion order), handed to `visit` as ReadMessagesAt does: at least `atLeast` of
// them, fewer only when the folder has no more, and then the rest of the last time visited, so
// that every time visited is visited whole. `*next` becomes the time of the first message left
// out, or zero when none was left: the call covered every time from `from` up to `*next`. `from`
// must lie after zero and before 2^63 (the year 30828), where times order as the store keeps
// them; MAPI_E_INVALID_PARAMETER otherwise. When `visit` stops the walk, `*next` means nothing.
// For a restore that walks a folder in time order: one statement answers for many records.
HRESULT ReadMessagesFrom(IMAPIFolder* folder, const FILETIME& from, size_t atLeast,
                         const SPropTagArray* columns, FILETIME* next,
                         const MessageVisit& visit);

// A message's position in its store: a positive number that no other message of the store has,
// and that grows with each message created (no committed message's position is ever reused). For one of this provider's messages;
// MAPI_E_INVALID_PARAMETER otherwise.
HRESULT MessagePosition(IMessage* message, int64_t* position);

// Removes the message at `position` (MessagePosition) of `folder` (a short message, a call or a
// multimedia message), with its recipients and attachments (and the contents no other attachment
// holds), inside the caller's store transaction if one is open: for removing duplicates, the one
// removal the program makes. MAPI_E_NOT_FOUND when the folder holds no message there.
HRESULT DeleteMessageAt(IMAPIFolder* folder, int64_t position);

// Fault plan. Operations are named "Interface::Method" as in mapi.h ("IMAPITable::QueryRows",
// "IMAPIFolder::CreateFolder", "IMsgStore::GetProps", ...) or by function name ("MAPILogonEx",
// "MAPIAllocateBuffer"). The n-th call of the operation (1-based, counted from when the fault was
// added) and the `times - 1` calls after it answer `result` without doing anything: out-pointers
// are set to null, nothing is read or written. The interface of a method is the object's own:
// GetProps is "IMsgStore::GetProps", "IMAPIFolder::GetProps" or "IMessage::GetProps"; every
// method except AddRef and Release is counted. MAPIAllocateBuffer and MAPIAllocateMore count only
// the caller's own calls: the buffers the provider hands out (GetProps values, row sets, problem
// arrays) are neither counted nor failed by the plan. Safe to use from any thread. A name the
// interface does not have throws std::invalid_argument (here and in CallCount), so a misspelt
// operation fails the test that names it instead of arming a fault that never fires.
void AddFault(const std::string& operation, int nthCall, HRESULT result, int times = 1);
void ClearFaults();
// How often each operation was called since the last ClearFaults(), for tests of call counts.
int CallCount(const std::string& operation);

}  // namespace larkpost::mapi
