// The scanner on every kind of device a COM number can name: what the device sent before the
// port listened, a code pending when the port closes or the device goes away, and a code that
// never ends.
#include "barcode/qvbarcode.h"
#include "platform/system/portmap.h"
#include "support/comm_harness.h"
#include "support/fake_sysfs.h"
#include "support/far_end.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

using qv::test::DeviceKind;

namespace {

// A scanner whose device sends while the port is set up, before it listens for port events.
class TPrimedScanner : public TqvBarCodeScan {
 public:
  std::function<void()> DuringSetup;
  void SetupPort() override {
    TqvBarCodeScan::SetupPort();
    if (DuringSetup) DuringSetup();
  }
};

struct TReceived : TObject {
  std::vector<std::string> codes;
  std::atomic<std::size_t> count{0};
  std::atomic<std::size_t> atClose{~std::size_t(0)};  // codes delivered when OnClose came
  void Code(TObject*, std::string code) {
    codes.push_back(code);
    count = codes.size();
  }
  void Closed(TObject*) { atClose = count.load(); }
};

class BarcodeDevices : public ::testing::TestWithParam<DeviceKind> {
 protected:
  void SetUp() override {
    TestApplication();
    std::string why;
    if (!far_.Start(why)) GTEST_SKIP() << why;
    DWORD error = 0;
    ASSERT_TRUE(qv::platform::AddUserMapping(42, far_.Device(), error)) << error;
    scan_.SetComPortNo(42);
    scan_.SetStreamProtocol(spNone);
    scan_.OnBarCode = TOnBarCodeEvent(&got_, &TReceived::Code);
    scan_.OnClose = TNotifyEvent(&got_, &TReceived::Closed);
  }
  // Sends everything, serving the main loop while the device's buffers are full.
  bool Send(const std::string& bytes) {
    std::size_t done = 0;
    return PumpUntil([&] { return (done += far_.SendSome(bytes.substr(done))) == bytes.size(); });
  }

  qv::test::FakeSysfs tree_;
  qv::test::FarEnd far_{GetParam()};
  TReceived got_;  // before the scanner: its close at the end still reports here
  TPrimedScanner scan_;
};

// However much the device sent before the port listened is delivered: bytes already queued
// raise no event of their own, and a full receive queue (4 KiB) takes nothing more until read.
TEST_P(BarcodeDevices, WhatWaitsAtOpenIsDelivered) {
  for (std::size_t count : {10u, 700u}) {  // 700 codes of 14 bytes: twice the queue
    SCOPED_TRACE(count);
    std::string sent;
    std::vector<std::string> codes;
    for (std::size_t i = 0; i < count; ++i) {
      codes.push_back(std::to_string(4006381333000 + i));
      sent += codes.back() + "\r";
    }
    got_.codes.clear();
    scan_.DuringSetup = [&] {
      EXPECT_EQ(far_.SendSome(sent), sent.size());
      const DWORD queued = DWORD(std::min<std::size_t>(sent.size(), 4096));
      for (int i = 0; i < 1000 && scan_.InQueueCount() < queued; ++i) Sleep(5);
    };
    scan_.SetActive(true);
    ASSERT_TRUE(scan_.Active());
    EXPECT_TRUE(PumpUntil([&] { return got_.codes.size() >= count; })) << got_.codes.size();
    EXPECT_EQ(got_.codes, codes);
    scan_.SetActive(false);
  }
}

// The code the time-out would deliver is delivered when the port closes or its device goes
// away, before OnClose: a reader that ends with the port has it.
TEST_P(BarcodeDevices, ACodePendingAtTheCloseIsDelivered) {
  scan_.SetTimeout(60000);  // only the close can deliver it in time
  for (bool unplug : {false, true}) {
    SCOPED_TRACE(unplug ? "unplugged" : "closed");
    got_.codes.clear();
    got_.count = 0;
    got_.atClose = ~std::size_t(0);
    scan_.SetActive(true);
    ASSERT_TRUE(Send("444\r555"));
    ASSERT_TRUE(PumpUntil([&] { return scan_.PendingCode() == "555"; }));
    if (unplug)
      far_.Unplug();
    else
      scan_.SetActive(false);
    ASSERT_TRUE(PumpUntil([&] { return !scan_.Active() && got_.atClose.load() == got_.count.load(); }));
    EXPECT_EQ(got_.codes, (std::vector<std::string>{"444", "555"}));
    EXPECT_EQ(got_.atClose.load(), 2u);
  }
}

// A code that never ends is cut at the longest code kept and delivered in parts.
TEST_P(BarcodeDevices, AnEndlessCodeIsDeliveredInParts) {
  scan_.SetActive(true);
  ASSERT_TRUE(Send(std::string(2 * kMaxBarCode + 7, '7') + "\r"));
  ASSERT_TRUE(PumpUntil([&] { return got_.codes.size() == 3; }));
  std::vector<std::size_t> sizes;
  for (const std::string& code : got_.codes)
    sizes.push_back(code.find_first_not_of('7') == std::string::npos ? code.size() : 0);
  EXPECT_EQ(sizes, (std::vector<std::size_t>{kMaxBarCode, kMaxBarCode, 7}));
}

INSTANTIATE_TEST_SUITE_P(EveryKind, BarcodeDevices,
                         ::testing::Values(DeviceKind::kPty, DeviceKind::kNullModem, DeviceKind::kRfc2217,
                                           DeviceKind::kTcp),
                         ::testing::PrintToStringParamName());

}  // namespace
