#include "platform/mapi/database.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>

#include "platform/mapi/database_internal.h"
#include "platform/mapi/provider.h"

namespace larkpost::mapi {

const ULONG kStandardFolderTags[kFolderKindCount] = {
    PR_CE_DRAFTS_ENTRYID, PR_CE_INBOX_ENTRYID, PR_IPM_OUTBOX_ENTRYID, PR_IPM_SENTMAIL_ENTRYID,
    PR_IPM_WASTEBASKET_ENTRYID};
const char16_t* const kStandardFolderNames[kFolderKindCount] = {
    u"Drafts", u"Inbox", u"Outbox", u"Sent Items", u"Deleted Items"};
const char16_t kCallLogName[] = u"Call Log";

namespace {

constexpr const char* kSchema[] = {
    "CREATE TABLE provider(uid INTEGER NOT NULL)",
    "CREATE TABLE stores(id INTEGER PRIMARY KEY, display_name BLOB NOT NULL)",
    "CREATE TABLE folders(id INTEGER PRIMARY KEY, store_id INTEGER NOT NULL,"
    " parent_id INTEGER, display_name BLOB NOT NULL, comment BLOB,"
    " kind INTEGER NOT NULL DEFAULT 0)",
    "CREATE INDEX folders_by_parent ON folders(parent_id)",
    "CREATE INDEX folders_by_name ON folders(parent_id, display_name)",
    "CREATE INDEX folders_by_store ON folders(store_id, kind)",
    "CREATE TABLE messages(id INTEGER PRIMARY KEY, folder_id INTEGER NOT NULL,"
    " delivery_time INTEGER, props BLOB NOT NULL)",
    "CREATE INDEX messages_by_folder ON messages(folder_id)",
    "CREATE INDEX messages_by_delivery_time ON messages(folder_id, delivery_time)"
    " WHERE delivery_time IS NOT NULL",
    "CREATE TABLE recipients(message_id INTEGER NOT NULL, seq INTEGER NOT NULL,"
    " props BLOB NOT NULL, PRIMARY KEY(message_id, seq)) WITHOUT ROWID",
};

// What the second layout adds to the first: attachments and their shared contents. A store of
// the first layout is upgraded by these (and a call log for each store) in one transaction;
// nothing it holds changes.
constexpr const char* kAttachmentSchema[] = {
    "CREATE TABLE attachments(message_id INTEGER NOT NULL, num INTEGER NOT NULL,"
    " props BLOB NOT NULL, content_id INTEGER, PRIMARY KEY(message_id, num)) WITHOUT ROWID",
    "CREATE INDEX attachments_by_content ON attachments(content_id)"
    " WHERE content_id IS NOT NULL",
    "CREATE TABLE contents(id INTEGER PRIMARY KEY, digest BLOB UNIQUE, size INTEGER NOT NULL)",
    "CREATE TABLE content_chunks(id INTEGER PRIMARY KEY, content_id INTEGER NOT NULL,"
    " seq INTEGER NOT NULL, bytes BLOB NOT NULL, UNIQUE(content_id, seq))",
};

std::atomic<bool> readOnlyAccess{false};

// The URI of a store file that nobody can change (a read-only mount without a -wal file): SQLite
// then needs no -shm file, which it could not create there.
std::string ImmutableUri(const std::string& path) {
  std::string uri = "file:";
  for (char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      static const char digits[] = "0123456789abcdef";
      uri += '%';
      uri += digits[static_cast<unsigned char>(c) >> 4];
      uri += digits[c & 15];
    } else {
      uri += c;
    }
  }
  return uri + "?immutable=1";
}

// Executes one statement without results; SQLite's result code.
int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

// Reads one integer through a throwaway statement; SQLite's result code.
int QueryInt(sqlite3* db, const char* sql, int64_t* value) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      *value = sqlite3_column_int64(stmt, 0);
      rc = SQLITE_OK;
    } else if (rc == SQLITE_DONE) {
      rc = SQLITE_NOTFOUND;
    }
  }
  sqlite3_finalize(stmt);
  return rc;
}

