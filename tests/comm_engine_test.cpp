// The communication engine on a virtual null-modem cable: open and close sequences, the
// receive path with its consumers and patterns, sending with its log lines, errors, line
// control, queue sizes, time-outs, the waits and the line-setting accessors.
#include "comm/internal/commthreads.h"
#include "comm/qvcomm.h"
#include "platform/serial/nullmodem.h"
#include "support/comm_harness.h"
#include "support/recording_log.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using qv::platform::CreateNullModemPair;
using qv::platform::NullModemPair;

namespace {

std::string Str(const BYTE* data, int count) { return std::string(reinterpret_cast<const char*>(data), std::size_t(count)); }

class CommEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApplication();
    static int serial = 0;
    pair = CreateNullModemPair("engine" + std::to_string(++serial));
    ASSERT_TRUE(pair);
    log = std::make_unique<TRecordingLog>(nullptr, dlDebug);
    comm = std::make_unique<TTestComm>();
    comm->Path = pair->PortName(NullModemPair::kA);
    comm->SetLog(log.get());
  }
  void TearDown() override {
    comm.reset();
    log.reset();
    pair.reset();
  }
  void Feed(const std::string& s) { pair->Write(NullModemPair::kB, s.data(), s.size()); }
  std::string Drain() {
    std::string out;
    char buf[256];
    for (;;) {
      std::size_t n = pair->Read(NullModemPair::kB, buf, sizeof buf);
      if (!n) return out;
      out.append(buf, n);
    }
  }
  bool LogHas(TDetailLevel level, const std::string& text) {
    for (const auto& e : log->Entries())
      if (e.Level == level && e.Text == text) return true;
    return false;
  }
  int LogCount(const std::string& prefix) {
    int n = 0;
    for (const auto& e : log->Entries())
      if (e.Text.rfind(prefix, 0) == 0) ++n;
    return n;
  }

  std::shared_ptr<NullModemPair> pair;
  std::unique_ptr<TRecordingLog> log;
  std::unique_ptr<TTestComm> comm;
};

// Records OnRxData, OnPacket and OnCommEvent in the order they come.
struct TRecorder {
  std::vector<std::string> calls;
  std::string rx;
  bool handlePackets = false;
  void RxData(TObject*, const BYTE* data, int count) {
    rx += Str(data, count);
    calls.push_back("rx:" + Str(data, count));
  }
  void Packet(TObject*, int index, const BYTE* data, int count, bool& handled) {
    calls.push_back("packet:" + std::to_string(index) + ":" + Str(data, count) + ":" + std::to_string(count));
    if (handlePackets) handled = true;
  }
  void CommEvent(TObject*, TCommEvents events) { calls.push_back("event:" + std::to_string(events.ToBits())); }
};

// ---- Types and constants ---------------------------------------------------------------------

TEST(CommTypes, SetsUseDeclarationOrderAsBits) {
  EXPECT_EQ(sizeof(TCommEvents), 2u);
  EXPECT_EQ(sizeof(TModemLines), 1u);
  EXPECT_EQ((TCommEvents{ceRxChar}).ToBits(), 0x0001);
  EXPECT_EQ((TCommEvents{ceRx80Full, ceEvent2}).ToBits(), 0x0A00);
  EXPECT_EQ((TModemLines{mlCts, mlRlsd}).ToBits(), 0x09);
  TCommEvents s{ceCts, ceDsr};
  EXPECT_EQ((s - ceCts).ToBits(), 0x0010);
  EXPECT_TRUE((s + ceRing).Contains(ceRing));
}

TEST(CommTypes, MessagesAreRegisteredByName) {
  EXPECT_GE(MsgComEvent, 0xC000u);
  EXPECT_LE(MsgComEvent, 0xFFFFu);
  EXPECT_GE(MsgQuitComEvent, 0xC000u);
  EXPECT_NE(MsgComEvent, MsgQuitComEvent);
  EXPECT_EQ(RegisterWindowMessageA("qvCommMsgComEvent"), MsgComEvent);
  EXPECT_EQ(RegisterWindowMessageA("QVCOMMMSGQUITCOMEVENT"), MsgQuitComEvent);
}

TEST(CommTypes, EventMaskMapsOntoPortEvents) {
  EXPECT_EQ(TqvCustomComm::PortEventMask({}, false), EV_RXCHAR);
  EXPECT_EQ(TqvCustomComm::PortEventMask({}, true), EV_RXCHAR | EV_TXEMPTY);
  EXPECT_EQ(TqvCustomComm::PortEventMask({ceRx80Full}, false), EV_RXCHAR | EV_RX80FULL);
  EXPECT_EQ(TqvCustomComm::PortEventMask({ceEvent1, ceEvent2}, false), EV_RXCHAR | EV_EVENT1 | EV_EVENT2);
  TCommEvents all;
  for (int e = ceRxChar; e <= ceEvent2; ++e) all += TCommEvent(e);
  EXPECT_EQ(TqvCustomComm::PortEventMask(all, false), 0x1DFFu);  // never EV_PERR (0x200)
}

