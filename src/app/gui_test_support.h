// Helpers for the desktop program's tests: one offscreen QApplication for the whole test
// program, and a shown main frame for the screen under test.
#pragma once

#include <QtCore/QTemporaryDir>
#include <QtWidgets/QApplication>

#include <memory>
#include <ostream>

#include "app/frame.h"

// Readable failure messages for Qt's strings.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

inline void EnsureApplication() {
  static QApplication* application = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The program's settings (last folder, code page) go to a folder of the test run's own.
    static QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    static int argc = 1;
    static char name[] = "larkpost_gui_test";
    static char* argv[] = {name, nullptr};
    Q_INIT_RESOURCE(art);
    return new QApplication(argc, argv);
  }();
  (void)application;
}

namespace larkpost::app::testing {

// The application object with its frame shown on a screen of the given metrics.
inline std::unique_ptr<CTidewellApp> StartApp(ScreenMetrics screen) {
  EnsureApplication();
  SystemMetrics() = screen;
  auto app = std::make_unique<CTidewellApp>();
  app->InitInstance(true);
  QApplication::processEvents();
  return app;
}

}  // namespace larkpost::app::testing
