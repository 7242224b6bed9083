// qvbarcode: the barcode demo program. `qvbarcode --port PORT` starts with that port selected:
// COMn, a device path (/dev/ttyUSB0, /dev/serial/by-id/...) or a network port
// (rfc2217://HOST:PORT, tcp://HOST:PORT).
#include "app/unit1.h"

#include "platform/system/portmap.h"
#include "platform/system/portnames.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

constexpr const char* kUsage = "usage: qvbarcode [--port PORT] | --help | --version\n";

int Usage(const std::string& message) {
  std::fprintf(stderr, "qvbarcode: %s\n%s", message.c_str(), kUsage);
  return 2;
}

// The COM number of the port the user named. A device or network port the port list does not
// show yet is mapped to a free number for this run (mapped then names it, for removal at the
// end). False with the reason otherwise.
bool PortOf(const std::string& name, unsigned& number, std::string& mapped, std::string& reason) {
  namespace pf = qv::platform;
  if ((number = pf::ComPortNumber(name)) != 0) return true;
  // A relative path is taken from the current folder; other names go by their device kind.
  std::string device = name;
  if (name.find("://") == std::string::npos && name.find('/') != std::string::npos) {
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(name, ec);
    if (!ec) device = absolute.lexically_normal().string();
  }
  if (!pf::IsDeviceName(device)) {
    reason = "not a port name: " + name +
             " (COM1 to COM255, a device such as /dev/ttyUSB0, rfc2217://HOST:PORT or tcp://HOST:PORT; "
             "qvcomm ports lists the ports)";
    return false;
  }
  // A device the list knows already (a by-id link names the same device as its target).
  const std::string real = pf::CanonicalDeviceName(device);
  for (const pf::PortEntry& e : pf::ListPorts()) {
    if (e.device == device || pf::CanonicalDeviceName(e.device) == real) {
      number = e.number;
      return true;
    }
  }
  DWORD error = 0;
  std::string why;
  number = pf::ClaimComPort(0, device, [](const pf::PortEntry&) { return false; }, error, why);
  if (number == 0) {
    reason = "cannot use " + name + ": " + (why.empty() ? qv::platform::SysErrorMessage(error) : why) +
             " (qvcomm ports lists the ports; qvcomm map COMn PATH names a device)";
    return false;
  }
  mapped = device;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before Qt starts: these need no display.
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      std::printf("%sLists the barcodes a scanner sends to a serial port.\n"
                  "  --port PORT   the port at start: COMn, a device (/dev/ttyUSB0, /dev/serial/by-id/...),\n"
                  "                rfc2217://HOST:PORT or tcp://HOST:PORT (otherwise the port of the last run,\n"
                  "                or COM1)\n"
                  "  --version     the program's version\n"
                  "Qt's own options (-platform, -display, ...) are understood too.\n",
                  kUsage);
      return 0;
    }
    if (!std::strcmp(argv[i], "--version")) {
      std::printf("qvbarcode %s\n", QV_VERSION_TEXT);
      return 0;
    }
  }
  qv::platform::TGuiApplication gui(argc, argv);  // takes Qt's own options out of argv
  std::string portName;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--port" && i + 1 < argc)
      portName = argv[++i];
    else if (arg.rfind("--port=", 0) == 0)
      portName = arg.substr(7);
    else
      return Usage("unknown argument " + arg);
  }
  unsigned port = 0;
  std::string mapped, reason;
  if (!portName.empty() && !PortOf(portName, port, mapped, reason)) return Usage(reason);
  gui.CloseOnSignals();
  Application->Initialize();
  Form1 = new TForm1(Application);
  if (port) {
    try {
      Form1->qvBarCodeScan1->SetComPortNo(WORD(port));
    } catch (...) {
      Application->HandleException(Form1);
    }
  }
  Form1->CheckPortPresent();
  const int code = gui.Run(Form1);
  Form1->Free();
  Form1 = nullptr;
  // A mapping made for this run goes, unless another program has mapped the number anew.
  if (!mapped.empty()) qv::platform::RemoveUserMapping(port, mapped);
  return code;
}
