#include "platform/mapi/objects.h"

#include <cstddef>

#include "platform/mapi/provider.h"

namespace larkpost::mapi {

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// Answers GetProps from a property list: the requested tags, or every property without tags.
HRESULT Answer(const PropList& props, const SPropTagArray* tags, ULONG* count,
               SPropValue** values) {
  if (tags == nullptr) {
    std::vector<ULONG> all = TagsOf(props);
    return BuildValues(props, all.data(), static_cast<ULONG>(all.size()), count, values);
  }
  return BuildValues(props, tags->aulPropTag, tags->cValues, count, values);
}

// Common argument checks of GetProps; clears the out-parameters.
HRESULT CheckGetProps(const SPropTagArray* tags, ULONG* count, SPropValue** values) {
  if (count != nullptr) *count = 0;
  if (values != nullptr) *values = nullptr;
  if (count == nullptr || values == nullptr) return MAPI_E_INVALID_PARAMETER;
  if (tags != nullptr && tags->cValues > 0 && tags->aulPropTag == nullptr) {
    return MAPI_E_INVALID_PARAMETER;
  }
  return S_OK;
}

// The shape every object's GetProps shares: the arguments checked, the fault plan asked, the
// object's properties gathered by `gather` under the database lock, the requested ones answered.
template <class Gather>
HRESULT AnswerGetProps(Database& db, const char* operation, const SPropTagArray* tags,
                       ULONG* count, SPropValue** values, Gather gather) {
  HRESULT hr = CheckGetProps(tags, count, values);
  HRESULT fault;
  if (FaultFor(operation, &fault)) return fault;
  if (hr != S_OK) return hr;
  Lock lock(db.mutex());
  PropList props;
  hr = gather(&props);
  if (hr != S_OK) return hr;
  return Answer(props, tags, count, values);
}

// Reads one integer column of the first row of `sql` bound with `id`: S_OK, MAPI_E_NOT_FOUND
// when there is no row, or a failure.
HRESULT LookupInt(Database& db, const char* sql, int64_t id, int64_t* value) {
  Statement stmt = db.Prepare(sql);
  if (!stmt.ok()) return MAPI_E_CALL_FAILED;
  stmt.BindInt(1, id);
  int rc = stmt.Step();
  if (rc == SQLITE_DONE) return MAPI_E_NOT_FOUND;
  if (rc != SQLITE_ROW) return ResultFromSqlite(rc);
  *value = stmt.ColumnInt(0);
  return S_OK;
}

// A folder's name and comment as properties, after its entry identifier.
HRESULT FolderProps(Database& db, int64_t folderId, PropList* props) {
  Statement stmt = db.Prepare("SELECT display_name, comment FROM folders WHERE id = ?1");
  if (!stmt.ok()) return MAPI_E_CALL_FAILED;
  stmt.BindInt(1, folderId);
  int rc = stmt.Step();
  if (rc == SQLITE_DONE) return MAPI_E_NOT_FOUND;
  if (rc != SQLITE_ROW) return ResultFromSqlite(rc);
  props->push_back(Prop{PR_ENTRYID, MakeEntryId(db.uid(), MAPI_FOLDER, folderId)});
  props->push_back(Prop{PR_DISPLAY_NAME, stmt.ColumnBlob(0)});
  if (!stmt.ColumnIsNull(1)) props->push_back(Prop{PR_COMMENT, stmt.ColumnBlob(1)});
  return S_OK;
}

// Converts every value of a caller's list; MAPI_E_INVALID_PARAMETER for a type the provider
// does not keep. PR_ENTRYID is the provider's own: it is left out and listed in `computed`.
HRESULT Encode(ULONG count, const SPropValue* values, PropList* props,
               std::vector<ULONG>* computed) {
  if (count > 0 && values == nullptr) return MAPI_E_INVALID_PARAMETER;
  for (ULONG i = 0; i < count; ++i) {
    std::string bytes;
    if (!EncodeValue(values[i], &bytes)) return MAPI_E_INVALID_PARAMETER;
    if (PROP_ID(values[i].ulPropTag) == PROP_ID(PR_ENTRYID)) {
      if (computed != nullptr) computed->push_back(i);
      continue;
    }
    PutProp(props, values[i].ulPropTag, std::move(bytes));
  }
  return S_OK;
}

class Message final : public Counted<IMessage> {
 public:
  Message(std::shared_ptr<Database> db, int64_t id) : Counted(std::move(db)), id_(id) {}

