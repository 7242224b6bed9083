// qvcomm map: names a terminal device COMn in the user's port map.
#include "tools/qvcomm/commands.h"

#include "platform/system/portmap.h"
#include "platform/system/ttydevices.h"
#include "platform/win32/winbase.h"
#include "tools/qvcomm/cli.h"

#include <cstdio>

namespace qvcomm {

namespace {

namespace pf = qv::platform;

struct MapSettings {
  unsigned number = 0;
  std::string path;
  bool force = false;
};

constexpr Option<MapSettings> kMapOptions[] = {
    {{"-f, --force", "", "replace what COMn names now", ""},
     [](MapSettings& s, const std::string&) { return s.force = true; }},
};

std::string MapOperands(MapSettings& s, const std::vector<std::string>& ops) {
  if (ops.size() != 2) return "expected a port name and a device path";
  std::string error;
  s.number = ParsePort(ops[0], error);
  s.path = ops[1];
  return error;
}

// The exit code for a mapping the port map refused.
int ExitForMapError(DWORD error) {
  switch (error) {
    case ERROR_ALREADY_EXISTS:
    case ERROR_BAD_COMMAND:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
    case ERROR_NOT_SUPPORTED: return kExitRefused;
    default: return kExitFailure;
  }
}

int RunMap(MapSettings& s) {
  const unsigned number = s.number;
  const std::string& path = s.path;
  const std::string port = "COM" + std::to_string(number);
  const std::string target = pf::sysfs::ResolvePath(path);
  auto same = [&](const std::string& device) {
    if (device == path) return true;
    const std::string real = pf::sysfs::ResolvePath(device);
    return !real.empty() && real == target;
  };
  // What the number names now: the user's own mapping (present or not), else a device.
  std::string current;
  for (const pf::PortEntry& e : pf::ListUserMappings())
    if (e.number == number) current = e.device;
  if (current.empty())
    for (const pf::PortEntry& e : pf::ListPorts())
      if (e.number == number) current = e.device;
  if (!current.empty() && same(current)) {
    std::printf("%s is already %s\n", port.c_str(), Printable(current).c_str());
    return kExitOk;
  }
  if (!current.empty() && !s.force) {
    Error("cannot map " + port + " to " + Printable(path) + ": " + port + " is " +
          Printable(current) + " (use --force to replace it)");
    return kExitRefused;
  }
  DWORD error = 0;
  std::string reason;
  if (!pf::AddUserMapping(number, path, error, reason)) {
    if (error == ERROR_ALREADY_EXISTS) {
      reason.clear();
      for (const pf::PortEntry& e : pf::ListUserMappings())
        if (e.number != number && same(e.device))
          reason = "it is mapped as COM" + std::to_string(e.number) + " already (qvcomm unmap COM" +
                   std::to_string(e.number) + " first)";
      if (reason.empty()) reason = "it is mapped under another number already";
    } else if (reason.empty()) {
      reason = OpenFailureReason(error, path);
    }
    Error("cannot map " + port + " to " + Printable(path) + ": " + reason);
    return ExitForMapError(error);
  }
  std::printf("%s is now %s\n", port.c_str(), Printable(path).c_str());
  return kExitOk;
}

constexpr Syntax<MapSettings> kMapSyntax{
    "map", "map COMn PATH [--force]", "name a terminal device (e.g. /dev/ttyUSB0) COMn",
    "Makes COMn name the terminal device PATH (a serial port, a pseudo-terminal, a socat\n"
    "link). Refuses a PATH that is not a terminal device, one mapped under another number,\n"
    "and a COMn that already names another device unless --force.\n",
    kMapOptions, MapOperands};

}  // namespace

const Command mapCommand = MakeCommand<MapSettings, &kMapSyntax, RunMap>();

}  // namespace qvcomm
