// End-to-end benchmark of the larkpost program: a store of N messages (default 100,000, half of
// them in subfolders) is built once with `larkpost store load`; then the real binary backs it up
// and restores the backup into an empty store and once more into the same store. Each run is a
// child process, timed by wall clock, with its peak resident memory from wait4().
//
// A backup flushed after every record (--sync each) has N fdatasync calls as its floor: the
// benchmark makes the same number of small appends + fdatasync calls in the same folder, right
// before and right after the backup, and reports the backup's time over their mean
// (vs_fdatasync). It runs the backup both ways: by default (records flushed in groups of at most
// 0.2 s of work; limit 0.15 of the floor) and with --sync each (limit 1.10). A backup over its
// limit is named on stderr.
//
// A restore writes N messages into the store, so its yardstick is N one-message SQLite
// transactions (a message row and a recipient row each, WAL, synchronous=NORMAL) in the same
// folder, measured right before and right after the restore (vs_sqlite_tx).
//
//   LARKPOST_E2E_MESSAGES   message count (default 100000)
//   LARKPOST_E2E_DIR        work folder (default $TMPDIR or /tmp); it must be on the file
//                           system whose flushes are to be measured
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Run {
  double seconds = 0;
  double cpuSeconds = 0;  // user + system time of the child: its own work, without waiting
  double maxRssMiB = 0;
};

struct Setup {
  fs::path dir;
  long messages = 0;
  fs::path source, backup, restored;
  bool built = false;
  bool backedUp = false;
  bool restoredOnce = false;
  uintmax_t backupBytes = 0;
};

Setup& State() {
  static Setup setup;
  return setup;
}

long MessageCount() {
  const char* value = std::getenv("LARKPOST_E2E_MESSAGES");
  return value != nullptr ? std::atol(value) : 100000;
}

// Runs the larkpost program with the arguments; throws unless it exits with 0.
Run Larkpost(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::string program = LARKPOST_PROGRAM;
  argv.push_back(program.data());
  std::vector<std::string> copy = args;
  for (std::string& arg : copy) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const auto start = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(child, &status, 0, &usage);
  Run run;
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.maxRssMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string line = "larkpost";
    for (const std::string& arg : args) line += " " + arg;
    throw std::runtime_error(line + " failed with status " + std::to_string(status));
  }
  return run;
}

// Half the messages directly in the standard folders, half in subfolders two levels deep.
void WriteStoreLines(const fs::path& path, long messages) {
  static const char* kFolders[] = {"Draft", "Inbox", "Outbox", "Sentedbox", "Wastebox"};
  std::ofstream out(path);
  const uint64_t base = 133497000000000000ULL;
  for (long i = 0; i < messages; ++i) {
    std::string folder = std::string("[\"") + kFolders[i % 5] + "\"";
    if (i % 2 == 1) {
      folder += ",\"Topic " + std::to_string((i / 2) % 40) + "\"";
      if (i % 4 == 3) folder += ",\"Year " + std::to_string(2000 + (i / 4) % 20) + "\"";
    }
    folder += "]";
    const uint64_t time = base + static_cast<uint64_t>(i) * 10000000ULL;
    const std::string text = "Message " + std::to_string(i) +
                             ": see you at the station at half past eight, bring the tickets.";
    out << "{\"folder\":" << folder << ",\"flags\":1,\"subject\":\"" << text
        << "\",\"lastModified\":" << time + 5 << ",\"deliveryTime\":" << time
        << ",\"messageClass\":\"IPM.SMStext\",\"senderEmailAddress\":\"\\\"Person " << i % 97
        << "\\\" <+4915100" << i % 100000 << ">\",\"size\":" << text.size()
        << ",\"recipients\":[{\"name\":\"Me\",\"address\":\"+4930123456\",\"type\":1}";
    if (i % 3 == 0) out << ",{\"name\":\"Ann\",\"address\":\"+4917012345\",\"type\":2}";
    out << "]}\n";
  }
}

