// The toolkit's thread class and the blocking hand-over to the main thread.
//
// Hand-over rule: a hand-over never blocks a stop. Terminate() withdraws a hand-over of the
// thread that the main thread has not started yet (Synchronize then returns false without
// running it), and when Terminate() or WaitFor() is called from inside that very hand-over
// (the main thread handles an event and stops the thread that handed it over), the thread is
// released at once and the hand-over completes on the main thread unobserved. A hand-over
// already running elsewhere on the main thread finishes normally. Forced termination is not
// available (TerminateThread fails) and nothing relies on it.
#pragma once

#include "platform/rtl/component.h"
#include "platform/win32/winbase.h"

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

using TThreadMethod = TMethod<void()>;

namespace qv::platform {
struct ThreadShared;  // what the thread body, waiters and the hand-over queue share
}

// Any thread. The thread whose loop serves hand-overs: the creator of the application object,
// else the thread that started the program.
DWORD MainThreadID();
// Runs the hand-overs queued for the main thread; true if any ran. Does nothing (false) on any
// other thread. Never waits.
bool CheckSynchronize();
// Any thread: true while hand-overs wait for the main thread (tests, diagnostics).
bool HandOverPending();

// Always FALSE with ERROR_NOT_SUPPORTED (ERROR_INVALID_HANDLE for a bad handle): a thread
// cannot be ended safely from outside on this platform.
BOOL TerminateThread(HANDLE thread, DWORD exitCode);

// Made, started and freed by one thread (its creator, usually the main thread); Execute runs on
// the new thread. Members marked "any thread" may be called from other threads too.
class TThread : public TObject {
 public:
  // The thread is created suspended; Start() runs Execute on it. A class whose thread should
  // run at once calls Start() as the last step of its own constructor, so Execute never sees
  // a half-built object (the toolkit's CreateSuspended = false).
  TThread();
  // Sets the terminate request and waits for the end (serving hand-overs on the main
  // thread); not waiting when called from the thread itself (FreeOnTerminate). By the time
  // this runs the derived part is gone, so a body that uses members of a derived class must
  // have ended before: destroy with Free(), or Terminate and WaitFor first.
  ~TThread() override;
  // Terminate (with TerminatedSet of the complete object), WaitFor, then delete. Null-safe
  // through the free function Free(thread). Not for a FreeOnTerminate thread.
  void Free();

  // Starts a suspended thread; EThread when it was started before (or cannot be created).
  void Start();
  // Stack size of the new thread in bytes, for threads whose work is known to be shallow
  // (0, the default: the system's size). Takes effect at Start.
  void SetStackSize(std::size_t bytes) { stackSize_ = bytes; }
  void Resume() { Start(); }
  bool Started() const { return started_; }

  // Any thread. Sets the terminate request, withdraws a pending hand-over (see above), then
  // calls TerminatedSet (on the calling thread) so a descendant can wake its body.
  void Terminate();
  // Any thread.
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
  // Any thread: the body has ended.
  bool Finished() const { return finished_.load(std::memory_order_acquire); }

  // Any thread but its own (EThread there): waits for the body to end and returns ReturnValue.
  // On the main thread it keeps running hand-overs while it waits.
  int WaitFor();

  // Any thread. Signalled when the body has ended: WaitForSingleObject(Handle(), ms) works.
  // Closed by the destructor; Retain() keeps it valid past a self-release.
  HANDLE Handle() const { return handle_; }
  // Any thread: the GetCurrentThreadId value of the new thread (valid from construction).
  DWORD ThreadID() const { return threadId_; }

  // Any thread. The object deletes itself when the body has ended (and no Retain is
  // outstanding).
  bool FreeOnTerminate() const { return freeOnTerminate_.load(std::memory_order_acquire); }
  void SetFreeOnTerminate(bool value) { freeOnTerminate_.store(value, std::memory_order_release); }

  // Any thread. Keeps a self-releasing object alive: it is not deleted before the matching
  // Release. When the body has ended and FreeOnTerminate is set, the last Release deletes it.
  // Use this to stop and wait for a FreeOnTerminate thread without racing its self-release.
  void Retain();
  void Release();

  // Any thread.
  int ReturnValue() const;
  void SetReturnValue(int value);
  // The exception that escaped Execute, if any (it is not raised again).
  std::exception_ptr FatalException() const { return fatalException_; }

