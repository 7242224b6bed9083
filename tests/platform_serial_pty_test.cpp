// The serial port API on real terminal devices: the port opens a pseudo-terminal slave and the
// test plays the far device on the master.
#include "platform/serial/internal/serial_device.h"
#include "platform/serial/winserial.h"
#include "platform/system/portmap.h"
#include "support/pty.h"
#include "support/temp_config.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using qv::test::PtyPair;

HANDLE Open(const std::string& name) {
  return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, 0);
}

std::int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until the port's receive queue holds at least `count` bytes; returns what it holds.
DWORD WaitQueued(HANDLE h, DWORD count, int timeoutMs = 5000) {
  COMSTAT st{};
  DWORD errors = 0;
  const auto end = NowMs() + timeoutMs;
  while (ClearCommError(h, &errors, &st) && st.cbInQue < count && NowMs() < end) Sleep(5);
  return st.cbInQue;
}

class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    h = Open(pty.slave());
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    CloseHandle(ev);
  }
  void SetTimeouts(DWORD interval, DWORD mult, DWORD constant, DWORD wmult = 0, DWORD wconst = 0) {
    COMMTIMEOUTS t{interval, mult, constant, wmult, wconst};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
  }

  PtyPair pty;
  HANDLE h = INVALID_HANDLE_VALUE;
  HANDLE ev = 0;
};

// ---- Opening ----------------------------------------------------------------------------------

TEST(SerialOpen, MissingDeviceIsFileNotFound) {
  EXPECT_EQ(Open("/dev/qv-no-such-port"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open("virtual:qv-no-such-pair/a"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open("\\\\?\\not-a-port"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(SerialOpen, RegularFileIsNotAPort) {
  char path[] = "/tmp/qv-serial-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);
  EXPECT_NE(qv::platform::SysErrorMessage(GetLastError()).find("not a serial device"), std::string::npos);
  unlink(path);
}

TEST(SerialOpen, OnlyOpenExistingIsAccepted) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  HANDLE h = CreateFileA(pty.slave().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, 2 /*CREATE_ALWAYS*/,
                         FILE_FLAG_OVERLAPPED, 0);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(SerialOpen, SecondOpenIsASharingViolationUntilClosed) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  HANDLE h = Open(pty.slave());
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(pty.slave()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  ASSERT_TRUE(CloseHandle(h));
  HANDLE again = Open(pty.slave());
  EXPECT_NE(again, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(again);
}

TEST(SerialOpen, AnotherProcessCannotOpenABusyPort) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  HANDLE h = Open(pty.slave());
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child's own table of open ports is a copy of the parent's; the lock is what counts
    // between processes, so go to the device directly under another name.
    HANDLE c = Open(pty.slave());
    _exit(c == INVALID_HANDLE_VALUE ? int(GetLastError() & 0x7F) : 100);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), int(ERROR_SHARING_VIOLATION));
  CloseHandle(h);
}

TEST(SerialOpen, ComNameResolvesThroughThePortMap) {
  qv::test::TempConfig config("serial-cfg");
  ASSERT_TRUE(config.Ok());
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  DWORD error = 0;
  ASSERT_TRUE(qv::platform::AddUserMapping(201, pty.slave(), error)) << error;
  HANDLE h = Open("\\\\?\\COM201");
  EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(h);
  h = Open("\\\\?\\COM202");
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  qv::platform::RemoveUserMapping(201);
}

// ---- Line settings ----------------------------------------------------------------------------

TEST_F(PtyPort, SettingsRoundTripIncludingCustomBaudRates) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  for (DWORD baud : {DWORD(9600), DWORD(115200), DWORD(250000), DWORD(31250)}) {
    dcb.BaudRate = baud;
    dcb.StopBits = TWOSTOPBITS;
    dcb.Flags |= DCB_fOutX | DCB_fInX;
    dcb.XonChar = 0x01;
    dcb.XoffChar = 0x02;
    dcb.EvtChar = '\r';
    dcb.XonLim = 100;
    dcb.XoffLim = 200;
    ASSERT_TRUE(SetCommState(h, &dcb)) << baud << " " << GetLastError();
    DCB back{};
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(back.BaudRate, baud);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_TRUE(back.Flags & DCB_fOutX);
    EXPECT_TRUE(back.Flags & DCB_fInX);
    EXPECT_EQ(back.XonChar, 0x01);
    EXPECT_EQ(back.XoffChar, 0x02);
    // Fields the terminal cannot hold are remembered.
    EXPECT_EQ(back.EvtChar, '\r');
    EXPECT_EQ(back.XonLim, 100);
    EXPECT_EQ(back.XoffLim, 200);
  }
}

TEST_F(PtyPort, HardwareFlowControlReadsBack) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));
  dcb.Flags = (dcb.Flags | 0x2015) & 0x2CFF;  // CTS flow, RTS handshake
  ASSERT_TRUE(SetCommState(h, &dcb));
  DCB back{};
  ASSERT_TRUE(GetCommState(h, &back));
  EXPECT_TRUE(back.Flags & DCB_fOutxCtsFlow);
  EXPECT_EQ((back.Flags & DCB_fRtsControlMask) >> DCB_fRtsControlShift, RTS_CONTROL_HANDSHAKE);
  dcb.Flags = (dcb.Flags | 0x0011) & 0x4CFB;  // no flow control
  ASSERT_TRUE(SetCommState(h, &dcb));
  ASSERT_TRUE(GetCommState(h, &back));
  EXPECT_FALSE(back.Flags & DCB_fOutxCtsFlow);
}

