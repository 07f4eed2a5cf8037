// larkpost-gui: the handheld's screens on the desktop.
//
//   larkpost-gui [--screen WxH] [--dpi N|XxY] [--store DB] [--codepage N]
//   larkpost-gui ... --screenshot FILE [--show SCREEN]
//   larkpost-gui ... --dump-layout
#include <QtCore/QCommandLineParser>
#include <QtCore/QDir>
#include <QtCore/QEventLoop>
#include <QtCore/QTimer>
#include <QtCore/QRegularExpression>
#include <QtGui/QPainter>
#include <QtWidgets/QApplication>
#include <QtWidgets/QFileDialog>
#include <QtGui/QFileSystemModel>
#include <QtWidgets/QLineEdit>

#include <cstdio>
#include <functional>
#include <iostream>

#include "app/commands.h"
#include "app/file_dialog.h"
#include "app/frame.h"
#include "app/home_view.h"
#include "app/layout_dump.h"
#include "app/message_box.h"
#include "app/progress_dialog.h"
#include "app/secret_box.h"
#include "app/soft_key_menu.h"
#include "jobs/store_access.h"
#include "jobs/targets.h"
#include "platform/framework/framework.h"
#include "platform/framework/strings.h"
#include "platform/mapi/provider.h"
#include "platform/text/text.h"

using larkpost::app::ScreenMetrics;

