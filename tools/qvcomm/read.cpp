// qvcomm read: prints the barcodes a scanner sends, through the barcode scanner component.
#include "tools/qvcomm/commands.h"

#include "barcode/qvbarcode.h"
#include "log/qvlogfile.h"
#include "platform/rtl/application.h"
#include "platform/rtl/threads.h"
#include "platform/system/portmap.h"
#include "platform/system/signals.h"
#include "platform/win32/winbase.h"
#include "tools/qvcomm/cli.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <span>

namespace qvcomm {

namespace {

namespace pf = qv::platform;

struct ReadSettings {
  unsigned number = 0;
  DWORD baud = 9600;
  BYTE dataBits = 8;
  TParity parity = pNone;
  TStopBits stopBits = sbOne;
  TStreamProtocol flow = spHardware;
  std::optional<char> begin, end;
  bool anyChars = false, noAutoDetect = false, initConnection = false;
  std::optional<std::string> ignore;
  std::optional<unsigned long> timeoutMs;
  std::string logFile;
  bool json = false;
  unsigned long count = 0;
};

// CHAR: one character, a name (CR, LF, TAB, STX, ETX, ESC, NUL) or a code (13, 0x0d).
bool ParseChar(const std::string& text, char& out) {
  if (text.size() == 1) {
    out = text[0];
    return true;
  }
  std::string u;
  for (char c : text) u += char(std::toupper(static_cast<unsigned char>(c)));
  static const std::pair<const char*, char> kNames[] = {
      {"NUL", 0}, {"STX", 2}, {"ETX", 3}, {"TAB", 9}, {"LF", 10}, {"CR", 13}, {"ESC", 27}};
  for (const auto& [name, c] : kNames)
    if (u == name) {
      out = c;
      return true;
    }
  unsigned long v = 0;
  if (u.rfind("0X", 0) == 0 && u.size() > 2 && u.size() <= 4) {
    v = std::strtoul(u.c_str() + 2, nullptr, 16);
    if (u.find_first_not_of("0123456789ABCDEF", 2) != std::string::npos) return false;
  } else if (!ParseNumber(u, 0, 255, v)) {
    return false;
  }
  if (v > 255) return false;
  out = char(v);
  return true;
}

// Takes a number in [min, max] into field.
template <class T, unsigned long min, unsigned long max>
bool TakeNumber(T& field, const std::string& v) {
  unsigned long n = 0;
  if (!ParseNumber(v, min, max, n)) return false;
  field = T(n);
  return true;
}

// Takes the value whose name is v from a table of names.
template <class T, std::size_t N>
bool TakeName(T& field, const std::pair<const char*, T> (&names)[N], const std::string& v) {
  for (const auto& [name, value] : names)
    if (v == name) {
      field = value;
      return true;
    }
  return false;
}

constexpr std::pair<const char*, TParity> kParityNames[] = {
    {"none", pNone}, {"odd", pOdd}, {"even", pEven}, {"mark", pMark}, {"space", pSpace}};
constexpr std::pair<const char*, TStopBits> kStopBitNames[] = {
    {"1", sbOne}, {"1.5", sbOneAndHalf}, {"2", sbTwo}};
constexpr std::pair<const char*, TStreamProtocol> kFlowNames[] = {
    {"none", spNone}, {"xonxoff", spXonXoff}, {"rtscts", spHardware}};

bool TakeChar(std::optional<char>& field, const std::string& v) {
  char c = 0;
  if (!ParseChar(v, c)) return false;
  field = c;
  return true;
}

constexpr std::string_view kCharValues = "one character, CR, LF, TAB, STX, ETX, ESC, NUL or a code 0..255";

using R = ReadSettings;
constexpr Option<R> kReadOptions[] = {
    {{"", "", "Line settings (defaults: 9600 8N1, rtscts):", ""}},
    {{"--baud", "N", "bits per second", "a rate from 50 to 4000000"},
     [](R& s, const std::string& v) { return TakeNumber<DWORD, 50, 4000000>(s.baud, v); }},
    {{"--data-bits", "5|6|7|8", "", "5, 6, 7 or 8"},
     [](R& s, const std::string& v) { return TakeNumber<BYTE, 5, 8>(s.dataBits, v); }},
    {{"--parity", "none|odd|even|mark|space", "", "none, odd, even, mark or space"},
     [](R& s, const std::string& v) { return TakeName(s.parity, kParityNames, v); }},
    {{"--stop-bits", "1|1.5|2", "", "1, 1.5 or 2"},
     [](R& s, const std::string& v) { return TakeName(s.stopBits, kStopBitNames, v); }},
    {{"--flow", "none|xonxoff|rtscts", "", "none, xonxoff or rtscts"},
     [](R& s, const std::string& v) { return TakeName(s.flow, kFlowNames, v); }},
    {{"", "", "Framing (defaults: a carriage return or any other non-digit ends a barcode, and\n"
              "50 ms without data):", ""}},
    {{"--begin", "CHAR", "a begin character starts a new barcode", kCharValues},
     [](R& s, const std::string& v) { return TakeChar(s.begin, v); }},
    {{"--end", "CHAR", "the end character (default CR) ends a barcode", kCharValues},
     [](R& s, const std::string& v) { return TakeChar(s.end, v); }},
    {{"--any-chars", "", "take every character, not only digits", ""},
     [](R& s, const std::string&) { return s.anyChars = true; }},
    {{"--no-auto-detect", "", "no end by a non-digit or by the time-out", ""},
     [](R& s, const std::string&) { return s.noAutoDetect = true; }},
    {{"--ignore", "CHARS", "characters dropped from barcodes", "characters"},
     [](R& s, const std::string& v) { return s.ignore = v, true; }},
    {{"--timeout", "MS", "the end-of-barcode time-out (default 50)", "milliseconds from 0 to 3600000"},
     [](R& s, const std::string& v) { return TakeNumber<unsigned long, 0, 3600000>(s.timeoutMs.emplace(), v); }},
    {{"--init-connection", "", "test the scanner (DSR) each time the port opens", ""},
     [](R& s, const std::string&) { return s.initConnection = true; }},
    {{"", "", "CHAR is one character, or CR, LF, TAB, STX, ETX, ESC, NUL, or a code: 13, 0x0d.\n"
              "Output:", ""}},
    {{"--json", "", "one JSON object per barcode and line:\n"
                    "{\"port\":\"COM3\",\"barcode\":\"...\",\"time\":\"...\"}", ""},
     [](R& s, const std::string&) { return s.json = true; }},
    {{"--count", "N", "end after N barcodes", "a number of barcodes from 1"},
     [](R& s, const std::string& v) { return TakeNumber<unsigned long, 1, 4000000000UL>(s.count, v); }},
    {{"--log", "FILE", "write the component's log (barcodes included) to FILE", "a file name"},
     [](R& s, const std::string& v) { return s.logFile = v, !v.empty(); }},
};

std::string ReadOperands(R& s, const std::vector<std::string>& ops) {
  if (ops.size() != 1) return "expected one port name";
  std::string error;
  if (!(s.number = ParsePort(ops[0], error))) return error;
  if (s.noAutoDetect && !s.end)
    return "with --no-auto-detect only an end character ends a barcode: give --end CHAR";
  return "";
}

std::string UtcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", std::gmtime(&t));
  char out[48];
  std::snprintf(out, sizeof out, "%s.%03dZ", buf, int(ms));
  return out;
}

const char* kParityLetter = "NOEMS";

// Receives the component's events on the main thread (OnClose also on the port's own thread
// when the port vanishes).
struct Reader {
  Reader(const ReadSettings& s, std::string p) : settings(s), port(std::move(p)) {}
  const ReadSettings& settings;
  std::string port;
  unsigned long received = 0;
  bool done = false;
  bool outputFailed = false;
  std::atomic<bool> closing{false};
  std::atomic<bool> vanished{false};
  DWORD fatalDetail = 0;
  std::string fatalMessage;