TEST_F(PtyPort, WhatAPtyCannotDoIsRefusedAndChangesNothing) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));
  dcb.BaudRate = 57600;
  ASSERT_TRUE(SetCommState(h, &dcb));
  // A pty keeps 8 data bits and no parity whatever it is told.
  DCB seven = dcb;
  seven.BaudRate = 1200;
  seven.ByteSize = 7;
  EXPECT_FALSE(SetCommState(h, &seven));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  DCB even = dcb;
  even.Parity = EVENPARITY;
  EXPECT_FALSE(SetCommState(h, &even));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  DCB back{};
  ASSERT_TRUE(GetCommState(h, &back));
  EXPECT_EQ(back.BaudRate, 57600u);
  EXPECT_EQ(back.ByteSize, 8);
  EXPECT_EQ(back.Parity, NOPARITY);
}

// What a terminal is told for each frame. A pty holds no parity and only 8 data bits (the kernel
// forces them), so the bits are checked as they are handed to the driver.
TEST(TerminalFrame, DataBitsParityAndStopBitsReachTheDriverAsSet) {
  const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
  const tcflag_t parities[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR, PARENB | CMSPAR};
  for (BYTE bits = 5; bits <= 8; ++bits)
    for (BYTE parity = NOPARITY; parity <= SPACEPARITY; ++parity)
      for (BYTE stop : {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS}) {
        DCB dcb{};
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = bits;
        dcb.Parity = parity;
        dcb.StopBits = stop;
        if (qv::platform::ValidateDcb(dcb) != ERROR_SUCCESS) continue;  // 1.5 only with 5 bits
        EXPECT_EQ(qv::platform::FrameModeBits(dcb), sizes[bits - 5] | parities[parity] | (stop ? CSTOPB : 0))
            << int(bits) << " bits, parity " << int(parity) << ", stop " << int(stop);
      }
}

// A setting no port takes (ERROR_INVALID_PARAMETER) or one Linux has no equivalent for
// (ERROR_NOT_SUPPORTED): refused, and the port keeps the settings it had.
struct RefusedSetting {
  const char* name;
  void (*change)(DCB& dcb);
  DWORD error;
};

const RefusedSetting kRefusedSettings[] = {
    {"NineDataBits", [](DCB& d) { d.ByteSize = 9; }, ERROR_INVALID_PARAMETER},
    {"FourDataBits", [](DCB& d) { d.ByteSize = 4; }, ERROR_INVALID_PARAMETER},
    {"NoBaudRate", [](DCB& d) { d.BaudRate = 0; }, ERROR_INVALID_PARAMETER},
    {"UnknownParity", [](DCB& d) { d.Parity = 7; }, ERROR_INVALID_PARAMETER},
    {"XonSameAsXoff",
     [](DCB& d) {
       d.Flags |= DCB_fOutX;
       d.XonChar = d.XoffChar = 0x11;
     },
     ERROR_INVALID_PARAMETER},
    {"OneAndAHalfStopBitsWithEightDataBits", [](DCB& d) { d.StopBits = ONE5STOPBITS; }, ERROR_INVALID_PARAMETER},
    {"DsrOutputFlow", [](DCB& d) { d.Flags |= DCB_fOutxDsrFlow; }, ERROR_NOT_SUPPORTED},
    {"RtsToggle",
     [](DCB& d) {
       d.Flags = (d.Flags & ~DCB_fRtsControlMask) | (RTS_CONTROL_TOGGLE << DCB_fRtsControlShift);
     },
     ERROR_NOT_SUPPORTED},
};

