#include "platform/win32/winuser.h"

#include "platform/testhooks.h"
#include "platform/win32/internal/futex.h"
#include "platform/win32/internal/queues.h"
#include "platform/win32/winbase.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace qv::platform {
namespace {

// ---- thread ids ----------------------------------------------------------------------------

std::atomic<DWORD> gNextThreadId{1};
thread_local DWORD tThreadId = 0;

// ---- message queues ------------------------------------------------------------------------

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  std::int64_t periodNs;
  std::int64_t dueNs;
};

bool InRange(UINT message, UINT min, UINT max) {
  return (min == 0 && max == 0) || (message >= min && message <= max);
}

struct QueueWatch {
  std::shared_ptr<Waitable> event;
  const void* key;
  std::function<void()> run;
  std::function<void()> dropped;
};

// A watch the owner is running, off the list. The run may ask to be watched again as it is
// (RewatchRunning): the common case, one event after another, then costs no new watch.
struct RunningWatch {
  QueueWatch* watch;
  bool again;
  bool drop;  // asked again, then the watches were dropped: it goes to dropped instead
};

class MessageQueue {
 public:
  // Every thread with a queue (each open port's dispatch thread among them) has the eventfd;
  // the timerfd comes with the first timer and the epoll descriptor with wakeFd(), so a
  // process with many ports does not hold two descriptors per thread that nothing uses.
  explicit MessageQueue(DWORD threadId) : threadId_(threadId) {
    eventFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  }
  ~MessageQueue() {
    DropWatches();
    if (epollFd_ >= 0) close(epollFd_);
    if (timerFd_ >= 0) close(timerFd_);
    close(eventFd_);
  }
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  DWORD threadId() const { return threadId_; }
  // Once the descriptor is handed out a foreign loop may poll it, so every wake-up writes it.
  // It is readable when the eventfd or the timerfd is.
  // A foreign loop does not poll the watches' sources: they are dropped.
  int wakeFd() {
    std::vector<QueueWatch> dropped;
    int fd;
    {
      std::lock_guard lock(mutex_);
      if (epollFd_ < 0) {
        const int e = epoll_create1(EPOLL_CLOEXEC);
        Watch(e, eventFd_);
        Watch(e, timerFd_);
        epollFd_ = e;
      }
      exported_.store(true);
      fd = epollFd_;
      dropped = TakeWatchesLocked();
    }
    for (auto& w : dropped) w.dropped();
    return fd;
  }

  // ---- watches: objects the owner also waits for while it sleeps in its queue ----

  bool AddWatch(QueueWatch watch) {
    {
      std::lock_guard lock(mutex_);
      if (exported_.load()) return false;
      watches_.push_back(std::move(watch));
      watching_.store(true);
    }
    // From now on this queue's sleeps tell the threads standing by whether its owner still
    // comes back to sleep; an owner that is busy now counts as awake from here.
    if (!stallWatched_.exchange(true) && sleepMode_.load() == kAwake) MainThreadStall::Get().Awake();
    // An owner asleep without the new descriptors comes back and sleeps again with them; one
    // that is awake only sees the count move (no system call).
    Wake();
    return true;
  }

  bool TakesWatches() const { return !exported_.load(); }

