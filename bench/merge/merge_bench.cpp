// Runs `larkpost merge` on two backup files of LARKPOST_MERGE_MESSAGES messages each (default
// 100,000) that share 90 % of them, and `larkpost convert` of one of them alone, in a child
// process each; reports the wall time, the processor time and the child's peak resident memory
// (counter peak_MiB). The inputs are written once, in a scratch folder (LARKPOST_MERGE_DIR,
// where they are kept, default the temporary folder). The second file writes the numbers in another form and has
// other names, as a second export of the same phone would.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "jobs/message_files.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

extern char** environ;

namespace larkpost {
namespace {

size_t MessageCount() {
  const char* count = std::getenv("LARKPOST_MERGE_MESSAGES");
  return count != nullptr ? std::strtoul(count, nullptr, 10) : 100000;
}

const std::string& Folder() {
  static const std::string folder = [] {
    const char* base = std::getenv("LARKPOST_MERGE_DIR");
    std::string path = std::string(base != nullptr ? base : "/tmp") + "/larkpost-merge-bench-XXXXXX";
    if (mkdtemp(path.data()) == nullptr) std::abort();
    return path;
  }();
  return folder;
}

// Messages [first, first + count) of one long history.
std::string WriteBackup(const std::string& name, size_t first, bool secondExport) {
  const std::string file = Folder() + "/" + name;
  CFile out(Utf8ToWide(file), CFile::modeCreate | CFile::modeWrite);
  auto writer = OpenMessageWriter(out, FileKind::kBackup, DeletedAs::kByDirection);
  std::string error;
  const char16_t* folders[] = {u"Inbox", u"Inbox\\Family", u"Sentedbox", u"Wastebox"};
  for (size_t i = first; i < first + MessageCount(); ++i) {
    MessageRecord record;
    record.folderPath = folders[i % 4];
    record.deliveryTime = UnixTimeToFileTime(1200000000 + static_cast<int64_t>(i) * 97);
    record.lastModified = record.deliveryTime;
    const std::string digits = std::to_string(1000000 + i % 500);
    const std::u16string number =
        Utf8ToWide(secondExport ? "+49 15 " + digits : "+4915" + digits);
    const std::u16string name = secondExport ? u"Ann W." : u"Ann Weber";
    if (i % 4 < 2) {
      record.senderName = name;
      record.senderAddress = number;
      record.recipients.push_back({u"Me", u"+4915112340000", 1});
    } else {
      record.senderName = u"Me";
      record.senderAddress = u"+4915112340000";
      record.recipients.push_back({name, number, 1});
    }
    record.text = Utf8ToWide("Message " + std::to_string(i) +
                             ": see you at the station at half past seven, don't forget the "
                             "tickets. Grüße!");
    writer->Write(record, error);
  }
  writer->Finish();
  out.Close();
  return file;
}

const std::string& First() {
  static const std::string path = WriteBackup("first.bak", 0, false);
  return path;
}
const std::string& Second() {
  static const std::string path = WriteBackup("second.bak", MessageCount() / 10, true);
  return path;
}

double Seconds(const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; }

bool Run(const std::vector<std::string>& arguments, double& seconds, double& peakMiB,
         double& cpuSeconds) {
  std::vector<char*> argv;
  std::string program = LARKPOST_PROGRAM;
  argv.push_back(program.data());
  std::vector<std::string> copies = arguments;
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t child = 0;
  if (posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) return false;
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  struct rusage usage {};
  if (wait4(child, &status, 0, &usage) != child) return false;
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void Measure(benchmark::State& state, const std::vector<std::string>& arguments) {
  double peak = 0, cpu = 0, cpuTotal = 0;
  for (auto _ : state) {
    double seconds = 0;
    if (!Run(arguments, seconds, peak, cpu)) {
      state.SkipWithError("larkpost failed");
      return;
    }
    state.SetIterationTime(seconds);
    cpuTotal += cpu;
  }
  state.counters["peak_MiB"] = peak;
  state.counters["cpu_s"] = cpuTotal / static_cast<double>(state.iterations());
  state.counters["messages"] = static_cast<double>(MessageCount());
}

void BM_ConvertOne(benchmark::State& state) {
  Measure(state, {"convert", First(), Folder() + "/converted.bak"});
}
void BM_MergeTwo(benchmark::State& state) {
  Measure(state, {"--region", "DE", "merge", Folder() + "/merged.bak", First(), Second()});
}

BENCHMARK(BM_ConvertOne)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MergeTwo)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace larkpost

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // A folder given by LARKPOST_MERGE_DIR keeps the inputs, for runs by hand.
  if (std::getenv("LARKPOST_MERGE_DIR") == nullptr) {
    std::system(("rm -rf '" + larkpost::Folder() + "'").c_str());
  }
  return 0;
}
