// qvcomm read: prints the barcodes a scanner sends, through the barcode scanner component.
#include "tools/qvcomm/commands.h"

#include "tools/qvcomm/cli.h"
#include "tools/qvcomm/scan.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace qvcomm {

namespace {

struct ReadSettings : ScanSettings {
  bool json = false;
};

using R = ReadSettings;
constexpr std::array<Option<R>, 2> kReadOwn = {{
    {{"", "", "Output:", ""}},
    {{"--json", "", "one JSON object per barcode and line:\n"
                    "{\"port\":\"COM3\",\"barcode\":\"...\",\"time\":\"...\"}", ""},
     [](R& s, const std::string&) { return s.json = true; }},
}};
constexpr auto kReadOptions = WithScanOptions(kReadOwn);

std::string ReadOperands(R& s, const std::vector<std::string>& ops) { return ScanOperands(s, ops); }

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

int RunRead(ReadSettings& s) {
  const std::string port = PortName(s);
  return RunScanner(s, "reading", "", [&](const std::string& code) {
    return PrintLine(s.json ? BarcodeJson(port, code, UtcNow()) : Printable(code));
  });
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