// ---- Construction ----------------------------------------------------------------------------

TEST_F(CommEngine, ConstructionDefaults) {
  EXPECT_FALSE(comm->Active());
  EXPECT_TRUE(comm->EventMask().Empty());
  EXPECT_EQ(comm->InQueueSize(), 4096);
  EXPECT_EQ(comm->OutQueueSize(), 4096);
  const COMMTIMEOUTS& t = comm->Timeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
  EXPECT_EQ(comm->GetPortSettings().dwSize, 52u);
  EXPECT_EQ(comm->GetPortSettings().dcb.DCBlength, 28u);
  EXPECT_EQ(comm->GetDeviceName(), "Unknown");
  EXPECT_EQ(comm->GetMsgThread(), nullptr);
  EXPECT_EQ(comm->GetCommThread(), nullptr);
}

// ---- Open and close --------------------------------------------------------------------------

TEST_F(CommEngine, OpenRunsTheSequenceAndCloseUndoesIt) {
  std::vector<std::string> order;
  TRecorder rec;
  comm->OnOpen = TNotifyEvent::FromFunction([](void* d, TObject*) { static_cast<std::vector<std::string>*>(d)->push_back("open"); }, &order);
  comm->OnClose = TNotifyEvent::FromFunction([](void* d, TObject*) { static_cast<std::vector<std::string>*>(d)->push_back("close"); }, &order);
  comm->OnCommEvent = TOnCommEvent::FromFunction(
      [](void* d, TObject*, TCommEvents e) { static_cast<std::vector<std::string>*>(d)->push_back("event:" + std::to_string(e.ToBits())); }, &order);
  struct Links {
    std::vector<std::string>* order;
    void Notify(TqvBaseIO*, int code) { order->push_back("notify:" + std::to_string(code)); }
  } links{&order};
  comm->AddNotify(TLinkNotifyEvent(&links, &Links::Notify));
  comm->SetEventMask({ceRxChar, ceCts});

  comm->SetActive(true);
  ASSERT_TRUE(comm->Active());
  EXPECT_NE(comm->GetMsgThread(), nullptr);
  EXPECT_NE(comm->GetCommThread(), nullptr);
  EXPECT_TRUE(LogHas(dlSimple, "The port Unknown succesful opened"));
  DWORD mask = 0;
  ASSERT_TRUE(GetCommMask(comm->GetHandle(), &mask));
  EXPECT_EQ(mask, EV_RXCHAR | EV_CTS);
  // Close first (a closed component still raises its transmit-empty event), then the opening.
  EXPECT_EQ(order, (std::vector<std::string>{"event:4", "open", "event:4", "notify:2"}));

  order.clear();
  comm->SetActive(false);
  EXPECT_FALSE(comm->Active());
  EXPECT_EQ(comm->GetMsgThread(), nullptr);
  EXPECT_EQ(comm->GetCommThread(), nullptr);
  EXPECT_TRUE(LogHas(dlSimple, "The port is succesful closed"));
  EXPECT_EQ(order, (std::vector<std::string>{"close", "notify:1", "event:4"}));
  EXPECT_FALSE(pair->IsOpen(NullModemPair::kA));
}

TEST_F(CommEngine, OpenFailureReportsThroughFatalError) {
  comm->Path = "virtual:no-such-pair/a";
  struct Fatal {
    int calls = 0;
    DWORD code = 0, detail = 0;
    std::string msg;
    void Handler(TObject*, DWORD c, DWORD d, std::string m, bool&) {
      ++calls;
      code = c;
      detail = d;
      msg = m;
    }
  } fatal;
  comm->OnFatalError = TOnFatalErrorEvent(&fatal, &Fatal::Handler);
  const std::string expected =
      "Device \"Unknown\" Open Error !!!\r" + qv::platform::SysErrorMessage(ERROR_FILE_NOT_FOUND);
  try {
    comm->Open();
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), expected);
  }
  EXPECT_EQ(fatal.calls, 1);
  EXPECT_EQ(fatal.code, 1u);
  EXPECT_EQ(fatal.detail, 0u);
  EXPECT_EQ(fatal.msg, expected);
  EXPECT_EQ(comm->LastErrorText(), expected);
  EXPECT_TRUE(LogHas(dlSimple, "Fatal Error: 1, 0, " + expected));
  EXPECT_FALSE(comm->Active());
  EXPECT_EQ(comm->GetMsgThread(), nullptr);  // nothing started
  EXPECT_EQ(LogCount("The port"), 0);
}

