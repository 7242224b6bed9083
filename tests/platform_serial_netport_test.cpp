// Network serial ports: through ser2net to a pseudo-terminal (bytes, line settings, loss of
// the server, a second client), connection failures, and a scripted RFC 2217 server for
// notifications, flow control, silence and garbage.
#include "barcode/qvbarcode.h"
#include "comm/serialcomm.h"
#include "platform/serial/netport.h"
#include "platform/serial/internal/telnet.h"
#include "platform/system/portmap.h"
#include "platform/system/signals.h"
#include "support/comm_harness.h"
#include "support/fake_sysfs.h"
#include "support/netserver.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <asm/termbits.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

using namespace qv::platform;
using qv::test::PtyPair;
using qv::test::ScriptedServer;
using qv::test::Ser2net;

namespace {

HANDLE Open(const std::string& name) {
  return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, 0);
}

// Reads until count bytes arrived or ms passed.
std::string ReadPort(HANDLE h, std::size_t count, DWORD ms = 5000) {
  COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 200, 0, 0};
  SetCommTimeouts(h, &t);
  std::string got;
  const DWORD start = GetTickCount();
  std::vector<char> buf(65536);
  while (got.size() < count && GetTickCount() - start < ms) {
    DWORD n = 0;
    if (!ReadFile(h, buf.data(), DWORD(std::min(buf.size(), count - got.size())), &n, nullptr)) break;
    got.append(buf.data(), n);
  }
  return got;
}

// 0xFF runs of every length up to 300 between ordinary bytes.
std::string Pattern(std::size_t size) {
  std::string s;
  for (std::size_t run = 1; s.size() < size; run = run % 300 + 1) {
    s.append(run, '\xFF');
    for (int i = 0; i < 5; ++i) s += char(s.size() * 31);
  }
  s.resize(size);
  return s;
}

class NetPort : public ::testing::Test {
 protected:
  void SetUp() override { SetNetworkTimeouts(5000, 2000); }
  void TearDown() override {
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
  }
  bool StartSer2net(bool rfc2217, const std::string& line = "9600n81") {
    if (!Ser2net::Installed()) return false;
    return pty.ok() && server.Start(pty, rfc2217, line);
  }
  PtyPair pty;
  Ser2net server;
  HANDLE port = INVALID_HANDLE_VALUE;
};

}  // namespace

