// The provider's SQLite connection: opening (and laying out) the database file, the cache of
// prepared statements, write transactions, entry identifiers and the fault plan's check.
//
// Schema (user_version 2, application_id kApplicationId):
//   provider(uid)                                   one row: this file's random identity
//   stores(id, display_name)                        display names are UTF-16LE blobs
//   folders(id, store_id, parent_id, display_name, comment, kind)
//       parent_id NULL for a store's top-level folders; kind 1..5 marks the standard folders
//   messages(id, folder_id, delivery_time, props)
//       props: every property as written (props.h); delivery_time repeats the
//       PR_MESSAGE_DELIVERY_TIME value (as a signed 64-bit key) when it is a PT_SYSTIME.
//       Indexes: (folder_id) pages a folder in row-id order and counts it; (folder_id,
//       delivery_time) answers the duplicate test of a restore. The latter is partial (times
//       only), so a new, still empty message costs one index entry fewer to write.
//   recipients(message_id, seq, props)              seq counts from 1 in insertion order
//   attachments(message_id, num, props, content_id) num counts from 0; the data in contents
//   contents(id, digest, size), content_chunks(content_id, seq, bytes)
//       an attachment's data, kept once however many attachments hold the same bytes (by their
//       SHA-256 digest), in chunks of kContentChunk bytes so that no part is ever held whole
// Folders of kind 1..5 are the standard folders, kind 6 the call log beside them. A multimedia
// message lies under its folder's id plus kMultimediaList (see there). Version 1 lacked the
// attachment tables and the call log: opening such a store upgrades it in place.
// Row ids only grow (no deletes but a dedupe's), so creation order is row-id order and tables
// page by keyset.
//
// A new message is out of sight until it is saved: its row lies under the negated id of its
// folder, which no folder has, so no table, count, lookup or OpenEntry finds it while its
// recipients are written; its properties wait in memory. Saving it is one UPDATE that writes the
// properties and moves it into its folder, so it comes into sight whole (and costs no more row
// writes than writing the properties at once would). A crash before leaves either nothing (the
// writes were inside a transaction, as every writer of ours holds one) or a row nobody sees.
//
// Every object of the interface holds a shared_ptr<Database>; whoever touches the connection
// holds mutex() for the whole call (statements and transactions are per connection).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/mapi/mapi.h"
#include "platform/mapi/props.h"

namespace larkpost::mapi {

constexpr int32_t kApplicationId = 0x4C4B504D;  // "LKPM"
constexpr int kSchemaVersion = 2;
constexpr int kFirstSchemaVersion = 1;  // without attachments and call log

// Standard folder kinds as kept in folders.kind, in the order of the store properties.
constexpr int kFolderKindCount = 5;
extern const ULONG kStandardFolderTags[kFolderKindCount];
extern const char16_t* const kStandardFolderNames[kFolderKindCount];
// The call log's kind in folders.kind: a top-level folder beside the standard ones.
constexpr int kCallLogKind = kFolderKindCount + 1;
extern const char16_t kCallLogName[];
// A multimedia message lies in its folder's second list: folder_id is its folder's id plus this
// (a short message's and a call's is the id itself). So the (folder_id) and (folder_id,
// delivery_time) indexes answer for each list on its own, and whoever reads a folder's short
// messages never meets a multimedia one.
constexpr int64_t kMultimediaList = int64_t{1} << 40;
// Whether a message of class `messageClass` (PR_MESSAGE_CLASS as stored) is multimedia.
bool IsMultimediaClass(std::string_view storedClass);

// A prepared statement borrowed from the cache; reset and unbound when it goes out of scope.
class Statement {
 public:
  Statement(sqlite3_stmt* stmt, bool* inUse) : stmt_(stmt), inUse_(inUse) {}
  Statement(Statement&& other) noexcept;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  bool ok() const { return stmt_ != nullptr; }
  // Binding to a statement that failed to prepare does nothing; stepping it then fails.
  void BindInt(int index, int64_t value) {
    if (stmt_ != nullptr) sqlite3_bind_int64(stmt_, index, value);
  }
  void BindNull(int index) {
    if (stmt_ != nullptr) sqlite3_bind_null(stmt_, index);
  }
  // The bytes must stay alive until the statement is stepped.
  void BindBlob(int index, std::string_view bytes) {
    if (stmt_ == nullptr) return;
    sqlite3_bind_blob(stmt_, index, bytes.empty() ? "" : bytes.data(),
                      static_cast<int>(bytes.size()), SQLITE_STATIC);
  }
  int Step() { return sqlite3_step(stmt_); }
  // Steps to the first row: S_OK with the row ready for the Column calls, MAPI_E_NOT_FOUND when
  // there is none, MAPI_E_CALL_FAILED when the statement did not prepare, or the failure.
  HRESULT FirstRow();
  // Runs a statement that returns no rows (INSERT, UPDATE): S_OK, or as FirstRow.
  HRESULT Run();
  int64_t ColumnInt(int column) { return sqlite3_column_int64(stmt_, column); }
  bool ColumnIsNull(int column) { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  std::string ColumnBlob(int column);
  // The same without a copy: valid until the statement is stepped, reset or destroyed.
  std::string_view ColumnBytes(int column);

 private:
  sqlite3_stmt* stmt_;
  bool* inUse_;  // cache slot flag; null for an uncached statement (finalized at the end)
};

class Database {
 public:
  ~Database();
  // Opens the database at `path`. With `create`, a missing file (and its folder) is created with
  // mode 0600 and laid out with its "SMS" store; an empty SQLite file is laid out as well.
  // MAPI_E_LOGON_FAILED when the file is not one of ours (not SQLite, foreign schema, newer
  // version) or cannot be opened.
  // While SetReadOnlyAccess(true) is in force the file is opened for reading only, never
  // created or changed (modes included), and read as one snapshot: as it was at the first read.
  static HRESULT Open(const std::string& path, bool create, std::shared_ptr<Database>* out);