TEST_F(CommEngine, OpenFailureDeclinedByTheHandlerRaisesNothing) {
  comm->Path = "virtual:no-such-pair/b";
  comm->OnFatalError = TOnFatalErrorEvent::FromFunction(
      [](void*, TObject*, DWORD, DWORD, std::string, bool& raise) { raise = false; }, nullptr);
  EXPECT_NO_THROW(comm->Open());
  EXPECT_FALSE(comm->Active());
  EXPECT_EQ(LogCount("Fatal Error: 1, 0, Device \"Unknown\" Open Error !!!\r"), 1);
}

TEST_F(CommEngine, CloseFromOnOpenClosesOnEveryOpenNotJustTheFirst) {
  // An earlier open and close leave the component as any reopened one is.
  comm->SetActive(true);
  ASSERT_TRUE(comm->Active());
  comm->SetActive(false);
  ASSERT_FALSE(comm->Active());
  ASSERT_EQ(LogCount("The port is succesful closed"), 1);

  comm->OnOpen = TNotifyEvent::FromFunction([](void* d, TObject*) { static_cast<TTestComm*>(d)->Close(); }, comm.get());
  comm->OnFatalError = TOnFatalErrorEvent::FromFunction(
      [](void*, TObject*, DWORD, DWORD, std::string, bool& raise) { raise = false; }, nullptr);
  comm->Open();
  // The handler's close took effect, so the open reports that it has no port.
  EXPECT_FALSE(comm->Active());
  EXPECT_FALSE(pair->IsOpen(NullModemPair::kA));
  EXPECT_EQ(LogCount("The port is succesful closed"), 2);
  EXPECT_EQ(LogCount("Fatal Error: 1, 0, Device \"Unknown\" Open Error !!!\r"), 1);
  EXPECT_EQ(LogCount("The port Unknown succesful opened"), 1);  // only the first open's
  EXPECT_EQ(comm->GetMsgThread(), nullptr);
  EXPECT_EQ(comm->GetCommThread(), nullptr);
}

TEST_F(CommEngine, CloseOfAClosedComponentRaisesTxEmptyAndUnchecksIndicators) {
  TIndicator cts, dsr, rlsd, ring;
  cts.Checked = dsr.Checked = rlsd.Checked = ring.Checked = true;
  comm->SetCtsIndicator(&cts);
  comm->SetDsrIndicator(&dsr);
  comm->SetRlsdIndicator(&rlsd);
  comm->SetRingIndicator(&ring);
  TRecorder rec;
  comm->OnCommEvent = TOnCommEvent(&rec, &TRecorder::CommEvent);
  comm->Close();
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"event:4"}));
  EXPECT_FALSE(cts.Checked);
  EXPECT_FALSE(dsr.Checked);
  EXPECT_FALSE(rlsd.Checked);
  EXPECT_TRUE(ring.Checked);  // only a ring event touches it, and only to set it
  EXPECT_EQ(ring.Writes, 0);
  EXPECT_EQ(LogCount("The port"), 0);
}

TEST_F(CommEngine, IndicatorsFollowTheLinesAndRingIsOnlyEverSet) {
  TIndicator cts, dsr, rlsd, ring;
  comm->SetCtsIndicator(&cts);
  comm->SetDsrIndicator(&dsr);
  comm->SetRlsdIndicator(&rlsd);
  comm->SetRingIndicator(&ring);
  comm->SetEventMask({ceCts, ceDsr, ceRlsd, ceRing});
  comm->Open();
  pair->SetLines(NullModemPair::kB, true, true);  // DTR -> DSR and DCD, RTS -> CTS
  ASSERT_TRUE(PumpUntil([&] { return cts.Checked && dsr.Checked && rlsd.Checked; }));
  pair->SetRing(NullModemPair::kA, true);
  ASSERT_TRUE(PumpUntil([&] { return ring.Checked; }));
  pair->SetRing(NullModemPair::kA, false);
  pair->SetLines(NullModemPair::kB, false, false);
  ASSERT_TRUE(PumpUntil([&] { return !cts.Checked && !dsr.Checked && !rlsd.Checked; }));
  PumpFor(50);
  EXPECT_TRUE(ring.Checked);
}

