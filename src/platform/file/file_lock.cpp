#include "platform/file/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace larkpost {

ExclusiveLock::~ExclusiveLock() { Release(); }

void ExclusiveLock::Release() {
  if (fd_ >= 0) close(fd_);  // closing the descriptor releases the lock
  fd_ = -1;
}

bool ExclusiveLock::Acquire(const std::string& path, const std::function<void()>& waiting,
                            const std::function<bool()>& stop, std::string& error) {
  error.clear();
  if (fd_ >= 0) return true;
  // Read access is enough for flock, and leaves a lock file another user made usable.
  const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  bool told = false;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      error = path + ": " + std::strerror(errno);
      close(fd);
      return false;
    }
    if (!told && waiting) waiting();
    told = true;
    if (stop && stop()) {
      close(fd);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  fd_ = fd;
  return true;
}

}  // namespace larkpost
