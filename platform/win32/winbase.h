// Kernel objects behind 32-bit handles: the handle table, waitable objects, events, waits,
// the thread-local last error, Sleep and GetTickCount.
//
// Every wait sleeps in the kernel (poll on a per-thread eventfd). A waitable object may carry
// an I/O source: a thread waiting on such an object also polls the source's descriptors and
// lets the source complete the pending operation, so the thread that waits for a port is the
// thread that sleeps on the port, with no helper thread in between.
//
// Any thread: every function and object here may be used from any thread (SetEvent included);
// the last error is the calling thread's, and a wait sleeps the calling thread.
#pragma once

#include "platform/win32/wintypes.h"

#include <poll.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

// ---- Windows-style API ---------------------------------------------------------------------

DWORD GetLastError();
void SetLastError(DWORD error);

BOOL CloseHandle(HANDLE handle);

HANDLE CreateEventA(const void* security, BOOL manualReset, BOOL initialState, const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
BOOL PulseEvent(HANDLE event);

// WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED with the last error set.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

void Sleep(DWORD milliseconds);
DWORD GetTickCount();

namespace qv::platform {

// ---- Errors --------------------------------------------------------------------------------

// Maps an errno value onto the nearest Windows error number.
DWORD ErrorFromErrno(int err);
// Sets the last error with the words that say what went wrong where (a network port names
// its host and port); the text lasts until the next SetLastError on this thread.
void SetLastErrorText(DWORD error, std::string text);
// The text of the last error: the one given with SetLastErrorText, else SysErrorMessage's.
std::string LastErrorText();
// Sets the last error from errno (or from err when given) and returns it.
DWORD SetLastErrorFromErrno(int err);
// Text for a Windows error number, worded for a Linux user ("" never: unknown numbers get a
// generic text with the number).
std::string SysErrorMessage(DWORD error);

// ---- Kernel objects and the handle table ----------------------------------------------------

// Any thread; OnHandleClosed runs on the thread that closes the last handle.
class Waitable;
class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // Called once when the last handle to the object is closed (the object may live on while
  // another thread still holds a reference).
  virtual void OnHandleClosed() {}
  // The object as a waitable one, or null: LookupHandleAs<Waitable> without a dynamic_cast.
  virtual Waitable* AsWaitable() { return nullptr; }
};

// Registers an object and returns its new handle (never 0, never INVALID_HANDLE_VALUE).
HANDLE RegisterHandle(std::shared_ptr<KernelObject> object);
// The object behind a handle, or null (last error left alone).
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
// An I/O call looks its handles up several times per operation, and a dynamic_cast across the
// serial port's bases costs more than the lookup itself: a final class is matched by its exact
// type, a waitable object through AsWaitable.
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  std::shared_ptr<KernelObject> object = LookupHandle(handle);
  if (!object) return nullptr;
  if constexpr (std::is_final_v<T>) {
    const KernelObject& found = *object;
    if (typeid(found) != typeid(T)) return nullptr;
    return std::static_pointer_cast<T>(std::move(object));
  } else if constexpr (std::is_same_v<T, Waitable>) {
    Waitable* waitable = object->AsWaitable();
    if (!waitable) return nullptr;
    return std::shared_ptr<Waitable>(std::move(object), waitable);
  } else {
    return std::dynamic_pointer_cast<T>(std::move(object));
  }
}
// Number of live handles (for leak checks in tests and benchmarks).
std::size_t HandleCount();

// The per-thread wake-up: an eventfd that every waitable object the thread waits on writes to.
// One per thread: Wake from any thread, Drain only by the thread it belongs to.
class Waiter {
 public:
  static Waiter& ForThisThread();
  int fd() const { return fd_; }
  void Wake();
  void Drain();
  ~Waiter();

 private:
  Waiter();
  int fd_;
  std::atomic<bool> pending_{false};  // the eventfd holds (or is about to hold) a wake-up
};

// Descriptors that a waiting thread polls on behalf of a pending operation. Called from every
// thread that waits for its object, possibly at once: an implementation guards its own state.
class IoSource {
 public:
  virtual ~IoSource() = default;
  // Appends the descriptors to poll; may lower timeoutMs (-1 = none) for a timed re-check.
  virtual void AddPollFds(std::vector<pollfd>& fds, int& timeoutMs) = 0;
  // Called after poll with the entries this source appended (count as appended), including
  // after a time-out. Completes the operation (and signals the object) when it can.
  virtual void OnPolled(const pollfd* fds, std::size_t count) = 0;
  // The descriptors that tell only that the device failed, went away or changed state, for a
  // thread that stands by while another one polls for the work (see WaitWhileWatched);
  // OnPolled takes them too. None by default.
  virtual void AddFailureFds(std::vector<pollfd>&) {}
  // The device has failed or gone away (its waits end with the error).
  virtual bool Failed() { return false; }
};

