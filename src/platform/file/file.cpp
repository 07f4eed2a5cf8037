#include "platform/file/file.h"
#include "platform/file/input_view.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/text/text.h"

namespace {

constexpr size_t kBufferSize = 64 * 1024;

// The buffer keeps its own idea of the position, so seekable files are read and written at
// explicit offsets; pipes and terminals have none.
ssize_t WriteAt(int fd, bool seekable, const void* data, size_t length, uint64_t offset) {
  return seekable ? ::pwrite(fd, data, length, static_cast<off_t>(offset)) : ::write(fd, data, length);
}

// The framework's standard texts, by cause.
const char16_t* const kCauseTexts[] = {
    u"No error occurred.",
    u"An unexpected error occurred while accessing %1.",
    u"%1 was not found.",
    u"%1 contains an invalid path.",
    u"%1 could not be opened because there are too many open files.",
    u"Access to %1 was denied.",
    u"An invalid file handle was associated with %1.",
    u"%1 could not be removed because it is the current directory.",
    u"%1 could not be created because the directory is full.",
    u"Seek failed on %1",
    u"A hardware I/O error was reported while accessing %1.",
    u"A sharing violation occurred while accessing %1.",
    u"A locking violation occurred while accessing %1.",
    u"Disk full while accessing %1.",
    u"An attempt was made to access %1 past its end.",
};

// The platform tells a missing file (fileNotFound) from a missing folder on the way to it
// (badPath); POSIX says ENOENT for both.
int CauseOfOpenFailure(const std::string& name, int osError) {
  if (osError == ENOENT) {
    const size_t slash = name.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
      struct stat info;
      if (::stat(name.substr(0, slash).c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return CFileException::badPath;
    }
  }
  return CFileException::CauseFromErrno(osError);
}

}  // namespace

CFileException::CFileException(int cause, int osError, std::u16string fileName)
    : m_cause(cause), m_lOsError(osError), m_strFileName(std::move(fileName)) {}

std::u16string CFileException::ErrorMessage() const {
  const int count = static_cast<int>(sizeof kCauseTexts / sizeof kCauseTexts[0]);
  const char16_t* pattern = (m_cause >= 0 && m_cause < count) ? kCauseTexts[m_cause] : kCauseTexts[genericException];
  const std::u16string name = m_strFileName.empty() ? std::u16string(u"an unnamed file") : m_strFileName;
  std::u16string text;
  for (const char16_t* p = pattern; *p != 0; ++p) {
    if (p[0] == u'%' && p[1] == u'1') {
      text += name;
      ++p;
    } else {
      text += *p;
    }
  }
  return text;
}

bool CFileException::GetErrorMessage(char16_t* buffer, unsigned maxChars) const {
  if (buffer == nullptr || maxChars == 0) return false;
  const std::u16string text = ErrorMessage();
  const size_t length = text.size() < maxChars - 1 ? text.size() : maxChars - 1;
  std::memcpy(buffer, text.data(), length * sizeof(char16_t));
  buffer[length] = 0;
  return true;
}

int CFileException::CauseFromErrno(int err) {
  switch (err) {
    case 0:
      return none;
    case ENOENT:
      return fileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:  // the platform refuses to open a folder as a file the same way
      return accessDenied;
    case ENOSPC:
    case EDQUOT:
      return diskFull;
    case EIO:
      return hardIO;
    case ENOTDIR:
    case ENAMETOOLONG:
      return badPath;
    case EMFILE:
    case ENFILE:
      return tooManyOpenFiles;
    case EBADF:
      return invalidFile;
    default:
      return genericException;
  }
}

const char* CFileException::what() const noexcept {
  try {
    auto* self = const_cast<CFileException*>(this);
    self->what_ = larkpost::WideToUtf8(ErrorMessage());
    return what_.c_str();
  } catch (...) {
    return "file error";
  }
}

CFile::CFile() = default;

CFile::CFile(const std::u16string& path, unsigned flags) {
  CFileException error;
  if (!Open(path, flags, &error)) throw error;
}

CFile::~CFile() { CloseQuietly(); }

// Writes out what it can and closes; for the destructor and for reopening.
void CFile::CloseQuietly() {
  if (fd_ < 0) return;
  int ignored;
  WriteOutBuffer(&ignored);
  Abort();
}

bool CFile::Open(const std::u16string& path, unsigned flags, CFileException* error) {
  CloseQuietly();
  int oflags = O_CLOEXEC;
  switch (flags & 0x3) {
    case modeWrite:
      oflags |= O_WRONLY;
      break;
    case modeReadWrite:
      oflags |= O_RDWR;
      break;
    default:
      oflags |= O_RDONLY;
      break;
  }
  if (flags & modeCreate) {
    oflags |= O_CREAT;
    if (!(flags & modeNoTruncate)) oflags |= O_TRUNC;
  }
  const std::string name = larkpost::WideToPath(path);
  // An encrypted input is read through its view (input_view.h); its name stays the user's.
  std::shared_ptr<const larkpost::InputView> view;
  if ((flags & 0x3) == modeRead) view = larkpost::SubstituteOf(path);
  if (view != nullptr) {
    const int fd = ::fcntl(view->Descriptor(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
      const int osError = errno;
      if (error != nullptr) {
        *error = CFileException(CFileException::CauseFromErrno(osError), osError, path);
      }
      return false;
    }
    Attach(fd, path, modeRead);
    view_ = view->NewReader();
    viewSize_ = view->Size();
    seekable_ = true;
    return true;
  }
  int fd;
  do {
    fd = ::open(name.c_str(), oflags, 0600);  // backups hold private messages
  } while (fd < 0 && errno == EINTR);
  int osError = fd < 0 ? errno : 0;
  if (fd >= 0) {
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) osError = EISDIR;
    if (osError != 0) ::close(fd);
  }
  if (osError != 0) {
    if (error != nullptr) *error = CFileException(CauseOfOpenFailure(name, osError), osError, path);
    return false;
  }
  Attach(fd, path, flags);
  return true;
}

void CFile::Attach(int fd, const std::u16string& path, unsigned flags) {
  CloseQuietly();
  fd_ = fd;
  path_ = path;
  writable_ = (flags & 0x3) != modeRead;
  seekable_ = (flags & modeSequential) == 0 && ::lseek(fd, 0, SEEK_CUR) >= 0;
  readPos_ = readEnd_ = writeLen_ = 0;
  filePos_ = 0;
  if (buffer_.size() != kBufferSize) buffer_.resize(kBufferSize);
}

ssize_t CFile::ReadRaw(void* data, size_t length, uint64_t offset) {
  if (view_ != nullptr) return static_cast<ssize_t>(view_->ReadAt(offset, data, length));
  return seekable_ ? ::pread(fd_, data, length, static_cast<off_t>(offset))
                   : ::read(fd_, data, length);
}

size_t CFile::ReadAt(uint64_t offset, void* buffer, size_t count) {
  if (fd_ < 0) Throw(CFileException::invalidFile, EBADF);
  if (!seekable_) Throw(CFileException::badSeek, ESPIPE);
  if (writeLen_ > 0) {
    int osError = 0;
    if (!WriteOutBuffer(&osError)) ThrowErrno(osError);
  }
  auto* out = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ReadRaw(out + done, count - done, offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

void CFile::Throw(int cause, int osError) const { throw CFileException(cause, osError, path_); }

void CFile::ThrowErrno(int osError) const { Throw(CFileException::CauseFromErrno(osError), osError); }

bool CFile::WriteOutBuffer(int* osError) {
  size_t done = 0;
  while (done < writeLen_) {
    ssize_t n = WriteAt(fd_, seekable_, buffer_.data() + done, writeLen_ - done, filePos_ + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *osError = errno;
      // Keep what was not written so the position and length stay right.
      std::memmove(buffer_.data(), buffer_.data() + done, writeLen_ - done);
      writeLen_ -= done;
      filePos_ += done;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  filePos_ += writeLen_;
  writeLen_ = 0;
  return true;
}

void CFile::DropReadBuffer() {
  filePos_ -= readEnd_ - readPos_;
  readPos_ = readEnd_ = 0;
}

unsigned CFile::ReadBeyondBuffer(void* buffer, unsigned count) {
  if (fd_ < 0) Throw(CFileException::invalidFile, EBADF);
  if (writeLen_ > 0) {
    int osError = 0;
    if (!WriteOutBuffer(&osError)) ThrowErrno(osError);
  }
  unsigned char* out = static_cast<unsigned char*>(buffer);
  unsigned total = 0;
  while (total < count) {
    if (readPos_ < readEnd_) {
      size_t take = readEnd_ - readPos_;
      if (take > count - total) take = count - total;
      std::memcpy(out + total, buffer_.data() + readPos_, take);
      readPos_ += take;
      total += static_cast<unsigned>(take);
      continue;
    }
    readPos_ = readEnd_ = 0;
    // Large reads go straight to the caller's buffer; small ones refill ours.
    const bool direct = count - total >= kBufferSize;
    unsigned char* target = direct ? out + total : buffer_.data();
    const size_t want = direct ? count - total : kBufferSize;
    ssize_t n = ReadRaw(target, want, filePos_);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno);
    }
    if (n == 0) break;  // end of file
    filePos_ += static_cast<uint64_t>(n);
    if (direct) {
      total += static_cast<unsigned>(n);
    } else {
      readEnd_ = static_cast<size_t>(n);
    }
  }
  return total;
}

void CFile::Write(const void* buffer, unsigned count) {
  if (fd_ < 0) Throw(CFileException::invalidFile, EBADF);
  if (!writable_) Throw(CFileException::accessDenied, EBADF);
  if (count == 0) return;
  if (readEnd_ > 0) DropReadBuffer();
  const unsigned char* in = static_cast<const unsigned char*>(buffer);
  if (writeLen_ + count > kBufferSize) {
    int osError = 0;
    if (!WriteOutBuffer(&osError)) ThrowErrno(osError);
  }
  if (count < kBufferSize) {
    std::memcpy(buffer_.data() + writeLen_, in, count);
    writeLen_ += count;
    return;
  }
  size_t done = 0;
  while (done < count) {
    ssize_t n = WriteAt(fd_, seekable_, in + done, count - done, filePos_);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno);
    }
    done += static_cast<size_t>(n);
    filePos_ += static_cast<uint64_t>(n);
  }
}

uint64_t CFile::Seek(int64_t offset, unsigned from) {
  if (fd_ < 0) Throw(CFileException::invalidFile, EBADF);
  int64_t base;
  switch (from) {
    case begin:
      base = 0;
      break;
    case current:
      base = static_cast<int64_t>(GetPosition());
      break;
    case end:
      base = static_cast<int64_t>(GetLength());
      break;
    default:
      Throw(CFileException::badSeek, EINVAL);
  }
  if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset))
    Throw(CFileException::badSeek, EINVAL);
  const uint64_t target = static_cast<uint64_t>(base + offset);
  // A seek inside the bytes already read keeps the read buffer.
  if (readEnd_ > 0 && target <= filePos_ && target >= filePos_ - readEnd_) {
    readPos_ = static_cast<size_t>(target - (filePos_ - readEnd_));
    return target;
  }
  if (writeLen_ > 0) {
    int osError = 0;
    if (!WriteOutBuffer(&osError)) ThrowErrno(osError);
  }
  if (!seekable_) Throw(CFileException::badSeek, ESPIPE);
  readPos_ = readEnd_ = 0;
  filePos_ = target;
  return target;
}