uint64_t RandomUid() {
  std::random_device device;
  uint64_t uid = 0;
  while (uid == 0) uid = (static_cast<uint64_t>(device()) << 32) ^ device();
  return uid;
}

}  // namespace

bool IsMultimediaClass(std::string_view storedClass) {
  static const std::string kMultimedia = EncodeText(u"IPM.MMS");
  return storedClass == kMultimedia;
}

Database::~Database() {
  for (auto& [sql, cached] : cache_) sqlite3_finalize(cached.stmt);
  sqlite3_close_v2(db_);
}

Statement Database::Prepare(const char* sql) {
  CachedStatement& cached = cache_[sql];
  if (cached.stmt == nullptr) {
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &cached.stmt, nullptr) !=
        SQLITE_OK) {
      cached.stmt = nullptr;
      return Statement(nullptr, nullptr);
    }
  }
  if (cached.inUse) {
    // The same statement is already being stepped further up the stack: use a private copy.
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK) {
      sqlite3_finalize(stmt);
      return Statement(nullptr, nullptr);
    }
    return Statement(stmt, nullptr);
  }
  cached.inUse = true;
  return Statement(cached.stmt, &cached.inUse);
}

HRESULT Database::Begin() {
  // Inside an open transaction a savepoint stands for the inner one, so an inner failure undoes
  // only its own changes and the outer transaction still decides about the rest.
  Statement begin = Prepare(depth_ == 0 ? "BEGIN IMMEDIATE" : "SAVEPOINT inner");
  if (!begin.ok()) return MAPI_E_CALL_FAILED;
  const HRESULT hr = ResultFromSqlite(begin.Step());
  if (hr == S_OK) ++depth_;
  return hr;
}

void Database::AddNewMessage(int64_t id, int64_t folderId) {
  newMessages_.push_back(NewMessage{id, folderId, depth_, {}});
}

PropList* Database::NewMessageProps(int64_t id) {
  for (NewMessage& message : newMessages_) {
    if (message.id == id) return &message.props;
  }
  return nullptr;
}

HRESULT Database::ShowNewMessage(int64_t id) {
  for (size_t i = 0; i < newMessages_.size(); ++i) {
    if (newMessages_[i].id != id) continue;
    const NewMessage& message = newMessages_[i];
    // The index column follows the delivery time, but only a PT_SYSTIME one.
    const Prop* time = FindProp(message.props, PR_MESSAGE_DELIVERY_TIME);
    const Prop* messageClass = FindProp(message.props, PR_MESSAGE_CLASS);
    const bool multimedia = messageClass != nullptr && IsMultimediaClass(messageClass->bytes);
    const std::string blob = SerializeProps(message.props);
    Statement show = Prepare(
        "UPDATE messages SET folder_id = ?5, props = ?3, delivery_time = ?4"
        " WHERE id = ?2 AND folder_id = -?1");
    show.BindInt(1, message.folderId);
    show.BindInt(5, message.folderId + (multimedia ? kMultimediaList : 0));
    show.BindInt(2, id);
    show.BindBlob(3, blob);
    if (time != nullptr) {
      show.BindInt(4, TimeKey(time->bytes));
    } else {
      show.BindNull(4);
    }
    HRESULT hr = show.Run();
    if (hr != S_OK) return hr;
    newMessages_.erase(newMessages_.begin() + static_cast<ptrdiff_t>(i));
    return sqlite3_changes(db_) == 1 ? S_OK : MAPI_E_NOT_FOUND;
  }
  return S_OK;
}

HRESULT Database::ShowNewMessagesFrom(int depth) {
  for (size_t i = newMessages_.size(); i-- > 0;) {
    if (i >= newMessages_.size() || newMessages_[i].depth < depth) continue;
    const HRESULT hr = ShowNewMessage(newMessages_[i].id);
    if (hr != S_OK) return hr;
  }
  return S_OK;
}

void Database::ForgetNewMessagesFrom(int depth) {
  std::erase_if(newMessages_, [depth](const NewMessage& message) { return message.depth >= depth; });
}