  HRESULT GetProps(const SPropTagArray* tags, ULONG, ULONG* count,
                   SPropValue** values) override {
    return AnswerGetProps(*db_, "IMessage::GetProps", tags, count, values,
                          [this](PropList* props) -> HRESULT {
      props->push_back(Prop{PR_ENTRYID, MakeEntryId(db_->uid(), MAPI_MESSAGE, id_)});
      PropList stored;
      HRESULT hr = ReadProps(&stored);
      if (hr != S_OK) return hr;
      for (Prop& prop : stored) props->push_back(std::move(prop));
      return S_OK;
    });
  }

  HRESULT SetProps(ULONG count, const SPropValue* values,
                   SPropProblemArray** problems) override {
    if (problems != nullptr) *problems = nullptr;
    HRESULT fault;
    if (FaultFor("IMessage::SetProps", &fault)) return fault;
    PropList changes;
    std::vector<ULONG> computed;
    HRESULT hr = Encode(count, values, &changes, &computed);
    if (hr != S_OK) return hr;
    Lock lock(db_->mutex());
    WriteTransaction transaction(*db_);
    if (transaction.result() != S_OK) return transaction.result();
    PropList props;
    hr = ReadProps(&props);
    if (hr != S_OK) return hr;
    for (Prop& change : changes) PutProp(&props, change.tag, std::move(change.bytes));
    // The index column follows the delivery time, but only a PT_SYSTIME one.
    const Prop* time = FindProp(props, PR_MESSAGE_DELIVERY_TIME);
    std::string blob = SerializeProps(props);
    {
      Statement update =
          db_->Prepare("UPDATE messages SET props = ?1, delivery_time = ?2 WHERE id = ?3");
      if (!update.ok()) return MAPI_E_CALL_FAILED;
      update.BindBlob(1, blob);
      if (time != nullptr) {
        update.BindInt(2, TimeKey(time->bytes));
      } else {
        update.BindNull(2);
      }
      update.BindInt(3, id_);
      int rc = update.Step();
      if (rc != SQLITE_DONE) return ResultFromSqlite(rc);
    }
    hr = transaction.Commit();
    if (hr != S_OK) return hr;
    if (problems != nullptr && !computed.empty()) {
      size_t size = offsetof(SPropProblemArray, aProblem) + computed.size() * sizeof(SPropProblem);
      auto* array = static_cast<SPropProblemArray*>(AllocateBlock(size));
      if (array != nullptr) {
        array->cProblem = static_cast<ULONG>(computed.size());
        for (size_t i = 0; i < computed.size(); ++i) {
          array->aProblem[i] = SPropProblem{computed[i], values[computed[i]].ulPropTag,
                                            MAPI_E_COMPUTED};
        }
        *problems = array;
      }
    }
    return S_OK;
  }

  HRESULT SaveChanges(ULONG) override {
    HRESULT fault;
    if (FaultFor("IMessage::SaveChanges", &fault)) return fault;
    return S_OK;  // every change is already written
  }

  HRESULT GetRecipientTable(ULONG, IMAPITable** table) override {
    if (table != nullptr) *table = nullptr;
    HRESULT fault;
    if (FaultFor("IMessage::GetRecipientTable", &fault)) return fault;
    if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
    Lock lock(db_->mutex());
    int64_t any = 0;
    HRESULT hr = LookupInt(*db_, "SELECT 1 FROM recipients WHERE message_id = ?1 LIMIT 1", id_,
                           &any);
    if (hr == MAPI_E_NOT_FOUND) return MAPI_E_NO_RECIPIENTS;
    if (hr != S_OK) return hr;
    *table = NewTable(db_, RecipientsSource(id_));
    return S_OK;
  }