  void BarCode(TObject*, std::string code) {
    if (done) return;
    std::string line = (settings.json ? BarcodeJson(port, code, UtcNow()) : Printable(code)) + "\n";
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0) {
      outputFailed = errno != EPIPE;
      done = true;
      return;
    }
    if (settings.count && ++received >= settings.count) done = true;
  }

  void FatalError(TObject*, DWORD, DWORD detail, std::string message, bool& raise) {
    raise = false;
    if (fatalMessage.empty()) {
      // An open failure carries no detail: the system's error is still the thread's last one.
      fatalDetail = detail ? detail : GetLastError();
      fatalMessage = message;
    }
    done = true;
  }

  // The port closed: by us, or because it went away.
  void Closed(TObject*) {
    if (!closing.load()) {
      vanished.store(true);
      if (Application) Application->Terminate();
    }
  }
};

int RunRead(ReadSettings& s) {
  const std::string port = "COM" + std::to_string(s.number);
  std::string device;
  DWORD error = 0;
  if (!pf::ResolveComPort(s.number, device, error)) {
    for (const pf::PortEntry& m : pf::ListUserMappings())
      if (m.number == s.number) {
        Error(port + ": no such port: it is mapped to " + Printable(m.device) +
              ", which is not there (unplugged, or its program ended)");
        return kExitNoPort;
      }
    Error(port + ": no such port (qvcomm ports lists the ports present; qvcomm map " + port +
          " PATH names a device)");
    return kExitNoPort;
  }
  // Each barcode leaves at once even into a pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::signal(SIGPIPE, SIG_IGN);
  pf::TSignalWatch watch({SIGINT, SIGTERM, SIGHUP});
  TApplication app;
  if (!TThread::WatchOnMainThread(watch.Event(), &watch, [] { Application->Terminate(); }, [] {})) {
    Error("cannot watch for Ctrl-C in the main loop");
    return kExitFailure;
  }
  Reader reader(s, port);

  std::unique_ptr<TqvLogFile> log;
  if (!s.logFile.empty()) {
    // The log reports a file it cannot write only by its own words; say why, before opening.
    if (std::FILE* f = std::fopen(s.logFile.c_str(), "a")) {
      std::fclose(f);
    } else {
      Error("cannot write the log file " + Printable(s.logFile) + ": " + std::strerror(errno));
      return kExitFailure;
    }
    log = std::make_unique<TqvLogFile>(nullptr);
    log->SetOptions(TLogOptions(log->Options() & ~(loAutoFileName | loDebugOut)));
    log->SetFileName(s.logFile);
    log->SetDetailLevel(dlDetail);  // barcodes are logged at this level
  }
  TqvBarCodeScan scan(nullptr);
  scan.SetLog(log.get());
  scan.SetComPortNo(WORD(s.number));
  scan.SetBaudRate(s.baud);
  scan.SetByteSize(s.dataBits);
  scan.SetParity(s.parity);
  scan.SetStopBits(s.stopBits);
  scan.SetStreamProtocol(s.flow);
  TBarcodeOptions options = scan.Options();
  if (s.begin) {
    scan.SetCharBegin(BYTE(*s.begin));
    options += boUseBeginChar;
  }
  if (s.end) {
    scan.SetCharEnd(BYTE(*s.end));
    options += boUseEndChar;
  }
  if (s.anyChars) options += boAnyChars;
  if (s.noAutoDetect) options -= boAutoDetect;
  if (s.initConnection) options += boInitConnection;
  scan.SetOptions(options);
  if (s.ignore) scan.SetIgnoreChars(*s.ignore);
  if (s.timeoutMs) scan.SetTimeout(DWORD(*s.timeoutMs));
  scan.OnBarCode = TOnBarCodeEvent(&reader, &Reader::BarCode);
  scan.OnFatalError = TOnFatalErrorEvent(&reader, &Reader::FatalError);
  scan.OnClose = TNotifyEvent(&reader, &Reader::Closed);

  reader.closing = true;  // an open that fails closes too
  scan.SetActive(true);
  reader.closing = false;
  if (!scan.Active()) {
    Error("cannot open " + port + " (" + Printable(device) + "): " +
          (reader.fatalDetail ? OpenFailureReason(reader.fatalDetail, device)
                              : Printable(reader.fatalMessage)));
    return reader.fatalDetail ? ExitForOpenError(reader.fatalDetail) : kExitFailure;
  }
  std::fprintf(stderr, "qvcomm: reading %s (%s), %lu %u%c%s, flow %s; Ctrl-C ends\n", port.c_str(),
               Printable(device).c_str(), (unsigned long)s.baud, unsigned(s.dataBits),
               kParityLetter[s.parity], s.stopBits == sbOne ? "1" : s.stopBits == sbTwo ? "2" : "1.5",
               s.flow == spNone ? "none" : s.flow == spXonXoff ? "xonxoff" : "rtscts");

  // The application's own loop sleeps until the component's work, a signal or the port's end
  // wakes it; while it sleeps, the main thread holds the port's wait itself, so a barcode
  // wakes this one thread. A signal ends the loop through the watch on its event (set up
  // before the port opens).
  while (!reader.done && !reader.vanished.load() && !watch.Received() && !app.Terminated())
    app.WaitAndProcess(INFINITE);
  TThread::WithdrawMainWatch(&watch);
  reader.closing = true;
  const bool vanished = reader.vanished.load();
  scan.SetActive(false);
  if (vanished) {
    Error(port + " (" + Printable(device) + ") went away: the device was unplugged or closed");
    return kExitVanished;
  }
  if (!reader.fatalMessage.empty()) {
    Error(port + ": " + Printable(reader.fatalMessage));
    return kExitFailure;
  }
  if (reader.outputFailed) {
    Error("cannot write to standard output");
    return kExitFailure;
  }
  if (int sig = watch.Received()) return ExitForSignal(sig);
  return kExitOk;
}

constexpr Syntax<ReadSettings> kReadSyntax{
    "read", "read COMn [OPTIONS]", "print each barcode a scanner on COMn sends",
    "Opens COMn with the barcode scanner component and prints each barcode on its own line\n"
    "as it arrives, until Ctrl-C (or SIGTERM) or --count barcodes.\n",
    kReadOptions, ReadOperands};

}  // namespace

const Command readCommand = MakeCommand<ReadSettings, &kReadSyntax, RunRead>();

}  // namespace qvcomm