HRESULT Database::Commit() {
  if (depth_ == 0) return MAPI_E_CALL_FAILED;
  // What was made in this transaction comes into sight with it.
  if (const HRESULT hr = ShowNewMessagesFrom(depth_); hr != S_OK) {
    if (depth_ == 1) Rollback();
    return hr;
  }
  if (depth_ > 1) {
    Statement release = Prepare("RELEASE inner");
    if (!release.ok()) return MAPI_E_CALL_FAILED;
    const int rc = release.Step();
    if (rc != SQLITE_DONE) return ResultFromSqlite(rc == SQLITE_ROW ? SQLITE_ERROR : rc);
    --depth_;
    return S_OK;
  }
  Statement commit = Prepare("COMMIT");
  if (!commit.ok()) return MAPI_E_CALL_FAILED;
  int rc = commit.Step();
  depth_ = 0;
  if (rc != SQLITE_DONE) {
    ForgetNewMessagesFrom(1);
    // A failed COMMIT can leave the transaction open; end it so the connection stays usable.
    if (!sqlite3_get_autocommit(db_)) Exec(db_, "ROLLBACK");
    return ResultFromSqlite(rc == SQLITE_ROW ? SQLITE_ERROR : rc);
  }
  return S_OK;
}

void Database::Rollback() {
  ForgetNewMessagesFrom(std::max(depth_, 1));
  if (depth_ > 1) {
    Exec(db_, "ROLLBACK TO inner");
    Exec(db_, "RELEASE inner");
    --depth_;
    return;
  }
  depth_ = 0;
  if (!sqlite3_get_autocommit(db_)) Exec(db_, "ROLLBACK");
}

int Database::WaitWhileBusy(void*, int attempts) {
  constexpr int kAttempts = 120000;  // about two minutes
  if (attempts >= kAttempts) return 0;
  sqlite3_sleep(1);
  return 1;
}

HRESULT Database::InsertStore(std::u16string_view name, bool withStandardFolders,
                              int64_t* storeId) {
  std::string nameBytes = EncodeText(name);
  {
    Statement insert = Prepare("INSERT INTO stores(display_name) VALUES(?1)");
    if (!insert.ok()) return MAPI_E_CALL_FAILED;
    insert.BindBlob(1, nameBytes);
    int rc = insert.Step();
    if (rc != SQLITE_DONE) return ResultFromSqlite(rc);
  }
  *storeId = sqlite3_last_insert_rowid(db_);
  if (!withStandardFolders) return S_OK;
  for (int kind = 1; kind <= kFolderKindCount + 1; ++kind) {
    std::string folderName =
        EncodeText(kind == kCallLogKind ? kCallLogName : kStandardFolderNames[kind - 1]);
    Statement insert = Prepare(
        "INSERT INTO folders(store_id, parent_id, display_name, kind) VALUES(?1, NULL, ?2, ?3)");
    if (!insert.ok()) return MAPI_E_CALL_FAILED;
    insert.BindInt(1, *storeId);
    insert.BindBlob(2, folderName);
    insert.BindInt(3, kind);
    int rc = insert.Step();
    if (rc != SQLITE_DONE) return ResultFromSqlite(rc);
  }
  return S_OK;
}

