// What the system asks of its user interface, so that the jobs run unchanged under any front end:
// message boxes, a password asked without showing it, and the modal wait for a running worker.
// The front end installs its implementation once at start (the command line, the desktop
// program, or a scripted one in tests); without one, message boxes answer IDOK, nothing asked for
// is given, and the wait only waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Message box types (icons and buttons) and answers.
constexpr unsigned MB_OK = 0x00000000;
constexpr unsigned MB_OKCANCEL = 0x00000001;
constexpr unsigned MB_ICONQUESTION = 0x00000020;
constexpr unsigned MB_ICONWARNING = 0x00000030;
constexpr unsigned MB_ICONINFORMATION = 0x00000040;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

namespace larkpost {

class UserInterface {
 public:
  virtual ~UserInterface() = default;
  // Shows a message and answers the button chosen. May be called from a worker thread while the
  // user-interface thread is inside WaitForWorker.
  virtual int MessageBox(const std::u16string& text, unsigned type) = 0;
  // Asks for a password or passphrase, `prompt` telling what for, without showing what is typed.
  // False when the user declines or there is no one to ask (the default); `secret` is then
  // unchanged.
  virtual bool AskSecret(const std::u16string& prompt, std::string& secret) {
    (void)prompt;
    (void)secret;
    return false;
  }
  // Tells, while a run goes on, why it is not getting on (it waits for another run); may be
  // called from a worker thread. The default shows nothing.
  virtual void Status(const std::u16string& text) { (void)text; }
  // Runs on the user-interface thread while a worker runs: shows `progress` (a fraction, may pass
  // 1) and returns only after `finished` has become non-zero.
  virtual void WaitForWorker(const std::atomic<double>& progress,
                             const std::atomic<int32_t>& finished) = 0;
  // Runs on the user-interface thread after WaitForWorker, until the worker's thread has ended
  // (`exited` set). A worker may still show a message after setting `finished`; a front end
  // whose message boxes need the user-interface thread keeps serving them here. The default
  // returns at once (the caller then joins the thread).
  virtual void WaitForWorkerExit(const std::atomic<bool>& exited) { (void)exited; }
};

// The installed front end (never null: a quiet default until one is installed).
UserInterface& CurrentUserInterface();
void InstallUserInterface(UserInterface* ui);  // null restores the quiet default

// AfxMessageBox: shows the text through the installed front end.
int AfxMessageBox(const std::u16string& text, unsigned type = MB_OK);
int AfxMessageBox(unsigned stringId, unsigned type = MB_OK);

}  // namespace larkpost
