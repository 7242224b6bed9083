// Threads, the blocking hand-over to the main thread, stops that never deadlock against a
// pending hand-over, and the application loop.
#include "platform/rtl/application.h"
#include "platform/rtl/threads.h"
#include "platform/rtl/wndmethod.h"
#include "platform/win32/winbase.h"
#include "platform/win32/winuser.h"
#include "support/app.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <time.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace {

// A thread whose body is a lambda taking the thread.
class LambdaThread : public TThread {
 public:
  explicit LambdaThread(std::function<void(LambdaThread&)> body, bool start = true) : body_(std::move(body)) {
    if (start) Start();
  }
  // Stops the body before this part is gone (the base destructor would be too late for a
  // body still running in a derived Execute).
  ~LambdaThread() override {
    if (Started() && !Finished() && GetCurrentThreadId() != ThreadID()) {
      Terminate();
      WaitFor();
    }
    if (destroyed) destroyed->store(true);
  }
  std::atomic<bool>* destroyed = nullptr;
  using TThread::Synchronize;

 protected:
  void Execute() override { body_(*this); }

 private:
  std::function<void(LambdaThread&)> body_;
};

bool Readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) == 1;
}

using qv::test::PumpUntil;

TEST(Threads, IdHandleAndEnd) {
  std::atomic<DWORD> inside{0};
  HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  LambdaThread t([&](LambdaThread& self) {
    inside = GetCurrentThreadId();
    WaitForSingleObject(gate, INFINITE);
    self.SetReturnValue(17);
  });
  EXPECT_EQ(WaitForSingleObject(t.Handle(), 50), WAIT_TIMEOUT);
  SetEvent(gate);
  EXPECT_EQ(WaitForSingleObject(t.Handle(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(inside.load(), t.ThreadID());
  EXPECT_NE(t.ThreadID(), GetCurrentThreadId());
  EXPECT_TRUE(t.Finished());
  EXPECT_EQ(t.WaitFor(), 17);
  CloseHandle(gate);
}

TEST(Threads, SuspendedUntilStartedAndStartedOnce) {
  std::atomic<bool> ran{false};
  LambdaThread t([&](LambdaThread&) { ran = true; }, false);
  Sleep(30);
  EXPECT_FALSE(ran.load());
  EXPECT_EQ(WaitForSingleObject(t.Handle(), 0), WAIT_TIMEOUT);
  t.Start();
  t.WaitFor();
  EXPECT_TRUE(ran.load());
  EXPECT_THROW(t.Start(), EThread);
}

TEST(Threads, DestructorTerminatesAndWaits) {
  std::atomic<int> loops{0};
  HANDLE h;
  {
    LambdaThread t([&](LambdaThread& self) {
      while (!self.Terminated()) {
        ++loops;
        Sleep(1);
      }
    });
    h = t.Handle();
    while (loops == 0) Sleep(1);
  }
  EXPECT_GT(loops.load(), 0);
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);  // closed with the object
}

TEST(Threads, ExceptionInTheBodyEndsItQuietly) {
  LambdaThread t([](LambdaThread&) { throw Exception("body failed"); });
  t.WaitFor();
  ASSERT_TRUE(t.FatalException());
  EXPECT_THROW(std::rethrow_exception(t.FatalException()), Exception);
}

TEST(Threads, WaitingForItselfIsRefused) {
  std::atomic<bool> refused{false};
  LambdaThread t([&](LambdaThread& self) {
    try {
      self.WaitFor();
    } catch (const EThread&) {
      refused = true;
    }
  });
  t.WaitFor();
  EXPECT_TRUE(refused.load());
}

TEST(Threads, TerminateThreadIsNotAvailable) {
  LambdaThread t([](LambdaThread&) {});
  t.WaitFor();
  SetLastError(0);
  EXPECT_FALSE(TerminateThread(t.Handle(), 0));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(TerminateThread(0x12345678u, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Threads, FreeOnTerminateReleasesItselfAfterTheBody) {
  std::atomic<bool> destroyed{false};
  auto* t = new LambdaThread([](LambdaThread&) { Sleep(10); }, false);
  t->destroyed = &destroyed;
  t->SetFreeOnTerminate(true);
  t->Start();
  DWORD end = GetTickCount() + 10000;
  while (!destroyed && int(end - GetTickCount()) > 0) Sleep(1);
  EXPECT_TRUE(destroyed.load());
}

TEST(Threads, RetainKeepsAFreeOnTerminateThreadForTheWait) {
  std::atomic<bool> destroyed{false};
  auto* t = new LambdaThread(
      [](LambdaThread& self) {
        while (!self.Terminated()) Sleep(1);
      },
      false);
  t->destroyed = &destroyed;
  t->SetFreeOnTerminate(true);
  t->Retain();
  t->Start();
  HANDLE h = t->Handle();
  t->Terminate();
  EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
  t->WaitFor();
  EXPECT_FALSE(destroyed.load());
  t->Release();
  EXPECT_TRUE(destroyed.load());
}

// ---- hand-over -----------------------------------------------------------------------------

TEST(HandOver, RunsOnTheMainThreadAndPassesExceptionsBack) {
  TApplication app;
  ASSERT_EQ(Application, &app);
  EXPECT_EQ(MainThreadID(), GetCurrentThreadId());
  std::vector<DWORD> ranOn;
  std::atomic<int> caught{0};
  std::atomic<bool> done{false};
  std::string message;
  LambdaThread t([&](LambdaThread& self) {
    for (int i = 0; i < 3; ++i)
      EXPECT_TRUE(self.Synchronize([&] { ranOn.push_back(GetCurrentThreadId()); }));
    try {
      self.Synchronize([] { throw Exception("from main"); });
    } catch (const Exception& e) {
      ++caught;
      message = e.Message();
    }
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
  t.WaitFor();
  ASSERT_EQ(ranOn.size(), 3u);
  for (DWORD id : ranOn) EXPECT_EQ(id, GetCurrentThreadId());
  EXPECT_EQ(caught.load(), 1);
  EXPECT_EQ(message, "from main");
  // On the main thread the hand-over runs directly.
  bool direct = false;
  EXPECT_TRUE(TThread::Synchronize(nullptr, [&] { direct = true; }));
  EXPECT_TRUE(direct);
}

TEST(HandOver, WaitForOnTheMainThreadServesHandOvers) {
  std::vector<int> ran;
  LambdaThread t([&](LambdaThread& self) {
    for (int i = 0; i < 20; ++i) self.Synchronize([&, i] { ran.push_back(i); });
  });
  t.WaitFor();  // no loop runs: only WaitFor can serve them
  ASSERT_EQ(ran.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(ran[std::size_t(i)], i);
}

TEST(HandOver, TerminateWithdrawsAQueuedHandOver) {
  std::atomic<bool> ran{false};
  std::atomic<int> result{-1};
  LambdaThread t([&](LambdaThread& self) { result = self.Synchronize([&] { ran = true; }) ? 1 : 0; });
  // The main thread is busy: wait until the request is queued, without serving it.
  while (!HandOverPending()) Sleep(1);
  t.Terminate();
  EXPECT_EQ(WaitForSingleObject(t.Handle(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(result.load(), 0);
  EXPECT_FALSE(ran.load());
  EXPECT_FALSE(HandOverPending());
  // A terminated thread hands nothing over.
  std::atomic<int> late{-1};
  LambdaThread u([&](LambdaThread& self) {
    while (!self.Terminated()) Sleep(1);
    late = self.Synchronize([&] { ran = true; }) ? 1 : 0;
  });
  u.Terminate();
  u.WaitFor();
  EXPECT_EQ(late.load(), 0);
  EXPECT_FALSE(ran.load());
}

TEST(HandOver, StoppingTheThreadFromInsideItsOwnHandOverDoesNotDeadlock) {
  TApplication app;
  std::unique_ptr<LambdaThread> t;
  std::atomic<int> result{-1};
  DWORD waited = 0;
  bool finished = false;
  t = std::make_unique<LambdaThread>(
      [&](LambdaThread& self) {
        result = self.Synchronize([&] {
          // The main thread handles an event and closes: stop the dispatching thread and wait
          // for it, as a close does, while this hand-over is still running.
          self.Terminate();
          waited = WaitForSingleObject(self.Handle(), 5000);
          finished = true;
        })
                     ? 1
                     : 0;
      },
      false);
  t->Start();
  ASSERT_TRUE(PumpUntil([&] { return finished; }));
  EXPECT_EQ(waited, WAIT_OBJECT_0);
  EXPECT_EQ(result.load(), 0);
  t.reset();
}

TEST(HandOver, WaitForFromInsideTheThreadsOwnHandOverDoesNotDeadlock) {
  TApplication app;
  LambdaThread* t = nullptr;
  bool finished = false;
  t = new LambdaThread(
      [&](LambdaThread& self) {
        self.Synchronize([&] {
          self.Terminate();
          self.WaitFor();
          finished = true;
        });
      },
      false);
  t->Start();
  ASSERT_TRUE(PumpUntil([&] { return finished; }));
  t->Free();
}

TEST(HandOver, StopUnderLoadNeverHangs) {
  TApplication app;
  constexpr int kThreads = 6;
  std::atomic<int> served{0};
  std::vector<std::unique_ptr<LambdaThread>> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.push_back(std::make_unique<LambdaThread>([&](LambdaThread& self) {
      while (!self.Terminated()) self.Synchronize([&] { ++served; });
    }));
  }
  ASSERT_TRUE(PumpUntil([&] { return served.load() >= 300; }));
  // Half are stopped while the main thread does not serve at all: their queued hand-overs are
  // withdrawn.
  for (int i = 0; i < kThreads / 2; ++i) threads[std::size_t(i)]->Terminate();
  for (int i = 0; i < kThreads / 2; ++i)
    EXPECT_EQ(WaitForSingleObject(threads[std::size_t(i)]->Handle(), 10000), WAIT_OBJECT_0);
  // The others are stopped by their destructors, which serve while they wait.
  const DWORD start = GetTickCount();
  threads.clear();
  EXPECT_LT(GetTickCount() - start, 10000u);
  EXPECT_FALSE(HandOverPending());
}

// The dispatch pattern of the communication component: a thread takes registered messages
// from its queue and hands each to the main thread, one at a time, in posting order.
TEST(HandOver, DispatchThreadHandsEventsOverInOrderAndStopsWhileMainIsBlocked) {
  TApplication app;
  const UINT evMsg = RegisterWindowMessageA("platformTestComEvent");
  const UINT quitMsg = RegisterWindowMessageA("platformTestQuitComEvent");
  std::vector<WPARAM> handled;
  std::atomic<bool> queueReady{false};
  LambdaThread dispatcher(
      [&](LambdaThread& self) {
        MSG m;
        PeekMessageA(&m, 0, 0, 0, PM_NOREMOVE);
        queueReady = true;
        while (!self.Terminated()) {
          if (GetMessageA(&m, 0, 0xC000, 0xFFFF) <= 0) break;
          if (self.Terminated() || m.message == quitMsg) break;
          if (m.message == evMsg) {
            MSG copy = m;
            self.Synchronize([&handled, copy] { handled.push_back(copy.wParam); });
          }
        }
      },
      true);
  while (!queueReady) Sleep(1);
  // A burst while the main thread is blocked.
  for (WPARAM w = 1; w <= 50; ++w) ASSERT_TRUE(PostThreadMessageA(dispatcher.ThreadID(), evMsg, w, 0));
  Sleep(50);
  EXPECT_TRUE(handled.empty());
  ASSERT_TRUE(PumpUntil([&] { return handled.size() == 50; }));
  for (std::size_t i = 0; i < handled.size(); ++i) EXPECT_EQ(handled[i], i + 1);
  // More events, then stop without serving: terminate (withdraws the pending hand-over), post
  // the quit message, wait up to 1000 ms as the close does.
  for (WPARAM w = 51; w <= 60; ++w) PostThreadMessageA(dispatcher.ThreadID(), evMsg, w, 0);
  while (!HandOverPending()) Sleep(1);
  dispatcher.Terminate();
  PostThreadMessageA(dispatcher.ThreadID(), quitMsg, 0, 0);
  EXPECT_EQ(WaitForSingleObject(dispatcher.Handle(), 1000), WAIT_OBJECT_0);
  EXPECT_EQ(handled.size(), 50u);
}

TEST(HandOver, QueuedHandOversKeepTheirPlaceAndAStopWithdrawsThem) {
  TApplication app;
  std::vector<int> order;
  TThread::HandOverWord first = TThread::NewHandOverWord(), withdrawn = TThread::NewHandOverWord();
  std::atomic<bool> go{false}, queued{false}, waited{false};
  LambdaThread t([&](LambdaThread& self) {
    // Queued without waiting, then a waiting one: the main thread runs them in that order.
    ASSERT_TRUE(TThread::QueueHandOver(&self, [&] { order.push_back(1); }, first));
    EXPECT_TRUE(self.Synchronize([&] { order.push_back(2); }));
    EXPECT_TRUE(TThread::HandOverEnded(first));
    while (!go) Sleep(1);  // the main thread no longer serves
    ASSERT_TRUE(TThread::QueueHandOver(&self, [&] { order.push_back(3); }, withdrawn));
    EXPECT_FALSE(TThread::WaitHandOver(withdrawn, 20));  // not served: the time runs out
    queued = true;
    TThread::WaitHandOver(withdrawn);  // ends when the stop withdraws it
    EXPECT_TRUE(TThread::WaitHandOver(withdrawn, 0));
    waited = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return order.size() == 2; }));
  go = true;
  while (!queued) Sleep(1);
  EXPECT_FALSE(TThread::HandOverEnded(withdrawn));
  t.Terminate();
  EXPECT_EQ(WaitForSingleObject(t.Handle(), 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(waited.load());
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_FALSE(HandOverPending());
  // A terminated thread queues nothing.
  EXPECT_FALSE(TThread::QueueHandOver(&t, [&] { order.push_back(4); }, TThread::NewHandOverWord()));
}

TEST(HandOver, SynchronizeThenWaitReturnsOnceItsQueueHasSomething) {
  TApplication app;
  std::atomic<int> step{0};
  LambdaThread t([&](LambdaThread& self) {
    MSG m;
    PeekMessageA(&m, 0, 0, 0, PM_NOREMOVE);
    step = 1;
    EXPECT_TRUE(self.SynchronizeThenWait([&] { step = 2; }));
    step = 3;
  });
  while (step.load() < 1) Sleep(1);
  ASSERT_TRUE(PumpUntil([&] { return step.load() >= 2; }));
  // The hand-over has run, but nothing is queued for the thread: it sleeps on.
  Sleep(50);
  EXPECT_EQ(step.load(), 2);
  ASSERT_TRUE(PostThreadMessageA(t.ThreadID(), WM_USER, 0, 0));
  ASSERT_TRUE(PumpUntil([&] { return step.load() == 3; }));
}

// ---- application ---------------------------------------------------------------------------

struct MainSink {
  std::vector<UINT> got;
  int timerHits = 0;
  TApplication* app = nullptr;
  void Handle(TMessage& m) {
    got.push_back(m.Msg);
    if (m.Msg == WM_TIMER && ++timerHits == 3) app->Terminate();
  }
};

TEST(ApplicationLoop, RunServesTimersPostsAndHandOversUntilTerminated) {
  TApplication app;
  MainSink sink;
  sink.app = &app;
  HWND w = AllocateHWnd(MakeMethod(&sink, &MainSink::Handle));
  SetTimer(w, 1, 30, nullptr);
  PostMessageA(w, WM_USER + 9, 0, 0);
  std::atomic<bool> handed{false};
  LambdaThread t([&](LambdaThread& self) { self.Synchronize([&] { handed = true; }); });
  app.Run();
  EXPECT_TRUE(app.Terminated());
  EXPECT_EQ(sink.timerHits, 3);
  EXPECT_EQ(sink.got.front(), WM_USER + 9u);
  t.WaitFor();
  EXPECT_TRUE(handed.load());
  DeallocateHWnd(w);
}

TEST(ApplicationLoop, WakeFdSignalsPendingWorkAndProcessMessagesClearsIt) {
  TApplication app;
  const int fd = app.WakeFd();
  app.ProcessMessages();
  EXPECT_FALSE(Readable(fd, 0));
  MainSink sink;
  sink.app = &app;
  HWND w = AllocateHWnd(MakeMethod(&sink, &MainSink::Handle));
  // A post from another thread.
  std::thread([&] { PostMessageA(w, WM_USER + 1, 0, 0); }).join();
  EXPECT_TRUE(Readable(fd, 1000));
  app.ProcessMessages();
  EXPECT_EQ(sink.got, std::vector<UINT>{WM_USER + 1});
  EXPECT_FALSE(Readable(fd, 0));
  // A due timer.
  SetTimer(w, 2, 40, nullptr);
  EXPECT_FALSE(Readable(fd, 10));
  EXPECT_TRUE(Readable(fd, 5000));
  app.ProcessMessages();
  EXPECT_EQ(sink.got.back(), UINT(WM_TIMER));
  KillTimer(w, 2);
  EXPECT_FALSE(Readable(fd, 0));
  // A hand-over.
  std::atomic<bool> handed{false};
  LambdaThread t([&](LambdaThread& self) { self.Synchronize([&] { handed = true; }); });
  EXPECT_TRUE(Readable(fd, 5000));
  app.ProcessMessages();
  t.WaitFor();
  EXPECT_TRUE(handed.load());
  DeallocateHWnd(w);
}

// The main thread's watch: set by another thread while the loop sleeps, its event runs the
// watch there, once, unless the run keeps it; a withdrawn watch never runs; a foreign loop
// taking over drops it.
TEST(MainWatch, RunsOnceOnTheMainThreadAndAForeignLoopDropsIt) {
  TApplication app;
  // A thread's sleep stays the foreign loop's once its descriptor was handed out.
  if (!TThread::MainThreadWatches()) GTEST_SKIP() << "an earlier test in this process handed out WakeFd";
  const HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  int ran = 0, dropped = 0, key = 0;
  DWORD ranOn = 0;
  auto run = [&] {
    ++ran;
    ranOn = GetCurrentThreadId();
  };
  ASSERT_TRUE(TThread::WatchOnMainThread(ev, &key, run, [&] { ++dropped; }));
  std::thread setter([&] {
    Sleep(30);
    SetEvent(ev);
  });
  EXPECT_TRUE(app.WaitAndProcess(10000));
  setter.join();
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(ranOn, GetCurrentThreadId());
  EXPECT_FALSE(TThread::WithdrawMainWatch(&key));  // off the list once it has run
  app.ProcessMessages();
  EXPECT_EQ(ran, 1);

  ResetEvent(ev);
  ASSERT_TRUE(TThread::WatchOnMainThread(ev, &key, run, [&] { ++dropped; }));
  EXPECT_TRUE(TThread::WithdrawMainWatch(&key));
  SetEvent(ev);
  app.ProcessMessages();
  EXPECT_EQ(ran, 1);

  // A run may keep its watch for the next time; a withdraw after that, before the run
  // returns, takes it back as it takes back a listed watch.
  int again = 0;
  bool withdrawInRun = false;
  auto rerun = [&] {
    ++again;
    ResetEvent(ev);
    EXPECT_TRUE(TThread::WatchAgainOnMainThread(&key));
    if (withdrawInRun) {
      EXPECT_TRUE(TThread::WithdrawMainWatch(&key));
    }
  };
  ASSERT_TRUE(TThread::WatchOnMainThread(ev, &key, rerun, [&] { ++dropped; }));
  for (int expected : {1, 2}) {
    SetEvent(ev);
    app.ProcessMessages();
    EXPECT_EQ(again, expected);
  }
  withdrawInRun = true;
  SetEvent(ev);
  app.ProcessMessages();
  SetEvent(ev);
  app.ProcessMessages();
  EXPECT_EQ(again, 3);
  EXPECT_FALSE(TThread::WithdrawMainWatch(&key));
  EXPECT_EQ(dropped, 0);

  ResetEvent(ev);
  ASSERT_TRUE(TThread::WatchOnMainThread(ev, &key, run, [&] { ++dropped; }));
  app.WakeFd();
  EXPECT_EQ(dropped, 1);
  EXPECT_FALSE(TThread::WatchOnMainThread(ev, &key, run, [&] { ++dropped; }));
  SetEvent(ev);
  app.ProcessMessages();
  EXPECT_EQ(ran, 1);
  CloseHandle(ev);
}

TEST(ApplicationLoop, IdleWaitSleepsAndTimesOut) {
  TApplication app;
  HWND w = AllocateHWnd(nullptr);
  SetTimer(w, 1, 100000, nullptr);  // a far timer must not make the loop poll
  timespec cpu0, cpu1;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
  const DWORD start = GetTickCount();
  EXPECT_FALSE(app.WaitAndProcess(300));
  EXPECT_GE(GetTickCount() - start, 295u);
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
  const long cpuMs = (cpu1.tv_sec - cpu0.tv_sec) * 1000 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1000000;
  EXPECT_LT(cpuMs, 100) << "the idle loop used CPU";
  DeallocateHWnd(w);
  PostMessageA(0, WM_USER, 0, 0);
  EXPECT_TRUE(app.WaitAndProcess(0));
}

TEST(ApplicationLoop, ExceptionsAreShownInTheStandardBox) {
  TApplication app;
  app.Title = "Demo";
  HWND form = AllocateHWnd(nullptr);
  app.SetMainFormHandle(form);
  EXPECT_EQ(GetForegroundWindow(), form);
  std::vector<std::string> boxes;
  UINT type = 0;
  HWND owner = 0;
  auto previous = qv::platform::SetMessageBoxHook([&](HWND o, const std::string& t, const std::string& c, UINT ty) {
    boxes.push_back(c + "|" + t);
    type = ty;
    owner = o;
    return IDOK;
  });
  try {
    throw Exception("Device \"COM9\" Open Error !!!\rmissing");
  } catch (...) {
    app.HandleException(&app);
  }
  app.ShowException(std::string("ends with dot."));
  try {
    throw 42;
  } catch (...) {
    app.HandleException(nullptr);
  }
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0], "Demo|Device \"COM9\" Open Error !!!\rmissing.");
  EXPECT_EQ(boxes[1], "Demo|ends with dot.");
  EXPECT_EQ(boxes[2], "Demo|Unknown exception.");
  EXPECT_EQ(type, MB_OK | MB_ICONSTOP);
  EXPECT_EQ(owner, form);
  // OnException replaces the box.
  struct Catcher {
    std::string last;
    void On(TObject*, const std::exception& e) { last = e.what(); }
  } catcher;
  app.OnException = MakeMethod(&catcher, &Catcher::On);
  try {
    throw Exception("handled");
  } catch (...) {
    app.HandleException(nullptr);
  }
  EXPECT_EQ(catcher.last, "handled");
  EXPECT_EQ(boxes.size(), 3u);
  qv::platform::SetMessageBoxHook(previous);
  DeallocateHWnd(form);
}

}  // namespace
