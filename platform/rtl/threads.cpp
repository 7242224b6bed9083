#include "platform/rtl/threads.h"

#include "platform/rtl/internal/handover.h"
#include "platform/win32/internal/futex.h"
#include "platform/win32/internal/queues.h"
#include "platform/win32/winuser.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace qv::platform {

namespace {

std::atomic<DWORD> gMainThreadId{0};
// The thread that starts the program is the main thread until an application object says
// otherwise.
const bool gMainThreadInit = [] {
  gMainThreadId.store(GetCurrentThreadId());
  return true;
}();

struct SyncRequest {
  enum State { Queued, Running, Done, Withdrawn, Released };
  std::function<void()> method;
  State state = Queued;
  DWORD runner = 0;
  std::exception_ptr error;
  // kSettled once the request is settled (after state, outside the hub mutex). The requester
  // sleeps on this futex word alone after marking it kAsleep, so a settler whose requester is
  // still awake makes no system call; or, marking it kParked, on its own message queue (see
  // SynchronizeThenWait). Shared, so a settler may still wake it after the requester has gone
  // on and released the request.
  std::shared_ptr<std::atomic<std::uint32_t>> settled;
  enum : std::uint32_t { kOpen, kSettled, kAsleep, kParked };
  DWORD requester = 0;
  // Queued without a waiter (QueueHandOver): the main thread takes it off its thread's list.
  std::shared_ptr<ThreadShared> detachedFrom;
};

struct Settled {
  std::shared_ptr<std::atomic<std::uint32_t>> word;
  DWORD requester;
};

// Wakes the requesters of settled requests; called after the hub mutex is released. A parked
// requester is woken only when its queue has something for it (always, if force): otherwise
// the next post to its queue wakes it.
void WakeSettled(const Settled& s, bool force) {
  const std::uint32_t was = s.word->exchange(SyncRequest::kSettled, std::memory_order_acq_rel);
  if (was == SyncRequest::kAsleep)
    internal::FutexWake(*s.word);
  else if (was == SyncRequest::kParked && (force || internal::ThreadQueueHasWork(s.requester)))
    WakeThreadQueue(s.requester);
}

void WakeSettled(const std::vector<Settled>& settled, bool force) {
  for (const auto& s : settled) WakeSettled(s, force);
}

// The requester's side: returns once the request is settled.
void WaitSettled(std::atomic<std::uint32_t>& word) {
  std::uint32_t v = SyncRequest::kOpen;
  if (!word.compare_exchange_strong(v, SyncRequest::kAsleep, std::memory_order_acquire)) return;
  while (word.load(std::memory_order_acquire) != SyncRequest::kSettled)
    internal::FutexWait(word, SyncRequest::kAsleep);
}

// The same for at most timeoutMs; true when settled. A wait that times out leaves the word open
// again, as it found it, for a later wait.
bool WaitSettled(std::atomic<std::uint32_t>& word, DWORD timeoutMs) {
  std::uint32_t v = SyncRequest::kOpen;
  if (!word.compare_exchange_strong(v, SyncRequest::kAsleep, std::memory_order_acquire) &&
      v == SyncRequest::kSettled)
    return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (word.load(std::memory_order_acquire) != SyncRequest::kSettled) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) {
      std::uint32_t asleep = SyncRequest::kAsleep;
      return !word.compare_exchange_strong(asleep, SyncRequest::kOpen, std::memory_order_acquire);
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const struct timespec timeout{time_t(ns / 1000000000), long(ns % 1000000000)};
    internal::FutexWait(word, SyncRequest::kAsleep, &timeout);
  }
  return true;
}

// The same, for a requester that goes back to its message queue next: returns once the request
// is settled and the queue has been woken since (a post, a quit, a stop).
void WaitSettledParked(std::atomic<std::uint32_t>& word) {
  std::uint32_t v = SyncRequest::kOpen;
  if (!word.compare_exchange_strong(v, SyncRequest::kParked, std::memory_order_acquire)) return;
  for (;;) {
    DrainThisThreadWake();
    if (word.load(std::memory_order_acquire) == SyncRequest::kSettled) return;
    internal::WaitForQueue(-1);
  }
}

