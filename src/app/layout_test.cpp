// The handheld's layout rules: the home view's table, the button images, the progress dialog and
// the About box, on the screens the layout must handle, and the live widgets placed by them.
#include <gtest/gtest.h>

#include <QtCore/QRegularExpression>
#include <QtCore/QFileInfo>
#include <QtCore/QSettings>
#include <QtCore/QTimer>
#include <QtGui/QFontInfo>
#include <QtWidgets/QAbstractItemView>
#include <QtGui/QKeyEvent>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QScrollArea>
#include <QtWidgets/QScrollBar>
#include <QtGui/QAction>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "app/commands.h"
#include "app/file_dialog.h"
#include "app/gui_test_support.h"
#include "app/message_box.h"
#include "app/home_view.h"
#include "app/layout.h"
#include "app/layout_dump.h"
#include "app/progress_dialog.h"
#include "app/secret_box.h"
#include "app/soft_key_menu.h"
#include "jobs/targets.h"
#include "platform/framework/framework.h"
#include "platform/text/text.h"
#include "testing/temp_dir.h"

namespace larkpost::app {
namespace {

std::map<int, Rect> Home(const ScreenMetrics& screen) {
  std::map<int, Rect> out;
  for (const auto& [id, place] : LayOutHome(screen)) out[id] = place;
  return out;
}

TEST(HomeLayout, SmallScreenAt96DpiRowByRow) {
  // Worked out by hand from the table: b = 64, L = 20, R = 220, nothing above the maker label.
  const std::map<int, Rect> expected = {
      {1041, {85, 0, 155, 12}},    {1014, {45, 12, 195, 34}},   {1042, {20, 37, 220, 38}},
      {1027, {20, 43, 84, 107}},   {1049, {89, 48, 209, 68}},   {1050, {89, 71, 229, 95}},
      {1043, {20, 108, 220, 109}}, {1030, {20, 114, 84, 178}},  {1051, {89, 119, 209, 139}},
      {1052, {89, 142, 229, 166}}, {1044, {20, 179, 220, 180}}, {1031, {20, 185, 84, 249}},
      {1053, {89, 205, 189, 225}}, {1045, {20, 250, 220, 251}}, {1032, {40, 251, 200, 263}},
  };
  EXPECT_EQ(Home({240, 320, 96, 96}), expected);
}

TEST(HomeLayout, TallScreenAt192Dpi) {
  const ScreenMetrics screen{480, 800, 192, 192};
  const auto home = Home(screen);
  EXPECT_EQ(home.at(1041), (Rect{170, 36, 310, 60}));  // T(18) = 36 pixels down
  EXPECT_EQ(home.at(1014), (Rect{90, 60, 390, 104}));
  EXPECT_EQ(home.at(1027), (Rect{40, 122, 184, 266}));  // S(72) = 144 pixels square
  EXPECT_EQ(home.at(1053).top, home.at(1031).top + 40);
  EXPECT_EQ(home.at(1032).top, home.at(1045).bottom + 40);  // the extra gap above the address
  EXPECT_EQ(ButtonBitmap(1027, screen), 146);
  EXPECT_EQ(ButtonBitmap(1030, screen), 144);
  EXPECT_EQ(ButtonBitmap(1031, screen), 148);
}

TEST(HomeLayout, ScalesEachDirectionByItsOwnResolution) {
  const auto home = Home({480, 640, 192, 96});
  EXPECT_EQ(home.at(1027), (Rect{40, 43, 168, 107}));  // S(64) = 128 wide, T(64) = 64 high
}

TEST(ButtonImages, ResolutionRuleAndPlainPixelCopy) {
  EnsureApplication();
  // The bitmaps say 2834 pixels per metre, which counts as 96 dpi.
  EXPECT_EQ(BitmapDpi(2834), 96);
  EXPECT_EQ(BitmapDpi(7559), 192);
  const BitmapResource bitmap = LoadBitmapResource(145);
  ASSERT_TRUE(bitmap.Valid());
  EXPECT_EQ(bitmap.pixelsPerMetreX, 2834);
  EXPECT_EQ(bitmap.image.size(), QSize(128, 64));
  EXPECT_EQ(LoadBitmapResource(146).image.size(), QSize(144, 72));
  EXPECT_EQ(LoadBitmapResource(150).image.size(), QSize(543, 1));
  EXPECT_EQ(LoadBitmapResource(150).image.pixel(100, 0), qRgb(203, 202, 202));

  // At 96 dpi the images are loaded as they are.
  const CImageList plain = LoadButtonImages(145, 64, {240, 320, 96, 96});
  ASSERT_EQ(plain.images.size(), 2u);
  EXPECT_EQ(plain.images[1].toImage().pixel(32, 40), bitmap.image.pixel(64 + 32, 40));

  // Twice the resolution: one strip doubled, every pixel a 2 × 2 block of the original.
  const CImageList doubled = LoadButtonImages(145, 64, {480, 640, 192, 192});
  ASSERT_EQ(doubled.images.size(), 2u);
  EXPECT_EQ(doubled.images[0].size(), QSize(128, 128));
  const QImage pressed = doubled.images[1].toImage();
  for (const QPoint p : {QPoint(0, 0), QPoint(65, 81), QPoint(127, 127), QPoint(40, 100)}) {
    EXPECT_EQ(pressed.pixel(p), bitmap.image.pixel(64 + p.x() / 2, p.y() / 2)) << p.x();
  }

  // 144 dpi is no whole multiple of 96: image by image, (64·144 + 48) / 96 = 96 pixels.
  const CImageList oneAndAHalf = LoadButtonImages(145, 64, {480, 640, 144, 144});
  ASSERT_EQ(oneAndAHalf.images.size(), 2u);
  EXPECT_EQ(oneAndAHalf.images[1].size(), QSize(96, 96));
  EXPECT_FALSE(PlanImageList({480, 640, 144, 144}, 64, 64, 96, 96).onePiece);
  EXPECT_EQ(oneAndAHalf.images[1].toImage().pixel(48, 48),
            bitmap.image.pixel(64 + 32, 32));
}

TEST(ProgressLayout, HighResolutionScreen) {
  // s(16) = 32, s(50) = 100, s(20) = 40; the bar takes 80 % of the width, centred.
  std::map<int, Rect> controls;
  for (const auto& [id, place] : LayOutProgress({480, 640, 192, 192}, 480)) controls[id] = place;
  EXPECT_EQ(controls.at(1012), (Rect{48, 100, 432, 140}));
  EXPECT_EQ(controls.at(1013), (Rect{176, 146, 272, 178}));
  EXPECT_EQ(controls.at(1016), (Rect{272, 146, 304, 178}));
  EXPECT_EQ(controls.at(1014), (Rect{48, 48, 480, 80}));
  EXPECT_EQ(controls.at(1015), (Rect{48, 196, 480, 228}));
  // An odd width: 0.8 · 301 = 240.8 → 240, L = 61 / 2 = 30.
  EXPECT_EQ(LayOutProgress({301, 400, 96, 96}, 301)[0].second, (Rect{30, 50, 270, 70}));
}

TEST(AboutLayout, TemplateByOrientation) {
  EXPECT_EQ(AboutTemplate({480, 640, 192, 192}), 100);
  EXPECT_EQ(AboutTemplate({640, 480, 192, 192}), 200);
  EXPECT_EQ(AboutTemplate({480, 480, 192, 192}), 200);  // square counts as landscape
  // Dialog units at 96 dpi: base units 6 × 13, so x·6/4 and y·13/8, rounded.
  EXPECT_EQ(DialogUnitsToPixels({240, 320, 96, 96}, {202, 36, 11, 83, 18}),
            (Rect{54, 18, 179, 47}));
}

TEST(LayoutDump, ShapeAndValuesForATallScreen) {
  EnsureApplication();
  const ScreenMetrics screen{480, 800, 192, 192};
  const auto dump = nlohmann::json::parse(DumpLayout(screen));
  EXPECT_EQ(dump["screen"], nlohmann::json::parse(
                                R"({"width":480,"height":800,"dpiX":192,"dpiY":192})"));
  ASSERT_EQ(dump["home"].size(), 15u);
  for (const auto& [id, place] : LayOutHome(screen)) {
    EXPECT_EQ(dump["home"][std::to_string(id)],
              nlohmann::json::array({place.left, place.top, place.right, place.bottom}));
  }
  // The 72-pixel images of the tall screen's bitmaps, doubled.
  EXPECT_EQ(dump["buttons"]["1030"],
            nlohmann::json::parse(R"({"bitmap":144,"image":[144,144]})"));
  EXPECT_EQ(dump["about"]["template"], 100);
  EXPECT_EQ(dump["progress"]["client"], nlohmann::json::array({480, 748}));
  EXPECT_EQ(dump["progress"]["controls"]["1012"], nlohmann::json::array({48, 100, 432, 140}));
}

// The menu in the dump holds its widest text whole, at every density, on the screen.
TEST(LayoutDump, MenuHoldsItsWidestTextAtEveryDensity) {
  EnsureApplication();
  for (const int dpi : {96, 192, 240, 288, 384}) {
    const ScreenMetrics screen{768, 1024, dpi, dpi};
    const auto menu = nlohmann::json::parse(DumpLayout(screen))["menu"];
    const QFontMetrics metrics(CellFont(screen.T(16)));
    EXPECT_EQ(menu["widestText"], metrics.horizontalAdvance("Restore Messages")) << dpi;
    ASSERT_EQ(menu["items"].size(), 3u);
    for (const auto& item : menu["items"]) {
      EXPECT_GE(item[2].get<int>() - item[0].get<int>(),
                screen.S(12) + menu["widestText"].get<int>()) << dpi;
    }
    EXPECT_GE(menu["rect"][0].get<int>(), 0);
    EXPECT_EQ(menu["rect"][3], SoftKeyBar(screen).top);
  }
}

class LiveScreen : public ::testing::Test {
 protected:
  // Runs `check` once a dialog of type D is the screen's top dialog (from inside its loop).
  template <typename D>
  void WhenShown(std::function<void(D*)> check) {
    auto* poll = new QTimer(&Frame());
    QObject::connect(poll, &QTimer::timeout, poll, [this, poll, check] {
      if (auto* dialog = dynamic_cast<D*>(Frame().TopDialog())) {
        poll->stop();
        poll->deleteLater();
        check(dialog);
      }
    });
    poll->start(10);
  }

