// qvcomm read: prints the barcodes a scanner sends, through the barcode scanner component.
#include "tools/qvcomm/commands.h"

#include "barcode/qvbarcode.h"
#include "log/qvlogfile.h"
#include "platform/devices/devwatch.h"
#include "platform/mqtt/publisher.h"
#include "platform/rtl/application.h"
#include "platform/rtl/threads.h"
#include "platform/rtl/wndmethod.h"
#include "platform/serial/winserial.h"
#include "platform/system/portmap.h"
#include "platform/system/portnames.h"
#include "platform/system/signals.h"
#include "platform/win32/winbase.h"
#include "tools/qvcomm/cli.h"
#include "tools/qvcomm/marks.h"
#include "tools/qvcomm/outlets.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>

namespace qvcomm {

namespace {

namespace pf = qv::platform;

struct ReadSettings {
  std::string name;     // the port as given
  unsigned number = 0;  // COMn, or 0 for a device given by path or network address
  std::string device;   // that path or address
  DWORD baud = 9600;
  BYTE dataBits = 8;
  TParity parity = pNone;
  TStopBits stopBits = sbOne;
  TStreamProtocol flow = spHardware;
  std::optional<char> begin, end;
  bool digits = false, noAutoDetect = false, initConnection = false;
  std::optional<std::string> ignore;
  std::optional<unsigned long> timeoutMs;
  std::string logFile;
  bool json = false;
  unsigned long count = 0;
  bool reconnect = false;
  OutletSettings out;
  bool inConfig = false;  // reading a --config file (which cannot name another)
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
bool TakeConfig(R& s, const std::string& file);

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
    {{"", "", "Framing (defaults: whole lines: any character; CR, LF or CR LF ends a barcode, and\n"
              "so do 50 ms without data):", ""}},
    {{"--digits", "", "the scanner component's own framing: only digits are taken,\n"
                      "any other character (CR included) or 50 ms without data ends a barcode", ""},
     [](R& s, const std::string&) { return s.digits = true; }},
    {{"--any-chars", "", "take every character (the default)", ""},
     [](R& s, const std::string&) { return !(s.digits = false); }},
    {{"--begin", "CHAR", "a begin character starts a new barcode", kCharValues},
     [](R& s, const std::string& v) { return TakeChar(s.begin, v); }},
    {{"--end", "CHAR", "the end character ends a barcode (and is not part of it), in\n"
                       "place of CR and LF", kCharValues},
     [](R& s, const std::string& v) { return TakeChar(s.end, v); }},
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
    {{"--log", "FILE", "write the component's log (barcodes included) to FILE (relative to\n"
                       "the current folder)", "a file name"},
     [](R& s, const std::string& v) { return s.logFile = v, !v.empty(); }},
    {{"--reconnect", "", "when the port goes away (or is not there yet), wait for it and\n"
                         "read on with the same settings", ""},
     [](R& s, const std::string&) { return s.reconnect = true; }},
    {{"--config", "FILE", "more options from FILE, one per line: the option, a blank, the\n"
                          "value as the rest of the line (--exec /usr/bin/prog arg)", "a readable file of options"},
     TakeConfig},
    {{"", "", "Publishing (each barcode kept in a spool file until the broker has it):", ""}},
    {{"--publish", "URL", "mqtt://[USER@]HOST[:PORT]/TOPIC or mqtts://...: one JSON message\n"
                          "per barcode (port, barcode, time, host, seq) with QoS 1", "a broker URL"},
     [](R& s, const std::string& v) { return s.out.publish = v, true; }},
    {{"--ca", "FILE", "mqtts: trust the CA certificates in FILE (default: the system's)", "a file name"},
     [](R& s, const std::string& v) { return s.out.caFile = v, !v.empty(); }},
    {{"--password-file", "FILE", "the password on its first line (else $QVCOMM_MQTT_PASSWORD)", "a file name"},
     [](R& s, const std::string& v) { return s.out.passwordFile = v, !v.empty(); }},
    {{"--spool-size", "MIB", "the most the spool keeps (default 16)", "MiB from 1 to 4096"},
     [](R& s, const std::string& v) { return TakeNumber<unsigned long, 1, 4096>(s.out.spoolMiB, v); }},
    {{"", "", "Commands:", ""}},
    {{"--exec", "CMD", "run CMD for each barcode, never through a shell: CMD is split at\n"
                       "blanks, the barcode is its last argument and its standard input", "a command"},
     [](R& s, const std::string& v) { return s.out.exec = v, v.find_first_not_of(" \t") != std::string::npos; }},
};

// The options of a --config file: no operands.
constexpr Syntax<R> kConfigSyntax{"read", "", "", "", kReadOptions,
                                  [](R&, const std::vector<std::string>& ops) {
                                    return ops.empty() ? std::string()
                                                       : "\"" + Printable(ops[0]) + "\" is not an option";
                                  }};

// --config FILE: one option per line ("--baud 9600"; the value is the rest of the line);
// blank lines and lines starting with '#' are skipped. What is wrong is said here, the
// option's own message follows.
bool TakeConfig(R& s, const std::string& file) {
  std::ifstream in(file);
  if (file.empty() || !in || s.inConfig) {
    if (s.inConfig) Error("an options file cannot name another (--config)");
    return false;
  }
  std::vector<std::string> words;
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    line.erase(0, start);
    const std::size_t blank = line.find_first_of(" \t");
    words.push_back(line.substr(0, blank));
    if (blank != std::string::npos) words.push_back(line.substr(line.find_first_not_of(" \t", blank)));
  }
  s.inConfig = true;
  const Parsed parsed = Parse(kConfigSyntax, words, s);
  s.inConfig = false;
  if (parsed.status == Parsed::kOk) return true;
  Error(Printable(file) + ": " + (parsed.status == Parsed::kHelp ? "--help is no option here" : parsed.error));
  return false;
}

std::string ReadOperands(R& s, const std::vector<std::string>& ops) {
  if (ops.size() != 1) return "expected one port name";
  s.name = ops[0];
  if (s.name.rfind("\\\\", 0) != 0) s.number = pf::ComPortNumber(s.name);
  if (!s.number) {
    if (s.name.empty() || (s.name[0] != '/' && !pf::IsNetworkTarget(s.name)))
      return "\"" + Printable(s.name) +
             "\" is not a port: give COMn (qvcomm ports lists the ports present, qvcomm map COMn "
             "PATH names a device), a device path such as /dev/ttyUSB0, or rfc2217://HOST:PORT or "
             "tcp://HOST:PORT";
    s.device = s.name;
  }
  if (s.digits && s.noAutoDetect && !s.end)
    return "with --digits --no-auto-detect only an end character ends a barcode: give --end CHAR";
  if (!s.out.publish.empty()) {
    pf::MqttTarget target;
    std::string why;
    if (!pf::ParseMqttUrl(s.out.publish, target, why)) return "--publish " + Printable(s.out.publish) + ": " + why;
    if (!s.out.caFile.empty() && !target.tls) return "--ca is for an mqtts:// broker";
  } else if (!s.out.caFile.empty() || !s.out.passwordFile.empty()) {
    return "--ca and --password-file go with --publish";
  }
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

// The scanner on a device named by its path or network address instead of a COM number.
class TDeviceScan : public TqvBarCodeScan {
 public:
  explicit TDeviceScan(std::string device) : device_(std::move(device)) {}
  HANDLE OpenHandle() override {
    if (device_.empty()) return TqvBarCodeScan::OpenHandle();
    return CreateFileA(device_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, 0);
  }
  std::string GetDeviceName() override {
    return device_.empty() ? TqvBarCodeScan::GetDeviceName() : device_;
  }

 private:
  std::string device_;
};

// Receives the component's events on the main thread (OnClose also on the port's own thread
// when the port vanishes).
struct Reader {
  Reader(const ReadSettings& s, std::string p, TqvBarCodeScan& sc, Outlets& o)
      : settings(s), port(std::move(p)), scan(sc), outlets(o) {}
  const ReadSettings& settings;
  std::string port;
  TqvBarCodeScan& scan;
  Outlets& outlets;
  bool devicesChanged = false;
  HWND window = 0;  // with --reconnect: device changes come here
  unsigned long received = 0;
  bool done = false;
  int outputError = 0;  // errno of a failed write to standard output
  std::atomic<bool> closing{false};
  std::atomic<bool> vanished{false};
  DWORD fatalDetail = 0;
  std::string fatalMessage;
  std::vector<BYTE> lines;

  // Whole lines: the component ends a code at CR; an LF ends one the same way, and the CR LF
  // pair ends one code (the second end finds nothing pending).
  void LineData(TObject* sender, const BYTE* data, int count) {
    lines.assign(data, data + (count > 0 ? count : 0));
    std::replace(lines.begin(), lines.end(), BYTE('\n'), BYTE('\r'));
    scan.HandleRxData(sender, lines.data(), int(lines.size()));
  }

  void BarCode(TObject*, std::string code) {
    if (done) return;
    const std::string time = UtcNow();
    // Into the spool first: once it is there, nothing loses it.
    outlets.Deliver(code, time);
    const std::string line = (settings.json ? BarcodeJson(port, code, time) : Printable(code)) + "\n";
    // A failed write may leave fwrite and fflush looking content (the buffer is dropped):
    // the error indicator tells.
    std::clearerr(stdout);
    errno = 0;
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    if (std::ferror(stdout)) {
      outputError = errno ? errno : EIO;
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

  // The library's own words for the failure: what follows the line break of "Device ... Open
  // Error !!!\r<text>".
  std::string FatalText() const {
    const auto cr = fatalMessage.find('\r');
    return cr == std::string::npos ? fatalMessage : fatalMessage.substr(cr + 1);
  }

  // The port closed: by us, or because it went away.
  void Closed(TObject*) {
    if (!closing.load()) {
      vanished.store(true);
      if (window)
        PostMessageA(window, WM_NULL, 0, 0);  // wakes the loop, which waits for the port
      else if (Application)
        Application->Terminate();
    }
  }

  void Message(TMessage& m) {
    if (m.Msg == WM_DEVICECHANGE) devicesChanged = true;
  }

  // Opens the port; false after saying why not (quiet: only a reason not said before).
  bool Open(const std::string& device, bool quiet, std::string& said);
  // "COM3 (/dev/ttyUSB0)", or the path or address given.
  std::string Where(const std::string& device) const {
    return settings.number ? port + " (" + Printable(device) + ")" : Printable(port);
  }
  // --reconnect: sleeps in the loop until the port can be opened again (device changes wake
  // it; a port that is there but cannot be opened yet, or a network port, is tried each
  // second). False when a signal or a failed outlet came first.
  bool WaitForPort(TApplication& app, const pf::TSignalWatch& watch, std::string& device);
};

// The device behind the port, or the exit code after saying why there is none (quiet: without
// saying it).
int FindDevice(const ReadSettings& s, std::string& device, bool quiet) {
  if (!s.number) {
    device = s.device;
    return kExitOk;
  }
  DWORD error = 0;
  if (pf::ResolveComPort(s.number, device, error)) return kExitOk;
  if (quiet) return kExitNoPort;
  const std::string port = "COM" + std::to_string(s.number);
  for (const pf::PortEntry& m : pf::ListUserMappings())
    if (m.number == s.number) {
      Error(port + ": no such port: it is mapped to " + Printable(m.device) +
            ", which is not there (unplugged, or its program ended; qvcomm ports lists the ports "
            "present, qvcomm map " + port + " PATH names another device)");
      return kExitNoPort;
    }
  Error(port + ": no such port (qvcomm ports lists the ports present; qvcomm map " + port +
        " PATH names a device)");
  return kExitNoPort;
}

// The simulator that holds the far end of the port's pseudo-terminal, 0 when there is none.
int SimulatorBehind(unsigned number) {
  if (!number) return 0;
  const auto marks = ReadSimulatorMarks();
  for (const pf::PortEntry& m : pf::ListUserMappings())
    if (m.number == number) return RunningSimulator(m, marks);
  return 0;
}

bool Reader::Open(const std::string& device, bool quiet, std::string& said) {
  fatalDetail = 0;
  fatalMessage.clear();
  done = false;
  closing = true;  // an open that fails closes too
  scan.SetActive(true);
  closing = false;
  if (scan.Active()) return true;
  std::string reason = "cannot open " + Where(device) + ": " +
                       (fatalDetail ? OpenFailureReason(fatalDetail, device, FatalText(), SimulatorBehind(settings.number))
                                    : Printable(FatalText()));
  if (fatalDetail == ERROR_FILE_NOT_FOUND || fatalDetail == ERROR_PATH_NOT_FOUND)
    reason += "\nqvcomm: qvcomm ports lists the ports present";
  if (!quiet || reason != said) Error(reason);
  said = reason;
  return false;
}

bool Reader::WaitForPort(TApplication& app, const pf::TSignalWatch& watch, std::string& device) {
  std::string said;
  bool retry = false;
  devicesChanged = true;
  while (!watch.Received() && !app.Terminated() && !outlets.Failed()) {
    if (devicesChanged || retry) {
      devicesChanged = false;
      DWORD error = 0;
      const bool present = !settings.number || pf::ResolveComPort(settings.number, device, error);
      if (present && Open(device, true, said)) return true;
      retry = present;
    }
    app.WaitAndProcess(retry ? 1000 : INFINITE);
  }
  return false;
}

void Configure(TqvBarCodeScan& scan, const ReadSettings& s, Reader& reader) {
  if (s.number) scan.SetComPortNo(WORD(s.number));
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
  if (!s.digits) options += boAnyChars;
  if (s.end || !s.digits) {
    scan.SetCharEnd(BYTE(s.end.value_or('\r')));
    options += boUseEndChar;
  }
  if (s.noAutoDetect) options -= boAutoDetect;
  if (s.initConnection) options += boInitConnection;
  scan.SetOptions(options);
  if (s.ignore) scan.SetIgnoreChars(*s.ignore);
  if (s.timeoutMs) scan.SetTimeout(DWORD(*s.timeoutMs));
  if (!s.digits && !s.end) scan.OnRxData = TOnRxDataEvent(&reader, &Reader::LineData);
  scan.OnBarCode = TOnBarCodeEvent(&reader, &Reader::BarCode);
  scan.OnFatalError = TOnFatalErrorEvent(&reader, &Reader::FatalError);
  scan.OnClose = TNotifyEvent(&reader, &Reader::Closed);
}

// The component's log in the file named on the command line, or null with *exit set.
std::unique_ptr<TqvLogFile> OpenLog(const std::string& name, int& exit) {
  if (name.empty()) return nullptr;
  // A name on the command line is relative to the current folder (the log's own rule puts a
  // bare name in the state folder, which suits the program's default log, not an option).
  std::error_code ec;
  const std::string path = std::filesystem::absolute(name, ec).string();
  // The log reports a file it cannot write only by its own words; say why, before opening.
  if (std::FILE* f = ec ? nullptr : std::fopen(path.c_str(), "a")) {
    std::fclose(f);
  } else {
    Error("cannot write the log file " + Printable(name) + ": " +
          std::strerror(ec ? ec.value() : errno));
    exit = kExitFailure;
    return nullptr;
  }
  auto log = std::make_unique<TqvLogFile>(nullptr);
  log->SetOptions(TLogOptions(log->Options() & ~(loAutoFileName | loDebugOut)));
  log->SetFileName(path);
  log->SetDetailLevel(dlDetail);  // barcodes are logged at this level
  return log;
}

int RunRead(ReadSettings& s) {
  std::string device;
  const int found = FindDevice(s, device, s.reconnect);
  if (found && !s.reconnect) return found;
  const std::string port = s.number ? "COM" + std::to_string(s.number) : s.name;
  // Each barcode leaves at once even into a pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::signal(SIGPIPE, SIG_IGN);
  pf::TSignalWatch watch({SIGINT, SIGTERM, SIGHUP});
  TApplication app;
  if (!TThread::WatchOnMainThread(watch.Event(), &watch, [] { Application->Terminate(); }, [] {})) {
    Error("cannot watch for Ctrl-C in the main loop");
    return kExitFailure;
  }
  int exit = kExitOk;
  std::unique_ptr<TqvLogFile> log = OpenLog(s.logFile, exit);
  if (exit) return exit;
  Outlets outlets;
  if (int r = outlets.Open(port, s.out); r != kExitOk) return r;
  TDeviceScan scan(s.device);
  Reader reader(s, port, scan, outlets);
  scan.SetLog(log.get());
  Configure(scan, s, reader);
  // With --reconnect the hot-plug watcher runs from the start, so no change is missed.
  struct WindowGuard {
    HWND hwnd;
    ~WindowGuard() {
      if (hwnd) DeallocateHWnd(hwnd);
    }
  } window{s.reconnect ? AllocateHWnd(TWndMethod(&reader, &Reader::Message)) : HWND(0)};
  pf::DeviceWatcher watcher;
  if (s.reconnect) {
    reader.window = window.hwnd;
    if (!watcher.Start(window.hwnd))
      Error("cannot watch for devices coming and going (inotify limit?): --reconnect will not see " + port +
            " come back");
  }

  std::string said;
  if (found) {
    Error(port + " is not there; waiting for it (Ctrl-C ends)");
    if (!reader.WaitForPort(app, watch, device))
      return watch.Received() ? ExitForSignal(watch.Received()) : outlets.Close();
  } else if (!reader.Open(device, false, said)) {
    return reader.fatalDetail ? ExitForOpenError(reader.fatalDetail) : kExitFailure;
  }
  std::fprintf(stderr, "qvcomm: reading %s, %lu %u%c%s, flow %s; Ctrl-C ends\n", reader.Where(device).c_str(),
               (unsigned long)s.baud, unsigned(s.dataBits), kParityLetter[s.parity],
               s.stopBits == sbOne ? "1" : s.stopBits == sbTwo ? "2" : "1.5",
               s.flow == spNone ? "none" : s.flow == spXonXoff ? "xonxoff" : "rtscts");

  // The application's own loop sleeps until the component's work, a signal or the port's end
  // wakes it; while it sleeps, the main thread holds the port's wait itself, so a barcode
  // wakes this one thread. A signal ends the loop through the watch on its event (set up
  // before the port opens).
  for (;;) {
    while (!reader.done && !reader.vanished.load() && !watch.Received() && !app.Terminated() &&
           !outlets.Failed())
      app.WaitAndProcess(INFINITE);
    if (!s.reconnect || !reader.vanished.load() || watch.Received() || outlets.Failed()) break;
    reader.closing = true;
    scan.SetActive(false);
    reader.vanished = false;
    Error(reader.Where(device) + " went away; waiting for it to come back (Ctrl-C ends)");
    if (!reader.WaitForPort(app, watch, device)) break;
    Error(port + " is back (" + Printable(device) + "): reading again");
  }
  TThread::WithdrawMainWatch(&watch);
  reader.closing = true;
  const bool vanished = reader.vanished.load();
  scan.SetActive(false);
  const int outletsExit = outlets.Close(reader.done && !watch.Received());
  if (outletsExit != kExitOk) return outletsExit;
  if (vanished) {
    Error(reader.Where(device) + " went away: the device was unplugged or closed");
    return kExitVanished;
  }
  if (!reader.fatalMessage.empty()) {
    Error(port + ": " + Printable(reader.FatalText()));
    return kExitFailure;
  }
  // A reader of standard output that went away (| head -1) is a normal end.
  if (reader.outputError && reader.outputError != EPIPE) {
    Error(std::string("cannot write to standard output: ") + std::strerror(reader.outputError));
    return kExitFailure;
  }
  if (int sig = watch.Received()) return ExitForSignal(sig);
  return kExitOk;
}

constexpr Syntax<ReadSettings> kReadSyntax{
    "read", "read PORT [OPTIONS]", "print each barcode a scanner on PORT sends",
    "PORT is COMn, a device path (/dev/ttyUSB0, /dev/serial/by-id/...), rfc2217://HOST:PORT\n"
    "or tcp://HOST:PORT. Opens it with the barcode scanner component and prints each\n"
    "barcode on its own line as it arrives, until Ctrl-C (or SIGTERM) or --count barcodes.\n",
    kReadOptions, ReadOperands};

}  // namespace

const Command readCommand = MakeCommand<ReadSettings, &kReadSyntax, RunRead>();

}  // namespace qvcomm
