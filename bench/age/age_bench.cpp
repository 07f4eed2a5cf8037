// Encrypting and decrypting one large file (1 GiB, or LARKPOST_AGE_BENCH_MIB MiB) in the age
// format, file to file: ours (AgeSink, Decryptor) next to Debian's age on the same files, in one
// run so the figures share the machine's conditions. The peak resident memory of each side is a
// counter (ours: this process's; age's: its child's). Files go to $TMPDIR (else /tmp); without
// age its rows are skipped.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>

#include "formats/age_input.h"
#include "formats/age_keys.h"
#include "formats/age_stream.h"
#include "platform/file/byte_sink.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

namespace {

using namespace larkpost;

std::string Folder() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr ? tmp : "/tmp";
}

struct Files {
  std::string plain = Folder() + "/larkpost-age-bench.plain";
  std::string ours = Folder() + "/larkpost-age-bench.ours.age";
  std::string theirs = Folder() + "/larkpost-age-bench.theirs.age";
  std::string out = Folder() + "/larkpost-age-bench.out";
  std::string key = Folder() + "/larkpost-age-bench.key";
  age::X25519Identity identity = age::GenerateIdentity();
  uint64_t size = 0;

  Files() {
    const char* mib = std::getenv("LARKPOST_AGE_BENCH_MIB");
    size = uint64_t(mib != nullptr ? std::atoi(mib) : 1024) << 20;
    std::string block(1 << 20, '\0');
    std::mt19937_64 random(7);
    for (char& c : block) c = static_cast<char>(random());
    const int fd = open(plain.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    for (uint64_t at = 0; at < size; at += block.size()) {
      block[0] = static_cast<char>(at >> 20);  // no two blocks alike
      if (write(fd, block.data(), block.size()) < 0) std::abort();
    }
    close(fd);
    const std::string keyText = age::IdentityText(identity) + "\n";
    const int keyFd = open(key.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (write(keyFd, keyText.data(), keyText.size()) < 0) std::abort();
    close(keyFd);
  }
  ~Files() {
    for (const std::string* path : {&plain, &ours, &theirs, &out, &key}) unlink(path->c_str());
  }
};

Files& TheFiles() {
  static Files files;
  return files;
}

bool HaveAge() { return std::system("age --version >/dev/null 2>&1") == 0; }

long PeakKiB(int who) {
  rusage usage {};
  getrusage(who, &usage);
  return usage.ru_maxrss;
}

// Processor seconds (user and system) of this process or of its waited-for children so far: on
// a shared machine steadier than the wall time.
double CpuSeconds(int who) {
  rusage usage {};
  getrusage(who, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void Encrypt(const Files& files) {
  const int in = open(files.plain.c_str(), O_RDONLY);
  CFile out(Utf8ToWide(files.ours), CFile::modeWrite | CFile::modeCreate);
  CFileSink sink(out);
  age::Recipients to;
  to.x25519 = {files.identity.publicKey};
  age::AgeSink age(sink, to, false);
  std::string buffer(1 << 20, '\0');
  ssize_t got;
  while ((got = read(in, buffer.data(), buffer.size())) > 0) age.Write(buffer.data(), got);
  age.Close();
  out.Close();
  close(in);
}

void Decrypt(const Files& files, const std::string& from) {
  const int in = open(from.c_str(), O_RDONLY);
  const int out = open(files.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  age::FdInput input(in, Utf8ToWide(from));
  age::Decryptor decryptor(input, age::Keys{{files.identity}, {}, 22});
  std::string_view piece;
  while (decryptor.Next(piece)) {
    if (write(out, piece.data(), piece.size()) < 0) std::abort();
  }
  close(out);
  close(in);
}

void SetCounters(benchmark::State& state, int who, double cpuBefore) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TheFiles().size));
  state.counters["peak_MiB"] = static_cast<double>(PeakKiB(who)) / 1024;
  state.counters["cpu_s"] =
      (CpuSeconds(who) - cpuBefore) / static_cast<double>(state.iterations());
}

void BM_EncryptOurs(benchmark::State& state) {
  const Files& files = TheFiles();  // written before the clock runs
  const double cpu = CpuSeconds(RUSAGE_SELF);
  for (auto _ : state) Encrypt(files);
  SetCounters(state, RUSAGE_SELF, cpu);
}

void BM_EncryptAge(benchmark::State& state) {
  if (!HaveAge()) return state.SkipWithError("age is not installed");
  const Files& files = TheFiles();
  const std::string command = "age -r " + age::RecipientText(files.identity.publicKey) + " -o " +
                              files.theirs + " " + files.plain;
  const double cpu = CpuSeconds(RUSAGE_CHILDREN);
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("age failed");
  }
  SetCounters(state, RUSAGE_CHILDREN, cpu);
}

void BM_DecryptOurs(benchmark::State& state) {
  const Files& files = TheFiles();
  Encrypt(files);
  const double cpu = CpuSeconds(RUSAGE_SELF);
  for (auto _ : state) Decrypt(files, files.ours);
  SetCounters(state, RUSAGE_SELF, cpu);
}

void BM_DecryptAge(benchmark::State& state) {
  if (!HaveAge()) return state.SkipWithError("age is not installed");
  const Files& files = TheFiles();
  Encrypt(files);
  const std::string command = "age -d -i " + files.key + " -o " + files.out + " " + files.ours;
  const double cpu = CpuSeconds(RUSAGE_CHILDREN);
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("age failed");
  }
  SetCounters(state, RUSAGE_CHILDREN, cpu);
}

}  // namespace

BENCHMARK(BM_EncryptOurs)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_EncryptAge)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_DecryptOurs)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_DecryptAge)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK_MAIN();
