// qvcomm ports / map / unmap: the port list and the user's mappings.
#include "tools/qvcomm/commands.h"

#include "comm/serialcomm.h"
#include "platform/devices/devinfo.h"
#include "platform/system/portmap.h"
#include "platform/system/regstore.h"
#include "platform/system/ttydevices.h"
#include "platform/win32/winbase.h"
#include "tools/qvcomm/cli.h"
#include "tools/qvcomm/marks.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace qvcomm {

namespace {

namespace pf = qv::platform;

struct PortInfo {
  unsigned number = 0;
  bool userMapping = false;
  // Every field, in output order: the first ones make the short listing.
  std::vector<std::pair<std::string, std::string>> fields;
  std::string Get(const std::string& key) const {
    for (const auto& [k, v] : fields)
      if (k == key) return v;
    return {};
  }
};

std::vector<PortInfo> Collect() {
  TqvCustomSerialComm comm(nullptr);
  comm.FillDeviceList(nullptr);
  std::vector<PortInfo> out;
  const auto marks = ReadSimulatorMarks();
  for (const pf::PortEntry& e : pf::ListPorts()) {
    const TqvDevice* d = nullptr;
    for (int i = 0; i < comm.DeviceCount(); ++i)
      if (comm.GetDevice(i)->PortNumber == int(e.number)) d = comm.GetDevice(i);
    TqvDevice none;
    if (!d) d = &none;
    pf::sysfs::TtyDevice tty;
    std::string ttyName = e.sysfsPath.substr(e.sysfsPath.rfind('/') + 1);
    if (ttyName.empty()) {
      // A user mapping of a real port: describe the device it leads to.
      const std::string real = pf::sysfs::ResolvePath(e.device);
      ttyName = real.substr(real.rfind('/') + 1);
    }
    const bool described = !ttyName.empty() && pf::sysfs::DescribeTty(ttyName, tty);
    const std::string dev = pf::sysfs::DevRoot();
    std::string description = d->Description;
    if (const int pid = e.userMapped ? RunningSimulator(e, marks) : 0)
      description = "virtual barcode scanner (qvcomm simulate, pid " + std::to_string(pid) + ")";
    PortInfo p;
    p.number = e.number;
    p.userMapping = e.userMapped;
    p.fields = {
        {"port", "COM" + std::to_string(e.number)},
        {"device", e.device},
        {"description", description},
        {"manufacturer", d->Manufacturer},
        {"driver", !d->Service.empty() ? d->Service : described ? tty.driver : ""},
        {"name", d->Name},
        {"vendorId", tty.usb.vendorId},
        {"productId", tty.usb.productId},
        {"product", tty.usb.product},
        {"serialNumber", tty.usb.serial},
        {"interface", tty.usb.interfaceNumber},
        {"byId", tty.byId.empty() ? "" : dev + "/serial/by-id/" + tty.byId},
        {"byPath", tty.byPath.empty() ? "" : dev + "/serial/by-path/" + tty.byPath},
        {"subsystem", tty.subsystem},
        {"sysfsPath", tty.devicePath},
        {"identity", e.identity},
        {"symbolicName", d->SymbolicName},
        {"instanceId", d->InstanceId},
        {"driverKey", d->DriverKey},
        {"registryKey", d->RegistryKey},
        {"devicePortName", d->DevicePortName},
        {"children", d->Children},
    };
    out.push_back(std::move(p));
  }
  return out;
}

void PrintJson(const std::vector<PortInfo>& ports) {
  std::string text = "[";
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const PortInfo& p = ports[i];
    text += i ? ",\n {" : "\n {";
    bool first = true;
    for (const auto& [k, v] : p.fields) {
      if (!first) text += ",";
      first = false;
      text += JsonString(k) + ":" + JsonString(v);
      if (k == "port") text += ",\"number\":" + std::to_string(p.number);
      if (k == "driver") text += std::string(",\"userMapping\":") + (p.userMapping ? "true" : "false");
    }
    text += "}";
  }
  text += ports.empty() ? "]\n" : "\n]\n";
  std::fputs(text.c_str(), stdout);
}

