// The qvcomm program, run as a user runs it: separate processes, a real pseudo-terminal, a
// configuration folder of its own per test.
#include "barcode/ean13.h"
#include "platform/input/keymap.h"
#include "support/netserver.h"
#include "support/pty.h"
#include "support/temp_config.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// One run of the program with pipes on its standard streams.
class Child {
 public:
  // cwd: the folder it runs in (empty: this one); stdoutFd: its standard output instead of a
  // pipe read here.
  explicit Child(std::vector<std::string> args, const std::string& cwd = {}, int stdoutFd = -1) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(stdoutFd >= 0 ? stdoutFd : out[1], 1);
      dup2(err[1], 2);
      if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
      std::vector<char*> argv{const_cast<char*>(QVCOMM_PATH)};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(QVCOMM_PATH, argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    fds_[0] = out[0];
    fds_[1] = err[0];
    if (stdoutFd >= 0) CloseStdout();
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, fds_[0], fds_[1]})
      if (fd >= 0) close(fd);
  }

  pid_t pid() const { return pid_; }
  const std::string& out() const { return text_[0]; }
  const std::string& err() const { return text_[1]; }
  void Write(const std::string& s) { ASSERT_EQ(write(in_, s.data(), s.size()), ssize_t(s.size())); }
  void CloseStdin() {
    close(in_);
    in_ = -1;
  }
  void Signal(int sig) { kill(pid_, sig); }
  // Stops reading its standard output: its next write fails (EPIPE), as into `| head -1`.
  void CloseStdout() {
    close(fds_[0]);
    fds_[0] = -1;
  }

  // Reads output until pred holds or the time is up.
  template <class Pred>
  bool Until(Pred pred, int timeoutMs = 20000) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0 || !Pump(int(left))) return pred();
    }
    return true;
  }
  // The first line of standard output.
  std::string FirstLine() {
    Until([&] { return out().find('\n') != std::string::npos; });
    return out().substr(0, out().find('\n'));
  }
  // The exit code (128 + signal when a signal ended it), after reading all output; -1 when it
  // did not end in time.
  int Wait(int timeoutMs = 20000) {
    Until([&] { return fds_[0] < 0 && fds_[1] < 0; }, timeoutMs);
    int status = 0;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > end) return -1;
      usleep(10000);
    }
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  // One round of reading; false when both streams are at their end.
  bool Pump(int timeoutMs) {
    pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
    if (fds_[0] < 0 && fds_[1] < 0) return false;
    if (poll(p, 2, std::min(timeoutMs, 100)) <= 0) return true;
    for (int i = 0; i < 2; ++i) {
      if (!p[i].revents) continue;
      char buf[4096];
      const ssize_t n = read(fds_[i], buf, sizeof buf);
      if (n > 0) {
        text_[i].append(buf, std::size_t(n));
      } else {
        close(fds_[i]);
        fds_[i] = -1;
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  int in_ = -1;
  int fds_[2] = {-1, -1};
  std::string text_[2];
};

struct Result {
  int code;
  std::string out, err;
};
Result Qvcomm(std::vector<std::string> args) {
  Child c(std::move(args));
  const int code = c.Wait();
  return {code, c.out(), c.err()};
}

class QvcommTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config_.Ok());
  }
  // The user's port mappings as stored.
  std::string Mappings() {
    std::ifstream f(config_.Store() / "user.reg");
    std::stringstream s;
    s << f.rdbuf();
    const std::string text = s.str();
    const auto at = text.find("[Software\\qvcomm\\PortMap]");
    if (at == std::string::npos) return "";
    const auto end = text.find("\n[", at + 1);
    return text.substr(at + 25, end == std::string::npos ? std::string::npos : end - at - 25);
  }
  qv::test::TempConfig config_{"qvcomm"};
  const fs::path dir_ = config_.Dir();
};