HRESULT Database::Configure(bool layOut) {
  // Another process writing to the same store (a second restore, a load) holds the write lock
  // for at most a fraction of a second at a time: wait for it, asking again every millisecond so
  // that a gap between its transactions is not missed.
  sqlite3_busy_handler(db_, &Database::WaitWhileBusy, nullptr);
  sqlite3_extended_result_codes(db_, 1);
  // The file must be SQLite and ours, or new: look before writing anything.
  int64_t applicationId = 0;
  int64_t version = 0;
  int64_t tables = 0;
  if (QueryInt(db_, "PRAGMA application_id", &applicationId) != SQLITE_OK ||
      QueryInt(db_, "PRAGMA user_version", &version) != SQLITE_OK ||
      QueryInt(db_, "SELECT count(*) FROM sqlite_schema", &tables) != SQLITE_OK) {
    return MAPI_E_LOGON_FAILED;
  }
  if (applicationId == 0 && tables == 0 && version == 0) {
    if (!layOut) return MAPI_E_LOGON_FAILED;
    // Another process may be laying the file out at the same moment: decide inside the lock.
    if (Exec(db_, "BEGIN IMMEDIATE") != SQLITE_OK) return MAPI_E_LOGON_FAILED;
    bool ok = QueryInt(db_, "SELECT count(*) FROM sqlite_schema", &tables) == SQLITE_OK;
    if (ok && tables == 0) {
      for (const char* sql : kSchema) ok = ok && Exec(db_, sql) == SQLITE_OK;
      for (const char* sql : kAttachmentSchema) ok = ok && Exec(db_, sql) == SQLITE_OK;
      uid_ = RandomUid();
      if (ok) {
        Statement insert = Prepare("INSERT INTO provider(uid) VALUES(?1)");
        insert.BindInt(1, static_cast<int64_t>(uid_));
        ok = insert.ok() && insert.Step() == SQLITE_DONE;
      }
      int64_t storeId = 0;
      ok = ok && InsertStore(u"SMS", true, &storeId) == S_OK;
      std::string pragmas = "PRAGMA application_id = " + std::to_string(kApplicationId) +
                            "; PRAGMA user_version = " + std::to_string(kSchemaVersion);
      ok = ok && Exec(db_, pragmas.c_str()) == SQLITE_OK;
    }
    if (!ok || Exec(db_, "COMMIT") != SQLITE_OK) {
      Exec(db_, "ROLLBACK");
      return MAPI_E_LOGON_FAILED;
    }
    if (QueryInt(db_, "PRAGMA application_id", &applicationId) != SQLITE_OK ||
        QueryInt(db_, "PRAGMA user_version", &version) != SQLITE_OK) {
      return MAPI_E_LOGON_FAILED;
    }
  }
  if (applicationId == kApplicationId && version == kFirstSchemaVersion && !readOnly_) {
    if (Upgrade() != S_OK ||
        QueryInt(db_, "PRAGMA user_version", &version) != SQLITE_OK) {
      return MAPI_E_LOGON_FAILED;
    }
  }
  // A store of the first layout is read as it is: it holds no attachments and no call log.
  const bool readable = version == kSchemaVersion || (readOnly_ && version == kFirstSchemaVersion);
  if (applicationId != kApplicationId || !readable) return MAPI_E_LOGON_FAILED;
  schemaVersion_ = static_cast<int>(version);
  int64_t uid = 0;
  if (QueryInt(db_, "SELECT uid FROM provider", &uid) != SQLITE_OK) return MAPI_E_LOGON_FAILED;
  uid_ = static_cast<uint64_t>(uid);
  // A read-only connection reads the file as its writers left it.
  if (readOnly_) return S_OK;
  // WAL lets a second connection read while one writes; NORMAL syncs at checkpoints only,
  // which keeps committed data safe against a crash of the program.
  if (Exec(db_, "PRAGMA journal_mode = WAL") != SQLITE_OK ||
      Exec(db_, "PRAGMA synchronous = NORMAL") != SQLITE_OK ||
      Exec(db_, "PRAGMA wal_autocheckpoint = 4000") != SQLITE_OK) {
    return MAPI_E_LOGON_FAILED;
  }
  return S_OK;
}

HRESULT Database::Upgrade() {
  if (Exec(db_, "BEGIN IMMEDIATE") != SQLITE_OK) return MAPI_E_LOGON_FAILED;
  // Another process may have upgraded it meanwhile: decide inside the lock.
  int64_t version = 0;
  bool ok = QueryInt(db_, "PRAGMA user_version", &version) == SQLITE_OK;
  if (ok && version == kFirstSchemaVersion) {
    for (const char* sql : kAttachmentSchema) ok = ok && Exec(db_, sql) == SQLITE_OK;
    // Every store with standard folders gets its call log beside them.
    std::string name = EncodeText(kCallLogName);
    Statement insert = Prepare(
        "INSERT INTO folders(store_id, parent_id, display_name, kind)"
        " SELECT DISTINCT store_id, NULL, ?1, ?2 FROM folders"
        " WHERE kind BETWEEN 1 AND 5 AND parent_id IS NULL");
    insert.BindBlob(1, name);
    insert.BindInt(2, kCallLogKind);
    ok = ok && insert.Run() == S_OK;
    const std::string pragma = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
    ok = ok && Exec(db_, pragma.c_str()) == SQLITE_OK;
  }
  if (!ok || Exec(db_, "COMMIT") != SQLITE_OK) {
    Exec(db_, "ROLLBACK");
    return MAPI_E_LOGON_FAILED;
  }
  return S_OK;
}

