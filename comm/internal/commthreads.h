// The two threads of an open communication component.
//
// TCommThread waits for port events with an overlapped WaitCommEvent, sleeping on the port
// itself, and posts each event word to the dispatch thread. TMsgThread takes these messages
// from its own queue, one at a time in posting order, and hands each over to the main thread,
// waiting until HandleComEvent has run. Its queue is the only event queue between the threads.
//
// When the dispatch thread has nothing to do (no event word posted and not yet handled, no
// hand-over running), the port-event thread queues the hand-over on its behalf instead of
// waking it: the event then reaches the main thread with one wake-up instead of two, and the
// dispatch thread sleeps on. Order holds because the port-event thread does so only when
// everything it posted before has been handled, and the dispatch thread waits for such a
// hand-over to end before it hands over the next event word.
//
// When the application's own loop runs the main thread, and the dispatch thread has nothing
// to do, the port-event thread goes further: it lets the main thread hold its wait (a watch,
// TThread::WatchOnMainThread) and sleeps. The main thread then polls the port while it sleeps
// in its loop, handles each event itself and arms the next wait: an event costs one wake-up,
// the main thread's, as in a program that reads the port from its own loop. The main thread
// gives the wait back whenever it cannot take the event in order (an event word is posted and
// not yet handled, or a hand-over of the dispatch thread runs), when the wait ends with no
// events or fails, and when its loop stops watching; the port-event thread then goes on as
// above. While a handler runs, nobody reads the port: its bytes wait in the kernel's buffer,
// as they would wait in the receive queue.
#pragma once

#include "comm/qvcomm.h"
#include "platform/rtl/threads.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

// The port-event thread; made, woken and stopped by its component (Stop and Wake: any thread).
class TCommThread : public TThread {
 public:
  // Takes the component's current handle; the thread starts at once.
  explicit TCommThread(TqvCustomComm* AComm);

  // Terminate request, then the wake event is set. The request cannot be lost: the thread
  // looks at it before each wait and again once the wait has reset the wake event.
  void Stop() { Terminate(); }
  // Wakes a thread that sleeps until the port has an event mask (the component set one).
  void Wake();
  // This thread, which closed the port, runs on without its component (destroyed from
  // OnClose): it leaves the component alone and frees itself when it ends. Its own thread only.
  void Orphan() {
    Orphaned = true;
    SetFreeOnTerminate(true);
  }

 protected:
  void Execute() override;
  void TerminatedSet() override;

 private:
  // Posts the event word until it is taken; gives up when stopping or when nobody will take it.
  void Post(DWORD Events);
  // Lets the main thread hold the pending wait while the engine is idle, and sleeps until it
  // gives the wait back or a stop; returns at once when the main thread cannot hold it.
  void LetMainThreadWait();

  // What this thread and the main thread share about a wait the main thread holds. The main
  // thread touches the thread object only under Lock while Withdrawn is false: after that the
  // object may be gone.
  struct TWatch {
    std::mutex Lock;
    // The thread has taken its wait back for good (it ends).
    bool Withdrawn = false;
    TCommThread* Thread = nullptr;
    // Set to give the wait back.
    HANDLE Resume = 0;
    // The thread saw the wait end (the port failed) while the main thread was on it: the main
    // thread gives the wait back instead of arming the next one.
    bool Contested = false;
    // The dispatch thread's MainThreadHandler, made when the wait is handed to the main thread.
    std::function<bool(DWORD)> Handle;
  };
  // The thread's pending wait becomes the main thread's watch (false: the main thread takes
  // none). The thread object is the watch's key.
  static bool HandToMainThread(const std::shared_ptr<TWatch>& w);
  // Main thread: the wait it holds has ended (its event is set).
  static void WaitEndedOnMainThread(const std::shared_ptr<TWatch>& w);
  // Lock held.
  static void GiveBack(TWatch& w);

  TqvCustomComm* const Comm;
  const HANDLE PortHandle;
  OVERLAPPED Overlapped;
  // Written by the port when the wait completes; a member, since the port owns it until then.
  DWORD EventWord = 0;
  std::atomic<HANDLE> WakeEvent{0};
  // Signalled when the component sets the port's event mask (and by a stop).
  std::atomic<HANDLE> MaskEvent{0};
  // Signalled when the main thread gives the wait back (and by a stop).
  std::atomic<HANDLE> ResumeEvent{0};
  const std::shared_ptr<TWatch> Watch = std::make_shared<TWatch>();
  bool Orphaned = false;
};

// The dispatch thread; made and stopped by its component (Stop: any thread).
class TMsgThread : public TThread {
 public:
  explicit TMsgThread(TqvCustomComm* AComm);
  // Stop, then the thread class's wait for the end.
  ~TMsgThread() override;

  // Terminate request, then MsgQuitComEvent to its own queue.
  void Stop() { Terminate(); }

  // Port-event thread only. Hands the event word over to the main thread on this thread's
  // behalf when this thread has nothing to do; false when the word must be posted to its queue
  // instead. True also when nobody takes events any more (this thread has ended, or stops).
  bool HandOverIfIdle(DWORD Events);
  // Posts an event word to this thread's queue (false when it has none yet, or any more).
  // From any thread.
  bool PostEvent(DWORD Events);
  // Port-event thread, when the port failed: hands over every event word posted before, then
  // the component's ReceiveLeftOver (what the port still holds, and the settling), and ends.
  // Returns once the thread has ended (a stop ends it sooner, withdrawing what has not run);
  // false, at once, when it has no queue to take the request.
  bool FinishAndEnd();
  // Port-event thread: no event word is posted and not yet handled (a hand-over it queued
  // itself may still run), so the main thread may hold the port's wait.
  bool IdleForWatch();
  // For the main thread, for an event of the port's wait it holds: a function that runs
  // HandleComEvent there when this thread has nothing to do and returns true, or false (nothing
  // run) when the event must be posted to keep its order. It holds only the component and the
  // shared state, like a hand-over.
  std::function<bool(DWORD)> MainThreadHandler() const;

 protected:
  void Execute() override;
  void TerminatedSet() override;

 private:
  // What the port-event thread, this thread and the hand-overs share (a hand-over may end
  // after this object has gone).
  struct TShared {
    std::mutex Lock;
    // Event words posted or taken and not yet handled.
    unsigned Outstanding = 0;
    // The last hand-over queued by the port-event thread, or the event the main thread
    // handles for the wait it holds; until it has ended nothing else is handed over.
    TThread::HandOverWord QueuedByPort;
    // This thread stops (or has ended): nobody takes events on its behalf any more.
    bool Stopping = false;

    // Lock held. Nothing is posted and not yet handled, and nothing taken on this thread's
    // behalf still runs: an event may be handled out of the queue, and then claims
    // QueuedByPort (TakeEventLocked), so that what is posted meanwhile waits for it.
    bool IdleLocked() const;
    const TThread::HandOverWord& TakeEventLocked();
  };
  // Runs HandleComEvent for an event word on the main thread; a counted one is taken off the
  // count when it has run.
  std::function<void()> HandOverMethod(DWORD Events, bool Counted) const;
  // The component's handling of the last request (FinishAndEnd), counted as an event word.
  std::function<void()> FinishMethod() const;

  TqvCustomComm* const Comm;
  MSG Msg;
  const std::shared_ptr<TShared> Shared = std::make_shared<TShared>();
  // Set once this thread has its message queue.
  std::atomic<bool> QueueReady{false};
};
