// The application fixture of the tests: the test program's application object (made once, on
// the test thread, which so becomes the main thread) and the pump that serves the main loop
// until a condition holds. GUI tests pump Qt's loop through the same helper (qt_app.h).
#pragma once

#include "platform/rtl/application.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace qv::test {

// One turn of the main loop when it is not the application's own (Qt's, in GUI tests); empty:
// the application waits a few milliseconds for work and serves it.
inline std::function<void()>& LoopTurn() {
  static std::function<void()> turn;
  return turn;
}

// Serves the main loop (hand-overs, posted messages, timers) until done() holds or ms pass;
// whether done() holds in the end.
inline bool PumpUntil(const std::function<bool()>& done, unsigned ms = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    if (LoopTurn())
      LoopTurn()();
    else
      Application->WaitAndProcess(5);
  }
  return true;
}

// Serves for ms milliseconds whatever arrives.
inline void PumpFor(unsigned ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  PumpUntil([&] { return std::chrono::steady_clock::now() >= end; }, ms + 1000);
}

// The test program's application object.
inline TApplication& TestApplication() {
  static TApplication* app = new TApplication;
  return *app;
}

// A test of components that run on the main loop.
class AppTest : public ::testing::Test {
 protected:
  TApplication& app = TestApplication();
};

}  // namespace qv::test