  // A watch whose run has asked to be watched again counts as listed.
  bool RemoveWatch(const void* key) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(watches_.begin(), watches_.end(), [&](const QueueWatch& w) { return w.key == key; });
    if (it != watches_.end()) {
      watches_.erase(it);
      watching_.store(!watches_.empty());
      return true;
    }
    for (RunningWatch& r : running_) {
      if (r.watch->key == key && r.again) {
        r.again = false;
        return true;
      }
    }
    return false;
  }

  // From the run of the watch with this key: put it back on the list once the run returns.
  bool RewatchRunning(const void* key) {
    std::lock_guard lock(mutex_);
    if (exported_.load()) return false;
    for (RunningWatch& r : running_) {
      if (r.watch->key == key) {
        r.again = true;
        return true;
      }
    }
    return false;
  }

  bool HasSignalledWatch() {
    if (!watching_.load()) return false;
    std::lock_guard lock(mutex_);
    return std::any_of(watches_.begin(), watches_.end(), [](const QueueWatch& w) { return w.event->IsSignalled(); });
  }

  // Runs the watches signalled now, one at a time, each taken off the list first (it may put
  // itself back). Bounded by the count at the start: a watch signalled again at once runs on
  // the next round.
  bool RunSignalledWatches() {
    if (!watching_.load()) return false;
    bool ran = false;
    std::unique_lock lock(mutex_);
    for (std::size_t budget = watches_.size(); budget > 0; --budget) {
      auto it = std::find_if(watches_.begin(), watches_.end(), [](const QueueWatch& w) { return w.event->IsSignalled(); });
      if (it == watches_.end()) break;
      QueueWatch watch = std::move(*it);
      watches_.erase(it);
      watching_.store(!watches_.empty());
      running_.push_back({&watch, false, false});
      lock.unlock();
      // Serving a watch is coming back too: a main thread busy only with the watched events
      // reads their devices itself.
      MainThreadStall::Get().Awake();
      watch.run();
      ran = true;
      lock.lock();
      auto self = std::find_if(running_.begin(), running_.end(), [&](const RunningWatch& r) { return r.watch == &watch; });
      const RunningWatch done = *self;
      running_.erase(self);
      if (done.again) {
        watches_.push_back(std::move(watch));
        watching_.store(true);
      } else if (done.drop) {
        lock.unlock();
        watch.dropped();
        lock.lock();
      }
    }
    return ran;
  }

  // Lets the watches' sources make what progress they can without sleeping: a loop that only
  // peeks still sees their events.
  void PollWatchesNow() {
    if (watching_.load()) PollWatches(nullptr, 0);
  }

  void DropWatches() {
    std::vector<QueueWatch> dropped;
    {
      std::lock_guard lock(mutex_);
      dropped = TakeWatchesLocked();
    }
    for (auto& w : dropped) w.dropped();
  }

  // A thread asleep on the futex gets a futex wake-up; one that is awake looks at its queue
  // before it sleeps again, so it needs none (unless a foreign loop polls the descriptor).
  // Otherwise only the first wake-up after a drain writes the eventfd; later ones find it
  // still pending.
  void Wake() {
    wakeSeq_.fetch_add(1);
    const int mode = sleepMode_.load();
    if (mode == kOnFutex) {
      internal::FutexWake(wakeSeq_);
      return;
    }
    if (mode == kAwake && !exported_.load()) return;
    if (wakePending_.exchange(true)) return;
    std::uint64_t one = 1;
    while (write(eventFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  // Reads the eventfd only when a wake-up was written, and the timerfd only while a timer can
  // have fired (disarming it clears its count). The pending mark stays when the read finds the
  // eventfd still empty: the waker has marked but not yet written, and its write must be taken
  // by the next drain, or the descriptor would stay readable for a foreign loop.
  void Drain() {
    seenSeq_ = wakeSeq_.load();
    std::uint64_t v;
    if (wakePending_.load()) {
      ssize_t r;
      while ((r = read(eventFd_, &v, sizeof v)) < 0 && errno == EINTR) {
      }
      if (r > 0) wakePending_.store(false);
    }
    if (timersArmed_.load()) {
      while (read(timerFd_, &v, sizeof v) < 0 && errno == EINTR) {
      }
    }
  }

  void Post(const MSG& msg) {
    {
      std::lock_guard lock(mutex_);
      posted_.push_back(msg);
      NoteListedLocked();
    }
    Wake();
  }

  void PostQuit(int code) {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
      quitCode_ = code;
      NoteListedLocked();
    }
    Wake();
  }

  // Finds a message for the filter: posted ones in order, then the quit request, then a due
  // timer (the most overdue first). With nothing posted and no timer it takes no lock: a
  // message posted just after that look wakes the owner's next sleep, as any later post does.
  bool Take(MSG* out, HWND hwnd, UINT min, UINT max, bool remove) {
    if (SurelyEmpty()) return false;
    std::lock_guard lock(mutex_);
    for (auto it = posted_.begin(); it != posted_.end(); ++it) {
      if ((hwnd == 0 || it->hwnd == hwnd) && InRange(it->message, min, max)) {
        *out = *it;
        if (remove) {
          posted_.erase(it);
          NoteListedLocked();
        }
        return true;
      }
    }
    if (quit_) {
      *out = MSG{};
      out->message = WM_QUIT;
      out->wParam = WPARAM(quitCode_);
      out->time = GetTickCount();
      if (remove) {
        quit_ = false;
        NoteListedLocked();
      }
      return true;
    }
    if (!timers_.empty() && InRange(WM_TIMER, min, max)) {
      const std::int64_t now = MonotonicNs();
      Timer* best = nullptr;
      for (Timer& t : timers_)
        if (t.dueNs <= now && (hwnd == 0 || t.hwnd == hwnd) && (!best || t.dueNs < best->dueNs)) best = &t;
      if (best) {
        *out = MSG{};
        out->hwnd = best->hwnd;
        out->message = WM_TIMER;
        out->wParam = best->id;
        out->time = GetTickCount();
        if (remove) {
          best->dueNs = now + best->periodNs;
          ArmLocked();
        }
        return true;
      }
    }
    return false;
  }

  // The owner asks after every event it handles: with nothing posted and no timer, no lock.
  bool HasWork() {
    if (SurelyEmpty()) return false;
    std::lock_guard lock(mutex_);
    if (!posted_.empty() || quit_) return true;
    const std::int64_t now = MonotonicNs();
    for (const Timer& t : timers_)
      if (t.dueNs <= now) return true;
    return false;
  }

  void SetTimer(HWND hwnd, UINT_PTR id, std::int64_t periodNs) {
    std::lock_guard lock(mutex_);
    const std::int64_t due = MonotonicNs() + periodNs;
    auto it = std::find_if(timers_.begin(), timers_.end(), [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it != timers_.end()) {
      it->periodNs = periodNs;
      it->dueNs = due;
    } else {
      timers_.push_back(Timer{hwnd, id, periodNs, due});
    }
    ArmLocked();
  }

  bool KillTimer(HWND hwnd, UINT_PTR id) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(timers_.begin(), timers_.end(), [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it == timers_.end()) return false;
    timers_.erase(it);
    ArmLocked();
    return true;
  }

  void KillWindowTimers(HWND hwnd) {
    std::lock_guard lock(mutex_);
    std::erase_if(timers_, [&](const Timer& t) { return t.hwnd == hwnd; });
    ArmLocked();
  }

  int NextTimerDueMs() {
    std::lock_guard lock(mutex_);
    if (timers_.empty()) return -1;
    std::int64_t due = timers_.front().dueNs;
    for (const Timer& t : timers_) due = std::min(due, t.dueNs);
    std::int64_t left = due - MonotonicNs();
    if (left <= 0) return 0;
    return int(std::min<std::int64_t>((left + 999999) / 1000000, 0x7FFFFFFF));
  }

  // Sleeps until the eventfd or the timerfd is readable, or timeoutMs passes, or (a thread
  // whose descriptor nobody else polls) until any wake-up since the last drain. Such a thread
  // sleeps on a futex when it has no time-out and no timer: cheaper to enter and to wake. The
  // sleeper announces its mode before it looks at the wake-up count once more, and a waker
  // counts before it looks at the mode, so one of the two always sees the other.
  void Wait(int timeoutMs) {
    // Told to the threads standing by for the watches this queue took (MainThreadStall).
    const bool stall = stallWatched_.load(std::memory_order_relaxed);
    if (stall) MainThreadStall::Get().Sleeping();
    SleepOnce(timeoutMs);
    if (stall) MainThreadStall::Get().Awake();
  }

  void SleepOnce(int timeoutMs) {
    const bool exported = exported_.load();
    const bool watching = watching_.load();
    if (timeoutMs < 0 && !exported && !watching && !timersArmed_.load()) {
      sleepMode_.store(kOnFutex);
      if (!timersArmed_.load()) {
        while (wakeSeq_.load() == seenSeq_) internal::FutexWait(wakeSeq_, seenSeq_);
      }
      sleepMode_.store(kAwake);
      return;
    }
    sleepMode_.store(kInPoll);
    if (!exported && wakeSeq_.load() != seenSeq_) {
      sleepMode_.store(kAwake);
      return;
    }
    if (watching) {
      const pollfd own[2] = {{eventFd_, POLLIN, 0}, {timerFd_, POLLIN, 0}};
      PollWatches(own, timeoutMs);
    } else {
      pollfd fds[2] = {{eventFd_, POLLIN, 0}, {timerFd_, POLLIN, 0}};
      while (poll(fds, 2, timeoutMs) < 0 && errno == EINTR) {
      }
    }
    sleepMode_.store(kAwake);
  }

 private:
  // One poll() over own (the eventfd and the timerfd, when sleeping), the thread's waiter (a
  // watched object set by another thread writes it) and the watched objects' sources, which
  // then complete what they can. Owner thread only.
  void PollWatches(const pollfd* own, int timeoutMs) {
    std::vector<std::shared_ptr<Waitable>>& events = pollEvents_;
    events.clear();
    {
      std::lock_guard lock(mutex_);
      for (const QueueWatch& w : watches_) events.push_back(w.event);
    }
    Waiter& waiter = Waiter::ForThisThread();
    for (auto& e : events) e->AddWatcher(&waiter);
    // Not sleeping past an object that was set before this thread listened for it.
    if (std::any_of(events.begin(), events.end(), [](const auto& e) { return e->IsSignalled(); })) timeoutMs = 0;
    std::vector<pollfd>& fds = pollFds_;
    fds.clear();
    fds.push_back({waiter.fd(), POLLIN, 0});
    if (own) fds.insert(fds.end(), own, own + 2);
    const std::size_t first = fds.size();
    std::vector<std::pair<std::shared_ptr<IoSource>, std::size_t>>& sources = pollSources_;
    sources.clear();
    for (auto& e : events) {
      if (auto src = e->GetIoSource()) {
        const std::size_t before = fds.size();
        int t = -1;
        src->AddPollFds(fds, t);
        if (t >= 0 && (timeoutMs < 0 || t < timeoutMs)) timeoutMs = t;
        sources.emplace_back(std::move(src), fds.size() - before);
      }
    }
    if (poll(fds.data(), fds.size(), timeoutMs) < 0)
      for (auto& f : fds) f.revents = 0;
    if (fds[0].revents & POLLIN) waiter.Drain();
    std::size_t at = first;
    for (auto& [src, count] : sources) {
      src->OnPolled(fds.data() + at, count);
      at += count;
    }
    sources.clear();
    for (auto& e : events) e->RemoveWatcher(&waiter);
    events.clear();
  }

  // The watches to drop: all listed ones; one running that asked to be watched again goes
  // to dropped when its run returns.
  std::vector<QueueWatch> TakeWatchesLocked() {
    std::vector<QueueWatch> taken;
    taken.swap(watches_);
    watching_.store(false);
    for (RunningWatch& r : running_) {
      if (r.again) r.drop = true;
      r.again = false;
    }
    return taken;
  }

  static void Watch(int epollFd, int fd) {
    if (epollFd < 0 || fd < 0) return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev);
  }

  void NoteListedLocked() { listed_.store(!posted_.empty() || quit_, std::memory_order_release); }
  // Nothing posted, no quit request, no timer: told without the lock.
  bool SurelyEmpty() const { return !listed_.load(std::memory_order_acquire) && !timersArmed_.load(); }

  // The timerfd fires at the earliest due time (absolute, so a late re-arm fires at once).
  void ArmLocked() {
    if (timerFd_ < 0) {
      if (timers_.empty()) return;
      timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
      Watch(epollFd_, timerFd_);
      // An owner asleep in poll() without it comes back and polls it too; one that announces
      // its sleep after this store reads the new descriptor. An owner that is awake gets no
      // wake-up, so its exported descriptor does not turn readable before the timer is due.
      if (sleepMode_.load() != kAwake) Wake();
    }
    itimerspec when{};
    if (!timers_.empty()) {
      std::int64_t due = timers_.front().dueNs;
      for (const Timer& t : timers_) due = std::min(due, t.dueNs);
      if (due <= 0) due = 1;
      when.it_value.tv_sec = time_t(due / 1000000000);
      when.it_value.tv_nsec = long(due % 1000000000);
    }
    timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &when, nullptr);
    timersArmed_.store(!timers_.empty());
    // A thread asleep on the futex does not see the timerfd: it must come back and poll.
    if (!timers_.empty()) {
      wakeSeq_.fetch_add(1);
      if (sleepMode_.load() == kOnFutex) internal::FutexWake(wakeSeq_);
    }
  }

  const DWORD threadId_;
  int eventFd_;
  std::atomic<int> timerFd_{-1};  // written under mutex_, once; the owner polls it without
  int epollFd_ = -1;              // under mutex_
  std::mutex mutex_;
  std::deque<MSG> posted_;
  std::vector<Timer> timers_;
  bool quit_ = false;
  int quitCode_ = 0;
  std::atomic<bool> wakePending_{false};  // the eventfd holds (or is about to hold) a wake-up
  std::atomic<bool> timersArmed_{false};  // written under mutex_
  std::atomic<bool> listed_{false};       // posted_ or quit_ holds something; written under mutex_
  std::atomic<bool> exported_{false};     // wakeFd() was handed out
  enum { kAwake, kInPoll, kOnFutex };
  std::atomic<int> sleepMode_{kAwake};
  std::atomic<std::uint32_t> wakeSeq_{0};  // wake-ups so far
  std::uint32_t seenSeq_ = 0;                // owner thread: the count at its last drain
  std::vector<QueueWatch> watches_;        // under mutex_
  std::vector<RunningWatch> running_;      // under mutex_; the owner's runs, innermost last
  std::atomic<bool> watching_{false};      // watches_ is not empty
  std::atomic<bool> stallWatched_{false};  // has taken a watch (its sleeps are marked)
  // Owner thread: PollWatches' lists, kept so that a sleep allocates nothing.
  std::vector<std::shared_ptr<Waitable>> pollEvents_;
  std::vector<pollfd> pollFds_;
  std::vector<std::pair<std::shared_ptr<IoSource>, std::size_t>> pollSources_;
};

