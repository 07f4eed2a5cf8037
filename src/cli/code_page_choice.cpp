#include "cli/code_page_choice.h"

#include <ostream>

#include "cli/printable.h"
#include "jobs/backup_code_page.h"
#include "platform/text/text.h"

namespace larkpost {

bool UseDetectedCodePage(const std::vector<std::string>& paths, CliStreams& io) {
  std::string first;      // the first file whose texts told their code page
  unsigned codePage = 0;  // and that code page
  bool backupFiles = false;
  for (const std::string& path : paths) {
    DetectedCodePage detected;
    if (!DetectFileCodePage(PathToWide(path), detected)) continue;
    backupFiles = true;
    // Plain ASCII reads alike in every code page, and a page ICU could not tell says nothing.
    if (detected.ascii || detected.codePage == 0) continue;
    if (codePage == 0) {
      codePage = detected.codePage;
      first = path;
    } else if (detected.codePage != codePage) {
      io.err << "larkpost: the texts of " << PrintableLine(first) << " look like code page "
             << codePage << ", those of " << PrintableLine(path) << " like " << detected.codePage
             << ", and one run reads one code page: convert each into a .zip with its "
                "--codepage first, then merge those.\n";
      return false;
    }
  }
  if (!backupFiles) return true;
  if (codePage != 0 && SetAnsiCodePage(codePage)) {
    io.err << "Code page: " << codePage << " (detected)\n";
  } else {
    io.err << "Code page: " << GetACP() << " (the texts do not tell; the default)\n";
  }
  return true;
}

bool RefuseOtherCodePage(const std::vector<std::string>& paths, CliStreams& io) {
  for (const std::string& path : paths) {
    DetectedCodePage detected;
    if (!DetectFileCodePage(PathToWide(path), detected)) continue;
    const unsigned other = OtherCodePage(detected, GetACP());
    if (other == 0) continue;
    io.err << "larkpost: " << PrintableLine(path) << ": the texts look like code page " << other
           << ", not " << GetACP() << ", the default: give --codepage " << other
           << " (or --codepage auto) to read them so, or --codepage " << GetACP()
           << " to read them as " << GetACP() << " all the same. Nothing was written.\n";
    return false;
  }
  return true;
}

void HintOtherCodePage(const std::string& path, CliStreams& io) {
  DetectedCodePage detected;
  if (!DetectFileCodePage(PathToWide(path), detected)) return;
  const unsigned other = OtherCodePage(detected, GetACP());
  if (other == 0) return;
  io.err << "The texts look like code page " << other << ", not " << GetACP()
         << ": try --codepage " << other << " (or --codepage auto).\n";
}

}  // namespace larkpost
