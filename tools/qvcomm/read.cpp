// qvcomm read: prints the barcodes a scanner sends, through the barcode scanner component.
#include "tools/qvcomm/commands.h"

#include "platform/mqtt/publisher.h"
#include "tools/qvcomm/cli.h"
#include "tools/qvcomm/outlets.h"
#include "tools/qvcomm/scan.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace qvcomm {

namespace {

namespace pf = qv::platform;

struct ReadSettings : ScanSettings {
  bool json = false;
  OutletSettings out;
  bool inConfig = false;  // reading a --config file (which cannot name another)
};

using R = ReadSettings;
bool TakeConfig(R& s, const std::string& file);
constexpr std::uintmax_t kMaxConfigBytes = 1 << 20;

constexpr std::array<Option<R>, 12> kReadOwn = {{
    {{"", "", "Output:", ""}},
    {{"--json", "", "one JSON object per barcode and line:\n"
                    "{\"port\":\"COM3\",\"barcode\":\"...\",\"time\":\"...\"}", ""},
     [](R& s, const std::string&) { return s.json = true; }},
    {{"--config", "FILE", "more options from FILE (a regular file of at most 1 MiB), one per\n"
                          "line: the option, a blank, the value as the rest of the line\n"
                          "(--exec /usr/bin/prog arg)", "a readable file of options"},
     TakeConfig},
    {{"", "", "Publishing (each barcode kept in a spool file until the broker has it):", ""}},
    {{"--publish", "URL", "mqtt://[USER@]HOST[:PORT]/TOPIC or mqtts://...: one JSON message\n"
                          "per barcode (port, barcode, time, host, station, seq) with QoS 1,\n"
                          "in MQTT 5 (3.1.1 when the broker refuses it), and a retained status\n"
                          "on TOPIC/status/STATION", "a broker URL"},
     [](R& s, const std::string& v) { return s.out.publish = v, true; }},
    {{"--ca", "FILE", "mqtts: trust the CA certificates in FILE (default: the system's)", "a file name"},
     [](R& s, const std::string& v) { return s.out.caFile = v, !v.empty(); }},
    {{"--password-file", "FILE", "the password on its first line (else $QVCOMM_MQTT_PASSWORD, else\n"
                                 "$CREDENTIALS_DIRECTORY/mqtt-password)", "a file name"},
     [](R& s, const std::string& v) { return s.out.passwordFile = v, !v.empty(); }},
    {{"--spool-size", "MIB", "the most the spool keeps (default 16)", "MiB from 1 to 4096"},
     [](R& s, const std::string& v) { return TakeNumber<unsigned long, 1, 4096>(s.out.spoolMiB, v); }},
    {{"--hold", "CODES", "codes kept in memory while the spool cannot take them (its disk\n"
                         "full, or --spool-size reached; default 10000); beyond, the port\n"
                         "is not read until it can", "a number of codes from 1 to 1000000"},
     [](R& s, const std::string& v) { return TakeNumber<unsigned long, 1, 1000000>(s.out.hold, v); }},
    {{"", "", "Commands:", ""}},
    {{"--exec", "CMD", "run CMD for each barcode, never through a shell: CMD is split at\n"
                       "blanks, the barcode is its last argument and its standard input", "a command"},
     [](R& s, const std::string& v) { return s.out.exec = v, v.find_first_not_of(" \t") != std::string::npos; }},
    {{"--exec-timeout", "S", "the time one run of CMD may take (default 30 s): then its process\n"
                             "group gets SIGTERM, 2 s later SIGKILL, and the code is tried again", "seconds from 1 to 86400"},
     [](R& s, const std::string& v) { return TakeNumber<unsigned long, 1, 86400>(s.out.execTimeout, v); }},
}};
constexpr auto kReadOptions = WithScanOptions(kReadOwn);

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
  if (s.inConfig) {
    Error("an options file cannot name another (--config)");
    return false;
  }
  // Only a file of a sensible size: /dev/zero or a FIFO would never end.
  std::error_code ec;
  const auto status = std::filesystem::status(file, ec);
  if (!ec && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    Error(Printable(file) + " is not a regular file (a folder, a device or a FIFO): --config takes a file of options");
    return false;
  }
  if (!ec && std::filesystem::is_regular_file(status) && std::filesystem::file_size(file, ec) > kMaxConfigBytes) {
    Error(Printable(file) + " is larger than 1 MiB: not an options file");
    return false;
  }
  std::ifstream in(file);
  if (file.empty() || !in) return false;
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
  if (std::string why = ScanOperands(s, ops); !why.empty()) return why;
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

int RunRead(ReadSettings& s) {
  const std::string port = PortName(s);
  Outlets outlets;
  if (int r = outlets.Open(port, s.out); r != kExitOk) return r;
  return RunScanner(
      s, "reading", "",
      [&](const std::string& code) {
        const std::string time = UtcNow();
        // Into the spool first: once it is there, nothing loses it.
        outlets.Deliver(code, time);
        return PrintLine(s.json ? BarcodeJson(port, code, time) : Printable(code));
      },
      &outlets);
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
