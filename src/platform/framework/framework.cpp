#include "platform/framework/framework.h"

#include <chrono>
#include <thread>

#include "platform/framework/strings.h"

namespace larkpost {

namespace {

// Until a front end installs itself, message boxes are answered with OK and the wait just
// waits: enough for programs and tests that run jobs without anybody watching.
class QuietUserInterface : public UserInterface {
 public:
  int MessageBox(const std::u16string&, unsigned) override { return IDOK; }
  void WaitForWorker(const std::atomic<double>&, const std::atomic<int32_t>& finished) override {
    // The worker sets `finished` with a plain store and nothing else, so the wait polls.
    while (finished.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
};

QuietUserInterface quietUserInterface;
std::atomic<UserInterface*> installedUserInterface{nullptr};

}  // namespace

UserInterface& CurrentUserInterface() {
  UserInterface* ui = installedUserInterface.load();
  return ui != nullptr ? *ui : quietUserInterface;
}

void InstallUserInterface(UserInterface* ui) { installedUserInterface.store(ui); }

int AfxMessageBox(const std::u16string& text, unsigned type) {
  return CurrentUserInterface().MessageBox(text, type);
}

int AfxMessageBox(unsigned stringId, unsigned type) {
  return CurrentUserInterface().MessageBox(LoadString(stringId), type);
}

}  // namespace larkpost