  void Start(ScreenMetrics screen) {
    app_.reset();  // one application object at a time
    app_ = testing::StartApp(screen);
  }
  CMainFrame& Frame() { return *app_->MainFrame(); }
  CTidewellView& View() { return *Frame().View(); }

  // Every control of the view sits where the table puts it, for the current screen.
  void ExpectViewFollowsTable() {
    for (const auto& [id, place] : LayOutHome(SystemMetrics())) {
      EXPECT_EQ(View().Control(id)->geometry(), ToQRect(place)) << id;
    }
  }

  std::unique_ptr<CTidewellApp> app_;
};

TEST_F(LiveScreen, RotationRelaysOutAndRebuildsImagesOnlyOnHeightChange) {
  Start({480, 640, 192, 192});
  EXPECT_EQ(Frame().size(), QSize(480, 640));
  ExpectViewFollowsTable();
  EXPECT_EQ(View().ImageListBuilds(), 1);
  EXPECT_EQ(View().Images(1027).images[0].size(), QSize(128, 128));
  EXPECT_EQ(View().Control(1027)->geometry(), QRect(40, 86, 128, 128));

  Frame().Rotate();
  EXPECT_EQ(Frame().size(), QSize(640, 480));
  ExpectViewFollowsTable();
  EXPECT_EQ(View().Control(1027)->x(), 120);  // the column is centred on the new width
  EXPECT_EQ(View().ImageListBuilds(), 2);

  Frame().ApplyScreen();  // another size message with the same height
  EXPECT_EQ(View().ImageListBuilds(), 2);
}

TEST_F(LiveScreen, SquareScreenTurnsWithoutRebuildingImages) {
  Start({480, 480, 96, 96});
  EXPECT_EQ(View().ImageListBuilds(), 1);
  Frame().Rotate();
  EXPECT_EQ(View().ImageListBuilds(), 1);
}

TEST_F(LiveScreen, HeldButtonShowsItsPressedImage) {
  Start({240, 320, 96, 96});
  auto* button = static_cast<QPushButton*>(View().Control(1030));
  const QImage normal = button->grab().toImage();
  button->setDown(true);
  const QImage held = button->grab().toImage();
  const CImageList& images = View().Images(1030);
  EXPECT_EQ(normal, images.images[0].toImage().convertToFormat(normal.format()));
  EXPECT_EQ(held, images.images[1].toImage().convertToFormat(held.format()));
}

TEST_F(LiveScreen, SoftKeysMenuAndWebCommands) {
  Start({480, 640, 192, 192});
  QStringList texts;
  for (QAction* action : Frame().SoftKeyMenu()->actions()) texts << action->text();
  EXPECT_EQ(texts, (QStringList{"&Backup Messages", "&Restore Messages", "About"}));
  QStringList opened;
  app_->openUrl = [&](const QString& address) {
    opened << address;
    return false;  // no browser: nothing is said
  };
  Frame().SendCommand(ID_HOME_PAGE);
  Frame().SendCommand(ID_ONLINE_GUIDE);
  EXPECT_EQ(opened, (QStringList{"https://larkpost.example.org/",
                                 "https://larkpost.example.org/guide/"}));
  EXPECT_TRUE(Frame().TopDialog() == nullptr);
}

TEST_F(LiveScreen, AboutBoxFollowsTheRotation) {
  Start({480, 640, 192, 192});
  bool checked = false;
  // The About box is modal: look at it from inside its loop, turn the screen, then close it.
  QTimer::singleShot(0, [&] {
    auto* about = dynamic_cast<CAboutDlg*>(Frame().TopDialog());
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(Frame().TitleText(), "About Tidewell");
    EXPECT_EQ(about->TemplateId(), 100);
    Frame().Rotate();
    EXPECT_EQ(about->TemplateId(), 200);
    const Rect text = DialogUnitsToPixels(SystemMetrics(), AboutItems(200)[1]);
    EXPECT_EQ(about->findChild<QLabel*>("202")->geometry(), ToQRect(text));
    about->accept();
    checked = true;
  });
  Frame().SendCommand(ID_APP_ABOUT);
  EXPECT_TRUE(checked);
  EXPECT_FALSE(ResolutionAwareRelayout());
  EXPECT_EQ(Frame().TitleText(), "Quenby Larkpost");
}


// Each item shows its whole text: the menu is as wide as its widest text in the screen's font,
// at every resolution, and stays on the screen.
TEST_F(LiveScreen, MenuShowsEveryItemWholeAtEveryDensity) {
  for (const ScreenMetrics screen :
       {ScreenMetrics{240, 320, 96, 96}, ScreenMetrics{480, 640, 192, 192},
        ScreenMetrics{768, 1024, 240, 240}, ScreenMetrics{768, 1024, 288, 288},
        ScreenMetrics{1024, 1360, 384, 384}}) {
    Start(screen);
    CSoftKeyMenu* menu = Frame().SoftKeyMenu();
    Frame().OpenSoftKeyMenu();
    QApplication::processEvents();
    const Rect place = menu->Place();
    EXPECT_EQ(menu->geometry(), QRect(Frame().mapToGlobal(QPoint(place.left, place.top)),
                                      QSize(place.Width(), place.Height())));
    EXPECT_GE(place.left, 0) << screen.dpiX;
    EXPECT_EQ(place.bottom, SoftKeyBar(screen).top);
    const QFontMetrics metrics(menu->font());
    for (int i = 0; i < 3; ++i) {
      const Rect item = SoftKeyMenuItem(screen, place, i);
      QString text = menu->actions()[i]->text();
      text.remove('&');
      EXPECT_LE(screen.S(12) + metrics.horizontalAdvance(text), item.Width())
          << text.toStdString() << " at " << screen.dpiX << " dpi";
      EXPECT_GE(item.Height(), metrics.height());
    }
    menu->hide();
  }
}

// The title's font: average width S(10), cell height T(24), as measured. The face's ascent and
// descent are whole pixels each, so a few cell heights cannot be had (72, at 288 dpi, among
// them): then the tallest cell below is taken, never a taller one.
TEST(TitleFont, AverageWidthAndHeightAsAsked) {
  EnsureApplication();
  for (const int dpi : {96, 192, 288}) {
    const ScreenMetrics screen{480, 640, dpi, dpi};
    const QFontMetrics title(CellFont(screen.T(24), 700, screen.S(10)));
    EXPECT_EQ(title.averageCharWidth(), screen.S(10)) << dpi;
    EXPECT_LE(title.height(), screen.T(24)) << dpi;
    EXPECT_GE(title.height(), screen.T(24) - 1) << dpi;
    if (dpi != 288) {
      EXPECT_EQ(title.height(), screen.T(24)) << dpi;
    }
    for (const int cell : {screen.T(12), screen.T(20)}) {
      EXPECT_LE(QFontMetrics(CellFont(cell)).height(), cell) << dpi;
      EXPECT_GE(QFontMetrics(CellFont(cell)).height(), cell - 1) << dpi;
    }
  }
}

// Every window the program shows lies on the emulated screen: nothing but the frame is a window
// of the desktop (the soft-key menu, inside the frame, aside).
void ExpectNothingOutsideTheScreen(const CMainFrame& frame) {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (!widget->isVisible() || widget == &frame) continue;
    ADD_FAILURE() << "a window of its own: " << widget->metaObject()->className() << " "
                  << widget->width() << "x" << widget->height();
  }
}

TEST_F(LiveScreen, MessageBoxesWrapInsideTheScreen) {
  const QString path =
      "/home/annabelle/Documents/Backups/Phone/2026/January/BAK_20260105_0845.bak";
  const QString question = QString::fromStdU16String(RestoreQuestion(path.toStdU16String()));
  for (const ScreenMetrics screen :
       {ScreenMetrics{240, 320, 96, 96}, ScreenMetrics{480, 640, 192, 192},
        ScreenMetrics{768, 1024, 288, 288}, ScreenMetrics{640, 480, 192, 192}}) {
    Start(screen);
    ASSERT_EQ(Frame().size(), QSize(screen.width, screen.height));
    ASSERT_EQ(SystemMetrics().height, screen.height);
    CMessageBox box(&Frame(), question, MB_OKCANCEL | MB_ICONQUESTION);
    box.show();
    QApplication::processEvents();
    EXPECT_EQ(box.geometry(), ToQRect(DialogClient(screen)));
    EXPECT_TRUE(box.rect().contains(box.Panel())) << screen.width;
    const QFont font = CellFont(screen.T(13));
    const QStringList lines = WrapLines(question, font, PanelTextWidth(screen));
    EXPECT_GT(lines.size(), 1);
    for (const QString& line : lines) {
      EXPECT_LE(QFontMetrics(font).horizontalAdvance(line.trimmed()), PanelTextWidth(screen))
          << line.toStdString();
    }
    QString joined = lines.join("");
    EXPECT_EQ(joined.remove(' '), QString(question).remove(' '));  // nothing left out
    // The path is broken between its folders, and never just after "file:/".
    EXPECT_TRUE(lines[0].startsWith("Are you sure")) << lines[0].toStdString();
    for (int i = 0; i + 1 < lines.size(); ++i) {
      EXPECT_FALSE(lines[i].endsWith("file:/")) << lines[i].toStdString();
      if (lines[i].contains('/')) {
        EXPECT_TRUE(lines[i].endsWith('/')) << lines[i].toStdString();
      }
    }
    EXPECT_TRUE(box.Panel().contains(box.TextArea()->geometry()));
    ExpectNothingOutsideTheScreen(Frame());
  }
  // A text taller than the screen scrolls inside the panel.
  Start({240, 320, 96, 96});
  QStringList many;
  for (int i = 0; i < 60; ++i) many << QString("Line %1 of a long report.").arg(i);
  CMessageBox tall(&Frame(), many.join("\n"), MB_ICONWARNING);
  tall.show();
  QApplication::processEvents();
  EXPECT_TRUE(tall.rect().contains(tall.Panel()));
  auto* area = static_cast<QScrollArea*>(tall.TextArea());
  EXPECT_GT(area->verticalScrollBar()->maximum(), 0);
}

// The desktop's message box is never used: the worker's messages and the confirmation appear on
// the screen, and OK answers.
TEST_F(LiveScreen, MessageBoxOfTheUserInterfaceIsOnTheScreen) {
  Start({240, 320, 96, 96});
  QtUserInterface ui(&Frame());
  bool seen = false;
  QTimer::singleShot(0, [&] {
    auto* box = dynamic_cast<CMessageBox*>(Frame().TopDialog());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->Text(), "Backup Succeeded.");
    ExpectNothingOutsideTheScreen(Frame());
    seen = true;
    box->findChild<QPushButton*>()->click();
  });
  EXPECT_EQ(ui.MessageBox(u"Backup Succeeded.", MB_ICONINFORMATION), IDOK);
  EXPECT_TRUE(seen);
  EXPECT_TRUE(Frame().TopDialog() == nullptr);
}

