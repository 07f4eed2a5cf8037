#include "platform/file/memory_files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

std::atomic<bool> scratchInMemory{false};

}  // namespace

int CreateMemoryFile(const char* name, const std::u16string& forPath) {
  const int fd = memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) throw CFileException(CFileException::CauseFromErrno(errno), errno, forPath);
  return fd;
}

void SealMemoryFile(int fd) {
  fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
}

int CreateUnnamedTempFile(const std::u16string& forPath) {
  std::error_code noTemp;
  std::string folder = std::filesystem::temp_directory_path(noTemp).string();
  if (noTemp) folder = "/tmp";
  int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string name = folder + "/.larkpost-XXXXXX";  // a file system without unnamed files
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) unlink(name.c_str());
  }
  if (fd < 0) throw CFileException(CFileException::CauseFromErrno(errno), errno, forPath);
  return fd;
}

void SetScratchInMemory(bool inMemory) { scratchInMemory = inMemory; }
bool ScratchInMemory() { return scratchInMemory; }

namespace {

// An unnamed file on the disk in the folder of `path`, mode 0600; -1 with errno.
int UnnamedDescriptorBeside(const std::u16string& path) {
  const std::string target = WideToPath(path);
  const size_t slash = target.rfind('/');
  std::string name = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) +
                     ".larkpost-XXXXXX";
  const int fd = mkstemp(name.data());
  if (fd >= 0) unlink(name.c_str());  // nothing is left behind, whatever happens
  return fd;
}

FILE* OpenDescriptor(int fd, const std::u16string& path) {
  int osError = errno;
  if (fd >= 0) {
    if (FILE* file = fdopen(fd, "w+b")) return file;
    osError = errno;
    close(fd);
  }
  throw CFileException(CFileException::CauseFromErrno(osError), osError, path);
}

std::mutex sealerMutex;
std::shared_ptr<const ScratchSealer> scratchSealer;

// A sealed scratch file behind a FILE (fopencookie): its bytes in chunks, one of them in memory.
class SealedScratch {
 public:
  static constexpr size_t kChunk = ScratchSealer::kChunk;

  SealedScratch(int fd, std::shared_ptr<const ScratchSealer> sealer)
      : fd_(fd),
        sealer_(std::move(sealer)),
        plain_(kChunk),
        record_(kChunk + sealer_->Overhead()) {}
  ~SealedScratch() { close(fd_); }

  ssize_t Write(const char* data, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t done = 0;
    while (done < size) {
      const uint64_t index = position_ / kChunk;
      const size_t within = static_cast<size_t>(position_ % kChunk);
      const size_t take = std::min(size - done, kChunk - within);
      if (!Hold(index, within == 0 && take == kChunk)) return done > 0 ? static_cast<ssize_t>(done) : -1;
      std::memcpy(plain_.data() + within, data + done, take);
      dirty_ = true;
      done += take;
      position_ += take;
      size_ = std::max(size_, position_);
    }
    return static_cast<ssize_t>(done);
  }

  ssize_t Read(char* into, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    const ssize_t got = ReadLocked(position_, into, size);
    if (got > 0) position_ += static_cast<uint64_t>(got);
    return got;
  }

  ssize_t ReadAt(uint64_t offset, void* into, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    return ReadLocked(offset, static_cast<char*>(into), size);
  }

  int Seek(off64_t* offset, int whence) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? static_cast<int64_t>(position_)
                                              : static_cast<int64_t>(size_);
    if (*offset < -base) {
      errno = EINVAL;
      return -1;
    }
    position_ = static_cast<uint64_t>(base + *offset);
    *offset = static_cast<off64_t>(position_);
    return 0;
  }

 private:
  static constexpr uint64_t kNone = ~uint64_t{0};

  ssize_t ReadLocked(uint64_t offset, char* into, size_t size) {
    if (offset >= size_) return 0;
    size = static_cast<size_t>(std::min<uint64_t>(size, size_ - offset));
    size_t done = 0;
    while (done < size) {
      const uint64_t index = (offset + done) / kChunk;
      const size_t within = static_cast<size_t>((offset + done) % kChunk);
      const size_t take = std::min(size - done, kChunk - within);
      if (!Hold(index, false)) return done > 0 ? static_cast<ssize_t>(done) : -1;
      std::memcpy(into + done, plain_.data() + within, take);
      done += take;
    }
    return static_cast<ssize_t>(done);
  }

  // Makes chunk `index` the one in memory; `whole`: it is about to be written over whole.
  bool Hold(uint64_t index, bool whole) {
    if (index == held_) return true;
    if (!PutBack()) return false;
    held_ = kNone;
    if (!whole && index < onDisk_.size() && onDisk_[index]) {
      const off_t at = static_cast<off_t>(index * record_.size());
      size_t got = 0;
      while (got < record_.size()) {
        const ssize_t n = pread(fd_, record_.data() + got, record_.size() - got,
                                at + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          if (n == 0) errno = EIO;
          return false;
        }
        got += static_cast<size_t>(n);
      }
      if (!sealer_->Open(index, record_.data(), plain_.data())) {
        errno = EIO;
        return false;
      }
    } else {
      std::fill(plain_.begin(), plain_.end(), 0);  // never written: zeros, as a file's hole
    }
    held_ = index;
    return true;
  }

  // Seals the chunk in memory to the disk when it was changed.
  bool PutBack() {
    if (!dirty_) return true;
    sealer_->Seal(held_, plain_.data(), record_.data());
    const off_t at = static_cast<off_t>(held_ * record_.size());
    size_t put = 0;
    while (put < record_.size()) {
      const ssize_t n = pwrite(fd_, record_.data() + put, record_.size() - put,
                               at + static_cast<off_t>(put));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      put += static_cast<size_t>(n);
    }
    if (onDisk_.size() <= held_) onDisk_.resize(held_ + 1);
    onDisk_[held_] = true;
    dirty_ = false;
    return true;
  }

  int fd_;
  std::shared_ptr<const ScratchSealer> sealer_;
  std::mutex mutex_;
  std::vector<unsigned char> plain_;   // chunk held_
  std::vector<unsigned char> record_;  // a sealed chunk on its way
  uint64_t held_ = kNone;
  bool dirty_ = false;
  std::vector<bool> onDisk_;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
};

