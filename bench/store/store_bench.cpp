// Store benchmark. The database (100,000 messages: 50,000 in the Inbox, 50,000 spread over
// 1,000 subfolders of the Inbox, each message with text, times, sender, size and one recipient)
// is built once through LoadStore and kept in a temporary file; set LARKPOST_BENCH_STORE to reuse
// a file across runs.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>

#include "platform/mapi/provider.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/session.h"
#include "storejson/store_json.h"

namespace larkpost {
namespace {

constexpr int kMessages = 100000;
constexpr int kSubfolders = 1000;
constexpr uint64_t kBaseTime = 133500000000000000ULL;  // spring 2024
constexpr uint64_t kSecond = 10000000;

// Message i lives in the Inbox for even i, otherwise in subfolder "Box <i/2 % 1000>".
int SubfolderOf(int i) { return i % 2 == 0 ? -1 : (i / 2) % kSubfolders; }
uint64_t TimeOf(int i) { return kBaseTime + static_cast<uint64_t>(i) * kSecond; }
std::string TextOf(int i) { return "Message number " + std::to_string(i) + ", see you at 8"; }

std::string g_path;

void BuildStore() {
  const char* chosen = std::getenv("LARKPOST_BENCH_STORE");
  g_path = chosen != nullptr ? chosen
                             : (std::filesystem::temp_directory_path() /
                                ("larkpost-store-bench-" + std::to_string(getpid()) + ".db"))
                                   .string();
  mapi::SetDatabasePath(g_path);
  if (std::filesystem::exists(g_path)) return;
  std::ostringstream lines;
  for (int i = 0; i < kMessages; ++i) {
    const int sub = SubfolderOf(i);
    lines << R"({"folder":["Inbox")";
    if (sub >= 0) lines << R"(,"Box )" << sub << '"';
    lines << R"(],"flags":1,"subject":")" << TextOf(i) << R"(","lastModified":)" << TimeOf(i)
          << R"(,"deliveryTime":)" << TimeOf(i)
          << R"(,"messageClass":"IPM.SMStext","senderEmailAddress":"\"Ann Lee\" <+49151)" << i
          << R"(>","size":30,"recipients":[{"name":"Bo","address":"+4930)" << i
          << R"(","type":1}]})" << '\n';
  }
  SmsSession session(u"SMS");
  std::istringstream in(lines.str());
  std::string error;
  uint32_t loaded = 0;
  if (session.initialized == 0 || !LoadStore(session, in, error, &loaded) ||
      loaded != kMessages) {
    std::fprintf(stderr, "cannot build the benchmark store: %s\n", error.c_str());
    std::exit(1);
  }
}

void BM_CountMessages(benchmark::State& state) {
  for (auto _ : state) {
    SmsSession session(u"SMS");
    uint32_t total = 0;
    for (int k = 0; k < kFolderKindCount; ++k) {
      if (SmsFolder* folder = session.StandardFolder(static_cast<FolderKind>(k))) {
        total += CountMessages(*folder);
      }
    }
    if (total != kMessages) state.SkipWithError("wrong count");
  }
}
BENCHMARK(BM_CountMessages)->Unit(benchmark::kMillisecond);

// Every message with its properties and recipients, depth first, as a backup reads them.
void BM_WalkMessages(benchmark::State& state) {
  for (auto _ : state) {
    SmsSession session(u"SMS");
    int messages = 0, recipients = 0;
    std::function<void(SmsFolder&)> walk = [&](SmsFolder& folder) {
      if (MessageCursor* cursor = folder.Cursor(10); cursor != nullptr && cursor->Rewind()) {
        while (cursor->Next()) {
          ++messages;
          if (RecipientList* list = cursor->current->Recipients()) {
            recipients += static_cast<int>(list->size());
          }
        }
      }
      if (auto* subfolders = folder.Subfolders()) {
        for (auto& child : *subfolders) walk(*child);
      }
    };
    for (int k = 0; k < kFolderKindCount; ++k) {
      if (SmsFolder* folder = session.StandardFolder(static_cast<FolderKind>(k))) walk(*folder);
    }
    if (messages != kMessages || recipients != kMessages) state.SkipWithError("wrong walk");
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_WalkMessages)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

// 100,000 duplicate tests as a restore makes them: half hit an existing message, half miss.
// Arg 1 compares the text as well as the delivery time.
void BM_DuplicateLookups(benchmark::State& state) {
  const bool withText = state.range(0) != 0;
  SmsSession session(u"SMS");
  SmsFolder* inbox = session.StandardFolder(FolderKind::Inbox);
  auto* subfolders = inbox->Subfolders();
  std::vector<SmsFolder*> boxes(kSubfolders);
  for (auto& child : *subfolders) {
    const std::string number(child->displayName.begin() + 4, child->displayName.end());  // "Box N"
    boxes[std::stoi(number)] = child.get();
  }
  std::vector<std::u16string> texts(kMessages);
  for (int i = 0; i < kMessages; ++i) {
    const std::string text = TextOf(i);
    texts[i].assign(text.begin(), text.end());
  }
  for (auto _ : state) {
    int hits = 0;
    for (int i = 0; i < kMessages; ++i) {
      const int sub = SubfolderOf(i);
      SmsFolder* folder = sub < 0 ? inbox : boxes[sub];
      // Odd rounds ask for a time half a second off: a miss.
      const uint64_t time = TimeOf(i) + (i % 4 >= 2 ? kSecond / 2 : 0);
      const FILETIME ft{static_cast<uint32_t>(time), static_cast<uint32_t>(time >> 32)};
      hits += folder->ContainsDeliveryTime(ft, withText ? &texts[i] : nullptr) ? 1 : 0;
    }
    if (hits != kMessages / 2) state.SkipWithError("wrong number of hits");
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_DuplicateLookups)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

// For comparison: the same question answered by reading the Inbox's delivery times row by row
// from the start, 20 lookups (scaled: a full restore would make 50,000 of them).
void BM_DuplicateLookupsByScan(benchmark::State& state) {
  SmsSession session(u"SMS");
  IMAPIFolder* inbox = session.StandardFolder(FolderKind::Inbox)->folder.get();
  MapiPtr<IMAPITable> table;
  inbox->GetContentsTable(0, table.put());
  static constexpr ULONG kColumn = PR_MESSAGE_DELIVERY_TIME;
  const SPropTagArray columns{1, &kColumn};
  table->SetColumns(&columns, 0);
  for (auto _ : state) {
    for (int n = 0; n < 20; ++n) {
      const uint64_t wanted = TimeOf(n * 5000);  // spread over the folder
      table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);
      for (;;) {
        SRowSet* rows = nullptr;
        if (table->QueryRows(1, 0, &rows) < 0 || rows == nullptr || rows->cRows == 0) {
          FreeProws(rows);
          break;
        }
        const FILETIME ft = rows->aRow[0].lpProps[0].Value.ft;
        FreeProws(rows);
        if ((static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) == wanted) break;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * 20);
}
BENCHMARK(BM_DuplicateLookupsByScan)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace larkpost

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  larkpost::BuildStore();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (std::getenv("LARKPOST_BENCH_STORE") == nullptr) {
    std::filesystem::remove(larkpost::g_path);
    std::filesystem::remove(larkpost::g_path + "-wal");
    std::filesystem::remove(larkpost::g_path + "-shm");
  }
  return 0;
}
