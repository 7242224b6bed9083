// The port list and the hot-plug watcher against the kernel's tty devices: 8250 ports without a
// UART, the FTDI adapter on ftdi_sio plugged and pulled by the host, with and without udevd.
#include "lab.h"

#include "platform/devices/devwatch.h"
#include "platform/rtl/wndmethod.h"
#include "platform/system/ttydevices.h"
#include "support/pty.h"
#include "platform/win32/winuser.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <thread>

namespace {

namespace pf = qv::platform;
using qv::test::PumpUntil;
using Clock = std::chrono::steady_clock;

bool Exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}


// Waits (without the main loop) until the adapter's node (or another path) is there or gone.
bool WaitNode(bool present, int ms = 20000) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Exists("/dev/ttyUSB0") != present) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void Plug(bool in) {
  lab::Ask(in ? "usb-plug" : "usb-unplug");
  ASSERT_TRUE(WaitNode(in)) << "the adapter did not " << (in ? "arrive" : "go");
}

bool UdevdRuns() { return Exists("/run/udev/control"); }

// udevd in the guest, as the host's package installed it: by-id links and netlink events.
void StartUdevd() {
  if (UdevdRuns()) return;
  ASSERT_EQ(std::system("/lib/systemd/systemd-udevd --daemon >/dev/null 2>&1 && "
                        "udevadm trigger --action=add >/dev/null 2>&1 && udevadm settle -t 30"),
            0);
}
void StopUdevd() {
  if (UdevdRuns()) std::system("udevadm control --exit >/dev/null 2>&1; rm -rf /run/udev");
}

// The port the adapter is listed as, or 0.
const pf::PortEntry* FindAdapter(const std::vector<pf::PortEntry>& ports) {
  for (const pf::PortEntry& e : ports)
    if (pf::sysfs::ResolvePath(e.device) == "/dev/ttyUSB0") return &e;
  return nullptr;
}

class Usb : public qv::test::AppTest {
 protected:
  void SetUp() override { lab::RequireLab(); }
  void TearDown() override {
    lab::Ask("usb-unplug");
    WaitNode(false);
  }
};

