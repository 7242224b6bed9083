// The virtual null-modem pair: bytes and modem lines crossing, port events from line changes,
// break and error injection, removal, and the connection test and Plug and Play exchanges
// that the serial component runs over modem lines.
#include "platform/serial/nullmodem.h"
#include "platform/serial/winserial.h"
#include "platform/system/portmap.h"
#include "support/temp_config.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using qv::platform::CreateNullModemPair;
using qv::platform::NullModemPair;

HANDLE Open(const std::string& name) {
  return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, 0);
}

class NullModem : public ::testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    pair = CreateNullModemPair("nm" + std::to_string(getpid()) + "-" + std::to_string(++serial));
    ASSERT_TRUE(pair);
    a = Open(pair->PortName(NullModemPair::kA));
    ASSERT_NE(a, INVALID_HANDLE_VALUE) << GetLastError();
    ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    if (a != INVALID_HANDLE_VALUE) CloseHandle(a);
    if (b != INVALID_HANDLE_VALUE) CloseHandle(b);
    CloseHandle(ev);
  }
  void OpenB() {
    b = Open(pair->PortName(NullModemPair::kB));
    ASSERT_NE(b, INVALID_HANDLE_VALUE) << GetLastError();
  }
  // Starts a wait on `h` and returns whether it is pending (events filled in when not).
  bool StartWait(HANDLE h, DWORD* events, OVERLAPPED* ov) {
    ov->hEvent = ev;
    if (WaitCommEvent(h, events, ov)) return false;
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    return true;
  }
  DWORD WaitEvents(HANDLE h, DWORD mask) {
    EXPECT_TRUE(SetCommMask(h, mask));
    OVERLAPPED ov{};
    DWORD events = 0;
    if (StartWait(h, &events, &ov)) {
      if (WaitForSingleObject(ev, 5000) != WAIT_OBJECT_0) return 0xFFFFFFFF;
    }
    return events;
  }

  std::shared_ptr<NullModemPair> pair;
  HANDLE a = INVALID_HANDLE_VALUE;
  HANDLE b = INVALID_HANDLE_VALUE;
  HANDLE ev = 0;
};

TEST_F(NullModem, BytesCrossBetweenTwoOpenEnds) {
  OpenB();
  ASSERT_TRUE(SetCommMask(b, EV_RXCHAR));
  OVERLAPPED ov{};
  DWORD events = 0;
  ASSERT_TRUE(StartWait(b, &events, &ov));
  DWORD n = 0;
  OVERLAPPED wov{};
  ASSERT_TRUE(WriteFile(a, "hello", 5, &n, &wov));
  EXPECT_EQ(n, 5u);
  ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(events, EV_RXCHAR);
  COMSTAT st{};
  ASSERT_TRUE(ClearCommError(b, nullptr, &st));
  EXPECT_EQ(st.cbInQue, 5u);
  char buf[8];
  OVERLAPPED rov{};
  ASSERT_TRUE(ReadFile(b, buf, 5, &n, &rov));
  EXPECT_EQ(std::string(buf, n), "hello");
}

TEST_F(NullModem, TheTestCanActAsTheFarDeviceDirectly) {
  ASSERT_EQ(pair->Write(NullModemPair::kB, "xyz", 3), 3u);
  COMSTAT st{};
  ASSERT_TRUE(ClearCommError(a, nullptr, &st));
  EXPECT_EQ(st.cbInQue, 3u);
  DWORD n;
  OVERLAPPED ov{};
  ASSERT_TRUE(WriteFile(a, "ok", 2, &n, &ov));
  EXPECT_EQ(pair->Pending(NullModemPair::kB), 2u);
  char buf[4];
  ASSERT_EQ(pair->Read(NullModemPair::kB, buf, sizeof buf), 2u);
  EXPECT_EQ(std::string(buf, 2), "ok");
}

