// A virtual keyboard made with the kernel's uinput device: what it types reaches whatever has
// the focus, under X11, Wayland or on the text console, as a real keyboard's keys would.
//
// /dev/uinput is root's by default; the udev rule shipped with the program
// (share/udev/60-qvcomm-uinput.rules) gives the group uinput access, and a refused open
// explains what the user has to do for it.
//
// One thread at a time.
#pragma once

#include "platform/input/keymap.h"

#include <chrono>
#include <span>
#include <string>

namespace qv::platform {

// The group the udev rule gives /dev/uinput to.
inline constexpr const char* kUinputGroup = "uinput";

class TVirtualKeyboard {
 public:
  TVirtualKeyboard() = default;
  // Removes the device.
  ~TVirtualKeyboard();
  TVirtualKeyboard(const TVirtualKeyboard&) = delete;
  TVirtualKeyboard& operator=(const TVirtualKeyboard&) = delete;

  // Makes a keyboard called name with every key of a keyboard (codes 1 to kMaxKeyCode). On
  // failure: false, error says why and what to do, ErrorNumber() is the system's errno.
  bool Open(const std::string& name, std::string& error, const std::string& path = "/dev/uinput");
  bool IsOpen() const { return fd_ >= 0; }
  int ErrorNumber() const { return errno_; }

  // Sends the events in order, each as its own report; with pauseMs, that long passes before
  // each stroke (a press while no key is held) after the first. Never more than 8 keys at once,
  // with 2 ms after them, so no reader's queue in the kernel overflows. The first call after
  // Open waits until the device is half a second old: the session's input stack takes a moment
  // to pick a new keyboard up, and keys sent before are lost.
  bool Send(std::span<const TKeyEvent> events, unsigned pauseMs, std::string& error);

  // The event device the kernel made for it (/dev/input/eventN), "" when it cannot tell: what
  // a test reads the keys back from.
  std::string EventDevice() const;

 private:
  bool WriteAll(const void* data, std::size_t size, std::string& error);

  int fd_ = -1;
  int errno_ = 0;
  std::chrono::steady_clock::time_point ready_;  // before this, Send waits
};

}  // namespace qv::platform
