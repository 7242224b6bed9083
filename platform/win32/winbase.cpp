#include "platform/win32/winbase.h"

#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <unordered_map>

namespace qv::platform {

// ---- Errors --------------------------------------------------------------------------------

namespace {
thread_local DWORD tLastError = ERROR_SUCCESS;
// The words of the last error when the failing call had more to say than its number.
thread_local std::string tLastErrorText;
}

DWORD ErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY:
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOTTY:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ETIMEDOUT: return WAIT_TIMEOUT;
    case ECANCELED: return ERROR_OPERATION_ABORTED;
    case ENXIO:
    case ENODEV:
    case EIO:
    case EPIPE: return ERROR_DEVICE_REMOVED;
    default: return ERROR_GEN_FAILURE;
  }
}

void SetLastErrorText(DWORD error, std::string text) {
  ::SetLastError(error);
  tLastErrorText = std::move(text);
}

std::string LastErrorText() {
  return tLastErrorText.empty() ? SysErrorMessage(tLastError) : tLastErrorText;
}

DWORD SetLastErrorFromErrno(int err) {
  DWORD e = ErrorFromErrno(err);
  ::SetLastError(e);
  return e;
}

std::string SysErrorMessage(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS: return "The operation completed successfully.";
    case ERROR_INVALID_FUNCTION: return "The device does not support this function.";
    case ERROR_FILE_NOT_FOUND: return "The port does not exist (no such device).";
    case ERROR_PATH_NOT_FOUND: return "The path to the device does not exist.";
    case ERROR_ACCESS_DENIED:
      return "Permission denied: the user needs read and write access to the device "
             "(usually membership of the dialout group).";
    case ERROR_INVALID_HANDLE: return "The handle is invalid or already closed.";
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return "Not enough memory.";
    case ERROR_INVALID_DATA: return "The data is invalid.";
    case ERROR_NOT_READY: return "The device is not ready.";
    case ERROR_BAD_COMMAND: return "The file is not a serial device (not a terminal).";
    case ERROR_WRITE_FAULT: return "The device cannot be written to.";
    case ERROR_READ_FAULT: return "The device cannot be read from.";
    case ERROR_GEN_FAILURE: return "The device is not functioning.";
    case ERROR_SHARING_VIOLATION:
      return "The port is in use by another program (or already open in this one).";
    case ERROR_NOT_SUPPORTED: return "The request is not supported by the device.";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
    case ERROR_INSUFFICIENT_BUFFER: return "The data area passed is too small.";
    case ERROR_INVALID_NAME: return "The name is not a valid port or key name.";
    case ERROR_ALREADY_EXISTS: return "The object already exists.";
    case ERROR_MORE_DATA: return "More data is available than fits the buffer.";
    case ERROR_NO_MORE_ITEMS: return "No more data is available.";
    case WAIT_TIMEOUT: return "The wait operation timed out.";
    case ERROR_OPERATION_ABORTED: return "The I/O operation was aborted.";
    case ERROR_IO_INCOMPLETE: return "The overlapped I/O operation is not complete.";
    case ERROR_IO_PENDING: return "The overlapped I/O operation is in progress.";
    case ERROR_BADDB: return "The configuration store file is damaged.";
    case ERROR_BADKEY: return "The configuration key is invalid.";
    case ERROR_CANTOPEN: return "The configuration key cannot be opened.";
    case ERROR_CANTREAD: return "The configuration key cannot be read.";
    case ERROR_CANTWRITE: return "The configuration key cannot be written.";
    case ERROR_REGISTRY_CORRUPT: return "The configuration store is corrupt.";
    case ERROR_NOT_FOUND: return "Element not found.";
    case ERROR_DEVICE_NOT_CONNECTED: return "The device is not connected.";
    case ERROR_INVALID_THREAD_ID: return "The thread has no message queue (yet).";
    case ERROR_DEVICE_REMOVED: return "The device has been removed (unplugged or closed).";
    case ERROR_SEM_TIMEOUT: return "The device did not answer in time.";
    case ERROR_BAD_NET_NAME: return "The network name cannot be found.";
    case ERROR_CONNECTION_REFUSED: return "The remote computer refused the network connection.";
    case ERROR_NETWORK_UNREACHABLE: return "The remote network is not reachable.";
    case ERROR_HOST_UNREACHABLE: return "The remote computer is not reachable.";
    default: return "System error " + std::to_string(error) + ".";
  }
}

// ---- Handle table --------------------------------------------------------------------------

namespace {
struct HandleTable {
  std::mutex mutex;
  std::unordered_map<HANDLE, std::shared_ptr<KernelObject>> objects;
  HANDLE next = 0x100;
  std::atomic<std::uint64_t> closes{0};  // written under mutex
};
HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // never destroyed: threads may outlive main
  return *table;
}

