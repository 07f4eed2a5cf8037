// Runs `larkpost convert` on a backup file of LARKPOST_FORMATS_MESSAGES messages (default
// 100,000) and on what it writes (also into an encrypted .zip.age), `larkpost salvage` on the
// phone files whole and cut off, and `larkpost merge` of it with a later export sharing 90 % of
// its messages, in a child process each, and reports the wall time and the
// child's peak resident memory (counter peak_MiB). The input is written once, in a scratch folder
// (LARKPOST_FORMATS_DIR, default the temporary folder).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "child_run.h"
#include "formats/age_keys.h"
#include "jobs/message_files.h"
#include "platform/file/file.h"
#include "platform/text/text.h"
#include "platform/file/byte_sink.h"

namespace larkpost {
namespace {

size_t MessageCount() {
  const char* count = std::getenv("LARKPOST_FORMATS_MESSAGES");
  return count != nullptr ? std::strtoul(count, nullptr, 10) : 100000;
}

const std::string& Folder() {
  static const std::string folder =
      bench::MakeScratchFolder("LARKPOST_FORMATS_DIR", "larkpost-formats-bench");
  return folder;
}

// A backup file as a phone keeps it: mostly received messages, sent ones to one or two people,
// texts of a typical length with some characters beyond ASCII. Messages [first, first + count)
// of one long history; a second export writes the numbers and the contact's name another way.
std::string WriteBackup(const std::string& name, size_t first, bool secondExport) {
  const std::string file = Folder() + "/" + name;
  CFile out(Utf8ToWide(file), CFile::modeCreate | CFile::modeWrite);
  CFileSink sink(out);
  auto writer = OpenMessageWriter(sink, FileKindForPath(Utf8ToWide(file)));
  std::string error;
  const char16_t* folders[] = {u"Inbox", u"Inbox\\Family", u"Sentedbox", u"Wastebox"};
  for (size_t i = first; i < first + MessageCount(); ++i) {
    MessageRecord record;
    record.folderPath = folders[i % 4];
    record.deliveryTime = UnixTimeToFileTime(1200000000 + static_cast<int64_t>(i) * 97);
    record.lastModified = record.deliveryTime;
    const std::string digits = std::to_string(1000000 + i % 500);
    const std::u16string number = Utf8ToWide(secondExport ? "+49 15 " + digits : "+4915" + digits);
    if (i % 4 < 2) {
      record.senderName = secondExport ? u"Ann W." : u"Ann Weber";
      record.senderAddress = number;
    } else {
      record.recipients.push_back({u"Bob", number, 1});
      if (i % 8 == 2) record.recipients.push_back({u"Cy", u"+4917099887766", 1});
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

const std::string& BackupFile() {
  static const std::string path = WriteBackup("input.bak", 0, false);
  return path;
}

// The same phone's next export: it shares 90 % of the messages with BackupFile().
const std::string& LaterBackupFile() {
  static const std::string path = WriteBackup("later.bak", MessageCount() / 10, true);
  return path;
}

// Runs the program with the arguments; its wall time and processor time (user and system) in
// seconds and its peak memory in MiB. On a shared machine the processor time is the steadier one.
// `incomplete` also takes exit status 3 (a salvage that skipped something) as a finished run.
bool Run(const std::vector<std::string>& arguments, double& seconds, double& peakMiB,
         double* cpuSeconds = nullptr, bool incomplete = false) {
  bench::ChildRun run;
  const bool ran = bench::RunChild(LARKPOST_PROGRAM, arguments, run);
  seconds = run.seconds;
  peakMiB = run.peakMiB;
  if (cpuSeconds != nullptr) *cpuSeconds = run.cpuSeconds;
  return ran && (run.status == 0 || (incomplete && run.status == 3));
}

void Measure(benchmark::State& state, const std::vector<std::string>& arguments,
             bool incomplete = false) {
  double peak = 0, cpu = 0, cpuTotal = 0;
  for (auto _ : state) {
    double seconds = 0;
    if (!Run(arguments, seconds, peak, &cpu, incomplete)) {
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

void Convert(benchmark::State& state, const std::string& in, const std::string& out) {
  Measure(state, {"convert", "--force", in, out});
}

void BM_BakToXml(benchmark::State& state) { Convert(state, BackupFile(), Folder() + "/out.xml"); }
void BM_XmlToBak(benchmark::State& state) {
  double seconds = 0, peak = 0;
  const std::string xml = Folder() + "/in.xml";
  if (!Run({"convert", BackupFile(), xml}, seconds, peak)) std::abort();
  Convert(state, xml, Folder() + "/out.bak");
}
void BM_BakToZip(benchmark::State& state) { Convert(state, BackupFile(), Folder() + "/out.zip"); }
// The same into an encrypted ZIP (age, one recipient), taking turns with the plain one so that
// both share the machine's conditions: the wall and processor time of each and the encrypted
// over the plain (ratio_cpu, ratio_wall), and the encrypted run's peak memory.
void BM_BakToZipAge(benchmark::State& state) {
  const std::string recipient = age::RecipientText(age::GenerateIdentity().publicKey);
  const std::vector<std::string> plain = {"convert", "--force", BackupFile(), Folder() + "/out.zip"};
  const std::vector<std::string> encrypted = {"convert", "--force", "--encrypt-to", recipient,
                                              BackupFile(), Folder() + "/out.zip.age"};
  double plainWall = 0, plainCpu = 0, wall = 0, cpu = 0, peak = 0;
  for (auto _ : state) {
    double seconds = 0, cpuSeconds = 0, peakMiB = 0;
    if (!Run(plain, seconds, peakMiB, &cpuSeconds)) return state.SkipWithError("larkpost failed");
    plainWall += seconds;
    plainCpu += cpuSeconds;
    if (!Run(encrypted, seconds, peak, &cpuSeconds)) return state.SkipWithError("larkpost failed");
    state.SetIterationTime(seconds);
    wall += seconds;
    cpu += cpuSeconds;
  }
  state.counters["peak_MiB"] = peak;
  state.counters["cpu_s"] = cpu / static_cast<double>(state.iterations());
  state.counters["ratio_cpu"] = cpu / plainCpu;
  state.counters["ratio_wall"] = wall / plainWall;
  state.counters["messages"] = static_cast<double>(MessageCount());
}
void BM_ZipToBak(benchmark::State& state) {
  double seconds = 0, peak = 0;
  const std::string zip = Folder() + "/in.zip";
  if (!Run({"convert", BackupFile(), zip}, seconds, peak)) std::abort();
  Convert(state, zip, Folder() + "/out2.bak");
}
void BM_BakToHtml(benchmark::State& state) { Convert(state, BackupFile(), Folder() + "/out.html"); }
// Merging two overlapping exports, against converting the first one alone (BM_BakToBak).
void BM_BakToBak(benchmark::State& state) { Convert(state, BackupFile(), Folder() + "/copy.bak"); }
void BM_MergeTwo(benchmark::State& state) {
  Measure(state, {"--region", "DE", "merge", "--force", Folder() + "/merged.bak", BackupFile(),
                  LaterBackupFile()});
}

// The backup file converted into a phone file once, and that file cut off at 60 % of its bytes
// (inside an entry, or inside the ZIP's compressed data).
const std::string& PhoneFile(const std::string& name, bool cut) {
  static std::map<std::string, std::string> made;
  const std::string key = name + (cut ? "-cut" : "");
  if (made.count(key) == 0) {
    const std::string whole = Folder() + "/salvage-" + name;
    double seconds = 0, peak = 0;
    if (!Run({"convert", "--force", BackupFile(), whole}, seconds, peak)) std::abort();
    std::string path = whole;
    if (cut) {
      path = Folder() + "/cut-" + name;
      const auto size = std::filesystem::file_size(whole);
      std::filesystem::copy_file(whole, path, std::filesystem::copy_options::overwrite_existing);
      std::filesystem::resize_file(path, size * 6 / 10);
    }
    made[key] = path;
  }
  return made[key];
}

// A salvage reads every entry as a conversion does, and an intact file costs it no more: against
// BM_XmlToBak and BM_ZipToBak.
void Salvage(benchmark::State& state, const std::string& in) {
  Measure(state, {"salvage", "--force", in, Folder() + "/salvaged.bak"}, true);
}
void BM_SalvageXml(benchmark::State& state) { Salvage(state, PhoneFile("in.xml", false)); }
void BM_SalvageCutXml(benchmark::State& state) { Salvage(state, PhoneFile("in.xml", true)); }
void BM_SalvageZip(benchmark::State& state) { Salvage(state, PhoneFile("in.zip", false)); }
void BM_SalvageCutZip(benchmark::State& state) { Salvage(state, PhoneFile("in.zip", true)); }

BENCHMARK(BM_BakToXml)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_XmlToBak)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BakToZip)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BakToZipAge)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ZipToBak)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BakToHtml)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BakToBak)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MergeTwo)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SalvageXml)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SalvageCutXml)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SalvageZip)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SalvageCutZip)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace larkpost

int main(int argc, char** argv) {
  return larkpost::bench::RunBenchmarksThenRemove(argc, argv, larkpost::Folder);
}
