// qvcomm ports: the ports present, with what is known of each.
#include "tools/qvcomm/commands.h"

#include "comm/serialcomm.h"
#include "platform/devices/devinfo.h"
#include "platform/system/portmap.h"
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

struct PortsSettings {
  bool verbose = false, json = false;
};

constexpr Option<PortsSettings> kPortsOptions[] = {
    {{"-v, --verbose", "", "every field of each port's record", ""},
     [](PortsSettings& s, const std::string&) { return s.verbose = true; }},
    {{"--json", "", "one JSON array of objects with every field", ""},
     [](PortsSettings& s, const std::string&) { return s.json = true; }},
};

int RunPorts(PortsSettings& s) {
  const std::vector<PortInfo> ports = Collect();
  if (s.json) {
    PrintJson(ports);
    return kExitOk;
  }
  if (ports.empty()) {
    std::printf("No serial ports found.\n");
  } else if (s.verbose) {
    PrintVerbose(ports);
  } else {
    PrintShort(ports);
  }
  if (!pf::UdevAvailable() && !ports.empty())
    std::fprintf(stderr, "qvcomm: libudev not found: descriptions come from sysfs alone\n");
  return kExitOk;
}

constexpr Syntax<PortsSettings> kPortsSyntax{
    "ports", "ports [-v] [--json]", "list the serial ports present",
    "Lists the serial ports present in number order: port, device, description\n"
    "(manufacturer), [driver], and 'user mapping' for a port you mapped.\n",
    kPortsOptions,
    [](PortsSettings&, const std::vector<std::string>& ops) {
      return ops.empty() ? std::string() : "unexpected argument " + Printable(ops[0]);
    }};

}  // namespace

const Command portsCommand = MakeCommand<PortsSettings, &kPortsSyntax, RunPorts>();

}  // namespace qvcomm
