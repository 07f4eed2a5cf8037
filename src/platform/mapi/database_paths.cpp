// Where the store file is (the chosen path, else the XDG default), and whether it can be written.
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/mapi/database_internal.h"
#include "platform/mapi/provider.h"

namespace larkpost::mapi {

namespace {

std::mutex pathMutex;
std::string& ChosenPath() {
  static std::string path;
  return path;
}

}  // namespace

bool OnReadOnlyMount(const std::string& path) {
  struct statvfs info {};
  return statvfs(path.c_str(), &info) == 0 && (info.f_flag & ST_RDONLY) != 0;
}

bool MakeFolders(const std::string& dir) {
  if (dir.empty()) return true;
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(dir.substr(0, slash))) return false;
  return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

bool DatabaseIsReadOnly(const std::string& path) {
  if (access(path.c_str(), F_OK) != 0) return false;
  if (OnReadOnlyMount(path) || access(path.c_str(), W_OK) != 0) return true;
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  return access(folder.c_str(), W_OK) != 0;
}

void SetDatabasePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(pathMutex);
  ChosenPath() = path;
}

std::string DatabasePath() {
  {
    std::lock_guard<std::mutex> lock(pathMutex);
    if (!ChosenPath().empty()) return ChosenPath();
  }
  return DefaultDatabasePath();
}

std::string DefaultDatabasePath() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  // A relative XDG_DATA_HOME is ignored, as the base-directory rules say.
  if (dataHome != nullptr && dataHome[0] == '/') {
    return std::string(dataHome) + "/larkpost/messages.db";
  }
  const char* home = std::getenv("HOME");
  std::string homeDir = home != nullptr ? home : "";
  if (homeDir.empty()) {
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
      homeDir = entry->pw_dir;
    }
  }
  return homeDir + "/.local/share/larkpost/messages.db";
}

}  // namespace larkpost::mapi