std::mutex sealedFilesMutex;
std::map<FILE*, SealedScratch*>& SealedFiles() {
  static std::map<FILE*, SealedScratch*> files;
  return files;
}

SealedScratch* SealedOf(FILE* file) {
  std::lock_guard<std::mutex> lock(sealedFilesMutex);
  const auto found = SealedFiles().find(file);
  return found == SealedFiles().end() ? nullptr : found->second;
}

FILE* OpenSealed(int fd, std::shared_ptr<const ScratchSealer> sealer, const std::u16string& path) {
  auto* scratch = new SealedScratch(fd, std::move(sealer));
  cookie_io_functions_t functions{};
  functions.read = [](void* cookie, char* into, size_t size) -> ssize_t {
    return static_cast<SealedScratch*>(cookie)->Read(into, size);
  };
  functions.write = [](void* cookie, const char* data, size_t size) -> ssize_t {
    return static_cast<SealedScratch*>(cookie)->Write(data, size);
  };
  functions.seek = [](void* cookie, off64_t* offset, int whence) -> int {
    return static_cast<SealedScratch*>(cookie)->Seek(offset, whence);
  };
  functions.close = [](void* cookie) -> int {
    auto* scratch = static_cast<SealedScratch*>(cookie);
    {
      std::lock_guard<std::mutex> lock(sealedFilesMutex);
      for (auto it = SealedFiles().begin(); it != SealedFiles().end(); ++it) {
        if (it->second == scratch) {
          SealedFiles().erase(it);
          break;
        }
      }
    }
    delete scratch;
    return 0;
  };
  FILE* file = fopencookie(scratch, "w+", functions);
  if (file == nullptr) {
    const int osError = errno;
    delete scratch;
    throw CFileException(CFileException::CauseFromErrno(osError), osError, path);
  }
  std::lock_guard<std::mutex> lock(sealedFilesMutex);
  SealedFiles()[file] = scratch;
  return file;
}

}  // namespace

void SealScratch(std::shared_ptr<const ScratchSealer> sealer) {
  std::lock_guard<std::mutex> lock(sealerMutex);
  scratchSealer = std::move(sealer);
}

FILE* OpenScratchBeside(const std::u16string& path) {
  std::shared_ptr<const ScratchSealer> sealer;
  {
    std::lock_guard<std::mutex> lock(sealerMutex);
    sealer = scratchSealer;
  }
  if (sealer == nullptr) return OpenUnnamedFileBeside(path);
  const int fd = UnnamedDescriptorBeside(path);
  if (fd < 0) throw CFileException(CFileException::CauseFromErrno(errno), errno, path);
  return OpenSealed(fd, std::move(sealer), path);
}

ssize_t ReadScratchAt(FILE* file, uint64_t offset, void* into, size_t size) {
  if (SealedScratch* sealed = SealedOf(file)) return sealed->ReadAt(offset, into, size);
  auto* out = static_cast<char*>(into);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(fileno(file), out + done, size - done,
                            static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

FILE* OpenUnnamedFileBeside(const std::u16string& path) {
  if (ScratchInMemory()) {  // a run with encrypted files puts no plaintext on the disk
    return OpenDescriptor(CreateMemoryFile("larkpost-scratch", path), path);
  }
  return OpenDescriptor(UnnamedDescriptorBeside(path), path);
}

}  // namespace larkpost