// A port call looks up the port and its caller's event every time; the handles a thread used
// last are kept, and trusted while no handle has been closed since (a closed value may come
// back for a new object only after a close). Weak: the cache keeps no object alive. Other
// thread-locals may still look handles up as the thread ends, after the cache is gone: the
// table is asked then.
thread_local bool tLookupsGone = false;  // trivially destroyed: valid to the thread's end
struct LookupCache {
  struct Entry {
    HANDLE handle = 0;
    std::uint64_t closes = 0;
    std::weak_ptr<KernelObject> object;
  };
  std::array<Entry, 8> entries;
  std::size_t next = 0;
  ~LookupCache() { tLookupsGone = true; }
};
thread_local LookupCache tLookups;
}  // namespace

HANDLE RegisterHandle(std::shared_ptr<KernelObject> object) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  // Handle values are not reused soon after a close, so a stale handle rarely hits a new object.
  for (;;) {
    HANDLE h = t.next;
    t.next += 4;
    if (t.next >= 0xFFFFFF00u) t.next = 0x100;
    if (h != 0 && h != INVALID_HANDLE_VALUE && !t.objects.contains(h)) {
      t.objects.emplace(h, std::move(object));
      return h;
    }
  }
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  HandleTable& t = Table();
  LookupCache* const cache = tLookupsGone ? nullptr : &tLookups;
  const std::uint64_t closes = t.closes.load(std::memory_order_acquire);
  if (cache && handle != 0) {
    for (const LookupCache::Entry& e : cache->entries) {
      if (e.handle != handle || e.closes != closes) continue;
      if (auto object = e.object.lock()) return object;
      break;
    }
  }
  std::shared_ptr<KernelObject> object;
  std::uint64_t seen;
  {
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(handle);
    if (it == t.objects.end()) return nullptr;
    object = it->second;
    seen = t.closes.load(std::memory_order_relaxed);
  }
  if (cache) cache->entries[cache->next++ % cache->entries.size()] = {handle, seen, object};
  return object;
}

std::size_t HandleCount() {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  return t.objects.size();
}

// ---- Time ----------------------------------------------------------------------------------

std::int64_t MonotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Deadline::Deadline(DWORD timeoutMs)
    : infinite_(timeoutMs == INFINITE), endNs_(MonotonicNs() + std::int64_t(timeoutMs) * 1000000) {}

int Deadline::RemainingMs() const {
  if (infinite_) return -1;
  std::int64_t left = endNs_ - MonotonicNs();
  if (left <= 0) return 0;
  return int(std::min<std::int64_t>((left + 999999) / 1000000, 0x7FFFFFFF));
}

// ---- Waiter --------------------------------------------------------------------------------

Waiter::Waiter() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Waiter::~Waiter() {
  if (fd_ >= 0) close(fd_);
}

namespace {
// This thread's waiter once it has one; a thread never needs to wake itself: it only sets an
// object it waits for from inside its own wait, which looks at the object again afterwards.
thread_local Waiter* tOwnWaiter = nullptr;

void WakeOther(Waiter* waiter) {
  if (waiter != tOwnWaiter) waiter->Wake();
}
}  // namespace

Waiter& Waiter::ForThisThread() {
  thread_local Waiter waiter;
  tOwnWaiter = &waiter;
  return waiter;
}

// Only the first wake-up after a drain writes the eventfd; the thread looks at everything it
// waits for after each drain, so later ones are covered by the one still unread.
void Waiter::Wake() {
  if (pending_.exchange(true)) return;
  std::uint64_t one = 1;
  ssize_t r;
  do {
    r = write(fd_, &one, sizeof one);
  } while (r < 0 && errno == EINTR);
}

// Called when poll found the eventfd readable. The mark is cleared only after a read that
// found the wake-up, so a waker that has marked but not yet written is read next time.
void Waiter::Drain() {
  std::uint64_t value;
  ssize_t r;
  while ((r = read(fd_, &value, sizeof value)) < 0 && errno == EINTR) {
  }
  if (r > 0) pending_.store(false);
}

// ---- Waitable ------------------------------------------------------------------------------

Waitable::Waitable(bool manualReset, bool initialState)
    : manualReset_(manualReset), signalled_(initialState) {}

// No lock while nobody listens: a thread that starts to listen counts itself before it looks
// at the state, and this looks at the count after the state (all sequentially consistent), so
// one of the two sees the other.
void Waitable::Set() {
  signalled_.store(true, std::memory_order_seq_cst);
  if (listeners_.load(std::memory_order_seq_cst) == 0) return;
  std::lock_guard lock(mutex_);
  WakeListenersLocked();
}

void Waitable::WakeListenersLocked() {
  for (Registration* reg : waiters_) WakeOther(reg->waiter);
  for (Waiter* w : watchers_) WakeOther(w);
}

