// The command line's user interface: message boxes become lines on the terminal, the progress
// view a bar on stderr (only when stderr is a terminal), and a question is asked on the
// terminal. The job's outcome decides where a message goes and the program's exit status.
// Message texts may quote untrusted names: their control characters are shown escaped.
//
// MessageBox may be called from the worker while the main thread is in WaitForWorker; output of
// the two is serialised.
#pragma once

#include <iosfwd>
#include <mutex>
#include <string>

#include "jobs/outcome.h"
#include "platform/framework/framework.h"

namespace larkpost {

// Exit statuses of the larkpost program.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;     // a failure or refusal; the message says which
constexpr int kExitUsage = 2;       // bad arguments
constexpr int kExitIncomplete = 3;  // a backup without what the store could not read, or with
                                    // characters the code page lacks written as "?"
// 130 after SIGINT, 143 after SIGTERM: a run that stopped on request.
int InterruptedExitStatus();

// Asks for the password of an encrypted iPhone backup on the controlling terminal, without
// echoing it. False when there is no terminal to ask on.
bool AskBackupPassword(std::string& password);

class TerminalUserInterface : public UserInterface {
 public:
  // `in` answers questions when `inputIsTerminal`; outcomes go to `out`, failures and the
  // progress bar (when `errorIsTerminal`) to `err`.
  TerminalUserInterface(std::istream& in, std::ostream& out, std::ostream& err,
                        bool inputIsTerminal, bool errorIsTerminal);

  int MessageBox(const std::u16string& text, unsigned type) override;
  void Status(const std::u16string& text) override;  // a line on `err`
  void WaitForWorker(const std::atomic<double>& progress,
                     const std::atomic<int32_t>& finished) override;

  // The run whose outcome decides: messages of a run that succeeded go to `out`, all others
  // (failures, refusals, an incomplete backup) and warnings to `err`. Set before the run starts.
  void Follow(const std::atomic<RunOutcome>& outcome) { outcome_ = &outcome; }

  // From the followed run's outcome: kExitSuccess, kExitIncomplete, or kExitFailure (also for a
  // run that never started).
  int ExitStatus() const;

 private:
  void DrawBar(double progress);  // with mutex_ held
  void ClearBar();                // with mutex_ held

  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
  bool inputIsTerminal_;
  bool errorIsTerminal_;
  mutable std::mutex mutex_;
  bool barShown_ = false;
  const std::atomic<RunOutcome>* outcome_ = nullptr;
};

int ExitStatusOf(RunOutcome outcome);

// While it lives, SIGINT and SIGTERM ask the running job to stop at its next clean point
// (RequestStop) instead of killing the program; a second signal kills it as usual.
class ScopedStopOnSignal {
 public:
  ScopedStopOnSignal();
  ~ScopedStopOnSignal();
  ScopedStopOnSignal(const ScopedStopOnSignal&) = delete;
  ScopedStopOnSignal& operator=(const ScopedStopOnSignal&) = delete;

 private:
  void (*previousInt_)(int);
  void (*previousTerm_)(int);
};

// Installs a user interface for the lifetime of this object.
class ScopedUserInterface {
 public:
  explicit ScopedUserInterface(UserInterface& ui) { InstallUserInterface(&ui); }
  ~ScopedUserInterface() { InstallUserInterface(nullptr); }
  ScopedUserInterface(const ScopedUserInterface&) = delete;
  ScopedUserInterface& operator=(const ScopedUserInterface&) = delete;
};

}  // namespace larkpost
