#include "jobs/store_access.h"

#include <unistd.h>

#include "platform/framework/framework.h"
#include "platform/framework/strings.h"
#include "platform/mapi/provider.h"
#include "store/session.h"

namespace larkpost {

std::vector<std::string> MessageStoreFiles() {
  const std::string store = mapi::DatabasePath();
  return {store, store + "-wal", store + "-shm", store + "-journal"};
}

bool StoreFileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool StoreReadyForRun() {
  if (StoreFileExists(mapi::DatabasePath())) return true;
  AfxMessageBox(IDS_ACCOUNT_INIT_FAILED, MB_ICONWARNING);
  return false;
}

bool SessionReady(const SmsSession& session) {
  if (session.initialized) return true;
  AfxMessageBox(IDS_ACCOUNT_INIT_FAILED, MB_ICONWARNING);
  return false;
}

}  // namespace larkpost