// The kernel lists ttyS2 and ttyS3 (no UART answered at their addresses): no COM port, and
// nothing that lists or describes ports opens them (their `type` says so without an open).
TEST_F(Usb, PortsWithoutUartAreNotListedAndNeverOpened) {
  const int in = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(in, 0);
  ASSERT_GE(inotify_add_watch(in, "/dev/ttyS2", IN_OPEN), 0);
  ASSERT_GE(inotify_add_watch(in, "/dev/ttyS3", IN_OPEN), 0);
  const int probe = inotify_add_watch(in, "/dev/ttyS1", IN_OPEN);  // the watch itself works
  std::vector<unsigned> numbers;
  for (const pf::PortEntry& e : pf::ListPorts()) numbers.push_back(e.number);
  EXPECT_EQ(numbers, (std::vector<unsigned>{1, 2, 5}));
  TqvCustomSerialComm comm(nullptr);
  comm.FillDeviceList(nullptr);
  EXPECT_EQ(comm.DeviceCount(), 3);
  const std::string listing = lab::Output(std::string(std::getenv("QVCOMM")) + " ports -v 2>&1");
  EXPECT_EQ(listing.find("ttyS2"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("ttyS3"), std::string::npos) << listing;
  lab::Port port(3);
  port.Open();
  EXPECT_FALSE(port.Active());
  EXPECT_FALSE(port.Errors.empty());
  close(open("/dev/ttyS1", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  char buf[4096];
  std::vector<int> opened;
  for (ssize_t n; (n = read(in, buf, sizeof buf)) > 0;)
    for (char* p = buf; p < buf + n;) {
      auto* ev = reinterpret_cast<inotify_event*>(p);
      opened.push_back(ev->wd);
      p += sizeof(inotify_event) + ev->len;
    }
  close(in);
  EXPECT_EQ(opened, (std::vector<int>{probe}));
}

// With udevd: vendor, product, serial number and the by-id link, as the kernel and udev give
// them; the COM number stays the adapter's across 20 unplug/replug cycles.
TEST_F(Usb, AdapterListedWithIdentityAndKeepsItsNumber) {
  StartUdevd();
  // The lowest free number is taken while the adapter first comes, and free again at every
  // return: only a number remembered for the adapter keeps it.
  qv::test::PtyPair pty;
  DWORD error = 0;
  ASSERT_TRUE(pf::AddUserMapping(3, pty.slave(), error)) << error;
  Plug(true);
  ASSERT_EQ(std::system("udevadm settle -t 30"), 0);
  const auto ports = pf::ListPorts();
  const pf::PortEntry* adapter = FindAdapter(ports);
  ASSERT_NE(adapter, nullptr);
  const unsigned number = adapter->number;
  EXPECT_EQ(number, 4u);
  ASSERT_TRUE(pf::RemoveUserMapping(3));
  pf::sysfs::TtyDevice tty;
  ASSERT_TRUE(pf::sysfs::DescribeTty("ttyUSB0", tty));
  EXPECT_EQ(tty.driver, "ftdi_sio");
  EXPECT_EQ(tty.usb.vendorId, "0403");
  EXPECT_EQ(tty.usb.productId, "6001");
  EXPECT_EQ(tty.usb.serial, lab::kUsbSerial);
  EXPECT_NE(tty.byId.find(lab::kUsbSerial), std::string::npos) << tty.byId;
  EXPECT_EQ(pf::sysfs::ResolvePath("/dev/serial/by-id/" + tty.byId), "/dev/ttyUSB0");
  const std::string listing = lab::Output(std::string(std::getenv("QVCOMM")) + " ports -v 2>&1");
  EXPECT_NE(listing.find("0403"), std::string::npos) << listing;
  EXPECT_NE(listing.find("/dev/serial/by-id/" + tty.byId), std::string::npos) << listing;
  for (int cycle = 1; cycle <= 20; ++cycle) {
    Plug(false);
    Plug(true);
    ASSERT_EQ(std::system("udevadm settle -t 30"), 0);
    const auto again = pf::ListPorts();
    const pf::PortEntry* e = FindAdapter(again);
    ASSERT_NE(e, nullptr) << "cycle " << cycle;
    EXPECT_EQ(e->number, number) << "cycle " << cycle;
  }
  StopUdevd();
}

// The watcher tells a window of the adapter's arrival and removal within a second, through
// udevd's netlink events when it runs and through inotify on /dev when it does not.
TEST_F(Usb, HotPlugWatcherSeesArrivalAndRemoval) {
  for (bool udevd : {true, false}) {
    if (udevd)
      StartUdevd();
    else
      StopUdevd();
    int messages = 0;
    HWND window = AllocateHWnd(TWndMethod::FromFunction(
        [](void* n, TMessage& m) {
          if (m.Msg == WM_DEVICECHANGE && m.WParam == DBT_DEVNODES_CHANGED) ++*static_cast<int*>(n);
        }, &messages));
    pf::DeviceWatcher watcher;
    ASSERT_TRUE(watcher.Start(window));
    EXPECT_EQ(watcher.DeviceSource(), udevd ? pf::DeviceWatcher::Source::Udev : pf::DeviceWatcher::Source::Inotify);
    // Timed from the moment the kernel's node comes or goes, or with udevd from its broadcast
    // (seen by udevadm monitor): USB enumeration and udev's rules on an emulated machine take
    // their own time before that.
    std::atomic<Clock::rep> changed{0};
    std::atomic<int> udevEvents{0};
    int monitorOut[2] = {-1, -1};
    pid_t monitor = -1;
    std::thread udevLook;
    if (udevd) {
      ASSERT_EQ(pipe2(monitorOut, O_CLOEXEC), 0);
      monitor = fork();
      if (monitor == 0) {
        dup2(monitorOut[1], 1);
        execlp("udevadm", "udevadm", "monitor", "--udev", "--subsystem-match=tty", nullptr);
        _exit(127);
      }
      close(monitorOut[1]);
      udevLook = std::thread([&] {
        std::string line;
        char c;
        while (read(monitorOut[0], &c, 1) == 1) {
          if (c != '\n') {
            line += c;
            continue;
          }
          if (line.find("ttyUSB0") != std::string::npos) {
            changed = Clock::now().time_since_epoch().count();
            ++udevEvents;
          } else if (line.rfind("UDEV ", 0) == 0 && line.find("after rule processing") != std::string::npos) {
            ++udevEvents;  // listening
          }
          line.clear();
        }
      });
      const auto end = Clock::now() + std::chrono::seconds(10);
      while (udevEvents == 0 && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      ASSERT_GT(udevEvents.load(), 0) << "udevadm monitor did not start";
    }
    for (bool in : {true, false, true, false}) {
      qv::test::PumpFor(300);  // earlier events settle
      messages = 0;
      changed = 0;
      std::thread look([&] {
        if (WaitNode(in, 20000) && !udevd) changed = Clock::now().time_since_epoch().count();
      });
      lab::Ask(in ? "usb-plug" : "usb-unplug");
      EXPECT_TRUE(PumpUntil([&] { return messages > 0 && changed != 0; }, 20000));
      const auto told = Clock::now();
      look.join();
      ASSERT_NE(changed, 0) << "the adapter did not " << (in ? "arrive" : "go");
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          told - Clock::time_point(Clock::duration(changed.load()))).count();
      EXPECT_LE(ms, 1000) << (udevd ? "udevd, " : "inotify, ") << (in ? "arrival" : "removal");
      std::printf("%s %s told after %lld ms\n", udevd ? "udevd" : "inotify", in ? "arrival" : "removal",
                  static_cast<long long>(ms));
    }
    watcher.Stop();
    DeallocateHWnd(window);
    if (udevd) {
      kill(monitor, SIGTERM);
      waitpid(monitor, nullptr, 0);
      udevLook.join();
      close(monitorOut[0]);
    }
  }
}

}  // namespace
