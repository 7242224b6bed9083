#include "comm/internal/commthreads.h"

#include "platform/rtl/application.h"


namespace {

// The threads' own work is shallow (a wait, a post, a hand-over), but handlers run on them too:
// OnClose and the closed notification on the port-event thread when the port fails, and every
// event handler on the dispatch thread when there is no application object. Sanitizers make
// every frame several times larger.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kThreadStack = 2048 * 1024;
#else
constexpr std::size_t kThreadStack = 256 * 1024;
#endif

}  // namespace

// ---- TCommThread -----------------------------------------------------------------------------

TCommThread::TCommThread(TqvCustomComm* AComm) : Comm(AComm), PortHandle(AComm->GetHandle()) {
  SetStackSize(kThreadStack);
  Start();
}

void TCommThread::TerminatedSet() {
  // Set, not pulsed: a pulse also clears the event, and when a wait has just completed and
  // signalled it, but the thread is not yet waiting, that completion would be wiped out and the
  // thread would sleep on forever. Each new wait resets the event, so setting it is harmless.
  if (HANDLE h = WakeEvent.load(std::memory_order_acquire)) SetEvent(h);
  if (HANDLE h = ResumeEvent.load(std::memory_order_acquire)) SetEvent(h);
  Wake();
}

void TCommThread::Wake() {
  // Its own event: setting the wait's event while a wait runs would look like its completion.
  if (HANDLE h = MaskEvent.load(std::memory_order_acquire)) SetEvent(h);
}

void TCommThread::Execute() {
  const HANDLE wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const HANDLE maskSet = CreateEventA(nullptr, FALSE, FALSE, nullptr);  // auto-reset
  const HANDLE resume = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Overlapped.hEvent = wake;
  Watch->Thread = this;
  Watch->Resume = resume;
  WakeEvent.store(wake, std::memory_order_release);
  MaskEvent.store(maskSet, std::memory_order_release);
  ResumeEvent.store(resume, std::memory_order_release);
  bool waitPending = false;
  // The event word of the last wait. It is posted once the next wait is armed: the main thread
  // then finds the port's lock free, and this thread is on its way back into poll() before the
  // next bytes can arrive.
  DWORD held = 0;
  if (PortHandle != INVALID_HANDLE_VALUE) {
    for (;;) {
      // A stop requested before the wake event existed, or between two waits, is seen here.
      if (Terminated() || !Comm->PortOpen()) break;
      Overlapped.Internal = Overlapped.InternalHigh = Overlapped.Offset = Overlapped.OffsetHigh = 0;
      EventWord = 0;
      const BOOL done = WaitCommEvent(PortHandle, &EventWord, &Overlapped);
      const DWORD err = done ? ERROR_SUCCESS : GetLastError();
      if (held != 0) {
        Post(held);
        held = 0;
      }
      if (!done) {
        if (err == ERROR_IO_PENDING) {
          // Starting the wait reset the wake event: a stop requested before that is seen now,
          // one requested after it has set the event again.
          DWORD r = WAIT_OBJECT_0;
          if (!Terminated()) LetMainThreadWait();
          // Given back, the wait may have ended meanwhile (its event is then set), or be a
          // later one the main thread armed.
          if (!Terminated()) r = WaitForSingleObject(wake, INFINITE);
          if (Terminated()) {
            // Woken by the stop, the wait may still be running: it is cancelled below, since
            // the port would otherwise complete it into this object after it has gone.
            waitPending = true;
            break;
          }
          if (r != WAIT_OBJECT_0) EventWord = 0;
        } else if (EventWord == 0 && err == ERROR_INVALID_PARAMETER) {
          // No event mask yet: Open sets it after the port's set-up. Setting a mask signals the
          // mask event after the port has it, and a signal is kept until this wait takes it, so
          // a mask set in between is not missed; a stop signals it too.
          WaitForSingleObject(maskSet, INFINITE);
          continue;
        } else if (err == ERROR_INVALID_HANDLE) {
          break;
        } else {
          Comm->PortFailed(err);
          break;
        }
      }
      // A completed wait with no events is a mask change: nothing to report.
      held = EventWord;
    }
  }
  // From here on the main thread leaves this object alone (a wait it armed is cancelled below).
  {
    std::lock_guard lock(Watch->Lock);
    Watch->Withdrawn = true;
  }
  TThread::WithdrawMainWatch(this);
  // The pending wait may be one the main thread armed: cancelled by its OVERLAPPED. Fails
  // harmlessly when the close got there first.
  if (waitPending) CancelIoEx(PortHandle, &Overlapped);
  if (!Orphaned)
    if (TMsgThread* m = Comm->MsgThread) m->Stop();
  WakeEvent.store(0, std::memory_order_release);
  MaskEvent.store(0, std::memory_order_release);
  ResumeEvent.store(0, std::memory_order_release);
  CloseHandle(wake);
  CloseHandle(maskSet);
  CloseHandle(resume);
}

