#include "platform/file/output_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>

#include "platform/file/byte_sink.h"
#include "platform/file/memory_files.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

constexpr char kPartialSuffix[] = ".part";
constexpr size_t kRandomLength = 6;

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

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder == ".") return name;
  return (folder == "/" ? std::string() : folder) + "/" + name;
}

// The path with its folder resolved (links, "..", relative parts); the last component kept as
// it is. Empty when the folder cannot be resolved.
std::string CanonicalPath(const std::string& path) {
  std::string folder, name;
  SplitPath(path, folder, name);
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) == nullptr) return std::string();
  return JoinPath(resolved, name);
}

// True when `path` (which may not exist yet) is one of the protected files: the same canonical
// name, or the same file under another name (a link, a hard link).
bool IsProtected(const std::string& path, const std::vector<std::string>& protectedFiles) {
  const std::string canonical = CanonicalPath(path);
  struct stat target {};
  const bool exists = stat(path.c_str(), &target) == 0;
  for (const std::string& file : protectedFiles) {
    if (!canonical.empty() && canonical == CanonicalPath(file)) return true;
    struct stat other {};
    if (exists && stat(file.c_str(), &other) == 0 && other.st_dev == target.st_dev &&
        other.st_ino == target.st_ino) {
      return true;
    }
  }
  return false;
}

