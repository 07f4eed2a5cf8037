// The handheld's password screen: a panel like the message box's (its icon, the question broken
// into lines of the panel's width) with one field that never shows what is typed, and OK and
// Cancel below. Enter answers OK once something is typed, Escape answers Cancel. It may offer a
// key file instead ("Key File..."): an encrypted file opens with a passphrase or with the key it
// was encrypted to, and a new one is encrypted with a passphrase or to the recipients a file
// lists. It covers the screen below the title strip and is laid out again when the screen turns.
//
// Runs on the user-interface thread.
#pragma once

#include <functional>
#include <string>

#include "app/frame.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace larkpost::app {

class CSecretBox : public CDeviceDialog {
 public:
  // `prompt` says what is asked for; `fieldName` names the field to a screen reader
  // ("Password", "Passphrase"). With `chooseKeyFile`, the "Key File..." key calls it; a path it
  // gives answers the box.
  CSecretBox(QWidget* frame, const QString& prompt, const QString& fieldName,
             std::function<QString()> chooseKeyFile = nullptr);

  // Shows the box until it is answered. True with what was typed in `secret`, or with the key
  // file chosen in `keyFile` (`secret` then empty); false for Cancel, Escape or the program
  // quitting.
  bool Run(std::string& secret, QString* keyFile = nullptr);

  QLineEdit* Field() const { return field_; }  // for tests and screenshots
  QRect Panel() const { return ToQRect(panel_); }

  void OnScreenChanged() override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void LayOut();

  QString prompt_;
  QLabel* text_ = nullptr;
  QLineEdit* field_ = nullptr;
  QPushButton* keyFileKey_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
  std::function<QString()> chooseKeyFile_;
  QString keyFile_;
  Rect panel_;
};

}  // namespace larkpost::app
