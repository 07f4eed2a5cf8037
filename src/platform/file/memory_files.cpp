#include "platform/file/memory_files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

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

FILE* OpenUnnamedFileBeside(const std::u16string& path) {
  if (ScratchInMemory()) {  // a run with encrypted files puts no plaintext on the disk
    const int fd = CreateMemoryFile("larkpost-scratch", path);
    if (FILE* file = fdopen(fd, "w+b")) return file;
    const int osError = errno;
    close(fd);
    throw CFileException(CFileException::CauseFromErrno(osError), osError, path);
  }
  const std::string target = WideToPath(path);
  const size_t slash = target.rfind('/');
  std::string name = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) +
                     ".larkpost-XXXXXX";
  const int fd = mkstemp(name.data());
  int osError = errno;
  if (fd >= 0) {
    unlink(name.c_str());  // nothing is left behind, whatever happens
    if (FILE* file = fdopen(fd, "w+b")) return file;
    osError = errno;
    close(fd);
  }
  throw CFileException(CFileException::CauseFromErrno(osError), osError, path);
}

}  // namespace larkpost
