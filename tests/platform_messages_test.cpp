// Registered messages, per-thread queues, filters, hidden windows, timers and message boxes.
#include "platform/rtl/application.h"
#include "platform/rtl/wndmethod.h"
#include "platform/testhooks.h"
#include "platform/win32/winbase.h"
#include "platform/win32/winuser.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <time.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace {

std::int64_t ThreadCpuMs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

TEST(RegisteredMessages, StableByNameAndInTheRegisteredRange) {
  UINT a = RegisterWindowMessageA("qvCommMsgComEvent");
  UINT b = RegisterWindowMessageA("qvCommMsgQuitComEvent");
  EXPECT_GE(a, 0xC000u);
  EXPECT_LE(a, 0xFFFFu);
  EXPECT_GE(b, 0xC000u);
  EXPECT_LE(b, 0xFFFFu);
  EXPECT_NE(a, b);
  EXPECT_EQ(RegisterWindowMessageA("qvCommMsgComEvent"), a);
  EXPECT_EQ(RegisterWindowMessageA("QVCOMMMSGCOMEVENT"), a);
  // The same from another thread.
  UINT fromThread = 0;
  std::thread([&] { fromThread = RegisterWindowMessageA("qvCommMsgComEvent"); }).join();
  EXPECT_EQ(fromThread, a);
  EXPECT_EQ(RegisterWindowMessageA(""), 0u);
  EXPECT_EQ(RegisterWindowMessageA(nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(ThreadQueues, PostFailsUntilTheTargetHasAQueue) {
  std::promise<DWORD> idPromise;
  std::promise<void> tryFirst, queueMade;
  std::atomic<UINT> got{0};
  std::thread t([&] {
    idPromise.set_value(GetCurrentThreadId());
    tryFirst.get_future().wait();
    MSG m;
    PeekMessageA(&m, 0, 0, 0, PM_NOREMOVE);  // creates the queue
    queueMade.set_value();
    if (GetMessageA(&m, 0, 0, 0) > 0) got = m.message;
  });
  DWORD id = idPromise.get_future().get();
  EXPECT_NE(id, GetCurrentThreadId());
  SetLastError(0);
  EXPECT_FALSE(PostThreadMessageA(id, WM_USER + 1, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
  tryFirst.set_value();
  queueMade.get_future().wait();
  EXPECT_TRUE(PostThreadMessageA(id, WM_USER + 2, 0, 0));
  t.join();
  EXPECT_EQ(got.load(), WM_USER + 2);
  // The queue went with the thread.
  EXPECT_FALSE(PostThreadMessageA(id, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
  EXPECT_FALSE(PostThreadMessageA(0xFFFFFFF0u, WM_USER, 0, 0));
}

TEST(ThreadQueues, RangeFilterKeepsOrderAndLeavesOthersQueued) {
  MSG m;
  PeekMessageA(&m, 0, 0, 0, PM_NOREMOVE);
  const DWORD me = GetCurrentThreadId();
  ASSERT_TRUE(PostThreadMessageA(me, WM_USER, 1, 0));
  ASSERT_TRUE(PostThreadMessageA(me, 0xC101, 2, 20));
  ASSERT_TRUE(PostThreadMessageA(me, WM_USER + 1, 3, 0));
  ASSERT_TRUE(PostThreadMessageA(me, 0xC102, 4, 40));
  ASSERT_EQ(GetMessageA(&m, 0, 0xC000, 0xFFFF), TRUE);
  EXPECT_EQ(m.message, 0xC101u);
  EXPECT_EQ(m.wParam, 2u);
  EXPECT_EQ(m.lParam, 20);
  EXPECT_EQ(m.hwnd, 0u);
  ASSERT_TRUE(PeekMessageA(&m, 0, 0xC000, 0xFFFF, PM_NOREMOVE));
  EXPECT_EQ(m.message, 0xC102u);
  ASSERT_EQ(GetMessageA(&m, 0, 0xC000, 0xFFFF), TRUE);
  EXPECT_EQ(m.message, 0xC102u);
  EXPECT_FALSE(PeekMessageA(&m, 0, 0xC000, 0xFFFF, PM_REMOVE));
  ASSERT_TRUE(PeekMessageA(&m, 0, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.wParam, 1u);
  ASSERT_TRUE(PeekMessageA(&m, 0, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.wParam, 3u);
  EXPECT_FALSE(PeekMessageA(&m, 0, 0, 0, PM_REMOVE));
}

TEST(ThreadQueues, ManyPostsFromAnotherThreadArriveInOrder) {
  std::promise<DWORD> idPromise;
  std::vector<WPARAM> got;
  std::thread consumer([&] {
    MSG m;
    PeekMessageA(&m, 0, 0, 0, PM_NOREMOVE);
    idPromise.set_value(GetCurrentThreadId());
    while (GetMessageA(&m, 0, 0xC000, 0xFFFF) > 0) {
      if (m.wParam == 0) break;
      got.push_back(m.wParam);
    }
  });
  DWORD id = idPromise.get_future().get();
  for (WPARAM i = 1; i <= 2000; ++i) ASSERT_TRUE(PostThreadMessageA(id, 0xC200, i, 0));
  ASSERT_TRUE(PostThreadMessageA(id, 0xC200, 0, 0));
  consumer.join();
  ASSERT_EQ(got.size(), 2000u);
  for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], i + 1);
}

TEST(ThreadQueues, QuitEndsTheLoopAndPostedQuitFollowsTheFilter) {
  MSG m;
  PostQuitMessage(3);
  EXPECT_EQ(GetMessageA(&m, 0, 0xC000, 0xFFFF), FALSE);
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_EQ(m.wParam, 3u);
  ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_QUIT, 0, 0));
  EXPECT_FALSE(PeekMessageA(&m, 0, 0xC000, 0xFFFF, PM_REMOVE));
  EXPECT_EQ(GetMessageA(&m, 0, 0, 0), FALSE);
}

TEST(ThreadQueues, AnIdleWaitSleepsInTheKernel) {
  std::promise<DWORD> idPromise;
  std::int64_t cpu = -1;
  std::thread t([&] {
    MSG m;
    PeekMessageA(&m, 0, 0, 0, PM_NOREMOVE);
    // A due timer outside the filter must not turn the wait into a spin.
    HWND w = AllocateHWnd(nullptr);
    SetTimer(w, 1, 10, nullptr);
    idPromise.set_value(GetCurrentThreadId());
    std::int64_t start = ThreadCpuMs();
    GetMessageA(&m, 0, 0xC000, 0xFFFF);
    cpu = ThreadCpuMs() - start;
    DeallocateHWnd(w);
  });
  DWORD id = idPromise.get_future().get();
  Sleep(400);
  PostThreadMessageA(id, 0xC300, 0, 0);
  t.join();
  EXPECT_GE(cpu, 0);
  EXPECT_LT(cpu, 100) << "the wait used CPU while idle";
}

// ---- windows and timers --------------------------------------------------------------------

struct TimerSink {
  std::vector<WPARAM> ids;
  std::vector<DWORD> threads;
  std::vector<DWORD> ticks;
  std::vector<UINT> others;
  void Handle(TMessage& m) {
    if (m.Msg == WM_TIMER) {
      ids.push_back(m.WParam);
      threads.push_back(GetCurrentThreadId());
      ticks.push_back(GetTickCount());
    } else {
      others.push_back(m.Msg);
      m.Result = DefWindowProcA(0, m.Msg, m.WParam, m.LParam);
    }
  }
};

// Runs the calling thread's loop for about ms milliseconds.
void Pump(DWORD ms) {
  DWORD end = GetTickCount() + ms;
  MSG m;
  for (;;) {
    while (PeekMessageA(&m, 0, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    DWORD now = GetTickCount();
    if (int(end - now) <= 0) break;
    // Sleep until something is due (a post, a timer) or the time is up.
    pollfd p{qv::platform::ThisThreadWakeFd(), POLLIN, 0};
    poll(&p, 1, int(end - now));
  }
}

TEST(Timers, FireWithTheirIdOnTheOwnersLoopUntilKilled) {
  TimerSink sink;
  HWND w = AllocateHWnd(MakeMethod(&sink, &TimerSink::Handle));
  ASSERT_NE(w, 0u);
  DWORD start = GetTickCount();
  ASSERT_NE(SetTimer(w, 7, 40, nullptr), 0u);
  ASSERT_NE(SetTimer(w, 9, 1000000, nullptr), 0u);
  Pump(400);
  ASSERT_GE(sink.ids.size(), 2u);
  for (WPARAM id : sink.ids) EXPECT_EQ(id, 7u);
  for (DWORD t : sink.threads) EXPECT_EQ(t, GetCurrentThreadId());
  EXPECT_GE(sink.ticks[0] - start, 35u) << "fired before its period";
  EXPECT_TRUE(KillTimer(w, 7));
  Pump(20);
  std::size_t n = sink.ids.size();
  Pump(200);
  EXPECT_EQ(sink.ids.size(), n) << "fired after KillTimer";
  EXPECT_FALSE(KillTimer(w, 7));
  EXPECT_TRUE(KillTimer(w, 9));
  DeallocateHWnd(w);
  EXPECT_FALSE(IsWindow(w));
  EXPECT_EQ(SetTimer(w, 1, 10, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Timers, SettingAgainRestartsThePeriod) {
  TimerSink sink;
  HWND w = AllocateHWnd(MakeMethod(&sink, &TimerSink::Handle));
  SetTimer(w, 1, 300, nullptr);
  Pump(200);
  DWORD restart = GetTickCount();
  SetTimer(w, 1, 300, nullptr);
  Pump(150);
  EXPECT_TRUE(sink.ids.empty()) << "the old period went on";
  DWORD deadline = restart + 5000;
  while (sink.ids.empty() && int(deadline - GetTickCount()) > 0) Pump(20);
  ASSERT_FALSE(sink.ids.empty());
  EXPECT_GE(sink.ticks[0] - restart, 290u);
  DeallocateHWnd(w);
}

TEST(Timers, WindowOfAWorkerThreadGetsItsTimersOnThatThread) {
  TimerSink sink;
  DWORD worker = 0;
  std::thread t([&] {
    worker = GetCurrentThreadId();
    HWND w = AllocateHWnd(MakeMethod(&sink, &TimerSink::Handle));
    SetTimer(w, 3, 20, nullptr);
    PostMessageA(w, WM_USER + 5, 0, 0);
    MSG m;
    while (sink.ids.size() < 3 && GetMessageA(&m, 0, 0, 0) > 0) DispatchMessageA(&m);
    DeallocateHWnd(w);
  });
  t.join();
  ASSERT_EQ(sink.ids.size(), 3u);
  for (DWORD id : sink.threads) EXPECT_EQ(id, worker);
  EXPECT_EQ(sink.others, std::vector<UINT>{WM_USER + 5});
}

int OpenFds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// A queue holds one descriptor until its thread needs a timer; a timer set from another thread
// then reaches the owner whether it sleeps without a time-out (futex) or with one (poll).
TEST(Timers, TheFirstTimerOfASleepingThreadWakesIt) {
  for (const int sleepMs : {-1, 5000}) {
    SCOPED_TRACE(sleepMs);
    TimerSink sink;
    std::atomic<HWND> window{0};
    std::atomic<bool> done{false};
    const int before = OpenFds();
    int withQueue = 0;
    std::thread t([&] {
      window = AllocateHWnd(MakeMethod(&sink, &TimerSink::Handle));
      withQueue = OpenFds();
      MSG m;
      while (!done.load()) {
        while (PeekMessageA(&m, 0, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
        if (!sink.ids.empty()) done = true;
        if (!done.load()) qv::platform::WaitOnThisThreadQueue(sleepMs);
      }
      DeallocateHWnd(window);
    });
    while (!window.load()) Sleep(1);
    Sleep(50);  // the owner is asleep
    const DWORD start = GetTickCount();
    ASSERT_NE(SetTimer(window, 4, 20, nullptr), 0u);
    const int withTimer = OpenFds();
    while (!done.load() && GetTickCount() - start < 10000) Sleep(5);
    const DWORD took = GetTickCount() - start;
    done = true;
    PostMessageA(window, WM_USER, 0, 0);
    t.join();
    EXPECT_EQ(withQueue - before, 1);
    EXPECT_EQ(withTimer - before, 2);
    ASSERT_FALSE(sink.ids.empty());
    EXPECT_LT(took, 2500u) << "the owner slept through its first timer";
  }
}

TEST(Timers, DeallocatingAWindowStopsItsTimers) {
  TimerSink sink;
  HWND w = AllocateHWnd(MakeMethod(&sink, &TimerSink::Handle));
  SetTimer(w, 1, 10, nullptr);
  DeallocateHWnd(w);
  Pump(100);
  EXPECT_TRUE(sink.ids.empty());
}

TEST(Windows, PostedAndSentMessagesReachTheHandler) {
  TimerSink sink;
  HWND w = AllocateHWnd(MakeMethod(&sink, &TimerSink::Handle));
  EXPECT_TRUE(PostMessageA(w, WM_USER + 1, 0, 0));
  EXPECT_TRUE(sink.others.empty());
  SendMessageA(w, WM_USER + 2, 0, 0);
  EXPECT_EQ(sink.others, std::vector<UINT>{WM_USER + 2});
  MSG m;
  ASSERT_TRUE(PeekMessageA(&m, w, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.hwnd, w);
  DispatchMessageA(&m);
  EXPECT_EQ(sink.others, (std::vector<UINT>{WM_USER + 2, WM_USER + 1}));
  DeallocateHWnd(w);
  EXPECT_FALSE(PostMessageA(w, WM_USER, 0, 0));
}

TEST(MessageBoxes, HookSeesTheBoxAndForegroundWindowIsTheMainForm) {
  struct Shown {
    HWND owner;
    std::string text, caption;
    UINT type;
  } shown{};
  auto previous = qv::platform::SetMessageBoxHook([&](HWND o, const std::string& t, const std::string& c, UINT ty) {
    shown = {o, t, c, ty};
    return IDNO;
  });
  HWND form = AllocateHWnd(nullptr);
  EXPECT_TRUE(SetForegroundWindow(form));
  EXPECT_EQ(GetForegroundWindow(), form);
  EXPECT_EQ(MessageBoxA(GetForegroundWindow(), "error", "Error", MB_OK | MB_ICONERROR), IDNO);
  EXPECT_EQ(shown.owner, form);
  EXPECT_EQ(shown.text, "error");
  EXPECT_EQ(shown.caption, "Error");
  EXPECT_EQ(shown.type, MB_OK | MB_ICONERROR);
  DeallocateHWnd(form);
  EXPECT_EQ(GetForegroundWindow(), 0u);
  qv::platform::SetMessageBoxHook(previous);
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxA(0, "text", "caption", MB_OK), IDOK);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("text"), std::string::npos);
}

}  // namespace
