#include "formats/page_media.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

constexpr size_t kMaxNameBytes = 120;

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// The ending a file of this kind gets when its name has none (or, for a picture, a wrong one).
std::string EndingFor(const std::string& type) {
  static const std::pair<const char*, const char*> kEndings[] = {
      {"image/jpeg", ".jpg"},     {"image/jpg", ".jpg"},        {"image/pjpeg", ".jpg"},
      {"image/png", ".png"},      {"image/gif", ".gif"},        {"image/webp", ".webp"},
      {"image/bmp", ".bmp"},      {"image/x-ms-bmp", ".bmp"},   {"audio/amr", ".amr"},
      {"audio/mpeg", ".mp3"},     {"audio/mp4", ".m4a"},        {"audio/aac", ".aac"},
      {"audio/ogg", ".ogg"},      {"audio/3gpp", ".3gp"},       {"video/mp4", ".mp4"},
      {"video/3gpp", ".3gp"},     {"video/webm", ".webm"},      {"text/x-vcard", ".vcf"},
      {"text/vcard", ".vcf"},     {"text/x-vcalendar", ".vcs"}, {"text/calendar", ".ics"},
      {"text/plain", ".txt"},     {"application/pdf", ".pdf"},
  };
  for (const auto& [kind, ending] : kEndings) {
    if (type == kind) return ending;
  }
  return ".bin";
}

// Endings whose files a browser opening the link shows as what they are (a picture, a sound, a
// film, plain text, a PDF) or hands to another program as a download, and never renders as a
// page or runs as a script, whatever the bytes inside: on a local file the browser takes the
// kind from the ending and does not look for markup in the content. Any other ending may be a
// page to some browser or system ("x.shtm", "x.xhtm", "x.ehtml", "x.svg", "x.xml"), or an
// ending no table knows, whose content a browser may sniff.
bool IsInertEnding(const std::string& ending) {
  static const char* const kInert[] = {
      // pictures
      ".jpg", ".jpeg", ".jpe", ".png", ".gif", ".webp", ".bmp", ".ico", ".heic", ".heif",
      ".avif", ".tif", ".tiff",
      // sound and film
      ".amr", ".awb", ".mp3", ".m4a", ".aac", ".ogg", ".oga", ".opus", ".wav", ".flac", ".mid",
      ".midi", ".3gp", ".3g2", ".mp4", ".m4v", ".webm", ".mkv", ".mov", ".avi", ".mpg", ".mpeg",
      ".wmv", ".qcp",
      // text shown as text, calendar and contact cards, documents and archives downloaded
      ".txt", ".vcf", ".vcs", ".ics", ".pdf", ".doc", ".docx", ".xls", ".xlsx", ".ppt",
      ".pptx", ".odt", ".ods", ".odp", ".rtf", ".zip", ".7z", ".rar", ".gz", ".bin"};
  return std::find(std::begin(kInert), std::end(kInert), ending) != std::end(kInert);
}

bool IsPictureEnding(const std::string& ending) {
  static const char* const kPictures[] = {".jpg", ".jpeg", ".jpe", ".png", ".gif", ".webp",
                                          ".bmp"};
  return std::find(std::begin(kPictures), std::end(kPictures), ending) != std::end(kPictures);
}

// The name with every character a file name or a reader of it must not meet replaced by "_":
// separators, controls (C0, DEL, C1), the characters other systems forbid, the marks that
// reverse the order of what follows ("gpj.exe"), and halves of characters.
std::u16string Harmless(const std::u16string& name) {
  std::u16string out;
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    if (high && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
      out += c;
      out += name[++i];
      continue;
    }
    const bool bad = c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0xD800 && c <= 0xDFFF) ||
                     std::u16string_view(u"/\\:*?\"<>|").find(c) != std::u16string_view::npos ||
                     c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
                     (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
    out += bad ? u'_' : c;
  }
  // No hidden file, no "." or "..", nothing a system drops at the end.
  const size_t first = out.find_first_not_of(u". ");
  if (first == std::u16string::npos) return std::u16string();
  const size_t last = out.find_last_not_of(u". ");
  return out.substr(first, last - first + 1);
}

