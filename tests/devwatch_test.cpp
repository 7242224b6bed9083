// The hot-plug watcher on a fake /dev and a fresh configuration folder: device nodes coming and
// going and port-map changes reach a window on the main thread as one coalesced message; what
// is no news reaches it not at all.
#include "platform/devices/devwatch.h"
#include "platform/rtl/application.h"
#include "platform/rtl/wndmethod.h"
#include "platform/system/portmap.h"
#include "platform/system/regstore.h"
#include "platform/system/winreg.h"
#include "platform/win32/winbase.h"
#include "platform/win32/winuser.h"
#include "support/fake_sysfs.h"
#include "support/pty.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

namespace {

using qv::platform::DeviceWatcher;
namespace fs = std::filesystem;

struct DeviceWatcherTest : ::testing::Test {
  qv::test::FakeSysfs tree;
  TApplication app;
  int messages = 0;
  DWORD thread = 0;
  HWND window = AllocateHWnd(TWndMethod::FromFunction(
      [](void* self, TMessage& m) {
        auto* f = static_cast<DeviceWatcherTest*>(self);
        if (m.Msg == WM_DEVICECHANGE && m.WParam == DBT_DEVNODES_CHANGED) {
          ++f->messages;
          f->thread = GetCurrentThreadId();
        }
      },
      this));
  DeviceWatcher watcher;

  ~DeviceWatcherTest() override {
    watcher.Stop();
    DeallocateHWnd(window);
  }
  // Serves the loop for ms, or until the first message when untilMessage.
  void Serve(DWORD ms, bool untilMessage) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < ms && !(untilMessage && messages > 0)) app.WaitAndProcess(20);
  }
  // Runs step, then expects it to be told (within a generous bound) or not (over 0.7 s).
  void Expect(const char* what, const std::function<void()>& step, bool told) {
    messages = 0;
    step();
    Serve(told ? 5000 : 700, told);
    if (!told) {
      EXPECT_EQ(messages, 0) << what;
      return;
    }
    // One message per burst; a loaded machine may stretch a burst over two settle periods.
    Serve(DeviceWatcher::kSettleMs * 3, false);
    EXPECT_GE(messages, 1) << what;
    EXPECT_LE(messages, 2) << what;
  }
};

TEST_F(DeviceWatcherTest, DevicesAndPortMapChangesAreToldOncePerBurstOnTheMainThread) {
  qv::test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_TRUE(watcher.Start(window));
  EXPECT_EQ(watcher.DeviceSource(), DeviceWatcher::Source::Inotify);  // a fake root has no udev
  DWORD error = 0;
  const struct {
    const char* what;
    std::function<void()> step;
  } steps[] = {
      {"first mapping (the store folder is made)",
       [&] { ASSERT_TRUE(qv::platform::AddUserMapping(7, pty.slave(), error)); }},
      {"mapping removed", [&] { ASSERT_TRUE(qv::platform::RemoveUserMapping(7)); }},
      {"node and its by-id link", [&] { tree.Tty("ttyUSB0", "usb1/1-2/1-2:1.0"); tree.ById("usb-Acme-if00", "ttyUSB0"); }},
      {"node removed", [&] { fs::remove(tree.Dev("ttyUSB0")); }},
      {"burst of nodes", [&] { for (int i = 0; i < 10; ++i) std::ofstream(tree.Dev("ttyACM" + std::to_string(i))); }},
  };
  for (const auto& s : steps) Expect(s.what, s.step, true);
  EXPECT_EQ(thread, GetCurrentThreadId());
}

TEST_F(DeviceWatcherTest, IdleOrUnrelatedChangesAndAStoppedWatcherTellNothing) {
  ASSERT_TRUE(watcher.Start(window));
  Expect("idle", [] {}, false);
  Expect("other /dev entries", [&] { std::ofstream(tree.Dev("null2")); fs::create_directory(tree.Dev("shm2")); }, false);
  Expect("numbers the enumeration remembers", [] {
    qv::platform::RegStoreModify(qv::platform::RegRoot::User, [](qv::platform::RegHive& h, bool& changed) -> LONG {
      h.Create("Software\\qvcomm\\Assigned").values.push_back({"usb-Acme-if00", REG_DWORD, {3, 0, 0, 0}});
      changed = true;
      return ERROR_SUCCESS;
    });
  }, false);
  watcher.Stop();
  EXPECT_FALSE(watcher.Running());
  Expect("stopped", [&] { std::ofstream(tree.Dev("ttyS9")); }, false);
  // Started again, it watches again.
  ASSERT_TRUE(watcher.Start(window));
  Expect("restarted", [&] { fs::remove(tree.Dev("ttyS9")); }, true);
}

}  // namespace