struct QueueRegistry {
  std::mutex mutex;
  std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues;
};
QueueRegistry& Queues() {
  static QueueRegistry* r = new QueueRegistry;  // never destroyed: threads may outlive main
  return *r;
}

std::shared_ptr<MessageQueue> FindQueue(DWORD threadId) {
  QueueRegistry& r = Queues();
  std::lock_guard lock(r.mutex);
  auto it = r.queues.find(threadId);
  return it == r.queues.end() ? nullptr : it->second;
}

// Owns the calling thread's queue and withdraws it when the thread ends.
struct QueueHolder {
  std::shared_ptr<MessageQueue> queue;
  ~QueueHolder() {
    if (!queue) return;
    QueueRegistry& r = Queues();
    std::lock_guard lock(r.mutex);
    r.queues.erase(queue->threadId());
  }
};
thread_local QueueHolder tQueue;

MessageQueue& ThisQueue() {
  if (!tQueue.queue) {
    auto q = std::make_shared<MessageQueue>(GetCurrentThreadId());
    QueueRegistry& r = Queues();
    std::lock_guard lock(r.mutex);
    r.queues[q->threadId()] = q;
    tQueue.queue = std::move(q);
  }
  return *tQueue.queue;
}

// ---- windows -------------------------------------------------------------------------------