// The first `bytes` bytes of UTF-8 text, cut before a character rather than inside one.
std::string CutUtf8(const std::string& text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

uint32_t Little16(const unsigned char* p) { return p[0] | (p[1] << 8); }
uint32_t Big16(const unsigned char* p) { return (p[0] << 8) | p[1]; }
uint32_t Little24(const unsigned char* p) { return p[0] | (p[1] << 8) | (p[2] << 16); }
uint32_t Little32(const unsigned char* p) { return Little24(p) | (uint32_t{p[3]} << 24); }
uint32_t Big32(const unsigned char* p) { return (Big16(p) << 16) | Big16(p + 2); }

// A JPEG's size from its first frame header (SOFn), found by walking the marker segments.
bool JpegSize(const ReadAt& read, uint32_t& width, uint32_t& height) {
  uint64_t at = 2;
  unsigned char head[9];
  for (int segments = 0; segments < 4096; ++segments) {
    if (read(at, head, 4) != 4 || head[0] != 0xFF) return false;
    const unsigned char marker = head[1];
    if (marker == 0xFF) {  // a fill byte before the marker
      ++at;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
      at += 2;
      continue;
    }
    if (marker == 0xD9 || marker == 0xDA) return false;  // the image data without a frame
    const uint32_t length = Big16(head + 2);
    if (length < 2) return false;
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                       marker != 0xCC;
    if (frame) {
      if (read(at + 4, head, 5) != 5) return false;
      height = Big16(head + 1);
      width = Big16(head + 3);
      return width > 0 && height > 0;
    }
    at += 2 + length;
  }
  return false;
}

}  // namespace

std::string MediaFolderNameFor(const std::string& pageName) {
  const std::string lower = Lower(pageName);
  size_t stem = pageName.size();
  if (EndsWith(lower, ".html")) {
    stem -= 5;
  } else if (EndsWith(lower, ".htm")) {
    stem -= 4;
  }
  return pageName.substr(0, stem) + "_files";
}

std::string MediaTypeOf(const MessagePart& part) {
  if (!part.contentType) return std::string();
  std::string type = Lower(WideToUtf8(*part.contentType));
  type = type.substr(0, type.find(';'));
  const size_t first = type.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return type.substr(first, type.find_last_not_of(" \t") - first + 1);
}

bool IsPicture(const std::string& type) {
  return type == "image/jpeg" || type == "image/jpg" || type == "image/pjpeg" ||
         type == "image/png" || type == "image/gif" || type == "image/webp" ||
         type == "image/bmp" || type == "image/x-ms-bmp";
}

std::string UrlEscaped(std::string_view utf8) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : utf8) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

bool PictureSize(const ReadAt& read, uint32_t& width, uint32_t& height) {
  width = height = 0;
  unsigned char h[30] = {};
  const size_t got = read(0, h, sizeof h);
  if (got >= 24 && std::memcmp(h, "\x89PNG\r\n\x1a\n", 8) == 0 && std::memcmp(h + 12, "IHDR", 4) == 0) {
    width = Big32(h + 16);
    height = Big32(h + 20);
  } else if (got >= 10 && (std::memcmp(h, "GIF87a", 6) == 0 || std::memcmp(h, "GIF89a", 6) == 0)) {
    width = Little16(h + 6);
    height = Little16(h + 8);
  } else if (got >= 3 && h[0] == 0xFF && h[1] == 0xD8 && h[2] == 0xFF) {
    if (!JpegSize(read, width, height)) width = height = 0;
  } else if (got >= 30 && std::memcmp(h, "RIFF", 4) == 0 && std::memcmp(h + 8, "WEBP", 4) == 0) {
    if (std::memcmp(h + 12, "VP8 ", 4) == 0 && h[23] == 0x9D && h[24] == 0x01 && h[25] == 0x2A) {
      width = Little16(h + 26) & 0x3FFF;
      height = Little16(h + 28) & 0x3FFF;
    } else if (std::memcmp(h + 12, "VP8L", 4) == 0 && h[20] == 0x2F) {
      const uint32_t bits = Little32(h + 21);
      width = (bits & 0x3FFF) + 1;
      height = ((bits >> 14) & 0x3FFF) + 1;
    } else if (std::memcmp(h + 12, "VP8X", 4) == 0) {
      width = Little24(h + 24) + 1;
      height = Little24(h + 27) + 1;
    }
  } else if (got >= 26 && h[0] == 'B' && h[1] == 'M') {
    if (Little32(h + 14) == 12) {  // the old OS/2 header: 16-bit sizes
      width = Little16(h + 18);
      height = Little16(h + 20);
    } else {
      const int32_t w = static_cast<int32_t>(Little32(h + 18));
      const int32_t ht = static_cast<int32_t>(Little32(h + 22));  // negative: stored top down
      width = w > 0 ? static_cast<uint32_t>(w) : 0;
      height = ht == INT32_MIN ? 0 : static_cast<uint32_t>(ht < 0 ? -ht : ht);
    }
  }
  if (width == 0 || height == 0 || width > 100000 || height > 100000) {
    width = height = 0;
    return false;
  }
  return true;
}