// Valid EAN-13 codes, all different.
std::vector<std::string> Codes(int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(qv::barcode::Ean13(400638100000ULL + i * 7919ULL));
  return out;
}

TEST_F(QvcommTest, MapUnmapAndPortsRoundTrip) {
  qv::test::PtyPair a, b;
  ASSERT_TRUE(a.ok() && b.ok());
  Result r = Qvcomm({"map", "COM42", a.slave()});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "COM42 is now " + a.slave() + "\n");
  EXPECT_EQ(Qvcomm({"map", "com42", a.slave()}).out, "COM42 is already " + a.slave() + "\n");

  r = Qvcomm({"ports", "--json"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("{\"port\":\"COM42\",\"number\":42,\"device\":\"" + a.slave() + "\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"userMapping\":true"), std::string::npos);
  r = Qvcomm({"ports"});
  EXPECT_NE(r.out.find("COM42  " + a.slave()), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("user mapping"), std::string::npos);
  EXPECT_NE(Qvcomm({"ports", "-v"}).out.find("  device:         " + a.slave()), std::string::npos);

  // Another device for the number only with --force.
  EXPECT_EQ(Qvcomm({"map", "COM42", b.slave(), "--force"}).code, 0);
  EXPECT_NE(Mappings().find("\"COM42\"=sz:\"" + b.slave() + "\""), std::string::npos);
  r = Qvcomm({"unmap", "COM42"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "COM42 mapping removed\n");
  EXPECT_EQ(Qvcomm({"ports"}).out.find("COM42"), std::string::npos);
  EXPECT_EQ(Mappings().find("COM42"), std::string::npos);
}

TEST_F(QvcommTest, HelpAndVersion) {
  Result help = Qvcomm({"help", "read"});
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out.rfind("usage: qvcomm read ", 0), 0u) << help.out;
  EXPECT_EQ(Qvcomm({"read", "--help"}).out, help.out);
  EXPECT_NE(Qvcomm({"help"}).out.find("\n  simulate "), std::string::npos);
  for (const char* flag : {"--version", "-V"}) {
    Result v = Qvcomm({flag});
    EXPECT_EQ(v.code, 0);
    EXPECT_EQ(v.out.rfind("qvcomm 1.", 0), 0u) << v.out;
  }
  EXPECT_EQ(Qvcomm({"help", "bogus"}).code, 2);
}

TEST_F(QvcommTest, RefusedInputsGiveTheirMessageAndExitCode) {
  qv::test::PtyPair a, b;
  ASSERT_TRUE(a.ok() && b.ok());
  ASSERT_EQ(Qvcomm({"map", "COM5", a.slave()}).code, 0);
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string message;
  } cases[] = {
      {{"bogus"}, 2, "qvcomm: unknown command \"bogus\""},
      {{"map", "COM6", a.slave(), "--force=no"}, 2, "qvcomm map: --force takes no value\nTry 'qvcomm map --help'."},
      {{"map", "COM6", "/dev/null"}, 7, "cannot map COM6 to /dev/null: /dev/null is not a serial device (not a terminal)"},
      {{"map", "COM6", "/dev/ptmx"}, 7, "/dev/ptmx is the pseudo-terminal multiplexer, not a port"},
      {{"map", "COM6", "/nonexistent"}, 7, "cannot map COM6 to /nonexistent: /nonexistent does not exist"},
      {{"map", "COM5", b.slave()}, 7, "COM5 is " + a.slave() + " (use --force to replace it)"},
      {{"map", "COM6", a.slave()}, 7, "it is mapped as COM5 already (qvcomm unmap COM5 first)"},
      {{"unmap", "COM6"}, 3, "qvcomm: COM6 has no mapping of yours to remove"},
      {{"read", "COM200"}, 3, "qvcomm: COM200: no such port"},
      {{"read", "COM5", "--data-bits", "7"}, 7, "refused the line settings 9600 7N1 (the port keeps "},
      {{"read", "COM5", "--parity", "even"}, 7, "refused the line settings 9600 8E1 (the port keeps "},
      {{"simulate", "COM5"}, 7, "cannot simulate on COM5: the number is taken"},
  };
  for (const Case& c : cases) {
    Result r = Qvcomm(c.args);
    EXPECT_EQ(r.code, c.code) << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "") << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << "expected: " << c.message << "\ngot: " << r.err;
    EXPECT_EQ(r.out, "");
  }
  // A port another program reads: busy, and who holds it.
  Child holder({"read", "COM5"});
  ASSERT_TRUE(holder.Until([&] { return holder.err().find("reading COM5") != std::string::npos; })) << holder.err();
  Result r = Qvcomm({"read", "COM5"});
  EXPECT_EQ(r.code, 4);
  EXPECT_NE(r.err.find("cannot open COM5 (" + a.slave() + "): the port is in use by qvcomm (pid " +
                       std::to_string(holder.pid()) + ")\n"),
            std::string::npos) << r.err;
  // On a simulator's port the simulator holds the far end too: it is not the one in the way.
  Child sim({"simulate"});
  const std::string port = sim.FirstLine();
  Child reader({"read", port});
  ASSERT_TRUE(reader.Until([&] { return reader.err().find("reading " + port) != std::string::npos; })) << reader.err();
  r = Qvcomm({"read", port});
  EXPECT_EQ(r.code, 4);
  EXPECT_NE(r.err.find("): the port is in use by qvcomm (pid " + std::to_string(reader.pid()) + ")\n"),
            std::string::npos) << r.err;
}

