// store init|list|dump|load: the message store itself, for demos, tests and a look inside.
#include <fstream>
#include <iostream>
#include <unistd.h>

#include <algorithm>

#include "cli/commands.h"
#include "jobs/store_access.h"
#include "cli/printable.h"
#include "cli/terminal_ui.h"
#include "platform/framework/strings.h"
#include "platform/mapi/provider.h"
#include "platform/text/text.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/session.h"
#include "storejson/store_json.h"

namespace larkpost {

namespace {

// The session for a store command; prints the system's text (and a hint for a missing file)
// when it cannot be opened.
bool Opened(SmsSession& session, const std::string& database, CliStreams& io) {
  if (session.initialized) return true;
  io.err << WideToUtf8(LoadString(IDS_ACCOUNT_INIT_FAILED)) << "\n";
  if (!StoreFileExists(database)) HintMissingStore(database, io);
  return false;
}

// The folder tree with message counts, one folder a line, indented by depth (up to a limit, so a
// very deep tree still gives short lines).
// The standard folders as people know them from their phones, in FolderKind order, shown beside
// the names backup files give them.
constexpr const char* kKnownFolderNames[kFolderKindCount] = {"Drafts", "Inbox", "Outbox",
                                                             "Sent Items", "Deleted Items"};

void ListFolder(SmsFolder& root, FolderKind kind, uint64_t& total, CliStreams& io) {
  constexpr size_t kMaxIndent = 32;
  WalkFolderTree(root, [&](SmsFolder& folder, size_t depth) {
    MessageCursor* cursor = folder.Cursor(10);
    const uint32_t count = cursor != nullptr ? cursor->RowCount() : 0;
    total += count;
    std::string name =
        std::string(2 * std::min(depth, kMaxIndent), ' ') +
        PrintableLine(WideToUtf8(folder.displayName));
    const char* known = kKnownFolderNames[static_cast<int>(kind)];
    if (depth == 0 && name != known) name += std::string(" (") + known + ")";
    io.out << name << std::string(name.size() < 30 ? 30 - name.size() : 1, ' ')
           << (cursor != nullptr ? std::to_string(count) : std::string("(unreadable)")) << "\n";
    return true;
  });
}

// The messaging logon creates a missing store file; looking at a store must not.
bool Exists(const std::string& database, CliStreams& io) {
  if (StoreFileExists(database)) return true;
  io.err << WideToUtf8(LoadString(IDS_ACCOUNT_INIT_FAILED)) << "\n";
  HintMissingStore(database, io);
  return false;
}

}  // namespace


void HintMissingStore(const std::string& database, CliStreams& io) {
  io.err << "(no message store at " << database << "; create one with: larkpost --store "
         << database << " store init)\n";
}

int StoreInit(const std::string& database, CliStreams& io) {
  const HRESULT result = mapi::InitializeDatabase(database);
  if (result != S_OK) {
    io.err << "larkpost: cannot create the message store " << database << " (error 0x"
           << std::hex << static_cast<uint32_t>(result) << std::dec << ")\n";
    return kExitFailure;
  }
  io.out << "Message store: " << database << "\n";
  return kExitSuccess;
}

int StoreList(const std::string& database, CliStreams& io) {
  if (!Exists(database, io)) return kExitFailure;
  SmsSession session(u"SMS");
  if (!Opened(session, database, io)) return kExitFailure;
  uint64_t total = 0;
  for (int kind = 0; kind < kFolderKindCount; ++kind) {
    if (SmsFolder* folder = session.StandardFolder(static_cast<FolderKind>(kind))) {
      ListFolder(*folder, static_cast<FolderKind>(kind), total, io);
    } else {
      io.out << WideToUtf8(FolderKindName(static_cast<FolderKind>(kind)))
             << " (missing)\n";
    }
  }
  io.out << total << (total == 1 ? " message\n" : " messages\n");
  return kExitSuccess;
}

int StoreDump(const std::string& database, const std::string& file, CliStreams& io) {
  if (!Exists(database, io)) return kExitFailure;
  SmsSession session(u"SMS");
  if (!Opened(session, database, io)) return kExitFailure;
  std::string error;
  if (file.empty()) {
    if (!DumpStore(session, io.out, error)) {
      io.err << "larkpost: dump: " << PrintableLine(error) << "\n";
      return kExitFailure;
    }
    io.out.flush();
    return kExitSuccess;
  }
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) {
    io.err << "larkpost: dump: cannot write " << file << "\n";
    return kExitFailure;
  }
  if (!DumpStore(session, out, error) || !out.flush()) {
    io.err << "larkpost: dump: " << PrintableLine(error.empty() ? "cannot write " + file : error) << "\n";
    return kExitFailure;
  }
  return kExitSuccess;
}

int StoreLoad(const std::string& database, const std::string& file, CliStreams& io) {
  if (mapi::InitializeDatabase(database) != S_OK) {
    io.err << "larkpost: cannot create the message store " << database << "\n";
    return kExitFailure;
  }
  SmsSession session(u"SMS");
  if (!Opened(session, database, io)) return kExitFailure;
  std::string error;
  uint32_t loaded = 0;
  bool ok;
  if (file.empty()) {
    ok = LoadStore(session, io.in, error, &loaded);
  } else {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      io.err << "larkpost: load: cannot read " << file << "\n";
      return kExitFailure;
    }
    ok = LoadStore(session, in, error, &loaded);
  }
  if (!ok) {
    io.err << "larkpost: load: " << PrintableLine(error) << "\n";
    if (loaded > 0) io.err << loaded << " messages were added before the failure\n";
    return kExitFailure;
  }
  io.out << "Loaded " << loaded << (loaded == 1 ? " message" : " messages") << " into "
         << database << "\n";
  return kExitSuccess;
}

}  // namespace larkpost
