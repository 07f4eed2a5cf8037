#include "cli/terminal_ui.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cmath>
#include <istream>
#include <ostream>
#include <thread>

#include "cli/printable.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

constexpr unsigned kIconMask = 0xF0;
constexpr int kBarWidth = 40;

}  // namespace

TerminalUserInterface::TerminalUserInterface(std::istream& in, std::ostream& out,
                                             std::ostream& err, bool inputIsTerminal,
                                             bool errorIsTerminal)
    : in_(in),
      out_(out),
      err_(err),
      inputIsTerminal_(inputIsTerminal),
      errorIsTerminal_(errorIsTerminal) {}

int TerminalUserInterface::MessageBox(const std::u16string& text, unsigned type) {
  std::lock_guard<std::mutex> lock(mutex_);
  ClearBar();
  const std::string line = WideToUtf8(text);
  if ((type & 0x0F) == MB_OKCANCEL) {
    err_ << PrintableText(line) << "\n";
    if (!inputIsTerminal_) {
      err_ << "(no terminal to answer on: cancelled)\n";
      return IDCANCEL;
    }
    err_ << "Continue? [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(in_, answer)) return IDCANCEL;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" ? IDOK
                                                                                : IDCANCEL;
  }

  const RunOutcome outcome = outcome_ != nullptr ? outcome_->load() : RunOutcome::kNotRun;
  const bool result = (outcome == RunOutcome::kSucceeded || outcome == RunOutcome::kLossy) &&
                      (type & kIconMask) != MB_ICONWARNING;
  (result ? out_ : err_) << PrintableText(line) << std::endl;
  return IDOK;
}

void TerminalUserInterface::Status(const std::u16string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  ClearBar();
  err_ << PrintableText(WideToUtf8(text)) << std::endl;
}

void TerminalUserInterface::WaitForWorker(const std::atomic<double>& progress,
                                          const std::atomic<int32_t>& finished) {
  // The worker sets `finished` with a plain store; the bar is refreshed while waiting for it.
  while (finished.load() == 0) {
    if (errorIsTerminal_) {
      std::lock_guard<std::mutex> lock(mutex_);
      DrawBar(progress.load());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(errorIsTerminal_ ? 100 : 5));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ClearBar();
}

void TerminalUserInterface::DrawBar(double progress) {
  // The number may pass 100 when messages arrived after counting; the bar stays full.
  const double percent = std::isfinite(progress) ? std::floor(progress * 100.0) : 0.0;
  const int shownPercent = percent < 0 ? 0 : percent > 1e6 ? 1000000 : static_cast<int>(percent);
  const int filled = shownPercent >= 100 ? kBarWidth : shownPercent * kBarWidth / 100;
  err_ << "\r[" << std::string(filled, '#') << std::string(kBarWidth - filled, '.') << "] "
       << shownPercent << "%" << std::flush;
  barShown_ = true;
}

void TerminalUserInterface::ClearBar() {
  if (!barShown_) return;
  err_ << "\r\033[K" << std::flush;
  barShown_ = false;
}

int ExitStatusOf(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kSucceeded:
      return kExitSuccess;
    case RunOutcome::kIncomplete:
    case RunOutcome::kLossy:
      return kExitIncomplete;
    case RunOutcome::kInterrupted:
      return InterruptedExitStatus();
    case RunOutcome::kNotRun:
    case RunOutcome::kFailed:
      break;
  }
  return kExitFailure;
}

int InterruptedExitStatus() {
  const int signalNumber = StopRequested();
  return 128 + (signalNumber != 0 ? signalNumber : SIGINT);
}

namespace {

// The first SIGINT or SIGTERM asks the run to stop at its next clean point; the handler then
// steps aside, so a second one ends the program at once (what was committed stays committed).
extern "C" void OnStopSignal(int signalNumber) {
  RequestStop(signalNumber);
  std::signal(signalNumber, SIG_DFL);
}

}  // namespace

ScopedStopOnSignal::ScopedStopOnSignal() {
  ClearStopRequest();
  previousInt_ = std::signal(SIGINT, OnStopSignal);
  previousTerm_ = std::signal(SIGTERM, OnStopSignal);
}

ScopedStopOnSignal::~ScopedStopOnSignal() {
  std::signal(SIGINT, previousInt_);
  std::signal(SIGTERM, previousTerm_);
}

int TerminalUserInterface::ExitStatus() const {
  return ExitStatusOf(outcome_ != nullptr ? outcome_->load() : RunOutcome::kNotRun);
}

bool AskBackupPassword(std::string& password) {
  const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (tty < 0) return false;
  static constexpr char kPrompt[] = "Password of the iPhone backup: ";
  termios saved {};
  const bool quiet = tcgetattr(tty, &saved) == 0;
  if (quiet) {
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(tty, TCSAFLUSH, &silent);
  }
  bool answered = write(tty, kPrompt, sizeof kPrompt - 1) >= 0;
  password.clear();
  char c = 0;
  ssize_t got = 0;
  while (answered && (got = read(tty, &c, 1)) == 1 && c != '\n') password += c;
  answered = answered && got >= 0;
  if (quiet) tcsetattr(tty, TCSAFLUSH, &saved);
  if (write(tty, "\n", 1) < 0) answered = false;
  close(tty);
  return answered;
}

}  // namespace larkpost
