// Stress for the engine's threads (run it under ThreadSanitizer): traffic in both directions
// while the main thread opens and closes the port and the far end vanishes underneath.
#include "comm/internal/commthreads.h"
#include "comm/qvcomm.h"
#include "platform/serial/nullmodem.h"
#include "support/comm_harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>

using qv::platform::CreateNullModemPair;
using qv::platform::NullModemPair;

namespace {

TEST(CommStress, TrafficOpenCloseAndVanishingFarEnds) {
  TestApplication();
  {
    // Warm-up: queues made on first use (and a sanitizer's own helper thread) are not leaks.
    auto pair = CreateNullModemPair("stress-warmup");
    TTestComm comm;
    comm.Path = pair->PortName(NullModemPair::kA);
    comm.Open();
    comm.Close();
  }
  const int threadsBefore = ThreadBaseline();
  const std::size_t handlesBefore = qv::platform::HandleCount();
  std::mt19937 rng(12345);
  std::size_t totalReceived = 0;
  int closesByPortThread = 0;
  {
    TTestComm comm;
    std::atomic<int> onClose{0};
    comm.OnClose = TNotifyEvent::FromFunction([](void* d, TObject*) { ++*static_cast<std::atomic<int>*>(d); }, &onClose);
    std::size_t received = 0;
    comm.OnRxData = TOnRxDataEvent::FromFunction(
        [](void* d, TObject*, const BYTE*, int n) { *static_cast<std::size_t*>(d) += std::size_t(n); }, &received);
    comm.SetEventMask({ceRxChar, ceTxEmpty, ceCts, ceDsr});
    for (int round = 0; round < 25; ++round) {
      auto pair = CreateNullModemPair("stress" + std::to_string(round));
      ASSERT_TRUE(pair);
      comm.Path = pair->PortName(NullModemPair::kA);
      comm.Open();
      ASSERT_TRUE(comm.Active());
      std::atomic<bool> stop{false};
      std::atomic<bool> vanish{false};
      std::thread far([&] {
        std::mt19937 r{unsigned(round)};
        char buf[512];
        std::string chunk(64, 'x');
        while (!stop.load()) {
          pair->Write(NullModemPair::kB, chunk.data(), r() % chunk.size() + 1);
          while (pair->Read(NullModemPair::kB, buf, sizeof buf) > 0) {
          }
          if (r() % 4 == 0) pair->SetLines(NullModemPair::kB, r() % 2, r() % 2);
          if (vanish.load()) {
            pair->Vanish();
            return;
          }
          std::this_thread::sleep_for(std::chrono::microseconds(r() % 500));
        }
      });
      const int onCloseBefore = onClose.load();
      for (int step = 0; step < 40; ++step) {
        switch (rng() % 6) {
          case 0:
            comm.SendString("hello");
            break;
          case 1:
            comm.SendData("0123456789", 10);
            break;
          case 2:
            comm.Close();
            break;
          case 3:
            if (!comm.Active()) comm.Open();
            break;
          default:
            PumpFor(2);
        }
      }
      if (!comm.Active()) comm.Open();
      vanish = true;
      // Sometimes the main thread closes at the same moment the port thread finds the port gone.
      if (round % 3 == 0) {
        Sleep(rng() % 3);
        comm.Close();
      } else {
        ASSERT_TRUE(PumpUntil([&] { return !comm.Active(); }));
        if (onClose.load() > onCloseBefore) ++closesByPortThread;
      }
      stop = true;
      far.join();
      comm.Close();
      EXPECT_FALSE(comm.Active());
      EXPECT_EQ(comm.GetMsgThread(), nullptr);
      EXPECT_EQ(comm.GetCommThread(), nullptr);
    }
    totalReceived = received;
  }
  EXPECT_GT(totalReceived, 0u);
  EXPECT_GT(closesByPortThread, 0);
  EXPECT_TRUE(PumpUntil([&] { return ThreadCount() <= threadsBefore; }, 5000));
  EXPECT_EQ(qv::platform::HandleCount(), handlesBefore);
}

}  // namespace
