// Hot-plug watcher: tells a window when serial devices come and go, and when the user's port
// map changes, the way the system broadcasts WM_DEVICECHANGE to top-level windows.
//
// How the main form uses it:
//
//   qv::platform::DeviceWatcher watcher_;     // a member of the form
//   watcher_.Start(formWindow);               // once the form's window handle exists
//   // The form's message handler then gets WM_DEVICECHANGE with wParam DBT_DEVNODES_CHANGED
//   // and lParam 0 on the thread that owns the window, through the platform message loop
//   // (under Qt: the socket notifier on Application->WakeFd()), and re-enumerates the ports.
//   watcher_.Stop();                          // before the window goes (the destructor also stops)
//
// What is watched:
//  - devices: the udev monitor (netlink, tty subsystem; libudev.so.1 bound at run time by name)
//    when udevd runs and the device root is the system's /dev; otherwise (containers, minimal
//    systems, a test's fake tree) inotify on the device root (tty*, rfcomm*, ircomm* nodes) and
//    on its serial/by-id folder, picked up when it appears later;
//  - the user's registry store (user.reg under RegStoreFolder(), taken when Start runs): a
//    change of anything but the port numbers the enumeration remembers for itself, so a port
//    mapped or unmapped by the command-line tool appears or goes within a second. A folder that
//    does not exist yet is watched for from its nearest existing parent.
// Bursts (an adapter brings a node, its by-id and by-path links, udev's change events) are
// coalesced: the first event arms a kSettleMs one-shot timer and one message goes when it
// expires. The watcher's thread sleeps in poll() on its descriptors and a stop eventfd, so an
// idle watcher costs no CPU; it never waits for the window's thread (posting does not block).
//
// Main thread only (the thread that owns the window): Start, Stop, destruction. The watcher's
// own thread only posts to the window.
#pragma once

#include "platform/win32/wintypes.h"

#include <memory>

namespace qv::platform {

class DeviceWatcher {
 public:
  // What the device side listens to.
  enum class Source { None, Udev, Inotify };

  // Delay from the first event of a burst to the message.
  static constexpr unsigned kSettleMs = 150;

  DeviceWatcher();
  ~DeviceWatcher();  // stops
  DeviceWatcher(const DeviceWatcher&) = delete;
  DeviceWatcher& operator=(const DeviceWatcher&) = delete;

  // Starts delivering to window (a running watcher is stopped first). False when nothing at
  // all can be watched (no udev monitor and no inotify instance: the per-user limit is
  // reached); the window then simply gets no device-change messages.
  bool Start(HWND window);
  // Ends the watcher's thread and closes its descriptors; nothing is posted afterwards.
  // Harmless when not running.
  void Stop();
  bool Running() const;
  Source DeviceSource() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qv::platform