// The library's own words for a failed network open reach the message.
TEST_F(QvcommTest, ReadSaysWhatANetworkServerSaid) {
  const std::string nobody = "rfc2217://127.0.0.1:" + std::to_string(qv::test::FreeLoopbackPort());
  ASSERT_EQ(Qvcomm({"map", "COM9", nobody}).code, 0);
  Result r = Qvcomm({"read", "COM9"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("qvcomm: cannot open COM9 (" + nobody + "): connection refused by 127.0.0.1 port "),
            std::string::npos) << r.err;
  qv::test::ScriptedServer server([](int fd) {
    qv::test::ScriptedServer::Send(fd, "Port already in use\r\n");
    shutdown(fd, SHUT_RDWR);
  });
  r = Qvcomm({"read", server.Url()});
  EXPECT_EQ(r.code, 4);
  EXPECT_NE(r.err.find("(it said \"Port already in use\")"), std::string::npos) << r.err;
}

// The codes of each framing; the reader ends after the codes expected.
TEST_F(QvcommTest, ReadFramesWholeLinesByDefault) {
  const std::string input = "ABC-123\nSKU 4006381333931\nhttps://example.com/a?b=c&d=e\nA\\x1BB\n";
  const std::string lines = "ABC-123\nSKU 4006381333931\nhttps://example.com/a?b=c&d=e\nA\\\\x1BB\n";
  struct Case {
    std::string terminator;
    std::vector<std::string> options;
    std::string expected;
  } cases[] = {
      {"CR", {}, lines},
      {"LF", {}, lines},
      {"CRLF", {}, lines},
      {"CR", {"--any-chars"}, lines},
      {"CRLF", {"--digits"}, "123\n4006381333931\n1\n"},  // the component's own: digits only
  };
  for (const Case& c : cases) {
    Child sim({"simulate", "--terminator", c.terminator});
    const std::string port = sim.FirstLine();
    std::vector<std::string> args = {"read", port, "--count",
                                     std::to_string(std::count(c.expected.begin(), c.expected.end(), '\n'))};
    args.insert(args.end(), c.options.begin(), c.options.end());
    Child reader(args);
    ASSERT_TRUE(reader.Until([&] { return reader.err().find("reading " + port) != std::string::npos; })) << reader.err();
    sim.Write(input);
    EXPECT_EQ(reader.Wait(), 0) << reader.err();
    EXPECT_EQ(reader.out(), c.expected) << c.terminator << " " << (c.options.empty() ? "" : c.options[0]);
    sim.CloseStdin();
    EXPECT_EQ(sim.Wait(), 0) << sim.err();
  }
}

TEST_F(QvcommTest, SimulateDemoSendsLettersAndUrls) {
  for (const std::string kind : {"code128", "qr"}) {
    Child sim({"simulate", "--demo", kind, "--delay", "100"});
    const std::string port = sim.FirstLine();
    Child reader({"read", port, "--count", "3"});
    EXPECT_EQ(reader.Wait(), 0) << reader.err();
    std::istringstream lines(reader.out());
    int n = 0;
    for (std::string line; std::getline(lines, line); ++n) {
      if (kind == "qr") EXPECT_EQ(line.rfind("https://example.", 0), 0u) << line;
      else EXPECT_NE(line.find_first_of("ABCDEFGHJKLMNPQRSTUVWXYZ"), std::string::npos) << line;
    }
    EXPECT_EQ(n, 3);
  }
}

// `read ... | head -1`: the reader ends (status 0) when its output goes away; any other output
// failure ends it with a message. A log named without a folder goes to the current one.
TEST_F(QvcommTest, ReadEndsWhenItsOutputFailsAndLogsWhereItRuns) {
  Child sim({"simulate", "--demo", "--delay", "20"});
  const std::string port = sim.FirstLine();
  {
    Child reader({"read", port, "--log", "here.log"}, dir_.string());
    ASSERT_TRUE(reader.Until([&] { return reader.out().find('\n') != std::string::npos; })) << reader.err();
    reader.CloseStdout();
    EXPECT_EQ(reader.Wait(10000), 0) << reader.err();
  }
  std::ifstream log(dir_ / "here.log");
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_NE(text.str().find("DoBarcode: "), std::string::npos) << text.str();

  const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  Child reader({"read", port, "--count", "5"}, {}, full);
  close(full);
  EXPECT_EQ(reader.Wait(10000), 1);
  EXPECT_NE(reader.err().find("qvcomm: cannot write to standard output: No space left on device"),
            std::string::npos) << reader.err();
}

// A device path works as a port name; so do the names in the README's examples.
TEST_F(QvcommTest, ReadOpensADeviceByItsPath) {
  qv::test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  Child reader({"read", pty.slave(), "--count", "2", "--json"});
  ASSERT_TRUE(reader.Until([&] { return reader.err().find("reading " + pty.slave() + ",") != std::string::npos; }))
      << reader.err();
  ASSERT_EQ(pty.Write("caf\xC3\xA9\r\n\xE9\n", 10), 10u);
  EXPECT_EQ(reader.Wait(), 0) << reader.err();
  const std::string head = "{\"port\":\"" + pty.slave() + "\",\"barcode\":";
  EXPECT_NE(reader.out().find(head + "\"caf\xC3\xA9\",\"time\""), std::string::npos) << reader.out();
  EXPECT_NE(reader.out().find(head + "\"\\ufffd\",\"hex\":\"E9\",\"time\""), std::string::npos) << reader.out();

  Result r = Qvcomm({"read", "/dev/qv-no-such-device"});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("qvcomm: cannot open /dev/qv-no-such-device: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("qvcomm ports lists the ports present"), std::string::npos) << r.err;
}

// simulate < codes.txt: the codes wait for a reader, and keep their pace when it comes late.
TEST_F(QvcommTest, SimulateWaitsForAReaderAndKeepsItsPace) {
  Child sim({"simulate", "--delay", "300"});
  const std::string port = sim.FirstLine();
  sim.Write("111\n222\n");
  sim.CloseStdin();
  ASSERT_TRUE(sim.Until([&] { return sim.err().find("waiting for a program to open " + port) != std::string::npos; }))
      << sim.err();
  usleep(400000);  // longer than the delay: the first code is sent late
  const std::string banner = "qvcomm: virtual barcode scanner on " + port + " (";
  const auto at = sim.err().find(banner) + banner.size();
  const std::string device = sim.err().substr(at, sim.err().find(')', at) - at);
  const int fd = open(device.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << device;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  std::string got;
  std::vector<Clock::time_point> when;
  while (when.size() < 2) {
    pollfd p{fd, POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 10000), 0) << got;
    char buf[64];
    const ssize_t n = read(fd, buf, sizeof buf);
    ASSERT_GT(n, 0);
    for (ssize_t i = 0; i < n; ++i)
      if (buf[i] == '\r') when.push_back(Clock::now());
    got.append(buf, std::size_t(n));
  }
  close(fd);
  EXPECT_EQ(got, "111\r222\r");
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(when[1] - when[0]).count(), 250);
  EXPECT_EQ(sim.Wait(), 0) << sim.err();
}

TEST_F(QvcommTest, SimulateAndReadExchangeAThousandBarcodes) {
  Child sim({"simulate"});
  const std::string port = sim.FirstLine();
  ASSERT_EQ(port.rfind("COM", 0), 0u) << sim.err();
  Child reader({"read", port, "--count", "1000", "--json"});
  ASSERT_TRUE(reader.Until([&] { return reader.err().find("reading " + port) != std::string::npos; })) << reader.err();
  const std::vector<std::string> codes = Codes(1000);
  std::string input;
  for (const std::string& c : codes) input += c + "\n";
  sim.Write(input);
  EXPECT_EQ(reader.Wait(60000), 0) << reader.err();
  std::istringstream lines(reader.out());
  std::string line;
  std::size_t n = 0;
  for (; std::getline(lines, line); ++n) {
    ASSERT_LT(n, codes.size());
    const std::string head = "{\"port\":\"" + port + "\",\"barcode\":\"" + codes[n] + "\",\"time\":\"20";
    ASSERT_EQ(line.substr(0, head.size()), head) << "line " << n;
    EXPECT_EQ(line.size(), head.size() + 24 - 2 + 2) << line;  // ISO time with milliseconds, "Z"
  }
  EXPECT_EQ(n, codes.size());
  sim.CloseStdin();
  EXPECT_EQ(sim.Wait(), 0) << sim.err();
  EXPECT_EQ(Mappings().find(port), std::string::npos);
}

TEST_F(QvcommTest, SignalsEndReaderAndSimulatorCleanly) {
  // SIGTERM to the reader: it closes the port (the log has its close line), the simulator
  // goes on; then SIGTERM to the simulator: its mapping goes.
  Child sim({"simulate", "--demo", "--delay", "20"});
  const std::string port = sim.FirstLine();
  const std::string log = (dir_ / "read.log").string();
  {
    Child reader({"read", port, "--log", log});
    ASSERT_TRUE(reader.Until([&] { return std::count(reader.out().begin(), reader.out().end(), '\n') >= 3; }))
        << reader.err();
    reader.Signal(SIGTERM);
    EXPECT_EQ(reader.Wait(), 128 + SIGTERM) << reader.err();
    std::ifstream f(log);
    std::stringstream s;
    s << f.rdbuf();
    EXPECT_NE(s.str().find("DoBarcode: "), std::string::npos) << s.str();
    EXPECT_NE(s.str().find("The port is succesful closed"), std::string::npos) << s.str();
  }
  EXPECT_NE(Mappings().find("\"" + port + "\""), std::string::npos);
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(), 128 + SIGTERM) << sim.err();
  EXPECT_EQ(Mappings().find("\"" + port + "\""), std::string::npos) << Mappings();
  EXPECT_EQ(kill(sim.pid(), 0), -1);  // reaped: no process left behind

  // A simulator killed outright leaves its mapping; its reader reports the vanished port, and
  // the next simulator takes the stale number again.
  Child killed({"simulate", "--demo", "--delay", "20"});
  const std::string again = killed.FirstLine();
  Child reader({"read", again});
  ASSERT_TRUE(reader.Until([&] { return !reader.out().empty(); })) << reader.err();
  killed.Signal(SIGKILL);
  EXPECT_EQ(killed.Wait(), 128 + SIGKILL);
  EXPECT_EQ(reader.Wait(), 6);
  EXPECT_NE(reader.err().find(again + " ("), std::string::npos);
  EXPECT_NE(reader.err().find("went away"), std::string::npos) << reader.err();
  EXPECT_NE(Mappings().find("\"" + again + "\""), std::string::npos);
  Child next({"simulate", again});
  EXPECT_EQ(next.FirstLine(), again) << next.err();
  next.CloseStdin();
  EXPECT_EQ(next.Wait(), 0) << next.err();
  EXPECT_EQ(Mappings().find("\"" + again + "\""), std::string::npos);
}