TEST(NetTarget, Forms) {
  struct Case {
    const char* text;
    bool ok, rfc2217 = false;
    const char* host = "";
    const char* port = "";
  } cases[] = {
      {"rfc2217://127.0.0.1:7000", true, true, "127.0.0.1", "7000"},
      {"TCP://scanner-3.lan:4001", true, false, "scanner-3.lan", "4001"},
      {"rfc2217://[::1]:2217", true, true, "::1", "2217"},
      {"tcp://::1:2217", false},  {"tcp://host", false},      {"tcp://:80", false},
      {"tcp://h:0", false},       {"tcp://h:65536", false},   {"tcp://h:08", false},
      {"tcp://a b:80", false},    {"tcp://[::1]2217", false}, {"telnet://h:23", false},
  };
  for (const Case& c : cases) {
    NetworkTarget t;
    EXPECT_EQ(ParseNetworkTarget(c.text, t), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(t.rfc2217, c.rfc2217) << c.text;
    EXPECT_EQ(t.host, c.host) << c.text;
    EXPECT_EQ(t.port, c.port) << c.text;
  }
}

// Mapped and listed without a connection; a bad address is refused when mapped.
TEST(NetTarget, PortMap) {
  qv::test::FakeSysfs tree;
  DWORD error = 0;
  EXPECT_TRUE(AddUserMapping(219, "rfc2217://192.0.2.1:7000", error)) << error;
  EXPECT_FALSE(AddUserMapping(218, "tcp://192.0.2.1", error));
  EXPECT_EQ(error, ERROR_INVALID_NAME);
  TqvCustomSerialComm comm(nullptr);
  comm.FillDeviceList(nullptr);
  const TqvDevice* listed = nullptr;
  for (int i = 0; i < comm.DeviceCount(); ++i)
    if (comm.GetDevice(i)->PortNumber == 219) listed = comm.GetDevice(i);
  ASSERT_NE(listed, nullptr);
  EXPECT_EQ(listed->DeviceObjectName, "rfc2217://192.0.2.1:7000");
  EXPECT_EQ(listed->Description, "rfc2217://192.0.2.1:7000");
}

TEST_F(NetPort, ConnectToAClosedPortFailsAtOnceNamingHostAndPort) {
  const int free = qv::test::FreeLoopbackPort();
  const DWORD start = GetTickCount();
  port = Open("rfc2217://127.0.0.1:" + std::to_string(free));
  EXPECT_EQ(port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_CONNECTION_REFUSED);
  EXPECT_NE(LastErrorText().find("127.0.0.1 port " + std::to_string(free)), std::string::npos)
      << LastErrorText();
  EXPECT_LT(GetTickCount() - start, 1000u);
  // The component's open-error path carries the same words.
  TestApplication();
  TTestComm comm;
  comm.Path = "tcp://127.0.0.1:" + std::to_string(free);
  comm.OnFatalError = TOnFatalErrorEvent::FromFunction(
      [](void*, TObject*, DWORD, DWORD, std::string, bool& raise) { raise = false; }, nullptr);
  comm.Open();
  EXPECT_FALSE(comm.Active());
  EXPECT_NE(comm.LastErrorText().find("connection refused by 127.0.0.1 port " + std::to_string(free)),
            std::string::npos)
      << comm.LastErrorText();
}

// ---- Through ser2net ---------------------------------------------------------------------

class Ser2netBytes : public NetPort, public ::testing::WithParamInterface<bool> {};

TEST_P(Ser2netBytes, OneMebibyteEachWayUnchanged) {
  if (!StartSer2net(GetParam())) GTEST_SKIP() << "ser2net is not installed";
  {
    qv::test::FakeSysfs tree;
    DWORD error = 0;
    ASSERT_TRUE(AddUserMapping(217, server.Url(), error)) << error;
    port = Open("\\\\?\\COM217");
  }
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << LastErrorText();

  const std::string out = Pattern(1 << 20);
  std::string atPty;
  std::thread reader([&] { atPty = pty.Read(out.size(), 20000); });
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(port, out.data(), DWORD(out.size()), &written, nullptr));
  reader.join();
  EXPECT_EQ(written, out.size());
  EXPECT_TRUE(atPty == out) << "the pseudo-terminal got " << atPty.size() << " bytes";

  const std::string in = Pattern((1 << 20) + 7).substr(7);
  std::thread writer([&] { pty.Write(in.data(), in.size(), 20000); });
  const std::string got = ReadPort(port, in.size(), 20000);
  writer.join();
  EXPECT_TRUE(got == in) << "the port got " << got.size() << " bytes";
  if (GetParam()) return;
  // Raw: line settings stay with the port, and the lines read as on.
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.BaudRate = 1200;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  ASSERT_TRUE(SetCommState(port, &dcb));
  DCB back{};
  ASSERT_TRUE(GetCommState(port, &back));
  EXPECT_EQ(back.BaudRate, 1200u);
  EXPECT_EQ(back.ByteSize, 7);
  EXPECT_EQ(back.Parity, EVENPARITY);
  DWORD ms = 0;
  ASSERT_TRUE(GetCommModemStatus(port, &ms));
  EXPECT_EQ(ms, DWORD(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));
}

INSTANTIATE_TEST_SUITE_P(Scheme, Ser2netBytes, ::testing::Values(true, false),
                         [](const auto& row) { return row.param ? "Rfc2217" : "RawTcp"; });

TEST_F(NetPort, LineSettingsReachTheDeviceBehindSer2net) {
  if (!StartSer2net(true, "19200n81")) GTEST_SKIP() << "ser2net is not installed";
  port = Open(server.Url());
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << LastErrorText();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ(dcb.BaudRate, 19200u);  // the server's settings, asked for at open
  EXPECT_EQ(dcb.ByteSize, 8);
  for (DWORD baud : {1200u, 38400u, 115200u}) {
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    ASSERT_TRUE(SetCommState(port, &dcb)) << baud << ": " << GetLastError();
    // What ser2net applied, read on the far side of the pseudo-terminal.
    termios2 t{};
    ASSERT_EQ(ioctl(pty.master(), TCGETS2, &t), 0);
    EXPECT_EQ(t.c_ospeed, baud);
    EXPECT_EQ(t.c_cflag & CSIZE, unsigned(CS8));
  }
}

TEST_F(NetPort, Ser2netKilledWhileOpenClosesThePortOnce) {
  if (!StartSer2net(true)) GTEST_SKIP() << "ser2net is not installed";
  TestApplication();
  auto comm = std::make_unique<TTestComm>();
  comm->Path = server.Url();
  std::atomic<int> closes{0};
  comm->OnClose = TNotifyEvent::FromFunction(
      [](void* d, TObject*) { ++*static_cast<std::atomic<int>*>(d); }, &closes);
  std::string got;
  comm->OnRxData = TOnRxDataEvent::FromFunction(
      [](void* d, TObject*, const BYTE* data, int n) {
        static_cast<std::string*>(d)->append(reinterpret_cast<const char*>(data), std::size_t(n));
      },
      &got);
  comm->SetEventMask({ceRxChar});
  comm->Open();
  ASSERT_TRUE(comm->Active());
  pty.Write("0123456789\r");
  ASSERT_TRUE(PumpUntil([&] { return got == "0123456789\r"; }, 5000)) << got;
  server.Kill();
  EXPECT_TRUE(PumpUntil([&] { return closes.load() == 1 && !comm->Active(); }, 5000));
  comm->Close();  // releases the thread objects; the port is closed already
  comm.reset();
  EXPECT_EQ(closes.load(), 1);
}

