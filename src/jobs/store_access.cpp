#include "jobs/store_access.h"

#include <unistd.h>

#include "jobs/outcome.h"
#include "platform/framework/framework.h"
#include "platform/framework/strings.h"
#include "platform/mapi/provider.h"
#include "platform/text/text.h"
#include "store/session.h"

namespace larkpost {

std::vector<std::string> MessageStoreFiles() {
  const std::string store = mapi::DatabasePath();
  return {store, store + "-wal", store + "-shm", store + "-journal", StoreLockPath(store)};
}

std::string StoreLockPath(const std::string& store) { return store + ".lock"; }

bool LockStoreForRun(const std::string& store, ExclusiveLock& lock, std::u16string& error) {
  std::string failure;
  const bool locked = lock.Acquire(
      StoreLockPath(store),
      [&store] { CurrentUserInterface().Status(StoreWaitText(store)); },
      [] { return StopRequested() != 0; }, failure);
  error = PathToWide(failure);  // it names the lock file, whose name is bytes
  return locked;
}

std::u16string StoreWaitText(const std::string& store) {
  return u"Waiting for another run on " + PathToWide(store) + u" to end...";
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