class PtyPortRefuses : public PtyPort, public ::testing::WithParamInterface<RefusedSetting> {};

TEST_P(PtyPortRefuses, TheSettingAndKeepsTheOldOnes) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));
  DCB bad = dcb;
  GetParam().change(bad);
  EXPECT_FALSE(SetCommState(h, &bad));
  EXPECT_EQ(GetLastError(), GetParam().error);
  DCB back{};
  ASSERT_TRUE(GetCommState(h, &back));
  EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0);
}

INSTANTIATE_TEST_SUITE_P(Dcb, PtyPortRefuses, ::testing::ValuesIn(kRefusedSettings),
                         [](const ::testing::TestParamInfo<RefusedSetting>& row) { return std::string(row.param.name); });

TEST_F(PtyPort, InvalidAndUnsupportedSettingsAreRefused) {
  EXPECT_FALSE(SetCommState(h, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(PtyPort, CommConfigSizesAndContents) {
  COMMCONFIG cfg{};
  DWORD size = 10;
  EXPECT_FALSE(GetCommConfig(h, &cfg, &size));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 52u);
  // The caller may pass the record's own size field as the size.
  cfg.dwSize = 52;
  ASSERT_TRUE(GetCommConfig(h, &cfg, &cfg.dwSize));
  EXPECT_EQ(cfg.dwSize, 52u);
  EXPECT_EQ(cfg.wVersion, 1);
  EXPECT_EQ(cfg.dcb.DCBlength, 28u);
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));
  EXPECT_EQ(std::memcmp(&cfg.dcb, &dcb, sizeof dcb), 0);
}

TEST(SerialDefaults, DefaultConfigIsTheSystemDefault) {
  COMMCONFIG cfg{};
  DWORD size = 51;
  EXPECT_FALSE(GetDefaultCommConfigA("COM1", &cfg, &size));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 52u);
  cfg.dwSize = 52;
  ASSERT_TRUE(GetDefaultCommConfigA("COM1", &cfg, &cfg.dwSize));
  EXPECT_EQ(cfg.dwSize, 52u);
  EXPECT_EQ(cfg.wVersion, 1);
  EXPECT_EQ(cfg.dcb.DCBlength, 28u);
  EXPECT_EQ(cfg.dcb.BaudRate, 9600u);
  EXPECT_EQ(cfg.dcb.ByteSize, 8);
  EXPECT_EQ(cfg.dcb.Parity, NOPARITY);
  EXPECT_EQ(cfg.dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(cfg.dcb.Flags, DCB_fBinary | (1u << 4) | (1u << 12));
  EXPECT_EQ(cfg.dcb.XonLim, 2048);
  EXPECT_EQ(cfg.dcb.XoffLim, 512);
  EXPECT_EQ(cfg.dcb.XonChar, 0x11);
  EXPECT_EQ(cfg.dcb.XoffChar, 0x13);
  EXPECT_FALSE(GetDefaultCommConfigA("printer", &cfg, &cfg.dwSize));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  // Every name CreateFileA opens gets the defaults too, whatever its device kind.
  for (const char* name : {"\\\\.\\COM3", "/dev/ttyS0", "virtual:pair/a", "rfc2217://127.0.0.1:7000",
                           "tcp://[::1]:4001"})
    EXPECT_TRUE(GetDefaultCommConfigA(name, &cfg, &cfg.dwSize)) << name;
}

