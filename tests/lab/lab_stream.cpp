// Barcodes through the FTDI adapter on ftdi_sio: the adapter pulled out while codes are on
// their way into the port, a long run into `qvcomm read`, `qvcomm read --reconnect` across
// pulls, and `qvcomm type` through the kernel's uinput read back from its event device.
#include "lab.h"

#include "platform/input/keymap.h"
#include "platform/system/procinfo.h"
#include "support/key_reader.h"
#include "platform/system/ttydevices.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <optional>
#include <chrono>
#include <map>
#include <random>
#include <thread>

namespace {

namespace pf = qv::platform;
using qv::test::PumpFor;
using qv::test::PumpUntil;
using Clock = std::chrono::steady_clock;

bool WaitNode(bool present, int ms = 20000) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  struct stat st;
  while ((stat("/dev/ttyUSB0", &st) == 0) != present) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Plugs the adapter in; its COM number, or 0.
unsigned PlugAdapter() {
  lab::Ask("usb-plug");
  if (!WaitNode(true)) return 0;
  for (const pf::PortEntry& e : pf::ListPorts())
    if (pf::sysfs::ResolvePath(e.device) == "/dev/ttyUSB0") return e.number;
  return 0;
}

void UnplugAdapter() {
  lab::Ask("usb-unplug");
  WaitNode(false);
}

// The code the host sends as number i (tests/lab/host.py, usb-codes).
std::string Code(long i) {
  char text[32];
  std::snprintf(text, sizeof text, "%013ld", i * 7919 % 10000000000000L);
  return text;
}

// Waits until the adapter's driver counted that many bytes received (10 s), serving the main
// loop meanwhile, or not (as a busy main thread).
bool KernelReceived(std::size_t bytes, bool serve = true) {
  const int fd = open("/dev/ttyUSB0", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  serial_icounter_struct ic{};
  const auto counted = [&] { return ioctl(fd, TIOCGICOUNT, &ic) != 0 || std::size_t(ic.rx) >= bytes; };
  bool done = true;
  if (serve) {
    done = PumpUntil(counted);
  } else {
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (!counted() && (done = Clock::now() < end)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  close(fd);
  return done && std::size_t(ic.rx) >= bytes;
}

// 50 times: codes sent, the kernel has them, a random moment later the adapter is pulled.
// OnClose comes exactly once, nothing hangs, descriptors and threads are back to where they
// were, and every code the kernel had was delivered, unchanged and in order; the partial one
// after them is not a code. busy: the main thread does not serve the loop from before the codes
// are sent until after the pull (as when a handler runs), so only bytes the port read on its
// own can be delivered.
void UnplugCycles(bool busy) {
  std::mt19937 random(20261208);
  // Counted from the end of the first cycle: the first open makes what a process keeps (the
  // application's wake-up descriptor, a runtime's helper thread).
  std::optional<pf::ProcessCounters> settled;
  for (int cycle = 1; cycle <= 50; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    const unsigned com = PlugAdapter();
    ASSERT_NE(com, 0u);
    std::string received;
    std::atomic<int> closes{0};
    {
      lab::Port port(com);
      port.SetBaudRate(115200);
      port.SetEventMask({ceRxChar});
      port.OnRxData = TOnRxDataEvent::FromFunction([](void* r, TObject*, const BYTE* data, int n) {
        static_cast<std::string*>(r)->append(reinterpret_cast<const char*>(data), std::size_t(n));
      }, &received);
      port.OnClose = TNotifyEvent::FromFunction([](void* c, TObject*) {
        ++*static_cast<std::atomic<int>*>(c);
      }, &closes);
      port.Open();
      ASSERT_TRUE(port.Active()) << (port.Errors.empty() ? "" : port.Errors.front());
      std::string sent;
      const int complete = 1 + int(random() % 20);
      for (int i = 0; i < complete; ++i) sent += Code(cycle * 100 + i) + "\r";
      const std::string partial = Code(cycle).substr(0, 1 + random() % 12);
      PumpFor(20);  // the main thread takes the port's wait
      lab::Ask("usb-send " + lab::Hex(sent + partial));
      // The kernel has them all (its receive counter says so), then a random further moment.
      // At a pull the kernel hangs the tty up and discards what was not read.
      EXPECT_TRUE(KernelReceived(sent.size() + partial.size(), !busy));
      // At least 20 ms: the driver counts bytes before the tty layer's worker hands them on, and
      // a hang-up discards what is still on its way (seen at 0 ms on a busy machine).
      const unsigned held = 20 + random() % 50;
      if (busy)
        std::this_thread::sleep_for(std::chrono::milliseconds(held));
      else
        PumpFor(held);
      const auto pulled = Clock::now();
      std::thread pull;
      if (busy)
        lab::Ask("usb-unplug");
      else
        pull = std::thread([] { lab::Ask("usb-unplug"); });
      EXPECT_TRUE(PumpUntil([&] { return closes.load() > 0; }, 10000)) << "no OnClose";
      if (pull.joinable()) pull.join();
      EXPECT_LT(Clock::now() - pulled, std::chrono::seconds(10));
      PumpFor(300);
      EXPECT_EQ(closes.load(), 1);
      EXPECT_FALSE(port.Active());
      EXPECT_EQ(received.substr(0, sent.size()), sent) << "held " << held << " ms, " << (busy ? "busy" : "served");
      EXPECT_LE(received.size(), sent.size() + partial.size());
    }
    ASSERT_TRUE(WaitNode(false));
    const pf::ProcessCounters after = pf::OwnCounters();
    if (!settled) settled = after;
    EXPECT_EQ(after.descriptors, settled->descriptors);
    EXPECT_EQ(after.threads, settled->threads);
    if (::testing::Test::HasFailure()) break;
  }
}

// Starts qvcomm with these arguments, its standard output into out and its standard error into
// err (the test's own when err is empty).
pid_t StartQvcomm(const std::vector<std::string>& args, const std::string& out, const std::string& err = "") {
  // Gone before the fork: a wait for the new program's words must not find the last one's.
  unlink(out.c_str());
  if (!err.empty()) unlink(err.c_str());
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    if (!err.empty()) dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    std::vector<char*> argv{const_cast<char*>("qvcomm")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(std::getenv("QVCOMM"), argv.data());
    _exit(127);
  }
  return pid;
}

// Its exit status within ms, else it is killed and -1.
int WaitExit(pid_t pid, int ms) {
  int status = -1;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return status;
}

// How often text is in the file.
int Occurrences(const std::string& file, const std::string& text) {
  std::ifstream in(file);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  int n = 0;
  for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size())) ++n;
  return n;
}

// Waits (30 s) until text is in the file count times.
bool WaitFor(const std::string& file, const std::string& text, int count = 1) {
  const auto end = Clock::now() + std::chrono::seconds(30);
  while (Occurrences(file, text) < count) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class Stream : public qv::test::AppTest {
 protected:
  void SetUp() override { lab::RequireLab(); }
  void TearDown() override { UnplugAdapter(); }
};

// UTF-8 of text.
std::string Utf8(const std::u32string& text) {
  std::string s;
  for (char32_t c : text) {
    if (c < 0x80) {
      s += char(c);
    } else if (c < 0x800) {
      s += char(0xC0 | (c >> 6));
      s += char(0x80 | (c & 0x3F));
    } else {
      s += char(0xE0 | (c >> 12));
      s += char(0x80 | ((c >> 6) & 0x3F));
      s += char(0x80 | (c & 0x3F));
    }
  }
  return s;
}

// The event device of the input device called name, "" while there is none.
std::string EventDeviceNamed(const std::string& name) {
  std::string found;
  if (DIR* d = opendir("/sys/class/input")) {
    while (const dirent* e = readdir(d)) {
      std::ifstream in(std::string("/sys/class/input/") + e->d_name + "/device/name");
      std::string n;
      if (std::strncmp(e->d_name, "event", 5) == 0 && std::getline(in, n) && n == name)
        found = std::string("/dev/input/") + e->d_name;
    }
    closedir(d);
  }
  return found;
}

// `qvcomm type` on the adapter in three layouts: the keys its virtual keyboard sends, read back
// from the kernel's event device and decoded with the same layout, are every code in order with
// its suffix; the code with a character the layout has no key for types nothing.
TEST_F(Stream, TypeTypesEveryCodeInTheLayout) {
  struct Case {
    const char* layout;
    const char* suffix;
    char32_t suffixChar;
    std::u32string own;  // a code in the layout's own letters
  } cases[] = {
      {"us", "enter", U'\r', U"{[(x|y)]}~\"'<>"},
      {"fr", "tab", U'\t', U"élève à l'été ù"},
      {"de", "enter", U'\r', U"Größe €5 ÄÖÜ"},
  };
  const std::u32string untypeable = U"12\u043634";  // a Cyrillic letter: none of these layouts has it
  const std::vector<std::u32string> shared = {U"8594156270087", U"ABC-123", U"SKU 4006381333931",
                                              U"https://ex.am/p?q=1&r=2;s", U"zQmYaW @ #5.0"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.layout);
    // A fresh adapter each time: after one program closed it, QEMU's adapter at times hands the
    // guest nothing more (the driver's receive count stays) until it is plugged in again.
    UnplugAdapter();
    const unsigned com = PlugAdapter();
    ASSERT_NE(com, 0u);
    qv::platform::TXkbNames names;
    names.layout = c.layout;
    std::string error;
    const auto keymap = qv::platform::TKeymap::Create(names, error);
    ASSERT_TRUE(keymap) << error;
    std::vector<std::u32string> codes = shared;
    codes.insert(codes.begin() + 2, untypeable);
    codes.push_back(c.own);
    std::u32string expected;
    for (const std::u32string& code : codes) {
      if (code == untypeable) continue;
      for (char32_t ch : code) ASSERT_TRUE(keymap->Find(ch)) << "no key for " << Utf8({ch});
      expected += code + c.suffixChar;
    }
    ASSERT_FALSE(keymap->Find(untypeable[2]));

    const std::string out = "/tmp/lab_type.txt", err = "/tmp/lab_type.err";
    const pid_t typer = StartQvcomm({"type", "COM" + std::to_string(com), "--layout", c.layout, "--suffix", c.suffix,
                                     "--baud", "115200", "--flow", "none", "--end", "CR", "--echo"}, out, err);
    ASSERT_GT(typer, 0);
    ASSERT_TRUE(WaitFor(err, "qvcomm: typing")) << lab::Output("cat " + err);
    std::string device;
    for (int i = 0; i < 250 && (device = EventDeviceNamed("qvcomm COM" + std::to_string(com))).empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_FALSE(device.empty()) << "no event device for the virtual keyboard: "
                                 << lab::Output("ls -l /sys/class/input/; cat /sys/class/input/*/device/name 2>&1; cat " + err);
    qv::test::KeyReader keys(device);
    ASSERT_TRUE(keys.ok()) << device;
    std::string sent;
    for (const std::u32string& code : codes) sent += Utf8(code) + "\r";
    // The port settles first: bytes sent at once after the open were, at times, never handed to
    // the guest by QEMU's adapter (the driver's receive count stayed).
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    lab::Ask("usb-send " + lab::Hex(sent));
    qv::platform::TKeyDecoder decoder(*keymap);
    const auto end = Clock::now() + std::chrono::seconds(60);
    while (decoder.Text().size() < expected.size() && Clock::now() < end)
      for (const qv::test::TimedKey& k : keys.Read(64, 200)) decoder.Feed(k.event);
    for (const qv::test::TimedKey& k : keys.Read(1000, 1000)) decoder.Feed(k.event);  // nothing more
    EXPECT_FALSE(keys.dropped());
    EXPECT_EQ(Utf8(decoder.Text()), Utf8(expected)) << device << "\n" << lab::Output("cat " + err + " " + out);
    EXPECT_EQ(Occurrences(err, "not typed"), 1) << lab::Output("cat " + err);
    EXPECT_EQ(Occurrences(err, "U+0436"), 1) << lab::Output("cat " + err);
    kill(typer, SIGTERM);
    EXPECT_NE(WaitExit(typer, 5000), -1);
    // Its keyboard is gone before the next one, of the same name, comes.
    for (int i = 0; i < 250 && !EventDeviceNamed("qvcomm COM" + std::to_string(com)).empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(EventDeviceNamed("qvcomm COM" + std::to_string(com)), "") << "the virtual keyboard stayed";
  }
}

TEST_F(Stream, UnplugWhileReading) { UnplugCycles(false); }

TEST_F(Stream, UnplugWhileTheMainThreadIsBusy) { UnplugCycles(true); }

// 10,000 codes at 115200 baud into `qvcomm read`: every one arrives, unchanged, in order.
TEST_F(Stream, TenThousandBarcodesThroughTheAdapter) {
  constexpr int kCodes = 10000;
  const unsigned com = PlugAdapter();
  ASSERT_NE(com, 0u);
  const std::string out = "/tmp/lab_codes.txt", log = "/tmp/lab_read.log";
  unlink(log.c_str());
  const pid_t reader = StartQvcomm({"read", "COM" + std::to_string(com), "--baud", "115200", "--flow", "none",
                                    "--no-auto-detect", "--end", "CR", "--count", std::to_string(kCodes),
                                    "--log", log}, out);
  ASSERT_GT(reader, 0);
  // The log gets its first line when the port is open.
  struct stat st;
  const auto end = Clock::now() + std::chrono::seconds(30);
  while ((stat(log.c_str(), &st) != 0 || st.st_size == 0) && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_GT(st.st_size, 0) << "qvcomm read did not open the port";
  // 14 characters a code, 10 bits each at 115200 baud: 1215 us apart.
  lab::Ask("usb-codes " + std::to_string(kCodes) + " 1215");
  lab::Ask("usb-wait");
  const int status = WaitExit(reader, 60000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  const std::vector<std::string> lines = lab::Words(lab::Output("cat " + out), '\n');
  int lost = 0, changed = 0;
  std::size_t at = 0;
  for (long i = 0; i < kCodes; ++i) {
    if (at < lines.size() && lines[at] == Code(i)) {
      ++at;
      continue;
    }
    ++lost;
    if (at < lines.size() && lines[at] != Code(i + 1)) {
      ++changed;
      ++at;
    }
  }
  EXPECT_EQ(lines.size(), std::size_t(kCodes));
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(changed, 0);
  std::printf("%zu codes read, %d lost, %d changed\n", lines.size(), lost, changed);
}

// `read --reconnect` with these framing options while the adapter is pulled out 20 times in the
// middle of a stream of codes (sent in groups cut anywhere, so a pull mostly halves a code) and
// put back: every code the kernel had 100 ms before a pull is written once, in order; the code
// cut off by a pull may come as what arrived of it, never joined to the first one after the
// return; each pull and return is said on stderr. What came in the last moment may be lost with
// the kernel's hang-up, which discards what no one read (seen: ten codes a few ms before a pull).
void ReconnectCycles(std::vector<std::string> args) {
  constexpr int kCycles = 20;
  constexpr long kStride = 100000;  // the numbers of cycle c's codes start at c * kStride
  std::mt19937 random(20261209);
  const unsigned com = PlugAdapter();
  ASSERT_NE(com, 0u);
  const std::string out = "/tmp/lab_reconnect.txt", err = "/tmp/lab_reconnect.err";
  args.insert(args.begin(), {"read", "COM" + std::to_string(com), "--baud", "115200", "--flow", "none",
                             "--end", "CR", "--reconnect"});
  const pid_t reader = StartQvcomm(args, out, err);
  ASSERT_GT(reader, 0);
  ASSERT_TRUE(WaitFor(err, "qvcomm: reading")) << lab::Output("cat " + err);
  std::vector<long> must;  // the codes the kernel had before a pull
  for (int cycle = 1; cycle <= kCycles && !::testing::Test::HasFailure(); ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    const int fd = open("/dev/ttyUSB0", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    lab::Ask("usb-codes " + std::to_string(kStride) + " 1215 " + std::to_string(cycle * kStride));
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 400));
    serial_icounter_struct ic{};
    const int counted = ioctl(fd, TIOCGICOUNT, &ic);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    lab::Ask("usb-unplug");
    const auto pulled = Clock::now();
    close(fd);
    ASSERT_EQ(counted, 0);
    ASSERT_GT(ic.rx, 14) << "no code came before the pull";
    for (long i = 0; i < ic.rx / 14; ++i) must.push_back(cycle * kStride + i);
    ASSERT_TRUE(WaitFor(err, "went away; waiting for it to come back", cycle)) << lab::Output("cat " + err);
    ASSERT_TRUE(WaitNode(false));
    lab::Ask("usb-plug");
    ASSERT_TRUE(WaitNode(true));
    ASSERT_TRUE(WaitFor(err, " is back (/dev/ttyUSB0): reading again", cycle)) << lab::Output("cat " + err);
    // The time-out of the code cut off (--timeout) has passed before new codes come.
    std::this_thread::sleep_until(pulled + std::chrono::milliseconds(400));
  }
  // Read after the last return too.
  std::string last;
  for (long i = 0; i < 5; ++i) {
    must.push_back((kCycles + 1) * kStride + i);
    last += Code(must.back()) + "\r";
  }
  if (!::testing::Test::HasFailure()) lab::Ask("usb-send " + lab::Hex(last));
  const auto end = Clock::now() + std::chrono::seconds(20);
  while (Occurrences(out, Code(must.back())) == 0 && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  kill(reader, SIGTERM);
  EXPECT_NE(WaitExit(reader, 5000), -1) << "SIGTERM did not end the reader";
  std::map<std::string, long> number;
  for (long c = 1; c <= kCycles + 1; ++c)
    for (long i = 0; i < 5000; ++i) number[Code(c * kStride + i)] = c * kStride + i;
  std::vector<long> got;
  int cut = 0;  // codes cut off by a pull, written as far as they came
  bool afterCut = false;
  for (const std::string& line : lab::Words(lab::Output("cat " + out), '\n')) {
    const auto n = number.find(line);
    const long previous = got.empty() ? 0 : got.back();
    if (n == number.end()) {
      const std::string whole = Code(previous + 1);
      EXPECT_TRUE(!afterCut && line.size() < whole.size() && whole.compare(0, line.size(), line) == 0)
          << "not a code sent: " << line << " after " << Code(previous);
      afterCut = true;
      ++cut;
      continue;
    }
    EXPECT_TRUE(got.empty() || n->second > previous) << line << " after " << Code(previous);
    EXPECT_TRUE(!afterCut || n->second / kStride > previous / kStride) << line << " after a code cut off";
    afterCut = false;
    got.push_back(n->second);
  }
  std::size_t missing = 0;
  for (long m : must) missing += !std::binary_search(got.begin(), got.end(), m);
  EXPECT_EQ(missing, 0u) << must.size() << " codes complete 100 ms before the pulls";
  EXPECT_EQ(Occurrences(err, "went away; waiting for it to come back"), kCycles);
  EXPECT_EQ(Occurrences(err, "reading again"), kCycles);
  std::printf("%zu codes read, %zu of them complete 100 ms before a pull, %zu missing, %d cut off\n", got.size(),
              must.size(), missing, cut);
}

// The default framing: the code cut off is delivered by the end-of-barcode time-out at the pull.
TEST_F(Stream, ReadReconnectsAcrossPulls) { ReconnectCycles({"--timeout", "200"}); }

// Without the time-out the code cut off is never ended; the reopened port starts without it, so
// the first code after the return is not joined to it.
TEST_F(Stream, ReadReconnectsAcrossPullsWithoutTheTimeOut) { ReconnectCycles({"--no-auto-detect"}); }

}  // namespace