TEST_F(NullModem, ModemLinesCross) {
  OpenB();
  // Opening raised DTR and RTS on both ends.
  DWORD ms = 0;
  ASSERT_TRUE(GetCommModemStatus(b, &ms));
  EXPECT_EQ(ms, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  ASSERT_TRUE(EscapeCommFunction(a, CLRDTR));
  ASSERT_TRUE(GetCommModemStatus(b, &ms));
  EXPECT_EQ(ms, MS_CTS_ON);
  ASSERT_TRUE(EscapeCommFunction(a, CLRRTS));
  ASSERT_TRUE(GetCommModemStatus(b, &ms));
  EXPECT_EQ(ms, 0u);
  ASSERT_TRUE(EscapeCommFunction(a, SETDTR));
  ASSERT_TRUE(GetCommModemStatus(b, &ms));
  EXPECT_EQ(ms, MS_DSR_ON | MS_RLSD_ON);
  pair->SetRing(NullModemPair::kB, true);
  ASSERT_TRUE(GetCommModemStatus(b, &ms));
  EXPECT_TRUE(ms & MS_RING_ON);
  // Closing an end drops its lines.
  ASSERT_TRUE(CloseHandle(a));
  a = INVALID_HANDLE_VALUE;
  EXPECT_EQ(pair->ModemStatus(NullModemPair::kB) & (MS_DSR_ON | MS_CTS_ON), 0u);
}

TEST_F(NullModem, SetCommStateSetsTheControlLines) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(a, &dcb));
  dcb.Flags = (dcb.Flags & ~(DCB_fDtrControlMask | DCB_fRtsControlMask)) |
              (DTR_CONTROL_DISABLE << DCB_fDtrControlShift) |
              (RTS_CONTROL_ENABLE << DCB_fRtsControlShift);
  ASSERT_TRUE(SetCommState(a, &dcb));
  EXPECT_FALSE(pair->Dtr(NullModemPair::kA));
  EXPECT_TRUE(pair->Rts(NullModemPair::kA));
  EXPECT_EQ(pair->ModemStatus(NullModemPair::kB), MS_CTS_ON);
}

TEST_F(NullModem, LineChangesRaiseEvents) {
  pair->SetLines(NullModemPair::kB, true, true);  // before the mask: not reported
  ASSERT_TRUE(SetCommMask(a, EV_CTS | EV_DSR | EV_RLSD));
  OVERLAPPED ov{};
  DWORD events = 0;
  ASSERT_TRUE(StartWait(a, &events, &ov));
  EXPECT_EQ(WaitForSingleObject(ev, 100), WAIT_TIMEOUT);
  std::thread far([this] {
    Sleep(30);
    pair->SetLines(NullModemPair::kB, false, true);  // DTR off
  });
  ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
  far.join();
  EXPECT_EQ(events, EV_DSR | EV_RLSD);
  pair->SetLines(NullModemPair::kB, false, false);  // RTS off, no wait pending: remembered
  ASSERT_TRUE(StartWait(a, &events, &ov) == false);
  EXPECT_EQ(events, EV_CTS);
  // Masked out: nothing.
  ASSERT_TRUE(SetCommMask(a, EV_RXCHAR));
  pair->SetLines(NullModemPair::kB, true, true);
  ASSERT_TRUE(StartWait(a, &events, &ov));
  EXPECT_EQ(WaitForSingleObject(ev, 100), WAIT_TIMEOUT);
  ASSERT_TRUE(SetCommMask(a, EV_RXCHAR));
}

