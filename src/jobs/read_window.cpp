#include "jobs/read_window.h"

#include <algorithm>
#include <cerrno>

#include "platform/file/file.h"
#include "platform/file/memory_files.h"

namespace larkpost {

namespace {

constexpr size_t kFirstRead = 1024;
constexpr size_t kMaxReadAhead = 256 * 1024;

}  // namespace

std::string_view ReadWindow::At(uint64_t position, size_t count) {
  const uint64_t end = start_ + bytes_.size();
  if (bytes_.empty() || position < start_ || position + std::max<size_t>(count, 1) > end) {
    const bool follows = !bytes_.empty() && position >= start_ && position < end + readAhead_;
    readAhead_ = follows ? std::min(readAhead_ * 2, kMaxReadAhead) : kFirstRead;
    const size_t size = std::max(count, readAhead_);
    start_ = position;
    bytes_.resize(size);
    size_t done = 0;
    try {
      if (file_ != nullptr) {
        done = file_->ReadAt(position, bytes_.data(), size);
      } else {
        const ssize_t got = ReadScratchAt(scratch_, position, bytes_.data(), size);
        if (got < 0) {
          const int osError = errno;
          throw CFileException(CFileException::CauseFromErrno(osError), osError, path_);
        }
        done = static_cast<size_t>(got);
      }
    } catch (...) {
      bytes_.clear();
      throw;
    }
    bytes_.resize(done);
  }
  return std::string_view(bytes_).substr(static_cast<size_t>(position - start_));
}

}  // namespace larkpost
