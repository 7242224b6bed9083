// The barcode scanner: the framing rules on received blocks, the inactivity time-out on the real
// main loop, the whole road from a pseudo-terminal mapped as a port to OnBarCode and the log,
// the connection test at open and the identification read on a scanner.
#include "barcode/qvbarcode.h"
#include "platform/serial/nullmodem.h"
#include "platform/system/portmap.h"
#include "support/comm_harness.h"
#include "support/fake_sysfs.h"
#include "support/pnp_device.h"
#include "support/recording_log.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <tuple>
#include <string>
#include <vector>

using qv::platform::AddUserMapping;
using qv::platform::CreateNullModemPair;
using qv::platform::NullModemPair;

namespace {

// Records every delivered barcode with the thread and time it came on.
struct TCodes : TObject {
  std::vector<std::string> codes;
  DWORD thread = 0;
  DWORD at = 0;
  bool throwOnCode = false;
  bool closeOnCode = false;
  bool reopenOnCode = false;
  std::function<void()> thrower;  // throws what a failing handler throws
  std::size_t atClose = ~std::size_t(0);  // codes delivered when OnClose came
  void On(TObject* Sender, std::string Code) {
    codes.push_back(Code);
    thread = GetCurrentThreadId();
    at = GetTickCount();
    auto* scan = static_cast<TqvBarCodeScan*>(Sender);
    if (closeOnCode || reopenOnCode) scan->SetActive(false);
    if (reopenOnCode) scan->SetActive(true);
    if (throwOnCode) throw Exception("handler failed");
    if (thrower) thrower();
  }
  void Closed(TObject*) { atClose = codes.size(); }
  std::vector<std::string> failures;
  void Failed(TObject*, DWORD, DWORD, std::string message, bool& raise) {
    failures.push_back(message);
    raise = false;
  }
};

struct Scanner {
  Scanner() {
    TestApplication();
    scan.OnBarCode = TOnBarCodeEvent(&got, &TCodes::On);
  }
  void Feed(const std::string& chunk) {
    scan.HandleRxData(&scan, reinterpret_cast<const BYTE*>(chunk.data()), int(chunk.size()));
  }
  bool TimerRuns() const { return scan.Timer().Enabled() && scan.Timer().Interval() != 0; }
  TqvBarCodeScan scan;
  TCodes got;
};

constexpr BYTE kAuto = 0x01, kEnd = 0x04, kBegin = 0x08, kAny = 0x10;
constexpr unsigned kLines = 0x100;  // whole lines, beside the options

TEST(BarcodeScan, ConstructionDefaultsArePublished) {
  Scanner s;
  for (auto [name, value] : std::vector<std::pair<const char*, std::int64_t>>{
           {"CharBegin", 0}, {"CharEnd", 13}, {"Timeout", 50}, {"Options", kAuto}, {"BaudRate", 9600},
           {"Parity", pNone}, {"StopBits", sbOne}, {"ByteSize", 8}, {"ComPortNo", 1}, {"ComPort", cpCOM1},
           {"StreamProtocol", spHardware}})
    EXPECT_EQ(GetOrdProp(&s.scan, name), value) << name;
  EXPECT_FALSE(GetBoolProp(&s.scan, "Active"));
  EXPECT_EQ(GetStrProp(&s.scan, "IgnoreChars"), "");
  EXPECT_EQ(s.scan.EventMask(), TCommEvents{ceRxChar});
  EXPECT_FALSE(s.scan.Timer().Enabled());
  EXPECT_EQ(s.scan.Timer().Interval(), 50u);
  SetOrdProp(&s.scan, "Options", kEnd | kAny);
  EXPECT_EQ(s.scan.Options(), (TBarcodeOptions{boUseEndChar, boAnyChars}));
}

TEST(BarcodeScan, FramingRules) {
  struct Case {
    const char* what;
    unsigned options;
    BYTE begin, end;
    std::string ignore;
    std::vector<std::string> chunks;
    std::vector<std::string> codes;
    std::string pending;
    bool timer;
  };
  const Case cases[] = {
      {"CR ends a code by auto-detection", kAuto, 0, 13, "", {"12345\r"}, {"12345"}, "", false},
      {"non-digit ends, rest waits", kAuto, 0, 13, "", {"12A34"}, {"12"}, "34", true},
      {"two chunks make one code", kAuto, 0, 13, "", {"123", "45"}, {}, "12345", true},
      {"any chars: only the time-out ends", kAuto | kAny, 0, 13, "", {"AB-12"}, {}, "AB-12", true},
      {"begin discards, end delivers", kBegin | kEnd | kAny, 2, 3, "", {"xx\x02", "123\x03"}, {"123"}, "", false},
      {"ignored digits are dropped", kAuto, 0, 13, "0", {"1020\r"}, {"12"}, "", false},
      {"begin == end only clears", kBegin | kEnd | kAuto, 13, 13, "", {"12\r34\r5A"}, {"5"}, "", false},
      {"no options: collected, never delivered", 0, 0, 13, "", {"12A3\r"}, {}, "123", false},
      {"second CR finds nothing", kAuto, 0, 13, "", {"12\r\r"}, {"12"}, "", false},
      {"digit begin/end act as such", kBegin | kEnd, '5', '9', "", {"1527839"}, {"2783"}, "", false},
      {"ignored end char still ends", kEnd | kAny, 0, '#', "#", {"ab#cd"}, {"ab"}, "cd", false},
      {"ignored char never ends", kAuto | kAny, 0, 13, "-", {"A-B"}, {}, "AB", true},
      {"end char off: ordinary char", kEnd, 0, 13, "", {"12\r34X5"}, {"12"}, "345", false},
      {"NUL begin char", kBegin | kAuto, 0, 13, "", {std::string("12\0" "34\r", 6)}, {"34"}, "", false},
      {"all bytes with any chars", kAny | kEnd, 0, 0xFF, "", {"\x01\x80\xFE\xFF"}, {"\x01\x80\xFE"}, "", false},
      {"an empty chunk restarts the timer", kAuto, 0, 13, "", {"7", ""}, {}, "7", true},
      {"lines: LF alone ends a line", kLines, 0, 13, "", {"AB\nCD\n"}, {"AB", "CD"}, "", false},
      {"lines: CR LF across blocks is one end", kLines | kEnd, 0, 13, "", {"AB\r", "\nCD\r\n"}, {"AB", "CD"}, "", false},
      {"lines: empty lines are no codes", kLines, 0, 13, "", {"\r\n\r\n\nX\r"}, {"X"}, "", false},
      {"lines: a pause does not end one", kLines | kAuto, 0, 13, "", {"12 A", "B-"}, {}, "12 AB-", true},
      {"lines: another end replaces CR, LF", kLines | kEnd, 0, 3, "", {"a\rb\nc\x03"}, {"a\rb\nc"}, "", false},
      {"lines: begin and ignore still apply", kLines | kBegin, 2, 13, "-", {"x\x02" "A-B\n"}, {"AB"}, "", false},
  };
  for (const Case& c : cases) {
    Scanner s;
    s.scan.SetWholeLines(c.options & kLines);
    s.scan.SetOptions(TBarcodeOptions::FromBits(BYTE(c.options)));
    s.scan.SetCharBegin(c.begin);
    s.scan.SetCharEnd(c.end);
    s.scan.SetIgnoreChars(c.ignore);
    for (const std::string& chunk : c.chunks) s.Feed(chunk);
    EXPECT_EQ(s.got.codes, c.codes) << c.what;
    EXPECT_EQ(s.scan.PendingCode(), c.pending) << c.what;
    EXPECT_EQ(s.TimerRuns(), c.timer) << c.what;
    if (!c.codes.empty()) {
      EXPECT_EQ(s.scan.LastBarCode(), c.codes.back()) << c.what;
    }
  }
}

TEST(BarcodeScan, AFailingHandlerStopsTheBlock) {
  Scanner s;
  s.got.throwOnCode = true;
  EXPECT_THROW(s.Feed("1A2B3"), Exception);
  EXPECT_EQ(s.got.codes, std::vector<std::string>{"1"});
  EXPECT_EQ(s.scan.PendingCode(), "");  // emptied before the handler ran; "2B3" was not scanned
}

// The time-out runs on the main loop: a code is delivered Timeout ms after the last block that
// added to it, each block restarting the count; Timeout 0 never delivers by time.
TEST(BarcodeScan, TimeoutOnTheMainLoop) {
  Scanner s;
  s.scan.SetTimeout(500);
  DWORD last = 0;
  for (const char* chunk : {"1", "2", "3"}) {
    s.Feed(chunk);
    last = GetTickCount();
    PumpFor(60);  // well inside the time-out: nothing yet
  }
  EXPECT_TRUE(s.got.codes.empty());
  ASSERT_TRUE(PumpUntil([&] { return !s.got.codes.empty(); }, 5000));
  EXPECT_EQ(s.got.codes, std::vector<std::string>{"123"});
  EXPECT_GE(s.got.at - last, 450u);
  EXPECT_FALSE(s.scan.Timer().Enabled());
  PumpFor(400);
  EXPECT_EQ(s.got.codes.size(), 1u);

  s.scan.SetTimeout(0);
  s.Feed("45");
  PumpFor(200);
  EXPECT_EQ(s.got.codes.size(), 1u);
  s.Feed("\r");
  EXPECT_EQ(s.got.codes.back(), "45");

  // Whole lines: a rest without its line end waits for the line idle time, not the time-out,
  // and the log says how it came.
  TRecordingLog log(nullptr, dlDetail);
  s.scan.SetLog(&log);
  s.scan.SetWholeLines(true);
  s.scan.SetLineIdle(300);
  s.Feed("AB");
  PumpFor(150);
  EXPECT_EQ(s.got.codes.size(), 2u);
  ASSERT_TRUE(PumpUntil([&] { return s.got.codes.size() == 3; }, 5000));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"qvComm: The code AB came without its line end", "qvComm: DoBarcode: AB"}));
  s.scan.SetLog(nullptr);
}