struct WindowRecord {
  DWORD threadId;
  std::shared_ptr<const WindowHandler> handler;  // null: DefWindowProcA
};

std::shared_ptr<const WindowHandler> ShareHandler(WindowHandler handler) {
  return handler ? std::make_shared<const WindowHandler>(std::move(handler)) : nullptr;
}

// The thread layer's hand-overs (internal::SetHandOverHooks).
std::atomic<bool (*)()> gServeHandOvers{nullptr};
std::atomic<bool (*)()> gHandOversPending{nullptr};

bool ServeHandOvers() {
  bool (*serve)() = gServeHandOvers.load(std::memory_order_acquire);
  return serve && serve();
}

bool HandOversPending() {
  bool (*pending)() = gHandOversPending.load(std::memory_order_acquire);
  return pending && pending();
}

struct WindowRegistry {
  std::mutex mutex;
  std::unordered_map<HWND, WindowRecord> windows;
  HWND next = 0x00010000;
  HWND foreground = 0;
  MessageBoxHook messageBoxHook;
  std::unordered_map<std::string, UINT> registeredMessages;
  UINT nextRegistered = MSG_REGISTERED_FIRST;
};
WindowRegistry& Windows() {
  static WindowRegistry* r = new WindowRegistry;
  return *r;
}

