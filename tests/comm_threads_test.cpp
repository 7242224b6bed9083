// The port-event and dispatch threads: event order and hand-over, ports that fail while open,
// stops while the main thread is busy or blocked, reopening, and resources over many cycles.
#include "comm/internal/commthreads.h"
#include "comm/qvcomm.h"
#include "platform/serial/nullmodem.h"
#include "support/comm_harness.h"
#include "support/recording_log.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using qv::platform::CreateNullModemPair;
using qv::platform::NullModemPair;

namespace {

std::string Str(const BYTE* data, int count) { return std::string(reinterpret_cast<const char*>(data), std::size_t(count)); }

std::shared_ptr<NullModemPair> NewPair() {
  static int serial = 0;
  return CreateNullModemPair("threads" + std::to_string(++serial));
}

// Counts OnClose calls and remembers the thread of the last one.
struct TCloseWatch {
  std::atomic<int> calls{0};
  std::atomic<DWORD> thread{0};
  std::atomic<int> closedNotifies{0};
  void OnClose(TObject*) {
    thread = GetCurrentThreadId();
    ++calls;
  }
  void Notify(TqvBaseIO*, int code) {
    if (code == ncClosed) ++closedNotifies;
  }
  void Attach(TqvCustomComm& c) {
    c.OnClose = TNotifyEvent(this, &TCloseWatch::OnClose);
    c.AddNotify(TLinkNotifyEvent(this, &TCloseWatch::Notify));
  }
};

// Records the handled events in order, and whether any handling was nested or off the main
// thread.
struct TEventLog {
  std::vector<std::string> calls;
  int depth = 0;
  int maxDepth = 0;
  bool offMain = false;
  std::function<void()> inRx;  // runs inside OnRxData
  void Enter() {
    maxDepth = std::max(maxDepth, ++depth);
    if (GetCurrentThreadId() != MainThreadID()) offMain = true;
  }
  void Rx(TObject*, const BYTE* d, int n) {
    Enter();
    calls.push_back("rx:" + Str(d, n));
    if (inRx) inRx();
    --depth;
  }
  void Event(TObject*, TCommEvents e) {
    Enter();
    calls.push_back("event:" + std::to_string(e.ToBits()));
    --depth;
  }
  void Attach(TqvCustomComm& c) {
    c.OnRxData = TOnRxDataEvent(this, &TEventLog::Rx);
    c.OnCommEvent = TOnCommEvent(this, &TEventLog::Event);
  }
};

class CommThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApplication();
    pair = NewPair();
    ASSERT_TRUE(pair);
    comm = std::make_unique<TTestComm>();
    comm->Path = pair->PortName(NullModemPair::kA);
  }
  void Feed(const std::string& s) { pair->Write(NullModemPair::kB, s.data(), s.size()); }

  // Declared before the component, so they outlive its last Close.
  TCloseWatch watch;
  TEventLog ev;
  std::shared_ptr<NullModemPair> pair;
  std::unique_ptr<TTestComm> comm;
};

// ---- Event order -----------------------------------------------------------------------------

TEST_F(CommThreads, ABurstWhileTheMainThreadIsBlockedIsHandledLaterInOrderOneCallPerEvent) {
  ev.Attach(*comm);
  // Inside a handler the queue is served, but the next event must not come in nested.
  ev.inRx = [] { Application->ProcessMessages(); };
  comm->SetEventMask({ceRxChar, ceCts, ceDsr, ceRlsd});
  pair->SetLines(NullModemPair::kB, false, false);
  comm->Open();
  PumpFor(20);
  ev.calls.clear();
  std::thread far([&] {
    pair->SetLines(NullModemPair::kB, false, true);  // CTS on
    Sleep(60);
    Feed("a");
    Sleep(60);
    pair->SetLines(NullModemPair::kB, true, true);  // DSR and DCD on
    Sleep(60);
    pair->SetLines(NullModemPair::kB, true, false);  // CTS off
    Sleep(60);
    pair->SetLines(NullModemPair::kB, false, false);  // DSR and DCD off
  });
  Sleep(400);  // the main thread is busy: nothing may be handled meanwhile
  far.join();
  EXPECT_TRUE(ev.calls.empty());
  ASSERT_TRUE(PumpUntil([&] { return ev.calls.size() >= 5; })) << ::testing::PrintToString(ev.calls);
  PumpFor(50);
  EXPECT_EQ(ev.calls, (std::vector<std::string>{"event:8", "rx:a", "event:48", "event:8", "event:48"}));
  EXPECT_EQ(ev.maxDepth, 1);
  EXPECT_FALSE(ev.offMain);
}

