// iPhone messages into a phone's XML with the larkpost program, in a child process each: wall
// time, the child's processor time (counter cpu_s) and its peak resident memory (peak_MiB).
//
//   BM_DatabaseToXml           a bare sms.db of LARKPOST_IOS_MESSAGES messages (default 100,000)
//   BM_BackupToXml             the same database in a backup folder, as iTunes and Finder write it
//   BM_XmlToXml                the XML the first wrote, converted again: the figure to hold the
//                              iPhone inputs against
//   BM_KeyDerivationAlone      the two derivations of iOS's iteration counts (10,000,000 rounds of
//                              PBKDF2-HMAC-SHA256, then 10,000 of PBKDF2-HMAC-SHA1) with OpenSSL,
//                              in this process
//   BM_EncryptedBackupToXml    the backup encrypted at those counts
//   BM_EncryptedOneRoundToXml  the backup encrypted at one round each: beyond the plain backup it
//                              costs decrypting the files and nothing else
//   BM_DecryptDatabaseAlone    the database decrypted into its private copy, in this process
//   BM_DecryptStreamAlone      the same bytes decrypted as an attachment's are read
//   BM_DecryptAttachmentsAlone 2,000 photos of 40 KB decrypted as they are read, one by one
//
// Run them in one go: the counters that compare are taken from the processor times of the same
// run, which another program busy on the machine moves far less than the wall times. beyond_ms
// of BM_EncryptedBackupToXml is what it took beyond BM_BackupToXml and the key derivation, that
// of BM_EncryptedOneRoundToXml what it took beyond BM_BackupToXml: both are the decryption, a few
// milliseconds within the noise of whole runs, which is why the decryption's throughput
// (cpu_MBps) is measured alone. Inputs are written once, in a scratch folder (LARKPOST_IOS_DIR,
// default the temporary folder).
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "child_run.h"
#include "formats/ios_encryption.h"
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

// The backup encrypted at `dpic` and `iterations` rounds, in the folder `name`.
std::string Encrypted(const std::string& name, uint32_t dpic, uint32_t iterations) {
  testing::EncryptedIosBackupFolder backup(Folder() + "/" + name, kPassword, dpic, iterations);
  backup.Add("HomeDomain", "Library/SMS/sms.db", Bytes(Database()));
  backup.Seal();
  std::ofstream(Folder() + "/password") << kPassword << "\n";
  return backup.root().string();
}

const std::string& EncryptedBackup() {
  static const std::string root = Encrypted("encrypted", kIosDpic, kIosIterations);
  return root;
}

// The same at one round each: what it costs beyond the plain backup is decrypting its files.
const std::string& EncryptedBackupOneRound() {
  static const std::string root = Encrypted("encrypted-one-round", 1, 1);
  return root;
}

// The mean processor time of the last runs of each benchmark, for the derived counters.
double& LastCpuSeconds(const std::string& name) {
  static std::map<std::string, double> seconds;
  return seconds[name];
}

double DatabaseMegabytes() {
  return static_cast<double>(std::filesystem::file_size(Database())) / 1e6;
}

void Convert(benchmark::State& state, const std::string& name, std::vector<std::string> arguments) {
  double peak = 0, cpu = 0;
  for (auto _ : state) {
    bench::ChildRun run;
    if (!bench::RunChild(LARKPOST_PROGRAM, arguments, run) || run.status != 0) {
      state.SkipWithError("larkpost failed");
      return;
    }
    state.SetIterationTime(run.seconds);
    cpu += run.cpuSeconds;
    peak = std::max(peak, run.peakMiB);
  }
  LastCpuSeconds(name) = cpu / static_cast<double>(state.iterations());
  state.counters["cpu_s"] = LastCpuSeconds(name);
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
  const std::string xml = Folder() + "/in.xml";
  bench::ChildRun run;
  if (!bench::RunChild(LARKPOST_PROGRAM, {"convert", "--force", Database(), xml}, run) ||
      run.status != 0) {
    std::abort();
  }
  Convert(state, "xml", {"convert", "--force", xml, Out()});
}

