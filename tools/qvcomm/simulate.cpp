// qvcomm simulate: a virtual barcode scanner on a pseudo-terminal mapped as a COM port.
#include "tools/qvcomm/commands.h"

#include "platform/portmap.h"
#include "platform/procinfo.h"
#include "platform/pseudoterminal.h"
#include "platform/regstore.h"
#include "platform/signals.h"
#include "platform/winreg.h"
#include "tools/qvcomm/cli.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <span>

namespace qvcomm {

namespace {

namespace pf = qv::platform;
using Clock = std::chrono::steady_clock;

// Which simulator made which mapping ("COM5" = "<pid> <device>"), so a mapping left behind by
// one that was killed is known as such even when its pseudo-terminal number is in use again.
constexpr const char* kSimulatorsKey = "Software\\qvcomm\\Simulators";

struct Marker {
  int pid = 0;
  std::string device;
};

std::map<unsigned, Marker> ReadMarkers() {
  std::map<unsigned, Marker> out;
  std::shared_ptr<const pf::RegHive> hive;
  if (pf::RegStoreRead(pf::RegRoot::User, hive) != ERROR_SUCCESS) return out;
  const pf::RegKeyNode* node = hive->Find(kSimulatorsKey);
  if (!node) return out;
  for (const pf::RegValue& v : node->values) {
    std::string text(v.data.begin(), v.data.end());
    if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    const auto space = text.find(' ');
    unsigned long pid = 0;
    if (space == std::string::npos || !ParseNumber(text.substr(0, space), 1, 0x7fffffff, pid))
      continue;
    if (unsigned n = pf::ComPortNumber(v.name)) out[n] = {int(pid), text.substr(space + 1)};
  }
  return out;
}

void WriteMarker(unsigned number, const std::string& device, bool add) {
  const std::string name = "COM" + std::to_string(number);
  pf::RegStoreModify(pf::RegRoot::User, [&](pf::RegHive& hive, bool& changed) -> LONG {
    pf::RegKeyNode& node = hive.Create(kSimulatorsKey);
    std::erase_if(node.values, [&](const pf::RegValue& v) { return pf::RegFold(v.name) == pf::RegFold(name); });
    if (add) {
      const std::string text = std::to_string(pf::CurrentProcessId()) + " " + device;
      std::vector<BYTE> data(text.begin(), text.end());
      data.push_back(0);
      node.values.push_back(pf::RegValue{name, REG_SZ, std::move(data)});
    }
    changed = true;
    return ERROR_SUCCESS;
  });
}

// A mapping nobody can be using: a pseudo-terminal that is gone (its number may come back for
// another terminal, never for this mapping), or one a simulator made that has ended.
bool Stale(const pf::PortEntry& m, const std::map<unsigned, Marker>& markers) {
  std::error_code ec;
  if (m.device.rfind("/dev/pts/", 0) == 0 && !std::filesystem::exists(m.device, ec)) return true;
  auto it = markers.find(m.number);
  return it != markers.end() && it->second.device == m.device && !pf::ProcessExists(it->second.pid);
}

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
  const auto markers = ReadMarkers();
  number = pf::ClaimComPort(number, device,
                            [&](const pf::PortEntry& m) { return Stale(m, markers); }, error);
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
  WriteMarker(number, device, true);
  const std::string port = "COM" + std::to_string(number);
  std::printf("%s\n", port.c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "qvcomm: simulating a barcode scanner on %s (%s)%s; Ctrl-C ends it\n",
               port.c_str(), device.c_str(), demo ? "" : ", one barcode per input line");

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
  WriteMarker(number, device, false);
  pty.Close();
  if (int sig = watch.Received()) return ExitForSignal(sig);
  return sim.Failed() ? kExitFailure : kExitOk;
}

}  // namespace qvcomm
