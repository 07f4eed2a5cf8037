#include "platform/framework/framework.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace larkpost {
namespace {

class RecordingUserInterface : public UserInterface {
 public:
  int MessageBox(const std::u16string& text, unsigned type) override {
    shown.push_back({text, type});
    return answer;
  }
  void WaitForWorker(const std::atomic<double>&, const std::atomic<int32_t>&) override {}

  struct Shown {
    std::u16string text;
    unsigned type;
  };
  std::vector<Shown> shown;
  int answer = IDCANCEL;
};

TEST(AfxMessageBox, GoesToTheInstalledUserInterface) {
  RecordingUserInterface ui;
  InstallUserInterface(&ui);
  EXPECT_EQ(AfxMessageBox(u"Hello", MB_OKCANCEL | MB_ICONQUESTION), IDCANCEL);
  EXPECT_EQ(AfxMessageBox(132u, MB_ICONINFORMATION), IDCANCEL);
  InstallUserInterface(nullptr);
  ASSERT_EQ(ui.shown.size(), 2u);
  EXPECT_EQ(ui.shown[0].text, u"Hello");
  EXPECT_EQ(ui.shown[0].type, MB_OKCANCEL | MB_ICONQUESTION);
  EXPECT_EQ(ui.shown[1].text, u"Backup Succeeded.");
  EXPECT_EQ(ui.shown[1].type, MB_ICONINFORMATION);
}

TEST(AfxMessageBox, QuietDefaultAnswersOk) {
  InstallUserInterface(nullptr);
  EXPECT_EQ(AfxMessageBox(u"nobody sees this", MB_OKCANCEL), IDOK);
}

TEST(QuietUserInterface, WaitReturnsOnceFinishedIsSet) {
  InstallUserInterface(nullptr);
  std::atomic<double> progress{0.0};
  std::atomic<int32_t> finished{0};
  std::thread worker([&] {
    progress = 0.5;
    finished = 1;
  });
  CurrentUserInterface().WaitForWorker(progress, finished);
  EXPECT_EQ(finished.load(), 1);
  worker.join();
}

}  // namespace
}  // namespace larkpost
