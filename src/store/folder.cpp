#include "store/folder.h"

#include <vector>

#include "message/folder_path.h"
#include "platform/text/text.h"
#include "store/cursor.h"
#include "store/message.h"
#include "store/session.h"
#include "store/store_internal.h"

namespace larkpost {

namespace {

// An equality restriction over one or more columns: a single column is a plain property
// restriction, several are joined with RES_AND. The duplicate test builds its question here, so
// comparing one more column is one more Add().
class EqualityRestriction {
 public:
  void Add(const SPropValue& value) { values_.push_back(value); }

  const SRestriction* Get() {
    parts_.resize(values_.size());
    for (size_t i = 0; i < values_.size(); ++i) {
      parts_[i].rt = RES_PROPERTY;
      parts_[i].res.resProperty = {RELOP_EQ, values_[i].ulPropTag, &values_[i]};
    }
    if (parts_.size() == 1) return &parts_[0];
    all_.rt = RES_AND;
    all_.res.resAnd = {static_cast<ULONG>(parts_.size()), parts_.data()};
    return &all_;
  }

 private:
  std::vector<SPropValue> values_;
  std::vector<SRestriction> parts_;
  SRestriction all_{};
};

}  // namespace

void NoteUnreadableFolder(SmsFolder& folder) {
  if (folder.unreadableNoted || folder.session == nullptr) return;
  folder.unreadableNoted = true;
  ++folder.session->unreadableFolders;
}

SmsFolder::SmsFolder(SmsSession* session, std::u16string displayName, IMAPIFolder* openFolder,
                     const SBinary* id)
    : session(session), folder(openFolder), displayName(std::move(displayName)) {
  if (id != nullptr) {
    entryId = EntryId::FromBinary(*id);
    return;
  }
  if (!folder) return;
  static constexpr ULONG kTag = PR_ENTRYID;
  const SPropTagArray tags{1, &kTag};
  ULONG count = 0;
  MapiBuffer<SPropValue> values;
  if (folder->GetProps(&tags, MAPI_UNICODE, &count, values.put()) == S_OK && values &&
      count >= 1 && values[0].ulPropTag == PR_ENTRYID) {
    entryId = EntryId::FromBinary(values[0].Value.bin);
  }
}

SmsFolder::~SmsFolder() {
  deliveryTimeTable.reset();
  folder.reset();
  cursor.reset();
  // A listed tree can be as deep as the store's folders are: its wrappers are taken apart one
  // level at a time here, never by a chain of destructors as deep as the tree.
  std::vector<std::unique_ptr<SmsFolder>> pending;
  if (subfolders) {
    for (auto& child : *subfolders) pending.push_back(std::move(child));
    subfolders.reset();
  }
  while (!pending.empty()) {
    std::unique_ptr<SmsFolder> next = std::move(pending.back());
    pending.pop_back();
    if (next->subfolders) {
      for (auto& child : *next->subfolders) pending.push_back(std::move(child));
      next->subfolders.reset();
    }
  }
}

MessageCursor* SmsFolder::Cursor(int batchSize) {
  if (cursor) return cursor.get();
  if (!folder) {
    NoteUnreadableFolder(*this);
    return nullptr;
  }
  MapiPtr<IMAPITable> table;
  static constexpr ULONG kColumn = PR_ENTRYID;
  const SPropTagArray columns{1, &kColumn};
  if (folder->GetContentsTable(0, table.put()) != S_OK || !table ||
      table->SetColumns(&columns, 0) != S_OK) {
    NoteUnreadableFolder(*this);
    return nullptr;
  }
  cursor = std::make_unique<MessageCursor>(table.release(), this, batchSize);
  return cursor.get();
}

std::vector<std::unique_ptr<SmsFolder>>* SmsFolder::Subfolders() {
  if (subfolders) return subfolders.get();
  if (!folder) {
    NoteUnreadableFolder(*this);
    return nullptr;
  }
  MapiPtr<IMAPITable> table;
  static constexpr ULONG kColumns[] = {PR_ENTRYID, PR_DISPLAY_NAME};
  const SPropTagArray columns{2, kColumns};
  if (folder->GetHierarchyTable(0, table.put()) != S_OK || !table ||
      table->SetColumns(&columns, 0) != S_OK) {
    NoteUnreadableFolder(*this);
    return nullptr;
  }

  auto list = std::make_unique<std::vector<std::unique_ptr<SmsFolder>>>();
  const HRESULT hr = ForEachRow(*table, 1, [this, &list](const SRow& row) {
    const SPropValue* id = nullptr;
    std::u16string name;
    for (ULONG i = 0; i < row.cValues; ++i) {
      if (row.lpProps[i].ulPropTag == PR_ENTRYID) id = &row.lpProps[i];
      if (row.lpProps[i].ulPropTag == PR_DISPLAY_NAME) name = TextOf(row.lpProps[i].Value.lpszW);
    }
    // A child that cannot be opened stays in the list without an open folder, so that it is
    // counted as unreadable once and never used.
    IUnknown* child = id != nullptr ? session->OpenByEntryId(id->Value.bin) : nullptr;
    static const SBinary kNoId{0, nullptr};
    auto wrapper = std::make_unique<SmsFolder>(session, std::move(name),
                                               static_cast<IMAPIFolder*>(child),
                                               id != nullptr ? &id->Value.bin : &kNoId);
    wrapper->parent = this;
    list->push_back(std::move(wrapper));
    return true;
  });
  if (hr < 0) {
    // A list cut short would silently leave out the folders after the failing row; without a
    // list the caller knows this folder's subfolders are unknown, and the next call asks again.
    NoteUnreadableFolder(*this);
    return nullptr;
  }
  for (auto& child : *list) {
    if (!child->folder) NoteUnreadableFolder(*child);
  }
  subfolders = std::move(list);
  return subfolders.get();
}

std::unique_ptr<SmsFolder> SmsFolder::CreateSubfolder(const std::u16string& name,
                                                      HRESULT* failure) {
  if (failure != nullptr) *failure = MAPI_E_CALL_FAILED;
  if (!folder) return nullptr;
  std::u16string trimmed = SubfolderName(name);
  IMAPIFolder* created = nullptr;
  const HRESULT hr = folder->CreateFolder(0, trimmed.c_str(), nullptr, nullptr,
                                          MAPI_UNICODE | OPEN_IF_EXISTS, &created);
  if (hr != S_OK) {
    if (created != nullptr) created->Release();
    if (failure != nullptr) *failure = hr;
    return nullptr;
  }
  if (created == nullptr) return nullptr;
  return std::make_unique<SmsFolder>(session, std::move(trimmed), created);
}

bool SmsFolder::ContainsDeliveryTime(const FILETIME& time, const std::u16string* text) {
  if (time.dwLowDateTime == 0 && time.dwHighDateTime == 0) return false;
  if (!folder) return false;
  if (!deliveryTimeTable) {
    MapiPtr<IMAPITable> table;
    static constexpr ULONG kColumn = PR_MESSAGE_DELIVERY_TIME;
    const SPropTagArray columns{1, &kColumn};
    if (folder->GetContentsTable(0, table.put()) != S_OK || !table ||
        table->SetColumns(&columns, 0) != S_OK) {
      return false;
    }
    deliveryTimeTable = std::move(table);
  }

  // The restriction names PT_SYSTIME values only and is answered from the store's index, so the
  // test costs the same however full the folder is.
  EqualityRestriction restriction;
  SPropValue when{};
  when.ulPropTag = PR_MESSAGE_DELIVERY_TIME;
  when.Value.ft = time;
  restriction.Add(when);
  if (text != nullptr) {
    SPropValue subject{};
    subject.ulPropTag = PR_SUBJECT;
    subject.Value.lpszW = const_cast<char16_t*>(text->c_str());
    restriction.Add(subject);
  }
  return deliveryTimeTable->FindRow(restriction.Get(), BOOKMARK_BEGINNING, 0) == S_OK;
}

std::unique_ptr<SmsMessage> SmsFolder::CreateMessage(HRESULT* failure) {
  if (failure != nullptr) *failure = MAPI_E_CALL_FAILED;
  if (!folder) return nullptr;
  IMessage* created = nullptr;
  if (const HRESULT hr = folder->CreateMessage(nullptr, 0, &created); hr != S_OK) {
    if (created != nullptr) created->Release();
    if (failure != nullptr) *failure = hr;
    return nullptr;
  }
  if (created == nullptr) return nullptr;
  return std::make_unique<SmsMessage>(this, created);
}

SmsFolder* ResolveFolderPath(SmsSession& session, const std::u16string& path, bool& isStandard,
                             std::unique_ptr<SmsFolder>& owned) {
  isStandard = false;
  owned.reset();
  FolderPath parsed;
  if (ParseFolderPath(path, parsed) != FolderPathResult::kOk) return nullptr;
  SmsFolder* standard = session.StandardFolder(parsed.kind);
  if (standard == nullptr) return nullptr;
  if (parsed.subfolders.empty()) {
    isStandard = true;
    return standard;
  }

  // Only the deepest wrapper survives: each intermediate one goes as soon as its child is open.
  SmsFolder* current = standard;
  std::unique_ptr<SmsFolder> held;
  for (const std::u16string& name : parsed.subfolders) {
    std::unique_ptr<SmsFolder> next = current->CreateSubfolder(name);
    if (!next) return nullptr;
    held = std::move(next);
    current = held.get();
  }
  owned = std::move(held);
  return owned.get();
}

}  // namespace larkpost
