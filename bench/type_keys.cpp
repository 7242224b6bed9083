// qvcomm type, measured from outside as a user runs it: EAN-13 codes written to a pseudo-terminal
// mapped as a port, typed through the virtual keyboard and read back from its event device;
// beside it `xdotool type` under Xvfb for the same codes, the way people script it today.
//
//   type_keys [codes] [layout]      (default 300 codes, layout us)
//
// One at a time: the time from the last byte of a code (its CR) to its last key event (kernel
// time stamp), median and p99. Then all codes at once: keys (characters and Enter) per second
// from the first byte to the last key event. Without a usable /dev/uinput the same run goes
// through --dry-run, timed to the line that names the keys, and says so.
#include "barcode/ean13.h"
#include "platform/input/keymap.h"
#include "tests/support/key_reader.h"
#include "tests/support/pty.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace pf = qv::platform;

// A program with its standard output and error (unless errors is false) on one pipe.
struct Program {
  pid_t pid = -1;
  int out = -1;
  std::string text;

  explicit Program(std::vector<std::string> args, bool errors = true) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    if (errors) posix_spawn_file_actions_adddup2(&fa, p[1], 2);
    else posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);
    out = p[0];
  }
  ~Program() {
    if (pid > 0) kill(pid, SIGTERM), waitpid(pid, nullptr, 0);
    if (out >= 0) close(out);
  }
  // Reads until done() holds (then true) or timeoutMs passed.
  template <class Pred>
  bool Until(Pred done, int timeoutMs = 10000) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
      if (Clock::now() > end) return false;
      pollfd p{out, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[65536];
      const ssize_t n = read(out, buf, sizeof buf);
      if (n <= 0) return done();
      text.append(buf, std::size_t(n));
    }
    return true;
  }
  bool UntilText(const std::string& what) {
    return Until([&] { return text.find(what) != std::string::npos; });
  }
  bool UntilLines(std::size_t count) {
    return Until([&] { return std::size_t(std::count(text.begin(), text.end(), '\n')) >= count; });
  }
  int Wait() {
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Report(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("  %-44s median %7.2f ms   p99 %7.2f ms   (%zu codes)\n", what, ms[ms.size() / 2],
              ms[std::min(ms.size() - 1, ms.size() * 99 / 100)], ms.size());
}

// The event device of the keyboard called name, "" when there is none yet.
std::string EventDeviceNamed(const std::string& name) {
  std::string found;
  if (DIR* d = opendir("/sys/class/input")) {
    while (const dirent* e = readdir(d)) {
      if (std::string(e->d_name).rfind("event", 0) != 0) continue;
      std::ifstream f(std::string("/sys/class/input/") + e->d_name + "/device/name");
      std::string line;
      if (std::getline(f, line) && line == name) found = std::string("/dev/input/") + e->d_name;
    }
    closedir(d);
  }
  return found;
}

// qvcomm type on a pseudo-terminal: latency per code, then keys per second for a burst.
void MeasureQvcomm(const std::vector<std::string>& codes, const std::string& layout) {
  qv::test::PtyPair pty;
  const std::string port = "COM251";
  if (Program({QVCOMM_PATH, "map", port, pty.slave(), "--force"}).Wait() != 0) {
    std::printf("cannot map %s\n", port.c_str());
    return;
  }
  const int probe = open("/dev/uinput", O_WRONLY | O_CLOEXEC);
  const bool uinput = probe >= 0;
  if (probe >= 0) close(probe);
  const std::string total = std::to_string(2 * codes.size());
  std::vector<std::string> args = {QVCOMM_PATH, "type", port, "--layout", layout, "--count", total};
  if (!uinput) args.push_back("--dry-run");
  Program typer(args);
  if (!typer.UntilText("Ctrl-C ends")) {
    std::printf("qvcomm type did not start: %s\n", typer.text.c_str());
    return;
  }
  pf::TXkbNames names;
  names.layout = layout;
  std::string error;
  auto keymap = pf::TKeymap::Create(names, error);
  std::unique_ptr<qv::test::KeyReader> reader;
  if (uinput) {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));  // the keyboard settles
    reader = std::make_unique<qv::test::KeyReader>(EventDeviceNamed("qvcomm " + port));
    if (!reader->ok()) {
      std::printf("cannot read the virtual keyboard's events\n");
      return;
    }
  }
  auto eventsOf = [&](const std::string& code) {
    std::vector<pf::TKeyEvent> events;
    for (char c : code + "\r") keymap->AppendEvents(*keymap->Find(char32_t(c)), events);
    return events.size();
  };
  std::size_t lines = 1;  // the start line, then one per code
  // When the last key of the next count events (or the next codes' dry-run lines) came.
  auto lastKey = [&](std::size_t count, std::size_t codesDone) {
    if (uinput) {
      const auto keys = reader->Read(count, 10000);
      return keys.size() == count ? keys.back().time : Clock::time_point();
    }
    typer.UntilLines(lines += codesDone);
    return Clock::now();
  };
  std::printf("qvcomm type, layout %s, %s\n", layout.c_str(),
              uinput ? "through /dev/uinput, read back from its event device"
                     : "--dry-run (no usable /dev/uinput here): to the line naming the keys");
  std::vector<double> latency;
  for (const std::string& code : codes) {
    pty.Write(code + "\r");
    const auto sent = Clock::now();
    const auto last = lastKey(eventsOf(code), 1);
    latency.push_back(Ms(last - sent));
  }
  Report("last byte of a code -> its last key event", latency);
  std::string burst;
  std::size_t events = 0, strokes = 0;
  for (const std::string& code : codes) burst += code + "\r", events += eventsOf(code), strokes += code.size() + 1;
  const auto start = Clock::now();
  pty.Write(burst);
  const auto end = lastKey(events, codes.size());
  std::printf("  %-44s %7.0f keys/s  (%zu keys in %.0f ms)\n", "all codes at once", strokes / Ms(end - start) * 1000,
              strokes, Ms(end - start));
  if (reader && reader->dropped()) std::printf("  the kernel dropped events for the reader\n");
  Program({QVCOMM_PATH, "unmap", port}).Wait();
}

