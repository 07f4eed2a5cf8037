#include "app/progress_dialog.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QEventLoop>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <QtGui/QCloseEvent>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QProgressBar>

#include <climits>
#include <cmath>

#include "app/file_dialog.h"
#include "app/message_box.h"
#include "app/secret_box.h"
#include "platform/framework/strings.h"

namespace larkpost::app {

namespace {

constexpr int kPollMilliseconds = 1000;
constexpr const char* kClosingNote = "Larkpost closes when the run has ended.";

QLabel* MakeStatic(QWidget* parent, const char* text, Qt::Alignment alignment) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(alignment | Qt::AlignTop);
  return label;
}

}  // namespace

CProgressDialog::CProgressDialog(const std::atomic<double>* progress,
                                 const std::atomic<int32_t>* finished, QWidget* frame)
    : CDeviceDialog(frame, "Dialog", false), m_pProgress(progress), m_pFinished(finished) {
  // Template 138's controls; their places come from OnSize.
  m_progress = new QProgressBar(this);
  m_progress->setRange(0, 100);
  m_progress->setValue(0);
  m_progress->setTextVisible(false);
  m_staticPercent = MakeStatic(this, "%", Qt::AlignLeft);
  m_staticNumber = MakeStatic(this, "0", Qt::AlignRight);
  m_staticTop = MakeStatic(this, "Static", Qt::AlignLeft);
  m_staticBottom = MakeStatic(this, "Static", Qt::AlignLeft);
  m_progress->setObjectName("1012");
  m_staticNumber->setObjectName("1013");
  m_staticTop->setObjectName("1014");
  m_staticBottom->setObjectName("1015");
  m_staticPercent->setObjectName("1016");

  // What the dialog's initialisation does once its window exists.
  m_nTimer.start(kPollMilliseconds, this);
  const ScreenMetrics& screen = SystemMetrics();
  m_staticTop->setFont(CellFont(screen.T(16), 700));
  const QFont number = CellFont(screen.T(16));
  m_staticNumber->setFont(number);
  m_staticPercent->setFont(number);
  m_staticBottom->setFont(CellFont(screen.T(16)));
  m_staticTop->setText(LoadQString(IDS_PROGRESS_TITLE));
  m_staticBottom->setText(LoadQString(IDS_HOME_PAGE));
  // For assistive tools: the dialog by its top label, the bar as what it measures.
  setAccessibleName(m_staticTop->text());
  setAccessibleDescription("A backup or restore is running; this screen closes when it ends.");
  m_progress->setAccessibleName("Completed");
  m_progress->setAccessibleDescription("Percentage of the run's messages done");
  OnSize(width());
}

void CProgressDialog::OnCloseRequested() {
  if (m_pFinished->load() != 0) {
    CDeviceDialog::OnCloseRequested();
    return;
  }
  // The close is not ignored: the screen says when it happens.
  closing_ = true;
  ShowNote(kClosingNote, "closing");
}

void CProgressDialog::ShowNote(const QString& text, const char* name) {
  if (note_ == nullptr) {
    note_ = MakeStatic(this, "", Qt::AlignHCenter);
    note_->setWordWrap(true);
    note_->setFont(CellFont(SystemMetrics().T(13), 700));
    note_->show();
  }
  note_->setObjectName(name);
  note_->setText(text);
  setAccessibleDescription(text);
  OnSize(width());
}