TEST_F(NullModem, ThreadExitEndsItsPendingWait) {
  ASSERT_TRUE(SetCommMask(a, EV_RXCHAR));
  OVERLAPPED ov{};
  ov.hEvent = ev;
  std::thread([&] {
    DWORD events = 0;  // dies with the thread: nothing may complete into it later
    EXPECT_FALSE(WaitCommEvent(a, &events, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  }).join();
  ASSERT_EQ(WaitForSingleObject(ev, 1000), WAIT_OBJECT_0);
  DWORD n;
  EXPECT_FALSE(GetOverlappedResult(a, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  pair->Write(NullModemPair::kB, "z", 1);
  DWORD events = 0;
  OVERLAPPED ov2{};
  EXPECT_TRUE(WaitCommEvent(a, &events, &ov2));  // a new wait is possible, and reports at once
  EXPECT_EQ(events, EV_RXCHAR);
}

TEST_F(NullModem, BreakAndErrorsAreReportedAndCleared) {
  ASSERT_TRUE(SetCommMask(a, EV_BREAK | EV_ERR));
  OVERLAPPED ov{};
  DWORD events = 0;
  ASSERT_TRUE(StartWait(a, &events, &ov));
  EXPECT_EQ(WaitForSingleObject(ev, 100), WAIT_TIMEOUT);
  pair->InjectBreak(NullModemPair::kA);
  ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(events, EV_BREAK);
  DWORD errors = 0;
  COMSTAT st{};
  ASSERT_TRUE(ClearCommError(a, &errors, &st));
  EXPECT_EQ(errors, CE_BREAK);
  ASSERT_TRUE(ClearCommError(a, &errors, &st));
  EXPECT_EQ(errors, 0u);
  pair->InjectError(NullModemPair::kA, CE_FRAME | CE_RXPARITY | CE_OVERRUN);
  EXPECT_EQ(WaitEvents(a, EV_BREAK | EV_ERR), EV_ERR);
  ASSERT_TRUE(ClearCommError(a, &errors, &st));
  EXPECT_EQ(errors, CE_FRAME | CE_RXPARITY | CE_OVERRUN);
}

TEST_F(NullModem, BreakCrossesFromTheOtherEnd) {
  OpenB();
  ASSERT_TRUE(SetCommBreak(a));
  ASSERT_TRUE(ClearCommBreak(a));
  DWORD errors = 0;
  COMSTAT st{};
  ASSERT_TRUE(ClearCommError(b, &errors, &st));
  EXPECT_EQ(errors, CE_BREAK);
}

TEST_F(NullModem, AbortOnErrorFailsTransfersUntilTheErrorIsCleared) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(a, &dcb));
  dcb.Flags |= DCB_fAbortOnError;
  ASSERT_TRUE(SetCommState(a, &dcb));
  COMMTIMEOUTS t{0, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(a, &t));
  char buf[4];
  OVERLAPPED ov{};
  ov.hEvent = ev;
  DWORD n;
  ASSERT_FALSE(ReadFile(a, buf, 4, &n, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  pair->InjectError(NullModemPair::kA, CE_FRAME);
  ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(a, &ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  OVERLAPPED wov{};
  EXPECT_FALSE(WriteFile(a, "x", 1, &n, &wov));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  DWORD errors = 0;
  ASSERT_TRUE(ClearCommError(a, &errors, nullptr));
  EXPECT_EQ(errors, CE_FRAME);
  EXPECT_TRUE(WriteFile(a, "x", 1, &n, &wov));
}

TEST_F(NullModem, LostBytesAreFlaggedAsReceiveOverrun) {
  pair->SetInputLimit(10);
  EXPECT_EQ(pair->Write(NullModemPair::kB, "0123456789ABCDEF", 16), 16u);
  DWORD errors = 0;
  COMSTAT st{};
  ASSERT_TRUE(ClearCommError(a, &errors, &st));
  EXPECT_EQ(errors, CE_RXOVER);
  EXPECT_EQ(st.cbInQue, 10u);
}

// The port takes up to 64 KiB from the device whatever queue size was set (a reader busy for a
// while loses nothing to a hang-up); past that the device keeps the rest until there is room.
TEST_F(NullModem, FullQueueTakesTheRestLater) {
  ASSERT_TRUE(SetupComm(a, 100, 100));
  constexpr std::size_t kHeld = 64 * 1024;
  std::string data;
  for (std::size_t i = 0; i < kHeld + 300; ++i) data += char(i % 251);
  pair->Write(NullModemPair::kB, data.data(), data.size());
  COMSTAT st{};
  DWORD errors = 0;
  ASSERT_TRUE(ClearCommError(a, &errors, &st));
  EXPECT_EQ(st.cbInQue, kHeld);
  EXPECT_EQ(errors, 0u);
  std::string got(data.size(), '\0');
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(a, got.data(), DWORD(got.size()), &n, nullptr));
  EXPECT_EQ(n, data.size());
  EXPECT_EQ(got, data);
}

// A device that goes away leaves what the port took readable: errors and count first (a full
// queue, the device still holding more, is an overrun), then the bytes; then the port has failed.
TEST_F(NullModem, WhatCameBeforeTheDeviceWentAwayStaysReadable) {
  constexpr std::size_t kHeld = 64 * 1024;
  const std::string data(kHeld + 10, 'v');
  pair->Write(NullModemPair::kB, data.data(), data.size());
  COMSTAT st{};
  DWORD errors = 0;
  ASSERT_TRUE(ClearCommError(a, &errors, &st));  // takes what the device has
  pair->Vanish();
  ASSERT_TRUE(ClearCommError(a, &errors, &st));
  EXPECT_EQ(errors, DWORD(CE_RXOVER));
  EXPECT_EQ(st.cbInQue, kHeld);
  std::string got(data.size(), '\0');
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(a, got.data(), DWORD(got.size()), &n, nullptr));
  EXPECT_EQ(n, kHeld);
  EXPECT_FALSE(ClearCommError(a, &errors, &st));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_REMOVED));
}

TEST_F(NullModem, ReceiveQueueKeepsEveryByteInOrderAcrossWrapsAndGrowth) {
  // Rounds of (bytes sent, bytes read) that wrap the ring, fill it, shrink and grow the size.
  struct Round {
    DWORD queue;
    std::size_t send, read;
  };
  const Round rounds[] = {{4096, 3000, 2000}, {4096, 3000, 3500}, {4096, 4096, 100}, {64, 2000, 4000},
                          {65536, 50000, 30000}, {65536, 10, 40000}};
  std::string sent, got;
  unsigned seed = 7;
  for (const Round& r : rounds) {
    ASSERT_TRUE(SetupComm(a, r.queue, 4096));
    std::string chunk(r.send, '\0');
    for (char& c : chunk) c = char(seed = seed * 1103515245u + 12345u);
    pair->Write(NullModemPair::kB, chunk.data(), chunk.size());
    sent += chunk;
    std::string buffer(r.read, '\0');
    DWORD n = 0;
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};  // take what is there
    ASSERT_TRUE(SetCommTimeouts(a, &t));
    ASSERT_TRUE(ReadFile(a, buffer.data(), DWORD(r.read), &n, nullptr));
    got.append(buffer, 0, n);
  }
  for (int i = 0; i < 100 && got.size() < sent.size(); ++i) {
    std::string buffer(65536, '\0');
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(a, buffer.data(), DWORD(buffer.size()), &n, nullptr));
    got.append(buffer, 0, n);
  }
  EXPECT_EQ(got.size(), sent.size());
  EXPECT_TRUE(got == sent);
}