// A kernel object that threads can wait for. Any thread: the signalled state and the waiter
// list are guarded by the object's own mutex.
class Waitable : public KernelObject {
 public:
  Waitable(bool manualReset, bool initialState);
  Waitable* AsWaitable() override { return this; }

  void Set();
  void Reset();
  void Pulse();
  bool IsSignalled() const;

  // Attaches (or, with null, detaches) the source polled by waiters while unsignalled.
  void SetIoSource(std::shared_ptr<IoSource> source);
  std::shared_ptr<IoSource> GetIoSource() const;
  // Detaches source if it is the one attached (another may have taken the object over since).
  void ReleaseIoSource(const IoSource* source);
  // Whether source is the one attached; no lock (a snapshot, as IsSignalled).
  bool HasIoSource(const IoSource* source) const { return sourceRaw_.load(std::memory_order_acquire) == source; }
  // Wakes the threads waiting on or watching the object, so they ask its source again what to
  // poll. Costs no lock while nobody listens.
  void WakeListeners();
  // The last source attached, kept after it is detached (for WaitWhileWatched: between two
  // operations of the other thread the object has none).
  std::shared_ptr<IoSource> LastIoSource() const;

  // Waits up to timeoutMs (INFINITE: no limit). True when signalled (an auto-reset object is
  // consumed), false on time-out.
  bool Wait(DWORD timeoutMs);

  // For a thread that sleeps on this object among other things: from AddWatcher to
  // RemoveWatcher, Set() wakes waiter as it wakes the threads in Wait.
  void AddWatcher(Waiter* waiter);
  void RemoveWatcher(Waiter* waiter);

 private:
  struct Registration {
    Waiter* waiter;
    bool pulsed;
  };
  bool TryConsume(Registration* reg);
  void WakeListenersLocked();
  void CountListenersLocked();

  mutable std::mutex mutex_;
  const bool manualReset_;
  std::atomic<bool> signalled_;  // Set and Reset write it without mutex_; consumed under it
  std::vector<Registration*> waiters_;
  std::vector<Waiter*> watchers_;
  std::atomic<std::size_t> listeners_{0};  // waiters_ and watchers_, written under mutex_
  std::shared_ptr<IoSource> source_;
  std::atomic<const IoSource*> sourceRaw_{nullptr};  // source_.get(), written under mutex_
  std::shared_ptr<IoSource> lastSource_;
};

// An event object, as CreateEventA makes it. Any thread.
class Event : public Waitable {
 public:
  using Waitable::Waitable;
};

// Milliseconds left until a deadline taken from GetTickCount-style monotonic time. A value for
// the thread that waits with it.
class Deadline {
 public:
  explicit Deadline(DWORD timeoutMs);
  bool Infinite() const { return infinite_; }
  // Remaining milliseconds for poll(), -1 when infinite, 0 when passed.
  int RemainingMs() const;

 private:
  bool infinite_;
  std::int64_t endNs_;
};

std::int64_t MonotonicNs();

// Tells the threads that stand by while the main thread holds their waits that it has not
// slept in its loop for a while (a long handler, a blocking call): they then take their
// devices' input themselves, so a hang-up finds nothing left in the kernel. The main thread
// marks its sleeps; a timer, armed when it wakes (at most once a period), lets the threads
// standing by look. Nothing runs while the main thread sleeps. Any thread, as marked.
class MainThreadStall {
 public:
  static MainThreadStall& Get();
  // Main thread, around the sleep of its loop.
  void Sleeping();
  void Awake();
  // Threads standing by: the timer to poll, what to do when it is readable, and the event set
  // while the main thread is stalled.
  int TimerFd() const { return timerFd_; }
  void OnTimer();
  Waitable& Stalled() { return *stalled_; }

  static constexpr int kPeriodMs = 10;

 private:
  MainThreadStall();
  void Arm();
  void EndStall();

  int timerFd_;
  std::shared_ptr<Waitable> stalled_;
  std::mutex mutex_;  // OnTimer
  std::atomic<std::uint64_t> wakes_{0};
  std::atomic<std::uint64_t> armedAt_{0};  // the wake the running timer was armed at
  std::atomic<bool> awake_{false};
  std::atomic<bool> armed_{false};
  std::atomic<bool> stalledSet_{false};
};

// For a thread that has let another thread wait for watched (the main thread's watch) and
// stands by: sleeps until resume is set (0), or until the device of watched's I/O source fails,
// seen by this thread's own look at its failure descriptors (1). A wait completed by the other
// thread does not wake this one. While the main thread is stalled (MainThreadStall) it also
// takes the device's input, as a waiting thread does. -1 for a bad handle.
int WaitWhileWatched(HANDLE resume, HANDLE watched);

}  // namespace qv::platform