HRESULT Database::Open(const std::string& path, bool create, std::shared_ptr<Database>* out) {
  out->reset();
  if (path.empty()) return MAPI_E_LOGON_FAILED;
  if (readOnlyAccess.load()) return OpenReadOnly(path, out);
  if (create) {
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash))) {
      return MAPI_E_LOGON_FAILED;
    }
    // Create the file ourselves so it is never readable by others, not even for a moment.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fchmod(fd, 0600);
      close(fd);
    } else if (errno != EEXIST) {
      return MAPI_E_LOGON_FAILED;
    }
  }
  // The store holds private messages: a file that others may read, and the files SQLite keeps
  // beside it, become the owner's alone. SQLite gives new -wal/-shm files the store's mode.
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    const std::string file = path + suffix;
    struct stat info {};
    if (stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 077) != 0) {
      chmod(file.c_str(), info.st_mode & 0700);
    }
  }
  // Every use of a connection holds its Database's mutex, so SQLite's own locking would only
  // take a second lock around each call; nor is its count of allocated memory read anywhere.
  // (Setting that fails harmlessly when SQLite was already started by someone else.)
  static const int unused = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  static_cast<void>(unused);
  std::shared_ptr<Database> db(new Database());
  int rc = sqlite3_open_v2(path.c_str(), &db->db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) return MAPI_E_LOGON_FAILED;
  HRESULT hr = db->Configure(create);
  if (hr != S_OK) return hr;
  *out = std::move(db);
  return S_OK;
}

HRESULT Database::OpenReadOnly(const std::string& path, std::shared_ptr<Database>* out) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return MAPI_E_LOGON_FAILED;
  static const int unused = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  static_cast<void>(unused);
  // With a -wal file SQLite reads through it (and a -shm file it may find read-only); without
  // one, a file on a read-only mount is immutable, and SQLite needs no -shm file to read it.
  const bool immutable =
      OnReadOnlyMount(path) && access((path + "-wal").c_str(), F_OK) != 0;
  const std::string name = immutable ? ImmutableUri(path) : path;
  std::shared_ptr<Database> db(new Database());
  db->readOnly_ = true;
  const int rc = sqlite3_open_v2(name.c_str(), &db->db_,
                                 SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI,
                                 nullptr);
  if (rc != SQLITE_OK) return MAPI_E_LOGON_FAILED;
  HRESULT hr = db->Configure(false);
  if (hr != S_OK) return hr;
  // One read transaction for the connection's life: every read sees the store as it was at the
  // first, so a backup is of one moment, and no statement takes and drops a lock of its own.
  if (Exec(db->db_, "BEGIN") != SQLITE_OK) return MAPI_E_LOGON_FAILED;
  *out = std::move(db);
  return S_OK;
}

void SetReadOnlyAccess(bool readOnly) { readOnlyAccess.store(readOnly); }

HRESULT InitializeDatabase(const std::string& path) {
  std::shared_ptr<Database> db;
  return Database::Open(path, true, &db);
}

HRESULT AddStore(const std::string& path, const std::u16string& displayName,
                 bool withStandardFolders) {
  std::shared_ptr<Database> db;
  HRESULT hr = Database::Open(path, false, &db);
  if (hr != S_OK) return hr;
  std::lock_guard<std::recursive_mutex> lock(db->mutex());
  WriteTransaction transaction(*db);
  if (transaction.result() != S_OK) return transaction.result();
  int64_t storeId = 0;
  hr = db->InsertStore(displayName, withStandardFolders, &storeId);
  if (hr != S_OK) return hr;
  return transaction.Commit();
}

}  // namespace larkpost::mapi
