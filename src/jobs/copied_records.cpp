#include "jobs/copied_records.h"

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "backupfile/record.h"

namespace larkpost {

CopiedRecords::CopiedRecords(const std::u16string& path)
    : file_(path, CFile::modeRead | CFile::shareDenyNone),
      path_(path),
      opened_(Stat()),
      window_(file_) {}

bool CopiedRecords::Unchanged() const {
  const struct stat now = Stat();
  return now.st_size == opened_.st_size && now.st_mtim.tv_sec == opened_.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == opened_.st_mtim.tv_nsec;
}

void CopiedRecords::Bytes(uint64_t start, std::string& bytes) {
  // What the window holds first, then twice that each time the record goes on past it.
  size_t wanted = 0;
  for (;;) {
    const std::string_view rest = window_.At(start, wanted);
    if (const size_t size = RecordSize(rest)) {
      bytes.assign(rest.data(), size);
      return;
    }
    if (rest.size() < wanted) Fail(EIO);  // the file ends inside
    wanted = std::max<size_t>(rest.size() * 2, 1024);
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

}  // namespace larkpost
