#include "cli/terminal_ui.h"

#include <chrono>
#include <cmath>
#include <istream>
#include <ostream>
#include <thread>

#include "jobs/outcome.h"
#include "platform/framework/strings.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

constexpr unsigned kIconMask = 0xF0;
constexpr int kBarWidth = 40;

bool IsString(const std::u16string& text, unsigned id) { return text == LoadString(id); }

// Texts that end a run without doing what was asked, whatever icon they are shown with.
bool IsFailureText(const std::u16string& text) {
  return IsString(text, IDS_SELECT_SAVE_PATH_PROMPT) || IsString(text, IDS_SELECT_BACKUP_FOLDER) ||
         IsString(text, IDS_SELECT_FILE_PATH_PROMPT) || IsString(text, IDS_ACCOUNT_INIT_FAILED) ||
         IsString(text, IDS_FILE_VALIDATION_FAILED) || IsString(text, IDS_BACKUP_FAILED);
}

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
    err_ << line << "\n";
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

  const bool incomplete = IsIncompleteBackupText(text);
  const bool failure = !incomplete && ((type & kIconMask) == MB_ICONWARNING || IsFailureText(text));
  if (incomplete) {
    incomplete_ = true;
  } else if (failure) {
    failed_ = true;
  } else if (IsString(text, IDS_BACKUP_SUCCEEDED) || IsString(text, IDS_RESTORE_SUCCEEDED)) {
    succeeded_ = true;
  }
  std::ostream& to = failure || incomplete ? err_ : out_;
  to << line << std::endl;
  return IDOK;
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

int TerminalUserInterface::ExitStatus() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failed_) return kExitFailure;
  if (incomplete_) return kExitIncomplete;
  return succeeded_ ? kExitSuccess : kExitFailure;
}

}  // namespace larkpost
