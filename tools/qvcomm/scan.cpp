#include "tools/qvcomm/scan.h"

#include "barcode/qvbarcode.h"
#include "log/qvlogfile.h"
#include "platform/devices/devwatch.h"
#include "platform/rtl/application.h"
#include "platform/rtl/threads.h"
#include "platform/rtl/wndmethod.h"
#include "platform/serial/winserial.h"
#include "platform/system/portmap.h"
#include "platform/system/portnames.h"
#include "platform/system/signals.h"
#include "platform/win32/winbase.h"
#include "tools/qvcomm/marks.h"
#include "tools/qvcomm/outlets.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

namespace qvcomm {

namespace {

namespace pf = qv::platform;

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
  Reader(const ScanSettings& s, TqvBarCodeScan& sc, const std::function<int(const std::string&)>& h,
         Outlets* o)
      : settings(s), scan(sc), handle(h), outlets(o) {}
  const ScanSettings& settings;
  TqvBarCodeScan& scan;
  const std::function<int(const std::string&)>& handle;
  Outlets* outlets;  // null when the subcommand has none
  bool devicesChanged = false;
  HWND window = 0;  // with --reconnect: device changes come here
  unsigned long received = 0;
  bool done = false;
  int exitCode = kGoOn;  // what the handler ended with
  std::atomic<bool> closing{false};
  std::atomic<bool> vanished{false};
  DWORD fatalDetail = 0;
  DWORD fatalSystemError = 0;  // the component's own detail (0 for a failed open, a failed test)
  std::string fatalMessage;

  void BarCode(TObject*, std::string code) {
    if (done) return;
    exitCode = handle(code);
    if (exitCode != kGoOn || (settings.count && ++received >= settings.count)) done = true;
  }

