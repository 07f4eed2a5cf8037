// The media folder of an HTML page: every picture and attachment of its multimedia messages as
// one file in a folder beside the page ("archive_files" for "archive.html"), which the page
// names relatively, so that page and folder can be moved or copied together.
//
// The names come from the message (a part's file name, name or content location) and are
// untrusted: each is made one harmless file name of the folder (no "/", "\", "..", leading dot
// or control character, at most 120 bytes, unique within the folder however letters are cased)
// with an ending that matches its kind, so that opening a picture never runs it as a page or a
// program; the page's links carry them URL-escaped. A part's bytes are streamed from
// PartBytes::Open() into its file (mode 0600) and never held whole.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "message/multimedia.h"

namespace larkpost {

// Where a page's media go. The caller commits the folder with the page (platform/file/output_file.h).
struct PageMedia {
  std::string folderName;       // as the page's links name the folder: "archive_files"
  std::function<int()> folder;  // its descriptor, created on the first call; throws CFileException
};

// "archive_files" for "archive.html" or "archive.htm" (in any case), else the name + "_files".
std::string MediaFolderNameFor(const std::string& pageName);

// The part's media type in lower case, without parameters: "image/jpeg" of "Image/JPEG; name=a".
std::string MediaTypeOf(const MessagePart& part);

// True for the kinds a page shows inline: JPEG, PNG, GIF, WebP, BMP.
bool IsPicture(const std::string& mediaType);

// The letters of a URL path segment, every byte outside A-Z a-z 0-9 - . _ ~ escaped as %XX.
std::string UrlEscaped(std::string_view utf8);

// A picture's size in pixels from its first bytes (PNG, GIF, JPEG, WebP, BMP); false when the
// bytes are none of those or are cut short. `read(offset, buffer, count)` returns the bytes read.
using ReadAt = std::function<size_t(uint64_t offset, unsigned char* buffer, size_t count)>;
bool PictureSize(const ReadAt& read, uint32_t& width, uint32_t& height);

class MediaFolder {
 public:
  explicit MediaFolder(PageMedia media, std::u16string pagePath)
      : media_(std::move(media)), pagePath_(std::move(pagePath)) {}

  struct Saved {
    std::string name;  // the file's name in the folder, UTF-8
    std::string href;  // the page's link to it: "archive_files/IMG%201.jpg"
    uint32_t width = 0;   // a picture's size in pixels; 0 when not known
    uint32_t height = 0;
  };

  // False for a page without a folder (written to a pipe): its attachments are named, not saved.
  bool saves() const { return static_cast<bool>(media_.folder); }
  // The name a part's file gets: made safe and unique in the folder, and then taken.
  std::string NameFor(const MessagePart& part);
  // Writes the part's bytes into a new file of the folder. Throws CFileException naming the page.
  Saved Save(const MessagePart& part);

 private:
  PageMedia media_;
  std::u16string pagePath_;
  std::unordered_set<std::string> taken_;  // the names given, in lower case
};

}  // namespace larkpost