bool WindowOwner(HWND hwnd, DWORD* threadId) {
  WindowRegistry& r = Windows();
  std::lock_guard lock(r.mutex);
  auto it = r.windows.find(hwnd);
  if (it == r.windows.end()) return false;
  *threadId = it->second.threadId;
  return true;
}

}  // namespace

// ---- internals -----------------------------------------------------------------------------

namespace internal {

DWORD AllocateThreadId() {
  DWORD id;
  do {
    id = gNextThreadId.fetch_add(1, std::memory_order_relaxed);
  } while (id == 0);
  return id;
}

void AdoptThreadId(DWORD id) { tThreadId = id; }

void WaitForQueue(int timeoutMs) { ThisQueue().Wait(timeoutMs); }

bool QueueHasWork() { return ThisQueue().HasWork(); }

void CreateQueue() { ThisQueue(); }

bool ThreadQueueHasWork(DWORD threadId) {
  auto q = FindQueue(threadId);
  return q && q->HasWork();
}

bool AddQueueWatch(DWORD threadId, HANDLE event, const void* key, std::function<void()> run,
                   std::function<void()> dropped) {
  auto object = LookupHandleAs<Waitable>(event);
  auto q = FindQueue(threadId);
  if (!object || !q) return false;
  return q->AddWatch(QueueWatch{std::move(object), key, std::move(run), std::move(dropped)});
}

bool RewatchRunning(const void* key) { return tQueue.queue && tQueue.queue->RewatchRunning(key); }

bool QueueWatches(DWORD threadId) {
  auto q = FindQueue(threadId);
  return q && q->TakesWatches();
}

bool RemoveQueueWatch(DWORD threadId, const void* key) {
  auto q = FindQueue(threadId);
  return q && q->RemoveWatch(key);
}

bool RunSignalledWatches() { return tQueue.queue && tQueue.queue->RunSignalledWatches(); }

bool HasSignalledWatch(DWORD threadId) {
  if (tQueue.queue && tQueue.queue->threadId() == threadId) return tQueue.queue->HasSignalledWatch();
  auto q = FindQueue(threadId);
  return q && q->HasSignalledWatch();
}

void PollWatchesNow() {
  if (tQueue.queue) tQueue.queue->PollWatchesNow();
}

void DropWatches() {
  if (tQueue.queue) tQueue.queue->DropWatches();
}

void SetHandOverHooks(bool (*serve)(), bool (*pending)()) {
  gServeHandOvers.store(serve, std::memory_order_release);
  gHandOversPending.store(pending, std::memory_order_release);
}

}  // namespace internal