void TCommThread::LetMainThreadWait() {
  TMsgThread* m = Comm->MsgThread;
  if (!Application || !m || !TThread::MainThreadWatches() || !m->IdleForWatch()) return;
  // Line changes are reported one by one as they happen, busy main thread or not: this thread
  // keeps waiting for them itself.
  DWORD mask = 0;
  if (!GetCommMask(PortHandle, &mask) || (mask & (EV_CTS | EV_DSR | EV_RLSD | EV_RING)) != 0) return;
  const HANDLE wake = WakeEvent.load(std::memory_order_relaxed);
  ResetEvent(Watch->Resume);
  // A stop requested before the reset is seen here; one requested after it sets the event.
  if (Terminated()) return;
  Watch->Handle = m->MainThreadHandler();
  if (!HandToMainThread(Watch)) return;
  // Standing by, this thread still sees the port fail or go away: a port that vanishes while
  // the main thread is busy is closed without it, as when this thread waits itself.
  if (qv::platform::WaitWhileWatched(Watch->Resume, wake) != 1 || Terminated()) return;
  // The wait has ended that way: this thread takes it back, unless the main thread is on it
  // already; it then gives the wait back when done instead of arming the next one. (Under the
  // lock, the main thread is not between the two.)
  {
    std::lock_guard lock(Watch->Lock);
    if (TThread::WithdrawMainWatch(this)) return;
    Watch->Contested = true;
  }
  WaitForSingleObject(Watch->Resume, INFINITE);
}

bool TCommThread::HandToMainThread(const std::shared_ptr<TWatch>& w) {
  TCommThread* const t = w->Thread;
  return TThread::WatchOnMainThread(t->WakeEvent.load(std::memory_order_relaxed), t,
                                    [w] { WaitEndedOnMainThread(w); },
                                    [w] {
                                      std::lock_guard lock(w->Lock);
                                      GiveBack(*w);
                                    });
}

void TCommThread::GiveBack(TWatch& w) {
  w.Contested = false;
  if (!w.Withdrawn) SetEvent(w.Resume);
}

void TCommThread::WaitEndedOnMainThread(const std::shared_ptr<TWatch>& w) {
  std::unique_lock lock(w->Lock);
  if (w->Withdrawn) return;
  TCommThread* const t = w->Thread;
  // No events: the mask changed, or the wait failed or was cancelled. The thread sorts that out.
  const DWORD events = t->EventWord;
  if (events == 0 || !Application) {
    GiveBack(*w);
    return;
  }
  // Not under the lock: a handler may stop this thread and wait for its end.
  lock.unlock();
  const bool handled = w->Handle(events);
  lock.lock();
  if (w->Withdrawn) return;
  // Not handled, the word stays for the thread: it finds the wait's event still set and posts
  // the word behind those before it. Handled, the thread must not see it again.
  if (handled) {
    t->EventWord = 0;
    if (!w->Contested) {
      t->Overlapped.Internal = t->Overlapped.InternalHigh = t->Overlapped.Offset = t->Overlapped.OffsetHigh = 0;
      const BOOL done = WaitCommEvent(t->PortHandle, &t->EventWord, &t->Overlapped);
      // Done at once, the wait's event is set and the loop runs this again on its next round.
      // Failed, the event is as it was (set) and the thread meets the failure when it arms
      // the next wait itself. The watch that ran this is kept for the next wait: same event.
      if ((done || GetLastError() == ERROR_IO_PENDING) && TThread::WatchAgainOnMainThread(t)) return;
    }
  }
  GiveBack(*w);
}