TEST_F(CommEngine, ADestroyedIndicatorIsForgottenEverywhere) {
  auto* ind = new TIndicator;
  comm->SetCtsIndicator(ind);
  comm->SetDsrIndicator(ind);
  comm->SetRingIndicator(ind);
  ind->Free();
  EXPECT_EQ(comm->CtsIndicator(), nullptr);
  EXPECT_EQ(comm->DsrIndicator(), nullptr);
  EXPECT_EQ(comm->RingIndicator(), nullptr);
  comm->Close();  // updates the indicators: must not touch the freed one
}

// ---- Receive path ----------------------------------------------------------------------------

TEST_F(CommEngine, WithoutAnyConsumerBytesStayQueued) {
  comm->Open();
  Feed("hello");
  PumpFor(150);
  EXPECT_EQ(comm->InQueueCount(), 5u);
  char buf[8] = {};
  ASSERT_TRUE(comm->ReadData(buf, 5));
  EXPECT_EQ(std::string(buf, 5), "hello");
}

TEST_F(CommEngine, RxDataWithoutRxCharDeliversToConsumersOnly) {
  struct Linked : TqvLinkedComponent {
    using TqvLinkedComponent::TqvLinkedComponent;
    std::string got;
    void LinkTo(TqvBaseIO*) override {}
    void LinkedReceive(const BYTE* d, int n, TLinkedReceiveFlags&) override { got += Str(d, n); }
    void LinkedOutputEmpty(bool&) override {}
  } linked(nullptr);
  comm->SetLinkedComponent(&linked);
  TRecorder rec;
  comm->OnRxData = TOnRxDataEvent(&rec, &TRecorder::RxData);
  comm->Open();
  Feed("abc");
  ASSERT_TRUE(PumpUntil([&] { return linked.got == "abc"; }));
  PumpFor(50);
  EXPECT_TRUE(rec.calls.empty());
  EXPECT_EQ(comm->InQueueCount(), 0u);
  comm->SetLinkedComponent(nullptr);
}

TEST_F(CommEngine, RxDataIsRaisedOnTheMainThreadWithTheBytes) {
  struct Rx {
    std::string got;
    bool offMain = false;
    void Data(TObject*, const BYTE* d, int n) {
      got += Str(d, n);
      if (GetCurrentThreadId() != MainThreadID()) offMain = true;
    }
  } rx;
  comm->OnRxData = TOnRxDataEvent(&rx, &Rx::Data);
  comm->SetEventMask({ceRxChar});
  comm->Open();
  Feed("12345");
  ASSERT_TRUE(PumpUntil([&] { return rx.got == "12345"; }));
  EXPECT_FALSE(rx.offMain);
}

TEST_F(CommEngine, PacketModeFindsThePatternAndHandledSuppressesRxData) {
  TRecorder rec;
  rec.handlePackets = true;
  comm->OnRxData = TOnRxDataEvent(&rec, &TRecorder::RxData);
  comm->OnPacket = TOnPacketEvent(&rec, &TRecorder::Packet);
  comm->SetEventMask({ceRxChar});
  comm->PacketMode = true;
  comm->Patterns().Add("AB", 2);
  comm->Open();
  Feed("xxABcd");
  ASSERT_TRUE(PumpUntil([&] { return !rec.calls.empty(); }));
  PumpFor(50);
  ASSERT_EQ(rec.calls.size(), 1u);
  EXPECT_EQ(rec.calls[0], "packet:0:ABcd:4");
  EXPECT_EQ(comm->Patterns()[0]->EndPos, 3);

  // Not handled: the packet, then the block itself.
  rec.calls.clear();
  rec.handlePackets = false;
  Feed("ABz");
  ASSERT_TRUE(PumpUntil([&] { return rec.calls.size() >= 2; }));
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"packet:0:ABz:3", "rx:ABz"}));
}

TEST_F(CommEngine, PortErrorsAreReportedAndTheBytesStayForTheNextNotification) {
  struct Errors {
    std::vector<DWORD> seen;
    void Handler(TObject*, DWORD e, DWORD sys, BYTE, bool&) { seen.push_back(e | sys << 16); }
  } errs;
  TRecorder rec;
  comm->OnRxData = TOnRxDataEvent(&rec, &TRecorder::RxData);
  comm->OnCommError = TOnCommErrorEvent(&errs, &Errors::Handler);
  comm->SetEventMask({ceRxChar});
  comm->Open();
  pair->InjectError(NullModemPair::kA, CE_FRAME);
  Feed("ab");
  ASSERT_TRUE(PumpUntil([&] { return !errs.seen.empty(); }));
  EXPECT_EQ(errs.seen[0], CE_FRAME);
  EXPECT_TRUE(LogHas(dlDetail, "Communication Error 8:0"));
  PumpFor(50);
  EXPECT_TRUE(rec.calls.empty());
  Feed("c");
  ASSERT_TRUE(PumpUntil([&] { return rec.rx == "abc"; }));
  EXPECT_EQ(errs.seen.size(), 1u);
}

