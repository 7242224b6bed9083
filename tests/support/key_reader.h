// Reads a keyboard's key events back from its event device (/dev/input/eventN), grabbed so that
// nothing else (the console, a desktop) gets them; times are CLOCK_MONOTONIC, as steady_clock.
// One thread at a time.
#pragma once

#include "platform/input/keymap.h"

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

namespace qv::test {

struct TimedKey {
  qv::platform::TKeyEvent event;
  std::chrono::steady_clock::time_point time;
};

class KeyReader {
 public:
  explicit KeyReader(const std::string& device) {
    fd_ = open(device.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int clock = CLOCK_MONOTONIC;
    if (fd_ >= 0 && (ioctl(fd_, EVIOCSCLOCKID, &clock) < 0 || ioctl(fd_, EVIOCGRAB, 1) < 0)) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~KeyReader() {
    if (fd_ >= 0) close(fd_);
  }
  KeyReader(const KeyReader&) = delete;
  KeyReader& operator=(const KeyReader&) = delete;

  bool ok() const { return fd_ >= 0; }
  // True once the kernel dropped events because this reader was behind.
  bool dropped() const { return dropped_; }

  // Key presses and releases (no repeats, no reports) until count arrived or timeoutMs passed.
  std::vector<TimedKey> Read(std::size_t count, int timeoutMs) {
    std::vector<TimedKey> out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count && std::chrono::steady_clock::now() < end) {
      input_event batch[64];
      const ssize_t n = read(fd_, batch, sizeof batch);
      if (n <= 0) {
        pollfd p{fd_, POLLIN, 0};
        poll(&p, 1, 50);
        continue;
      }
      for (std::size_t i = 0; i < std::size_t(n) / sizeof(input_event); ++i) {
        const input_event& e = batch[i];
        dropped_ = dropped_ || (e.type == EV_SYN && e.code == SYN_DROPPED);
        if (e.type != EV_KEY || e.value == 2) continue;
        const auto since = std::chrono::seconds(e.input_event_sec) + std::chrono::microseconds(e.input_event_usec);
        out.push_back({{e.code, e.value == 1},
                       std::chrono::steady_clock::time_point(
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(since))});
      }
    }
    return out;
  }

 private:
  int fd_ = -1;
  bool dropped_ = false;
};

}  // namespace qv::test