// Idle, the main thread holds the port's wait while it sleeps in its loop; bytes must keep
// coming when it is served another way.
TEST_F(CommThreads, BytesKeepArrivingHoweverTheMainThreadIsServed) {
  ev.Attach(*comm);
  comm->SetEventMask({ceRxChar});
  comm->Open();
  // A foreign loop comes last: it keeps the main thread's sleep from then on.
  const std::vector<std::pair<std::string, std::function<void()>>> turns = {
      {"own loop", [] { Application->WaitAndProcess(5); }},
      {"a pump that never sleeps",
       [] {
         Sleep(2);
         Application->ProcessMessages();
       }},
      {"a foreign loop",
       [] {
         // It serves the application only when the descriptor says so.
         pollfd p{Application->WakeFd(), POLLIN, 0};
         if (poll(&p, 1, 50) > 0) Application->ProcessMessages();
       }},
  };
  std::string want;
  auto got = [&] {
    std::string all;
    for (const auto& c : ev.calls)
      if (c.starts_with("rx:")) all += c.substr(3);
    return all;
  };
  for (const auto& [name, turn] : turns) {
    want += name;
    Feed(name);
    const DWORD start = GetTickCount();
    while (got() != want && GetTickCount() - start < 10000) turn();
    EXPECT_EQ(got(), want) << name;
  }
  EXPECT_FALSE(ev.offMain);
  EXPECT_EQ(ev.maxDepth, 1);
}

TEST_F(CommThreads, NothingIsLostWhileThePortStaysOpen) {
  std::string got;
  comm->OnRxData = TOnRxDataEvent::FromFunction(
      [](void* d, TObject*, const BYTE* p, int n) { *static_cast<std::string*>(d) += Str(p, n); }, &got);
  comm->SetEventMask({ceRxChar});
  comm->Open();
  std::string sent;
  std::thread far([&] {
    for (int i = 0; i < 300; ++i) {
      std::string chunk = std::to_string(i) + ",";
      pair->Write(NullModemPair::kB, chunk.data(), chunk.size());
      if (i % 50 == 0) Sleep(5);
    }
  });
  for (int i = 0; i < 300; ++i) sent += std::to_string(i) + ",";
  // Busy and serving in turns.
  for (int i = 0; i < 5; ++i) {
    Sleep(20);
    Application->ProcessMessages();
  }
  far.join();
  ASSERT_TRUE(PumpUntil([&] { return got.size() >= sent.size(); }));
  EXPECT_EQ(got, sent);
}