void EnsureStore() {
  Setup& s = State();
  if (s.built) return;
  const char* dir = std::getenv("LARKPOST_E2E_DIR");
  if (dir == nullptr) dir = std::getenv("TMPDIR");
  s.dir = fs::path(dir != nullptr ? dir : "/tmp") /
          ("larkpost-e2e-" + std::to_string(getpid()));
  fs::create_directories(s.dir);
  s.messages = MessageCount();
  s.source = s.dir / "source.db";
  s.backup = s.dir / "all.bak";
  s.restored = s.dir / "restored.db";
  const fs::path lines = s.dir / "source.ndjson";
  WriteStoreLines(lines, s.messages);
  const Run load = Larkpost({"--store", s.source.string(), "store", "load", lines.string()});
  std::fprintf(stderr, "store of %ld messages loaded in %.1f s (max RSS %.1f MiB)\n", s.messages,
               load.seconds, load.maxRssMiB);
  fs::remove(lines);
  s.built = true;
}

void EnsureBackup() {
  EnsureStore();
  Setup& s = State();
  if (s.backedUp) return;
  Larkpost({"--store", s.source.string(), "backup", "--force", s.backup.string()});
  s.backedUp = true;
}

// N small appends, each followed by fdatasync, in the work folder: the floor of a backup.
double FdatasyncSeconds(long count, uintmax_t bytes) {
  const fs::path path = State().dir / "fdatasync.dat";
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  if (fd < 0) throw std::runtime_error("cannot create " + path.string());
  std::vector<char> record(count > 0 ? bytes / count : 1, 'x');
  const auto start = Clock::now();
  for (long i = 0; i < count; ++i) {
    if (write(fd, record.data(), record.size()) < 0 || fdatasync(fd) != 0) {
      throw std::runtime_error("write or fdatasync failed");
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  close(fd);
  fs::remove(path);
  return seconds;
}

// N transactions of one message row and one recipient row each, as a plain SQLite program writes
// them: the yardstick of a restore.
double SqliteTransactionSeconds(long count) {
  const fs::path path = State().dir / "baseline.db";
  fs::remove(path);
  fs::remove(path.string() + "-wal");
  fs::remove(path.string() + "-shm");
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) throw std::runtime_error("sqlite3_open");
  sqlite3_exec(db,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
               "CREATE TABLE messages(id INTEGER PRIMARY KEY, folder_id INTEGER,"
               " delivery_time INTEGER, props BLOB);"
               "CREATE INDEX messages_time ON messages(folder_id, delivery_time);"
               "CREATE TABLE recipients(message_id INTEGER, seq INTEGER, props BLOB,"
               " PRIMARY KEY(message_id, seq));",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* message = nullptr;
  sqlite3_stmt* recipient = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO messages(folder_id, delivery_time, props) VALUES(?,?,?)", -1,
                     &message, nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO recipients(message_id, seq, props) VALUES(?,1,?)", -1,
                     &recipient, nullptr);
  const std::string props(160, 'p');
  const auto start = Clock::now();
  for (long i = 0; i < count; ++i) {
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_bind_int64(message, 1, 1 + i % 5);
    sqlite3_bind_int64(message, 2, 133497000000000000LL + i * 10000000LL);
    sqlite3_bind_blob(message, 3, props.data(), static_cast<int>(props.size()), SQLITE_STATIC);
    sqlite3_step(message);
    sqlite3_reset(message);
    sqlite3_bind_int64(recipient, 1, sqlite3_last_insert_rowid(db));
    sqlite3_bind_blob(recipient, 2, props.data(), 40, SQLITE_STATIC);
    sqlite3_step(recipient);
    sqlite3_reset(recipient);
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
      throw std::runtime_error("COMMIT failed");
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sqlite3_finalize(message);
  sqlite3_finalize(recipient);
  sqlite3_close(db);
  fs::remove(path);
  fs::remove(path.string() + "-wal");
  fs::remove(path.string() + "-shm");
  return seconds;
}

// The restore's counters: its time against the mean of the yardstick before and after it.
void CountRestore(benchmark::State& state, const Run& restore, double before, double after) {
  const double yardstick = (before + after) / 2;
  state.SetIterationTime(restore.seconds);
  state.counters["messages"] = static_cast<double>(State().messages);
  state.counters["max_rss_MiB"] = restore.maxRssMiB;
  state.counters["cpu_s"] = restore.cpuSeconds;
  state.counters["sqlite_tx_before_s"] = before;
  state.counters["sqlite_tx_after_s"] = after;
  state.counters["vs_sqlite_tx"] = yardstick > 0 ? restore.seconds / yardstick : 0;
}

void BM_Backup(benchmark::State& state) {
  EnsureStore();
  Setup& s = State();
  const bool syncEach = state.range(0) == 1;
  const double limit = syncEach ? 1.10 : 0.15;
  std::vector<std::string> args = {"--store", s.source.string(), "backup", "--force"};
  if (syncEach) args.insert(args.end(), {"--sync", "each"});
  args.push_back(s.backup.string());
  state.SetLabel(syncEach ? "--sync each" : "default (grouped flushes)");
  for (auto _ : state) {
    // The machine's load changes over minutes: the floor is measured right before and right
    // after the backup, and the backup is compared with their mean.
    const uintmax_t recordBytes = s.backupBytes > 0 ? s.backupBytes : 180 * s.messages;
    const double before = FdatasyncSeconds(s.messages, recordBytes);
    const Run backup = Larkpost(args);
    s.backedUp = true;
    s.backupBytes = fs::file_size(s.backup);
    const double after = FdatasyncSeconds(s.messages, s.backupBytes);
    const double floor = (before + after) / 2;
    state.SetIterationTime(backup.seconds);
    state.counters["messages"] = static_cast<double>(s.messages);
    state.counters["max_rss_MiB"] = backup.maxRssMiB;
    state.counters["cpu_s"] = backup.cpuSeconds;
    state.counters["fdatasync_before_s"] = before;
    state.counters["fdatasync_after_s"] = after;
    const double ratio = floor > 0 ? backup.seconds / floor : 0;
    state.counters["vs_fdatasync"] = ratio;
    state.counters["limit"] = limit;
    if (ratio > limit) {
      std::fprintf(stderr, "backup (%s) took %.3f of the fdatasync floor, over its limit %.2f\n",
                   syncEach ? "--sync each" : "default", ratio, limit);
    }
    state.counters["file_MiB"] = static_cast<double>(s.backupBytes) / (1024.0 * 1024.0);
  }
}

void BM_RestoreIntoEmptyStore(benchmark::State& state) {
  EnsureBackup();
  Setup& s = State();
  for (auto _ : state) {
    fs::remove(s.restored);
    fs::remove(s.restored.string() + "-wal");
    fs::remove(s.restored.string() + "-shm");
    Larkpost({"--store", s.restored.string(), "store", "init"});
    const double before = SqliteTransactionSeconds(s.messages);
    const Run restore =
        Larkpost({"--store", s.restored.string(), "restore", "--yes", s.backup.string()});
    s.restoredOnce = true;
    CountRestore(state, restore, before, SqliteTransactionSeconds(s.messages));
  }
}

void BM_RestoreAgain(benchmark::State& state) {
  EnsureBackup();
  Setup& s = State();
  if (!s.restoredOnce) {
    Larkpost({"--store", s.restored.string(), "store", "init"});
    Larkpost({"--store", s.restored.string(), "restore", "--yes", s.backup.string()});
    s.restoredOnce = true;
  }
  for (auto _ : state) {
    const double before = SqliteTransactionSeconds(s.messages);
    const Run restore =
        Larkpost({"--store", s.restored.string(), "restore", "--yes", s.backup.string()});
    CountRestore(state, restore, before, SqliteTransactionSeconds(s.messages));
  }
}

}  // namespace

BENCHMARK(BM_Backup)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_RestoreIntoEmptyStore)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_RestoreAgain)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!State().dir.empty()) fs::remove_all(State().dir);
  return 0;
}