TEST_F(NetPort, AScannerReadsBarcodesThroughSer2net) {
  if (!StartSer2net(true)) GTEST_SKIP() << "ser2net is not installed";
  TestApplication();
  qv::test::FakeSysfs tree;
  DWORD error = 0;
  ASSERT_TRUE(AddUserMapping(216, server.Url(), error)) << error;
  std::vector<std::string> codes;
  TqvBarCodeScan scan;
  scan.OnBarCode = TOnBarCodeEvent::FromFunction(
      [](void* d, TObject*, std::string code) {
        static_cast<std::vector<std::string>*>(d)->push_back(code);
      },
      &codes);
  scan.SetComPortNo(216);
  scan.SetActive(true);
  ASSERT_TRUE(scan.Active());
  pty.Write("4006381333931\r12\r");
  EXPECT_TRUE(PumpUntil([&] { return codes.size() == 2; }, 5000));
  EXPECT_EQ(codes, (std::vector<std::string>{"4006381333931", "12"}));
  scan.SetActive(false);
}

TEST_F(NetPort, ASecondClientIsToldThePortIsInUse) {
  if (!StartSer2net(true)) GTEST_SKIP() << "ser2net is not installed";
  port = Open(server.Url());
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << LastErrorText();
  HANDLE second = Open(server.Url());
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_NE(LastErrorText().find("in use"), std::string::npos) << LastErrorText();
  // The reopen after a close connects afresh.
  CloseHandle(port);
  port = Open(server.Url());
  EXPECT_NE(port, INVALID_HANDLE_VALUE) << LastErrorText();
}

// ---- A scripted server ---------------------------------------------------------------------

TEST_F(NetPort, NotificationsBecomeLinesEventsAndErrors) {
  ScriptedServer s(ScriptedServer::Agree);
  port = Open(s.Url());
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << LastErrorText();
  const int fd = s.Join();
  ASSERT_TRUE(SetCommMask(port, EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR));
  // CTS, DSR and CD on (with their delta bits), then a break with a framing error.
  ScriptedServer::Send(fd, ScriptedServer::Sub(107, "\xBB") + ScriptedServer::Sub(106, "\x18"));
  DWORD events = 0, seen = 0;
  const DWORD start = GetTickCount();
  while ((seen & (EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR)) !=
             (EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR) &&
         GetTickCount() - start < 5000) {
    ASSERT_TRUE(WaitCommEvent(port, &events, nullptr));
    seen |= events;
  }
  EXPECT_EQ(seen & ~DWORD(EV_RING), DWORD(EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR));
  DWORD ms = 0;
  ASSERT_TRUE(GetCommModemStatus(port, &ms));
  EXPECT_EQ(ms, DWORD(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));
  DWORD errors = 0;
  ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
  EXPECT_EQ(errors, DWORD(CE_BREAK | CE_FRAME));

  // Line control and purging go to the server as SET-CONTROL and PURGE-DATA.
  ASSERT_TRUE(EscapeCommFunction(port, CLRDTR));
  ASSERT_TRUE(EscapeCommFunction(port, SETBREAK));
  ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
  const std::string purge = ScriptedServer::Sub(12, "\x01");
  const std::string sent = ScriptedServer::Receive(fd, 5000, purge);
  EXPECT_NE(sent.find(ScriptedServer::Sub(5, "\x09") + ScriptedServer::Sub(5, "\x05") + purge),
            std::string::npos);

  // Suspended by the server, data waits for the resume.
  ScriptedServer::Send(fd, ScriptedServer::Sub(108, ""));
  Sleep(100);  // the notification is taken in with the next call
  DWORD unused;
  ClearCommError(port, &unused, nullptr);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD written = 0;
  EXPECT_FALSE(WriteFile(port, "held", 4, &written, &ov));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  BOOL done = FALSE;
  std::thread waiter([&] { done = GetOverlappedResult(port, &ov, &written, TRUE); });
  EXPECT_EQ(ScriptedServer::Receive(fd, 200, "held").find("held"), std::string::npos);
  ScriptedServer::Send(fd, ScriptedServer::Sub(109, ""));
  EXPECT_NE(ScriptedServer::Receive(fd, 5000, "held").find("held"), std::string::npos);
  waiter.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(written, 4u);
  CloseHandle(ov.hEvent);
}