HWND CreateWindowRecord(WindowHandler handler) {
  ThisQueue();  // a window's thread has a queue, so its timers and posts have somewhere to go
  WindowRegistry& r = Windows();
  std::lock_guard lock(r.mutex);
  HWND h;
  do {
    h = r.next;
    r.next += 2;
    if (r.next >= 0x7FFFFFF0u) r.next = 0x00010000;
  } while (r.windows.contains(h));
  r.windows.emplace(h, WindowRecord{GetCurrentThreadId(), ShareHandler(std::move(handler))});
  return h;
}

bool SetWindowHandler(HWND hwnd, WindowHandler handler) {
  WindowRegistry& r = Windows();
  std::lock_guard lock(r.mutex);
  auto it = r.windows.find(hwnd);
  if (it == r.windows.end()) return false;
  it->second.handler = ShareHandler(std::move(handler));
  return true;
}

void DestroyWindowRecord(HWND hwnd) {
  DWORD owner = 0;
  {
    WindowRegistry& r = Windows();
    std::lock_guard lock(r.mutex);
    auto it = r.windows.find(hwnd);
    if (it == r.windows.end()) return;
    owner = it->second.threadId;
    r.windows.erase(it);
    if (r.foreground == hwnd) r.foreground = 0;
  }
  if (auto q = FindQueue(owner)) q->KillWindowTimers(hwnd);
}

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook) {
  WindowRegistry& r = Windows();
  std::lock_guard lock(r.mutex);
  std::swap(r.messageBoxHook, hook);
  return hook;
}