TEST_F(CommEngine, ResetFromTheErrorHandlerClearsEverything) {
  comm->OnCommError = TOnCommErrorEvent::FromFunction(
      [](void*, TObject*, DWORD, DWORD, BYTE, bool& reset) { reset = true; }, nullptr);
  comm->Open();
  Feed("queued");
  PumpFor(50);
  ASSERT_EQ(comm->InQueueCount(), 6u);
  comm->SendData("x", -1);  // a send failure goes through the same path
  EXPECT_TRUE(LogHas(dlDetail, "Communication Error 0:87"));
  EXPECT_EQ(comm->InQueueCount(), 0u);
}

TEST_F(CommEngine, TxEmptyGoesToTheHandlerAfterTheData) {
  TRecorder rec;
  int txEmpty = 0;
  comm->OnTxEmpty = TNotifyEvent::FromFunction([](void* d, TObject*) { ++*static_cast<int*>(d); }, &txEmpty);
  comm->SetEventMask({ceTxEmpty});
  comm->Open();
  comm->SendString("ping");
  ASSERT_TRUE(PumpUntil([&] { return txEmpty > 0; }));
  EXPECT_EQ(Drain(), "ping");
}

TEST_F(CommEngine, RtsToggleRaisesRtsForSendingAndDropsItWhenEmpty) {
  struct RtsSeen {
    NullModemPair* pair;
    std::vector<bool> levels;
    void Event(TObject*, TCommEvents e) {
      if (e == TCommEvents{ceCts}) levels.push_back(pair->Rts(NullModemPair::kA));
    }
  } seen{pair.get(), {}};
  comm->RtsToggle = true;
  comm->Open();
  EscapeCommFunction(comm->GetHandle(), CLRRTS);
  comm->OnCommEvent = TOnCommEvent(&seen, &RtsSeen::Event);
  comm->SendString("x");
  ASSERT_TRUE(PumpUntil([&] { return seen.levels.size() >= 2; }));
  EXPECT_EQ(seen.levels, (std::vector<bool>{true, false}));
  EXPECT_FALSE(pair->Rts(NullModemPair::kA));
  EXPECT_EQ(Drain(), "x");
}

// ---- Sending ---------------------------------------------------------------------------------

TEST_F(CommEngine, SendsWriteTheirLogLinesAtDebugLevel) {
  comm->Open();
  log->Reset();
  comm->SendChar(0x41);
  comm->SendChar(0x05);
  comm->SendString("AB");
  comm->SendString("");
  comm->SendData("xyz", 3);
  EXPECT_EQ(log->Lines(), (std::vector<std::string>{"Try to send char 41h ...", "Try to send char  5h ...",
                                                    "Try to send string AB ...",
                                                    "Try to send the data with 3 length ...",
                                                    "... the data transmittion is OK!"}));
  for (const auto& e : log->Entries()) EXPECT_EQ(e.Level, dlDebug);
  ASSERT_TRUE(PumpUntil([&] { return pair->Pending(NullModemPair::kB) == 7; }));
  EXPECT_EQ(Drain(), std::string("A\x05" "ABxyz"));
}

TEST_F(CommEngine, SendsOnAClosedComponentDoNothing) {
  comm->SendChar('a');
  comm->SendString("abc");
  comm->SendData("abc", 3);
  EXPECT_EQ(log->Count(), 0u);
}

TEST_F(CommEngine, LogLinesCarryThePrefixLiterally) {
  struct Prefixed : TTestComm {
    Prefixed() { LogPrefix = "qvComm: 100% "; }
  } p;
  p.Path = comm->Path;
  p.SetLog(log.get());
  p.Open();
  p.SendChar('A');
  EXPECT_TRUE(LogHas(dlDebug, "qvComm: 100% Try to send char 41h ..."));
  p.Close();
}

// ---- Line control and status -----------------------------------------------------------------

TEST_F(CommEngine, DtrAndRtsDriveTheFarEndAndRaiseLineEvents) {
  TRecorder rec;
  comm->OnCommEvent = TOnCommEvent(&rec, &TRecorder::CommEvent);
  comm->SetDtr(true);  // closed: nothing at all
  EXPECT_TRUE(rec.calls.empty());
  comm->Open();
  rec.calls.clear();
  comm->SetDtr(false);
  EXPECT_FALSE(pair->Dtr(NullModemPair::kA));
  comm->SetDtr(true);
  EXPECT_TRUE(pair->Dtr(NullModemPair::kA));
  comm->SetRts(false);
  EXPECT_FALSE(pair->Rts(NullModemPair::kA));
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"event:16", "event:16", "event:8"}));
}