TEST_F(CommThreads, OtherRegisteredMessagesAreDispatchedAndQuitEndsTheDispatchThread) {
  ev.Attach(*comm);
  comm->SetEventMask({ceRxChar});
  comm->Open();
  ev.calls.clear();
  TMsgThread* msg = comm->GetMsgThread();
  ASSERT_NE(msg, nullptr);
  const UINT other = RegisterWindowMessageA("qvCommTestOtherMessage");
  ASSERT_TRUE(PumpUntil([&] { return PostThreadMessageA(msg->ThreadID(), other, 1, 2) != FALSE; }));
  Feed("x");
  ASSERT_TRUE(PumpUntil([&] { return ev.calls.size() == 1; })) << ::testing::PrintToString(ev.calls);
  EXPECT_EQ(ev.calls[0], "rx:x");

  ASSERT_TRUE(PostThreadMessageA(msg->ThreadID(), MsgQuitComEvent, 0, 0));
  ASSERT_TRUE(PumpUntil([&] { return msg->Finished(); }));
  Feed("y");
  PumpFor(100);
  EXPECT_EQ(ev.calls.size(), 1u);  // nobody takes events any more; the port stays open
  EXPECT_TRUE(comm->Active());
  // Starting again replaces both threads.
  comm->StartThread();
  EXPECT_NE(comm->GetMsgThread(), nullptr);
  EXPECT_FALSE(comm->GetMsgThread()->Finished());
  Feed("z");
  ASSERT_TRUE(PumpUntil([&] { return ev.calls.size() >= 2 && ev.calls.back().find('z') != std::string::npos; }));
  comm->Close();
  EXPECT_EQ(comm->GetMsgThread(), nullptr);
}

// ---- Ports that fail while open ----------------------------------------------------------------

TEST_F(CommThreads, AVanishedNullModemEndClosesThePortFromThePortThread) {
  const int threadsBefore = ThreadBaseline();
  watch.Attach(*comm);
  TRecordingLog log(nullptr, dlSimple);
  comm->SetLog(&log);
  comm->SetEventMask({ceRxChar});
  comm->Open();
  const DWORD portThread = comm->GetCommThread()->ThreadID();
  pair->Vanish();
  ASSERT_TRUE(PumpUntil([&] { return watch.calls.load() == 1 && !comm->Active(); }));
  EXPECT_EQ(watch.thread.load(), portThread);
  EXPECT_EQ(watch.closedNotifies.load(), 1);
  // No close line: the log names the device's going away as a communication error.
  EXPECT_EQ(log.LastLine(), "Communication Error 0:1617: the device went away (Unknown)");
  comm->Close();  // releases the thread objects; the port is closed already
  EXPECT_EQ(watch.calls.load(), 1);
  EXPECT_EQ(comm->GetMsgThread(), nullptr);
  EXPECT_EQ(comm->GetCommThread(), nullptr);
  EXPECT_TRUE(PumpUntil([&] { return ThreadCount() <= threadsBefore; }, 5000));
}

TEST_F(CommThreads, APseudoTerminalWhoseMasterClosesEndsClosed) {
  {
    // One cycle first, so that descriptors the process creates once (per-thread wake-ups,
    // the loop's timer, the main thread's stall timer) are not counted as left behind.
    qv::platform::MainThreadStall::Get();
    qv::test::PtyPair warm;
    ASSERT_TRUE(warm.ok());
    comm->Path = warm.slave();
    comm->Open();
    ASSERT_TRUE(comm->Active());
    PumpUntil([] { return false; }, 20);
    comm->Close();
  }
  qv::test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  const int fdsBefore = OpenFdCount();
  const std::size_t handlesBefore = qv::platform::HandleCount();
  watch.Attach(*comm);
  comm->Path = pty.slave();
  comm->SetEventMask({ceRxChar});
  std::string got;
  comm->OnRxData = TOnRxDataEvent::FromFunction(
      [](void* d, TObject*, const BYTE* p, int n) { *static_cast<std::string*>(d) += Str(p, n); }, &got);
  comm->Open();
  ASSERT_TRUE(comm->Active());
  ASSERT_EQ(pty.Write("data"), 4u);
  ASSERT_TRUE(PumpUntil([&] { return got == "data"; }));
  pty.CloseMaster();
  ASSERT_TRUE(PumpUntil([&] { return watch.calls.load() == 1 && !comm->Active(); }));
  EXPECT_NE(watch.thread.load(), MainThreadID());
  comm.reset();  // destruction after such a close neither hangs nor leaks
  EXPECT_EQ(watch.calls.load(), 1);
  EXPECT_EQ(OpenFdCount(), fdsBefore - 1);  // the master is closed too
  EXPECT_EQ(qv::platform::HandleCount(), handlesBefore - 2);  // the component's two events
}

