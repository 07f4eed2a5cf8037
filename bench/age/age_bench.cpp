// Encrypting and decrypting one large file (1 GiB, or LARKPOST_AGE_BENCH_MIB MiB) in the age
// format, file to file: ours (AgeSink, Decryptor) next to Debian's age on the same files, in one
// run, taking turns, so the figures share the machine's conditions; the figure to read is ours
// over age in processor time (user and system: on a shared machine steadier than the wall
// time). BM_ReadThroughView decrypts the way the program reads an encrypted input: the whole file
// checked first, then read by position through its view (age_view.h), front to back in pieces of
// 1 MiB. The peak resident memory of each side is a counter (ours: this process's; age's: its
// children's). Files go to $TMPDIR (else /tmp); without age the rows are skipped.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <string>

#include "formats/age_input.h"
#include "formats/age_keys.h"
#include "formats/age_stream.h"
#include "formats/age_view.h"
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
    unlink((out + ".age").c_str());
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

void ReadThroughView(const Files& files, const std::string& from) {
  const auto view =
      age::DecryptedView(Utf8ToWide(from), age::Keys{{files.identity}, {}, 22});
  const auto reader = view->NewReader();
  const int out = open(files.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::string buffer(1 << 20, '\0');
  uint64_t at = 0;
  while (const size_t got = reader->ReadAt(at, buffer.data(), buffer.size())) {
    if (write(out, buffer.data(), got) < 0) std::abort();
    at += got;
  }
  close(out);
}

// Processor seconds of `work`, run in this process (ours) or in a child (age).
template <typename Work>
double CpuOf(int who, Work work) {
  const double before = CpuSeconds(who);
  work();
  return CpuSeconds(who) - before;
}

bool RunAge(const std::string& command) { return std::system(command.c_str()) == 0; }

// Ours and age take turns on the same file, one of each per iteration after a round that is not
// counted (so that both find the same files and page cache): on a shared machine whatever else
// runs falls on both alike. Counters: processor seconds per pass of each, and ours over age
// (below 1: ours is faster); MiB/s of each by processor time; our peak memory.
void SideBySide(benchmark::State& state, const std::function<void()>& ours,
                const std::string& ageCommand) {
  if (!HaveAge()) return state.SkipWithError("age is not installed");
  const double mib = static_cast<double>(TheFiles().size) / (1 << 20);
  ours();
  if (!RunAge(ageCommand)) return state.SkipWithError("age failed");
  double oursCpu = 0, ageCpu = 0;
  for (auto _ : state) {
    oursCpu += CpuOf(RUSAGE_SELF, ours);
    ageCpu += CpuOf(RUSAGE_CHILDREN, [&] {
      if (!RunAge(ageCommand)) state.SkipWithError("age failed");
    });
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["ours_cpu_s"] = oursCpu / n;
  state.counters["age_cpu_s"] = ageCpu / n;
  state.counters["ours_over_age"] = oursCpu / ageCpu;
  state.counters["ours_MiB/s"] = mib * n / oursCpu;
  state.counters["age_MiB/s"] = mib * n / ageCpu;
  state.counters["ours_peak_MiB"] = static_cast<double>(PeakKiB(RUSAGE_SELF)) / 1024;
  state.counters["age_peak_MiB"] = static_cast<double>(PeakKiB(RUSAGE_CHILDREN)) / 1024;
}

void BM_Encrypt(benchmark::State& state) {
  const Files& files = TheFiles();
  SideBySide(state, [&] { Encrypt(files); },
             "age -r " + age::RecipientText(files.identity.publicKey) + " -o " + files.theirs +
                 " " + files.plain);
}

// Both decrypt the same file (ours): with the Decryptor front to back, as age does.
void BM_Decrypt(benchmark::State& state) {
  const Files& files = TheFiles();
  Encrypt(files);
  SideBySide(state, [&] { Decrypt(files, files.ours); },
             "age -d -i " + files.key + " -o " + files.out + ".age " + files.ours);
}

// The same, ours the way the program reads an encrypted input: checked whole, then read through
// its view.
void BM_ReadThroughView(benchmark::State& state) {
  const Files& files = TheFiles();
  Encrypt(files);
  SideBySide(state, [&] { ReadThroughView(files, files.ours); },
             "age -d -i " + files.key + " -o " + files.out + ".age " + files.ours);
}

}  // namespace

BENCHMARK(BM_Encrypt)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Decrypt)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ReadThroughView)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();