double CpuNow() {
  struct timespec now {};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Times `work` once per iteration, in this process; its mean processor time in seconds.
double TimeInProcess(benchmark::State& state, const std::function<bool()>& work) {
  double cpu = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuNow();
    if (!work()) {
      state.SkipWithError("failed");
      return 0;
    }
    cpu += CpuNow() - cpuStart;
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  cpu /= static_cast<double>(state.iterations());
  state.counters["cpu_s"] = cpu;
  return cpu;
}

void BM_KeyDerivationAlone(benchmark::State& state) {
  const std::string salt(20, 's');
  unsigned char first[32], key[32];
  LastCpuSeconds("derivation") = TimeInProcess(state, [&] {
    return PKCS5_PBKDF2_HMAC(kPassword, sizeof kPassword - 1,
                             reinterpret_cast<const unsigned char*>(salt.data()), 20, kIosDpic,
                             EVP_sha256(), 32, first) == 1 &&
           PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(first), 32,
                             reinterpret_cast<const unsigned char*>(salt.data()), 20,
                             kIosIterations, EVP_sha1(), 32, key) == 1;
  });
}
void BM_EncryptedBackupToXml(benchmark::State& state) {
  Convert(state, "encrypted",
          {"convert", "--force", "--password-file", Folder() + "/password", EncryptedBackup(),
           Out()});
  if (LastCpuSeconds("backup") > 0 && LastCpuSeconds("derivation") > 0) {
    state.counters["beyond_ms"] = 1000 * (LastCpuSeconds("encrypted") - LastCpuSeconds("backup") -
                                          LastCpuSeconds("derivation"));
  }
}
void BM_EncryptedOneRoundToXml(benchmark::State& state) {
  Convert(state, "one round",
          {"convert", "--force", "--password-file", Folder() + "/password",
           EncryptedBackupOneRound(), Out()});
  if (LastCpuSeconds("backup") > 0) {
    state.counters["beyond_ms"] = 1000 * (LastCpuSeconds("one round") - LastCpuSeconds("backup"));
  }
}

// The database as an encrypted backup holds it, and its key.
const std::string& EncryptedDatabase(std::string& key) {
  static const std::string fileKey(32, 'k');
  static const std::string path = [] {
    const std::string file = Folder() + "/sms.db.encrypted";
    std::ofstream(file, std::ios::binary)
        << testing::EncryptedIosBackupFolder::Encrypted(fileKey, Bytes(Database()));
    return file;
  }();
  key = fileKey;
  return path;
}

// The database decrypted into its private copy, as the reader opens it.
void BM_DecryptDatabaseAlone(benchmark::State& state) {
  std::string key;
  const std::string& path = EncryptedDatabase(key);
  const auto size = static_cast<int64_t>(std::filesystem::file_size(Database()));
  const double cpu = TimeInProcess(state, [&] {
    std::string error;
    return WithDecryptedCopy(path, key, size, [](const std::string&) {}, error);
  });
  if (cpu > 0) state.counters["cpu_MBps"] = DatabaseMegabytes() / cpu;
}

// The same bytes decrypted as an attachment's are while the page or an archive copies them.
void BM_DecryptStreamAlone(benchmark::State& state) {
  std::string key;
  const std::string& path = EncryptedDatabase(key);
  const auto bytes = DecryptedBytes(path, key, std::filesystem::file_size(Database()));
  std::vector<char> buffer(64 * 1024);
  const double cpu = TimeInProcess(state, [&] {
    ByteSource source = bytes->Open();
    while (source(buffer.data(), buffer.size()) != 0) {
    }
    return true;
  });
  if (cpu > 0) state.counters["cpu_MBps"] = DatabaseMegabytes() / cpu;
}

// Photos of a backup as the page or an archive copies them: 2,000 of 40 KB, each opened and read
// through.
void BM_DecryptAttachmentsAlone(benchmark::State& state) {
  constexpr size_t kPhoto = 40 * 1024;
  constexpr int kPhotos = 2000;
  const std::string key(32, 'p');
  const std::string path = Folder() + "/photo.encrypted";
  std::ofstream(path, std::ios::binary)
      << testing::EncryptedIosBackupFolder::Encrypted(key, std::string(kPhoto, 'x'));
  const auto bytes = DecryptedBytes(path, key, kPhoto);
  std::vector<char> buffer(64 * 1024);
  const double cpu = TimeInProcess(state, [&] {
    for (int i = 0; i < kPhotos; ++i) {
      ByteSource source = bytes->Open();
      while (source(buffer.data(), buffer.size()) != 0) {
      }
    }
    return true;
  });
  if (cpu > 0) state.counters["cpu_MBps"] = kPhoto * kPhotos / 1e6 / cpu;
}

BENCHMARK(BM_DatabaseToXml)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BackupToXml)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_XmlToXml)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_KeyDerivationAlone)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_EncryptedBackupToXml)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_EncryptedOneRoundToXml)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_DecryptDatabaseAlone)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_DecryptStreamAlone)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_DecryptAttachmentsAlone)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
}  // namespace larkpost

int main(int argc, char** argv) {
  return larkpost::bench::RunBenchmarksThenRemove(argc, argv, larkpost::Folder);
}
