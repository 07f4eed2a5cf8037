// Threads of a run that share its work: a thread kept for jobs handed to it one after the other
// (AheadThread), and a loop spread over the machine's processors (RunSideBySide). Both pass on
// what a job threw to the thread that waits for it.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace larkpost {

// A thread that runs the jobs it is given one at a time while its owner goes on: a merge's
// second pass reads ahead on it, batch after batch, without starting a thread for each. Either
// side spins for a few dozen microseconds before it sleeps, where another processor is there to
// end the wait: batches are handed over every few hundred microseconds, and a thread put to
// sleep and woken again for each would lose a good part of that.
class AheadThread {
 public:
  AheadThread();
  // Waits for the job running, if any.
  ~AheadThread();
  AheadThread(const AheadThread&) = delete;
  AheadThread& operator=(const AheadThread&) = delete;

  // Runs `job` on the thread; the job before must have been waited for.
  void Start(std::function<void()> job);
  // True when the job started last is over.
  bool Done() const { return done_; }
  // Waits for the job started last, and throws what it threw.
  void Wait();

 private:
  void Serve();

  // Changed under the mutex; atomic so that the spinning side may look at them without it.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> job_;
  std::atomic<bool> started_{false};  // job_ holds a job
  std::atomic<bool> done_{true};
  bool stopping_ = false;
  std::exception_ptr failure_;
  std::thread thread_;  // last: it starts when the rest is ready
};

// Runs `work(i)` for i in [0, count) on up to the machine's processors.
template <typename Work>
void RunSideBySide(size_t count, const Work& work) {
  std::atomic<size_t> next{0};
  std::vector<std::exception_ptr> failures(count);
  auto worker = [&] {
    for (size_t i = next++; i < count; i = next++) {
      try {
        work(i);
      } catch (...) {
        failures[i] = std::current_exception();
      }
    }
  };
  const size_t workers =
      std::min<size_t>(count, std::max(1u, std::thread::hardware_concurrency()));
  std::vector<std::thread> threads;
  for (size_t t = 1; t < workers; ++t) threads.emplace_back(worker);
  worker();
  for (std::thread& thread : threads) thread.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

}  // namespace larkpost