// The screens the dialogs must fit: small and dense, portrait and tall.
const ScreenMetrics kDialogScreens[] = {
    {240, 320, 96, 96}, {480, 640, 192, 192}, {480, 800, 240, 240}, {1080, 1920, 480, 480}};

// The file dialogs are Qt's own, laid out on the screen below the title strip, which shows their
// title, one field a row: the folder shown, the whole name, icons at the screen's resolution, the
// filter list opened on the screen; each filter is shown once; the name follows the filter
// chosen; the strip's and the soft keys' face stays as it was.
TEST_F(LiveScreen, FileDialogsLieOnTheScreen) {
  for (const ScreenMetrics screen : kDialogScreens) {
    Start(screen);
    SCOPED_TRACE(std::to_string(screen.width) + "x" + std::to_string(screen.height) + "@" +
                 std::to_string(screen.dpiX));
    const QFont stripFont = CellFont(screen.T(15), 700);
    const QString faceBefore = QFontInfo(stripFont).styleName();
    const int widthBefore = QFontMetrics(stripFont).horizontalAdvance("Quenby Larkpost");
    bool seen = false;
    WhenShown<CFileDialog>([&](CFileDialog* dialog) {
      const std::unique_ptr<CFileDialog, void (*)(CFileDialog*)> closes(
          dialog, [](CFileDialog* d) { d->reject(); });
      EXPECT_EQ(Frame().TitleText(), "Select Save Path.");
      EXPECT_EQ(dialog->geometry(), ToQRect(DialogClient(screen)));
      const QRect inside(QPoint(0, 0), dialog->size());
      for (QWidget* child : dialog->findChildren<QWidget*>()) {
        if (!child->isVisible() || child->parentWidget() != dialog->Files()) continue;
        EXPECT_TRUE(inside.contains(child->geometry())) << child->objectName().toStdString();
      }
      EXPECT_EQ(dialog->Files()->nameFilters(),
                (QStringList{"Larkpost File(*.bak)", "Text File(*.txt)", "Phone XML(*.xml)",
                             "Phone ZIP(*.zip)", "HTML Page(*.html *.htm)"}));
      ExpectNothingOutsideTheScreen(Frame());
      EXPECT_EQ(QFontInfo(stripFont).styleName(), faceBefore);
      EXPECT_EQ(QFontMetrics(stripFont).horizontalAdvance("Quenby Larkpost"), widthBefore);
      auto* name = dialog->Files()->findChild<QLineEdit*>("fileNameEdit");
      auto* folder = dialog->Files()->findChild<QComboBox*>("lookInCombo");
      auto* types = dialog->Files()->findChild<QComboBox*>("fileTypeCombo");
      auto* files = dialog->Files()->findChild<QAbstractItemView*>("listView");
      ASSERT_TRUE(name != nullptr && folder != nullptr && types != nullptr && files != nullptr);
      // The folder and the whole name are shown, the icons scaled with the screen.
      EXPECT_TRUE(folder->isVisible());
      EXPECT_GE(folder->width(), screen.width / 2);
      EXPECT_LT(QFontMetrics(name->font()).horizontalAdvance(name->text()),
                name->contentsRect().width());
      EXPECT_EQ(files->iconSize(), QSize(screen.S(16), screen.T(16)));
      // The filter list opens on the screen.
      types->showPopup();
      QApplication::processEvents();
      QWidget* list = types->view()->window();
      EXPECT_TRUE(list->isVisible());
      EXPECT_TRUE(QRect(Frame().mapToGlobal(QPoint(0, 0)), Frame().size())
                      .contains(list->geometry()))
          << list->geometry().y() << "+" << list->height();
      types->hidePopup();
      // Choosing the phone's XML makes the proposed name one.
      types->setCurrentIndex(2);
      types->activated(2);
      EXPECT_EQ(name->text(), "BAK_20260105_0845.xml");
      seen = true;
    });
    QString path;
    EXPECT_FALSE(QtFileDialogs().AskSavePath("Select Save Path.",
                                             QString::fromStdU16String(SaveDialogFilter()), "bak",
                                             "BAK_20260105_0845.bak", &path));
    EXPECT_TRUE(seen);
    EXPECT_TRUE(Frame().TopDialog() == nullptr);
  }
}