// The hand-over queue of the main thread. One mutex and one condition variable serve the
// requesters (waiting for their request), the main thread's WaitFor (waiting for a request
// or the end of the thread) and the state of the threads' pending requests.
struct SyncHub {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<std::shared_ptr<SyncRequest>> queue;
  // queue.size(), written under mutex: the main loop looks after every event, mostly at none.
  std::atomic<std::size_t> queued{0};
  void Count() { queued.store(queue.size(), std::memory_order_release); }
};
SyncHub& Hub() {
  static SyncHub* hub = new SyncHub;  // never destroyed: threads may outlive main
  return *hub;
}

class ThreadEnd : public Event {
 public:
  ThreadEnd() : Event(true, false) {}
};

}  // namespace

struct ThreadShared {
  std::shared_ptr<ThreadEnd> end = std::make_shared<ThreadEnd>();
  // Guarded by the hub mutex.
  bool finished = false;
  std::vector<std::shared_ptr<SyncRequest>> pending;
  std::atomic<int> returnValue{0};
};

namespace internal {
void SetMainThreadId(DWORD id) { gMainThreadId.store(id); }
bool SyncPending() {
  if (Hub().queued.load(std::memory_order_acquire) != 0) return true;
  return HasSignalledWatch(gMainThreadId.load());
}
}  // namespace internal

}  // namespace qv::platform

using namespace qv::platform;

namespace {
bool MainThreadHasHandOvers() { return GetCurrentThreadId() == MainThreadID() && internal::SyncPending(); }
// The main thread's message functions serve the hand-overs while they look for messages.
const bool gHandOverHooks = (internal::SetHandOverHooks(&CheckSynchronize, &MainThreadHasHandOvers), true);
}  // namespace

DWORD MainThreadID() { return gMainThreadId.load(); }

bool HandOverPending() { return internal::SyncPending(); }

bool CheckSynchronize() {
  const DWORD me = GetCurrentThreadId();
  if (me != MainThreadID()) return false;
  SyncHub& hub = Hub();
  bool any = false;
  // Serve what is queued now; requests queued meanwhile wait for the next round, so a busy
  // producer cannot keep the loop here forever.
  std::size_t budget = hub.queued.load(std::memory_order_acquire);
  for (; budget > 0; --budget) {
    std::shared_ptr<SyncRequest> req;
    {
      std::lock_guard lock(hub.mutex);
      if (hub.queue.empty()) break;
      req = std::move(hub.queue.front());
      hub.queue.pop_front();
      hub.Count();
      req->state = SyncRequest::Running;
      req->runner = me;
    }
    std::exception_ptr error;
    try {
      req->method();
    } catch (...) {
      error = std::current_exception();
    }
    std::optional<Settled> settled;
    {
      std::lock_guard lock(hub.mutex);
      // A released request has no one waiting for it any more; its exception is dropped.
      if (req->state == SyncRequest::Running) {
        req->state = SyncRequest::Done;
        req->error = std::move(error);
        settled = Settled{req->settled, req->requester};
      }
      if (req->detachedFrom) std::erase(req->detachedFrom->pending, req);
      // Let go of the request (and the exception) before the requester wakes: it may free
      // both on its own thread at once.
      req.reset();
    }
    if (settled) WakeSettled(*settled, false);
    hub.cv.notify_all();
    any = true;
  }
  // Watches, after what was handed over before their events were seen.
  if (internal::RunSignalledWatches()) any = true;
  return any;
}