std::string MediaFolder::NameFor(const MessagePart& part) {
  std::u16string wanted;
  for (const Column* column : {&part.fileName, &part.name, &part.contentLocation}) {
    if (*column && !(wanted = Harmless(**column)).empty()) break;
  }
  const std::string type = MediaTypeOf(part);
  std::string name = WideToUtf8(wanted.empty() ? std::u16string(u"attachment") : wanted);
  const size_t dot = name.rfind('.');
  std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  std::string ending = dot == std::string::npos || dot == 0 ? std::string() : Lower(name.substr(dot));
  if (ending.size() > 10) {  // no ending but a dot in the name
    stem = name;
    ending.clear();
  }
  if (IsPicture(type) ? !IsPictureEnding(ending) : ending.empty()) {
    stem += ending;
    ending = EndingFor(type);
  } else if (!IsInertEnding(ending)) {
    // Kept in the name, where it tells what the file was; the ending the kind gives, or ".txt"
    // for a kind without one, makes it open as something inert.
    stem += ending;
    ending = EndingFor(type);
    if (ending == ".bin") ending = ".txt";
  }
  stem = CutUtf8(stem, kMaxNameBytes - ending.size() - 4);  // room for "-999"
  for (unsigned n = 1;; ++n) {
    name = n == 1 ? stem + ending : stem + "-" + std::to_string(n) + ending;
    if (taken_.insert(Lower(name)).second) return name;
  }
}

MediaFolder::Saved MediaFolder::Save(const MessagePart& part) {
  Saved saved;
  saved.name = NameFor(part);
  saved.href = UrlEscaped(media_.folderName) + "/" + UrlEscaped(saved.name);
  const int folder = media_.folder();
  const int fd = openat(folder, saved.name.c_str(),
                        O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw CFileException(CFileException::CauseFromErrno(errno), errno, pagePath_);
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  auto fail = [this](int osError) {
    throw CFileException(CFileException::CauseFromErrno(osError), osError, pagePath_);
  };
  if (part.data != nullptr) {
    ByteSource source = part.data->Open();
    std::vector<char> buffer(64 * 1024);
    while (const size_t got = source(buffer.data(), buffer.size())) {
      for (size_t done = 0; done < got;) {
        const ssize_t wrote = write(fd, buffer.data() + done, got - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) fail(wrote < 0 ? errno : ENOSPC);
        done += static_cast<size_t>(wrote);
      }
    }
  }
  if (IsPicture(MediaTypeOf(part))) {
    PictureSize(
        [fd](uint64_t offset, unsigned char* buffer, size_t count) -> size_t {
          const ssize_t got = pread(fd, buffer, count, static_cast<off_t>(offset));
          return got < 0 ? 0 : static_cast<size_t>(got);
        },
        saved.width, saved.height);
  }
  closer.fd = -1;
  if (close(fd) != 0 && errno != EINTR) fail(errno);
  return saved;
}

}  // namespace larkpost
