// How a run's worker is started and waited for, shared by StartBackup and StartRestore: the
// worker runs on a std::thread kept here, the user-interface thread waits in the front end's
// progress view until the job's `finished` is set, and the thread is joined after that (the
// worker may still be showing its result message when `finished` is set first).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "jobs/outcome.h"

namespace larkpost {

// The end of one run, held by its worker: the outcome is recorded and `finished` signalled
// exactly once, whatever way the worker leaves (a way out that said nothing ends as kFailed).
// Two orders, as the system has them: Report shows the message while the progress view is still
// up and then signals `finished`; ReportAfterFinish (file errors) signals `finished` first, so the
// view closes while the message is shown. The outcome is always stored before the message, so
// the front end can route the message by it.
class RunEnd {
 public:
  RunEnd(std::atomic<RunOutcome>& outcome, std::atomic<int32_t>& finished)
      : outcome_(outcome), finished_(finished) {}
  ~RunEnd() { Signal(); }
  RunEnd(const RunEnd&) = delete;
  RunEnd& operator=(const RunEnd&) = delete;

  void Report(RunOutcome outcome, const std::u16string& text, unsigned type);
  void Report(RunOutcome outcome, unsigned stringId, unsigned type);
  void ReportAfterFinish(RunOutcome outcome, const std::u16string& text, unsigned type);
  // Records the outcome and signals `finished` without a message.
  void End(RunOutcome outcome);

 private:
  void Signal();

  std::atomic<RunOutcome>& outcome_;
  std::atomic<int32_t>& finished_;
  bool recorded_ = false;
  bool signalled_ = false;
};

// Runs `work` on a new thread and waits for it as described above. When the thread cannot be
// created, shows "Create thread error." as a warning and returns false without waiting.
bool RunWorker(const std::function<void()>& work, const std::atomic<double>& progress,
               const std::atomic<int32_t>& finished);

// For tests: while set, creating a worker thread fails as it does when the system refuses.
void FailWorkerCreationForTesting(bool fail);

}  // namespace larkpost
