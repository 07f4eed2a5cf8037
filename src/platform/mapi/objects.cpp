#include "platform/mapi/objects_internal.h"

namespace larkpost::mapi {

HRESULT Answer(const PropList& props, const SPropTagArray* tags, ULONG* count,
               SPropValue** values) {
  if (tags == nullptr) {
    std::vector<ULONG> all = TagsOf(props);
    return BuildValues(props, all.data(), static_cast<ULONG>(all.size()), count, values);
  }
  return BuildValues(props, tags->aulPropTag, tags->cValues, count, values);
}

HRESULT LookupInt(Database& db, const char* sql, int64_t id, int64_t* value) {
  Statement stmt = db.Prepare(sql);
  stmt.BindInt(1, id);
  HRESULT hr = stmt.FirstRow();
  if (hr != S_OK) return hr;
  *value = stmt.ColumnInt(0);
  return S_OK;
}

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

static_assert(kMultimediaList == 1099511627776, "the folder of a message, as OpenObject finds it");

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
                     "SELECT f.store_id FROM messages m"
                     " JOIN folders f ON f.id = m.folder_id % 1099511627776 WHERE m.id = ?1",
                     id, &owner);
      break;
  }
  if (hr != S_OK) return hr;
  if (storeId != 0 && owner != storeId) return MAPI_E_NOT_FOUND;
  IUnknown* opened = nullptr;
  switch (type) {
    case MAPI_STORE:
      opened = NewStoreObject(db, id);
      break;
    case MAPI_FOLDER:
      opened = NewFolderObject(db, owner, id);
      break;
    default:
      opened = NewMessageObject(db, id);
      break;
  }
  if (objectType != nullptr) *objectType = type;
  *object = opened;
  return S_OK;
}

}  // namespace larkpost::mapi
