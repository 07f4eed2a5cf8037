#include "store/session.h"

#include "store/folder.h"
#include "store/media_and_calls.h"
#include "store/store_internal.h"

namespace larkpost {

namespace {

constexpr ULONG kKindTags[kFolderKindCount] = {PR_CE_DRAFTS_ENTRYID, PR_CE_INBOX_ENTRYID,
                                               PR_IPM_OUTBOX_ENTRYID, PR_IPM_SENTMAIL_ENTRYID,
                                               PR_IPM_WASTEBASKET_ENTRYID};

}  // namespace

ULONG FolderKindTag(FolderKind kind) { return kKindTags[static_cast<int>(kind)]; }

SmsSession::SmsSession(const std::u16string& storeName) {
  initialized = 1;
  if (!Logon(storeName)) initialized = 0;
}

SmsSession::~SmsSession() { Close(); }

bool SmsSession::Logon(const std::u16string& storeName) {
  if (!session && MAPILogonEx(0, nullptr, nullptr, 0, session.put()) != S_OK) {
    session.reset();
    return false;
  }

  MapiPtr<IMAPITable> table;
  if (session->GetMsgStoresTable(0, table.put()) != S_OK) return false;

  static constexpr ULONG kColumns[] = {PR_ENTRYID, PR_DISPLAY_NAME};
  const SPropTagArray columns{2, kColumns};
  if (table->SetColumns(&columns, 0) != S_OK) return false;

  // The store table is read one row at a time; the first row whose name matches wins.
  ForEachRow(*table, 1, [this, &storeName](const SRow& row) {
    const bool named = row.cValues >= 2 && row.lpProps[1].ulPropTag == PR_DISPLAY_NAME &&
                       EqualsIgnoringAsciiCase(TextOf(row.lpProps[1].Value.lpszW), storeName);
    if (!named || row.lpProps[0].ulPropTag != PR_ENTRYID) return true;
    const SBinary& id = row.lpProps[0].Value.bin;
    ULONG type = 0;
    IUnknown* opened = nullptr;
    if (session->OpenEntry(id.cb, id.lpb, nullptr, MAPI_BEST_ACCESS, &type, &opened) != S_OK) {
      if (opened != nullptr) opened->Release();
    } else {
      store.reset(static_cast<IMsgStore*>(opened));
    }
    return false;
  });
  return static_cast<bool>(store);
}

SmsFolder* SmsSession::StandardFolder(FolderKind kind) {
  const int slot = static_cast<int>(kind);
  if (folders[slot]) return folders[slot].get();
  if (!store) return nullptr;

  const ULONG tag = FolderKindTag(kind);
  const SPropTagArray tags{1, &tag};
  ULONG count = 0;
  MapiBuffer<SPropValue> values;
  const HRESULT hr = store->GetProps(&tags, 0, &count, values.put());
  if (hr != S_OK || !values || count < 1 || values[0].ulPropTag != tag) {
    NoteMissingStandardFolder(kind);
    return nullptr;
  }
  IUnknown* opened = OpenByEntryId(values[0].Value.bin);
  if (opened == nullptr) {
    NoteMissingStandardFolder(kind);
    return nullptr;
  }
  folders[slot] = std::make_unique<SmsFolder>(this, FolderKindName(kind),
                                              static_cast<IMAPIFolder*>(opened), &values[0].Value.bin);
  return folders[slot].get();
}

SmsFolder* SmsSession::CallLog() {
  if (callLog) return callLog.get();
  if (!store) return nullptr;
  const ULONG tag = PR_CE_CALL_LOG_ENTRYID;
  const SPropTagArray tags{1, &tag};
  ULONG count = 0;
  MapiBuffer<SPropValue> values;
  const HRESULT hr = store->GetProps(&tags, 0, &count, values.put());
  if (hr != S_OK || !values || count < 1 || values[0].ulPropTag != tag) return nullptr;
  IUnknown* opened = OpenByEntryId(values[0].Value.bin);
  if (opened == nullptr) return nullptr;
  callLog = std::make_unique<SmsFolder>(this, kCallLogFolderName, static_cast<IMAPIFolder*>(opened),
                                        &values[0].Value.bin);
  return callLog.get();
}

void SmsSession::NoteMissingStandardFolder(FolderKind kind) {
  const int slot = static_cast<int>(kind);
  if (missingNoted[slot]) return;
  missingNoted[slot] = true;
  ++unreadableFolders;
}

IUnknown* SmsSession::OpenByEntryId(const EntryId& id) {
  const SBinary value{id.size(), const_cast<BYTE*>(id.data())};
  return OpenByEntryId(value);
}

IUnknown* SmsSession::OpenByEntryId(const SBinary& id) {
  if (!store) return nullptr;
  ULONG type = 0;
  IUnknown* opened = nullptr;
  if (store->OpenEntry(id.cb, id.lpb, nullptr, 0, &type, &opened) != S_OK) {
    if (opened != nullptr) opened->Release();
    return nullptr;
  }
  return opened;
}

void SmsSession::Close() {
  // Everything that came from the store goes before the store, the store before the logoff.
  for (auto& folder : folders) folder.reset();
  callLog.reset();
  store.reset();
  if (session) {
    session->Logoff(0, 0, 0);
    session.reset();
  }
}

}  // namespace larkpost
