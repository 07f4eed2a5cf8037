#include "store/find_folder.h"

#include "platform/mapi/mapi_ptr.h"

namespace larkpost {

FolderLookup OpenExistingSubfolder(SmsFolder& parent, const std::u16string& name,
                                   std::unique_ptr<SmsFolder>& child) {
  if (!parent.folder) return FolderLookup::kFailed;
  MapiPtr<IMAPITable> table;
  if (parent.folder->GetHierarchyTable(0, table.put()) != S_OK || !table) {
    return FolderLookup::kFailed;
  }
  const ULONG tags[] = {PR_ENTRYID, PR_DISPLAY_NAME};
  const SPropTagArray columns{2, tags};
  if (table->SetColumns(&columns, 0) != S_OK) return FolderLookup::kFailed;

  std::u16string wanted = name;
  SPropValue value{};
  value.ulPropTag = PR_DISPLAY_NAME;
  value.Value.lpszW = wanted.data();
  SRestriction restriction{};
  restriction.rt = RES_PROPERTY;
  restriction.res.resProperty = {RELOP_EQ, PR_DISPLAY_NAME, &value};
  const HRESULT found = table->FindRow(&restriction, BOOKMARK_BEGINNING, 0);
  if (found == MAPI_E_NOT_FOUND) return FolderLookup::kMissing;
  if (found != S_OK) return FolderLookup::kFailed;

  RowSet rows;
  if (table->QueryRows(1, 0, rows.put()) != S_OK || rows.size() != 1) {
    return FolderLookup::kFailed;
  }
  const SRow& row = rows[0];
  const SBinary* entryId = nullptr;
  for (ULONG i = 0; i < row.cValues; ++i) {
    if (row.lpProps[i].ulPropTag == PR_ENTRYID) entryId = &row.lpProps[i].Value.bin;
  }
  if (entryId == nullptr) return FolderLookup::kFailed;

  // Opened for writing: the restore creates its message in the folder it finds.
  ULONG objectType = 0;
  IUnknown* object = nullptr;
  const HRESULT opened = parent.folder->OpenEntry(entryId->cb, entryId->lpb, nullptr,
                                                  MAPI_BEST_ACCESS, &objectType, &object);
  if (opened != S_OK || object == nullptr || objectType != MAPI_FOLDER) {
    if (object != nullptr) object->Release();
    return FolderLookup::kFailed;
  }
  child = std::make_unique<SmsFolder>(parent.session, name, static_cast<IMAPIFolder*>(object),
                                      entryId);
  return FolderLookup::kFound;
}

}  // namespace larkpost
