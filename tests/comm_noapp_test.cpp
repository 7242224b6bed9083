// Without an application object the dispatch thread runs HandleComEvent itself.
#include "comm/internal/commthreads.h"
#include "comm/qvcomm.h"
#include "platform/rtl/application.h"
#include "platform/serial/nullmodem.h"
#include "support/comm_harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

using qv::platform::CreateNullModemPair;
using qv::platform::NullModemPair;

namespace {

struct TRx {
  std::mutex mutex;
  std::string got;
  std::atomic<DWORD> thread{0};
  std::atomic<bool> closeInHandler{false};
  std::atomic<bool> closedInHandler{false};
  TTestComm* comm = nullptr;
  void Data(TObject*, const BYTE* d, int n) {
    thread = GetCurrentThreadId();
    {
      std::lock_guard lock(mutex);
      got.append(reinterpret_cast<const char*>(d), std::size_t(n));
    }
    if (closeInHandler) {
      comm->Close();
      closedInHandler = true;
    }
  }
  std::string Got() {
    std::lock_guard lock(mutex);
    return got;
  }
};

bool WaitUntil(const std::function<bool()>& done, DWORD ms = 10000) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > ms) return false;
    Sleep(2);
  }
  return true;
}

TEST(CommWithoutApplication, TheDispatchThreadHandlesTheEvents) {
  ASSERT_EQ(Application, nullptr);
  auto pair = CreateNullModemPair("noapp1");
  TTestComm comm;
  comm.Path = pair->PortName(NullModemPair::kA);
  TRx rx;
  rx.comm = &comm;
  comm.OnRxData = TOnRxDataEvent(&rx, &TRx::Data);
  comm.SetEventMask({ceRxChar});
  comm.Open();
  const DWORD dispatch = comm.GetMsgThread()->ThreadID();
  pair->Write(NullModemPair::kB, "abc", 3);
  ASSERT_TRUE(WaitUntil([&] { return rx.Got() == "abc"; }));
  EXPECT_EQ(rx.thread.load(), dispatch);
  comm.Close();  // waits for the dispatch thread before the buffer goes
  EXPECT_FALSE(comm.Active());
  EXPECT_EQ(comm.GetMsgThread(), nullptr);
}

TEST(CommWithoutApplication, CloseFromTheHandlerOnTheDispatchThread) {
  const int threadsBefore = ThreadBaseline();
  auto pair = CreateNullModemPair("noapp2");
  TTestComm comm;
  comm.Path = pair->PortName(NullModemPair::kA);
  TRx rx;
  rx.comm = &comm;
  rx.closeInHandler = true;
  comm.OnRxData = TOnRxDataEvent(&rx, &TRx::Data);
  comm.SetEventMask({ceRxChar});
  comm.Open();
  pair->Write(NullModemPair::kB, "x", 1);
  // Using the component from two threads is the program's business: wait for the handler.
  ASSERT_TRUE(WaitUntil([&] { return rx.closedInHandler.load(); }));
  EXPECT_FALSE(comm.Active());
  EXPECT_EQ(comm.GetCommThread(), nullptr);
  // The dispatch thread could not wait for itself; its object stays until the next close.
  ASSERT_NE(comm.GetMsgThread(), nullptr);
  comm.Close();
  EXPECT_EQ(comm.GetMsgThread(), nullptr);
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore; }, 5000));
}

TEST(CommWithoutApplication, AVanishedEndClosesFromThePortThread) {
  auto pair = CreateNullModemPair("noapp3");
  TTestComm comm;
  comm.Path = pair->PortName(NullModemPair::kA);
  std::atomic<int> closes{0};
  comm.OnClose = TNotifyEvent::FromFunction([](void* d, TObject*) { ++*static_cast<std::atomic<int>*>(d); }, &closes);
  TRx rx;
  rx.comm = &comm;
  comm.OnRxData = TOnRxDataEvent(&rx, &TRx::Data);
  comm.SetEventMask({ceRxChar});
  comm.Open();
  pair->Write(NullModemPair::kB, "abc", 3);
  pair->Vanish();
  ASSERT_TRUE(WaitUntil([&] { return closes.load() == 1; }));
  comm.Close();
  EXPECT_EQ(closes.load(), 1);
  EXPECT_EQ(comm.GetCommThread(), nullptr);
}

TEST(CommWithoutApplication, ACloseEndsAReadTheHandlerWaitsIn) {
  auto pair = CreateNullModemPair("noapp4");
  TTestComm comm;
  comm.Path = pair->PortName(NullModemPair::kA);
  struct TReader {
    TTestComm* comm;
    std::atomic<int> result{-1};  // -2 while the handler reads bytes that never come, then 0 or 1
    void Data(TObject*, const BYTE*, int) {
      char more[64];
      if (int before = -1; result.compare_exchange_strong(before, -2)) result = comm->ReadData(more, sizeof more);
    }
  } reader{&comm};
  comm.OnRxData = TOnRxDataEvent(&reader, &TReader::Data);
  comm.SetEventMask({ceRxChar});
  comm.Open();
  pair->Write(NullModemPair::kB, "x", 1);
  ASSERT_TRUE(WaitUntil([&] { return reader.result == -2; }));
  Sleep(100);  // in its read by now
  // A close that does not end the read waits for it: after 5 s the far end sends what it waits for.
  std::thread far([&] {
    if (!WaitUntil([&] { return !comm.Active(); }, 5000)) pair->Write(NullModemPair::kB, std::string(64, 'y').data(), 64);
  });
  const DWORD start = GetTickCount();
  comm.Close();
  EXPECT_LT(GetTickCount() - start, 5000u);
  far.join();
  EXPECT_EQ(reader.result, 0);
}

}  // namespace