// xdotool type under Xvfb: one process per code, as a script after `qvcomm read` runs it.
void MeasureXdotool(const std::vector<std::string>& codes) {
  // A display number of its own (the low ones are taken by other programs' virtual displays);
  // -displayfd: Xvfb says it once it takes connections; -noreset: it stays up between clients.
  Program xvfb({"Xvfb", ":" + std::to_string(100 + getpid() % 400), "-displayfd", "1", "-noreset", "-nolisten", "tcp",
                "-screen", "0", "640x480x24"}, false);
  if (!xvfb.Until([&] { return xvfb.text.find('\n') != std::string::npos; })) {
    std::printf("xdotool: Xvfb did not start (install xvfb and xdotool)\n");
    return;
  }
  const std::string display = ":" + xvfb.text.substr(0, xvfb.text.find('\n'));
  setenv("DISPLAY", display.c_str(), 1);
  for (const char* delay : {"12", "0"}) {
    std::vector<double> ms;
    const auto start = Clock::now();
    std::size_t strokes = 0;
    for (const std::string& code : codes) {
      const auto t0 = Clock::now();
      Program xdotool({"xdotool", "type", "--delay", delay, code + "\n"});
      if (int rc = xdotool.Wait(); rc != 0) {
        xdotool.Until([] { return false; }, 100);
        std::printf("xdotool failed (%d): %s\n", rc, xdotool.text.c_str());
        return;
      }
      ms.push_back(Ms(Clock::now() - t0));
      strokes += code.size() + 1;
    }
    const double all = Ms(Clock::now() - start);
    std::printf("xdotool type --delay %s under Xvfb, a process per code (to its exit)\n", delay);
    Report("code -> xdotool done", ms);
    std::printf("  %-44s %7.0f keys/s\n", "codes one after the other", strokes / all * 1000);
  }
  unsetenv("DISPLAY");
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
  const std::string layout = argc > 2 ? argv[2] : "us";
  char dir[] = "/tmp/qv-type-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  setenv("XDG_CONFIG_HOME", dir, 1);  // a port map of its own
  std::vector<std::string> codes;
  for (int i = 0; i < n; ++i) codes.push_back(qv::barcode::Ean13(400638100000ULL + std::uint64_t(i) * 7919ULL));
  MeasureQvcomm(codes, layout);
  MeasureXdotool(codes);
  std::string rm = std::string("rm -rf ") + dir;
  return std::system(rm.c_str()) == 0 ? 0 : 1;
}