TEST_F(NetPort, AServerThatNeverAnswersFailsTheOpenInTime) {
  SetNetworkTimeouts(5000, 300);
  ScriptedServer silent(nullptr);
  const DWORD start = GetTickCount();
  port = Open(silent.Url());
  EXPECT_EQ(port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
  EXPECT_LT(GetTickCount() - start, 3000u);

  // One that agrees at open but then leaves the line settings unanswered.
  ScriptedServer mute(ScriptedServer::Agree);
  port = Open(mute.Url());
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << LastErrorText();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  dcb.BaudRate = 57600;
  EXPECT_FALSE(SetCommState(port, &dcb));
  EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(port, "still", 5, &written, nullptr));  // the port goes on working
  EXPECT_NE(ScriptedServer::Receive(mute.Join(), 5000, "still").find("still"), std::string::npos);
}

TEST_F(NetPort, GarbageAndAnEndlessSubnegotiationLeaveThePortWorking) {
  ScriptedServer s(ScriptedServer::Agree);
  port = Open(s.Url());
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << LastErrorText();
  const int fd = s.Join();
  // Unknown commands, a refusal loop bait, a stray SE, a broken and an unknown subnegotiation.
  ScriptedServer::Send(fd, std::string("\xFF\x01\xFF\xFD\x18\xFF\xFB\x18\xFF\xF0"
                                       "\xFF\xFA\x2C\x07\xFF\x05\xFF\xFA\x2C\xC8\x01\xFF\xF0"
                                       "hello\xFF\xFF",
                                       30));
  EXPECT_EQ(ReadPort(port, 6), "hello\xFF");
  // The server refused terminal type and got no answer to its WILL it could loop on.
  EXPECT_NE(ScriptedServer::Receive(fd, 2000, std::string("\xFF\xFE\x18", 3)).find(
                std::string("\xFF\xFC\x18", 3)),
            std::string::npos);
  // A subnegotiation without an end is given up after a bound; what follows is data again.
  ScriptedServer::Send(fd, std::string("\xFF\xFA\x2C\x07", 4) + std::string(10000, 'x') + "END");
  const std::size_t dropped = telnet::Session::kMaxSubnegSkip - 1;  // besides the option byte
  EXPECT_EQ(ReadPort(port, 10003 - dropped), std::string(10000 - dropped, 'x') + "END");
}

namespace {

bool PutFile(const std::string& file, const std::string& text) {
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const bool ok = fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size());
  if (fd >= 0) close(fd);
  return ok;
}

// Runs body in a child with namespaces of its own, whose only name server (127.0.0.1:53 on
// the child's own loopback) never answers; the result is body's, 77 where the system allows
// no such namespaces.
int WithSilentNameServer(const std::function<int()>& body) {
  const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
  char conf[] = "/tmp/qv-resolv-XXXXXX";
  const int confFd = mkstemp(conf);
  if (confFd < 0) return 77;
  close(confFd);
  PutFile(conf, "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n");
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) != 0) _exit(77);
    PutFile("/proc/self/setgroups", "deny");
    if (!PutFile("/proc/self/uid_map", "0 " + uid + " 1") || !PutFile("/proc/self/gid_map", "0 " + gid + " 1"))
      _exit(77);
    ifreq lo{};
    std::strcpy(lo.ifr_name, "lo");
    lo.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(53);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (ioctl(s, SIOCSIFFLAGS, &lo) < 0 || bind(s, reinterpret_cast<sockaddr*>(&server), sizeof server) < 0 ||
        mount(conf, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
      _exit(77);
    _exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  unlink(conf);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// 0 when opening a port on an unresolvable host fails with error within 10 s (the resolver
// alone would wait 30 s); 1 for another error, 2 when it took longer.
int OpenFailsSoonWith(DWORD error) {
  const DWORD start = GetTickCount();
  const HANDLE h = Open("tcp://scanner.test:7000");
  const DWORD got = GetLastError();
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  if (h != INVALID_HANDLE_VALUE || got != error) return 1;
  return GetTickCount() - start < 10000 ? 0 : 2;
}

}  // namespace

// The name lookup is bounded by the connection time-out, and a termination signal ends it.
TEST(NetLookup, AnUnansweredNameServerIsWaitedForOnlyUntilTheTimeOutOrASignal) {
  const int timedOut = WithSilentNameServer([] {
    SetNetworkTimeouts(500, 2000);
    return OpenFailsSoonWith(ERROR_SEM_TIMEOUT);
  });
  if (timedOut == 77) GTEST_SKIP() << "no user namespaces here";
  EXPECT_EQ(timedOut, 0);
  EXPECT_EQ(WithSilentNameServer([] {
              SetNetworkTimeouts(60000, 2000);
              TSignalWatch watch({SIGTERM});
              std::thread([] {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                kill(getpid(), SIGTERM);
              }).detach();
              return OpenFailsSoonWith(ERROR_OPERATION_ABORTED);
            }),
            0);
}
