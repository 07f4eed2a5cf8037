// IMAPIFolder: a folder row; its contents and hierarchy tables, new messages and subfolders.
#include "platform/mapi/objects_internal.h"

namespace larkpost::mapi {

namespace {

// A folder's name and comment as properties, after its entry identifier.
HRESULT FolderProps(Database& db, int64_t folderId, PropList* props) {
  Statement stmt = db.Prepare("SELECT display_name, comment FROM folders WHERE id = ?1");
  stmt.BindInt(1, folderId);
  HRESULT hr = stmt.FirstRow();
  if (hr != S_OK) return hr;
  props->push_back(Prop{PR_ENTRYID, MakeEntryId(db.uid(), MAPI_FOLDER, folderId)});
  props->push_back(Prop{PR_DISPLAY_NAME, stmt.ColumnBlob(0)});
  if (!stmt.ColumnIsNull(1)) props->push_back(Prop{PR_COMMENT, stmt.ColumnBlob(1)});
  return S_OK;
}

class Folder final : public Counted<IMAPIFolder> {
 public:
  Folder(std::shared_ptr<Database> db, int64_t storeId, int64_t id)
      : Counted(std::move(db)), storeId_(storeId), id_(id) {}

  HRESULT GetProps(const SPropTagArray* tags, ULONG, ULONG* count,
                   SPropValue** values) override {
    return AnswerGetProps(*db_, Operation::kFolderGetProps, tags, count, values,
                          [this](PropList* props) -> HRESULT {
                            return FolderProps(*db_, id_, props);
                          });
  }

  HRESULT SetProps(ULONG, const SPropValue*, SPropProblemArray** problems) override {
    if (auto fault = Enter(Operation::kFolderSetProps, problems)) return *fault;
    return MAPI_E_NO_SUPPORT;
  }

  HRESULT SaveChanges(ULONG) override {
    if (auto fault = Enter(Operation::kFolderSaveChanges)) return *fault;
    return S_OK;
  }

  HRESULT GetContentsTable(ULONG flags, IMAPITable** table) override {
    if (auto fault = Enter(Operation::kFolderGetContentsTable, table)) return *fault;
    if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
    const bool multimedia = (flags & CONTENTS_MULTIMEDIA) != 0;
    *table = NewTable(db_, MessagesSource(db_->uid(), id_ + (multimedia ? kMultimediaList : 0)));
    return S_OK;
  }

  HRESULT GetHierarchyTable(ULONG, IMAPITable** table) override {
    if (auto fault = Enter(Operation::kFolderGetHierarchyTable, table)) return *fault;
    if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
    *table = NewTable(db_, FoldersSource(db_->uid(), id_));
    return S_OK;
  }

  HRESULT OpenEntry(ULONG entryIdSize, const BYTE* entryId, const IID*, ULONG,
                    ULONG* objectType, IUnknown** object) override {
    if (auto fault = Enter(Operation::kFolderOpenEntry, objectType, object)) return *fault;
    return OpenObject(db_, storeId_, entryIdSize, entryId, objectType, object);
  }

  HRESULT CreateMessage(const IID*, ULONG, IMessage** message) override {
    if (auto fault = Enter(Operation::kFolderCreateMessage, message)) return *fault;
    if (message == nullptr) return MAPI_E_INVALID_PARAMETER;
    Lock lock(db_->mutex());
    // An explicit write transaction: it waits for another writer instead of failing on a stale
    // read snapshot, as a bare INSERT could.
    WriteTransaction transaction(*db_, WriteTransaction::Changes::kOne);
    if (transaction.result() != S_OK) return transaction.result();
    {
      // Out of sight until saved (database.h).
      Statement insert = db_->Prepare(
          "INSERT INTO messages(folder_id, delivery_time, props) VALUES(-?1, NULL, ?2)");
      insert.BindInt(1, id_);
      insert.BindBlob(2, std::string_view());
      HRESULT hr = insert.Run();
      if (hr != S_OK) return hr;
    }
    int64_t id = sqlite3_last_insert_rowid(db_->handle());
    HRESULT hr = transaction.Commit();
    if (hr != S_OK) return hr;
    db_->AddNewMessage(id, id_);
    *message = NewMessageObject(db_, id);
    return S_OK;
  }

  HRESULT CreateFolder(ULONG folderType, const char16_t* name, const char16_t* comment,
                       const IID*, ULONG flags, IMAPIFolder** folder) override {
    if (auto fault = Enter(Operation::kFolderCreateFolder, folder)) return *fault;
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
      find.BindInt(1, id_);
      find.BindBlob(2, nameBytes);
      HRESULT hr = find.FirstRow();
      if (hr == S_OK) {
        childId = find.ColumnInt(0);
      } else if (hr != MAPI_E_NOT_FOUND) {
        return hr;
      }
    }
    if (childId != 0) {
      if ((flags & OPEN_IF_EXISTS) == 0) return MAPI_E_COLLISION;
    } else {
      Statement insert = db_->Prepare(
          "INSERT INTO folders(store_id, parent_id, display_name, comment, kind)"
          " VALUES(?1, ?2, ?3, ?4, 0)");
      insert.BindInt(1, storeId_);
      insert.BindInt(2, id_);
      insert.BindBlob(3, nameBytes);
      if (comment != nullptr) {
        insert.BindBlob(4, commentBytes);
      } else {
        insert.BindNull(4);
      }
      HRESULT hr = insert.Run();
      if (hr != S_OK) return hr;
      childId = sqlite3_last_insert_rowid(db_->handle());
    }
    HRESULT hr = transaction.Commit();
    if (hr != S_OK) return hr;
    *folder = new Folder(db_, storeId_, childId);
    return S_OK;
  }

  const std::shared_ptr<Database>& database() const { return db_; }
  int64_t id() const { return id_; }

 private:
  int64_t storeId_;
  int64_t id_;
};

}  // namespace

bool FolderRow(IMAPIFolder* folder, std::shared_ptr<Database>* db, int64_t* id) {
  auto* ours = dynamic_cast<Folder*>(folder);
  if (ours == nullptr) return false;
  *db = ours->database();
  *id = ours->id();
  return true;
}

IMAPIFolder* NewFolderObject(std::shared_ptr<Database> db, int64_t storeId, int64_t id) {
  return new Folder(std::move(db), storeId, id);
}

}  // namespace larkpost::mapi