  void FatalError(TObject*, DWORD, DWORD detail, std::string message, bool& raise) {
    raise = false;
    if (fatalMessage.empty()) {
      // An open failure carries no detail: the system's error is still the thread's last one.
      fatalDetail = detail ? detail : GetLastError();
      fatalSystemError = detail;
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

  // The log says once that its file cannot be written (a full disk), not again until a write
  // succeeds; reading goes on and the log keeps its newest lines for when it can write again.
  void LogFailed(TObject*, DWORD, DWORD, std::string message, bool& raise) {
    raise = false;
    Error("warning: " + Printable(message) + ": " + pf::LastErrorText() + "; reading goes on");
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

  bool OutletFailed() const { return outlets && outlets->Failed(); }
  // Opens the port; false after saying why not (quiet: only a reason not said before).
  bool Open(const std::string& device, bool quiet, std::string& said);
  // "COM3 (/dev/ttyUSB0)", or the path or address given.
  std::string Where(const std::string& device) const {
    return settings.number ? PortName(settings) + " (" + Printable(device) + ")" : Printable(PortName(settings));
  }
  // --reconnect: sleeps in the loop until the port can be opened again (device changes wake
  // it; a port that is there but cannot be opened yet, or a network port, is tried each
  // second). False when a signal or a failed outlet came first.
  bool WaitForPort(TApplication& app, const qv::platform::TSignalWatch& watch, std::string& device);
};

// The device behind the port, or the exit code after saying why there is none (quiet: without
// saying it).
int FindDevice(const ScanSettings& s, std::string& device, bool quiet) {
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
  fatalSystemError = 0;
  fatalMessage.clear();
  done = false;
  closing = true;  // an open that fails closes too
  scan.SetActive(true);
  closing = false;
  // Unplugged between the open and the line settings: the port went away, it refused nothing.
  if (scan.Active() && fatalSystemError == ERROR_DEVICE_REMOVED) {
    closing = true;
    scan.SetActive(false);
    fatalDetail = fatalSystemError = 0;
    fatalMessage.clear();
    done = false;
    vanished = true;
    return true;
  }
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
  while (!watch.Received() && !app.Terminated() && !OutletFailed()) {
    if (devicesChanged || retry) {
      devicesChanged = false;
      DWORD error = 0;
      const bool present = !settings.number || pf::ResolveComPort(settings.number, device, error);
      // Gone again at once: tried again as a port that would not open is.
      if (present && Open(device, true, said) && !vanished.exchange(false)) return true;
      retry = present;
    }
    app.WaitAndProcess(retry ? 1000 : INFINITE);
  }
  return false;
}

void Configure(TqvBarCodeScan& scan, const ScanSettings& s, Reader& reader) {
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
  if (s.digits) {
    if (s.timeoutMs) scan.SetTimeout(DWORD(*s.timeoutMs));
  } else {
    // Whole lines: a pause does not end a code; a rest without its line end waits this long.
    scan.SetWholeLines(true);
    scan.SetLineIdle(s.noAutoDetect ? 0 : DWORD(s.timeoutMs.value_or(1000)));
  }
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
  // A FIFO would hold the start until someone reads it, a device take lines without end.
  const auto status = std::filesystem::status(path, ec);
  if (!ec && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    Error("cannot write the log file " + Printable(name) + ": it is not a regular file (a FIFO, a device or a folder)");
    exit = kExitFailure;
    return nullptr;
  }
  ec.clear();
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

}  // namespace

bool TakeChar(std::optional<char>& field, const std::string& v) {
  char c = 0;
  if (!ParseChar(v, c)) return false;
  field = c;
  return true;
}

bool TakeParity(TParity& field, const std::string& v) { return TakeName(field, kParityNames, v); }
bool TakeStopBits(TStopBits& field, const std::string& v) { return TakeName(field, kStopBitNames, v); }
bool TakeFlow(TStreamProtocol& field, const std::string& v) { return TakeName(field, kFlowNames, v); }

std::string ScanOperands(ScanSettings& s, const std::vector<std::string>& ops) {
  if (ops.size() != 1) return "expected one port name";
  s.name = ops[0];
  if (s.name.rfind("\\\\", 0) != 0) s.number = pf::ComPortNumber(s.name);
  if (!s.number) {
    if (!pf::IsDeviceName(s.name))
      return "\"" + Printable(s.name) +
             "\" is not a port: give COMn (qvcomm ports lists the ports present, qvcomm map COMn "
             "PATH names a device), a device path such as /dev/ttyUSB0, or rfc2217://HOST:PORT or "
             "tcp://HOST:PORT";
    s.device = s.name;
  }
  if (s.digits && s.noAutoDetect && !s.end)
    return "with --digits --no-auto-detect only an end character ends a barcode: give --end CHAR";
  return "";
}

std::string PortName(const ScanSettings& s) { return s.number ? "COM" + std::to_string(s.number) : s.name; }

int PrintLine(const std::string& line) {
  const std::string text = line + "\n";
  // A failed write may leave fwrite and fflush looking content (the buffer is dropped): the
  // error indicator tells.
  std::clearerr(stdout);
  errno = 0;
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  if (!std::ferror(stdout)) return kGoOn;
  const int error = errno ? errno : EIO;
  // A reader of standard output that went away (| head -1) is a normal end.
  if (error == EPIPE) return kExitOk;
  Error(std::string("cannot write to standard output: ") + std::strerror(error));
  return kExitFailure;
}

int RunScanner(const ScanSettings& s, const std::string& verb, const std::string& extra,
               const std::function<int(const std::string& code)>& handle, Outlets* outlets) {
  std::string device;
  const int found = FindDevice(s, device, s.reconnect);
  if (found && !s.reconnect) return found;
  const std::string port = PortName(s);
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
  TDeviceScan scan(s.device);
  Reader reader(s, scan, handle, outlets);
  scan.SetLog(log.get());
  if (log) log->OnFatalError = TOnFatalErrorEvent(&reader, &Reader::LogFailed);
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
  const auto closeOutlets = [&](bool drain) { return outlets ? outlets->Close(drain) : kExitOk; };

  std::string said;
  if (found) {
    Error(port + " is not there; waiting for it (Ctrl-C ends)");
    if (!reader.WaitForPort(app, watch, device))
      return watch.Received() ? ExitForSignal(watch.Received()) : closeOutlets(false);
  } else if (!reader.Open(device, false, said)) {
    return reader.fatalDetail ? ExitForOpenError(reader.fatalDetail) : kExitFailure;
  }
  // The set-up failed with the port open (line settings it refused, --init-connection's test).
  if (!reader.fatalMessage.empty()) {
    reader.closing = true;
    scan.SetActive(false);
    Error("cannot set up " + reader.Where(device) + ": " + Printable(reader.FatalText()));
    return reader.fatalSystemError ? kExitRefused : kExitFailure;
  }
  if (outlets) outlets->SetDevice(device);
  // What the port took, read back from it.
  const TStopBits stopBits = scan.StopBits();
  const TStreamProtocol flow = scan.StreamProtocol();
  std::fprintf(stderr, "qvcomm: %s %s, %lu %u%c%s, flow %s%s; Ctrl-C ends\n", verb.c_str(),
               reader.Where(device).c_str(), (unsigned long)scan.BaudRate(), unsigned(scan.ByteSize()),
               kParityLetter[scan.Parity() % 5], stopBits == sbOne ? "1" : stopBits == sbTwo ? "2" : "1.5",
               flow == spNone ? "none" : flow == spXonXoff ? "xonxoff" : "rtscts", extra.c_str());

  // The application's own loop sleeps until the component's work, a signal or the port's end
  // wakes it; while it sleeps, the main thread holds the port's wait itself, so a barcode
  // wakes this one thread. A signal ends the loop through the watch on its event (set up
  // before the port opens).
  for (;;) {
    while (!reader.done && !reader.vanished.load() && !watch.Received() && !app.Terminated() &&
           !reader.OutletFailed())
      app.WaitAndProcess(INFINITE);
    if (!s.reconnect || !reader.vanished.load() || watch.Received() || reader.OutletFailed()) break;
    reader.closing = true;
    scan.SetActive(false);
    reader.vanished = false;
    Error(reader.Where(device) + " went away; waiting for it to come back (Ctrl-C ends)");
    if (!reader.WaitForPort(app, watch, device)) break;
    Error(port + " is back (" + Printable(device) + "): reading again");
    if (outlets) outlets->SetDevice(device);
  }
  TThread::WithdrawMainWatch(&watch);
  reader.closing = true;
  const bool vanished = reader.vanished.load();
  scan.SetActive(false);
  const int outletsExit = closeOutlets(reader.done && !watch.Received());
  if (outletsExit != kExitOk) return outletsExit;
  if (vanished) {
    Error(reader.Where(device) + " went away: the device was unplugged or closed");
    return kExitVanished;
  }
  if (!reader.fatalMessage.empty()) {
    Error(port + ": " + Printable(reader.FatalText()));
    return kExitFailure;
  }
  if (reader.exitCode != kGoOn) return reader.exitCode;
  if (int sig = watch.Received()) return ExitForSignal(sig);
  return kExitOk;
}

}  // namespace qvcomm