// A name that is not there is told in a box of the screen, and the dialog goes on asking.
TEST_F(LiveScreen, OpenDialogTellsAMissingFileOnTheScreen) {
  Start({240, 320, 96, 96});
  QString told;
  bool stillAsking = false;
  WhenShown<CFileDialog>([&](CFileDialog* dialog) {
    if (auto* name = dialog->Files()->findChild<QLineEdit*>("fileNameEdit")) {
      name->setText("nosuch.bak");
    }
    QTimer::singleShot(0, [&] {
      if (auto* box = dynamic_cast<CMessageBox*>(Frame().TopDialog())) {
        told = box->Text();
        ExpectNothingOutsideTheScreen(Frame());
        box->reject();
      }
    });
    static_cast<QDialog*>(dialog->Files())->accept();  // the Open or Save key
    stillAsking = dialog->isVisible();
    dialog->reject();
  });
  QString path;
  EXPECT_FALSE(QtFileDialogs().AskOpenPath(
      "Select File Path.", QString::fromStdU16String(ReadableFilter(OpenDialogFilter())), "bak",
      &path));
  EXPECT_EQ(told, "nosuch.bak\nFile not found.\nCheck the file name and try again.");
  EXPECT_TRUE(stillAsking);
}

// Saving a page asks before it replaces the page and the media folder made for it, and refuses a
// folder of that name that no run made for it (a browser's saved page), keeping the dialog up.
TEST_F(LiveScreen, SaveDialogAsksBeforeAPageAndRefusesAFolderItDidNotMake) {
  namespace fs = std::filesystem;
  Start({240, 320, 96, 96});
  larkpost::testing::TempDir temp;
  const QString folder = QString::fromStdString(temp.path());
  fs::create_directory(fs::path(temp.path()) / "saved_files");  // a browser's
  std::ofstream(fs::path(temp.path()) / "saved_files" / "style.css") << "body{}";
  std::ofstream(fs::path(temp.path()) / "mine.html") << "<!DOCTYPE html>";
  fs::create_directory(fs::path(temp.path()) / "mine_files");
  std::ofstream(fs::path(temp.path()) / "mine_files" / ".larkpost-page") << "mine.html\n";
  QtUserInterface ui(&Frame());
  InstallUserInterface(&ui);
  // Each time the dialog is up a name is typed and saved; each box is read and answered: the
  // refusal with OK, the first question with Cancel, the second with OK.
  const char* const names[] = {"saved.html", "mine.html", "mine.html"};
  size_t typed = 0;
  bool boxDue = false;
  QStringList told;
  auto* poll = new QTimer(&Frame());
  QObject::connect(poll, &QTimer::timeout, poll, [&] {
    QWidget* top = Frame().TopDialog();
    if (auto* box = dynamic_cast<CMessageBox*>(top)) {
      told << box->Text();
      ExpectNothingOutsideTheScreen(Frame());
      boxDue = false;
      told.size() == 2 ? box->reject() : box->accept();
    } else if (auto* dialog = dynamic_cast<CFileDialog*>(top);
               dialog != nullptr && dialog->isVisible() && !boxDue && typed < 3) {
      if (typed == 0) dialog->Files()->setDirectory(folder);
      auto* name = dialog->Files()->findChild<QLineEdit*>("fileNameEdit");
      if (name == nullptr) {
        ADD_FAILURE() << "no name field";
        dialog->reject();
        return;
      }
      name->setText(names[typed++]);
      boxDue = true;
      static_cast<QDialog*>(dialog->Files())->accept();  // the Save key
    }
  });
  poll->start(10);
  QString path;
  ASSERT_TRUE(QtFileDialogs().AskSavePath("Select Save Path.",
                                          QString::fromStdU16String(SaveDialogFilter()), "html",
                                          "BAK_20260105_0845.html", &path));
  EXPECT_EQ(QFileInfo(path).fileName(), "mine.html");
  const QString mine = "mine.html already exists.\nIts folder mine_files goes with it.\n"
                       "Do you want to replace it?";
  EXPECT_EQ(told, QStringList({"saved_files already exists and was not made for this page.\n"
                               "Choose another name.",
                               mine, mine}));
  delete poll;
  InstallUserInterface(nullptr);
  ProgramSettings().clear();
}