void TCommThread::Post(DWORD Events) {
  TMsgThread* m = Comm->MsgThread;
  if (!m) return;
  if (Application && m->HandOverIfIdle(Events)) return;
  while (!m->PostEvent(Events)) {
    // The dispatch thread has no queue yet (it is starting) or has ended (nobody will take it).
    if (Terminated() || !Comm->PortOpen() || m->Finished()) return;
    Sleep(1);
  }
}

// ---- TMsgThread ------------------------------------------------------------------------------

TMsgThread::TMsgThread(TqvCustomComm* AComm) : Comm(AComm) {
  SetStackSize(kThreadStack);
  Start();
}

TMsgThread::~TMsgThread() {
  if (Started() && !Finished() && GetCurrentThreadId() != ThreadID()) {
    Stop();
    WaitFor();
  }
}

void TMsgThread::TerminatedSet() {
  HandOverWord onMain;
  {
    std::lock_guard lock(Shared->Lock);
    Shared->Stopping = true;
    onMain = Shared->QueuedByPort;
  }
  // Released, as a stop releases a hand-over: the main thread may be handling an event of the
  // wait it holds, and stopping the port from its handler.
  if (onMain) EndHandOver(onMain);
  PostThreadMessageA(ThreadID(), MsgQuitComEvent, 0, 0);
}

namespace {
// lParam of an event word that was counted when it was posted, and of the last request
// (FinishAndEnd, counted too).
constexpr LPARAM kCounted = 1;
constexpr LPARAM kFinish = 2;

// Takes a counted event word off the count when its handling ends, however it ends (null: one
// that was not counted).
template <class Shared>
struct TOffTheCount {
  Shared* shared;
  ~TOffTheCount() {
    if (!shared) return;
    std::lock_guard lock(shared->Lock);
    --shared->Outstanding;
  }
};

// The component's handling of one event word, as the dispatch thread would post it.
void HandleEventWord(TqvCustomComm* comm, DWORD Events) {
  MSG m;
  m.message = MsgComEvent;
  m.wParam = Events;
  comm->HandleComEvent(m);
}
}  // namespace

std::function<void()> TMsgThread::HandOverMethod(DWORD Events, bool Counted) const {
  // The hand-over holds only the component, the event word and the shared state: a stop may
  // release this thread from it, and it then completes after this object has gone.
  return [comm = Comm, Events, Counted, shared = Shared] {
    const TOffTheCount<TShared> done{Counted ? shared.get() : nullptr};
    HandleEventWord(comm, Events);
  };
}

std::function<void()> TMsgThread::FinishMethod() const {
  return [comm = Comm, shared = Shared] {
    const TOffTheCount<TShared> done{shared.get()};
    comm->ReceiveLeftOver();
  };
}

bool TMsgThread::FinishAndEnd() {
  if (Finished() || !QueueReady.load(std::memory_order_acquire)) return false;
  {
    std::lock_guard lock(Shared->Lock);
    ++Shared->Outstanding;
  }
  if (!PostThreadMessageA(ThreadID(), MsgComEvent, 0, kFinish)) {
    std::lock_guard lock(Shared->Lock);
    --Shared->Outstanding;
    return false;
  }
  WaitFor();
  return true;
}