  HRESULT ModifyRecipients(ULONG flags, const ADRLIST* recipients) override {
    HRESULT fault;
    if (FaultFor("IMessage::ModifyRecipients", &fault)) return fault;
    if (flags != MODRECIP_ADD) return MAPI_E_NO_SUPPORT;
    if (recipients == nullptr) return MAPI_E_INVALID_PARAMETER;
    std::vector<std::string> blobs;
    blobs.reserve(recipients->cEntries);
    for (ULONG i = 0; i < recipients->cEntries; ++i) {
      const ADRENTRY& entry = recipients->aEntries[i];
      PropList props;
      HRESULT hr = Encode(entry.cValues, entry.rgPropVals, &props, nullptr);
      if (hr != S_OK) return hr;
      blobs.push_back(SerializeProps(props));
    }
    Lock lock(db_->mutex());
    WriteTransaction transaction(*db_);
    if (transaction.result() != S_OK) return transaction.result();
    int64_t last = 0;
    HRESULT hr = LookupInt(
        *db_, "SELECT coalesce(max(seq), 0) FROM recipients WHERE message_id = ?1", id_, &last);
    if (hr != S_OK) return hr;
    for (const std::string& blob : blobs) {
      Statement insert =
          db_->Prepare("INSERT INTO recipients(message_id, seq, props) VALUES(?1, ?2, ?3)");
      if (!insert.ok()) return MAPI_E_CALL_FAILED;
      insert.BindInt(1, id_);
      insert.BindInt(2, ++last);
      insert.BindBlob(3, blob);
      int rc = insert.Step();
      if (rc != SQLITE_DONE) return ResultFromSqlite(rc);
    }
    return transaction.Commit();
  }

 private:
  HRESULT ReadProps(PropList* props) {
    Statement stmt = db_->Prepare("SELECT props FROM messages WHERE id = ?1");
    if (!stmt.ok()) return MAPI_E_CALL_FAILED;
    stmt.BindInt(1, id_);
    int rc = stmt.Step();
    if (rc == SQLITE_DONE) return MAPI_E_NOT_FOUND;
    if (rc != SQLITE_ROW) return ResultFromSqlite(rc);
    if (!ParseProps(stmt.ColumnBlob(0), props)) return MAPI_E_CALL_FAILED;
    return S_OK;
  }

  int64_t id_;
};

class Folder final : public Counted<IMAPIFolder> {
 public:
  Folder(std::shared_ptr<Database> db, int64_t storeId, int64_t id)
      : Counted(std::move(db)), storeId_(storeId), id_(id) {}

  HRESULT GetProps(const SPropTagArray* tags, ULONG, ULONG* count,
                   SPropValue** values) override {
    return AnswerGetProps(*db_, "IMAPIFolder::GetProps", tags, count, values,
                          [this](PropList* props) -> HRESULT {
                            return FolderProps(*db_, id_, props);
                          });
  }

  HRESULT SetProps(ULONG, const SPropValue*, SPropProblemArray** problems) override {
    if (problems != nullptr) *problems = nullptr;
    HRESULT fault;
    if (FaultFor("IMAPIFolder::SetProps", &fault)) return fault;
    return MAPI_E_NO_SUPPORT;
  }

  HRESULT SaveChanges(ULONG) override {
    HRESULT fault;
    if (FaultFor("IMAPIFolder::SaveChanges", &fault)) return fault;
    return S_OK;
  }

  HRESULT GetContentsTable(ULONG, IMAPITable** table) override {
    if (table != nullptr) *table = nullptr;
    HRESULT fault;
    if (FaultFor("IMAPIFolder::GetContentsTable", &fault)) return fault;
    if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
    *table = NewTable(db_, MessagesSource(db_->uid(), id_));
    return S_OK;
  }

  HRESULT GetHierarchyTable(ULONG, IMAPITable** table) override {
    if (table != nullptr) *table = nullptr;
    HRESULT fault;
    if (FaultFor("IMAPIFolder::GetHierarchyTable", &fault)) return fault;
    if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
    *table = NewTable(db_, FoldersSource(db_->uid(), id_));
    return S_OK;
  }