namespace {

bool ParsePair(const QString& text, int* first, int* second) {
  const QRegularExpressionMatch match =
      QRegularExpression("^([0-9]{1,5})(?:x([0-9]{1,5}))?$").match(text);
  if (!match.hasMatch()) return false;
  *first = match.captured(1).toInt();
  *second = match.captured(2).isEmpty() ? *first : match.captured(2).toInt();
  return *first > 0 && *second > 0;
}

// Renders one screen into a PNG of the screen's size.
bool Screenshot(larkpost::app::CMainFrame& frame, const QString& show, const QString& file) {
  using namespace larkpost::app;
  QApplication::processEvents();
  QImage image;
  if (show == "home") {
    image = frame.grab().toImage();
  } else if (show == "menu") {
    image = frame.grab().toImage();
    CSoftKeyMenu* menu = frame.SoftKeyMenu();
    menu->ApplyScreen();
    const Rect place = menu->Place();
    QPainter painter(&image);
    painter.drawPixmap(place.left, place.top, menu->grab());
  } else if (show == "about") {
    CAboutDlg about(&frame);
    about.show();
    about.RelayoutFromTemplate();
    QApplication::processEvents();
    image = frame.grab().toImage();
  } else if (show == "progress") {
    const std::atomic<double> progress{0.42};
    const std::atomic<int32_t> finished{0};
    CProgressDialog dialog(&progress, &finished, &frame);
    dialog.show();
    dialog.OnTimer();
    QApplication::processEvents();
    image = frame.grab().toImage();
  } else if (show == "save" || show == "open") {
    const bool save = show == "save";
    CFileDialog dialog(&frame, LoadQString(save ? IDS_SAVE_DIALOG_TITLE : IDS_OPEN_DIALOG_TITLE),
                       save);
    dialog.SetFilter(QString::fromStdU16String(
                         save ? larkpost::SaveDialogFilter()
                              : larkpost::app::ReadableFilter(larkpost::OpenDialogFilter())),
                     QString::fromStdU16String(larkpost::kDefaultExtension));
    // The folder's files are listed by a thread of their own: the picture waits for them (at
    // most two seconds).
    QEventLoop listed;
    QTimer::singleShot(2000, &listed, &QEventLoop::quit);
    if (auto* model = dialog.Files()->findChild<QFileSystemModel*>()) {
      QObject::connect(model, &QFileSystemModel::directoryLoaded, &listed, [&listed] {
        QTimer::singleShot(200, &listed, &QEventLoop::quit);
      });
    }
    dialog.Files()->setDirectory(QDir::homePath());
    if (save) {
      dialog.SetFileName(QString::fromStdU16String(
          larkpost::DefaultBackupName(CTime::GetCurrentTime())));
    }
    dialog.show();
    listed.exec();
    QApplication::processEvents();
    image = frame.grab().toImage();
  } else if (show == "password" || show == "passphrase" || show == "encryptto") {
    // The password screen: an encrypted iPhone backup's, an encrypted file's (with its key-file
    // key), a new encrypted backup's; a few characters typed.
    const QString prompt =
        show == "password"
            ? "The iPhone backup 00008110-001A2B3C4D5E is encrypted. Type the password it was "
              "encrypted with:"
        : show == "passphrase"
            ? "BAK_20260105_0845.bak.age is encrypted. Type its passphrase, or choose the key "
              "file (AGE-SECRET-KEY-1...) it was encrypted to:"
            : "Encrypt BAK_20260105_0845.bak.age: type a passphrase, or paste the recipient "
              "(age1...) it is for, or choose a file of recipients:";
    std::function<QString()> keyFile;
    if (show != "password") keyFile = [] { return QString(); };
    CSecretBox box(&frame, prompt, show == "password" ? "Password" : "Passphrase", keyFile);
    box.show();
    box.Field()->setText("secret");
    QApplication::processEvents();
    image = frame.grab().toImage();
  } else if (show == "closing" || show == "waiting") {
    const std::atomic<double> progress{show == "closing" ? 0.42 : 0.0};
    const std::atomic<int32_t> finished{0};
    CProgressDialog dialog(&progress, &finished, &frame);
    dialog.SetStatus([] {
      return QString::fromStdU16String(larkpost::StoreWaitText(larkpost::mapi::DatabasePath()));
    });
    dialog.show();
    dialog.OnTimer();
    if (show == "closing") dialog.OnCloseRequested();
    QApplication::processEvents();
    image = frame.grab().toImage();
  } else {
    // A message box: a restore's question, a run's summary, a store that cannot be opened.
    const std::u16string store = QString::fromStdString(larkpost::app::StoreLine(
                                     "/home/ann/.local/share/larkpost/messages.db"))
                                     .toStdU16String();
    const std::u16string text =
        show == "restored"
            ? LoadString(IDS_RESTORE_SUCCEEDED) + u"\n" +
                  larkpost::RestoreSummaryLine({1250, 36, 2})
        : show == "backedup"
            ? LoadString(IDS_BACKUP_SUCCEEDED) + u"\n" +
                  larkpost::app::BackupSummaryLine(1250, u"/home/ann/Backups/BAK_20260105_0845.bak")
        : show == "failed"
            ? LoadString(IDS_ACCOUNT_INIT_FAILED) + u"\n" + store + u"\nThe file is missing."
        : show == "wrongkey"
            ? std::u16string(u"BAK_20260105_0845.bak.age: wrong passphrase (or it needs a key "
                             u"file).\nNothing was restored.")
            : larkpost::RestoreQuestion(u"/home/ann/Backups/Phone/BAK_20260105_0845.bak") + u"\n" +
                  store;
    const unsigned type = show == "confirm"                         ? MB_OKCANCEL | MB_ICONQUESTION
                          : show == "failed" || show == "wrongkey" ? MB_ICONWARNING
                                                                    : MB_ICONINFORMATION;
    CMessageBox box(&frame, QString::fromStdU16String(text), type);
    box.show();
    QApplication::processEvents();
    image = frame.grab().toImage();
  }
  return image.save(file, "PNG");
}

}  // namespace