bool IsPartialNameOf(const std::string& entry, const std::string& name) {
  const std::string prefix = "." + name + ".";
  const size_t suffixLength = sizeof kPartialSuffix - 1;
  if (entry.size() != prefix.size() + kRandomLength + suffixLength) return false;
  if (entry.compare(0, prefix.size(), prefix) != 0) return false;
  if (entry.compare(entry.size() - suffixLength, suffixLength, kPartialSuffix) != 0) return false;
  for (size_t i = prefix.size(); i < prefix.size() + kRandomLength; ++i) {
    const char c = entry[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

// A listing of the folder from its first entry, through a duplicate of its descriptor. The
// duplicate shares the descriptor's position, which an earlier listing left at the end: without
// the rewind a second listing of the same folder would find nothing.
DIR* ListingOf(int folder) {
  const int listing = dup(folder);
  DIR* dir = listing >= 0 ? fdopendir(listing) : nullptr;
  if (dir == nullptr) {
    if (listing >= 0) close(listing);
    return nullptr;
  }
  rewinddir(dir);
  return dir;
}

// Removes what a folder holds, through its descriptor: the files and links of a companion
// folder (which holds no folders; anything that is one stays, and keeps the folder).
void RemoveEntriesOf(int folder) {
  DIR* dir = ListingOf(folder);
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") unlinkat(folder, name.c_str(), 0);
  }
  closedir(dir);
}

// Removes the folder `name` in `parent` and the files in it; false when something stays.
bool RemoveFolderOfFiles(int parent, const std::string& name) {
  const int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  RemoveEntriesOf(fd);
  close(fd);
  return unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

// True when `name` in `parent` is a folder (not a link to one) that holds no folder.
bool IsFolderOfFiles(int parent, const std::string& name) {
  const int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* dir = ListingOf(fd);
  bool onlyFiles = dir != nullptr;
  while (onlyFiles) {
    const dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    const std::string entryName = entry->d_name;
    if (entryName == "." || entryName == "..") continue;
    struct stat info {};
    onlyFiles = fstatat(fd, entryName.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                !S_ISDIR(info.st_mode);
  }
  if (dir != nullptr) closedir(dir);
  close(fd);
  return onlyFiles;
}

// The file inside every companion folder a run builds: it names the file the folder was made
// for, so that a later run replaces only a folder made for the file it replaces. Hidden, and no
// name a page gives its media starts with a dot.
constexpr char kCompanionMark[] = ".larkpost-page";

// True when the companion folder `name` in `parent` holds the mark naming `finalName`.
bool IsMarkedFor(int parent, const std::string& name, const std::string& finalName) {
  const int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const int mark = openat(fd, kCompanionMark, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  close(fd);
  if (mark < 0) return false;
  const std::string wanted = finalName + "\n";
  std::string held(wanted.size() + 1, '\0');
  size_t got = 0;
  while (got < held.size()) {
    const ssize_t n = read(mark, held.data() + got, held.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(mark);
  held.resize(got);
  return held == wanted;
}

// Writes the mark naming `finalName` into the companion folder `folder`; false when it failed
// (errno set).
bool MarkFor(int folder, const std::string& finalName) {
  const int mark = openat(folder, kCompanionMark,
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (mark < 0) return false;
  const std::string text = finalName + "\n";
  const bool wrote = write(mark, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int osError = wrote ? 0 : (errno != 0 ? errno : ENOSPC);
  close(mark);
  errno = osError;
  return wrote;
}

// Removes the partial files (and companion folders) of earlier runs for `name` that no live run
// holds. A run holds its partial file or folder locked from creation until it is renamed or
// closed; creation itself happens under a shared lock of the folder, which this takes
// exclusively, so nothing can be caught between its creation and its lock. Only the user's own
// regular files and folders are touched. Best effort: any doubt leaves the entry where it is.
void RemoveStalePartials(int folder, const std::string& name) {
  if (flock(folder, LOCK_EX | LOCK_NB) != 0) return;
  DIR* dir = ListingOf(folder);
  if (dir == nullptr) {
    flock(folder, LOCK_UN);
    return;
  }
  while (const dirent* entry = readdir(dir)) {
    const std::string entryName = entry->d_name;
    if (!IsPartialNameOf(entryName, name)) continue;
    const int fd = openat(folder, entryName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat opened {};
    struct stat named {};
    if (fstat(fd, &opened) == 0 && (S_ISREG(opened.st_mode) || S_ISDIR(opened.st_mode)) &&
        opened.st_uid == geteuid() && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        fstatat(folder, entryName.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == opened.st_dev && named.st_ino == opened.st_ino) {
      if (S_ISDIR(opened.st_mode)) {
        RemoveEntriesOf(fd);
        unlinkat(folder, entryName.c_str(), AT_REMOVEDIR);
      } else {
        unlinkat(folder, entryName.c_str(), 0);
      }
    }
    close(fd);
  }
  closedir(dir);
  flock(folder, LOCK_UN);
}

std::string RandomPart() {
  static constexpr char kAlphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char bytes[kRandomLength];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    // No entropy source: the clock and the process still make a name O_EXCL can settle.
    static unsigned counter = 0;
    unsigned long seed = static_cast<unsigned long>(getpid()) * 2654435761UL ^
                         static_cast<unsigned long>(time(nullptr)) ^ ++counter * 40503UL;
    for (unsigned char& byte : bytes) {
      seed = seed * 6364136223846793005UL + 1442695040888963407UL;
      byte = static_cast<unsigned char>(seed >> 33);
    }
  }
  std::string part;
  for (unsigned char byte : bytes) part.push_back(kAlphabet[byte % (sizeof kAlphabet - 1)]);
  return part;
}

// Creates a new partial file in `folder` with O_EXCL and locks it; returns its descriptor and
// sets `partialName`. Throws CFileException naming the target.
int CreatePartial(int folder, const std::string& name, const std::u16string& target,
                  std::string& partialName) {
  flock(folder, LOCK_SH);  // keeps RemoveStalePartials out until our file is locked
  int fd = -1;
  int osError = EEXIST;
  for (int attempt = 0; attempt < 100 && fd < 0 && osError == EEXIST; ++attempt) {
    partialName = "." + name + "." + RandomPart() + kPartialSuffix;
    fd = openat(folder, partialName.c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    osError = fd < 0 ? errno : 0;
  }
  if (fd >= 0) flock(fd, LOCK_EX | LOCK_NB);
  flock(folder, LOCK_UN);
  if (fd < 0) ThrowForTarget(osError, target);
  return fd;
}

}  // namespace

OutputRefused::OutputRefused(std::u16string text) : text(std::move(text)) {}

const char* OutputRefused::what() const noexcept {
  try {
    auto* self = const_cast<OutputRefused*>(this);
    self->what_ = WideToUtf8(text);
    return what_.c_str();
  } catch (...) {
    return "output refused";
  }
}

OutputFile::~OutputFile() {
  DiscardCompanionFolder(*this);
  if (folder_ >= 0) close(folder_);
}

OutputFile::OutputFile(OutputFile&& other) noexcept { *this = std::move(other); }

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    DiscardCompanionFolder(*this);
    if (folder_ >= 0) close(folder_);
    target = std::move(other.target);
    writePath = std::move(other.writePath);
    finalPath = std::move(other.finalPath);
    temporary = other.temporary;
    folder_ = std::exchange(other.folder_, -1);
    partialName_ = std::move(other.partialName_);
    finalName_ = std::move(other.finalName_);
    companionName_ = std::move(other.companionName_);
    companionPartialName_ = std::move(other.companionPartialName_);
    companion_ = std::exchange(other.companion_, -1);
  }
  return *this;
}

int OwnDescriptorOf(const std::string& path) {
  if (path == "/dev/stdout") return 1;
  if (path == "/dev/stderr") return 2;
  for (const std::string_view folder : {"/dev/fd/", "/proc/self/fd/"}) {
    if (path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0) continue;
    int fd = 0;
    for (size_t i = folder.size(); i < path.size(); ++i) {
      if (path[i] < '0' || path[i] > '9' || fd > 1000000) return -1;
      fd = fd * 10 + (path[i] - '0');
    }
    return fd;
  }
  return -1;
}

void OpenOutputFile(OutputFile& output, const std::u16string& target,
                    const std::vector<std::string>& protectedFiles, CFile& file) {
  output = OutputFile();
  output.target = target;
  output.writePath = target;
  std::string path = WideToPath(target);

  if (const int own = OwnDescriptorOf(path); own >= 0) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr && IsProtected(resolved, protectedFiles)) {
      throw OutputRefused(target + u" is the message store or one of its files; a backup is "
                                   u"never written over it.");
    }
    const int fd = fcntl(own, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) ThrowForTarget(errno, target);
    file.Attach(fd, output.writePath, CFile::modeWrite | CFile::modeSequential);
    output.stream = true;
    return;
  }

  struct stat info {};
  if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    // As cp does: write through to the file the link points to, but never through a link that
    // points nowhere (that would create a file at a place the user never named).
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) {
      if (errno == ENOENT) {
        throw OutputRefused(target +
                            u" is a symbolic link to a file that does not exist; not writing "
                            u"through it.");
      }
      ThrowForTarget(errno, target);
    }
    path = resolved;
  }
  if (IsProtected(path, protectedFiles)) {
    throw OutputRefused(target + u" is the message store or one of its files; a backup is never "
                                 u"written over it.");
  }
  if (stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) ThrowForTarget(EISDIR, target);
    if (!S_ISREG(info.st_mode)) {  // a device or pipe: written in place
      // Without O_NONBLOCK, opening a pipe nobody reads waits for a reader for ever.
      const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
      if (fd < 0) {
        if (errno == ENXIO) {
          throw OutputRefused(target + u" is a pipe that nobody reads; nothing was written.");
        }
        ThrowForTarget(errno, target);
      }
      const int flags = fcntl(fd, F_GETFL);
      if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int osError = errno;
        close(fd);
        ThrowForTarget(osError, target);
      }
      file.Attach(fd, output.writePath, CFile::modeWrite);
      return;
    }
    // Renaming would replace a file that may not be written; refuse as opening it would.
    if (access(path.c_str(), W_OK) != 0) ThrowForTarget(errno, target);
  } else if (errno != ENOENT) {
    ThrowForTarget(errno, target);
  }

  std::string folder;
  SplitPath(path, folder, output.finalName_);
  if (output.finalName_.empty()) ThrowForTarget(EISDIR, target);
  output.folder_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (output.folder_ < 0) ThrowForTarget(errno, target);

  RemoveStalePartials(output.folder_, output.finalName_);
  const int fd = CreatePartial(output.folder_, output.finalName_, target, output.partialName_);
  output.writePath = PathToWide(JoinPath(folder, output.partialName_));
  output.finalPath = PathToWide(path);
  output.temporary = true;
  file.Attach(fd, output.writePath, CFile::modeWrite);
}

void PlanCompanionFolder(OutputFile& output, const std::string& name) {
  if (!output.temporary || name.empty()) return;  // a direct write has nowhere to put one
  struct stat info {};
  if (fstatat(output.folder_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISDIR(info.st_mode) || !IsFolderOfFiles(output.folder_, name) ||
        !IsMarkedFor(output.folder_, name, output.finalName_)) {
      throw OutputRefused(output.target + u" comes with the folder " + PathToWide(name) +
                          u" beside it, and what has that name now is not a folder Larkpost "
                          u"made for this page; not replacing it. Move it away or choose "
                          u"another name.");
    }
  } else if (errno != ENOENT) {
    ThrowForTarget(errno, output.target);
  }
  RemoveStalePartials(output.folder_, name);
  output.companionName_ = name;
}

int CompanionFolder(OutputFile& output) {
  if (output.companion_ >= 0) return output.companion_;
  if (output.companionName_.empty() || output.folder_ < 0) ThrowForTarget(EINVAL, output.target);
  flock(output.folder_, LOCK_SH);  // keeps RemoveStalePartials out until the folder is locked
  std::string name;
  int osError = EEXIST;
  for (int attempt = 0; attempt < 100 && osError == EEXIST; ++attempt) {
    name = "." + output.companionName_ + "." + RandomPart() + kPartialSuffix;
    osError = mkdirat(output.folder_, name.c_str(), 0700) == 0 ? 0 : errno;
  }
  int fd = -1;
  if (osError == 0) {
    fd = openat(output.folder_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      osError = errno;
      unlinkat(output.folder_, name.c_str(), AT_REMOVEDIR);
    } else {
      flock(fd, LOCK_EX | LOCK_NB);
      fchmod(fd, 0700);  // whatever the umask: it holds private pictures
      if (!MarkFor(fd, output.finalName_)) {
        osError = errno;
        RemoveEntriesOf(fd);
        close(fd);
        fd = -1;
        unlinkat(output.folder_, name.c_str(), AT_REMOVEDIR);
      }
    }
  }
  flock(output.folder_, LOCK_UN);
  if (fd < 0) ThrowForTarget(osError, output.target);
  output.companion_ = fd;
  output.companionPartialName_ = name;
  return fd;
}

void DiscardCompanionFolder(OutputFile& output) {
  if (output.companion_ < 0) return;
  RemoveEntriesOf(output.companion_);
  if (output.folder_ >= 0) {
    unlinkat(output.folder_, output.companionPartialName_.c_str(), AT_REMOVEDIR);
  }
  close(output.companion_);
  output.companion_ = -1;
  output.companionPartialName_.clear();
}

CompanionState CompanionStateOf(const std::u16string& target, const std::string& name) {
  std::string folder, finalName;
  SplitPath(WideToPath(target), folder, finalName);
  const int parent = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) return CompanionState::kAbsent;
  struct stat info {};
  CompanionState state = CompanionState::kAbsent;
  if (fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    state = S_ISDIR(info.st_mode) && IsFolderOfFiles(parent, name) &&
                    IsMarkedFor(parent, name, finalName)
                ? CompanionState::kMadeForTarget
                : CompanionState::kOther;
  }
  close(parent);
  return state;
}

void CommitOutputFile(OutputFile& output, CFile& file) {
  if (!output.temporary) {
    file.Close();
    return;
  }
  const int folder = output.folder_;
  const char* companion = output.companionName_.c_str();
  const char* built = output.companionPartialName_.c_str();
  // The companion first: then the new file never names a folder that is not there. Exchanged
  // with an older folder of its name, so each name holds a whole folder at every moment; the
  // older one ends up under the partial name and goes once the file is in place.
  bool olderAside = false;
  if (output.companion_ >= 0) {
    // Its files' bytes and names on storage before it takes the older one's place: one sync of
    // the file system rather than one per picture.
    if (syncfs(output.companion_) != 0 || (fsync(output.companion_) != 0 && errno != EINVAL)) {
      ThrowForTarget(errno, output.target);
    }
    if (renameat2(folder, built, folder, companion, RENAME_EXCHANGE) == 0) {
      olderAside = true;
    } else if (errno == ENOENT) {
      if (renameat2(folder, built, folder, companion, RENAME_NOREPLACE) != 0) {
        ThrowForTarget(errno, output.target);
      }
    } else if (errno == EINVAL || errno == ENOSYS) {
      // A file system without the exchange: the older folder goes first, then the new one takes
      // its name (a crash between the two leaves the older page without its pictures).
      if (!RemoveFolderOfFiles(folder, companion) ||
          renameat(folder, built, folder, companion) != 0) {
        ThrowForTarget(errno != 0 ? errno : EEXIST, output.target);
      }
    } else {
      ThrowForTarget(errno, output.target);
    }
  }
  // Renamed while still open and locked, so no other run takes it for stale meanwhile.
  if (renameat(folder, output.partialName_.c_str(), folder, output.finalName_.c_str()) != 0) {
    const int osError = errno;
    if (output.companion_ >= 0) {
      // The older file stays: so does its folder, and the new one goes back to being built.
      if (olderAside) {
        renameat2(folder, built, folder, companion, RENAME_EXCHANGE);
      } else {
        renameat(folder, companion, folder, built);
      }
    }
    ThrowForTarget(osError, output.target);
  }
  output.writePath = output.finalPath;
  output.temporary = false;
  if (output.companion_ >= 0) {
    if (olderAside) RemoveFolderOfFiles(folder, built);
    close(output.companion_);
    output.companion_ = -1;
    output.companionPartialName_.clear();
  } else if (!output.companionName_.empty()) {
    RemoveFolderOfFiles(folder, companion);  // the replaced file's, which nothing names now
  }
  file.Close();
  // Some file systems cannot sync a folder (EINVAL); the rename then is as durable as they allow.
  if (fsync(folder) != 0 && errno != EINVAL) ThrowForTarget(errno, output.target);
}

}  // namespace larkpost
