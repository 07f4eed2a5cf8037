#include "formats/file_sniff.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string_view>

#include "platform/text/text.h"

namespace larkpost {

namespace {

std::string FirstBytes(const std::u16string& path, size_t count) {
  std::string bytes(count, '\0');
  const int fd = open(WideToPath(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::string();
  size_t got = 0;
  while (got < count) {
    const ssize_t n = read(fd, bytes.data() + got, count - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  bytes.resize(got);
  return bytes;
}

// The text from the first character that is not white space or a byte order mark, lower case.
std::string Opening(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  const size_t first = bytes.find_first_not_of(" \t\r\n");
  std::string text(first == std::string_view::npos ? std::string_view() : bytes.substr(first));
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

std::string WhatTheFileLooksLike(const std::u16string& path) {
  const std::string bytes = FirstBytes(path, 512);
  const std::string_view head(bytes);
  const std::string text = Opening(head);
  struct Kind {
    bool matches;
    const char* sentence;
  };
  const Kind kinds[] = {
      {head.starts_with("\x89PNG\r\n\x1a\n"), "It looks like a PNG picture, which a picture viewer opens."},
      {head.starts_with("\xFF\xD8\xFF"), "It looks like a JPEG picture, which a picture viewer opens."},
      {head.starts_with("GIF87a") || head.starts_with("GIF89a"),
       "It looks like a GIF picture, which a picture viewer opens."},
      {head.starts_with("%PDF-"), "It looks like a PDF document, which a PDF viewer opens."},
      {head.starts_with(std::string_view("SQLite format 3\0", 16)),
       "It looks like an SQLite database: if it is a message store, name it with --store; "
       "otherwise the program that made it reads it."},
      {head.starts_with(std::string_view("PK\3\4", 4)),
       "It looks like a ZIP archive: a phone's SMS Import / Export file is read when its name "
       "ends in .zip."},
      {text.starts_with("<?xml") || text.starts_with("<smses"),
       "It looks like an XML file: a phone's SMS Backup & Restore file is read when its name "
       "ends in .xml."},
      {text.starts_with("<!doctype html") || text.starts_with("<html"),
       "It looks like an HTML page, which a browser opens; pages are written, never read back."},
      {text.starts_with("{\"folder\":"),
       "It looks like a dump of a message store (NDJSON), which `larkpost store load FILE` "
       "reads into a store."},
      {text.starts_with("sender:") && text.find("recipients:") != std::string::npos,
       "It looks like a text export, which is for reading only: a text editor opens it; it "
       "cannot be restored."},
  };
  for (const Kind& kind : kinds) {
    if (kind.matches) return kind.sentence;
  }
  return std::string();
}

}  // namespace larkpost
