// Benchmarks that time the larkpost program from outside: one run of a child process, with its
// wall time, its processor time and its peak memory, and a scratch folder for the inputs.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace larkpost::bench {

struct ChildRun {
  double seconds = 0;     // wall time
  double cpuSeconds = 0;  // user and system time: the steadier figure on a shared machine
  double peakMiB = 0;     // peak resident memory
  int status = -1;        // the exit status; -1 when the child did not exit
};

// Runs `program` with `arguments`, its standard output sent to /dev/null. False when it could
// not be started or did not exit; `run.status` then says how it ended.
//
// The child is forked, not spawned: a child spawned with a shared address space (as
// posix_spawn's clone does) reports as its peak memory the benchmark's own highest, which the
// inputs it built in memory may have set; a forked one at most what the benchmark holds at the
// fork.
inline bool RunChild(const std::string& program, const std::vector<std::string>& arguments,
                     ChildRun& run) {
  std::vector<std::string> copies = arguments;
  copies.insert(copies.begin(), program);
  std::vector<char*> argv;
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  malloc_trim(0);  // what the benchmark freed leaves its resident memory, and so the child's
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  const bool spawned = child > 0;
  run = ChildRun{};
  if (!spawned) return false;
  int status = 0;
  struct rusage usage {};
  if (wait4(child, &status, 0, &usage) != child) return false;
  auto seconds = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  };
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  if (!WIFEXITED(status)) return false;
  run.status = WEXITSTATUS(status);
  return true;
}

// A new folder "<prefix>-XXXXXX" below the folder $`variable` names (default /tmp); the program
// ends when it cannot be made.
inline std::string MakeScratchFolder(const char* variable, const std::string& prefix) {
  const char* base = std::getenv(variable);
  std::string path = std::string(base != nullptr ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  if (mkdtemp(path.data()) == nullptr) std::abort();
  return path;
}

// Runs the benchmarks the command line selects, then removes their scratch folder.
inline int RunBenchmarksThenRemove(int argc, char** argv, const std::string& (*scratch)()) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(scratch(), ignored);
  return 0;
}

}  // namespace larkpost::bench