  HRESULT OpenEntry(ULONG entryIdSize, const BYTE* entryId, const IID*, ULONG,
                    ULONG* objectType, IUnknown** object) override {
    if (objectType != nullptr) *objectType = 0;
    if (object != nullptr) *object = nullptr;
    HRESULT fault;
    if (FaultFor("IMAPIFolder::OpenEntry", &fault)) return fault;
    return OpenObject(db_, storeId_, entryIdSize, entryId, objectType, object);
  }

  HRESULT CreateMessage(const IID*, ULONG, IMessage** message) override {
    if (message != nullptr) *message = nullptr;
    HRESULT fault;
    if (FaultFor("IMAPIFolder::CreateMessage", &fault)) return fault;
    if (message == nullptr) return MAPI_E_INVALID_PARAMETER;
    Lock lock(db_->mutex());
    // An explicit write transaction: it waits for another writer instead of failing on a stale
    // read snapshot, as a bare INSERT could.
    WriteTransaction transaction(*db_);
    if (transaction.result() != S_OK) return transaction.result();
    int64_t id = 0;
    {
      Statement insert = db_->Prepare(
          "INSERT INTO messages(folder_id, delivery_time, props) VALUES(?1, NULL, ?2)");
      if (!insert.ok()) return MAPI_E_CALL_FAILED;
      insert.BindInt(1, id_);
      insert.BindBlob(2, std::string_view());
      int rc = insert.Step();
      if (rc != SQLITE_DONE) return ResultFromSqlite(rc);
      id = sqlite3_last_insert_rowid(db_->handle());
    }
    HRESULT hr = transaction.Commit();
    if (hr != S_OK) return hr;
    *message = new Message(db_, id);
    return S_OK;
  }

  HRESULT CreateFolder(ULONG folderType, const char16_t* name, const char16_t* comment,
                       const IID*, ULONG flags, IMAPIFolder** folder) override {
    if (folder != nullptr) *folder = nullptr;
    HRESULT fault;
    if (FaultFor("IMAPIFolder::CreateFolder", &fault)) return fault;
    if (folder == nullptr || name == nullptr || name[0] == u'\0') return MAPI_E_INVALID_PARAMETER;
    if (folderType != 0 && folderType != FOLDER_GENERIC) return MAPI_E_NO_SUPPORT;
    std::string nameBytes = EncodeText(name);
    std::string commentBytes = comment != nullptr ? EncodeText(comment) : std::string();
    Lock lock(db_->mutex());
    WriteTransaction transaction(*db_);
    if (transaction.result() != S_OK) return transaction.result();
    int64_t childId = 0;
    {
      Statement find = db_->Prepare(
          "SELECT id FROM folders WHERE parent_id = ?1 AND display_name = ?2 ORDER BY id LIMIT 1");
      if (!find.ok()) return MAPI_E_CALL_FAILED;
      find.BindInt(1, id_);
      find.BindBlob(2, nameBytes);
      int rc = find.Step();
      if (rc == SQLITE_ROW) {
        childId = find.ColumnInt(0);
      } else if (rc != SQLITE_DONE) {
        return ResultFromSqlite(rc);
      }
    }
    if (childId != 0) {
      if ((flags & OPEN_IF_EXISTS) == 0) return MAPI_E_COLLISION;
    } else {
      Statement insert = db_->Prepare(
          "INSERT INTO folders(store_id, parent_id, display_name, comment, kind)"
          " VALUES(?1, ?2, ?3, ?4, 0)");
      if (!insert.ok()) return MAPI_E_CALL_FAILED;
      insert.BindInt(1, storeId_);
      insert.BindInt(2, id_);
      insert.BindBlob(3, nameBytes);
      if (comment != nullptr) {
        insert.BindBlob(4, commentBytes);
      } else {
        insert.BindNull(4);
      }
      int rc = insert.Step();
      if (rc != SQLITE_DONE) return ResultFromSqlite(rc);
      childId = sqlite3_last_insert_rowid(db_->handle());
    }
    HRESULT hr = transaction.Commit();
    if (hr != S_OK) return hr;
    *folder = new Folder(db_, storeId_, childId);
    return S_OK;
  }

