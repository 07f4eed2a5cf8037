// An exclusive advisory lock (flock) on a file kept for it, held while the object lives. The
// runs that read the message store before they decide what to write into it take one for their
// whole run, so two of them never decide on the same view of the store. The lock file is never
// removed: removing it would let a third run lock a new file while a second still waits on the
// old one.
#pragma once

#include <functional>
#include <string>

namespace larkpost {

class ExclusiveLock {
 public:
  ExclusiveLock() = default;
  ~ExclusiveLock();
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

  // Takes the lock of `path`, creating the file (mode 0600) when it is missing. When someone
  // else holds it, calls `waiting` once and tries again every 50 ms until it has the lock or
  // `stop` says to give up. False when given up (`error` empty) or when the file cannot be
  // opened (`error` says why).
  bool Acquire(const std::string& path, const std::function<void()>& waiting,
               const std::function<bool()>& stop, std::string& error);
  void Release();

 private:
  int fd_ = -1;
};

}  // namespace larkpost
