// qvcomm simulate: a virtual barcode scanner on a pseudo-terminal mapped as a COM port.
#include "tools/qvcomm/commands.h"

#include "barcode/ean13.h"
#include "platform/serial/pseudoterminal.h"
#include "platform/system/portmap.h"
#include "platform/system/signals.h"
#include "tools/qvcomm/cli.h"
#include "tools/qvcomm/marks.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <random>
#include <span>

namespace qvcomm {

namespace {

namespace pf = qv::platform;
using Clock = std::chrono::steady_clock;

// Twelve random digits and the EAN-13 check digit.
std::string DemoCode(std::mt19937_64& rng) {
  return qv::barcode::Ean13(std::uniform_int_distribution<std::uint64_t>(0, 999999999999ULL)(rng));
}

class Simulator {
 public:
  Simulator(pf::TPseudoTerminal& pty, pf::TSignalWatch& watch, bool demo)
      : pty_(pty), watch_(watch), demo_(demo) {}

  // Sends the whole text; false when a signal came first or the port failed.
  bool Send(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
      DWORD error = 0;
      const long n = pty_.WriteSome(text.data() + done, text.size() - done, error);
      if (n < 0) {
        Error("cannot write to " + Printable(pty_.FarEnd()) + ": " + OpenFailureReason(error, pty_.FarEnd()));
        failed_ = true;
        return false;
      }
      done += std::size_t(n);
      if (done == text.size()) break;
      if (n == 0 && demo_) {
        // Nobody reads: like a scanner, the demo does not wait; what was not taken goes.
        pty_.DropUnread();
        continue;
      }
      pf::TWaitItem item{pty_.Descriptor(), true};
      if (watch_.Wait(std::span(&item, 1), -1)) return false;
    }
    return true;
  }

  // Sleeps until `until`, dropping what the reader sends; false when a signal came.
  bool SleepUntil(Clock::time_point until) {
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
      if (left <= 0) return !watch_.Received();
      pf::TWaitItem item{pty_.Descriptor()};
      if (watch_.Wait(std::span(&item, 1), int(left))) return false;
      if (item.ready) pty_.DiscardReceived();
    }
  }

  // At the end: gives the reader up to two seconds to take what was sent.
  void Drain() {
    const auto end = Clock::now() + std::chrono::seconds(2);
    while (pty_.Unread() > 0 && Clock::now() < end && !watch_.Received()) watch_.Wait(10);
  }

  bool Failed() const { return failed_; }

 private:
  pf::TPseudoTerminal& pty_;
  pf::TSignalWatch& watch_;
  bool demo_;
  bool failed_ = false;
};

// Splits standard input into lines (LF, with a CR before it dropped), waiting for input while
// watching for signals.
class LineInput {
 public:
  explicit LineInput(pf::TSignalWatch& watch) : watch_(watch) {}
  // False at the end of the input or on a signal.
  bool Next(std::string& line) {
    for (;;) {
      if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
        line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
      }
      if (eof_) {
        if (buffer_.empty()) return false;
        line.swap(buffer_);
        buffer_.clear();
        return true;
      }
      pf::TWaitItem item{0};
      if (watch_.Wait(std::span(&item, 1), -1)) return false;
      char chunk[4096];
      const long n = pf::ReadAvailable(0, chunk, sizeof chunk);
      if (n > 0) buffer_.append(chunk, std::size_t(n));
      else if (n == 0) eof_ = true;
      else if (errno != EAGAIN && errno != EINTR) eof_ = true;
    }
  }

 private:
  pf::TSignalWatch& watch_;
  std::string buffer_;
  bool eof_ = false;
};

struct SimulateSettings {
  unsigned number = 0;  // 0: the lowest free one
  std::string name;     // as given
  std::string terminator = "\r";
  long delayMs = -1;
  bool demo = false;
  unsigned long count = 0;
};

using S = SimulateSettings;
constexpr std::pair<const char*, const char*> kTerminators[] = {
    {"CR", "\r"}, {"LF", "\n"}, {"CRLF", "\r\n"}, {"NONE", ""}};

constexpr Option<S> kSimulateOptions[] = {
    {{"--demo", "", "send valid EAN-13 codes at a steady pace", ""},
     [](S& s, const std::string&) { return s.demo = true; }},
    {{"--delay", "MS", "time between codes (default 500 with --demo, else 0)",
      "milliseconds from 0 to 3600000"},
     [](S& s, const std::string& v) {
       unsigned long ms = 0;
       return ParseNumber(v, 0, 3600000, ms) && (s.delayMs = long(ms), true);
     }},
    {{"--terminator", "CR|LF|CRLF|none", "what follows each code (default CR)", "CR, LF, CRLF or none"},
     [](S& s, const std::string& v) {
       std::string u;
       for (char c : v) u += char(std::toupper(static_cast<unsigned char>(c)));
       for (const auto& [name, text] : kTerminators)
         if (u == name) return s.terminator = text, true;
       return false;
     }},
    {{"--count", "N", "end after N codes", "a number of barcodes from 1"},
     [](S& s, const std::string& v) { return ParseNumber(v, 1, 4000000000UL, s.count); }},
};

