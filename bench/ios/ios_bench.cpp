// iPhone messages into a phone's XML with the larkpost program, in a child process each: wall
// time and the child's peak resident memory (counter peak_MiB).
//
//   BM_DatabaseToXml          a bare sms.db of LARKPOST_IOS_MESSAGES messages (default 100,000)
//   BM_BackupToXml            the same database in a backup folder, as iTunes and Finder write it
//   BM_XmlToXml               the XML the first wrote, converted again: the figure to hold the
//                             iPhone inputs against
//   BM_EncryptedBackupToXml   the backup encrypted, at the iteration counts iOS uses (10,000,000
//                             rounds of PBKDF2-HMAC-SHA256, then 10,000 of PBKDF2-HMAC-SHA1)
//   BM_KeyDerivationAlone     those two derivations with OpenSSL, in this process
//
// The encrypted backup costs the key derivation plus decrypting its files: the counter
// decrypt_MBps of BM_EncryptedBackupToXml is the database's bytes over what it took beyond
// BM_BackupToXml and BM_KeyDerivationAlone (run them in one go). Inputs are written once, in a
// scratch folder (LARKPOST_IOS_DIR, default the temporary folder).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "child_run.h"
#include "formats/ios_test_util.h"

namespace larkpost {
namespace {

constexpr uint32_t kIosDpic = 10000000;
constexpr uint32_t kIosIterations = 10000;
constexpr char kPassword[] = "correct horse battery staple";

size_t MessageCount() {
  const char* count = std::getenv("LARKPOST_IOS_MESSAGES");
  return count != nullptr ? std::strtoul(count, nullptr, 10) : 100000;
}

const std::string& Folder() {
  static const std::string folder = bench::MakeScratchFolder("LARKPOST_IOS_DIR", "larkpost-ios-bench");
  return folder;
}

// A phone's history: one-to-one conversations with 200 people, one message in 20 in one of ten
// groups of four, one in five with its text only in attributedBody (as newer iOS leaves it),
// sent and received alike, a few texts beyond ASCII.
const std::string& Database() {
  static const std::string path = [] {
    const std::string file = Folder() + "/sms.db";
    testing::IosDatabase db(file);
    db.Exec("BEGIN");
    std::vector<int64_t> handles, chats, groups;
    for (int i = 0; i < 200; ++i) {
      handles.push_back(db.Handle("+49151" + std::to_string(2000000 + i)));
      chats.push_back(db.Chat(45, {handles.back()}));
    }
    for (int i = 0; i < 10; ++i) {
      groups.push_back(db.Chat(43, {handles[i * 4], handles[i * 4 + 1], handles[i * 4 + 2],
                                    handles[i * 4 + 3]},
                               "Group " + std::to_string(i)));
    }
    for (size_t i = 0; i < MessageCount(); ++i) {
      testing::IosRow row;
      const bool group = i % 20 == 0;
      row.fromMe = i % 3 == 0;
      row.chat = group ? groups[i / 20 % groups.size()] : chats[i % chats.size()];
      row.handle = group ? (row.fromMe ? 0 : handles[i / 20 % 40]) : handles[i % handles.size()];
      row.date = (700000000 + static_cast<int64_t>(i) * 61) * 1000000000;
      row.service = i % 2 ? "SMS" : "iMessage";
      const std::string text = "Message " + std::to_string(i) +
                               ": see you at the station at half past seven, Grüße!";
      if (i % 5 == 4) {
        row.body = testing::ArchivedBody(text, static_cast<int64_t>(text.size()) - 1);
      } else {
        row.text = text;
      }
      db.Message(row);
    }
    db.Exec("COMMIT");
    return file;
  }();
  return path;
}

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::string& Backup() {
  static const std::string root = [] {
    testing::IosBackupFolder backup(Folder() + "/backup");
    backup.Add("HomeDomain", "Library/SMS/sms.db", Bytes(Database()));
    return backup.root().string();
  }();
  return root;
}

const std::string& EncryptedBackup() {
  static const std::string root = [] {
    testing::EncryptedIosBackupFolder backup(Folder() + "/encrypted", kPassword, kIosDpic,
                                             kIosIterations);
    backup.Add("HomeDomain", "Library/SMS/sms.db", Bytes(Database()));
    backup.Seal();
    std::ofstream(Folder() + "/password") << kPassword << "\n";
    return backup.root().string();
  }();
  return root;
}

// Runs the program with the arguments; its wall time in seconds and its peak memory in MiB.
bool Run(const std::vector<std::string>& arguments, double& seconds, double& peakMiB) {
  bench::ChildRun run;
  const bool ran = bench::RunChild(LARKPOST_PROGRAM, arguments, run);
  seconds = run.seconds;
  peakMiB = run.peakMiB;
  return ran && run.status == 0;
}

// The mean wall time of the last runs of each benchmark, for the derived counters.
double& LastSeconds(const std::string& name) {
  static std::map<std::string, double> seconds;
  return seconds[name];
}

void Convert(benchmark::State& state, const std::string& name, std::vector<std::string> arguments) {
  double peak = 0, total = 0;
  for (auto _ : state) {
    double seconds = 0;
    if (!Run(arguments, seconds, peak)) {
      state.SkipWithError("larkpost failed");
      return;
    }
    state.SetIterationTime(seconds);
    total += seconds;
  }
  LastSeconds(name) = total / static_cast<double>(state.iterations());
  state.counters["peak_MiB"] = peak;
  state.counters["messages"] = static_cast<double>(MessageCount());
}

std::string Out() { return Folder() + "/out.xml"; }

void BM_DatabaseToXml(benchmark::State& state) {
  Convert(state, "database", {"convert", "--force", Database(), Out()});
}
void BM_BackupToXml(benchmark::State& state) {
  Convert(state, "backup", {"convert", "--force", Backup(), Out()});
}
void BM_XmlToXml(benchmark::State& state) {
  double seconds = 0, peak = 0;
  const std::string xml = Folder() + "/in.xml";
  if (!Run({"convert", "--force", Database(), xml}, seconds, peak)) std::abort();
  Convert(state, "xml", {"convert", "--force", xml, Out()});
}
void BM_KeyDerivationAlone(benchmark::State& state) {
  const std::string salt(20, 's');
  unsigned char first[32], key[32];
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    PKCS5_PBKDF2_HMAC(kPassword, sizeof kPassword - 1,
                      reinterpret_cast<const unsigned char*>(salt.data()), 20, kIosDpic,
                      EVP_sha256(), 32, first);
    PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(first), 32,
                      reinterpret_cast<const unsigned char*>(salt.data()), 20, kIosIterations,
                      EVP_sha1(), 32, key);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    total += seconds;
  }
  LastSeconds("derivation") = total / static_cast<double>(state.iterations());
}
void BM_EncryptedBackupToXml(benchmark::State& state) {
  Convert(state, "encrypted",
          {"convert", "--force", "--password-file", Folder() + "/password", EncryptedBackup(),
           Out()});
  const double beyond =
      LastSeconds("encrypted") - LastSeconds("backup") - LastSeconds("derivation");
  if (LastSeconds("backup") > 0 && LastSeconds("derivation") > 0 && beyond > 0) {
    state.counters["decrypt_MBps"] =
        static_cast<double>(std::filesystem::file_size(Database())) / 1e6 / beyond;
  }
}

BENCHMARK(BM_DatabaseToXml)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BackupToXml)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_XmlToXml)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_KeyDerivationAlone)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_EncryptedBackupToXml)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace larkpost

int main(int argc, char** argv) {
  return larkpost::bench::RunBenchmarksThenRemove(argc, argv, larkpost::Folder);
}
