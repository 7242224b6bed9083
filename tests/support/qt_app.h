// The Qt application of a GUI test (offscreen unless the environment says otherwise), with
// PumpUntil (app.h) turning Qt's loop, and a message box recorder.
#pragma once

#include "platform/qt/forms.h"
#include "support/app.h"

#include <QApplication>
#include <QDialog>
#include <QTimer>

#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

namespace qv::test {

// Counts OnChange-style notifications.
struct Counter : TObject {
  int changes = 0;
  void Changed(TObject*) { ++changes; }
};

inline qv::platform::TGuiApplication& GuiApp() {
  static qv::platform::TGuiApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "gui-test";
    static char* argv[] = {name, nullptr};
    auto* gui = new qv::platform::TGuiApplication(argc, argv);
    // PumpUntil turns Qt's loop, which serves the application's loop through its notifier; a
    // short timer of the test's own wakes it, so the check runs even when nothing else happens.
    LoopTurn() = [] {
      QTimer::singleShot(5, [] {});
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    };
    return gui;
  }();
  return *app;
}

// Answers the next modal dialog: edit() fills it in, then it is accepted or rejected.
inline void AnswerDialog(std::function<void(QDialog*)> edit, bool accept) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [timer, edit, accept] {
    auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!d) return;
    timer->stop();
    timer->deleteLater();
    edit(d);
    accept ? d->accept() : d->reject();
  });
  timer->start(10);
}

// Records every message box instead of showing it; puts the previous hook back when done.
class MessageBoxRecorder {
 public:
  struct Box {
    std::string text, caption;
    UINT type;
  };
  MessageBoxRecorder() {
    previous_ = qv::platform::SetMessageBoxHook([this](HWND, const std::string& text, const std::string& caption, UINT type) {
      boxes.push_back({text, caption, type});
      return IDOK;
    });
  }
  ~MessageBoxRecorder() { qv::platform::SetMessageBoxHook(previous_); }
  std::vector<Box> boxes;

 private:
  qv::platform::MessageBoxHook previous_;
};

}  // namespace qv::test
