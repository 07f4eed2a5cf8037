#include "jobs/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

[[noreturn]] void ThrowForTarget(int osError, const std::u16string& target) {
  throw CFileException(CFileException::CauseFromErrno(osError), osError, target);
}

// The folder part of a path ("." for a bare name) and its last component.
void SplitPath(const std::string& path, std::string& folder, std::string& name) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    folder.assign(1, '.');
    name = path;
  } else {
    folder.assign(path, 0, slash == 0 ? 1 : slash);
    name.assign(path, slash + 1, std::string::npos);
  }
}

}  // namespace

OutputFile PrepareOutputFile(const std::u16string& target) {
  OutputFile output;
  output.target = target;
  output.writePath = target;
  std::string path = WideToUtf8(target);

  struct stat info {};
  if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    // Replace what the link points to, not the link itself.
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) path = resolved;
  }
  if (stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) ThrowForTarget(EISDIR, target);
    if (!S_ISREG(info.st_mode)) return output;  // a device or pipe: written in place
    // Renaming would replace a file that may not be written; refuse as opening it would.
    if (access(path.c_str(), W_OK) != 0) ThrowForTarget(errno, target);
  }

  std::string folder, name;
  SplitPath(path, folder, name);
  if (name.empty()) ThrowForTarget(EISDIR, target);
  std::string pattern = (folder == "/" ? "" : folder) + "/." + name + ".XXXXXX.part";
  if (folder == ".") pattern = "." + name + ".XXXXXX.part";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const int fd = mkstemps(buffer.data(), 5);  // mode 0600
  if (fd < 0) ThrowForTarget(errno, target);
  close(fd);
  output.writePath = Utf8ToWide(buffer.data());
  output.temporary = true;
  output.finalPath = Utf8ToWide(path);
  return output;
}

void CommitOutputFile(const OutputFile& output) {
  if (!output.temporary) return;
  const std::string from = WideToUtf8(output.writePath);
  const std::string to = WideToUtf8(output.finalPath);
  if (rename(from.c_str(), to.c_str()) != 0) ThrowForTarget(errno, output.target);
  std::string folder, name;
  SplitPath(to, folder, name);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) ThrowForTarget(errno, output.target);
  // Some file systems cannot sync a folder (EINVAL); the rename then is as durable as they allow.
  const int result = fsync(fd);
  const int syncError = errno;
  close(fd);
  if (result != 0 && syncError != EINVAL) ThrowForTarget(syncError, output.target);
}

}  // namespace larkpost
