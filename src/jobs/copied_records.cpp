#include "jobs/copied_records.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "backupfile/record.h"

namespace larkpost {

namespace {

constexpr size_t kFirstRead = 1024;
constexpr size_t kMaxReadAhead = 256 * 1024;

}  // namespace

CopiedRecords::CopiedRecords(const std::u16string& path)
    : file_(path, CFile::modeRead | CFile::shareDenyNone), path_(path), opened_(Stat()) {}

bool CopiedRecords::Unchanged() const {
  const struct stat now = Stat();
  return now.st_size == opened_.st_size && now.st_mtim.tv_sec == opened_.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == opened_.st_mtim.tv_nsec;
}

void CopiedRecords::Bytes(uint64_t start, std::string& bytes) {
  const uint64_t end = windowStart_ + window_.size();
  if (window_.empty() || start < windowStart_ || start >= end) {
    const bool follows = !window_.empty() && start >= windowStart_ && start < end + readAhead_;
    readAhead_ = follows ? std::min(readAhead_ * 2, kMaxReadAhead) : kFirstRead;
    Fill(start, readAhead_);
  }
  for (;;) {
    const std::string_view rest(window_.data() + (start - windowStart_),
                                windowStart_ + window_.size() - start);
    if (const size_t size = RecordSize(rest)) {
      bytes.assign(rest.data(), size);
      return;
    }
    if (atEnd_) Fail(EIO);
    Fill(start, std::max(rest.size() * 2, kFirstRead));
  }
}

void CopiedRecords::Message(uint64_t start, MessageRecord& message) {
  file_.Seek(static_cast<int64_t>(start), CFile::begin);
  std::u16string error;
  if (!ReadRecord(file_, message, error)) Fail(EIO);
}

struct stat CopiedRecords::Stat() const {
  struct stat info {};
  if (fstat(file_.GetHandle(), &info) != 0) Fail(errno);
  return info;
}

void CopiedRecords::Fail(int osError) const {
  throw CFileException(CFileException::CauseFromErrno(osError), osError, path_);
}

void CopiedRecords::Fill(uint64_t start, size_t size) {
  windowStart_ = start;
  window_.resize(size);
  size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(file_.GetHandle(), window_.data() + done, size - done,
                              static_cast<off_t>(start + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Fail(errno);
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  atEnd_ = done < size;
  window_.resize(done);
}

}  // namespace larkpost