// A pseudo-terminal mapped as COM40: the far end writes, the scanner delivers on the main thread
// and logs at dlDetail.
class BarcodePortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApplication();
    ASSERT_TRUE(pty_.ok());
    DWORD error = 0;
    ASSERT_TRUE(AddUserMapping(40, pty_.slave(), error)) << error;
    scan_.OnBarCode = TOnBarCodeEvent(&got_, &TCodes::On);
    scan_.SetLog(&log_);
    scan_.SetComPortNo(40);
    scan_.SetActive(true);
    ASSERT_TRUE(scan_.Active());
  }
  std::vector<std::string> DoBarcodeLines() {
    std::vector<std::string> out;
    for (const std::string& l : log_.Lines())
      if (l.find("DoBarcode") != std::string::npos) out.push_back(l);
    return out;
  }
  qv::test::FakeSysfs tree_;
  qv::test::PtyPair pty_;
  TRecordingLog log_{nullptr, dlDetail};
  TqvBarCodeScan scan_;
  TCodes got_;
};

TEST_F(BarcodePortTest, BytesFromTheFarEndBecomeBarcodes) {
  pty_.Write("4006381333931\r12");
  ASSERT_TRUE(PumpUntil([&] { return got_.codes.size() == 2; }));
  EXPECT_EQ(got_.codes, (std::vector<std::string>{"4006381333931", "12"}));
  EXPECT_EQ(got_.thread, GetCurrentThreadId());
  EXPECT_EQ(DoBarcodeLines(),
            (std::vector<std::string>{"qvComm: DoBarcode: 4006381333931", "qvComm: DoBarcode: 12"}));
  log_.SetDetailLevel(dlSimple);
  pty_.Write("777\r");
  ASSERT_TRUE(PumpUntil([&] { return got_.codes.size() == 3; }));
  EXPECT_EQ(DoBarcodeLines().size(), 2u);
}

