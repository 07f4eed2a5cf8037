// Backup-file benchmark over a store of 1,000 messages (500 in the Inbox, 500 spread over 10
// subfolders of the Inbox; each with text, times, sender and two recipients), built once through
// LoadStore in a temporary folder. Compare within one run:
//   BackupFile vs StoreWalk        what writing and flushing the records adds to the walk
//   ReadRecordFields vs RawRead    what decoding the records costs over reading the bytes
//   RestoreIntoEmpty vs RestoreDuplicates  creating messages vs recognising them
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "backupfile/backup_file.h"
#include "backupfile/record.h"
#include "jobs/job_records.h"
#include "jobs/store_backup.h"
#include "platform/mapi/provider.h"
#include "platform/text/text.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/session.h"
#include "storejson/store_json.h"
#include "platform/file/byte_sink.h"

namespace larkpost {
namespace {

constexpr int kMessages = 1000;
constexpr uint64_t kBaseTime = 133500000000000000ULL;
constexpr uint64_t kSecond = 10000000;

std::filesystem::path g_dir;
std::string g_store;
std::u16string g_backup;

std::u16string Wide(const std::filesystem::path& path) { return Utf8ToWide(path.string()); }

void BuildStoreAndBackup() {
  g_dir = std::filesystem::temp_directory_path() /
          ("larkpost-backupfile-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(g_dir);
  g_store = (g_dir / "store.db").string();
  g_backup = Wide(g_dir / "store.bak");
  mapi::SetDatabasePath(g_store);
  std::ostringstream lines;
  for (int i = 0; i < kMessages; ++i) {
    lines << R"({"folder":["Inbox")";
    if (i % 2 == 1) lines << R"(,"Box )" << (i / 2) % 10 << '"';
    const uint64_t time = kBaseTime + static_cast<uint64_t>(i) * kSecond;
    lines << R"(],"flags":1,"subject":"Message number )" << i
          << R"(, see you at 8 in the usual place","lastModified":)" << time
          << R"(,"deliveryTime":)" << time
          << R"(,"messageClass":"IPM.SMStext","senderEmailAddress":"\"Ann Lee\" <+49151)" << i
          << R"(>","size":40,"recipients":[{"name":"Bo","address":"+4930)" << i
          << R"(","type":1},{"name":"Cy","address":"+4940)" << i << R"(","type":2}]})" << '\n';
  }
  SmsSession session(u"SMS");
  std::istringstream in(lines.str());
  std::string error;
  if (session.initialized == 0 || !LoadStore(session, in, error)) {
    std::fprintf(stderr, "cannot build the store: %s\n", error.c_str());
    std::exit(1);
  }
  BackupJob job(g_backup, 0, 1, 0, 0, 0);
  job.total = kMessages;
  CFile file(g_backup, CFile::modeCreate | CFile::modeWrite);
  CFileSink sink(file);
  if (!WriteStoreBackup(job, sink) || job.written != kMessages) std::exit(1);
  file.Close();
}

void BM_BackupFile(benchmark::State& state) {
  mapi::SetDatabasePath(g_store);
  const std::u16string path = Wide(g_dir / "written.bak");
  for (auto _ : state) {
    BackupJob job(path, 0, 1, 0, 0, 0);
    job.total = kMessages;
    CFile file(path, CFile::modeCreate | CFile::modeWrite);
    CFileSink sink(file);
    if (!WriteStoreBackup(job, sink)) state.SkipWithError("backup failed");
    file.Close();
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_BackupFile)->Unit(benchmark::kMillisecond)->Iterations(3);

void Walk(SmsFolder& folder, int& messages) {
  MessageCursor* cursor = folder.Cursor(10);
  cursor->Rewind();
  while (cursor->Next()) {
    benchmark::DoNotOptimize(cursor->current->Recipients());
    ++messages;
  }
  for (auto& sub : *folder.Subfolders()) Walk(*sub, messages);
}

void BM_StoreWalk(benchmark::State& state) {
  mapi::SetDatabasePath(g_store);
  for (auto _ : state) {
    SmsSession session(u"SMS");
    int messages = 0;
    Walk(*session.StandardFolder(FolderKind::Inbox), messages);
    if (messages != kMessages) state.SkipWithError("walk incomplete");
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_StoreWalk)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ReadRecordFields(benchmark::State& state) {
  for (auto _ : state) {
    CFile file(g_backup, CFile::modeRead | CFile::shareDenyNone);
    uint32_t count = 0;
    if (!ValidateBackupFile(file, count)) state.SkipWithError("invalid");
    RecordFields fields;
    std::u16string error;
    for (uint32_t i = 0; i < count; ++i) {
      if (!ReadRecordFields(file, fields, error)) state.SkipWithError("broken record");
    }
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_ReadRecordFields)->Unit(benchmark::kMicrosecond);

void BM_RawRead(benchmark::State& state) {
  std::string buffer(65536, '\0');
  for (auto _ : state) {
    CFile file(g_backup, CFile::modeRead | CFile::shareDenyNone);
    while (file.Read(buffer.data(), static_cast<unsigned>(buffer.size())) > 0) {
    }
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_RawRead)->Unit(benchmark::kMicrosecond);

void Restore(benchmark::State& state) {
  RestoreJob job(g_backup);
  CFile file(g_backup, CFile::modeRead | CFile::shareDenyNone);
  BackupRecords records(file);
  if (!records.valid()) state.SkipWithError("invalid");
  MessageRecord message;
  std::u16string error;
  while (!records.AtEnd()) {
    if (!records.Next(message, error) || !job.Take(message, error)) {
      state.SkipWithError("record failed");
    }
  }
}

void BM_RestoreIntoEmpty(benchmark::State& state) {
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    mapi::SetDatabasePath((g_dir / ("empty" + std::to_string(round++) + ".db")).string());
    state.ResumeTiming();
    Restore(state);
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_RestoreIntoEmpty)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_RestoreDuplicates(benchmark::State& state) {
  mapi::SetDatabasePath(g_store);
  for (auto _ : state) Restore(state);
  state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_RestoreDuplicates)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace larkpost

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  larkpost::BuildStoreAndBackup();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(larkpost::g_dir, ignored);
  return 0;
}
