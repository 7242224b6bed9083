// The scanner on every kind of device a COM number can name: what the device sent before the
// port listened, a code pending when the port closes or the device goes away, and a code that
// never ends.
#include "barcode/qvbarcode.h"
#include "platform/system/portmap.h"
#include "support/comm_harness.h"
#include "support/fake_sysfs.h"
#include "support/far_end.h"
#include "support/recording_log.h"

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

// A code under way when the port closes: the time-out's is delivered before OnClose, any other
// stays pending and the port opened again goes on with it. One whose device went away is
// delivered as it stood before OnClose, and the log says it was cut short.
TEST_P(BarcodeDevices, ACodePendingAtTheCloseIsKeptOrDelivered) {
  TRecordingLog log(nullptr, dlDetail);
  scan_.SetLog(&log);
  const struct {
    bool timed, unplug;
    std::vector<std::string> atClose;
  } cases[] = {{true, false, {"444", "555"}}, {false, false, {"444"}}, {false, true, {"444", "555"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.timed ? "timed, " : "untimed, ") + (c.unplug ? "unplugged" : "closed"));
    got_.codes.clear();
    got_.count = 0;
    got_.atClose = ~std::size_t(0);
    scan_.SetOptions(c.timed ? TBarcodeOptions{boAutoDetect} : TBarcodeOptions{boUseEndChar});
    scan_.SetTimeout(60000);  // only the close can deliver it in time
    scan_.SetActive(true);
    ASSERT_TRUE(Send("444\r555"));
    ASSERT_TRUE(PumpUntil([&] { return scan_.PendingCode() == "555"; }));
    if (c.unplug)
      far_.Unplug();
    else
      scan_.SetActive(false);
    ASSERT_TRUE(PumpUntil([&] { return !scan_.Active() && got_.atClose.load() == got_.count.load(); }));
    EXPECT_EQ(got_.codes, c.atClose);
    EXPECT_EQ(got_.atClose.load(), c.atClose.size());
    const std::vector<std::string> lines = log.Lines();
    const auto cut = std::count(lines.begin(), lines.end(), "qvComm: The code 555 was cut short: the port went away");
    EXPECT_EQ(cut, c.unplug ? 1 : 0);
    if (c.timed || c.unplug) continue;
    scan_.SetActive(true);
    ASSERT_TRUE(Send("6\r"));
    ASSERT_TRUE(PumpUntil([&] { return got_.codes.size() == 2; }));
    EXPECT_EQ(got_.codes.back(), "5556");
    scan_.SetActive(false);
  }
}

// A program may free the scanner from its OnClose when the device went away (on the port's own
// thread): the close goes on without it, and its threads end and free themselves.
TEST_P(BarcodeDevices, AScannerFreedFromItsOnCloseWhenItsDeviceWentAway) {
  struct Owner {
    TqvBarCodeScan* scan = new TqvBarCodeScan;
    std::atomic<bool> freed{false};
    void Closed(TObject*) { delete scan, freed = true; }
  } owner;
  owner.scan->SetComPortNo(42);
  owner.scan->SetStreamProtocol(spNone);
  owner.scan->OnClose = TNotifyEvent(&owner, &Owner::Closed);
  owner.scan->SetActive(true);
  ASSERT_TRUE(owner.scan->Active() && Send("123"));
  far_.Unplug();
  EXPECT_TRUE(PumpUntil([&] { return owner.freed.load(); }));
  PumpFor(100);  // the port's thread ends after the close
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