bool TMsgThread::HandOverIfIdle(DWORD Events) {
  // A dispatch thread that has ended takes no events, nor does anyone on its behalf.
  if (Finished()) return true;
  // Not before its queue exists: the handler may post the next notification to it.
  if (!QueueReady.load(std::memory_order_acquire)) return false;
  HandOverWord word;
  {
    std::lock_guard lock(Shared->Lock);
    if (!Shared->IdleLocked()) return false;
    word = Shared->TakeEventLocked();
  }
  if (!QueueHandOver(this, HandOverMethod(Events, false), word)) {
    // Stopping: nothing is handed over any more, and nobody must wait for this one.
    std::lock_guard lock(Shared->Lock);
    Shared->QueuedByPort.reset();
  }
  return true;
}

bool TMsgThread::TShared::IdleLocked() const {
  return Outstanding == 0 && (!QueuedByPort || HandOverEnded(QueuedByPort));
}

const TThread::HandOverWord& TMsgThread::TShared::TakeEventLocked() {
  // The dispatch thread waits for this word to end before it hands over a word posted meanwhile.
  RenewHandOverWord(QueuedByPort);
  return QueuedByPort;
}

bool TMsgThread::IdleForWatch() {
  if (Finished() || !QueueReady.load(std::memory_order_acquire)) return false;
  std::lock_guard lock(Shared->Lock);
  return !Shared->Stopping && Shared->Outstanding == 0;
}

std::function<bool(DWORD)> TMsgThread::MainThreadHandler() const {
  // Like a hand-over, it holds only the component and the shared state.
  return [comm = Comm, shared = Shared](DWORD Events) {
    HandOverWord word;
    {
      std::lock_guard lock(shared->Lock);
      if (shared->Stopping || !shared->IdleLocked()) return false;
      word = shared->TakeEventLocked();
    }
    try {
      HandleEventWord(comm, Events);
    } catch (...) {
      // As from the dispatch thread: HandleComEvent reports what its handlers throw itself.
    }
    EndHandOver(word);
    return true;
  };
}

bool TMsgThread::PostEvent(DWORD Events) {
  {
    std::lock_guard lock(Shared->Lock);
    ++Shared->Outstanding;
  }
  if (PostThreadMessageA(ThreadID(), MsgComEvent, WPARAM(Events), kCounted)) return true;
  std::lock_guard lock(Shared->Lock);
  --Shared->Outstanding;
  return false;
}

void TMsgThread::Execute() {
  if (!Comm) return;
  // The queue exists before the terminate request is first looked at: a stop whose quit
  // message found no queue has set the request before, and the loop below sees it.
  PeekMessageA(&Msg, 0, 0, 0, PM_NOREMOVE);
  QueueReady.store(true, std::memory_order_release);
  while (!Terminated()) {
    if (GetMessageA(&Msg, 0, MSG_REGISTERED_FIRST, MSG_REGISTERED_LAST) <= 0) break;
    if (!Comm->PortOpen() || Terminated() || Msg.message == MsgQuitComEvent) break;
    if (Msg.hwnd == 0 && Msg.message == MsgComEvent) {
      // Counted from here on (if its poster did not), so that the port-event thread hands
      // nothing over ahead of it; a hand-over the port-event thread queued before ends first.
      HandOverWord queuedByPort;
      {
        std::lock_guard lock(Shared->Lock);
        if (Msg.lParam != kCounted && Msg.lParam != kFinish) ++Shared->Outstanding;
        queuedByPort = Shared->QueuedByPort;
      }
      if (queuedByPort) WaitHandOver(queuedByPort);
      const bool last = Msg.lParam == kFinish;
      const std::function<void()> method = last ? FinishMethod() : HandOverMethod(DWORD(Msg.wParam), true);
      try {
        if (!Application)
          method();
        else if (last)
          Synchronize(method);
        else
          SynchronizeThenWait(method);
      } catch (...) {
        // HandleComEvent reports what its handlers throw; what escapes its report (a failing
        // log or OnFatalError) must not end the dispatch, or the events would pile up unserved.
      }
      if (last) break;
    } else {
      DispatchMessageA(&Msg);
    }
  }
  std::lock_guard lock(Shared->Lock);
  Shared->Stopping = true;
}
