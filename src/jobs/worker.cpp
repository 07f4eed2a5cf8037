#include "jobs/worker.h"

#include <cerrno>
#include <system_error>
#include <thread>

#include "platform/framework/framework.h"
#include "platform/framework/strings.h"

namespace larkpost {

namespace {
std::atomic<bool> failWorkerCreation{false};
}  // namespace

void RunEnd::Report(RunOutcome outcome, const std::u16string& text, unsigned type) {
  outcome_.store(outcome);
  recorded_ = true;
  AfxMessageBox(text, type);
  Signal();
}

void RunEnd::Report(RunOutcome outcome, unsigned stringId, unsigned type) {
  Report(outcome, LoadString(stringId), type);
}

void RunEnd::ReportAfterFinish(RunOutcome outcome, const std::u16string& text, unsigned type) {
  End(outcome);
  AfxMessageBox(text, type);
}

void RunEnd::End(RunOutcome outcome) {
  outcome_.store(outcome);
  recorded_ = true;
  Signal();
}

void RunEnd::Signal() {
  if (signalled_) return;
  if (!recorded_) outcome_.store(RunOutcome::kFailed);
  recorded_ = true;
  signalled_ = true;
  finished_.store(1);
  finished_.notify_all();
}

void FailWorkerCreationForTesting(bool fail) { failWorkerCreation = fail; }

bool RunWorker(const std::function<void()>& work, const std::atomic<double>& progress,
               const std::atomic<int32_t>& finished) {
  std::thread worker;
  std::atomic<bool> exited{false};
  try {
    if (failWorkerCreation) throw std::system_error(EAGAIN, std::generic_category());
    worker = std::thread([&work, &exited] {
      work();
      exited = true;
    });
  } catch (const std::system_error&) {
    AfxMessageBox(u"Create thread error.", MB_ICONWARNING);
    return false;
  }
  CurrentUserInterface().WaitForWorker(progress, finished);
  // The worker touches nothing of the job after setting `finished`, but it may still be in its
  // message box; the job's owner destroys the job only after this returns.
  CurrentUserInterface().WaitForWorkerExit(exited);
  worker.join();
  return true;
}

}  // namespace larkpost