// The code page chosen in a file dialog is the program's from then on (and at its next start),
// and the next dialog opens in the folder of the file chosen.
TEST_F(LiveScreen, FileDialogKeepsTheFolderAndTheCodePage) {
  Start({480, 640, 192, 192});
  larkpost::testing::TempDir temp;
  const QString folder = QString::fromStdString(temp.path());
  WhenShown<CFileDialog>([&](CFileDialog* dialog) {
    dialog->Files()->setDirectory(folder);
    auto* pages = dialog->Files()->findChild<QComboBox*>("codePageCombo");
    auto* name = dialog->Files()->findChild<QLineEdit*>("fileNameEdit");
    if (pages == nullptr || name == nullptr) {
      ADD_FAILURE() << "no code page or name field";
      dialog->reject();
      return;
    }
    EXPECT_EQ(pages->currentData().toUInt(), 1252u);
    pages->setCurrentIndex(pages->findData(65001u));
    name->setText("new.bak");
    static_cast<QDialog*>(dialog->Files())->accept();  // the Open or Save key
  });
  QString path;
  ASSERT_TRUE(QtFileDialogs().AskSavePath("Select Save Path.",
                                          QString::fromStdU16String(SaveDialogFilter()), "bak",
                                          "BAK_20260105_0845.bak", &path));
  EXPECT_EQ(QFileInfo(path).fileName(), "new.bak");
  EXPECT_EQ(GetACP(), 65001u);
  EXPECT_EQ(SavedCodePage(), 65001u);
  CFileDialog next(&Frame(), "Select File Path.", false);
  EXPECT_EQ(QFileInfo(next.Files()->directory().absolutePath()).canonicalFilePath(),
            QFileInfo(folder).canonicalFilePath());
  ASSERT_TRUE(SetAnsiCodePage(1252));
  ProgramSettings().clear();
}

