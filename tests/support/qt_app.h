// The Qt application of a GUI test (offscreen unless the environment says otherwise), a message
// box recorder and an event-loop pump with a time limit.
#pragma once

#include "platform/qt/forms.h"

#include <QCoreApplication>
#include <QElapsedTimer>
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
    return new qv::platform::TGuiApplication(argc, argv);
  }();
  return *app;
}

// Runs Qt's event loop (which serves the application's loop through its socket notifier) until
// done() holds or timeoutMs passes; true when done() holds.
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  QElapsedTimer clock;
  clock.start();
  QTimer tick;  // the test's own wake-up, so the check runs even when nothing else happens
  tick.start(5);
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}

inline void PumpFor(int ms) {
  QElapsedTimer clock;
  clock.start();
  PumpUntil([&] { return clock.elapsed() >= ms; }, ms + 1000);
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