  std::recursive_mutex& mutex() { return mutex_; }
  uint64_t uid() const { return uid_; }
  sqlite3* handle() { return db_; }

  // `sql` must be a string with static lifetime: the cache is keyed by its address.
  Statement Prepare(const char* sql);

  // One write transaction (BEGIN IMMEDIATE ... COMMIT). Result as an HRESULT. Transactions
  // nest: one begun inside another is a savepoint, whose rollback undoes only its own changes
  // and whose commit leaves the decision to the outer one.
  HRESULT Begin();
  HRESULT Commit();
  void Rollback();
  int TransactionDepth() const { return depth_; }

  // New messages (see the top of this file). AddNewMessage records one just inserted out of
  // sight; it is shown by ShowNewMessage, or at the latest when the transaction open at its
  // creation commits (Commit shows it first and fails when it cannot); a rollback of that
  // transaction takes it away with its row. ShowNewMessage answers S_OK for a message that is
  // not new (already shown, or never new), MAPI_E_NOT_FOUND when its row has gone.
  void AddNewMessage(int64_t id, int64_t folderId);
  HRESULT ShowNewMessage(int64_t id);
  // The properties of a new message, written when it is shown; null when it is not new.
  PropList* NewMessageProps(int64_t id);

  // The layout the file has: kSchemaVersion, or kFirstSchemaVersion for an older store read
  // without being upgraded (read-only access), which holds no attachments and no call log.
  int schemaVersion() const { return schemaVersion_; }

  // Adds a store (with or without its standard folders) inside the caller's transaction.
  HRESULT InsertStore(std::u16string_view name, bool withStandardFolders, int64_t* storeId);

 private:
  Database() = default;
  static HRESULT OpenReadOnly(const std::string& path, std::shared_ptr<Database>* out);
  HRESULT Configure(bool layOut);
  HRESULT Upgrade();
  int schemaVersion_ = kSchemaVersion;
  static int WaitWhileBusy(void* unused, int attempts);

  sqlite3* db_ = nullptr;
  uint64_t uid_ = 0;
  int depth_ = 0;  // open transactions, the outermost included
  struct NewMessage {
    int64_t id;
    int64_t folderId;
    int depth;  // the transaction depth at its creation
    PropList props;
  };
  std::vector<NewMessage> newMessages_;
  // Shows the new messages made at transaction depth `depth` or deeper.
  HRESULT ShowNewMessagesFrom(int depth);
  void ForgetNewMessagesFrom(int depth);
  bool readOnly_ = false;
  std::recursive_mutex mutex_;
  struct CachedStatement {
    sqlite3_stmt* stmt = nullptr;
    bool inUse = false;
  };
  std::unordered_map<const char*, CachedStatement> cache_;
};

// Maps a SQLite result code onto the interface's results.
HRESULT ResultFromSqlite(int rc);

// Rolls back unless Commit() was reached.
class WriteTransaction {
 public:
  // Whether the work inside changes the database with a single statement. Inside a transaction
  // already open such work needs no savepoint: SQLite undoes a failing statement by itself.
  enum class Changes { kSeveral, kOne };

  explicit WriteTransaction(Database& db, Changes changes = Changes::kSeveral)
      : db_(db), own_(changes == Changes::kSeveral || db.TransactionDepth() == 0) {
    result_ = own_ ? db_.Begin() : S_OK;
  }
  ~WriteTransaction() {
    if (own_ && result_ == S_OK && !committed_) db_.Rollback();
  }
  HRESULT result() const { return result_; }
  HRESULT Commit() {
    HRESULT hr = own_ ? db_.Commit() : S_OK;
    if (hr == S_OK) committed_ = true;
    return hr;
  }

 private:
  Database& db_;
  const bool own_;  // began a transaction or savepoint of its own
  HRESULT result_;
  bool committed_ = false;
};

// Text as stored: UTF-16LE code units, no terminator.
std::string EncodeText(std::u16string_view text);

// Entry identifiers: "LKPM", the object type (LE32), the database uid (LE64), the row id (LE64).
constexpr ULONG kEntryIdSize = 24;
std::string MakeEntryId(uint64_t uid, ULONG objectType, int64_t rowId);
// MAPI_E_INVALID_PARAMETER when the bytes are not one of our identifiers at all; MAPI_E_NOT_FOUND
// when they name another database.
HRESULT ParseEntryId(ULONG size, const BYTE* bytes, uint64_t uid, ULONG* objectType,
                     int64_t* rowId);

// SQLite virtual-machine steps taken by every statement of the process so far: lets tests see
// that a lookup is an index seek rather than a scan without measuring time.
uint64_t StatementStepsForTesting();

}  // namespace larkpost::mapi
