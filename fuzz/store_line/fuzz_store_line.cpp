// How `store load` maps NDJSON lines onto messages, on any input: what it loads, `store dump`
// writes out, and loading that dump into a new store gives the same dump again. So a loaded
// line never becomes a message that dump and load cannot carry (a NUL that cuts a text, a
// folder too deep, a number that wraps). Each input gets two fresh scratch stores.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "platform/mapi/provider.h"
#include "store/session.h"
#include "storejson/store_json.h"
#include "scratch_path.h"

namespace {

// Loads `input` into a fresh store at `path`; its dump in `dump`. False when nothing loaded.
bool LoadAndDump(const std::string& path, const std::string& input, std::string& dump) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(path + suffix);
  larkpost::mapi::SetDatabasePath(path);
  larkpost::mapi::InitializeDatabase(path);
  larkpost::SmsSession session(u"SMS");
  if (!session.initialized) abort();
  std::istringstream in(input);
  std::string error;
  uint32_t loaded = 0;
  if (!larkpost::LoadStore(session, in, error, &loaded) || loaded == 0) return false;
  std::ostringstream out;
  if (!larkpost::DumpStore(session, out, error)) {
    fprintf(stderr, "dump failed: %s\n", error.c_str());
    abort();
  }
  dump = out.str();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string first = ScratchPath(".first.db");
  static const std::string second = ScratchPath(".second.db");
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::string dump, again;
  if (!LoadAndDump(first, input, dump)) return 0;
  if (!LoadAndDump(second, dump, again)) {
    fprintf(stderr, "the dump of what was loaded does not load:\n%s\n", dump.c_str());
    abort();
  }
  if (again != dump) {
    fprintf(stderr, "dump, load, dump changes the messages:\n%s\n---\n%s\n", dump.c_str(),
            again.c_str());
    abort();
  }
  return 0;
}