// The code the time-out would deliver is delivered when the port closes, before OnClose.
TEST_F(BarcodePortTest, ClosedWhileACodeIsPending) {
  scan_.SetTimeout(300);
  scan_.OnClose = TNotifyEvent(&got_, &TCodes::Closed);
  pty_.Write("987");
  ASSERT_TRUE(PumpUntil([&] { return scan_.PendingCode() == "987"; }));
  ASSERT_TRUE(scan_.Timer().Enabled());
  scan_.SetActive(false);
  EXPECT_EQ(got_.atClose, 1u);
  PumpFor(400);
  EXPECT_EQ(got_.codes, std::vector<std::string>{"987"});
  EXPECT_EQ(DoBarcodeLines(), std::vector<std::string>{"qvComm: DoBarcode: 987"});
}

// The block outlives a handler that closes or reopens the port: the rest is scanned.
TEST_F(BarcodePortTest, AHandlerThatClosesOrReopensThePortGoesOnWithTheBlock) {
  for (bool reopen : {false, true}) {
    SCOPED_TRACE(reopen ? "reopen" : "close");
    TCodes got;
    (reopen ? got.reopenOnCode : got.closeOnCode) = true;
    scan_.OnBarCode = TOnBarCodeEvent(&got, &TCodes::On);
    scan_.SetActive(true);
    pty_.Write("11\r22\r33");
    ASSERT_TRUE(PumpUntil([&] { return got.codes.size() == 3; }, 5000)) << got.codes.size();
    EXPECT_EQ(got.codes, (std::vector<std::string>{"11", "22", "33"}));
    EXPECT_EQ(scan_.Active(), reopen);
  }
}