void Waitable::CountListenersLocked() {
  listeners_.store(waiters_.size() + watchers_.size(), std::memory_order_seq_cst);
}

void Waitable::AddWatcher(Waiter* waiter) {
  std::lock_guard lock(mutex_);
  watchers_.push_back(waiter);
  CountListenersLocked();
}

void Waitable::RemoveWatcher(Waiter* waiter) {
  std::lock_guard lock(mutex_);
  if (auto it = std::find(watchers_.begin(), watchers_.end(), waiter); it != watchers_.end()) watchers_.erase(it);
  CountListenersLocked();
}

// No lock: nothing waits for an object to become unsignalled, and a waiter consumes or
// finds the state under the lock, where a Reset before or after it is equally possible.
void Waitable::Reset() { signalled_.store(false, std::memory_order_release); }

void Waitable::Pulse() {
  std::lock_guard lock(mutex_);
  // Releases the threads waiting right now (one of them for an auto-reset object) and leaves
  // the object unsignalled; a thread that starts waiting afterwards is not released.
  for (Registration* reg : waiters_) {
    if (reg->pulsed) continue;
    reg->pulsed = true;
    WakeOther(reg->waiter);
    if (!manualReset_) break;
  }
  signalled_.store(false, std::memory_order_release);
}

// A snapshot, as with the lock: the state may change the moment after either way.
bool Waitable::IsSignalled() const { return signalled_.load(std::memory_order_seq_cst); }

void Waitable::SetIoSource(std::shared_ptr<IoSource> source) {
  std::lock_guard lock(mutex_);
  if (source && source != lastSource_) lastSource_ = source;
  source_ = std::move(source);
  sourceRaw_.store(source_.get(), std::memory_order_release);
  // Waiters re-read the source on their next round.
  WakeListenersLocked();
}

// Called by a source, under its own lock, when what it polls changed. A thread that starts to
// listen counts itself before it asks the source for its descriptors (under that same lock),
// so a count of zero here means it will see the change anyway.
void Waitable::WakeListeners() {
  if (listeners_.load(std::memory_order_acquire) == 0) return;
  std::lock_guard lock(mutex_);
  WakeListenersLocked();
}

std::shared_ptr<IoSource> Waitable::GetIoSource() const {
  std::lock_guard lock(mutex_);
  return source_;
}

void Waitable::ReleaseIoSource(const IoSource* source) {
  std::lock_guard lock(mutex_);
  if (source_.get() != source) return;
  source_.reset();
  sourceRaw_.store(nullptr, std::memory_order_release);
  WakeListenersLocked();
}

std::shared_ptr<IoSource> Waitable::LastIoSource() const {
  std::lock_guard lock(mutex_);
  return lastSource_;
}

bool Waitable::TryConsume(Registration* reg) {
  if (reg && reg->pulsed) return true;
  if (!signalled_.load(std::memory_order_seq_cst)) return false;
  if (!manualReset_) signalled_.store(false, std::memory_order_release);
  return true;
}

bool Waitable::Wait(DWORD timeoutMs) {
  Waiter& waiter = Waiter::ForThisThread();
  Registration reg{&waiter, false};
  std::shared_ptr<IoSource> source;
  {
    std::lock_guard lock(mutex_);
    // Counted first, then looked at: a Set that did not see the count is seen here.
    waiters_.push_back(&reg);
    CountListenersLocked();
    if (TryConsume(nullptr)) {
      waiters_.pop_back();
      CountListenersLocked();
      return true;
    }
    source = source_;
  }
  Deadline deadline(timeoutMs);
  std::vector<pollfd> fds;
  bool result = false;
  for (;;) {
    fds.clear();
    fds.push_back({waiter.fd(), POLLIN, 0});
    int timeout = deadline.RemainingMs();
    const bool lastRound = timeout == 0;
    if (source) {
      int sourceTimeout = -1;
      source->AddPollFds(fds, sourceTimeout);
      if (sourceTimeout >= 0 && (timeout < 0 || sourceTimeout < timeout)) timeout = sourceTimeout;
    }
    int n = poll(fds.data(), fds.size(), timeout);
    if (n < 0) {
      for (auto& f : fds) f.revents = 0;
    }
    if (fds[0].revents & POLLIN) waiter.Drain();
    if (source) source->OnPolled(fds.data() + 1, fds.size() - 1);
    std::lock_guard lock(mutex_);
    if (TryConsume(&reg)) {
      result = true;
      break;
    }
    if (lastRound) break;
    source = source_;
  }
  std::lock_guard lock(mutex_);
  waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &reg));
  CountListenersLocked();
  return result;
}

MainThreadStall& MainThreadStall::Get() {
  static MainThreadStall* stall = new MainThreadStall;  // never destroyed: threads may poll it at exit
  return *stall;
}

