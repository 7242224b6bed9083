// Unwaited block writes on a pseudo-terminal whose far side reads late: a second block waits
// until the first has left the shared transfer record, and both arrive whole and in order.
#include "comm/qvcomm.h"
#include "platform/rtl/threads.h"
#include "support/comm_harness.h"
#include "support/recording_log.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

TEST(CommSendData, ASecondBlockWaitsForThePendingFirstOne) {
  TestApplication();
  qv::test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TRecordingLog log(nullptr, dlDebug);
  TTestComm comm;
  comm.Path = pty.slave();
  comm.SetLog(&log);
  int errors = 0;
  comm.OnCommError = TOnCommErrorEvent::FromFunction(
      [](void* d, TObject*, DWORD, DWORD, BYTE, bool&) { ++*static_cast<int*>(d); }, &errors);
  comm.Open();
  ASSERT_TRUE(comm.Active());

  // More than the terminal buffers: the write stays pending while nobody reads.
  std::string first(512 * 1024, '\0');
  for (std::size_t i = 0; i < first.size(); ++i) first[i] = char('a' + i % 26);
  comm.SendData(first.data(), int(first.size()));
  ASSERT_GT(comm.OutQueueCount(), 0u) << "the first block did not stay pending";
  first.assign(first.size(), '#');  // the bytes were taken at submission

  std::atomic<DWORD> readerStarted{0};
  std::string received;
  const std::size_t total = 512 * 1024 + 3;
  std::thread reader([&] {
    Sleep(200);
    readerStarted = GetTickCount();
    char buf[65536];
    while (received.size() < total) {
      pollfd p{pty.master(), POLLIN, 0};
      if (poll(&p, 1, 10000) != 1) break;
      const ssize_t n = ::read(pty.master(), buf, sizeof buf);
      if (n <= 0) break;
      received.append(buf, std::size_t(n));
    }
  });
  comm.SendData("END", 3);
  const DWORD secondReturned = GetTickCount();
  reader.join();

  EXPECT_NE(readerStarted.load(), 0u);
  EXPECT_GE(int(secondReturned - readerStarted.load()), 0) << "the second block did not wait";
  ASSERT_EQ(received.size(), total);
  for (std::size_t i = 0; i < total - 3; ++i)
    if (received[i] != char('a' + i % 26)) FAIL() << "byte " << i << " of the first block is wrong";
  EXPECT_EQ(received.substr(total - 3), "END");
  EXPECT_EQ(errors, 0);
  int ok = 0;
  for (const auto& line : log.Lines())
    if (line == "... the data transmittion is OK!") ++ok;
  EXPECT_EQ(ok, 2);
  comm.Close();
}

TEST(CommSendData, ClosingWithABlockPendingNeitherHangsNorLeaks) {
  TestApplication();
  qv::test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  const std::size_t handles = qv::platform::HandleCount();
  {
    TTestComm comm;
    comm.Path = pty.slave();
    comm.Open();
    std::string block(512 * 1024, 'z');
    comm.SendData(block.data(), int(block.size()));
    comm.Close();  // purges and cancels what is still pending
    EXPECT_FALSE(comm.Active());
    comm.Open();  // the record is free again
    comm.SendData("x", 1);
    comm.Close();
  }
  EXPECT_EQ(qv::platform::HandleCount(), handles);
}

// While the second block waits for the first, the main thread keeps serving: here a hand-over
// from another thread runs during the wait and lets the far side read.
TEST(CommSendData, ASecondBlockWaitingForTheFirstKeepsTheMainThreadServing) {
  TestApplication();
  qv::test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TTestComm comm;
  comm.Path = pty.slave();
  comm.SetTimeouts(COMMTIMEOUTS{0, 0, 0, 0, 5000});  // a blocked wait ends after 5 s at worst
  comm.Open();
  std::string first(512 * 1024, 'a');
  comm.SendData(first.data(), int(first.size()));
  ASSERT_GT(comm.OutQueueCount(), 0u);

  bool sending = false;  // main thread only
  bool servedWhileSending = false;
  std::atomic<bool> done{false};
  std::size_t received = 0;
  std::thread far([&] {
    Sleep(100);
    TThread::Synchronize(nullptr, [&] { servedWhileSending = sending; });
    char buf[65536];
    for (;;) {
      pollfd p{pty.master(), POLLIN, 0};
      if (poll(&p, 1, 1000) != 1) break;
      const ssize_t n = ::read(pty.master(), buf, sizeof buf);
      if (n <= 0) break;
      received += std::size_t(n);
    }
    done = true;
  });
  sending = true;
  comm.SendData("END", 3);
  sending = false;
  PumpUntil([&] { return done.load(); }, 15000);
  far.join();
  EXPECT_TRUE(servedWhileSending);
  EXPECT_EQ(received, first.size() + 3);
  comm.Close();
}

}  // namespace