int CProgressDialog::Percent() const {
  const double value = std::trunc(m_pProgress->load() * 100.0);
  if (!std::isfinite(value)) return 0;
  if (value >= INT_MAX) return INT_MAX;
  if (value <= INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

void CProgressDialog::OnTimer() {
  ++ticks_;
  if (m_pFinished->load() != 0) {
    m_progress->setValue(100);
    m_staticNumber->setText(QString::number(Percent()));
    m_nTimer.stop();
    accept();
    return;
  }
  // Why the run is not getting on, until a close asked for says more.
  if (status_ && !closing_) {
    const QString status = status_();
    if (!status.isEmpty() && (note_ == nullptr || note_->text() != status)) {
      ShowNote(status, "status");
    }
  }
  // The number may pass 100 when more was done than counted; the bar stays full.
  m_progress->setValue(std::clamp(Percent(), 0, 100));
  m_staticNumber->setText(QString::number(Percent()));
}

void CProgressDialog::timerEvent(QTimerEvent* event) {
  if (event->timerId() == m_nTimer.timerId()) {
    OnTimer();
    return;
  }
  CDeviceDialog::timerEvent(event);
}

void CProgressDialog::OnSize(int cx) {
  if (m_progress == nullptr) return;
  for (const auto& [id, place] : LayOutProgress(SystemMetrics(), cx)) {
    QWidget* control = id == 1012   ? static_cast<QWidget*>(m_progress)
                       : id == 1013 ? m_staticNumber
                       : id == 1016 ? m_staticPercent
                       : id == 1014 ? m_staticTop
                                    : m_staticBottom;
    control->setGeometry(ToQRect(place));
    control->update();
  }
  if (note_ != nullptr) {
    // Below the template's controls, across the screen.
    const ScreenMetrics& screen = SystemMetrics();
    const int top = ToQRect(LayOutProgress(screen, cx).back().second).bottom() + screen.T(12);
    note_->setFont(CellFont(screen.T(13), 700));
    note_->setGeometry(screen.S(8), top, cx - 2 * screen.S(8),
                       std::max(height() - top - screen.T(4), 0));
  }
}

void CProgressDialog::resizeEvent(QResizeEvent* event) {
  CDeviceDialog::resizeEvent(event);
  OnSize(width());
}

void CProgressDialog::OnScreenChanged() { OnSize(width()); }

void CProgressDialog::accept() {
  if (m_pFinished->load() != 0) CDeviceDialog::accept();
}

void CProgressDialog::reject() {
  if (m_pFinished->load() != 0) CDeviceDialog::reject();
}

void CProgressDialog::closeEvent(QCloseEvent* event) {
  if (m_pFinished->load() == 0) {
    event->ignore();
    return;
  }
  CDeviceDialog::closeEvent(event);
}

int QtUserInterface::MessageBox(const std::u16string& text, unsigned type) {
  // Read on the thread that asks: the addendum looks at the asking worker's own job.
  const QString message =
      QString::fromStdU16String(addendum_ ? text + addendum_(type & 0xF0) : text);
  QObject* context = frame_ != nullptr ? static_cast<QObject*>(frame_) : qApp;
  if (QThread::currentThread() == context->thread()) return ShowMessageBox(message, type);
  // From the worker: shown by the user-interface thread; the worker waits for the answer.
  int answer = IDCANCEL;
  QMetaObject::invokeMethod(
      context, [this, &message, type] { return ShowMessageBox(message, type); },
      Qt::BlockingQueuedConnection, &answer);
  return answer;
}

int QtUserInterface::ShowMessageBox(const QString& text, unsigned type) {
  // Asked to close during the run: the outcome is still shown, and says what follows.
  const bool closing = frame_ != nullptr && frame_->ClosingAfterRun();
  CMessageBox box(frame_, closing ? text + "\n\n" + kClosingNote : text, type);
  return box.Run();
}

bool QtUserInterface::AskSecret(const std::u16string& prompt, std::string& secret) {
  const QString text = QString::fromStdU16String(prompt);
  QObject* context = frame_ != nullptr ? static_cast<QObject*>(frame_) : qApp;
  if (QThread::currentThread() == context->thread()) {
    return ShowSecretBox(text, "Password", secret, nullptr);
  }
  bool answered = false;
  QMetaObject::invokeMethod(
      context, [this, &text, &secret] { return ShowSecretBox(text, "Password", secret, nullptr); },
      Qt::BlockingQueuedConnection, &answered);
  return answered;
}

bool QtUserInterface::AskKey(const QString& prompt, const QString& fieldName, std::string& secret,
                             QString* keyFile) {
  return ShowSecretBox(prompt, fieldName, secret, keyFile);
}

bool QtUserInterface::ShowSecretBox(const QString& prompt, const QString& fieldName,
                                    std::string& secret, QString* keyFile) {
  std::function<QString()> choose;
  if (keyFile != nullptr && frame_ != nullptr) {
    choose = [this]() -> QString {
      QString path;
      if (!frame_->Dialogs().AskOpenPath("Choose the key file.", "All Files|*|", QString(),
                                         &path)) {
        return QString();
      }
      return path;
    };
  }
  CSecretBox box(frame_, prompt, fieldName, std::move(choose));
  return box.Run(secret, keyFile);
}

void QtUserInterface::WaitForWorker(const std::atomic<double>& progress,
                                    const std::atomic<int32_t>& finished) {
  // Not exec(): a quit asked for while the run goes on ends every event loop of the thread, and
  // the job must outlive its worker. The dialog ends itself only after `finished`.
  {
    std::lock_guard<std::mutex> lock(statusMutex_);
    status_.clear();
  }
  CProgressDialog dialog(&progress, &finished, frame_);
  dialog.SetStatus([this] {
    std::lock_guard<std::mutex> lock(statusMutex_);
    return status_;
  });
  dialog.show();
  ServeUntil([&] { return !dialog.isVisible(); });
}

void QtUserInterface::Status(const std::u16string& text) {
  std::lock_guard<std::mutex> lock(statusMutex_);
  status_ = QString::fromStdU16String(text);
}

void QtUserInterface::WaitForWorkerExit(const std::atomic<bool>& exited) {
  ServeUntil([&] { return exited.load(); });
}

void QtUserInterface::ServeUntil(const std::function<bool()>& done) {
  if (done()) return;
  // The timer wakes the loop to look at `done`, which the worker sets without an event.
  QTimer poll;
  poll.start(5);
  while (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

}  // namespace larkpost::app