BOOL TerminateThread(HANDLE thread, DWORD) {
  if (!LookupHandleAs<ThreadEnd>(thread)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

// ---- TThread -------------------------------------------------------------------------------

TThread::TThread()
    : shared_(std::make_shared<ThreadShared>()),
      handle_(RegisterHandle(shared_->end)),
      threadId_(internal::AllocateThreadId()) {}

TThread::~TThread() {
  const bool self = joinable_ && pthread_equal(thread_, pthread_self());
  if (started_ && !self && !Finished()) {
    Terminate();
    WaitFor();
  }
  if (joinable_) {
    if (self)
      pthread_detach(thread_);
    else
      pthread_join(thread_, nullptr);
    joinable_ = false;
  }
  CloseHandle(handle_);
}

void TThread::Free() {
  if (started_ && !Finished() && GetCurrentThreadId() != threadId_) {
    Terminate();
    WaitFor();
  }
  delete this;
}

void TThread::Start() {
  if (started_) throw EThread("Thread already started");
  started_ = true;
  refs_.fetch_add(1, std::memory_order_relaxed);  // the body's, dropped when it ends
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stackSize_ != 0) pthread_attr_setstacksize(&attr, std::max<std::size_t>(stackSize_, PTHREAD_STACK_MIN));
  const int rc = pthread_create(&thread_, &attr, &TThread::Entry, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    started_ = false;
    refs_.fetch_sub(1, std::memory_order_relaxed);
    throw EThread("Thread cannot be created: " + SysErrorMessage(ErrorFromErrno(rc)));
  }
  joinable_ = true;
  // The body may end (and a FreeOnTerminate object delete itself) only after thread_ is set.
  startGate_.store(true, std::memory_order_release);
  startGate_.notify_one();
}

void* TThread::Entry(void* self) {
  static_cast<TThread*>(self)->Run();
  return nullptr;
}

void TThread::Run() {
  startGate_.wait(false, std::memory_order_acquire);
  internal::AdoptThreadId(threadId_);
  try {
    Execute();
  } catch (...) {
    fatalException_ = std::current_exception();
  }
  std::shared_ptr<ThreadShared> shared = shared_;
  SyncHub& hub = Hub();
  bool last;
  {
    std::lock_guard lock(hub.mutex);
    shared->finished = true;
    finished_.store(true, std::memory_order_release);
    // The body's own reference goes with the end, before any waiter can see the end: a Release
    // after WaitFor is then the last one. Nothing of this object is touched after this block
    // (a holder may delete it at once); what follows uses only the shared part.
    last = refs_.fetch_sub(1, std::memory_order_acq_rel) == 1;
  }
  shared->end->Set();
  hub.cv.notify_all();
  // The main thread may be asleep in its message loop waiting for this end.
  WakeThreadQueue(MainThreadID());
  if (last) DeleteIfFree();
}

// Called by whoever dropped the last reference, so by one thread only, and nothing else can
// be looking at the object any more.
void TThread::DeleteIfFree() {
  if (FreeOnTerminate() && Finished()) delete this;
}

void TThread::Retain() { refs_.fetch_add(1, std::memory_order_relaxed); }

void TThread::Release() {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) DeleteIfFree();
}

int TThread::ReturnValue() const { return shared_->returnValue.load(); }
void TThread::SetReturnValue(int value) { shared_->returnValue.store(value); }

void TThread::Terminate() {
  terminated_.store(true, std::memory_order_release);
  const DWORD me = GetCurrentThreadId();
  SyncHub& hub = Hub();
  std::vector<Settled> settled;
  {
    std::lock_guard lock(hub.mutex);
    for (auto& req : shared_->pending) {
      if (req->state == SyncRequest::Queued) {
        // Not started: withdraw it, the method never runs.
        auto it = std::find(hub.queue.begin(), hub.queue.end(), req);
        if (it != hub.queue.end()) {
          hub.queue.erase(it);
          hub.Count();
        }
        req->state = SyncRequest::Withdrawn;
        settled.push_back({req->settled, req->requester});
      } else if (req->state == SyncRequest::Running && req->runner == me) {
        // We are inside that very hand-over: its thread cannot wait for us to return.
        req->state = SyncRequest::Released;
        settled.push_back({req->settled, req->requester});
      }
    }
    // A withdrawn request nobody waits for leaves the list now; a released one when it ends.
    std::erase_if(shared_->pending, [](const std::shared_ptr<SyncRequest>& r) {
      return r->detachedFrom && r->state == SyncRequest::Withdrawn;
    });
  }
  if (!settled.empty()) {
    WakeSettled(settled, true);
    hub.cv.notify_all();
  }
  TerminatedSet();
}

int TThread::WaitFor() {
  const DWORD me = GetCurrentThreadId();
  if (me == threadId_) throw EThread("Thread cannot wait for itself");
  if (!started_) throw EThread("Thread not started");
  std::shared_ptr<ThreadShared> shared = shared_;
  if (me == MainThreadID()) {
    SyncHub& hub = Hub();
    std::unique_lock lock(hub.mutex);
    // Waiting from inside the thread's own hand-over: release the thread from it.
    std::vector<Settled> settled;
    for (auto& req : shared->pending) {
      if (req->state == SyncRequest::Running && req->runner == me) {
        req->state = SyncRequest::Released;
        settled.push_back({req->settled, req->requester});
      }
    }
    if (!settled.empty()) {
      lock.unlock();
      WakeSettled(settled, true);
      hub.cv.notify_all();
      lock.lock();
    }
    for (;;) {
      hub.cv.wait(lock, [&] { return shared->finished || !hub.queue.empty(); });
      if (shared->finished) break;
      lock.unlock();
      CheckSynchronize();
      lock.lock();
    }
  } else {
    shared->end->Wait(INFINITE);
  }
  return shared->returnValue.load();
}

