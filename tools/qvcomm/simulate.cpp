// qvcomm simulate: a virtual barcode scanner on a pseudo-terminal mapped as a COM port.
#include "tools/qvcomm/commands.h"

#include "barcode/ean13.h"
#include "platform/serial/pseudoterminal.h"
#include "platform/system/openwatch.h"
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

enum class Demo { kNone, kEan13, kCode128, kQr };

// A made-up code of the kind a scanner reads from that symbology: EAN-13 digits with their
// check digit; Code 128 text with letters, digits, spaces and dashes; QR codes holding URLs.
std::string DemoCode(Demo kind, std::mt19937_64& rng) {
  auto pick = [&](std::string_view from, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(rng)];
    return out;
  };
  auto number = [&](std::uint64_t below) { return std::uniform_int_distribution<std::uint64_t>(0, below - 1)(rng); };
  constexpr std::string_view kUpper = "ABCDEFGHJKLMNPQRSTUVWXYZ", kDigits = "0123456789",
                             kAlnum = "abcdefghijkmnpqrstuvwxyz23456789";
  switch (kind) {
    case Demo::kCode128:
      switch (number(3)) {
        case 0: return pick(kUpper, 3) + "-" + pick(kDigits, 3);
        case 1: return "SKU " + qv::barcode::Ean13(number(1000000000000ULL));
        default: return "LOT " + pick(kUpper, 2) + pick(kDigits, 4) + "/" + pick(kDigits, 2);
      }
    case Demo::kQr:
      return number(2) ? "https://example.com/p/" + pick(kAlnum, 8) + "?lot=" + pick(kDigits, 4)
                       : "https://example.org/track?id=" + pick(kAlnum, 12);
    default: return qv::barcode::Ean13(number(1000000000000ULL));
  }
}

class Simulator {
 public:
  Simulator(pf::TPseudoTerminal& pty, pf::TSignalWatch& watch, bool demo)
      : pty_(pty), watch_(watch), demo_(demo) {}

  // Sleeps until a program opens the far end (what the watch tells); false when a signal
  // came first.
  bool WaitForReader(pf::TOpenWatch& opens) {
    for (;;) {
      pf::TWaitItem item{opens.Descriptor()};
      if (watch_.Wait(std::span(&item, 1), -1)) return false;
      if (opens.TakeOpened()) return true;
    }
  }

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
  Demo demo = Demo::kNone;
  bool wait = true;
  unsigned long count = 0;
};

using S = SimulateSettings;
constexpr std::pair<const char*, const char*> kTerminators[] = {
    {"CR", "\r"}, {"LF", "\n"}, {"CRLF", "\r\n"}, {"NONE", ""}};
constexpr std::pair<const char*, Demo> kDemos[] = {
    {"", Demo::kEan13}, {"ean13", Demo::kEan13}, {"code128", Demo::kCode128}, {"qr", Demo::kQr}};

constexpr Option<S> kSimulateOptions[] = {
    {{"--demo", "[KIND]", "send made-up codes at a steady pace: ean13 (the default: valid\n"
                          "EAN-13 digits), code128 (letters, digits, spaces: ABC-123,\n"
                          "SKU 4006381333931) or qr (URLs)", "ean13, code128 or qr"},
     [](S& s, const std::string& v) {
       for (const auto& [name, kind] : kDemos)
         if (v == name) return s.demo = kind, true;
       return false;
     }},
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
    {{"--no-wait", "", "send at once, also while no program has the port open (by default\n"
                       "the first code waits for a reader)", ""},
     [](S& s, const std::string&) { return !(s.wait = false); }},
};

std::string SimulateOperands(S& s, const std::vector<std::string>& ops) {
  if (ops.size() > 1) return "expected at most one port name";
  if (s.delayMs < 0) s.delayMs = s.demo != Demo::kNone ? 500 : 0;
  std::string error;
  if (!ops.empty() && !(s.number = ParsePort(ops[0], error))) return error;
  if (!ops.empty()) s.name = ops[0];
  return "";
}

int RunSimulate(S& s) {
  unsigned number = s.number;
  const long delayMs = s.delayMs;
  const bool demo = s.demo != Demo::kNone;
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
  // Watched before the port has a name, so no reader can come unseen.
  pf::TOpenWatch opens;
  if (s.wait && !opens.Start(device, error)) {
    Error("cannot watch " + Printable(device) + " for a reader: " + OpenFailureReason(error, device) +
          " (--no-wait sends without waiting)");
    return kExitFailure;
  }
  const auto markers = ReadSimulatorMarks();
  std::string reason;
  number = pf::ClaimComPort(number, device,
                            [&](const pf::PortEntry& m) { return StaleMapping(m, markers); }, error,
                            reason);
  if (!number) {
    if (int sig = watch.Received()) return ExitForSignal(sig);
    if (error == ERROR_ALREADY_EXISTS && s.number) {
      Error("cannot simulate on " + Printable(s.name) + ": the number is taken (qvcomm ports lists it; pick another or none)");
      return kExitRefused;
    }
    if (error == ERROR_NO_MORE_ITEMS) {
      Error("cannot simulate: every number from COM1 to COM255 is taken");
      return kExitRefused;
    }
    Error("cannot map " + Printable(device) + ": " +
          (reason.empty() ? OpenFailureReason(error, device) : reason));
    return kExitFailure;
  }
  WriteSimulatorMark(number, device, true);
  const std::string port = "COM" + std::to_string(number);
  std::printf("%s\n", port.c_str());
  std::fflush(stdout);
  if (demo)
    std::fprintf(stderr, "qvcomm: virtual barcode scanner on %s (%s), a made-up %s code every %ld ms\n",
                 port.c_str(), device.c_str(),
                 s.demo == Demo::kQr ? "QR" : s.demo == Demo::kCode128 ? "Code 128" : "EAN-13", delayMs);
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
      code = DemoCode(s.demo, rng);
    } else {
      if (!input.Next(code)) break;
      if (code.empty()) {
        --sent;  // an empty line is no barcode
        continue;
      }
    }
    if (!sent && s.wait && !opens.TakeOpened()) {
      std::fprintf(stderr, "qvcomm: waiting for a program to open %s (--no-wait sends at once)\n",
                   port.c_str());
      if (!sim.WaitForReader(opens)) break;
    }
    // A steady pace: a code is due one period after the one before, and never before it is
    // there (a line that comes late starts the period anew).
    if (!sent || next < Clock::now()) next = Clock::now();
    if (sent && delayMs && !sim.SleepUntil(next)) break;
    if (!sim.Send(code + terminator)) break;
    next += std::chrono::milliseconds(delayMs);
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
    "sends each line of standard input as a barcode, or with --demo made-up codes. The first\n"
    "code waits until a program opens the port, unless --no-wait. Ends at the end of the\n"
    "input, after --count codes, or on Ctrl-C, and removes the mapping.\n",
    kSimulateOptions, SimulateOperands};

}  // namespace

const Command simulateCommand = MakeCommand<SimulateSettings, &kSimulateSyntax, RunSimulate>();

}  // namespace qvcomm