TEST(SerialDefaults, SettingsDialogWithoutGuiFailsAndChangesNothing) {
  COMMCONFIG cfg{};
  cfg.dwSize = 52;
  cfg.dcb.BaudRate = 4800;
  COMMCONFIG before = cfg;
  EXPECT_FALSE(CommConfigDialogA("COM1", 0, &cfg));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(std::memcmp(&cfg, &before, sizeof cfg), 0);
  qv::platform::SetCommConfigDialogHook([](const char* name, HWND, COMMCONFIG* c) -> BOOL {
    if (std::string(name) != "COM3") return FALSE;
    c->dcb.BaudRate = 38400;
    return TRUE;
  });
  EXPECT_TRUE(CommConfigDialogA("COM3", 0, &cfg));
  EXPECT_EQ(cfg.dcb.BaudRate, 38400u);
  qv::platform::SetCommConfigDialogHook(nullptr);
  EXPECT_FALSE(CommConfigDialogA("COM3", 0, &cfg));
}

TEST_F(PtyPort, PropertiesReportQueueSizes) {
  COMMPROP p{};
  ASSERT_TRUE(GetCommProperties(h, &p));
  EXPECT_EQ(p.dwCurrentRxQueue, 4096u);
  ASSERT_TRUE(SetupComm(h, 1000, 2000));
  ASSERT_TRUE(GetCommProperties(h, &p));
  EXPECT_EQ(p.dwCurrentRxQueue, 1000u);
  EXPECT_EQ(p.dwCurrentTxQueue, 2000u);
  EXPECT_EQ(p.dwMaxBaud, BAUD_USER);
  EXPECT_EQ(p.wPacketLength, sizeof(COMMPROP));
  // A pty has no modem lines and says so.
  EXPECT_FALSE(p.dwProvCapabilities & PCF_RTSCTS);
  EXPECT_FALSE(SetupComm(h, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(PtyPort, ModemLinesOfAPtyAreNoneAndEscapesDoNoHarm) {
  DWORD ms = 0xFF;
  ASSERT_TRUE(GetCommModemStatus(h, &ms));
  EXPECT_EQ(ms, 0u);
  for (DWORD f : {SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK, SETXOFF, SETXON})
    EXPECT_TRUE(EscapeCommFunction(h, f)) << f << " " << GetLastError();
  EXPECT_FALSE(EscapeCommFunction(h, 99));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// ---- Transfers and time-outs ------------------------------------------------------------------

TEST_F(PtyPort, AllZeroTimeoutsWaitForTheWholeCount) {
  SetTimeouts(0, 0, 0);
  char buf[8] = {};
  OVERLAPPED ov{};
  ov.hEvent = ev;
  DWORD n = 99;
  ASSERT_FALSE(ReadFile(h, buf, 5, &n, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(ov.Internal, 0x103u);
  pty.Write("ab");
  EXPECT_EQ(WaitForSingleObject(ev, 200), WAIT_TIMEOUT);
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  pty.Write("cde");
  ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(std::string(buf, 5), "abcde");
  EXPECT_EQ(ov.Internal, 0u);
  EXPECT_EQ(ov.InternalHigh, 5u);
}

TEST_F(PtyPort, MaxIntervalWithZeroTotalsReturnsAtOnce) {
  SetTimeouts(MAXDWORD, 0, 0);
  char buf[16];
  OVERLAPPED ov{};
  ov.hEvent = ev;
  DWORD n = 99;
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, &ov));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);  // signalled as on completion
  pty.Write("xyz");
  ASSERT_EQ(WaitQueued(h, 3), 3u);
  ResetEvent(ev);
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, &ov));
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(std::string(buf, 3), "xyz");
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
  EXPECT_EQ(ov.Internal, 0u);
  EXPECT_EQ(ov.InternalHigh, 3u);
}

// An event keeps the last port it served attached; used with another port in between, each
// wait on it must still watch the port its read is pending on.
TEST_F(PtyPort, OneEventServesTwoPortsInTurn) {
  PtyPair other;
  ASSERT_TRUE(other.ok());
  HANDLE h2 = Open(other.slave());
  ASSERT_NE(h2, INVALID_HANDLE_VALUE);
  PtyPair* pairs[] = {&pty, &other, &pty, &other};
  HANDLE ports[] = {h, h2, h, h2};
  for (int i = 0; i < 4; ++i) {
    char buf[4] = {};
    OVERLAPPED ov{};
    ov.hEvent = ev;
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(ports[i], buf, 3, &n, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    std::thread writer([&] {
      Sleep(20);
      pairs[i]->Write("abc");
    });
    EXPECT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0) << "round " << i;
    writer.join();
    ASSERT_TRUE(GetOverlappedResult(ports[i], &ov, &n, TRUE));
    EXPECT_EQ(std::string(buf, n), "abc");
  }
  CloseHandle(h2);
}

TEST_F(PtyPort, TotalTimeoutEndsAReadWithFewerBytes) {
  SetTimeouts(0, 0, 300);
  pty.Write("123");
  ASSERT_EQ(WaitQueued(h, 3), 3u);
  char buf[10];
  OVERLAPPED ov{};
  ov.hEvent = ev;
  DWORD n = 0;
  const auto start = NowMs();
  ASSERT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
  const auto elapsed = NowMs() - start;
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(std::string(buf, 3), "123");
  EXPECT_GE(elapsed, 250);
  EXPECT_LT(elapsed, 5000);
}

TEST_F(PtyPort, MultiplierScalesTheTotalTimeout) {
  SetTimeouts(0, 100, 0);  // 100 ms a byte: 4 bytes, 400 ms
  char buf[4];
  DWORD n = 0;
  const auto start = NowMs();
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));  // synchronous form
  const auto elapsed = NowMs() - start;
  EXPECT_EQ(n, 0u);
  EXPECT_GE(elapsed, 350);
}