bool TThread::Synchronize(const TThreadMethod& method) {
  return Synchronize(this, [method] { method(); });
}

bool TThread::Synchronize(const std::function<void()>& method) { return Synchronize(this, method); }

bool TThread::Synchronize(TThread* thread, const std::function<void()>& method) {
  return HandOver(thread, method, false);
}

bool TThread::SynchronizeThenWait(const std::function<void()>& method) { return HandOver(this, method, true); }

TThread::HandOverWord TThread::NewHandOverWord() {
  return std::make_shared<std::atomic<std::uint32_t>>(SyncRequest::kOpen);
}

bool TThread::QueueHandOver(TThread* thread, const std::function<void()>& method, const HandOverWord& word) {
  auto req = std::make_shared<SyncRequest>();
  req->method = method;
  req->settled = word;  // the caller's, so it can wait on it later
  SyncHub& hub = Hub();
  {
    std::lock_guard lock(hub.mutex);
    // As in a waiting hand-over: either we see the stop here, or the stop withdraws it.
    if (thread && thread->Terminated()) return false;
    if (thread) {
      req->detachedFrom = thread->shared_;
      thread->shared_->pending.push_back(req);
    }
    hub.queue.push_back(std::move(req));
    hub.Count();
  }
  hub.cv.notify_all();
  WakeThreadQueue(MainThreadID());
  return true;
}

void TThread::WaitHandOver(const HandOverWord& word) { WaitSettled(*word); }

bool TThread::WaitHandOver(const HandOverWord& word, DWORD timeoutMs) { return WaitSettled(*word, timeoutMs); }

void TThread::EndHandOver(const HandOverWord& word) { WakeSettled(Settled{word, 0}, false); }

void TThread::RenewHandOverWord(HandOverWord& word) {
  // Copies of a word are made from where it is kept, under the keeper's lock, so a count of
  // one stays one; a holder that has let go has no say any more.
  if (word && word.use_count() == 1 && word->load(std::memory_order_acquire) == SyncRequest::kSettled)
    word->store(SyncRequest::kOpen, std::memory_order_release);
  else
    word = NewHandOverWord();
}

bool TThread::WatchOnMainThread(HANDLE event, const void* key, std::function<void()> run,
                                std::function<void()> dropped) {
  return internal::AddQueueWatch(MainThreadID(), event, key, std::move(run), std::move(dropped));
}

bool TThread::WatchAgainOnMainThread(const void* key) {
  return GetCurrentThreadId() == MainThreadID() && internal::RewatchRunning(key);
}

bool TThread::MainThreadWatches() { return internal::QueueWatches(MainThreadID()); }

bool TThread::WithdrawMainWatch(const void* key) { return internal::RemoveQueueWatch(MainThreadID(), key); }

bool TThread::HandOverEnded(const HandOverWord& word) {
  return word->load(std::memory_order_acquire) == SyncRequest::kSettled;
}

bool TThread::HandOver(TThread* thread, const std::function<void()>& method, bool park) {
  if (GetCurrentThreadId() == MainThreadID()) {
    method();
    return true;
  }
  auto req = std::make_shared<SyncRequest>();
  req->settled = NewHandOverWord();
  req->method = method;
  req->requester = GetCurrentThreadId();
  std::shared_ptr<ThreadShared> shared = thread ? thread->shared_ : nullptr;
  SyncHub& hub = Hub();
  std::unique_lock lock(hub.mutex);
  // Checked under the hub mutex, which Terminate takes after setting the flag: either we see
  // the request here, or Terminate sees our queued request and withdraws it.
  if (thread && thread->Terminated()) return false;
  hub.queue.push_back(req);
  hub.Count();
  if (shared) shared->pending.push_back(req);
  const auto settled = req->settled;
  lock.unlock();
  hub.cv.notify_all();
  WakeThreadQueue(MainThreadID());
  if (park)
    WaitSettledParked(*settled);
  else
    WaitSettled(*settled);
  lock.lock();
  if (shared) std::erase(shared->pending, req);
  const SyncRequest::State state = req->state;
  std::exception_ptr error = req->error;
  lock.unlock();
  if (state != SyncRequest::Done) return false;
  if (error) std::rethrow_exception(error);
  return true;
}