void WaitOnThisThreadQueue(int timeoutMs) { internal::WaitForQueue(timeoutMs); }

int ThisThreadWakeFd() { return ThisQueue().wakeFd(); }
int ThreadWakeFd(DWORD threadId) {
  auto q = FindQueue(threadId);
  return q ? q->wakeFd() : -1;
}
void DrainThisThreadWake() { ThisQueue().Drain(); }
int NextTimerDueMs() { return ThisQueue().NextTimerDueMs(); }
void WakeThreadQueue(DWORD threadId) {
  if (auto q = FindQueue(threadId)) q->Wake();
}

}  // namespace qv::platform

// ---- Windows-style API ---------------------------------------------------------------------

using namespace qv::platform;

DWORD GetCurrentThreadId() {
  if (tThreadId == 0) tThreadId = internal::AllocateThreadId();
  return tThreadId;
}

UINT RegisterWindowMessageA(const char* name) {
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string key(name);
  for (char& c : key) c = char(std::tolower(static_cast<unsigned char>(c)));
  WindowRegistry& r = Windows();
  std::lock_guard lock(r.mutex);
  auto it = r.registeredMessages.find(key);
  if (it != r.registeredMessages.end()) return it->second;
  if (r.nextRegistered > MSG_REGISTERED_LAST) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  UINT id = r.nextRegistered++;
  r.registeredMessages.emplace(std::move(key), id);
  return id;
}

namespace {
// Posts to a queue found by the caller; a missing queue fails as Windows does for a thread
// that has none yet.
BOOL PostToQueue(const std::shared_ptr<MessageQueue>& q, HWND hwnd, UINT msg, WPARAM wParam,
                 LPARAM lParam) {
  if (!q) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  MSG m;
  m.hwnd = hwnd;
  m.message = msg;
  m.wParam = wParam;
  m.lParam = lParam;
  m.time = GetTickCount();
  q->Post(m);
  return TRUE;
}
}  // namespace

BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  return PostToQueue(FindQueue(threadId), 0, msg, wParam, lParam);
}

BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (hwnd == 0) {
    ThisQueue();
    return PostToQueue(tQueue.queue, 0, msg, wParam, lParam);
  }
  DWORD owner;
  if (!WindowOwner(hwnd, &owner)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return PostToQueue(FindQueue(owner), hwnd, msg, wParam, lParam);
}

void PostQuitMessage(int exitCode) { ThisQueue().PostQuit(exitCode); }

