#include "platform/system/signals.h"

#include "platform/win32/winbase.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace qv::platform {

namespace {

// The handler may run on any thread of the program, so the flag is an atomic (lock-free, and so
// safe in a handler) rather than a volatile sig_atomic_t, which only the interrupted thread
// may read safely.
std::atomic<int> gReceived{0};
static_assert(std::atomic<int>::is_always_lock_free);
int gEventFd = -1;
struct Saved {
  int signal;
  struct sigaction action;
};
std::vector<Saved>* gSaved = nullptr;

extern "C" void OnSignal(int sig) {
  const int savedErrno = errno;
  int none = 0;
  gReceived.compare_exchange_strong(none, sig);
  const std::uint64_t one = 1;
  if (gEventFd >= 0 && write(gEventFd, &one, sizeof one) < 0) {
    // Full or closed: the flag alone still tells the loop.
  }
  errno = savedErrno;
}

// The signals' descriptor as an event's source: a thread polling for the event sees the
// handler's write and the event is set.
class SignalSource final : public IoSource {
 public:
  explicit SignalSource(std::weak_ptr<Waitable> event) : event_(std::move(event)) {}
  void AddPollFds(std::vector<pollfd>& fds, int&) override {
    if (gEventFd >= 0) fds.push_back({gEventFd, POLLIN, 0});
  }
  void OnPolled(const pollfd*, std::size_t) override {
    if (gReceived.load() == 0) return;
    if (auto event = event_.lock()) event->Set();
  }

 private:
  std::weak_ptr<Waitable> event_;
};

}  // namespace

long ReadAvailable(int fd, void* buffer, unsigned long size) {
  return long(read(fd, buffer, size));
}

TSignalWatch::TSignalWatch(std::initializer_list<int> signals) {
  gReceived.store(0);
  gEventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  gSaved = new std::vector<Saved>;
  for (int sig : signals) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) != 0) continue;
    if (old.sa_handler == SIG_IGN) continue;
    struct sigaction act {};
    act.sa_handler = OnSignal;
    sigemptyset(&act.sa_mask);
    // Calls interrupted on other threads carry on; Wait notices the signal through its poll.
    act.sa_flags = SA_RESTART;
    if (sigaction(sig, &act, nullptr) == 0) gSaved->push_back({sig, old});
  }
}

TSignalWatch::~TSignalWatch() {
  if (event_) CloseHandle(event_);
  for (const Saved& s : *gSaved) sigaction(s.signal, &s.action, nullptr);
  delete gSaved;
  gSaved = nullptr;
  const int fd = gEventFd;
  gEventFd = -1;
  if (fd >= 0) close(fd);
}

int TerminationSignalFd() { return gEventFd; }

int TSignalWatch::Received() const { return gReceived.load(); }

HANDLE TSignalWatch::Event() {
  if (event_) return event_;
  auto event = std::make_shared<qv::platform::Event>(true, gReceived.load() != 0);
  event->SetIoSource(std::make_shared<SignalSource>(event));
  event_ = RegisterHandle(event);
  return event_;
}

int TSignalWatch::Wait(std::span<TWaitItem> items, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  std::vector<pollfd> fds;
  fds.reserve(items.size() + 1);
  fds.push_back({gEventFd, POLLIN, 0});
  for (TWaitItem& item : items) {
    item.ready = false;
    fds.push_back({item.fd, short(item.write ? POLLOUT : POLLIN), 0});
  }
  for (;;) {
    if (const int sig = gReceived.load()) return sig;
    int ms = -1;
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      ms = left > 0 ? int(left) : 0;
    }
    const int n = poll(fds.data(), fds.size(), ms);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return gReceived.load();
    bool any = false;
    for (std::size_t i = 1; i < fds.size(); ++i) {
      // A hang-up or error counts as ready: the caller's read or write then tells what it is.
      if (fds[i].revents) {
        items[i - 1].ready = true;
        any = true;
      }
    }
    if (any || gReceived.load()) return gReceived.load();
  }
}

}  // namespace qv::platform
