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
    return FileRangeSource(file_, file_->fd_, start_, size_, file_->beside_);
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
  if (fd_ >= 0) close(fd_);
}

void SpoolFile::Open() {
  FILE* file = OpenUnnamedFileBeside(beside_);
  fd_ = dup(fileno(file));
  const int error = errno;
  fclose(file);
  if (fd_ < 0) ThrowErrno(error, beside_);
}

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
  if (fd_ < 0) Open();
  size_t at = 0;
  while (at < buffer_.size()) {
    const ssize_t wrote = write(fd_, buffer_.data() + at, buffer_.size() - at);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) ThrowErrno(errno, beside_);
    at += static_cast<size_t>(wrote);
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