// The proposed name follows the chosen format, as the phone app finds its files: sms-*.xml; a
// name the user typed keeps its stem.
TEST_F(LiveScreen, SaveDialogProposesTheNameTheFormatsAppLists) {
  Start({480, 640, 192, 192});
  QString proposed, typed;
  WhenShown<CFileDialog>([&](CFileDialog* dialog) {
    auto* name = dialog->Files()->findChild<QLineEdit*>("fileNameEdit");
    QString xml;
    for (const QString& filter : dialog->Files()->nameFilters()) {
      if (filter.contains("*.xml")) xml = filter;
    }
    if (name == nullptr || xml.isEmpty()) {
      ADD_FAILURE() << "no name field or XML filter";
      dialog->reject();
      return;
    }
    emit dialog->Files()->filterSelected(xml);
    proposed = name->text();
    name->setText("mine.bak");
    emit dialog->Files()->filterSelected(xml);
    typed = name->text();
    dialog->reject();
  });
  QString path;
  QtFileDialogs().AskSavePath("Select Save Path.", QString::fromStdU16String(SaveDialogFilter()),
                              "bak", "BAK_20260105_0845.bak", &path);
  EXPECT_TRUE(QRegularExpression("^sms-[0-9]{14}\\.xml$").match(proposed).hasMatch()) << proposed.toStdString();
  EXPECT_EQ(typed, "mine.xml");
}

