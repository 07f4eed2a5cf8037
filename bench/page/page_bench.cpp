// Writes two pages of the same 100,000 messages, one where 5,000 of them are picture messages
// (with the media folder beside the page) and one without pictures, opens each in headless
// Chromium and reports, from inside the page: the time to its load event, the time of a first
// search (which builds the search index) and of a second one, each with the layout it causes,
// and how many pictures were decoded by the load event (lazy loading: only those in view).
//
//   page_bench [FOLDER]   (LARKPOST_PAGE_MESSAGES, LARKPOST_PAGE_PICTURES change the counts)
//
// Headless Chromium turns lazy loading off (every picture loads before the load event); the
// bench turns it on again (--blink-settings=lazyLoadEnabled=true), as a browser on a desktop has
// it. The machine is shared: compare the two pages' figures as ratios from one run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "formats/html_page.h"
#include "formats/test_pictures.h"
#include "platform/file/file.h"
#include "platform/text/text.h"
#include "platform/file/byte_sink.h"

namespace {

using namespace larkpost;

constexpr char kProbe[] = R"(<script>
window.addEventListener('load', function () {
  var loaded = performance.now(), decoded = 0, box = document.getElementById('q');
  Array.prototype.forEach.call(document.images, function (p) {
    if (p.complete && p.naturalWidth > 0) decoded++;
  });
  function search(words) {
    var start = performance.now();
    box.value = words;
    box.dispatchEvent(new Event('input'));
    void document.body.offsetHeight;
    return (performance.now() - start).toFixed(0);
  }
  var first = search('pizza'), second = search('bring pizza');
  var out = document.createElement('pre');
  out.id = 'probe';
  out.textContent = 'RESULT load_ms=' + loaded.toFixed(0) + ' first_search_ms=' + first +
      ' second_search_ms=' + second + ' pictures=' + document.images.length +
      ' decoded_at_load=' + decoded + ' shown=' + document.getElementById('n').textContent;
  document.body.appendChild(out);
});
</script>
</body>)";

long Env(const char* name, long fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::atol(value) : fallback;
}

MessageRecord Message(long i, bool picture) {
  static const char16_t* const kTexts[] = {
      u"Are you coming tonight? Bring something to eat.", u"Sure! I'll bring the pizza",
      u"Running 10 minutes late, sorry!", u"Happy birthday! Call me when you are up.",
      u"The train is delayed again", u"Thanks for the evening, next time at our place?"};
  MessageRecord record;
  const bool received = i % 3 != 0;
  record.folderPath = received ? u"Inbox" : u"Sentedbox";
  record.deliveryTime = record.lastModified = UnixTimeToFileTime(1600000000 + i * 997);
  const std::u16string other = Utf8ToWide("+49151" + std::to_string(1000000 + i % 500));
  const std::u16string name = Utf8ToWide("Contact " + std::to_string(i % 500));
  if (received) {
    record.senderName = name;
    record.senderAddress = other;
  } else {
    record.recipients = {{name, other, 1}};
  }
  record.text = kTexts[i % 6];
  if (picture) {
    auto multimedia = std::make_shared<Multimedia>();
    MessagePart text;
    text.contentType = u"text/plain";
    text.text = record.text;
    MessagePart image;
    image.contentType = u"image/png";
    image.name = Utf8ToWide("IMG_" + std::to_string(i) + ".png");
    image.data = BytesInMemory(
        testing::DrawnPng(48, 32, static_cast<uint32_t>(0x204060 + (i * 2654435761u) % 0xA0A0A0)));
    multimedia->parts = {image, text};
    record.multimedia.value = std::move(multimedia);
  }
  return record;
}

// Writes the page and its probed copy; returns the seconds the page took to write.
double WritePage(const std::string& folder, const std::string& name, long messages, long pictures) {
  const auto start = std::chrono::steady_clock::now();
  const std::string media = folder + "/" + MediaFolderNameFor(name);
  std::system(("rm -rf '" + media + "'").c_str());
  mkdir(media.c_str(), 0700);
  const int fd = open(media.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  CFile file(Utf8ToWide(folder + "/" + name), CFile::modeCreate | CFile::modeWrite);
  CFileSink sink(file);
  auto writer = HtmlWriter(sink, PageMedia{MediaFolderNameFor(name), [fd] { return fd; }});
  std::string error;
  const long every = pictures > 0 ? messages / pictures : 0;
  for (long i = 0; i < messages; ++i) {
    writer->Write(Message(i, every > 0 && i % every == every - 1 && i / every < pictures), error);
  }
  writer->Finish();
  file.Close();
  close(fd);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::ifstream in(folder + "/" + name);
  std::stringstream page;
  page << in.rdbuf();
  std::string probed = page.str();
  probed.replace(probed.rfind("</body>"), 7, kProbe);
  std::ofstream(folder + "/probe-" + name) << probed;
  return took.count();
}

std::string Measure(const std::string& folder, const std::string& name) {
  const std::string dom = folder + "/" + name + ".dom";
  const std::string command =
      "timeout 600 chromium --headless --no-sandbox --disable-gpu --no-first-run "
      "--disable-background-networking --disable-component-update --disable-sync "
      "--user-data-dir='" + folder + "/profile-" + name + "' --window-size=1000,1200 "
      "--blink-settings=lazyLoadEnabled=true --dump-dom "
      "'file://" + folder + "/probe-" + name + "' >'" + dom + "' 2>/dev/null";
  std::system(command.c_str());
  std::ifstream in(dom);
  std::string line;
  while (std::getline(in, line)) {
    const std::string report = "<pre id=\"probe\">RESULT ";
    const size_t at = line.find(report);
    if (at != std::string::npos) {
      const size_t start = at + report.size();
      return line.substr(start, line.find('<', start) - start);
    }
  }
  return "no result (Chromium failed)";
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder = argc > 1 ? argv[1] : "page-bench";
  mkdir(folder.c_str(), 0700);
  char absolute[4096];
  if (realpath(folder.c_str(), absolute) == nullptr) return 1;
  folder = absolute;
  const long messages = Env("LARKPOST_PAGE_MESSAGES", 100000);
  const long pictures = Env("LARKPOST_PAGE_PICTURES", 5000);
  const double plain = WritePage(folder, "plain.html", messages, 0);
  const double withPictures = WritePage(folder, "pictures.html", messages, pictures);
  std::cout << messages << " messages, no pictures:   written in " << plain << " s; "
            << Measure(folder, "plain.html") << "\n";
  std::cout << messages << " messages, " << pictures << " pictures: written in " << withPictures
            << " s; " << Measure(folder, "pictures.html") << "\n";
  return 0;
}