TEST_F(PtyPort, IntervalTimeoutEndsAReadAfterSilence) {
  SetTimeouts(100, 0, 0);
  char buf[50];
  OVERLAPPED ov{};
  ov.hEvent = ev;
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  // No byte yet: the interval does not run.
  EXPECT_EQ(WaitForSingleObject(ev, 300), WAIT_TIMEOUT);
  pty.Write("hello");
  ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(std::string(buf, n), "hello");
}

TEST_F(PtyPort, ReturnOnFirstByteMode) {
  SetTimeouts(MAXDWORD, MAXDWORD, 2000);
  char buf[50];
  OVERLAPPED ov{};
  ov.hEvent = ev;
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  const auto start = NowMs();
  pty.Write("Q");
  ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(n, 1u);
  EXPECT_LT(NowMs() - start, 1500);
}

TEST_F(PtyPort, WriteCrossesAndCompletesWithTxEmpty) {
  ASSERT_TRUE(SetCommMask(h, EV_TXEMPTY));
  OVERLAPPED wov{};
  wov.hEvent = ev;
  DWORD n = 0;
  BOOL ok = WriteFile(h, "ping", 4, &n, &wov);
  if (!ok) {
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(h, &wov, &n, TRUE));
  }
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(pty.Read(4), "ping");
  HANDLE wev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED eov{};
  eov.hEvent = wev;
  DWORD events = 0;
  if (!WaitCommEvent(h, &events, &eov)) {
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_EQ(WaitForSingleObject(wev, 5000), WAIT_OBJECT_0);
  }
  EXPECT_EQ(events, EV_TXEMPTY);
  CloseHandle(wev);
}