  // From the thread's own body: blocking hand-over that runs method on the main thread and
  // returns when it has run; an exception raised there is raised again here. On the main thread it runs directly. False
  // when the hand-over was withdrawn or released by a stop (the method then did not run, or
  // completes unobserved); a terminated thread hands nothing over.
  bool Synchronize(const TThreadMethod& method);
  bool Synchronize(const std::function<void()>& method);
  // Any thread: hand-over on its behalf (thread may be null: nothing can withdraw it then).
  static bool Synchronize(TThread* thread, const std::function<void()>& method);
  // The same hand-over for a thread that waits for its message queue next (GetMessageA): it
  // returns once the method has run and the queue has something for it (a message, a quit, a
  // stop). The main thread then wakes it only when there is something to do, instead of once
  // to return and again for the next message.
  bool SynchronizeThenWait(const std::function<void()>& method);

  // A hand-over queued on behalf of thread without waiting for it: it runs on the main thread in
  // order with every other hand-over, and a stop of thread withdraws it as it would a waiting
  // one. The caller makes the word with NewHandOverWord; WaitHandOver(word) returns once the
  // hand-over has run, been withdrawn or been released. False (nothing queued) when thread is
  // terminated. From any thread but the main thread.
  using HandOverWord = std::shared_ptr<std::atomic<std::uint32_t>>;
  static HandOverWord NewHandOverWord();
  // Makes word an open one for the next hand-over: the same object when it has ended and the
  // caller holds the only reference, a new one otherwise. Saves an allocation per event.
  static void RenewHandOverWord(HandOverWord& word);
  static bool QueueHandOver(TThread* thread, const std::function<void()>& method, const HandOverWord& word);
  static void WaitHandOver(const HandOverWord& word);
  // The same for at most timeoutMs; true when the hand-over has ended.
  static bool WaitHandOver(const HandOverWord& word, DWORD timeoutMs);
  static bool HandOverEnded(const HandOverWord& word);
  // Ends a word made with NewHandOverWord for work the caller ran on the main thread itself,
  // waking whoever waits for it.
  static void EndHandOver(const HandOverWord& word);

  // The main thread's watch, for a thread that would only wait for event and then hand what it
  // found over: while the main thread sleeps in the application's own loop it also waits for
  // event (polling the I/O source the event carries), and once event is signalled the loop runs
  // run there, with the hand-overs; the watch is then off (run may add it again). The event then
  // costs one wake-up (the main thread's) instead of two. dropped runs instead, on any thread,
  // when the main thread stops watching: its loop became a foreign one (WakeFd was asked for),
  // or it ended. run must not throw. False (nothing watched) when the main thread has no message
  // queue or a foreign loop sleeps for it. Any thread.
  static bool WatchOnMainThread(HANDLE event, const void* key, std::function<void()> run,
                                std::function<void()> dropped);
  // From inside run, on the main thread: the same watch is kept for the next time event is
  // signalled (no new watch is made). Taken back by WithdrawMainWatch until run returns. False
  // when the main thread no longer watches.
  static bool WatchAgainOnMainThread(const void* key);
  // Whether WatchOnMainThread can take a watch now (the main thread's sleep is its own loop's).
  static bool MainThreadWatches();
  // Takes the watch with this key off; true when it was listed (so neither run nor dropped will
  // be called), false when it ran, runs or was dropped. Any thread.
  static bool WithdrawMainWatch(const void* key);

 protected:
  virtual void Execute() = 0;
  // Called by Terminate after the request is set (on the calling thread).
  virtual void TerminatedSet() {}

 private:
  void Run();
  void DeleteIfFree();
  static bool HandOver(TThread* thread, const std::function<void()>& method, bool park);
  static void* Entry(void* self);

  pthread_t thread_{};
  bool joinable_ = false;
  std::size_t stackSize_ = 0;
  std::shared_ptr<qv::platform::ThreadShared> shared_;
  HANDLE handle_;
  DWORD threadId_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> freeOnTerminate_{false};
  // Retain()s outstanding plus one while the body runs. Whoever drops the last one deletes a
  // FreeOnTerminate object: one counter, so the body's end and a Release cannot both decide.
  std::atomic<int> refs_{0};
  std::atomic<bool> startGate_{false};
  bool started_ = false;
  std::exception_ptr fatalException_;
};

inline void Free(TThread* thread) {
  if (thread) thread->Free();
}