TEST_F(NullModem, DroppedNulsAndTheEventCharacter) {
  // (fNull, event character, bytes) -> what is queued and whether EV_RXFLAG is raised.
  struct Case {
    bool dropNul;
    char flag;
    std::string in, queued;
    bool rxflag;
  };
  const Case cases[] = {{false, '#', std::string("a\0b#", 4), std::string("a\0b#", 4), true},
                        {true, '#', std::string("\0a\0\0b#\0", 7), "ab#", true},
                        {true, '\0', std::string("a\0b", 3), "ab", false},
                        {false, '\0', std::string("a\0b", 3), std::string("a\0b", 3), true},
                        {true, '#', std::string("\0\0", 2), "", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.queued);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(a, &dcb));
    dcb.Flags = c.dropNul ? (dcb.Flags | DCB_fNull) : (dcb.Flags & ~DWORD(DCB_fNull));
    dcb.EvtChar = c.flag;
    ASSERT_TRUE(SetCommState(a, &dcb));
    ASSERT_TRUE(PurgeComm(a, PURGE_RXCLEAR));
    ASSERT_TRUE(SetCommMask(a, EV_RXFLAG | EV_RXCHAR));
    pair->Write(NullModemPair::kB, c.in.data(), c.in.size());
    COMSTAT st{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(a, &errors, &st));
    std::string queued(st.cbInQue, '\0');
    DWORD n = 0;
    if (st.cbInQue) {
      ASSERT_TRUE(ReadFile(a, queued.data(), st.cbInQue, &n, nullptr));
    }
    EXPECT_EQ(queued, c.queued);
    OVERLAPPED ov{};
    DWORD events = 0;
    if (StartWait(a, &events, &ov)) {
      CancelIo(a);
      events = 0;
    }
    EXPECT_EQ((events & EV_RXFLAG) != 0, c.rxflag);
    EXPECT_EQ((events & EV_RXCHAR) != 0, !c.queued.empty());
  }
}

