// Runs `larkpost convert` on a phone XML of LARKPOST_MMS_MESSAGES multimedia messages (default
// 2,000) of LARKPOST_MMS_BYTES bytes in all (default 1 GiB: a picture of about half a megabyte
// each, with a SMIL layout and a text part, and an SMS between them), XML to ZIP and the ZIP back
// to XML; then `larkpost restore` of the XML into an empty store and `larkpost backup` of that
// store into a ZIP. Each runs in a child process, and reports the wall time, the XML's megabytes
// per second (counter XML_MBps) and the child's peak resident memory (counter peak_MiB). The input is
// written once, in a scratch folder (LARKPOST_MMS_DIR, default the temporary folder), and the
// folder is removed at the end.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "child_run.h"
#include "formats/base64.h"
#include "formats/message_stream.h"

namespace larkpost {
namespace {

uint64_t Setting(const char* name, uint64_t otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::strtoull(value, nullptr, 10) : otherwise;
}

const std::string& Folder() {
  static const std::string folder = bench::MakeScratchFolder("LARKPOST_MMS_DIR", "larkpost-mms-bench");
  return folder;
}

uint64_t FileSize(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

// Bytes that do not compress, as a camera's JPEG does not: a JPEG header, then a generator's.
std::string Picture(size_t size, uint64_t seed) {
  std::string bytes("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01", 13);
  uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 1;
  while (bytes.size() < size) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    bytes.push_back(static_cast<char>(state >> 24));
  }
  return bytes;
}

// The phone XML as the app writes it.
const std::string& XmlFile() {
  static const std::string path = [] {
    const uint64_t messages = Setting("LARKPOST_MMS_MESSAGES", 2000);
    const uint64_t total = Setting("LARKPOST_MMS_BYTES", uint64_t{1} << 30);
    const size_t picture = static_cast<size_t>(total / messages / 4 * 3);
    const std::string file = Folder() + "/in.xml";
    FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr) std::abort();
    auto put = [out](std::string_view text) {
      if (std::fwrite(text.data(), 1, text.size(), out) != text.size()) std::abort();
    };
    put("<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>\n<smses count=\"" +
        std::to_string(messages * 2) + "\" backup_set=\"b\" type=\"full\">\n");
    for (uint64_t i = 0; i < messages; ++i) {
      const std::string date = std::to_string(1704103626000 + i * 60000);
      const std::string other = "+49151" + std::to_string(1000000 + i % 300);
      put("  <sms protocol=\"0\" address=\"" + other + "\" date=\"" + date +
          "\" type=\"1\" subject=\"null\" body=\"Look at this, number " + std::to_string(i) +
          "\" toa=\"null\" sc_toa=\"null\" service_center=\"null\" read=\"1\" status=\"-1\" "
          "locked=\"0\" date_sent=\"0\" sub_id=\"1\" readable_date=\"Jan 1, 2024\" "
          "contact_name=\"Ann\" />\n");
      put("  <mms date=\"" + date + "\" ct_t=\"application/vnd.wap.multipart.related\" "
          "msg_box=\"1\" address=\"" + other + "\" m_id=\"mid" + std::to_string(i) +
          "\" m_type=\"132\" sub=\"null\" read=\"1\" seen=\"1\" text_only=\"0\" m_size=\"" +
          std::to_string(picture) + "\" readable_date=\"Jan 1, 2024\" contact_name=\"Ann\">\n"
          "    <parts>\n"
          "      <part seq=\"-1\" ct=\"application/smil\" name=\"null\" chset=\"null\" cd=\"null\" "
          "fn=\"null\" cid=\"&lt;smil&gt;\" cl=\"smil.xml\" ctt_s=\"null\" ctt_t=\"null\" "
          "text=\"&lt;smil&gt;&lt;body&gt;&lt;par&gt;&lt;img src=&quot;image.jpg&quot;/&gt;"
          "&lt;/par&gt;&lt;/body&gt;&lt;/smil&gt;\" />\n"
          "      <part seq=\"0\" ct=\"image/jpeg\" name=\"image.jpg\" chset=\"null\" cd=\"null\" "
          "fn=\"null\" cid=\"&lt;image&gt;\" cl=\"image.jpg\" ctt_s=\"null\" ctt_t=\"null\" "
          "text=\"null\" data=\"");
      const std::string bytes = Picture(picture, i);
      EncodeBase64(BufferByteSource(bytes), put);
      put("\" />\n      <part seq=\"0\" ct=\"text/plain\" name=\"null\" chset=\"106\" cd=\"null\" "
          "fn=\"null\" cid=\"&lt;text&gt;\" cl=\"text.txt\" ctt_s=\"null\" ctt_t=\"null\" "
          "text=\"The picture, Grüße\" />\n    </parts>\n    <addrs>\n      <addr address=\"" +
          other + "\" type=\"137\" charset=\"106\" />\n      <addr address=\"+4917099999999\" "
          "type=\"151\" charset=\"106\" />\n    </addrs>\n  </mms>\n");
    }
    put("</smses>\n");
    if (std::fclose(out) != 0) std::abort();
    return file;
  }();
  return path;
}

// Runs the program with the arguments: its wall time, processor time and peak memory in MiB.
bool Run(const std::vector<std::string>& arguments, double& seconds, double& peakMiB,
         double& cpuSeconds) {
  bench::ChildRun run;
  const bool ran = bench::RunChild(LARKPOST_PROGRAM, arguments, run);
  seconds = run.seconds;
  peakMiB = run.peakMiB;
  cpuSeconds = run.cpuSeconds;
  return ran && run.status == 0;
}

// Runs the program, timing it, for a benchmark of the XML's size.
void Timed(benchmark::State& state, const std::vector<std::string>& arguments,
           bool intoEmptyStore) {
  double peak = 0, cpu = 0, cpuTotal = 0, wall = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string store = Folder() + "/store.db";
    if (intoEmptyStore) {
      // Into an empty store each time.
      for (const char* end : {"", "-wal", "-shm"}) std::remove((store + end).c_str());
      double unused = 0;
      if (!Run({"--store", store, "store", "init"}, unused, unused, unused)) std::abort();
    }
    state.ResumeTiming();
    double seconds = 0;
    if (!Run(arguments, seconds, peak, cpu)) {
      state.SkipWithError("larkpost failed");
      return;
    }
    state.SetIterationTime(seconds);
    wall += seconds;
    cpuTotal += cpu;
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["peak_MiB"] = peak;
  state.counters["cpu_s"] = cpuTotal / runs;
  state.counters["XML_MBps"] = static_cast<double>(FileSize(XmlFile())) / 1e6 / (wall / runs);
}

void Convert(benchmark::State& state, const std::string& in, const std::string& out) {
  Timed(state, {"convert", "--force", in, out}, false);
  state.counters["XML_MiB"] = static_cast<double>(FileSize(XmlFile())) / (1 << 20);
}

const std::string& ZipFile() {
  static const std::string path = Folder() + "/out.zip";
  return path;
}

void BM_MmsXmlToZip(benchmark::State& state) {
  Convert(state, XmlFile(), ZipFile());
}
void BM_MmsZipToXml(benchmark::State& state) {
  if (FileSize(ZipFile()) == 0) {
    double seconds = 0, peak = 0, cpu = 0;
    if (!Run({"convert", "--force", XmlFile(), ZipFile()}, seconds, peak, cpu)) std::abort();
  }
  const std::string back = Folder() + "/back.xml";
  Convert(state, ZipFile(), back);
  // The XML written again holds every attachment: about the size it had.
  state.counters["back_MiB"] = static_cast<double>(FileSize(back)) / (1 << 20);
}

void BM_MmsRestoreIntoStore(benchmark::State& state) {
  Timed(state, {"--store", Folder() + "/store.db", "restore", "--yes", XmlFile()}, true);
  state.counters["store_MiB"] = static_cast<double>(FileSize(Folder() + "/store.db")) / (1 << 20);
}
void BM_MmsStoreBackupToZip(benchmark::State& state) {
  Timed(state, {"--store", Folder() + "/store.db", "backup", "--force", Folder() + "/store.zip"},
        false);
}

BENCHMARK(BM_MmsXmlToZip)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_MmsZipToXml)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_MmsRestoreIntoStore)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_MmsStoreBackupToZip)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
}  // namespace larkpost

int main(int argc, char** argv) {
  return larkpost::bench::RunBenchmarksThenRemove(argc, argv, larkpost::Folder);
}