std::string SimulateOperands(S& s, const std::vector<std::string>& ops) {
  if (ops.size() > 1) return "expected at most one port name";
  if (s.delayMs < 0) s.delayMs = s.demo ? 500 : 0;
  std::string error;
  if (!ops.empty() && !(s.number = ParsePort(ops[0], error))) return error;
  if (!ops.empty()) s.name = ops[0];
  return "";
}

int RunSimulate(S& s) {
  unsigned number = s.number;
  const long delayMs = s.delayMs;
  const bool demo = s.demo;
  const unsigned long count = s.count;
  const std::string& terminator = s.terminator;
  std::signal(SIGPIPE, SIG_IGN);
  pf::TSignalWatch watch({SIGINT, SIGTERM, SIGHUP});
  pf::TPseudoTerminal pty;
  DWORD error = 0;
  if (!pty.Open(error)) {
    Error("cannot open a pseudo-terminal: " + OpenFailureReason(error, "/dev/ptmx"));
    return kExitFailure;
  }
  const std::string device = pty.FarEnd();
  const auto markers = ReadSimulatorMarks();
  number = pf::ClaimComPort(number, device,
                            [&](const pf::PortEntry& m) { return StaleMapping(m, markers); }, error);
  if (!number) {
    if (error == ERROR_ALREADY_EXISTS && s.number) {
      Error("cannot simulate on " + Printable(s.name) + ": the number is taken (qvcomm ports lists it; pick another or none)");
      return kExitRefused;
    }
    if (error == ERROR_NO_MORE_ITEMS) {
      Error("cannot simulate: every number from COM1 to COM255 is taken");
      return kExitRefused;
    }
    Error("cannot map " + Printable(device) + ": " + OpenFailureReason(error, device));
    return kExitFailure;
  }
  WriteSimulatorMark(number, device, true);
  const std::string port = "COM" + std::to_string(number);
  std::printf("%s\n", port.c_str());
  std::fflush(stdout);
  if (demo)
    std::fprintf(stderr, "qvcomm: virtual barcode scanner on %s (%s), a made-up EAN-13 code every %ld ms\n",
                 port.c_str(), device.c_str(), delayMs);
  else
    std::fprintf(stderr, "qvcomm: virtual barcode scanner on %s (%s), one barcode per input line\n",
                 port.c_str(), device.c_str());

  Simulator sim(pty, watch, demo);
  LineInput input(watch);
  std::mt19937_64 rng{std::random_device{}()};
  auto next = Clock::now();
  for (unsigned long sent = 0; !count || sent < count; ++sent) {
    std::string code;
    if (demo) {
      if (sent && !sim.SleepUntil(next)) break;
      code = DemoCode(rng);
    } else {
      if (!input.Next(code)) break;
      if (code.empty()) {
        --sent;  // an empty line is no barcode
        continue;
      }
      if (sent && delayMs && !sim.SleepUntil(next)) break;
    }
    if (!sim.Send(code + terminator)) break;
    // A steady pace: the next code is due one period after this one was due.
    next += std::chrono::milliseconds(delayMs);
    if (next < Clock::now()) next = Clock::now();
  }
  if (!watch.Received() && !sim.Failed()) sim.Drain();

  pf::RemoveUserMapping(number, device);
  WriteSimulatorMark(number, device, false);
  pty.Close();
  if (int sig = watch.Received()) return ExitForSignal(sig);
  return sim.Failed() ? kExitFailure : kExitOk;
}

constexpr Syntax<SimulateSettings> kSimulateSyntax{
    "simulate", "simulate [COMn] [OPTIONS]", "a virtual barcode scanner on a pseudo-terminal",
    "Plays a barcode scanner: opens a pseudo-terminal pair, maps its far end as COMn (the\n"
    "lowest free number when none is given), prints that port name on the first line, then\n"
    "sends each line of standard input as a barcode, or with --demo made-up EAN-13 codes.\n"
    "Ends at the end of the input, after --count codes, or on Ctrl-C, and removes the\n"
    "mapping.\n",
    kSimulateOptions, SimulateOperands};

}  // namespace

const Command simulateCommand = MakeCommand<SimulateSettings, &kSimulateSyntax, RunSimulate>();

}  // namespace qvcomm
