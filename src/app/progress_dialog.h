// The progress dialog that the user-interface thread waits in while a run's worker goes on, and
// the desktop program's implementation of the framework's UserInterface.
//
// The dialog polls the job's `progress` and `finished` once every 1000 ms; the first tick that
// finds `finished` set ends it. Until then OK, close and cancel requests are refused: the job
// is destroyed as soon as the dialog has ended, and the worker still uses it.
//
// Message boxes asked for by the worker are shown on the user-interface thread (they appear
// over the progress dialog, which keeps its last percentage) while the worker waits for the
// answer. Quitting during a run ends the program once the run is over: the waits go on serving
// the worker, and a box asked for while the program quits closes at once (answered Cancel).
#pragma once

#include <QtCore/QBasicTimer>
#include <QtCore/QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "app/frame.h"
#include "platform/framework/framework.h"

class QLabel;
class QProgressBar;

namespace larkpost::app {

class CProgressDialog : public CDeviceDialog {
 public:
  CProgressDialog(const std::atomic<double>* progress, const std::atomic<int32_t>* finished,
                  QWidget* frame);

  int Ticks() const { return ticks_; }  // timer ticks seen, for tests
  // Asked at every tick: a line shown below the percentage while it is not empty (a run waiting
  // for another on the store says so).
  void SetStatus(std::function<QString()> status) { status_ = std::move(status); }
  // One timer tick, as the 1000 ms timer delivers it.
  void OnTimer();
  // Lays the controls out for a client area `cx` wide.
  void OnSize(int cx);

  void accept() override;  // OK: only once the run has finished
  void reject() override;  // cancel: likewise
  // While the run goes on the program stays open: the worker still uses the job. A close asked
  // for then is shown below the percentage ("Larkpost closes when the run has ended.").
  bool MayClose() const override { return m_pFinished->load() != 0; }
  void OnCloseRequested() override;

 protected:
  void timerEvent(QTimerEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void OnScreenChanged() override;

 private:
  int Percent() const;
  void ShowNote(const QString& text, const char* name);

  const std::atomic<double>* m_pProgress;
  const std::atomic<int32_t>* m_pFinished;
  QBasicTimer m_nTimer;
  QProgressBar* m_progress;
  QLabel* m_staticTop;
  QLabel* m_staticBottom;
  QLabel* m_staticNumber;
  QLabel* m_staticPercent;
  // Below the percentage: the run's status, or once a close was asked for during the run, when
  // the program closes.
  QLabel* note_ = nullptr;
  std::function<QString()> status_;
  bool closing_ = false;
  int ticks_ = 0;
  bool ending_ = false;
};

class QtUserInterface : public UserInterface {
 public:
  explicit QtUserInterface(CMainFrame* frame) : frame_(frame) {}

  int MessageBox(const std::u16string& text, unsigned type) override;
  // Shown below the progress dialog's percentage from its next tick on.
  void Status(const std::u16string& text) override;
  // The password screen (secret_box.h), on the user-interface thread whichever thread asks.
  bool AskSecret(const std::u16string& prompt, std::string& secret) override;
  // The password screen, its field named `fieldName`; with `keyFile` also a "Key File..." key
  // that opens the screen's file dialog. True with what was typed in `secret`, or with the file
  // chosen in `keyFile`. On the user-interface thread.
  bool AskKey(const QString& prompt, const QString& fieldName, std::string& secret,
              QString* keyFile);
  void WaitForWorker(const std::atomic<double>& progress,
                     const std::atomic<int32_t>& finished) override;
  // The worker may ask for a message box after `finished` (a file error is told after the
  // dialog was let go): the user-interface thread keeps serving it until the thread has ended.
  void WaitForWorkerExit(const std::atomic<bool>& exited) override;

  // Text added below every message while set, given the message's icon type (empty adds
  // nothing): a command says there what its run did. Set and cleared on the user-interface
  // thread while no worker runs; called on the thread that asks for the message.
  void SetAddendum(std::function<std::u16string(unsigned type)> addendum) {
    addendum_ = std::move(addendum);
  }

 protected:
  // Shows the box on the user-interface thread and returns IDOK or IDCANCEL; tests answer
  // instead.
  virtual int ShowMessageBox(const QString& text, unsigned type);
  // Shows the password screen on the user-interface thread (with the key-file key when
  // `keyFile` is given); tests answer instead.
  virtual bool ShowSecretBox(const QString& prompt, const QString& fieldName, std::string& secret,
                             QString* keyFile);
  CMainFrame* Frame() const { return frame_; }  // for the tests' scripted answers

 private:
  // Serves the thread's events (the worker's message boxes among them) until `done` holds, even
  // after a quit has ended the event loops: the caller joins the worker next.
  static void ServeUntil(const std::function<bool()>& done);

  CMainFrame* frame_;
  std::function<std::u16string(unsigned type)> addendum_;
  std::mutex statusMutex_;
  QString status_;  // the run's status, for the progress dialog
};

}  // namespace larkpost::app
