// A long burst into one port, written faster than the main thread takes it, with the main
// thread stalled for a second in the middle: the port holds back what it cannot queue and
// every barcode arrives, unchanged and in order.
#include "barcode/ean13.h"
#include "comm/qvcomm.h"
#include "support/comm_harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr long kCodes = 1000000;
constexpr std::size_t kLen = 14;  // 13 digits and CR

// Code number seq: its 12 digits and the EAN-13 check digit, then CR.
void MakeCode(long seq, char* out) {
  qv::barcode::WriteEan13(std::uint64_t(seq), out);
  out[13] = '\r';
}

struct TChecker {
  char line[kLen];
  std::size_t len = 0;
  long received = 0;  // codes in order so far
  long wrong = 0;     // codes changed, lost or out of order
  bool stalled = false;

  void RxData(TObject*, const BYTE* data, int count) {
    for (int i = 0; i < count; ++i) {
      if (len < kLen) line[len] = char(data[i]);
      if (++len < kLen && data[i] != '\r') continue;
      char want[kLen];
      MakeCode(received, want);
      if (len != kLen || std::memcmp(line, want, kLen) != 0) ++wrong;
      len = 0;
      ++received;
    }
    if (!stalled && received >= kCodes / 2) {
      stalled = true;
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  }
};

TEST(CommBurst, AMillionBarcodesWithTheMainThreadStalledArriveInOrder) {
  TestApplication();
  qv::test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TTestComm comm;
  comm.Path = pty.slave();
  TChecker checker;
  comm.SetEventMask({ceRxChar});
  comm.OnRxData = TOnRxDataEvent(&checker, &TChecker::RxData);
  comm.Open();
  ASSERT_TRUE(comm.Active());

  std::size_t written = 0;
  std::thread writer([&] {
    char block[1024 * kLen];
    for (long seq = 0; seq < kCodes;) {
      const long n = std::min<long>(1024, kCodes - seq);
      for (long j = 0; j < n; ++j) MakeCode(seq + j, block + j * kLen);
      const std::size_t size = std::size_t(n) * kLen;
      const std::size_t w = pty.Write(block, size, 20000);
      written += w;
      if (w != size) return;
      seq += n;
    }
  });
  PumpUntil([&] { return checker.received >= kCodes || checker.wrong > 0; }, 120000);
  writer.join();
  EXPECT_EQ(written, std::size_t(kCodes) * kLen);
  EXPECT_TRUE(checker.stalled);
  EXPECT_EQ(checker.wrong, 0);
  EXPECT_EQ(checker.received, kCodes);
  EXPECT_EQ(checker.len, 0u);
  comm.Close();
}

}  // namespace
