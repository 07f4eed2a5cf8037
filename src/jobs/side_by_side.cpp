#include "jobs/side_by_side.h"

#include <chrono>
#include <utility>

namespace larkpost {

namespace {

// A processor's hint that it is spinning.
void Pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Spins until `ready()` or a few dozen microseconds have passed, where another processor may
// make it so meanwhile.
template <typename Ready>
void SpinBriefly(const Ready& ready) {
  static const bool others = std::thread::hardware_concurrency() > 1;
  if (!others) return;
  constexpr auto kLimit = std::chrono::microseconds(50);
  const auto start = std::chrono::steady_clock::now();
  while (!ready()) {
    for (int i = 0; i < 64; ++i) Pause();
    if (std::chrono::steady_clock::now() - start > kLimit) return;
  }
}

}  // namespace

AheadThread::AheadThread() : thread_([this] { Serve(); }) {}

AheadThread::~AheadThread() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void AheadThread::Start(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = std::move(job);
    done_ = false;
    started_ = true;
  }
  changed_.notify_all();
}

void AheadThread::Wait() {
  SpinBriefly([this] { return done_.load(); });
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return done_.load(); });
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void AheadThread::Serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!started_ && !stopping_) {
      lock.unlock();
      SpinBriefly([this] { return started_.load(); });
      lock.lock();
    }
    changed_.wait(lock, [this] { return stopping_ || job_; });
    if (!job_) return;
    std::function<void()> job = std::move(job_);
    job_ = nullptr;
    started_ = false;
    lock.unlock();
    std::exception_ptr failure;
    try {
      job();
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    failure_ = failure;
    done_ = true;
    changed_.notify_all();
  }
}

}  // namespace larkpost