// The device goes away while the main thread is blocked: what it sent before, handed over or
// not yet, is handled in order once the main thread serves again, and only then does the port
// close. A terminal's hang-up discards what the kernel holds: the port took it while the main
// thread could not.
TEST_F(CommThreads, AFailureWhileTheMainThreadIsBlockedClosesAfterWhatCameBefore) {
  for (bool terminal : {false, true}) {
    SCOPED_TRACE(terminal ? "pseudo-terminal" : "null modem");
    qv::test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    if (terminal) comm->Path = pty.slave();
    const auto feed = [&](const std::string& s) { terminal ? void(pty.Write(s)) : Feed(s); };
    TCloseWatch closes;
    closes.Attach(*comm);
    ev.Attach(*comm);
    ev.calls.clear();
    comm->SetEventMask({ceRxChar});
    comm->Open();
    PumpFor(50);  // the main thread's loop has slept (and may hold the port's wait)
    feed("pending");
    Sleep(100);
    feed("later");
    Sleep(100);
    terminal ? pty.CloseMaster() : pair->Vanish();
    Sleep(200);
    EXPECT_EQ(closes.calls.load(), 0);
    ASSERT_TRUE(PumpUntil([&] { return closes.calls.load() == 1 && !comm->Active(); }));
    std::string received;
    for (const std::string& c : ev.calls)
      if (c.starts_with("rx:")) received += c.substr(3);
    EXPECT_EQ(received, "pendinglater");
    comm->Close();
    EXPECT_EQ(closes.calls.load(), 1);
  }
}

TEST_F(CommThreads, CloseFromInsideRxDataWhileThePortThreadIsClosingDoesNotHang) {
  watch.Attach(*comm);
  ev.Attach(*comm);
  DWORD closeTook = 0;
  ev.inRx = [&] {
    // The port fails while this handler runs: the port-event thread starts its close and
    // waits for the dispatch thread, which waits for this handler.
    pair->Vanish();
    Sleep(100);
    const DWORD t0 = GetTickCount();
    comm->Close();
    closeTook = GetTickCount() - t0;
  };
  comm->SetEventMask({ceRxChar});
  comm->Open();
  ev.calls.clear();
  Feed("go");
  ASSERT_TRUE(PumpUntil([&] { return !ev.calls.empty(); }));
  EXPECT_FALSE(comm->Active());
  EXPECT_LT(closeTook, 3000u);
  EXPECT_EQ(watch.calls.load(), 1);
  EXPECT_EQ(watch.closedNotifies.load(), 1);
  EXPECT_EQ(comm->GetMsgThread(), nullptr);
  EXPECT_EQ(comm->GetCommThread(), nullptr);
}

TEST_F(CommThreads, CloseFromInsideAPacketHandlerEndsTheNotification) {
  watch.Attach(*comm);
  ev.Attach(*comm);
  struct Packets {
    TTestComm* comm;
    int calls = 0;
    void Packet(TObject*, int, const BYTE*, int, bool&) {
      ++calls;
      comm->Close();  // takes the receive buffer with it
    }
  } packets{comm.get()};
  comm->OnPacket = TOnPacketEvent(&packets, &Packets::Packet);
  comm->SetEventMask({ceRxChar, ceCts});
  comm->PacketMode = true;
  comm->Patterns().Add("b", 1);
  comm->Open();
  ev.calls.clear();
  Feed("abcbcb");
  ASSERT_TRUE(PumpUntil([&] { return packets.calls > 0; }));
  PumpFor(50);
  EXPECT_FALSE(comm->Active());
  EXPECT_EQ(packets.calls, 1);  // the rest of the block belonged to the closed port
  EXPECT_EQ(watch.calls.load(), 1);
  EXPECT_EQ(watch.thread.load(), MainThreadID());
  EXPECT_EQ(ev.calls, (std::vector<std::string>{"event:4"}));  // Close's own; no OnRxData
}

