#include "platform/file/memory_files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

std::mutex substitutesMutex;
std::map<std::u16string, int>& Substitutes() {
  static std::map<std::u16string, int> substitutes;
  return substitutes;
}
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

void SubstituteInput(const std::u16string& path, int fd) {
  std::lock_guard<std::mutex> lock(substitutesMutex);
  int& slot = Substitutes()[path];
  if (slot > 0) close(slot);
  slot = fd;
}

std::u16string ReadablePath(const std::u16string& path) {
  std::lock_guard<std::mutex> lock(substitutesMutex);
  const auto found = Substitutes().find(path);
  if (found == Substitutes().end()) return path;
  const std::string proc = "/proc/self/fd/" + std::to_string(found->second);
  return std::u16string(proc.begin(), proc.end());
}

void ClearSubstitutes() {
  std::lock_guard<std::mutex> lock(substitutesMutex);
  for (const auto& [path, fd] : Substitutes()) close(fd);
  Substitutes().clear();
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