// The password screen lies on every screen, shows nothing of what is typed, answers Enter with
// what was typed (not before something is) and Escape with Cancel.
TEST_F(LiveScreen, PasswordScreenHidesWhatIsTypedAndAnswersByKeys) {
  for (const ScreenMetrics screen : kDialogScreens) {
    Start(screen);
    SCOPED_TRACE(std::to_string(screen.width) + "x" + std::to_string(screen.height));
    QtUserInterface ui(&Frame());
    for (const bool enter : {true, false}) {
      bool seen = false;
      WhenShown<CSecretBox>([&](CSecretBox* box) {
        seen = true;
        EXPECT_EQ(box->geometry(), ToQRect(DialogClient(screen)));
        EXPECT_TRUE(box->rect().contains(box->Panel()));
        for (QWidget* child : box->findChildren<QWidget*>()) {
          if (child->isVisible() && child->parentWidget() == box) {
            EXPECT_TRUE(box->Panel().contains(child->geometry())) << child->metaObject()->className();
          }
        }
        ExpectNothingOutsideTheScreen(Frame());
        QLineEdit* field = box->Field();
        EXPECT_EQ(field->echoMode(), QLineEdit::Password);
        EXPECT_TRUE(field->hasFocus());
        EXPECT_EQ(field->accessibleName(), "Password");
        auto press = [field](int key) {
          QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier);
          QApplication::sendEvent(field, &down);
        };
        if (!enter) {
          field->setText("typed");
          press(Qt::Key_Escape);
          return;
        }
        press(Qt::Key_Return);  // nothing typed: the box stays
        QApplication::processEvents();
        EXPECT_TRUE(box->isVisible());
        field->setText(QString::fromUtf8("pässwörd"));
        press(Qt::Key_Return);
      });
      std::string secret = "before";
      EXPECT_EQ(ui.AskSecret(u"The iPhone backup 00008110-001A2B3C is encrypted. Type the "
                             u"password it was encrypted with:",
                             secret),
                enter);
      EXPECT_TRUE(seen);
      EXPECT_EQ(secret, enter ? "pässwörd" : "before");
      EXPECT_TRUE(Frame().TopDialog() == nullptr);
    }
  }
}

// The open dialog takes the folder of an iPhone backup, or the folder that holds one, as the
// input (Open on it, or entering the backup's own folder), and goes on into any other folder.
TEST_F(LiveScreen, OpenDialogTakesAnIphoneBackupFolder) {
  Start({240, 320, 96, 96});
  larkpost::testing::TempDir temp;
  const std::filesystem::path root = std::filesystem::path(temp.path()) / "Backup" / "00008110-001A";
  std::filesystem::create_directories(root);
  std::filesystem::create_directories(std::filesystem::path(temp.path()) / "Other");
  {
    sqlite3* manifest = nullptr;
    ASSERT_EQ(sqlite3_open((root / "Manifest.db").c_str(), &manifest), SQLITE_OK);
    sqlite3_exec(manifest,
                 "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, "
                 "flags INTEGER, file BLOB);",
                 nullptr, nullptr, nullptr);
    sqlite3_close(manifest);
  }
  const QString top = QString::fromStdString(temp.path());
  auto ask = [&](const std::function<void(QFileDialog*, QLineEdit*)>& act) {
    WhenShown<CFileDialog>([&, act](CFileDialog* dialog) {
      dialog->Files()->setDirectory(top);
      auto* name = dialog->Files()->findChild<QLineEdit*>("fileNameEdit");
      if (name == nullptr) {
        ADD_FAILURE() << "no name field";
        dialog->reject();
        return;
      }
      act(dialog->Files(), name);
      if (dialog->isVisible()) dialog->reject();
    });
    QString path;
    const bool chosen = QtFileDialogs().AskOpenPath(
        "Select File Path.", QString::fromStdU16String(ReadableFilter(OpenDialogFilter())), "bak",
        &path);
    return chosen ? path : QString();
  };
  auto open = [](QFileDialog* files, QLineEdit* name, const QString& typed) {
    name->setText(typed);
    static_cast<QDialog*>(files)->accept();  // the Open key
  };
  EXPECT_EQ(ask([&](QFileDialog* f, QLineEdit* n) { open(f, n, "Backup"); }), top + "/Backup");
  EXPECT_EQ(ask([&](QFileDialog* f, QLineEdit* n) { open(f, n, "Backup/00008110-001A"); }),
            top + "/Backup/00008110-001A");
  EXPECT_EQ(ask([&](QFileDialog* f, QLineEdit*) {
              f->setDirectory(top + "/Backup/00008110-001A");
              emit f->directoryEntered(top + "/Backup/00008110-001A");
            }),
            top + "/Backup/00008110-001A");
  QString entered;
  EXPECT_EQ(ask([&](QFileDialog* f, QLineEdit* n) {
              open(f, n, "Other");
              entered = f->directory().absolutePath();
            }),
            QString());
  EXPECT_EQ(entered, top + "/Other");
  ProgramSettings().clear();
}