TEST_F(CommEngine, ModemStatusMapsTheLines) {
  EXPECT_TRUE(comm->ModemStatus().Empty());
  comm->Open();
  pair->SetLines(NullModemPair::kB, true, false);
  EXPECT_EQ(comm->ModemStatus(), (TModemLines{mlDsr, mlRlsd}));
  pair->SetLines(NullModemPair::kB, false, true);
  pair->SetRing(NullModemPair::kA, true);
  EXPECT_EQ(comm->ModemStatus(), (TModemLines{mlCts, mlRing}));
}

TEST_F(CommEngine, QueueCountsAndPurges) {
  EXPECT_EQ(comm->InQueueCount(), 0u);
  comm->Open();
  Feed("12345");
  PumpFor(30);
  EXPECT_EQ(comm->InQueueCount(), 5u);
  EXPECT_EQ(comm->OutQueueCount(), 0u);
  comm->ClearOutput();
  EXPECT_EQ(comm->InQueueCount(), 5u);
  comm->ClearInput();
  EXPECT_EQ(comm->InQueueCount(), 0u);
  Feed("67");
  PumpFor(30);
  comm->ClearAll();
  EXPECT_EQ(comm->InQueueCount(), 0u);
}

TEST_F(CommEngine, InQueueSizeWrittenWhileOpenGoesToThePortButNotToTheStoredValue) {
  comm->Open();
  comm->SetInQueueSize(8192);
  EXPECT_EQ(comm->CommProperties().dwCurrentRxQueue, 8192u);
  comm->Close();
  EXPECT_EQ(comm->InQueueSize(), 4096);  // stored value untouched, nothing read it back

  comm->Open();
  comm->SetInQueueSize(8192);
  EXPECT_EQ(comm->InQueueSize(), 8192);  // a read while open refreshes it
  comm->Close();
  EXPECT_EQ(comm->InQueueSize(), 8192);

  comm->SetOutQueueSize(1024);  // closed: stored and applied at the next open
  comm->Open();
  EXPECT_EQ(comm->CommProperties().dwCurrentTxQueue, 1024u);
  EXPECT_EQ(comm->CommProperties().dwCurrentRxQueue, 8192u);
}

TEST_F(CommEngine, TimeoutsAreStoredAndWrittenThrough) {
  COMMTIMEOUTS t{1, 2, 3, 4, 5};
  comm->SetTimeouts(t);
  comm->Open();
  COMMTIMEOUTS port{};
  ASSERT_TRUE(GetCommTimeouts(comm->GetHandle(), &port));
  EXPECT_EQ(port.ReadTotalTimeoutConstant, 3u);
  EXPECT_EQ(port.WriteTotalTimeoutConstant, 5u);
  COMMTIMEOUTS other{MAXDWORD, 0, 0, 7, 0};
  ASSERT_TRUE(SetCommTimeouts(comm->GetHandle(), &other));
  EXPECT_EQ(comm->Timeouts().ReadIntervalTimeout, MAXDWORD);  // read back from the port
  EXPECT_EQ(comm->Timeouts().WriteTotalTimeoutMultiplier, 7u);
}

// A reconnect written in OnClose: the port opens again with working threads, and the next
// close, which does not reopen, closes for good.
TEST_F(CommEngine, ReopenFromOnCloseKeepsThePortOpenWithWorkingThreads) {
  TRecorder rec;
  comm->OnRxData = TOnRxDataEvent(&rec, &TRecorder::RxData);
  comm->SetEventMask({ceRxChar});
  struct Reconnect {
    TTestComm* comm;
    int closes = 0;
    void Closed(TObject*) {
      if (++closes == 1) comm->Open();
    }
  } reconnect{comm.get()};
  comm->OnClose = TNotifyEvent(&reconnect, &Reconnect::Closed);
  comm->Open();
  comm->Close();
  ASSERT_TRUE(comm->Active());
  EXPECT_TRUE(pair->IsOpen(NullModemPair::kA));
  EXPECT_NE(comm->GetCommThread(), nullptr);
  Feed("after the reconnect");
  EXPECT_TRUE(PumpUntil([&] { return rec.rx == "after the reconnect"; }, 5000)) << rec.rx;
  comm->Close();
  EXPECT_FALSE(comm->Active());
  EXPECT_FALSE(pair->IsOpen(NullModemPair::kA));
  EXPECT_EQ(reconnect.closes, 2);
  comm->Open();  // not left "in use"
  EXPECT_TRUE(comm->Active());
  comm->OnClose = nullptr;
}

