// Where a reader puts the bytes of the binary parts it decodes out of a file (the base64 of an
// XML part): unnamed files (mode 0600, gone when the last part of them is) in one folder, the
// output's, so that a 200 MB video costs disk there and no memory (sealed there in a run with
// encrypted files). A listing that only wants the sizes counts the bytes and keeps none.
//
// One SpoolFile holds the parts of one message, each written in one go from first byte to last;
// the file lives as long as any part made from it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "message/multimedia.h"

namespace larkpost {

class SpoolFile;

class PartSpool {
 public:
  // Spool files in the folder of `besidePath` (a file's path; the file need not exist).
  explicit PartSpool(std::u16string besidePath) : beside_(std::move(besidePath)) {}
  // Sizes only: the parts made say how many bytes they had and cannot be opened.
  static std::shared_ptr<PartSpool> CountOnly();

  // A file for the parts of one message, created on its first byte. Throws CFileException.
  std::shared_ptr<SpoolFile> NewFile();
  bool countOnly() const { return countOnly_; }

 private:
  std::u16string beside_;
  bool countOnly_ = false;
};

class SpoolFile : public std::enable_shared_from_this<SpoolFile> {
 public:
  ~SpoolFile();
  SpoolFile(const SpoolFile&) = delete;
  SpoolFile& operator=(const SpoolFile&) = delete;

  // Appends to the part being written (one is begun by the first Append after End). Throws
  // CFileException (a full disk among them).
  void Append(std::string_view bytes);
  // The part written since the last End; an empty one when nothing was appended.
  std::shared_ptr<const PartBytes> End();

 private:
  friend class PartSpool;
  SpoolFile(std::u16string besidePath, bool countOnly)
      : beside_(std::move(besidePath)), countOnly_(countOnly) {}
  void Open();
  void Flush();

  std::u16string beside_;
  bool countOnly_;
  FILE* file_ = nullptr;  // a scratch file (platform/file/memory_files.h)
  uint64_t size_ = 0;       // bytes in the file
  uint64_t partStart_ = 0;  // where the part being written began
  std::string buffer_;      // bytes not yet in the file
  friend class SpooledBytes;
};

}  // namespace larkpost