 private:
  int64_t storeId_;
  int64_t id_;
};

class Store final : public Counted<IMsgStore> {
 public:
  Store(std::shared_ptr<Database> db, int64_t id) : Counted(std::move(db)), id_(id) {}

  HRESULT GetProps(const SPropTagArray* tags, ULONG, ULONG* count,
                   SPropValue** values) override {
    return AnswerGetProps(*db_, "IMsgStore::GetProps", tags, count, values,
                          [this](PropList* props) -> HRESULT {
      props->push_back(Prop{PR_ENTRYID, MakeEntryId(db_->uid(), MAPI_STORE, id_)});
      {
        Statement stmt = db_->Prepare("SELECT display_name FROM stores WHERE id = ?1");
        if (!stmt.ok()) return MAPI_E_CALL_FAILED;
        stmt.BindInt(1, id_);
        int rc = stmt.Step();
        if (rc == SQLITE_DONE) return MAPI_E_NOT_FOUND;
        if (rc != SQLITE_ROW) return ResultFromSqlite(rc);
        props->push_back(Prop{PR_DISPLAY_NAME, stmt.ColumnBlob(0)});
      }
      Statement stmt = db_->Prepare(
          "SELECT id, kind FROM folders WHERE store_id = ?1 AND kind BETWEEN 1 AND 5"
          " AND parent_id IS NULL ORDER BY kind, id");
      if (!stmt.ok()) return MAPI_E_CALL_FAILED;
      stmt.BindInt(1, id_);
      for (;;) {
        int rc = stmt.Step();
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) return ResultFromSqlite(rc);
        ULONG tag = kStandardFolderTags[stmt.ColumnInt(1) - 1];
        if (FindProp(*props, tag) == nullptr) {
          props->push_back(Prop{tag, MakeEntryId(db_->uid(), MAPI_FOLDER, stmt.ColumnInt(0))});
        }
      }
      return S_OK;
    });
  }

  HRESULT SetProps(ULONG, const SPropValue*, SPropProblemArray** problems) override {
    if (problems != nullptr) *problems = nullptr;
    HRESULT fault;
    if (FaultFor("IMsgStore::SetProps", &fault)) return fault;
    return MAPI_E_NO_SUPPORT;
  }

  HRESULT SaveChanges(ULONG) override {
    HRESULT fault;
    if (FaultFor("IMsgStore::SaveChanges", &fault)) return fault;
    return S_OK;
  }

  HRESULT OpenEntry(ULONG entryIdSize, const BYTE* entryId, const IID*, ULONG,
                    ULONG* objectType, IUnknown** object) override {
    if (objectType != nullptr) *objectType = 0;
    if (object != nullptr) *object = nullptr;
    HRESULT fault;
    if (FaultFor("IMsgStore::OpenEntry", &fault)) return fault;
    return OpenObject(db_, id_, entryIdSize, entryId, objectType, object);
  }

  Database& database() { return *db_; }

 private:
  int64_t id_;
};

class Session final : public Counted<IMAPISession> {
 public:
  explicit Session(std::shared_ptr<Database> db) : Counted(std::move(db)) {}

  HRESULT GetMsgStoresTable(ULONG, IMAPITable** table) override {
    if (table != nullptr) *table = nullptr;
    HRESULT fault;
    if (FaultFor("IMAPISession::GetMsgStoresTable", &fault)) return fault;
    if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
    if (loggedOff_) return MAPI_E_CALL_FAILED;
    *table = NewTable(db_, StoresSource(db_->uid()));
    return S_OK;
  }