BOOL GetMessageA(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax) {
  if (!msg || (hwnd != 0 && !IsWindow(hwnd))) {
    SetLastError(msg ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return -1;
  }
  MessageQueue& q = ThisQueue();
  for (;;) {
    // Consume the wake-up first: a post that lands after the look below wakes the poll.
    q.Drain();
    ServeHandOvers();
    if (q.Take(msg, hwnd, filterMin, filterMax, true)) return msg->message == WM_QUIT ? FALSE : TRUE;
    q.Wait(-1);
  }
}

BOOL PeekMessageA(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  MessageQueue& q = ThisQueue();
  q.Drain();
  ServeHandOvers();
  return q.Take(msg, hwnd, filterMin, filterMax, (removeMsg & PM_REMOVE) != 0) ? TRUE : FALSE;
}

BOOL WaitMessage() {
  MessageQueue& q = ThisQueue();
  if (q.HasWork() || HandOversPending()) return TRUE;
  q.Wait(-1);
  return TRUE;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageA(const MSG* msg) {
  if (!msg || msg->hwnd == 0) return 0;
  return SendMessageA(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<const WindowHandler> handler;
  {
    WindowRegistry& r = Windows();
    std::lock_guard lock(r.mutex);
    auto it = r.windows.find(hwnd);
    if (it == r.windows.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    handler = it->second.handler;
  }
  if (!handler) return DefWindowProcA(hwnd, msg, wParam, lParam);
  TMessage m;
  m.Msg = msg;
  m.WParam = wParam;
  m.LParam = lParam;
  (*handler)(m);
  return m.Result;
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

BOOL IsWindow(HWND hwnd) {
  DWORD owner;
  return hwnd != 0 && WindowOwner(hwnd, &owner) ? TRUE : FALSE;
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc) {
  if (proc) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  std::shared_ptr<MessageQueue> q;
  if (hwnd == 0) {
    ThisQueue();
    q = tQueue.queue;
    if (id == 0) {
      static std::atomic<UINT_PTR> nextThreadTimer{0x7FF0};
      id = nextThreadTimer.fetch_add(1);
    }
  } else {
    DWORD owner;
    if (!WindowOwner(hwnd, &owner)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    q = FindQueue(owner);
    if (!q) {
      SetLastError(ERROR_INVALID_THREAD_ID);
      return 0;
    }
  }
  UINT ms = std::clamp<UINT>(elapseMs, USER_TIMER_MINIMUM, 0x7FFFFFFF);
  q->SetTimer(hwnd, id, std::int64_t(ms) * 1000000);
  return hwnd == 0 ? id : (id == 0 ? 1 : id);
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  std::shared_ptr<MessageQueue> q;
  if (hwnd == 0) {
    ThisQueue();
    q = tQueue.queue;
  } else {
    DWORD owner;
    if (!WindowOwner(hwnd, &owner)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    q = FindQueue(owner);
  }
  if (!q || !q->KillTimer(hwnd, id)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
  MessageBoxHook hook;
  {
    WindowRegistry& r = Windows();
    std::lock_guard lock(r.mutex);
    hook = r.messageBoxHook;
  }
  std::string t = text ? text : "";
  std::string c = caption ? caption : "Error";
  if (hook) return hook(owner, t, c, type);
  std::fprintf(stderr, "[%s] %s\n", c.c_str(), t.c_str());
  switch (type & MB_TYPEMASK) {
    case MB_ABORTRETRYIGNORE: return IDABORT;
    case MB_YESNOCANCEL:
    case MB_YESNO: return IDYES;
    case MB_RETRYCANCEL: return IDRETRY;
    default: return IDOK;
  }
}

HWND GetForegroundWindow() {
  WindowRegistry& r = Windows();
  std::lock_guard lock(r.mutex);
  return r.foreground;
}

BOOL SetForegroundWindow(HWND hwnd) {
  WindowRegistry& r = Windows();
  std::lock_guard lock(r.mutex);
  if (hwnd != 0 && !r.windows.contains(hwnd)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  r.foreground = hwnd;
  return TRUE;
}
