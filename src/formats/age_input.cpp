#include "formats/age_input.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/file/file.h"

namespace larkpost::age {

size_t AgeInput::ReadFull(char* into, size_t size) {
  size_t done = 0;
  while (done < size) {
    const size_t got = Read(into + done, size - done);
    if (got == 0) break;
    done += got;
  }
  return done;
}

bool AgeInput::ReadLine(std::string& line, size_t limit, bool& complete) {
  // A byte at a time: only the header is read by lines, and it is a few hundred bytes.
  line.clear();
  complete = false;
  char c = 0;
  while (line.size() <= limit) {
    if (Read(&c, 1) == 0) return !line.empty();
    if (c == '\n') {
      complete = true;
      return true;
    }
    line.push_back(c);
  }
  return true;  // over the limit: incomplete, which every caller refuses
}

size_t FdInput::Read(char* into, size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd_, into, size);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) {
      throw CFileException(CFileException::CauseFromErrno(errno), errno, name_);
    }
  }
}

size_t MemoryInput::Read(char* into, size_t size) {
  const size_t n = std::min(size, rest_.size());
  std::memcpy(into, rest_.data(), n);
  rest_.remove_prefix(n);
  return n;
}

size_t PrefixedInput::Read(char* into, size_t size) {
  if (used_ < prefix_.size()) {
    const size_t n = std::min(size, prefix_.size() - used_);
    std::memcpy(into, prefix_.data() + used_, n);
    used_ += n;
    return n;
  }
  return rest_.Read(into, size);
}

}  // namespace larkpost::age