uint64_t CFile::SeekToBegin() { return Seek(0, begin); }

uint64_t CFile::GetPosition() const {
  if (fd_ < 0) Throw(CFileException::invalidFile, EBADF);
  return filePos_ - (readEnd_ - readPos_) + writeLen_;
}

uint64_t CFile::GetLength() const {
  if (fd_ < 0) Throw(CFileException::invalidFile, EBADF);
  if (view_ != nullptr) return viewSize_;
  struct stat info;
  if (::fstat(fd_, &info) != 0) ThrowErrno(errno);
  uint64_t length = static_cast<uint64_t>(info.st_size);
  if (writeLen_ > 0 && filePos_ + writeLen_ > length) length = filePos_ + writeLen_;
  return length;
}

void CFile::Flush() {
  if (fd_ < 0) return;
  int osError = 0;
  if (!WriteOutBuffer(&osError)) ThrowErrno(osError);
}

void CFile::Close() {
  if (fd_ < 0) return;
  int osError = 0;
  bool written = WriteOutBuffer(&osError);
  if (::close(fd_) != 0 && written && errno != EINTR) {
    written = false;
    osError = errno;
  }
  fd_ = -1;
  view_.reset();
  writeLen_ = readPos_ = readEnd_ = 0;
  if (!written) ThrowErrno(osError);
}

void CFile::Abort() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  view_.reset();
  writeLen_ = readPos_ = readEnd_ = 0;
}

int CFile::GetHandle() const { return fd_; }

std::u16string CFile::GetFilePath() const { return path_; }

bool FlushFileBuffers(CFile& file) {
  if (file.fd_ < 0) return false;
  int osError = 0;
  if (!file.WriteOutBuffer(&osError)) {
    errno = osError;
    return false;
  }
  // Character devices and pipes cannot be synchronised; there is nothing to flush there.
  if (::fdatasync(file.fd_) != 0 && errno != EINVAL && errno != EROFS) return false;
  return true;
}