// The set-up fails after the threads started (a scanner that does not answer): nothing stays
// half open, and the exception reaches the caller.
TEST_F(CommEngine, AnExceptionFromTheOpenSequenceClosesAgainAndPassesOn) {
  struct TFailingComm : TTestComm {
    void SetupPort() override {
      TTestComm::SetupPort();
      throw Exception("no answer");
    }
  } failing;
  failing.Path = comm->Path;
  const int threads = ThreadBaseline();
  EXPECT_THROW(failing.Open(), Exception);
  EXPECT_FALSE(failing.Active());
  EXPECT_EQ(failing.GetMsgThread(), nullptr);
  EXPECT_EQ(failing.GetCommThread(), nullptr);
  EXPECT_FALSE(pair->IsOpen(NullModemPair::kA));
  EXPECT_TRUE(PumpUntil([&] { return ThreadCount() <= threads; }, 5000)) << ThreadCount();
  comm->Open();
  EXPECT_TRUE(comm->Active());
}

// Until Open sets the event mask the port-event thread sleeps: it does not poll for it.
TEST_F(CommEngine, PortThreadSleepsUntilTheEventMaskIsSet) {
  struct TSlowSetupComm : TTestComm {
    long switches = -1;
    void SetupPort() override {
      TTestComm::SetupPort();
      rusage before{}, after{};
      getrusage(RUSAGE_SELF, &before);
      Sleep(300);
      getrusage(RUSAGE_SELF, &after);
      switches = after.ru_nvcsw - before.ru_nvcsw;
    }
  } slow;
  slow.Path = comm->Path;
  slow.Open();
  ASSERT_TRUE(slow.Active());
  EXPECT_GE(slow.switches, 0);
  EXPECT_LT(slow.switches, 30) << "the port-event thread woke every millisecond";
  TRecorder rec;
  slow.OnRxData = TOnRxDataEvent(&rec, &TRecorder::RxData);
  slow.SetEventMask({ceRxChar});
  Feed("x");
  EXPECT_TRUE(PumpUntil([&] { return rec.rx == "x"; }, 5000));
}

// The receive buffer follows the port's queue (which refuses 0), also when the size changes
// while open, and bytes a read leaves in the queue are delivered without waiting for more.
TEST_F(CommEngine, EveryReceivedByteIsDeliveredWhateverTheQueueSize) {
  struct Case {
    WORD closedSize, openSize;  // openSize 0: not changed while open
    std::size_t queuedFirst, fedAfter;
  };
  const Case cases[] = {
      {0, 0, 0, 100},           // the queue keeps its 4096
      {4096, 20000, 0, 20000},  // grown while open
      {8192, 1024, 8000, 0},    // shrunk below what is queued: several reads
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.closedSize << "/" << c.openSize << "/" << c.queuedFirst);
    TRecorder rec;
    comm->SetInQueueSize(c.closedSize);
    comm->OnRxData = TOnRxDataEvent(&rec, &TRecorder::RxData);
    comm->SetEventMask({ceRxChar});
    comm->Open();
    std::string sent;
    for (std::size_t i = 0; i < c.queuedFirst + c.fedAfter; ++i) sent += char('a' + i % 26);
    // Queued while the main thread does not serve the notifications yet.
    Feed(sent.substr(0, c.queuedFirst));
    for (int i = 0; i < 1000 && comm->InQueueCount() < c.queuedFirst; ++i) Sleep(5);
    if (c.openSize) comm->SetInQueueSize(c.openSize);
    Feed(sent.substr(c.queuedFirst));
    EXPECT_TRUE(PumpUntil([&] { return rec.rx.size() == sent.size(); }, 5000)) << rec.rx.size();
    EXPECT_EQ(rec.rx, sent);
    comm->Close();
    comm->OnRxData = nullptr;
  }
}

// A handler that closes or reopens the port still reads the bytes it was given.
TEST_F(CommEngine, DataStaysValidWhenTheHandlerClosesOrReopens) {
  for (bool reopen : {false, true}) {
    struct Handler {
      TTestComm* comm;
      bool reopen;
      std::string seen;
      void RxData(TObject*, const BYTE* data, int count) {
        comm->Close();
        if (reopen) comm->Open();
        seen = Str(data, count);
      }
    } handler{comm.get(), reopen, {}};
    comm->OnRxData = TOnRxDataEvent(&handler, &Handler::RxData);
    comm->SetEventMask({ceRxChar});
    comm->Open();
    const std::string text = "the bytes of this notification, longer than any allocator header";
    Feed(text);
    EXPECT_TRUE(PumpUntil([&] { return !handler.seen.empty(); }, 5000));
    EXPECT_EQ(handler.seen, text);
    EXPECT_EQ(comm->Active(), reopen);
    comm->OnRxData = nullptr;
    comm->Close();
  }
}