int main(int argc, char** argv) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  QCommandLineParser parser;
  parser.setApplicationDescription("Backs up the SMS messages of a message store into a file "
                                   "and restores them, on the handheld's screens.");
  parser.addHelpOption();
  parser.addOption({"version", "Print the program's version and exit."});
  parser.addOption({"screen", "Screen size in pixels (default 480x640).", "WxH", "480x640"});
  parser.addOption(
      {"dpi", "Screen resolution, one value or XxY (default 192).", "N|XxY", "192"});
  parser.addOption({"store", "Message store database (default: " +
                                 QString::fromStdString(larkpost::mapi::DefaultDatabasePath()) +
                                 ", created when missing).",
                    "DB"});
  parser.addOption({"codepage", "Windows code page of the text in backup files (default 1252).",
                    "N"});
  parser.addOption({"screenshot", "Render a screen into a PNG file and exit.", "FILE"});
  parser.addOption({"show",
                    "The screen to render: home, menu, about, progress, closing (a close asked "
                    "for during a run), waiting (a run waiting for another on the store), save or "
                    "open (the file dialogs), confirm (a restore's question), restored or "
                    "backedup (a run's summary), failed (a store that cannot be opened), password "
                    "(an encrypted iPhone backup's), passphrase (an encrypted file's), encryptto "
                    "(a new encrypted backup's) or wrongkey (a key that does not open the file).",
                    "SCREEN", "home"});
  parser.addOption({"dump-layout", "Print the computed layout as JSON and exit."});
  if (!parser.parse(arguments)) {
    std::fprintf(stderr, "larkpost-gui: %s\n", qPrintable(parser.errorText()));
    return 2;
  }
  if (parser.isSet("help")) {
    // Without an application object Qt cannot name the program itself.
    QString help = parser.helpText();
    help.replace("<executable_name>", "larkpost-gui");
    std::fputs(qPrintable(help), stdout);
    return 0;
  }
  if (parser.isSet("version")) {
    std::printf("larkpost-gui %s\n", LARKPOST_VERSION);
    return 0;
  }
  ScreenMetrics& screen = larkpost::app::SystemMetrics();
  if (!ParsePair(parser.value("screen"), &screen.width, &screen.height) || screen.width < 100 ||
      screen.height < 100 || screen.width > 4096 || screen.height > 4096) {
    std::fprintf(stderr, "larkpost-gui: --screen wants WxH from 100 to 4096, e.g. 480x640\n");
    return 2;
  }
  if (!ParsePair(parser.value("dpi"), &screen.dpiX, &screen.dpiY) || screen.dpiX < 48 ||
      screen.dpiY < 48 || screen.dpiX > 768 || screen.dpiY > 768) {
    std::fprintf(stderr, "larkpost-gui: --dpi wants N or XxY from 48 to 768, e.g. 192 or 192x96\n");
    return 2;
  }
  const QString show = parser.value("show");
  const QStringList screens = {"home",     "menu",       "about",     "progress", "closing",
                               "waiting",  "save",       "open",      "confirm",  "restored",
                               "backedup", "failed",     "password",  "passphrase",
                               "encryptto", "wrongkey"};
  if (!screens.contains(show)) {
    std::fprintf(stderr, "larkpost-gui: --show wants one of %s\n",
                 qPrintable(screens.join(", ")));
    return 2;
  }
  if (parser.isSet("codepage") &&
      !SetAnsiCodePage(parser.value("codepage").toUInt())) {
    std::fprintf(stderr, "larkpost-gui: --codepage: no converter for code page %s\n",
                 qPrintable(parser.value("codepage")));
    return 2;
  }
  Q_INIT_RESOURCE(art);

  // Pictures and the layout touch no store: the default one is made only for a real start.
  const bool render = parser.isSet("screenshot") || parser.isSet("dump-layout");
  if (parser.isSet("store")) {
    larkpost::mapi::SetDatabasePath(parser.value("store").toStdString());
  } else if (!render) {
    // A new user gets a working (empty) store on the first start.
    const std::string database = larkpost::mapi::DefaultDatabasePath();
    if (larkpost::mapi::InitializeDatabase(database) != S_OK) {
      std::fprintf(stderr, "larkpost-gui: cannot create the message store %s\n",
                   database.c_str());
    }
    larkpost::mapi::SetDatabasePath(database);
  }
  // The code page chosen in an earlier run, unless --codepage says otherwise.
  if (!parser.isSet("codepage") && !render) {
    if (const unsigned saved = larkpost::app::SavedCodePage(); saved != 0) SetAnsiCodePage(saved);
  }

  // A screenshot and the layout need no display.
  if ((parser.isSet("screenshot") || parser.isSet("dump-layout")) &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication application(argc, argv);
  if (parser.isSet("dump-layout")) {
    std::cout << larkpost::app::DumpLayout(screen) << "\n";
    return 0;
  }
  QApplication::setApplicationName("larkpost-gui");
  QApplication::setDesktopFileName("larkpost-gui");

  larkpost::app::CTidewellApp app;
  if (!app.InitInstance()) return 1;
  larkpost::app::QtUserInterface ui(app.MainFrame());
  larkpost::InstallUserInterface(&ui);
  int status = 0;
  if (parser.isSet("screenshot")) {
    if (!Screenshot(*app.MainFrame(), show, parser.value("screenshot"))) {
      std::fprintf(stderr, "larkpost-gui: cannot write %s\n",
                   qPrintable(parser.value("screenshot")));
      status = 1;
    }
  } else {
    status = QApplication::exec();
  }
  larkpost::InstallUserInterface(nullptr);
  return status;
}
