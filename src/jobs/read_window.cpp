#include "jobs/read_window.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/file/file.h"

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
    if (file_ != nullptr) try {
      done = file_->ReadAt(position, bytes_.data(), size);
    } catch (...) {
      bytes_.clear();
      throw;
    }
    while (file_ == nullptr && done < size) {
      const ssize_t got =
          pread(fd_, bytes_.data() + done, size - done, static_cast<off_t>(position + done));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        const int osError = errno;
        bytes_.clear();
        throw CFileException(CFileException::CauseFromErrno(osError), osError, path_);
      }
      if (got == 0) break;  // the end of the file
      done += static_cast<size_t>(got);
    }
    bytes_.resize(done);
  }
  return std::string_view(bytes_).substr(static_cast<size_t>(position - start_));
}

}  // namespace larkpost
