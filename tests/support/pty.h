// A pseudo-terminal pair for tests of the terminal-device path: the port under test opens the
// slave by its path; the test plays the far device on the master.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

namespace qv::test {

class PtyPair {
 public:
  PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || grantpt(master_) < 0 || unlockpt(master_) < 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
      Fail();
      return;
    }
    slave_ = name;
  }
  ~PtyPair() { CloseMaster(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0 && !slave_.empty(); }
  const std::string& slave() const { return slave_; }
  int master() const { return master_; }

  // Writes everything (waiting for room up to timeoutMs); returns the count written.
  std::size_t Write(const void* data, std::size_t size, int timeoutMs = 5000) {
    const char* p = static_cast<const char*>(data);
    std::size_t done = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (done < size && master_ >= 0) {
      ssize_t n = write(master_, p + done, size - done);
      if (n > 0) {
        done += std::size_t(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) break;
      if (std::chrono::steady_clock::now() >= end) break;
      pollfd pfd{master_, POLLOUT, 0};
      poll(&pfd, 1, 20);
    }
    return done;
  }
  std::size_t Write(const std::string& s) { return Write(s.data(), s.size()); }

  // Reads until `count` bytes arrived or timeoutMs passed.
  std::string Read(std::size_t count, int timeoutMs = 5000) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count && master_ >= 0) {
      char buf[4096];
      ssize_t n = read(master_, buf, std::min(sizeof buf, count - out.size()));
      if (n > 0) {
        out.append(buf, std::size_t(n));
        continue;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      end - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd pfd{master_, POLLIN, 0};
      poll(&pfd, 1, int(std::min<long long>(left, 50)));
    }
    return out;
  }

  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

 private:
  void Fail() {
    CloseMaster();
    slave_.clear();
  }
  int master_ = -1;
  std::string slave_;
};

}  // namespace qv::test
