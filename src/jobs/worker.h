// How a run's worker is started and waited for, shared by StartBackup and StartRestore: the
// worker runs on a std::thread kept here, the user-interface thread waits in the front end's
// progress view until the job's `finished` is set, and the thread is joined after that (the
// worker may still be showing its result message when `finished` is set first).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace larkpost {

// Runs `work` on a new thread and waits for it as described above. When the thread cannot be
// created, shows "Create thread error." as a warning and returns false without waiting.
bool RunWorker(const std::function<void()>& work, const std::atomic<double>& progress,
               const std::atomic<int32_t>& finished);

// For tests: while set, creating a worker thread fails as it does when the system refuses.
void FailWorkerCreationForTesting(bool fail);

}  // namespace larkpost
