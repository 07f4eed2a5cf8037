// `store load` on any input: the NDJSON reader checks every line before it adds anything, then
// adds the messages to a scratch store, which is made anew every few hundred inputs so it stays
// small.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>

#include "platform/mapi/provider.h"
#include "store/session.h"
#include "storejson/store_json.h"
#include "scratch_path.h"

namespace {

constexpr int kInputsPerStore = 500;

void FreshStore() {
  static const std::string path = ScratchPath(".db");
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(path + suffix);
  larkpost::mapi::SetDatabasePath(path);
  larkpost::mapi::InitializeDatabase(path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static int inputs = 0;
  if (inputs++ % kInputsPerStore == 0) FreshStore();
  larkpost::SmsSession session(u"SMS");
  if (!session.initialized) return 0;
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::string error;
  uint32_t loaded = 0;
  larkpost::LoadStore(session, in, error, &loaded);
  return 0;
}