// Whatever OnBarCode throws, on the receive path or from the time-out, is reported through
// FatalError with its message and logged, as the runtime's own exceptions are.
TEST_F(BarcodePortTest, EveryExceptionFromTheHandlerIsReported) {
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[] { throw Exception("handler failed"); }, "handler failed"},
      {[] { throw std::runtime_error("disk full"); }, "disk full"},
      {[] { throw 7; }, "Unknown exception"},
  };
  scan_.OnFatalError = TOnFatalErrorEvent(&got_, &TCodes::Failed);
  for (const auto& [thrower, message] : cases) {
    for (const char* sent : {"5\r", "5"}) {  // ended by CR; by the time-out
      SCOPED_TRACE(std::string(message) + (sent[1] ? " CR" : " time-out"));
      got_.thrower = thrower;
      got_.failures.clear();
      pty_.Write(sent);
      ASSERT_TRUE(PumpUntil([&] { return !got_.failures.empty(); }, 5000));
      EXPECT_EQ(got_.failures, std::vector<std::string>{message});
      EXPECT_EQ(log_.LastLine().rfind("Fatal Error: 1, ", 0), 0u) << log_.LastLine();
      EXPECT_NE(log_.LastLine().find(message), std::string::npos) << log_.LastLine();
    }
  }
}

// Line settings the pseudo-terminal refuses (it keeps 8N1) fail while open and at open; the
// port keeps what it had.
TEST_F(BarcodePortTest, RefusedLineSettingsFail) {
  for (const auto& [bits, parity, asked] : {std::tuple{7, pNone, "9600 7N1"}, std::tuple{8, pEven, "9600 8E1"}}) {
    const std::string text = std::string("Device \"COM40\" refused the line settings ") + asked +
                             " (the port keeps 9600 8N1): The request is not supported by the device.";
    auto set = [&, bits = bits, parity = parity] {
      scan_.SetByteSize(BYTE(bits));
      scan_.SetParity(parity);
    };
    try {
      set();
      ADD_FAILURE() << asked << " accepted";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), text);
    }
    EXPECT_TRUE(log_.Contains("Fatal Error: 1, 50, " + text));
    EXPECT_TRUE(scan_.Active());
    EXPECT_EQ(scan_.ByteSize(), 8);  // read back from the port
    EXPECT_EQ(scan_.Parity(), pNone);
    scan_.SetActive(false);
    set();
    EXPECT_THROW(scan_.SetActive(true), Exception);
    EXPECT_FALSE(scan_.Active());
    scan_.SetByteSize(8);
    scan_.SetParity(pNone);
    scan_.SetActive(true);
  }
}

// The far device on a virtual null-modem pair mapped as COM41.
class BarcodeDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApplication();
    pair_ = CreateNullModemPair("barcode");
    ASSERT_TRUE(pair_);
    DWORD error = 0;
    ASSERT_TRUE(AddUserMapping(41, pair_->PortName(NullModemPair::kA), error)) << error;
    scan_.SetLog(&log_);
    scan_.SetComPortNo(41);
  }
  qv::test::FakeSysfs tree_;
  std::shared_ptr<NullModemPair> pair_;
  TRecordingLog log_{nullptr, dlDetail};
  TqvBarCodeScan scan_;
};

TEST_F(BarcodeDeviceTest, InitConnectionTestsEveryOpen) {
  scan_.SetOptions({boAutoDetect, boInitConnection});
  pair_->SetLines(NullModemPair::kB, false, false);  // the scanner is off: no DSR
  EXPECT_THROW(scan_.SetActive(true), Exception);
  EXPECT_TRUE(log_.Contains("Fatal Error: 1, 0, Device Connect Initialization Error"));
  scan_.SetActive(false);
  pair_->SetLines(NullModemPair::kB, true, true);
  scan_.SetActive(true);
  EXPECT_EQ(log_.LastLine(), "qvComm: The device connection was succesful tested");
  scan_.SetActive(false);
}

// The identification bytes stay in the port's queue for the identification read instead of
// being taken by the scanner's receive path; the answer comes byte by byte, in many blocks.
TEST_F(BarcodeDeviceTest, ReadPnPIdOnAScanner) {
  TCodes got;
  scan_.OnBarCode = TOnBarCodeEvent(&got, &TCodes::On);
  pair_->SetLines(NullModemPair::kB, true, true);
  scan_.SetActive(true);
  const std::string id = "(\x01$ABC0001)";
  {
    qv::test::PnPDevice device(*pair_, id, 20, 2);
    EXPECT_EQ(scan_.ReadPnPId(), id);
  }
  EXPECT_TRUE(scan_.Active());
  pair_->Write(NullModemPair::kB, "55\r", 3);  // the scanner still reads afterwards
  ASSERT_TRUE(PumpUntil([&] { return !got.codes.empty(); }));
  EXPECT_EQ(got.codes, std::vector<std::string>{"55"});
  scan_.SetActive(false);
}

}  // namespace