  HRESULT OpenEntry(ULONG entryIdSize, const BYTE* entryId, const IID*, ULONG,
                    ULONG* objectType, IUnknown** object) override {
    if (objectType != nullptr) *objectType = 0;
    if (object != nullptr) *object = nullptr;
    HRESULT fault;
    if (FaultFor("IMAPISession::OpenEntry", &fault)) return fault;
    if (loggedOff_) return MAPI_E_CALL_FAILED;
    return OpenObject(db_, 0, entryIdSize, entryId, objectType, object);
  }

  HRESULT Logoff(ULONG, ULONG, ULONG) override {
    HRESULT fault;
    if (FaultFor("IMAPISession::Logoff", &fault)) return fault;
    loggedOff_ = true;
    return S_OK;
  }

 private:
  std::atomic<bool> loggedOff_{false};
};

}  // namespace

HRESULT OpenObject(const std::shared_ptr<Database>& db, int64_t storeId, ULONG entryIdSize,
                   const BYTE* entryId, ULONG* objectType, IUnknown** object) {
  if (object == nullptr) return MAPI_E_INVALID_PARAMETER;
  ULONG type = 0;
  int64_t id = 0;
  HRESULT hr = ParseEntryId(entryIdSize, entryId, db->uid(), &type, &id);
  if (hr != S_OK) return hr;
  Lock lock(db->mutex());
  int64_t owner = 0;
  switch (type) {
    case MAPI_STORE:
      hr = LookupInt(*db, "SELECT id FROM stores WHERE id = ?1", id, &owner);
      break;
    case MAPI_FOLDER:
      hr = LookupInt(*db, "SELECT store_id FROM folders WHERE id = ?1", id, &owner);
      break;
    default:
      hr = LookupInt(*db,
                     "SELECT f.store_id FROM messages m JOIN folders f ON f.id = m.folder_id"
                     " WHERE m.id = ?1",
                     id, &owner);
      break;
  }
  if (hr != S_OK) return hr;
  if (storeId != 0 && owner != storeId) return MAPI_E_NOT_FOUND;
  IUnknown* opened = nullptr;
  switch (type) {
    case MAPI_STORE:
      opened = static_cast<IMsgStore*>(new Store(db, id));
      break;
    case MAPI_FOLDER:
      opened = static_cast<IMAPIFolder*>(new Folder(db, owner, id));
      break;
    default:
      opened = static_cast<IMessage*>(new Message(db, id));
      break;
  }
  if (objectType != nullptr) *objectType = type;
  *object = opened;
  return S_OK;
}

namespace {

Database* DatabaseOf(IMsgStore* store) {
  auto* ours = dynamic_cast<Store*>(store);
  return ours != nullptr ? &ours->database() : nullptr;
}

}  // namespace

HRESULT BeginStoreTransaction(IMsgStore* store) {
  Database* db = DatabaseOf(store);
  if (db == nullptr) return MAPI_E_INVALID_PARAMETER;
  Lock lock(db->mutex());
  return db->Begin();
}

HRESULT CommitStoreTransaction(IMsgStore* store) {
  Database* db = DatabaseOf(store);
  if (db == nullptr) return MAPI_E_INVALID_PARAMETER;
  Lock lock(db->mutex());
  return db->Commit();
}

void AbortStoreTransaction(IMsgStore* store) {
  Database* db = DatabaseOf(store);
  if (db == nullptr) return;
  Lock lock(db->mutex());
  db->Rollback();
}

HRESULT NewSession(std::shared_ptr<Database> db, IMAPISession** session) {
  *session = new Session(std::move(db));
  return S_OK;
}

}  // namespace larkpost::mapi

HRESULT MAPILogonEx(ULONG, const char16_t*, const char16_t*, ULONG, IMAPISession** session) {
  if (session != nullptr) *session = nullptr;
  HRESULT fault;
  if (larkpost::mapi::FaultFor("MAPILogonEx", &fault)) return fault;
  if (session == nullptr) return MAPI_E_INVALID_PARAMETER;
  std::shared_ptr<larkpost::mapi::Database> db;
  HRESULT hr = larkpost::mapi::Database::Open(larkpost::mapi::DatabasePath(), true, &db);
  if (hr != S_OK) return hr;
  return larkpost::mapi::NewSession(std::move(db), session);
}