MainThreadStall::MainThreadStall()
    : timerFd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)),
      stalled_(std::make_shared<Event>(true, false)) {}

void MainThreadStall::Arm() {
  armedAt_.store(wakes_.load());
  itimerspec due{};
  due.it_value.tv_nsec = long(kPeriodMs) * 1000000;
  timerfd_settime(timerFd_, 0, &due, nullptr);
}

void MainThreadStall::EndStall() {
  // The threads standing by leave the input to the main thread again at their next look.
  if (stalledSet_.load(std::memory_order_relaxed)) {
    stalledSet_.store(false);
    stalled_->Reset();
  }
}

void MainThreadStall::Sleeping() {
  awake_.store(false);
  EndStall();
}

void MainThreadStall::Awake() {
  wakes_.fetch_add(1);
  awake_.store(true);
  EndStall();
  // Armed once a period at most; a timer that finds the main thread awake through a later
  // wake arms itself again (OnTimer).
  if (!armed_.exchange(true)) Arm();
}

void MainThreadStall::OnTimer() {
  std::lock_guard lock(mutex_);
  std::uint64_t expirations = 0;
  if (read(timerFd_, &expirations, sizeof expirations) != sizeof expirations) return;  // another thread took it
  // Disarmed before the look: an Awake after it arms the timer itself, one before it is seen.
  armed_.store(false);
  if (!awake_.load()) return;
  if (wakes_.load() != armedAt_.load()) {
    if (!armed_.exchange(true)) Arm();
    return;
  }
  // Awake through a whole period without sleeping.
  stalledSet_.store(true);
  stalled_->Set();
}

int WaitWhileWatched(HANDLE resumeHandle, HANDLE watchedHandle) {
  const auto resume = LookupHandleAs<Waitable>(resumeHandle);
  const auto watched = LookupHandleAs<Waitable>(watchedHandle);
  if (!resume || !watched) return -1;
  MainThreadStall& stall = MainThreadStall::Get();
  Waiter& waiter = Waiter::ForThisThread();
  resume->AddWatcher(&waiter);
  stall.Stalled().AddWatcher(&waiter);
  std::vector<pollfd> fds;
  int result;
  for (;;) {
    if (resume->IsSignalled()) {
      result = 0;
      break;
    }
    const auto source = watched->LastIoSource();
    if (source && source->Failed()) {
      result = 1;
      break;
    }
    fds.clear();
    fds.push_back({waiter.fd(), POLLIN, 0});
    fds.push_back({stall.TimerFd(), POLLIN, 0});
    int timeoutMs = -1;
    if (source) {
      // Stalled, the main thread takes nothing: this thread does, as a waiting thread would.
      if (stall.Stalled().IsSignalled())
        source->AddPollFds(fds, timeoutMs);
      else
        source->AddFailureFds(fds);
    }
    if (poll(fds.data(), fds.size(), timeoutMs) < 0)
      for (auto& f : fds) f.revents = 0;
    if (fds[0].revents & POLLIN) waiter.Drain();
    if (fds[1].revents & POLLIN) stall.OnTimer();
    if (source && fds.size() > 2) source->OnPolled(fds.data() + 2, fds.size() - 2);
  }
  stall.Stalled().RemoveWatcher(&waiter);
  resume->RemoveWatcher(&waiter);
  return result;
}

}  // namespace qv::platform

// ---- Windows-style API ---------------------------------------------------------------------

using namespace qv::platform;

DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD error) {
  tLastError = error;
  if (!qv::platform::tLastErrorText.empty()) qv::platform::tLastErrorText.clear();
}

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<KernelObject> object;
  {
    HandleTable& t = Table();
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(handle);
    if (it == t.objects.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    object = std::move(it->second);
    t.objects.erase(it);
    t.closes.fetch_add(1, std::memory_order_release);
  }
  object->OnHandleClosed();
  return TRUE;
}

HANDLE CreateEventA(const void*, BOOL manualReset, BOOL initialState, const char*) {
  return RegisterHandle(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

namespace {
template <class F>
BOOL WithWaitable(HANDLE h, F f) {
  auto w = LookupHandleAs<Waitable>(h);
  if (!w) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  f(*w);
  return TRUE;
}
}  // namespace

BOOL SetEvent(HANDLE event) {
  return WithWaitable(event, [](Waitable& w) { w.Set(); });
}
BOOL ResetEvent(HANDLE event) {
  return WithWaitable(event, [](Waitable& w) { w.Reset(); });
}
BOOL PulseEvent(HANDLE event) {
  return WithWaitable(event, [](Waitable& w) { w.Pulse(); });
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto w = LookupHandleAs<Waitable>(handle);
  if (!w) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return w->Wait(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

void Sleep(DWORD milliseconds) {
  timespec ts{time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000};
  while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
  }
}

DWORD GetTickCount() { return DWORD(MonotonicNs() / 1000000); }