TEST_F(QvcommTest, TypeShowsEachCodesKeysInTheLayoutAndTypesNoCodeItCannot) {
  // French: every digit needs Shift. Each dry-run line's keys, read back through the layout,
  // must give the prefix, the code and the suffix; a code with a character the layout has no
  // key for, or with a control character, gives no keys, only its echo and one error line.
  Child sim({"simulate"});
  const std::string port = sim.FirstLine();
  ASSERT_EQ(port.rfind("COM", 0), 0u) << sim.err();
  std::vector<std::string> codes = {"xř", "a\tb"};
  std::mt19937 random(24);
  for (int i = 0; i < 300; ++i) {
    std::string code(1 + random() % 20, ' ');
    for (char& c : code) c = char(0x21 + random() % 94);
    codes.push_back(code);
  }
  Child typer({"type", port, "--dry-run", "--layout", "fr", "--echo", "--prefix", "[", "--suffix", "tab",
               "--count", std::to_string(codes.size())});
  ASSERT_TRUE(typer.Until([&] { return typer.err().find("layout fr (from --layout)") != std::string::npos; }))
      << typer.err();
  std::string input;
  for (const std::string& c : codes) input += c + "\n";
  sim.Write(input);
  EXPECT_EQ(typer.Wait(60000), 0) << typer.err();
  EXPECT_NE(typer.err().find(port + ": \"xř\" not typed: the layout fr has no key for \"ř\" (U+0159)"),
            std::string::npos) << typer.err();
  EXPECT_NE(typer.err().find(port + ": \"a\\x09b\" not typed: it holds the control character U+0009"),
            std::string::npos) << typer.err();

  qv::platform::TXkbNames names;
  names.layout = "fr";
  std::string error;
  auto keymap = qv::platform::TKeymap::Create(names, error);
  ASSERT_TRUE(keymap) << error;
  std::istringstream lines(typer.out());
  std::string line;
  std::size_t n = 0;
  for (const std::string& code : codes) {
    std::string shown;  // as the program shows it: a backslash doubled, a control as \xHH
    for (char c : code) shown += c == '\\' ? "\\\\" : c == '\t' ? "\\x09" : std::string(1, c);
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, shown);  // the echo
    if (n++ < 2) continue;
    ASSERT_TRUE(std::getline(lines, line));
    ASSERT_EQ(line.rfind(shown + ": ", 0), 0u) << line;
    std::istringstream keys(line.substr(shown.size() + 2));
    qv::platform::TKeyDecoder decoder(*keymap);
    for (std::string key; keys >> key;)
      decoder.Feed({keymap->KeyByName(key.substr(1)), key[0] == '+'});
    std::u32string expected = U"[";
    for (char c : code) expected += char32_t(c);
    EXPECT_EQ(decoder.Text(), expected + U"\t") << line;
  }
  EXPECT_FALSE(std::getline(lines, line)) << line;
  sim.CloseStdin();
  EXPECT_EQ(sim.Wait(), 0) << sim.err();
}

}  // namespace

