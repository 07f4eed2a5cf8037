// The application object: the one frame, the commands no screen handles, the About box.
#include <QtGui/QDesktopServices>
#include <QtCore/QUrl>

#include "app/commands.h"
#include "app/frame.h"
#include "platform/framework/strings.h"

namespace larkpost::app {

namespace {

CTidewellApp* theApp = nullptr;
bool relayoutOn = false;  // while the About box is shown

}  // namespace

const char* const kSupportPageAddress = "https://larkpost.example.org/guide/";

bool ResolutionAwareRelayout() { return relayoutOn; }

CTidewellApp* AfxGetApp() { return theApp; }

// ---- Application ----

CTidewellApp::CTidewellApp() {
  theApp = this;
  openUrl = [](const QString& address) { return QDesktopServices::openUrl(QUrl(address)); };
}

CTidewellApp::~CTidewellApp() {
  frame_.reset();
  if (theApp == this) theApp = nullptr;
}

bool CTidewellApp::InitInstance(bool show) {
  frame_ = std::make_unique<CMainFrame>();
  if (show) {
    frame_->show();
    // The keyboard goes to the program it started, on a desktop without a window manager too.
    frame_->activateWindow();
  }
  return true;
}

bool CTidewellApp::OnCommand(int id) {
  switch (id) {
    case ID_APP_ABOUT:
      OnAppAbout();
      return true;
    case ID_HOME_PAGE:
      openUrl(LoadQString(IDS_HOME_PAGE));  // a failure stays silent
      return true;
    case ID_ONLINE_GUIDE:
      openUrl(QString::fromUtf8(kSupportPageAddress));
      return true;
    default:
      return false;
  }
}

void CTidewellApp::OnAppAbout() {
  relayoutOn = true;
  {
    CAboutDlg about(frame_.get());
    about.exec();
  }
  relayoutOn = false;
}

}  // namespace larkpost::app
