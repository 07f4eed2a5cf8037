#include "formats/part_spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "formats/message_stream.h"
#include "platform/file/file.h"
#include "platform/file/memory_files.h"

namespace larkpost {

namespace {

constexpr size_t kBufferBytes = 256 * 1024;

[[noreturn]] void ThrowErrno(int error, const std::u16string& path) {
  throw CFileException(CFileException::CauseFromErrno(error), error, path);
}

}  // namespace

class SpooledBytes : public PartBytes {
 public:
  SpooledBytes(std::shared_ptr<SpoolFile> file, uint64_t start, uint64_t size)
      : file_(std::move(file)), start_(start), size_(size) {}
  uint64_t size() const override { return size_; }
  ByteSource Open() const override {
    if (file_->countOnly_) {
      throw std::logic_error("the bytes of this part were counted, not kept");
    }
    return ScratchRangeSource(file_, file_->file_, start_, size_, file_->beside_);
  }

 private:
  std::shared_ptr<SpoolFile> file_;
  uint64_t start_;
  uint64_t size_;
};

std::shared_ptr<PartSpool> PartSpool::CountOnly() {
  auto spool = std::make_shared<PartSpool>(std::u16string());
  spool->countOnly_ = true;
  return spool;
}

std::shared_ptr<SpoolFile> PartSpool::NewFile() {
  return std::shared_ptr<SpoolFile>(new SpoolFile(beside_, countOnly_));
}

SpoolFile::~SpoolFile() {
  if (file_ != nullptr) fclose(file_);
}

void SpoolFile::Open() { file_ = OpenScratchBeside(beside_); }

void SpoolFile::Append(std::string_view bytes) {
  if (countOnly_) {
    size_ += bytes.size();
    return;
  }
  buffer_.append(bytes);
  if (buffer_.size() >= kBufferBytes) Flush();
}

void SpoolFile::Flush() {
  if (buffer_.empty()) return;
  if (file_ == nullptr) Open();
  if (fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size() || fflush(file_) != 0) {
    ThrowErrno(errno, beside_);
  }
  size_ += buffer_.size();
  buffer_.clear();
}

std::shared_ptr<const PartBytes> SpoolFile::End() {
  Flush();  // a part is read from the file alone
  auto part = std::make_shared<SpooledBytes>(shared_from_this(), partStart_, size_ - partStart_);
  partStart_ = size_;
  return part;
}

}  // namespace larkpost