TEST_F(PtyPort, WriteThatCannotDrainTimesOutAsSuccessWithFewerBytes) {
  SetTimeouts(0, 0, 0, 0, 300);
  // Nobody reads the master: the pty buffer fills and the rest of the block waits.
  std::vector<char> block(256 * 1024, 'w');
  OVERLAPPED ov{};
  ov.hEvent = ev;
  DWORD n = 0;
  ASSERT_FALSE(WriteFile(h, block.data(), DWORD(block.size()), &n, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_GT(n, 0u);
  EXPECT_LT(n, block.size());
  COMSTAT st{};
  ASSERT_TRUE(ClearCommError(h, nullptr, &st));
  EXPECT_EQ(st.cbOutQue, 0u);  // nothing of that write is left waiting in the port
}

TEST_F(PtyPort, WriteBufferMayBeReusedWhilePending) {
  SetTimeouts(0, 0, 0, 0, 0);
  std::vector<char> block(64 * 1024);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = char('a' + i % 26);
  const std::vector<char> expected = block;
  OVERLAPPED ov{};
  ov.hEvent = ev;
  DWORD n = 0;
  BOOL ok = WriteFile(h, block.data(), DWORD(block.size()), &n, &ov);
  ASSERT_TRUE(ok || GetLastError() == ERROR_IO_PENDING);
  std::fill(block.begin(), block.end(), 'X');  // the port copied the bytes
  // The waiting thread drives the pending write; the far device reads meanwhile.
  std::string got;
  std::thread device([&] { got = pty.Read(expected.size()); });
  ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
  device.join();
  EXPECT_EQ(n, expected.size());
  EXPECT_EQ(got, std::string(expected.begin(), expected.end()));
}

TEST_F(PtyPort, EventlessOverlappedCompletesOnThePortHandle) {
  SetTimeouts(0, 0, 0);
  char buf[3];
  OVERLAPPED ov{};  // no event: the port object is signalled
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(h, buf, 3, &n, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(WaitForSingleObject(h, 50), WAIT_TIMEOUT);
  pty.Write("abc");
  ASSERT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(std::string(buf, 3), "abc");
}

TEST_F(PtyPort, RecordInUseCannotStartASecondTransfer) {
  SetTimeouts(0, 0, 0);
  char buf[4];
  OVERLAPPED ov{};
  ov.hEvent = ev;
  DWORD n;
  ASSERT_FALSE(ReadFile(h, buf, 4, &n, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_FALSE(ReadFile(h, buf, 4, &n, &ov));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, &ov));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(CancelIo(h));
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  // Nor a read that would complete at once, while a wait holds the record.
  ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
  DWORD events = 0;
  ASSERT_FALSE(WaitCommEvent(h, &events, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  SetTimeouts(MAXDWORD, 0, 0);
  EXPECT_FALSE(ReadFile(h, buf, 4, &n, &ov));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(CancelIo(h));
}

TEST_F(PtyPort, CancelIoEndsOnlyTheCallingThreadsTransfersAndCancelIoExTheOneNamed) {
  SetTimeouts(0, 0, 0);
  char buf[4];
  OVERLAPPED ov{};
  ov.hEvent = ev;
  DWORD n;
  ASSERT_FALSE(ReadFile(h, buf, 4, &n, &ov));
  std::thread([this] { EXPECT_TRUE(CancelIo(h)); }).join();
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  ASSERT_TRUE(CancelIo(h));
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

  // By its OVERLAPPED, from another thread: only that one ends.
  ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
  OVERLAPPED waitOv{};
  waitOv.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD events = 0;
  ASSERT_FALSE(ReadFile(h, buf, 4, &n, &ov));
  ASSERT_FALSE(WaitCommEvent(h, &events, &waitOv));
  std::thread([&] { EXPECT_TRUE(CancelIoEx(h, &waitOv)); }).join();
  EXPECT_FALSE(GetOverlappedResult(h, &waitOv, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  EXPECT_FALSE(CancelIoEx(h, &waitOv));
  EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
  EXPECT_TRUE(CancelIoEx(h, nullptr));
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  CloseHandle(waitOv.hEvent);
}

// ---- Receive queue ----------------------------------------------------------------------------

TEST_F(PtyPort, QueueCountsWhatArrived) {
  ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
  OVERLAPPED ov{};
  ov.hEvent = ev;
  DWORD events = 0;
  ASSERT_FALSE(WaitCommEvent(h, &events, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  std::string data(100, 'q');
  pty.Write(data);
  ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(events, EV_RXCHAR);
  EXPECT_EQ(WaitQueued(h, 100), 100u);
  DWORD errors = 1;
  COMSTAT st{};
  ASSERT_TRUE(ClearCommError(h, &errors, &st));
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(st.cbInQue, 100u);
}

// A queue set smaller than 64 KiB still takes what the kernel has (a hang-up would discard it),
// and reports filling past 80% of the size set.
TEST_F(PtyPort, ASmallQueueTakesWhatTheKernelHasAndLosesNothing) {
  ASSERT_TRUE(SetupComm(h, 1000, 1000));
  ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_RX80FULL));
  std::string data;
  for (int i = 0; i < 3000; ++i) data += char('A' + i % 23);
  ASSERT_EQ(pty.Write(data), data.size());
  ASSERT_EQ(WaitQueued(h, 3000), 3000u);
  DWORD errors = 0;
  COMSTAT st{};
  ASSERT_TRUE(ClearCommError(h, &errors, &st));
  EXPECT_EQ(st.cbInQue, 3000u);
  EXPECT_EQ(errors, 0u);
  DWORD events = 0;
  OVERLAPPED eov{};
  eov.hEvent = ev;
  ASSERT_TRUE(WaitCommEvent(h, &events, &eov));  // remembered while no wait was pending
  EXPECT_EQ(events, EV_RXCHAR | EV_RX80FULL);

  SetTimeouts(0, 0, 5000);
  std::string got(data.size(), '\0');
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(h, got.data(), DWORD(got.size()), &n, nullptr));
  EXPECT_EQ(n, data.size());
  EXPECT_EQ(got, data);
  ASSERT_TRUE(ClearCommError(h, &errors, &st));
  EXPECT_EQ(errors, 0u);
}

TEST_F(PtyPort, PurgeDropsQueuedBytesAndAbortsReads) {
  pty.Write(std::string(50, 'p'));
  ASSERT_EQ(WaitQueued(h, 50), 50u);
  ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
  COMSTAT st{};
  ASSERT_TRUE(ClearCommError(h, nullptr, &st));
  EXPECT_EQ(st.cbInQue, 0u);

  SetTimeouts(0, 0, 0);
  char buf[10];
  OVERLAPPED ov{};
  ov.hEvent = ev;
  DWORD n;
  ASSERT_FALSE(ReadFile(h, buf, 10, &n, &ov));
  ASSERT_TRUE(PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR));
  ASSERT_EQ(WaitForSingleObject(ev, 1000), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(PurgeComm(h, 0x100));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(PtyPort, EventCharacterRaisesRxFlag) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));
  dcb.EvtChar = '#';
  ASSERT_TRUE(SetCommState(h, &dcb));
  ASSERT_TRUE(SetCommMask(h, EV_RXFLAG));
  OVERLAPPED ov{};
  ov.hEvent = ev;
  DWORD events = 0;
  ASSERT_FALSE(WaitCommEvent(h, &events, &ov));
  pty.Write("abc");
  EXPECT_EQ(WaitForSingleObject(ev, 200), WAIT_TIMEOUT);
  pty.Write("d#e");
  ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(events, EV_RXFLAG);
}

// ---- Port events ------------------------------------------------------------------------------

TEST_F(PtyPort, WaitBeforeAMaskIsSetIsAnInvalidParameter) {
  OVERLAPPED ov{};
  ov.hEvent = ev;
  DWORD events = 123;
  EXPECT_FALSE(WaitCommEvent(h, &events, &ov));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(events, 0u);
}

TEST_F(PtyPort, OnlyOneWaitAtATime) {
  ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
  OVERLAPPED a{}, b{};
  a.hEvent = ev;
  DWORD e1, e2;
  ASSERT_FALSE(WaitCommEvent(h, &e1, &a));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_FALSE(WaitCommEvent(h, &e2, &b));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
}

TEST_F(PtyPort, MaskChangeCompletesAPendingWaitWithZero) {
  ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
  DWORD events = 0xDEAD;
  std::atomic<DWORD> waitResult{0};
  std::atomic<bool> started{false};
  std::thread waiter([&] {
    HANDLE wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = wake;
    if (!WaitCommEvent(h, &events, &ov) && GetLastError() == ERROR_IO_PENDING) {
      started = true;
      waitResult = WaitForSingleObject(wake, 10000);
      DWORD n;
      EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
    }
    CloseHandle(wake);
  });
  while (!started) Sleep(1);
  Sleep(50);
  ASSERT_TRUE(SetCommMask(h, EV_RX80FULL));
  waiter.join();
  EXPECT_EQ(waitResult.load(), WAIT_OBJECT_0);
  EXPECT_EQ(events, 0u);
}

TEST_F(PtyPort, IdlePendingWaitCostsNoCpu) {
  ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
  std::atomic<bool> started{false};
  DWORD events = 0;
  std::thread waiter([&] {
    HANDLE wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = wake;
    if (!WaitCommEvent(h, &events, &ov)) {
      started = true;
      WaitForSingleObject(wake, INFINITE);
    }
    CloseHandle(wake);
  });
  while (!started) Sleep(1);
  Sleep(20);
  clockid_t clock;
  ASSERT_EQ(pthread_getcpuclockid(waiter.native_handle(), &clock), 0);
  timespec a, b;
  clock_gettime(clock, &a);
  Sleep(300);
  clock_gettime(clock, &b);
  const double usedMs = (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6;
  EXPECT_LT(usedMs, 5.0);
  pty.Write("!");
  waiter.join();
  EXPECT_EQ(events, EV_RXCHAR);
}

TEST_F(PtyPort, ReadsAndWaitsRunOnDifferentThreadsAtOnce) {
  // The shape of the communication engine: one thread waits for port events, the other reads
  // what the events announce.
  ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
  SetTimeouts(MAXDWORD, 0, 0);
  std::atomic<bool> stop{false};
  std::atomic<int> notifications{0};
  std::thread eventThread([&] {
    HANDLE wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    while (!stop) {
      OVERLAPPED ov{};
      ov.hEvent = wake;
      DWORD w = 0;
      if (!WaitCommEvent(h, &w, &ov)) {
        if (GetLastError() != ERROR_IO_PENDING) break;
        WaitForSingleObject(wake, INFINITE);
      }
      if (w) notifications++;
    }
    CloseHandle(wake);
  });
  std::string sent;
  std::thread device([&] {
    for (int i = 0; i < 200; ++i) {
      std::string chunk = std::to_string(i) + ",";
      pty.Write(chunk);
      if (i % 20 == 0) Sleep(2);
    }
  });
  for (int i = 0; i < 200; ++i) sent += std::to_string(i) + ",";
  std::string got;
  HANDLE rev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const auto end = NowMs() + 10000;
  while (got.size() < sent.size() && NowMs() < end) {
    char buf[256];
    OVERLAPPED ov{};
    ov.hEvent = rev;
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, &ov));
    got.append(buf, n);
    if (!n) Sleep(1);
  }
  device.join();
  stop = true;
  ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));  // completes the pending wait
  eventThread.join();
  CloseHandle(rev);
  EXPECT_EQ(got, sent);
  EXPECT_GT(notifications.load(), 0);
}

// ---- Removal and close ------------------------------------------------------------------------

TEST_F(PtyPort, VanishingMasterFailsThePendingWaitAsRemoval) {
  ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
  OVERLAPPED ov{};
  ov.hEvent = ev;
  DWORD events = 0;
  ASSERT_FALSE(WaitCommEvent(h, &events, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  pty.CloseMaster();
  ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
  DWORD n;
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
  const DWORD err = GetLastError();
  EXPECT_NE(err, ERROR_IO_PENDING);
  EXPECT_NE(err, ERROR_INVALID_PARAMETER);
  EXPECT_NE(err, ERROR_INVALID_HANDLE);
  EXPECT_EQ(err, ERROR_DEVICE_REMOVED);
  EXPECT_EQ(events, 0u);
  // The port stays failed: new operations fail at once, with the same reason.
  EXPECT_FALSE(WaitCommEvent(h, &events, &ov));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
  char buf[4];
  EXPECT_FALSE(ReadFile(h, buf, 4, &n, &ov));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
  COMSTAT st;
  EXPECT_FALSE(ClearCommError(h, nullptr, &st));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
  EXPECT_TRUE(CloseHandle(h));
  h = INVALID_HANDLE_VALUE;
}

TEST_F(PtyPort, RemovalIsFoundWithoutAPendingWaitToo) {
  pty.CloseMaster();
  COMSTAT st;
  EXPECT_FALSE(ClearCommError(h, nullptr, &st));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
}

TEST_F(PtyPort, ClosingTheHandleEndsPendingOperations) {
  ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
  SetTimeouts(0, 0, 0);
  HANDLE wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED wov{};
  wov.hEvent = wake;
  DWORD events = 0;
  ASSERT_FALSE(WaitCommEvent(h, &events, &wov));
  std::atomic<DWORD> waited{0};
  std::thread waiter([&] { waited = WaitForSingleObject(wake, 10000); });
  char buf[10];
  OVERLAPPED rov{};
  rov.hEvent = ev;
  DWORD n;
  ASSERT_FALSE(ReadFile(h, buf, 10, &n, &rov));
  Sleep(30);
  ASSERT_TRUE(CloseHandle(h));
  waiter.join();
  EXPECT_EQ(waited.load(), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(h, &rov, &n, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(GetOverlappedResult(h, &wov, &n, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(ReadFile(h, buf, 10, &n, &rov));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetCommMask(h, EV_RXCHAR));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  // The device is free again.
  h = Open(pty.slave());
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(wake);
}

TEST(SerialHandles, ClosingPortsLeavesNoHandles) {
  const auto before = qv::platform::HandleCount();
  {
    PtyPair pty;
    HANDLE h = Open(pty.slave());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(qv::platform::HandleCount(), before + 1);
    CloseHandle(h);
  }
  EXPECT_EQ(qv::platform::HandleCount(), before);
}

}  // namespace