void PrintShort(const std::vector<PortInfo>& ports) {
  std::size_t portWidth = 0, deviceWidth = 0;
  for (const PortInfo& p : ports) {
    portWidth = std::max(portWidth, Printable(p.Get("port")).size());
    deviceWidth = std::max(deviceWidth, Printable(p.Get("device")).size());
  }
  for (const PortInfo& p : ports) {
    std::string what = p.Get("description");
    const std::string maker = p.Get("manufacturer");
    if (!maker.empty()) what += (what.empty() ? "(" : " (") + maker + ")";
    const std::string driver = p.Get("driver");
    if (!driver.empty()) what += (what.empty() ? "[" : "  [") + driver + "]";
    if (p.userMapping) what += what.empty() ? "user mapping" : "  user mapping";
    std::string line = Printable(p.Get("port"));
    line.resize(portWidth, ' ');
    line += "  " + Printable(p.Get("device"));
    if (!what.empty()) {
      line.resize(portWidth + 2 + deviceWidth, ' ');
      line += "  " + Printable(what);
    }
    std::printf("%s\n", line.c_str());
  }
}

void PrintVerbose(const std::vector<PortInfo>& ports) {
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const PortInfo& p = ports[i];
    if (i) std::printf("\n");
    std::printf("%s\n", Printable(p.Get("port")).c_str());
    for (const auto& [k, v] : p.fields) {
      if (k == "port") continue;
      std::printf("  %-15s %s\n", (k + ":").c_str(), Printable(v).c_str());
      if (k == "driver") std::printf("  %-15s %s\n", "userMapping:", p.userMapping ? "yes" : "no");
    }
  }
}

}  // namespace

int CmdPorts(Args& args) {
  bool verbose = false, json = false;
  while (auto opt = args.NextOption()) {
    if (*opt == "-h" || *opt == "--help") return PrintHelp("ports");
    if (*opt == "-v" || *opt == "--verbose") verbose = true;
    else if (*opt == "--json") json = true;
    else return UsageError("ports", "unknown option " + Printable(*opt));
  }
  if (!args.Operands().empty())
    return UsageError("ports", "unexpected argument " + Printable(args.Operands()[0]));
  const std::vector<PortInfo> ports = Collect();
  if (json) {
    PrintJson(ports);
    return kExitOk;
  }
  if (ports.empty()) {
    std::printf("No serial ports found.\n");
  } else if (verbose) {
    PrintVerbose(ports);
  } else {
    PrintShort(ports);
  }
  if (!pf::UdevAvailable() && !ports.empty())
    std::fprintf(stderr, "qvcomm: libudev not found: descriptions come from sysfs alone\n");
  return kExitOk;
}

int CmdMap(Args& args) {
  bool force = false;
  while (auto opt = args.NextOption()) {
    if (*opt == "-h" || *opt == "--help") return PrintHelp("map");
    if (*opt == "-f" || *opt == "--force") force = true;
    else return UsageError("map", "unknown option " + Printable(*opt));
  }
  const auto& ops = args.Operands();
  if (ops.size() != 2) return UsageError("map", "expected a port name and a device path");
  const unsigned number = ParsePort("map", ops[0]);
  if (!number) return kExitUsage;
  const std::string& path = ops[1];
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
  if (!current.empty() && !force) {
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
    return error == ERROR_ALREADY_EXISTS || error == ERROR_BAD_COMMAND ||
                   error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                   error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_NAME ||
                   error == ERROR_NOT_SUPPORTED
               ? kExitRefused
               : kExitFailure;
  }
  std::printf("%s is now %s\n", port.c_str(), Printable(path).c_str());
  return kExitOk;
}

int CmdUnmap(Args& args) {
  while (auto opt = args.NextOption()) {
    if (*opt == "-h" || *opt == "--help") return PrintHelp("unmap");
    return UsageError("unmap", "unknown option " + Printable(*opt));
  }
  const auto& ops = args.Operands();
  if (ops.size() != 1) return UsageError("unmap", "expected one port name");
  const unsigned number = ParsePort("unmap", ops[0]);
  if (!number) return kExitUsage;
  const std::string port = "COM" + std::to_string(number);
  bool mapped = false;
  for (const pf::PortEntry& e : pf::ListUserMappings()) mapped |= e.number == number;
  if (!mapped) {
    Error(port + " has no mapping of yours to remove");
    return kExitNoPort;
  }
  DWORD error = 0;
  std::string reason;
  if (!pf::RemoveUserMapping(number, error, reason)) {
    Error("cannot remove the mapping of " + port + ": " +
          (reason.empty() ? OpenFailureReason(error, qv::platform::RegStoreFolder()) : reason));
    return kExitFailure;
  }
  std::printf("%s mapping removed\n", port.c_str());
  return kExitOk;
}

}  // namespace qvcomm
