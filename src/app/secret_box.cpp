#include "app/secret_box.h"

#include <QtGui/QPainter>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>

#include <algorithm>

#include "app/message_box.h"
#include "platform/framework/framework.h"
#include "platform/framework/strings.h"

namespace larkpost::app {

namespace {

// Sizes at 96 dpi, the message box's where they are the same.
constexpr int kSideMargin = 6;
constexpr int kPadding = 8;
constexpr int kIcon = 32;
constexpr int kButtonWidth = 70;
constexpr int kButtonHeight = 26;
constexpr int kFieldHeight = 24;
constexpr int kGap = 6;  // between the text, the field and the key-file key

}  // namespace

CSecretBox::CSecretBox(QWidget* frame, const QString& prompt, const QString& fieldName,
                       std::function<QString()> chooseKeyFile)
    : CDeviceDialog(frame, LoadQString(AFX_IDS_APP_TITLE), false),
      prompt_(prompt),
      chooseKeyFile_(std::move(chooseKeyFile)) {
  setAutoFillBackground(false);  // the screen below shows, dimmed, around the panel
  setAccessibleName(fieldName);
  setAccessibleDescription(prompt_);
  text_ = new QLabel(this);
  text_->setObjectName("text");
  text_->setTextFormat(Qt::PlainText);
  text_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  text_->setAccessibleName(prompt_);
  field_ = new QLineEdit(this);
  field_->setObjectName("secret");
  field_->setEchoMode(QLineEdit::Password);
  field_->setAccessibleName(fieldName);
  field_->setAccessibleDescription(prompt_);
  if (chooseKeyFile_) {
    keyFileKey_ = new QPushButton("&Key File...", this);
    keyFileKey_->setAccessibleDescription("Choose a key file instead of typing");
    keyFileKey_->setAutoDefault(false);
    connect(keyFileKey_, &QPushButton::clicked, this, [this] {
      const QString chosen = chooseKeyFile_();
      if (chosen.isEmpty()) {
        field_->setFocus();
        return;
      }
      keyFile_ = chosen;
      done(IDOK);
    });
  }
  ok_ = new QPushButton("OK", this);
  ok_->setDefault(true);
  ok_->setEnabled(false);  // nothing typed yet
  connect(ok_, &QPushButton::clicked, this, [this] {
    if (!field_->text().isEmpty()) done(IDOK);
  });
  cancel_ = new QPushButton("Cancel", this);
  cancel_->setAutoDefault(false);
  connect(cancel_, &QPushButton::clicked, this, [this] { done(IDCANCEL); });
  connect(field_, &QLineEdit::textChanged, this,
          [this](const QString& text) { ok_->setEnabled(!text.isEmpty()); });
  // The field first, then the keys in the order they stand.
  setTabOrder(field_, keyFileKey_ != nullptr ? keyFileKey_ : ok_);
  if (keyFileKey_ != nullptr) setTabOrder(keyFileKey_, ok_);
  setTabOrder(ok_, cancel_);
  LayOut();
}

bool CSecretBox::Run(std::string& secret, QString* keyFile) {
  field_->setFocus();
  const bool answered = exec() == IDOK;
  const QString typed = field_->text();
  field_->clear();  // no copy of it stays in the widget
  if (!answered) return false;
  if (!keyFile_.isEmpty()) {
    if (keyFile == nullptr) return false;
    *keyFile = keyFile_;
    secret.clear();
    return true;
  }
  secret = typed.toStdString();
  if (keyFile != nullptr) keyFile->clear();
  return true;
}

void CSecretBox::LayOut() {
  const ScreenMetrics& screen = SystemMetrics();
  setFont(CellFont(screen.T(13)));
  const int textWidth = std::max(PanelTextWidth(screen), 1);
  const QStringList lines = WrapLines(prompt_, font(), textWidth);
  text_->setText(lines.join('\n'));
  const int textHeight = static_cast<int>(lines.size()) * QFontMetrics(font()).lineSpacing();
  const int fieldHeight = std::max(screen.T(kFieldHeight), field_->sizeHint().height());
  const int keyHeight = screen.T(kButtonHeight);
  int body = textHeight + screen.T(kGap) + fieldHeight;
  if (keyFileKey_ != nullptr) body += screen.T(kGap) + keyHeight;
  panel_ = MessagePanel(screen, body);
  const int pad = screen.T(kPadding);
  const int left = panel_.left + screen.S(kPadding) + screen.S(kIcon) + screen.S(kPadding);
  const int right = panel_.right - screen.S(kPadding);
  int top = panel_.top + pad;
  text_->setGeometry(left, top, textWidth, textHeight);
  top += textHeight + screen.T(kGap);
  field_->setGeometry(left, top, right - left, fieldHeight);
  top += fieldHeight + screen.T(kGap);
  const QFont keyFont = CellFont(screen.T(13), 700);
  if (keyFileKey_ != nullptr) {
    keyFileKey_->setFont(keyFont);
    const int width = std::max(screen.S(kButtonWidth), keyFileKey_->sizeHint().width());
    keyFileKey_->setGeometry(left, top, std::min(width, right - left), keyHeight);
  }
  const int buttonTop = panel_.bottom - pad - keyHeight;
  int x = right;
  for (QPushButton* button : {cancel_, ok_}) {
    button->setFont(keyFont);
    button->setGeometry(x - screen.S(kButtonWidth), buttonTop, screen.S(kButtonWidth), keyHeight);
    x -= screen.S(kButtonWidth) + screen.S(kSideMargin);
  }
  update();
}

void CSecretBox::OnScreenChanged() { LayOut(); }

void CSecretBox::resizeEvent(QResizeEvent* event) {
  CDeviceDialog::resizeEvent(event);
  LayOut();
}

void CSecretBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  PaintBoxPanel(painter, rect(), ToQRect(panel_), MB_ICONQUESTION);
}

}  // namespace larkpost::app