TEST_F(NullModem, VanishFailsPendingWaitsAndLaterOpens) {
  OpenB();
  ASSERT_TRUE(SetCommMask(a, EV_RXCHAR));
  OVERLAPPED ov{};
  DWORD events = 0;
  ASSERT_TRUE(StartWait(a, &events, &ov));
  pair->Vanish();
  ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
  DWORD n;
  EXPECT_FALSE(GetOverlappedResult(a, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
  EXPECT_FALSE(WaitCommEvent(a, &events, &ov));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
  OVERLAPPED wov{};
  EXPECT_FALSE(WriteFile(b, "x", 1, &n, &wov));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
  EXPECT_EQ(Open(pair->PortName(NullModemPair::kA)), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(NullModem, EndsAreNotSharedAndNamesAreUnique) {
  EXPECT_EQ(Open(pair->PortName(NullModemPair::kA)), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  DWORD error = 0;
  EXPECT_FALSE(CreateNullModemPair(pair->Name(), &error));
  EXPECT_EQ(error, ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateNullModemPair("bad/name", &error));
  EXPECT_EQ(error, ERROR_INVALID_NAME);
  const std::string name = pair->Name();
  CloseHandle(a);
  a = INVALID_HANDLE_VALUE;
  pair.reset();
  auto again = CreateNullModemPair(name, &error);
  EXPECT_TRUE(again) << error;
}

TEST_F(NullModem, VirtualEndsKeepEverySetting) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(a, &dcb));
  dcb.BaudRate = 1200;
  dcb.ByteSize = 5;
  dcb.Parity = MARKPARITY;
  dcb.StopBits = ONE5STOPBITS;
  ASSERT_TRUE(SetCommState(a, &dcb));
  DCB back{};
  ASSERT_TRUE(GetCommState(a, &back));
  EXPECT_EQ(back.BaudRate, 1200u);
  EXPECT_EQ(back.ByteSize, 5);
  EXPECT_EQ(back.Parity, MARKPARITY);
  EXPECT_EQ(back.StopBits, ONE5STOPBITS);
  // One and a half stop bits exist only with 5 data bits.
  for (BYTE size : {6, 7, 8}) {
    DCB bad = back;
    bad.ByteSize = size;
    EXPECT_FALSE(SetCommState(a, &bad)) << int(size);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  ASSERT_TRUE(GetCommState(a, &back));
  EXPECT_EQ(back.ByteSize, 5) << "a refused setting changed the port";
}

TEST_F(NullModem, NamedThroughThePortMap) {
  qv::test::TempConfig config("nullmodem-cfg");
  ASSERT_TRUE(config.Ok());
  DWORD error = 0;
  ASSERT_TRUE(qv::platform::AddUserMapping(203, pair->PortName(NullModemPair::kB), error)) << error;
  b = Open("\\\\?\\COM203");
  EXPECT_NE(b, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_TRUE(pair->IsOpen(NullModemPair::kB));
  qv::platform::RemoveUserMapping(203);
}

// The connection test: the host raises DTR and drops RTS, a device answers with DSR.
TEST_F(NullModem, ConnectionTestSeesDsrFromAnAttachedDevice) {
  ASSERT_TRUE(EscapeCommFunction(a, SETDTR));
  ASSERT_TRUE(EscapeCommFunction(a, CLRRTS));
  pair->SetLines(NullModemPair::kB, false, false);
  DWORD ms = 0;
  ASSERT_TRUE(GetCommModemStatus(a, &ms));
  EXPECT_FALSE(ms & MS_DSR_ON);
  // A device that powers up from DTR and raises its own DTR (our DSR).
  std::thread device([this] {
    for (int i = 0; i < 500 && !pair->Dtr(NullModemPair::kA); ++i) Sleep(1);
    pair->SetLines(NullModemPair::kB, true, false);
  });
  bool dsr = false;
  for (int i = 0; i < 2000 && !dsr; ++i) {
    ASSERT_TRUE(GetCommModemStatus(a, &ms));
    dsr = ms & MS_DSR_ON;
    if (!dsr) Sleep(1);
  }
  device.join();
  EXPECT_TRUE(dsr);
}

// The Plug and Play exchange: after DTR and RTS come up, the device sends its identification
// between "(" and ")".
TEST_F(NullModem, PlugAndPlayIdentificationExchange) {
  std::atomic<bool> stop{false};
  std::thread device([&] {
    bool sent = false;
    while (!stop && !sent) {
      if (pair->Dtr(NullModemPair::kA) && pair->Rts(NullModemPair::kA)) {
        const std::string id = "(\x01$ABC0001\\Scanner)";
        pair->Write(NullModemPair::kB, id.data(), id.size());
        sent = true;
      }
      Sleep(1);
    }
  });
  ASSERT_TRUE(EscapeCommFunction(a, CLRDTR));
  ASSERT_TRUE(EscapeCommFunction(a, CLRRTS));
  Sleep(20);
  ASSERT_TRUE(EscapeCommFunction(a, SETDTR));
  Sleep(20);
  ASSERT_TRUE(EscapeCommFunction(a, SETRTS));
  COMMTIMEOUTS t{0, 0, 200, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(a, &t));
  std::string got;
  for (;;) {
    char c;
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(a, &c, 1, &n, nullptr));
    if (n == 0) break;  // 200 ms of silence
    got += c;
    if (c == ')') break;
  }
  stop = true;
  device.join();
  EXPECT_EQ(got, "(\x01$ABC0001\\Scanner)");
}

}  // namespace