TEST_F(CommThreads, ReopenAfterThePortThreadClosedRunsFreshThreads) {
  watch.Attach(*comm);
  ev.Attach(*comm);
  comm->SetEventMask({ceRxChar});
  comm->Open();
  pair->Vanish();
  ASSERT_TRUE(PumpUntil([&] { return !comm->Active(); }));
  pair = NewPair();
  comm->Path = pair->PortName(NullModemPair::kA);
  comm->Open();  // the stale thread objects are released here
  ASSERT_TRUE(comm->Active());
  ASSERT_NE(comm->GetMsgThread(), nullptr);
  ASSERT_NE(comm->GetCommThread(), nullptr);
  EXPECT_FALSE(comm->GetMsgThread()->Finished());
  EXPECT_FALSE(comm->GetCommThread()->Finished());
  ev.calls.clear();
  Feed("again");
  ASSERT_TRUE(PumpUntil([&] { return !ev.calls.empty(); }));
  EXPECT_EQ(ev.calls[0], "rx:again");
}

TEST_F(CommThreads, HandleComEventIgnoresOtherMessagesAndSurvivesAClosedHandle) {
  ev.Attach(*comm);
  comm->SetEventMask({ceRxChar, ceTxEmpty, ceCts});
  MSG m;
  m.message = MsgQuitComEvent;
  m.wParam = EV_CTS;
  comm->HandleComEvent(m);
  EXPECT_TRUE(ev.calls.empty());
  // Closed: the error query fails, nothing is read, the line events still come.
  m.message = MsgComEvent;
  m.wParam = EV_RXCHAR | EV_CTS;
  comm->HandleComEvent(m);
  EXPECT_EQ(ev.calls, (std::vector<std::string>{"event:8"}));
}

// ---- Resources -------------------------------------------------------------------------------

TEST(CommCycles, ManyOpenCloseCyclesWithTrafficLeaveNothingBehind) {
  TestApplication();
  qv::test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TTestComm comm;
  comm.Path = pty.slave();
  comm.SetEventMask({ceRxChar});
  std::size_t received = 0;
  comm.OnRxData = TOnRxDataEvent::FromFunction(
      [](void* d, TObject*, const BYTE*, int n) { *static_cast<std::size_t*>(d) += std::size_t(n); }, &received);
  auto cycle = [&](int i) {
    comm.Open();
    ASSERT_TRUE(comm.Active());
    const std::size_t before = received;
    const std::string line = "cycle" + std::to_string(i) + "\r";
    ASSERT_EQ(pty.Write(line), line.size());
    ASSERT_TRUE(PumpUntil([&] { return received > before; }));
    comm.SendString("ok\r\n");
    ASSERT_EQ(pty.Read(4), "ok\r\n");
    comm.Close();
  };
  for (int i = 0; i < 5; ++i) cycle(i);  // warm-up: lazily made queues and caches
  const int fds = OpenFdCount();
  const int threads = ThreadBaseline();
  const std::size_t handles = qv::platform::HandleCount();
  const long rss = RssKiB();
  for (int i = 0; i < 200; ++i) {
    cycle(i);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(OpenFdCount(), fds);
  EXPECT_TRUE(PumpUntil([&] { return ThreadCount() <= threads; }, 5000));
  EXPECT_EQ(qv::platform::HandleCount(), handles);
  // Nothing grows per cycle; allow for allocator noise only. Sanitizers keep per-thread
  // records of their own, so the figure means nothing there (their leak checks do).
#if !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(RssKiB() - rss, 1024);
#else
  (void)rss;
#endif
}

}  // namespace