// ---- Waits -----------------------------------------------------------------------------------

TEST_F(CommEngine, WaitForInputSemantics) {
  EXPECT_FALSE(comm->WaitForInput(1, 100));  // closed: at once
  comm->SetEventMask({ceRxChar, ceCts});
  comm->Open();
  DWORD start = GetTickCount();
  EXPECT_FALSE(comm->WaitForInput(1, 80));
  EXPECT_GE(GetTickCount() - start, 80u);
  EXPECT_FALSE(comm->WaitForInput(1, 0));
  std::thread feeder([&] {
    Sleep(50);
    Feed("abc");
  });
  EXPECT_TRUE(comm->WaitForInput(3, 5000));
  feeder.join();
  EXPECT_EQ(comm->EventMask(), (TCommEvents{ceRxChar, ceCts}));  // restored
  DWORD mask = 0;
  GetCommMask(comm->GetHandle(), &mask);
  EXPECT_EQ(mask, EV_RXCHAR | EV_CTS);
  EXPECT_EQ(comm->InQueueCount(), 3u);
}

TEST_F(CommEngine, WaitForModemLineSemantics) {
  EXPECT_FALSE(comm->WaitForModemLine(mlDsr, 100));
  comm->Open();
  EXPECT_FALSE(comm->WaitForModemLine(mlDsr, 0));
  pair->SetLines(NullModemPair::kB, true, false);
  EXPECT_TRUE(comm->WaitForModemLine(mlDsr, 0));  // looked at once, and it is on
  std::thread raiser([&] {
    Sleep(50);
    pair->SetLines(NullModemPair::kB, true, true);
  });
  EXPECT_TRUE(comm->WaitForModemLine(mlCts, 5000));
  raiser.join();
  DWORD start = GetTickCount();
  EXPECT_FALSE(comm->WaitForModemLine(mlRing, 60));
  EXPECT_GE(GetTickCount() - start, 60u);
}

// ---- Line settings ---------------------------------------------------------------------------

TEST_F(CommEngine, LineSettingsAreStoredWhileClosedAndWrittenThroughWhileOpen) {
  comm->SetBaudRate(19200);
  comm->SetByteSize(3);
  EXPECT_EQ(comm->ByteSize(), 8);
  comm->SetByteSize(4);
  EXPECT_EQ(comm->ByteSize(), 4);
  comm->SetByteSize(8);
  comm->SetParity(pEven);
  EXPECT_TRUE(comm->GetPortSettings().dcb.Flags & DCB_fParity);
  comm->SetParity(pNone);
  EXPECT_FALSE(comm->GetPortSettings().dcb.Flags & DCB_fParity);
  comm->SetStopBits(sbTwo);
  comm->SetStreamProtocol(spXonXoff);
  EXPECT_EQ(comm->StreamProtocol(), spXonXoff);
  EXPECT_EQ(comm->GetPortSettings().dcb.XonChar, 0x11);
  comm->SetStreamProtocol(spNone);
  EXPECT_EQ(comm->StreamProtocol(), spNone);
  EXPECT_EQ(comm->GetPortSettings().dcb.Flags & 0x0011u, 0x0011u);
  comm->SetEventChar('#');
  EXPECT_EQ(comm->GetEventChar(), '#');

  comm->Open();
  comm->ApplySettings();  // what the serial component does when it opens
  DCB port{};
  ASSERT_TRUE(GetCommState(comm->GetHandle(), &port));
  EXPECT_EQ(port.BaudRate, 19200u);
  EXPECT_EQ(port.StopBits, TWOSTOPBITS);
  EXPECT_EQ(port.EvtChar, '#');
  comm->SetBaudRate(38400);
  ASSERT_TRUE(GetCommState(comm->GetHandle(), &port));
  EXPECT_EQ(port.BaudRate, 38400u);
  port.BaudRate = 57600;
  ASSERT_TRUE(SetCommState(comm->GetHandle(), &port));
  EXPECT_EQ(comm->BaudRate(), 57600u);  // getters read the port back
}

TEST_F(CommEngine, EventCharRaisesRxFlag) {
  TRecorder rec;
  comm->OnCommEvent = TOnCommEvent(&rec, &TRecorder::CommEvent);
  comm->SetEventMask({ceRxFlag});
  comm->Open();
  comm->SetEventChar('\r');
  ASSERT_EQ(comm->GetEventChar(), '\r');
  rec.calls.clear();
  Feed("12\r");
  ASSERT_TRUE(PumpUntil([&] { return !rec.calls.empty(); }));
  EXPECT_EQ(rec.calls[0], "event:2");
}

}  // namespace
