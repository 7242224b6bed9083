// qvcomm simulate: a virtual barcode scanner on a pseudo-terminal mapped as a COM port.
#include "tools/qvcomm/commands.h"

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
std::string DemoCode(std::mt19937& rng) {
  std::uniform_int_distribution<int> digit(0, 9);
  std::string code;
  int sum = 0;
  for (int i = 0; i < 12; ++i) {
    const int d = digit(rng);
    code += char('0' + d);
    sum += i % 2 ? 3 * d : d;
  }
  code += char('0' + (10 - sum % 10) % 10);
  return code;
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

}  // namespace

int CmdSimulate(Args& args) {
  std::string terminator = "\r";
  long delayMs = -1;
  bool demo = false;
  unsigned long count = 0;
  while (auto opt = args.NextOption()) {
    std::string v;
    if (*opt == "-h" || *opt == "--help") return PrintHelp("simulate");
    if (*opt == "--demo") {
      demo = true;
    } else if (*opt == "--terminator") {
      if (!args.Value(v)) return UsageError("simulate", "--terminator needs CR, LF, CRLF or none");
      std::string u;
      for (char c : v) u += char(std::toupper(static_cast<unsigned char>(c)));
      if (u == "CR") terminator = "\r";
      else if (u == "LF") terminator = "\n";
      else if (u == "CRLF") terminator = "\r\n";
      else if (u == "NONE") terminator.clear();
      else return UsageError("simulate", "--terminator takes CR, LF, CRLF or none, not \"" + Printable(v) + "\"");
    } else if (*opt == "--delay") {
      unsigned long ms = 0;
      if (!args.Value(v) || !ParseNumber(v, 0, 3600000, ms))
        return UsageError("simulate", "--delay takes milliseconds from 0 to 3600000");
      delayMs = long(ms);
    } else if (*opt == "--count") {
      if (!args.Value(v) || !ParseNumber(v, 1, 4000000000UL, count))
        return UsageError("simulate", "--count takes a number of barcodes from 1");
    } else {
      return UsageError("simulate", "unknown option " + Printable(*opt));
    }
  }
  const auto& ops = args.Operands();
  if (ops.size() > 1) return UsageError("simulate", "expected at most one port name");
  unsigned number = 0;
  if (!ops.empty() && !(number = ParsePort("simulate", ops[0]))) return kExitUsage;
  if (delayMs < 0) delayMs = demo ? 500 : 0;

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
    if (error == ERROR_ALREADY_EXISTS && !ops.empty()) {
      Error("cannot simulate on " + Printable(ops[0]) + ": the number is taken (qvcomm ports lists it; pick another or none)");
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
  std::mt19937 rng{std::random_device{}()};
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

}  // namespace qvcomm
