// IMAPISession and MAPILogonEx: a logon on the database file the provider is set to.
#include <atomic>

#include "platform/mapi/objects_internal.h"
#include "platform/mapi/provider.h"

namespace larkpost::mapi {

namespace {

class Session final : public Counted<IMAPISession> {
 public:
  explicit Session(std::shared_ptr<Database> db) : Counted(std::move(db)) {}

  HRESULT GetMsgStoresTable(ULONG, IMAPITable** table) override {
    if (auto fault = Enter(Operation::kSessionGetMsgStoresTable, table)) return *fault;
    if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
    if (loggedOff_) return MAPI_E_CALL_FAILED;
    *table = NewTable(db_, StoresSource(db_->uid()));
    return S_OK;
  }

  HRESULT OpenEntry(ULONG entryIdSize, const BYTE* entryId, const IID*, ULONG,
                    ULONG* objectType, IUnknown** object) override {
    if (auto fault = Enter(Operation::kSessionOpenEntry, objectType, object)) return *fault;
    if (loggedOff_) return MAPI_E_CALL_FAILED;
    return OpenObject(db_, 0, entryIdSize, entryId, objectType, object);
  }

  HRESULT Logoff(ULONG, ULONG, ULONG) override {
    if (auto fault = Enter(Operation::kSessionLogoff)) return *fault;
    loggedOff_ = true;
    return S_OK;
  }

 private:
  std::atomic<bool> loggedOff_{false};
};

}  // namespace

HRESULT NewSession(std::shared_ptr<Database> db, IMAPISession** session) {
  *session = new Session(std::move(db));
  return S_OK;
}

}  // namespace larkpost::mapi

HRESULT MAPILogonEx(ULONG, const char16_t*, const char16_t*, ULONG, IMAPISession** session) {
  using larkpost::mapi::Operation;
  if (auto fault = larkpost::mapi::Enter(Operation::kLogonEx, session)) return *fault;
  if (session == nullptr) return MAPI_E_INVALID_PARAMETER;
  std::shared_ptr<larkpost::mapi::Database> db;
  HRESULT hr = larkpost::mapi::Database::Open(larkpost::mapi::DatabasePath(), true, &db);
  if (hr != S_OK) return hr;
  return larkpost::mapi::NewSession(std::move(db), session);
}
