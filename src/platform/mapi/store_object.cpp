// IMsgStore: a store row, the entry identifiers of its standard folders, and the store
// transactions callers group their writes in.
#include "platform/mapi/objects_internal.h"
#include "platform/mapi/provider.h"

namespace larkpost::mapi {

namespace {

class Store final : public Counted<IMsgStore> {
 public:
  Store(std::shared_ptr<Database> db, int64_t id) : Counted(std::move(db)), id_(id) {}

  HRESULT GetProps(const SPropTagArray* tags, ULONG, ULONG* count,
                   SPropValue** values) override {
    return AnswerGetProps(*db_, Operation::kStoreGetProps, tags, count, values,
                          [this](PropList* props) -> HRESULT {
      props->push_back(Prop{PR_ENTRYID, MakeEntryId(db_->uid(), MAPI_STORE, id_)});
      {
        Statement stmt = db_->Prepare("SELECT display_name FROM stores WHERE id = ?1");
        stmt.BindInt(1, id_);
        HRESULT hr = stmt.FirstRow();
        if (hr != S_OK) return hr;
        props->push_back(Prop{PR_DISPLAY_NAME, stmt.ColumnBlob(0)});
      }
      Statement stmt = db_->Prepare(
          "SELECT id, kind FROM folders WHERE store_id = ?1 AND kind BETWEEN 1 AND 6"
          " AND parent_id IS NULL ORDER BY kind, id");
      if (!stmt.ok()) return MAPI_E_CALL_FAILED;
      stmt.BindInt(1, id_);
      for (;;) {
        int rc = stmt.Step();
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) return ResultFromSqlite(rc);
        const int64_t kind = stmt.ColumnInt(1);
        ULONG tag = kind == kCallLogKind ? PR_CE_CALL_LOG_ENTRYID : kStandardFolderTags[kind - 1];
        if (FindProp(*props, tag) == nullptr) {
          props->push_back(Prop{tag, MakeEntryId(db_->uid(), MAPI_FOLDER, stmt.ColumnInt(0))});
        }
      }
      return S_OK;
    });
  }

  HRESULT SetProps(ULONG, const SPropValue*, SPropProblemArray** problems) override {
    if (auto fault = Enter(Operation::kStoreSetProps, problems)) return *fault;
    return MAPI_E_NO_SUPPORT;
  }

  HRESULT SaveChanges(ULONG) override {
    if (auto fault = Enter(Operation::kStoreSaveChanges)) return *fault;
    return S_OK;
  }

  HRESULT OpenEntry(ULONG entryIdSize, const BYTE* entryId, const IID*, ULONG,
                    ULONG* objectType, IUnknown** object) override {
    if (auto fault = Enter(Operation::kStoreOpenEntry, objectType, object)) return *fault;
    return OpenObject(db_, id_, entryIdSize, entryId, objectType, object);
  }

  Database& database() { return *db_; }

 private:
  int64_t id_;
};

Database* DatabaseOf(IMsgStore* store) {
  auto* ours = dynamic_cast<Store*>(store);
  return ours != nullptr ? &ours->database() : nullptr;
}

}  // namespace

IMsgStore* NewStoreObject(std::shared_ptr<Database> db, int64_t id) {
  return new Store(std::move(db), id);
}

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

}  // namespace larkpost::mapi