// The save dialog's "Encrypt the file" box and the name's ".age" say the same, whichever the
// user changes, and ".age" stays after the ending a filter gives.
TEST_F(LiveScreen, SaveDialogsEncryptBoxFollowsTheName) {
  Start({240, 320, 96, 96});
  QStringList names;
  bool boxVisible = false;
  WhenShown<CFileDialog>([&](CFileDialog* dialog) {
    auto* name = dialog->Files()->findChild<QLineEdit*>("fileNameEdit");
    auto* encrypt = dialog->Files()->findChild<QCheckBox*>("encryptCheck");
    QString zip;
    for (const QString& filter : dialog->Files()->nameFilters()) {
      if (filter.contains("*.zip")) zip = filter;
    }
    if (name == nullptr || encrypt == nullptr || zip.isEmpty()) {
      ADD_FAILURE() << "no name field, encrypt box or ZIP filter";
      dialog->reject();
      return;
    }
    boxVisible = encrypt->isVisible() && QRect(QPoint(0, 0), dialog->Files()->size())
                                             .contains(encrypt->geometry());
    encrypt->setChecked(true);
    names << name->text();
    name->setText("mine.bak");
    names << QString::number(encrypt->isChecked());
    name->setText("mine.bak.AGE");
    names << QString::number(encrypt->isChecked());
    emit dialog->Files()->filterSelected(zip);
    names << name->text();
    encrypt->setChecked(false);
    names << name->text();
    dialog->reject();
  });
  QString path;
  QtFileDialogs().AskSavePath("Select Save Path.", QString::fromStdU16String(SaveDialogFilter()),
                              "bak", "BAK_20260105_0845.bak", &path);
  EXPECT_TRUE(boxVisible);
  EXPECT_EQ(names, (QStringList{"BAK_20260105_0845.bak.age", "0", "1", "mine.zip.AGE", "mine.zip"}));
}

// A name wider than the line is broken where its parts meet, never inside a word of it.
TEST(WrapLines, NameWiderThanTheLineBreaksBetweenItsParts) {
  EnsureApplication();
  const QFont font = CellFont(26);
  const int width = QFontMetrics(font).horizontalAdvance("BAK_20260105_08") + 1;
  EXPECT_EQ(WrapLines("/home/ann/BAK_20260105_0845.bak", font, width),
            (QStringList{"/home/ann/", "BAK_20260105_", "0845.bak"}));
}

// Resizing the window sets the screen's size and lays everything out again, as a rotation does.
TEST_F(LiveScreen, ResizingTheWindowSetsTheScreen) {
  Start({480, 640, 192, 192});
  EXPECT_EQ(View().ImageListBuilds(), 1);
  Frame().resize(600, 640);  // the same height: the images stay
  QApplication::processEvents();
  EXPECT_EQ(SystemMetrics().width, 600);
  ExpectViewFollowsTable();
  EXPECT_EQ(View().Control(1027)->x(), (600 - 400) / 2);
  EXPECT_EQ(View().ImageListBuilds(), 1);
  Frame().resize(600, 900);  // now tall: the 72-pixel bitmaps
  QApplication::processEvents();
  EXPECT_EQ(SystemMetrics().height, 900);
  ExpectViewFollowsTable();
  EXPECT_EQ(View().ImageListBuilds(), 2);
  EXPECT_EQ(View().Images(1027).images[0].size(), QSize(144, 144));
  EXPECT_EQ(Frame().SoftKeyMenu()->Place().bottom, 900 - SystemMetrics().T(26));
}

#ifdef LARKPOST_GUI_BINARY
// --help names the program and the forms --dpi takes; --version says the one version.
TEST(CommandLine, HelpNamesTheProgramAndTheDpiForms) {
  FILE* pipe = popen(LARKPOST_GUI_BINARY " --help", "r");
  ASSERT_NE(pipe, nullptr);
  std::string help;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) help += buffer;
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_NE(help.find("Usage: larkpost-gui [options]"), std::string::npos) << help;
  EXPECT_NE(help.find("--dpi <N|XxY>"), std::string::npos) << help;
  EXPECT_EQ(help.find("<executable_name>"), std::string::npos) << help;

  pipe = popen(LARKPOST_GUI_BINARY " --version", "r");
  ASSERT_NE(pipe, nullptr);
  std::string version;
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) version += buffer;
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(version, std::string("larkpost-gui ") + LARKPOST_VERSION + "\n");
}

// Pictures and the layout leave the user's data alone: no default store is made for them.
TEST(CommandLine, ScreenshotAndLayoutTouchNoStore) {
  larkpost::testing::TempDir home;
  const std::string env = "XDG_DATA_HOME='" + home.path() + "/data' XDG_CONFIG_HOME='" +
                          home.path() + "/config' HOME='" + home.path() + "' ";
  for (const std::string& options :
       {std::string(" --dump-layout > /dev/null"), " --show about --screenshot '" + home.path() + "/a.png'"}) {
    EXPECT_EQ(std::system((env + LARKPOST_GUI_BINARY + options + " 2> /dev/null").c_str()), 0)
        << options;
    EXPECT_FALSE(std::filesystem::exists(home.path() + "/data")) << options;
  }
  EXPECT_TRUE(std::filesystem::exists(home.path() + "/a.png"));
}
#endif

}  // namespace
}  // namespace larkpost::app
