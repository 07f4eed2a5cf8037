#include "store/find_folder.h"

#include <vector>

#include "backupfile/address.h"
#include "platform/mapi/mapi_ptr.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

char16_t AsciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

bool NameEquals(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// Frees a row set on every way out.
struct RowSetHolder {
  SRowSet* rows = nullptr;
  ~RowSetHolder() { FreeProws(rows); }
};

// Opens the subfolder of `parent` whose display name is `name`, if there is one. The hierarchy
// table answers the name lookup itself, so nothing is listed or created on the way.
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

  RowSetHolder rows;
  if (table->QueryRows(1, 0, &rows.rows) != S_OK || rows.rows == nullptr ||
      rows.rows->cRows != 1) {
    return FolderLookup::kFailed;
  }
  const SRow& row = rows.rows->aRow[0];
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

// The texts the backup file keeps of a stored message text.
std::u16string ThroughAnsiCodePage(std::u16string_view text) { return AnsiToWide(WideToAnsi(text)); }

}  // namespace

bool FolderKindFromName(std::u16string_view name, FolderKind& kind) {
  for (int i = 0; i < kFolderKindCount; ++i) {
    const auto candidate = static_cast<FolderKind>(i);
    if (NameEquals(name, FolderKindName(candidate))) {
      kind = candidate;
      return true;
    }
  }
  return false;
}

FolderLookup FindFolderPath(SmsSession& session, const std::u16string& path, SmsFolder*& folder,
                            std::unique_ptr<SmsFolder>& owned) {
  folder = nullptr;
  owned.reset();
  const std::vector<std::u16string> pieces = SplitText(path, std::u16string(u"\\"));
  FolderKind kind;
  if (!FolderKindFromName(pieces.front(), kind)) return FolderLookup::kFailed;
  SmsFolder* current = session.StandardFolder(kind);
  if (current == nullptr) return FolderLookup::kFailed;

  std::unique_ptr<SmsFolder> held;  // the current folder when it is not the standard one
  for (size_t i = 1; i < pieces.size(); ++i) {
    std::u16string name = TrimWhiteSpace(pieces[i]);
    if (name.empty()) name = u"NewFolder";
    std::unique_ptr<SmsFolder> child;
    const FolderLookup step = OpenExistingSubfolder(*current, name, child);
    if (step != FolderLookup::kFound) return step;
    held = std::move(child);  // the wrapper of the level above goes away here
    current = held.get();
  }
  owned = std::move(held);
  folder = current;
  return FolderLookup::kFound;
}

bool ContainsRestoredMessage(SmsFolder& folder, const FILETIME& time,
                             const std::u16string& restoredText) {
  // The store's index answers the common cases: the same text, or no message at that time.
  if (folder.ContainsDeliveryTime(time, &restoredText)) return true;
  if (!folder.ContainsDeliveryTime(time)) return false;

  // Messages at that time whose stored text differs: compare what a backup keeps of them.
  MapiPtr<IMAPITable> table;
  if (!folder.folder || folder.folder->GetContentsTable(0, table.put()) != S_OK || !table) {
    return false;
  }
  const ULONG tags[] = {PR_SUBJECT};
  const SPropTagArray columns{1, tags};
  SPropValue when{};
  when.ulPropTag = PR_MESSAGE_DELIVERY_TIME;
  when.Value.ft = time;
  SRestriction restriction{};
  restriction.rt = RES_PROPERTY;
  restriction.res.resProperty = {RELOP_EQ, PR_MESSAGE_DELIVERY_TIME, &when};
  if (table->SetColumns(&columns, 0) != S_OK || table->Restrict(&restriction, 0) != S_OK) {
    return false;
  }
  for (;;) {
    RowSetHolder rows;
    if (table->QueryRows(10, 0, &rows.rows) != S_OK || rows.rows == nullptr ||
        rows.rows->cRows == 0) {
      return false;
    }
    for (ULONG r = 0; r < rows.rows->cRows; ++r) {
      const SRow& row = rows.rows->aRow[r];
      std::u16string_view text;
      for (ULONG i = 0; i < row.cValues; ++i) {
        if (row.lpProps[i].ulPropTag == PR_SUBJECT && row.lpProps[i].Value.lpszW != nullptr) {
          text = row.lpProps[i].Value.lpszW;
        }
      }
      if (ThroughAnsiCodePage(text) == restoredText) return true;
    }
  }
}

}  // namespace larkpost
