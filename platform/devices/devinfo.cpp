// Device sets over a snapshot of the serial devices and the hardware above them.
#include "platform/devices/devinfo.h"

#include "platform/devices/internal/udev.h"
#include "platform/system/internal/sysfs.h"
#include "platform/system/portmap.h"
#include "platform/system/regstore.h"
#include "platform/system/winreg.h"
#include "platform/testhooks.h"
#include "platform/win32/winbase.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

bool operator==(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::memcmp(a.Data4, b.Data4, 8) == 0;
}

std::string GuidToText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

namespace qv::platform {
namespace {

namespace sf = sysfs;

// The classes this layer knows; their GUIDs are the Windows ones.
constexpr GUID kModemInterface{0x2C7089AA, 0x2E0E, 0x11D1, {0xB1, 0x14, 0x00, 0xC0, 0x4F, 0xC2, 0xAA, 0xE4}};
constexpr GUID kComPortInterface{0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
constexpr GUID kPortsClass{0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID kInfraredClass{0x6BDD1FC5, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
constexpr GUID kAdapterClass{0x4D36E964, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID kBluetoothClass{0xE0CBF06C, 0xCD8B, 0x4647, {0xBB, 0x8A, 0x26, 0x3B, 0x43, 0xF0, 0xF9, 0x74}};
constexpr GUID kModemClass{0x4D36E96D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID kMultifunctionClass{0x4D36E971, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID kMultiportSerialClass{0x50906CB8, 0xBA12, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
constexpr GUID kLegacyDriverClass{0x8ECC055D, 0x047F, 0x11D1, {0xA5, 0x37, 0x00, 0x00, 0xF8, 0x75, 0x3E, 0xD1}};
constexpr GUID kNoDriverClass{0x4D36E976, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

enum class Kind { Port, Modem, Bluetooth, Infrared, MultiportCard, Adapter, Multifunction, LegacyDriver, NoDriver };

struct ClassInfo {
  Kind kind;
  const GUID* guid;
  const char* name;
  const char* fallback;  // description when the device names itself nowhere
};
const ClassInfo kClasses[] = {
    {Kind::Port, &kPortsClass, "Ports", "Communications Port"},
    {Kind::Modem, &kModemClass, "Modem", "Modem"},
    {Kind::Bluetooth, &kBluetoothClass, "Bluetooth", "Serial over Bluetooth link"},
    {Kind::Infrared, &kInfraredClass, "Infrared", "Infrared serial link"},
    {Kind::MultiportCard, &kMultiportSerialClass, "MultiPortSerial", "Multi-port serial card"},
    {Kind::Adapter, &kAdapterClass, "Adapter", "USB device"},
    {Kind::Multifunction, &kMultifunctionClass, "Multifunction", "USB composite device"},
    {Kind::LegacyDriver, &kLegacyDriverClass, "LegacyDriver", ""},
    {Kind::NoDriver, &kNoDriverClass, "NoDriver", "USB communications interface"},
};
const ClassInfo& InfoOf(Kind kind) {
  for (const ClassInfo& c : kClasses)
    if (c.kind == kind) return c;
  return kClasses[0];
}

struct Property {
  DWORD type = REG_SZ;
  std::string bytes;  // as stored, terminating NULs included
};

struct Node {
  Kind kind = Kind::Port;
  std::string instanceId;
  std::string sysPath;     // resolved sysfs folder; empty for driver records
  std::string devNode;     // device node of a port, its interface path
  std::map<DWORD, Property> props;
  std::vector<RegValue> keyValues;  // values of the hardware key
  std::vector<std::string> children;
  DEVINST devInst = 0;
};

struct Snapshot {
  std::vector<Node> nodes;
  // What it was taken from: while the devices, the ports and the naming are the same, it is
  // the same.
  std::uint64_t generation = 0;
  std::vector<PortEntry> ports;
  bool udev = false;
  const Node* ById(const std::string& id) const {
    for (const Node& n : nodes)
      if (RegNamesEqual(n.instanceId, id)) return &n;
    return nullptr;
  }
  const Node* ByDevInst(DEVINST d) const {
    for (const Node& n : nodes)
      if (n.devInst == d) return &n;
    return nullptr;
  }
};

// ---- Device node handles ---------------------------------------------------------------------

// One number per instance id for the life of the process, so a handle stays valid across sets.
struct DevInstTable {
  std::mutex mutex;
  std::map<std::string, DEVINST> byId;  // folded id
  std::vector<std::string> ids;         // DEVINST - 1 -> id
  std::shared_ptr<const Snapshot> latest;
};
DevInstTable& Table() {
  static DevInstTable* table = new DevInstTable;  // never destroyed: used until the very end
  return *table;
}
DEVINST DevInstOf(const std::string& id) {
  DevInstTable& t = Table();
  std::lock_guard lock(t.mutex);
  auto [it, added] = t.byId.emplace(RegFold(id), DEVINST(t.ids.size() + 1));
  if (added) t.ids.push_back(id);
  return it->second;
}
std::string IdOfDevInst(DEVINST d) {
  DevInstTable& t = Table();
  std::lock_guard lock(t.mutex);
  return d >= 1 && d <= t.ids.size() ? t.ids[d - 1] : std::string();
}

// ---- libudev, bound at run time --------------------------------------------------------------

using libudev::udev;
using libudev::udev_device;
using libudev::udev_hwdb;
using libudev::udev_list_entry;

const libudev::Api& Udev() { return libudev::Bound(); }

std::atomic<bool> gUdevEnabled{true};

// The names the device database gives a device, for one scan. Each device is looked up once
// and the hardware database opened only when a modalias needs it.
class NameSource {
 public:
  NameSource() {
    if (!gUdevEnabled.load() || !Udev().database) return;
    ctx_ = Udev().udev_new();
  }
  ~NameSource() {
    for (auto& [path, d] : devices_)
      if (d) Udev().device_unref(d);
    if (hwdb_) Udev().hwdb_unref(hwdb_);
    if (ctx_) Udev().udev_unref(ctx_);
  }
  NameSource(const NameSource&) = delete;
  NameSource& operator=(const NameSource&) = delete;

  // A property of the device in the database (filled by udevd), then of the hardware
  // database for its modalias; empty when neither has it.
  std::string Lookup(const std::string& sysPath, const std::string& modalias, const char* key) {
    if (!ctx_) return {};
    if (!sysPath.empty()) {
      auto [it, added] = devices_.try_emplace(sysPath, nullptr);
      if (added) it->second = Udev().device_new_from_syspath(ctx_, sysPath.c_str());
      if (it->second) {
        const char* v = Udev().device_get_property_value(it->second, key);
        if (v && *v) return v;
      }
    }
    if (!hwdbTried_ && !modalias.empty()) {
      hwdbTried_ = true;
      if (Udev().hwdb_new) hwdb_ = Udev().hwdb_new(ctx_);
    }
    if (hwdb_ && !modalias.empty()) {
      for (udev_list_entry* e = Udev().hwdb_get_properties_list_entry(hwdb_, modalias.c_str(), 0); e;
           e = Udev().list_entry_get_next(e)) {
        const char* name = Udev().list_entry_get_name(e);
        const char* value = Udev().list_entry_get_value(e);
        if (name && value && std::strcmp(name, key) == 0) return value;
      }
    }
    return {};
  }

 private:
  udev* ctx_ = nullptr;
  udev_hwdb* hwdb_ = nullptr;
  bool hwdbTried_ = false;
  std::map<std::string, udev_device*> devices_;
};

// ---- Scanning ----------------------------------------------------------------------------------

std::string Attr(const std::string& folder, const char* name) {
  std::string v;
  sf::ReadAttribute(folder + "/" + name, v);
  return v;
}

std::string Upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool IsDir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}
bool IsDeviceFolder(const std::string& path) {
  return IsDir(path) && (Exists(path + "/uevent") || Exists(path + "/subsystem"));
}

class Scanner {
 public:
  Scanner() {
    const std::string root = sf::ResolvedSysfsRoot();
    if (!root.empty()) devicesRoot_ = root + "/devices";
  }

  std::shared_ptr<Snapshot> Run(std::vector<PortEntry> ports) {
    ports_ = std::move(ports);
    NameSource source;
    names_ = &source;
    auto snap = std::make_shared<Snapshot>();
    nodes_ = &snap->nodes;
    std::vector<sf::TtyDevice> ttys = sf::ListSerialTtys();
    // Bluetooth and infrared links exist as ttys before they are connected to anything.
    std::vector<std::string> names = sf::ListFolder(sf::SysfsRoot() + "/class/tty");
    std::sort(names.begin(), names.end(), sf::NaturalLess);
    for (const std::string& name : names) {
      if (name.rfind("rfcomm", 0) != 0 && name.rfind("ircomm", 0) != 0) continue;
      bool listed = std::any_of(ttys.begin(), ttys.end(), [&](auto& t) { return t.name == name; });
      sf::TtyDevice t;
      if (!listed && sf::DescribeTty(name, t)) ttys.push_back(std::move(t));
    }
    for (const sf::TtyDevice& t : ttys) AddTty(t);
    for (const sf::TtyDevice& t : ttys) AddHardware(t);
    AddLegacyDrivers(ttys);
    AddUnclaimedInterfaces();
    for (Node& n : snap->nodes) {
      n.devInst = DevInstOf(n.instanceId);
      if (n.children.empty() && !n.sysPath.empty()) n.children = ChildrenOf(n.sysPath);
    }
    return snap;
  }

  std::vector<std::string> ChildrenOf(const std::string& folder) const {
    std::vector<std::string> out;
    std::vector<std::string> names = sf::ListSubfolders(folder);
    std::sort(names.begin(), names.end(), sf::NaturalLess);
    for (const std::string& name : names) {
      std::string path = folder + "/" + name;
      if (Exists(path + "/uevent") || Exists(path + "/subsystem")) {
        out.push_back(IdOf(path));
      } else {
        // Class folders ("tty") hold the class devices of their parent.
        std::vector<std::string> inner = sf::ListSubfolders(path);
        std::sort(inner.begin(), inner.end(), sf::NaturalLess);
        for (const std::string& sub : inner)
          if (IsDeviceFolder(path + "/" + sub)) out.push_back(IdOf(path + "/" + sub));
      }
    }
    return out;
  }

  // The instance id of a sysfs folder: its path below <sysfs>/devices.
  std::string IdOf(const std::string& resolved) const {
    if (!devicesRoot_.empty() && resolved.size() > devicesRoot_.size() &&
        resolved.compare(0, devicesRoot_.size(), devicesRoot_) == 0 && resolved[devicesRoot_.size()] == '/')
      return resolved.substr(devicesRoot_.size() + 1);
    return resolved;
  }

  const std::string& DevicesRoot() const { return devicesRoot_; }

 private:
  static void Set(Node& n, DWORD code, const std::string& text) {
    if (text.empty()) return;
    n.props[code] = Property{REG_SZ, text + '\0'};
  }
  static void SetMulti(Node& n, DWORD code, const std::vector<std::string>& texts) {
    std::string bytes;
    for (const std::string& t : texts)
      if (!t.empty()) bytes += t + '\0';
    if (bytes.empty()) return;
    n.props[code] = Property{REG_MULTI_SZ, bytes + '\0'};
  }
  static void AddKeyValue(Node& n, const char* name, const std::string& text) {
    if (text.empty()) return;
    RegValue v{name, REG_SZ, {}};
    v.data.assign(text.begin(), text.end());
    v.data.push_back(0);
    n.keyValues.push_back(std::move(v));
  }

  // The class of a serial device.
  static Kind Classify(const sf::TtyDevice& t) {
    if (t.name.rfind("rfcomm", 0) == 0) return Kind::Bluetooth;
    if (t.name.rfind("ircomm", 0) == 0) return Kind::Infrared;
    static const std::set<std::string> wwan{"option", "option1", "qcserial", "qcaux", "sierra", "usb_wwan"};
    if (wwan.count(t.driver)) return Kind::Modem;
    if (t.driver == "cdc_acm" && !t.hardwarePath.empty()) {
      // Communications class, abstract control model, an AT-command protocol (V.25ter, PCCA,
      // PCCA+wakeup, GSM, 3G, CDMA): a modem; anything else on cdc_acm is a plain port.
      std::string cls = Attr(t.hardwarePath, "bInterfaceClass");
      std::string sub = Attr(t.hardwarePath, "bInterfaceSubClass");
      std::string proto = Attr(t.hardwarePath, "bInterfaceProtocol");
      if (cls == "02" && sub == "02" && proto >= "01" && proto <= "06") return Kind::Modem;
    }
    return Kind::Port;
  }

  unsigned PortNumberOf(const sf::TtyDevice& t) {
    // A device has one port at most: the names as they stand first, canonical names (a look
    // at each one's path) only for a port mapped by another name.
    for (const PortEntry& p : ports_)
      if ((!p.sysfsPath.empty() && p.sysfsPath == t.classPath) || p.device == t.devNode) return p.number;
    if (portCanon_.size() != ports_.size())
      for (const PortEntry& p : ports_) portCanon_.push_back(CanonicalDeviceName(p.device));
    const std::string canon = CanonicalDeviceName(t.devNode);
    for (std::size_t i = 0; i < ports_.size(); ++i)
      if (portCanon_[i] == canon) return ports_[i].number;
    return 0;
  }

  std::string Modalias(const sf::TtyDevice& t) const {
    if (t.isUsb) return "usb:v" + Upper(t.usb.vendorId) + "p" + Upper(t.usb.productId);
    return t.hardwarePath.empty() ? std::string() : Attr(t.hardwarePath, "modalias");
  }

  static std::string Enumerator(const sf::TtyDevice& t) {
    if (t.isUsb) return "USB";
    if (t.subsystem == "pci") return "PCI";
    if (t.subsystem == "pnp") return "ACPI";
    if (t.name.rfind("rfcomm", 0) == 0) return "BTH";
    if (t.subsystem.empty()) return "ROOT";
    return Upper(t.subsystem);
  }

  void AddTty(const sf::TtyDevice& t) {
    Node n;
    n.kind = Classify(t);
    const ClassInfo& info = InfoOf(n.kind);
    n.sysPath = t.ttyPath;
    n.instanceId = n.sysPath.empty() ? "virtual/tty/" + t.name : IdOf(n.sysPath);
    n.devNode = t.devNode;
    std::string modalias = Modalias(t);
    std::string usbPath = t.isUsb ? t.usb.path : std::string();
    std::string hw = !usbPath.empty() ? usbPath : t.hardwarePath;
    std::string description = t.isUsb ? t.usb.product : std::string();
    if (description.empty()) description = names_->Lookup(hw, modalias, "ID_MODEL_FROM_DATABASE");
    if (description.empty()) description = info.fallback;
    std::string manufacturer = t.isUsb ? t.usb.manufacturer : std::string();
    if (manufacturer.empty()) manufacturer = names_->Lookup(hw, modalias, "ID_VENDOR_FROM_DATABASE");
    std::string service = t.driver;
    if (service.empty()) service = n.kind == Kind::Bluetooth ? "rfcomm" : n.kind == Kind::Infrared ? "ircomm" : "";
    unsigned number = PortNumberOf(t);
    std::string portName = number ? "COM" + std::to_string(number) : std::string();
    std::string dev = sf::DevRoot();
    std::string symbolic = !t.byId.empty()     ? dev + "/serial/by-id/" + t.byId
                           : !t.byPath.empty() ? dev + "/serial/by-path/" + t.byPath
                                               : t.devNode;
    std::vector<std::string> hardwareIds;
    if (t.isUsb) {
      std::string id = "USB\\VID_" + Upper(t.usb.vendorId) + "&PID_" + Upper(t.usb.productId);
      if (!t.usb.interfaceNumber.empty()) hardwareIds.push_back(id + "&MI_" + t.usb.interfaceNumber);
      hardwareIds.push_back(id);
    } else if (!t.driver.empty()) {
      hardwareIds.push_back(Enumerator(t) + "\\" + Upper(t.driver));
    }
    Set(n, SPDRP_DEVICEDESC, description);
    SetMulti(n, SPDRP_HARDWAREID, hardwareIds);
    Set(n, SPDRP_SERVICE, service);
    Set(n, SPDRP_CLASS, info.name);
    Set(n, SPDRP_CLASSGUID, GuidToText(*info.guid));
    Set(n, SPDRP_DRIVER, GuidToText(*info.guid) + "\\" + (t.byId.empty() ? n.instanceId : t.byId));
    Set(n, SPDRP_MFG, manufacturer);
    Set(n, SPDRP_FRIENDLYNAME, portName.empty() ? description : description + " (" + portName + ")");
    Set(n, SPDRP_LOCATION_INFORMATION, t.byPath);
    Set(n, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, t.devNode);
    Set(n, SPDRP_ENUMERATOR_NAME, Enumerator(t));
    AddKeyValue(n, "PortName", portName);
    AddKeyValue(n, "SymbolicName", symbolic);
    nodes_->push_back(std::move(n));
  }

  bool Known(const std::string& id) const {
    return std::any_of(nodes_->begin(), nodes_->end(), [&](const Node& n) { return n.instanceId == id; });
  }

  // The USB device above a USB port (adapter or composite device), the PCI card above a port.
  void AddHardware(const sf::TtyDevice& t) {
    if (t.isUsb) {
      const std::string& path = t.usb.path;  // resolved already
      if (path.empty() || Known(IdOf(path))) return;
      Node n;
      std::string interfaces = Attr(path, "bNumInterfaces");
      n.kind = std::atoi(interfaces.c_str()) > 1 ? Kind::Multifunction : Kind::Adapter;
      std::string modalias = "usb:v" + Upper(t.usb.vendorId) + "p" + Upper(t.usb.productId);
      AddPlain(n, path, modalias, t.usb.product, t.usb.manufacturer, "usb",
               {"USB\\VID_" + Upper(t.usb.vendorId) + "&PID_" + Upper(t.usb.productId)}, "USB");
    } else if (t.subsystem == "pci" && !t.hardwarePath.empty()) {
      const std::string& path = t.hardwarePath;  // resolved already
      if (path.empty() || Known(IdOf(path))) return;
      Node n;
      n.kind = Kind::MultiportCard;
      std::string vendor = Attr(path, "vendor"), device = Attr(path, "device");
      auto hex = [](std::string s) { return Upper(s.size() > 2 && s[1] == 'x' ? s.substr(2) : s); };
      AddPlain(n, path, Attr(path, "modalias"), "", "", t.driver,
               {"PCI\\VEN_" + hex(vendor) + "&DEV_" + hex(device)}, "PCI");
    }
  }

  void AddPlain(Node& n, const std::string& path, const std::string& modalias, std::string description,
                std::string manufacturer, const std::string& service,
                const std::vector<std::string>& hardwareIds, const char* enumerator) {
    const ClassInfo& info = InfoOf(n.kind);
    n.sysPath = path;
    n.instanceId = IdOf(path);
    if (description.empty()) description = names_->Lookup(path, modalias, "ID_MODEL_FROM_DATABASE");
    if (description.empty()) description = info.fallback;
    if (manufacturer.empty()) manufacturer = names_->Lookup(path, modalias, "ID_VENDOR_FROM_DATABASE");
    std::string driver = sf::LinkTargetName(path + "/driver");
    Set(n, SPDRP_DEVICEDESC, description);
    SetMulti(n, SPDRP_HARDWAREID, hardwareIds);
    Set(n, SPDRP_SERVICE, driver.empty() ? service : driver);
    Set(n, SPDRP_CLASS, info.name);
    Set(n, SPDRP_CLASSGUID, GuidToText(*info.guid));
    Set(n, SPDRP_DRIVER, GuidToText(*info.guid) + "\\" + n.instanceId);
    Set(n, SPDRP_MFG, manufacturer);
    Set(n, SPDRP_FRIENDLYNAME, description);
    Set(n, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, path);
    Set(n, SPDRP_ENUMERATOR_NAME, enumerator);
    nodes_->push_back(std::move(n));
  }

  // One record per serial driver in use, its ports as its children.
  void AddLegacyDrivers(const std::vector<sf::TtyDevice>& ttys) {
    std::map<std::string, std::vector<std::string>> drivers;
    std::vector<std::string> order;
    for (const sf::TtyDevice& t : ttys) {
      if (t.driver.empty()) continue;
      if (!drivers.count(t.driver)) order.push_back(t.driver);
      const std::string& path = t.ttyPath;
      drivers[t.driver].push_back(path.empty() ? "virtual/tty/" + t.name : IdOf(path));
    }
    for (const std::string& d : order) {
      Node n;
      n.kind = Kind::LegacyDriver;
      n.instanceId = "ROOT\\LEGACY_" + Upper(d) + "\\0000";
      n.children = drivers[d];
      const ClassInfo& info = InfoOf(n.kind);
      Set(n, SPDRP_DEVICEDESC, d);
      Set(n, SPDRP_SERVICE, d);
      Set(n, SPDRP_CLASS, info.name);
      Set(n, SPDRP_CLASSGUID, GuidToText(*info.guid));
      Set(n, SPDRP_DRIVER, GuidToText(*info.guid) + "\\" + d);
      Set(n, SPDRP_FRIENDLYNAME, d);
      Set(n, SPDRP_ENUMERATOR_NAME, "ROOT");
      nodes_->push_back(std::move(n));
    }
  }

  // USB communications-class interfaces that no driver has claimed.
  void AddUnclaimedInterfaces() {
    std::string folder = sf::SysfsRoot() + "/bus/usb/devices";
    std::vector<std::string> names = sf::ListFolder(folder);
    std::sort(names.begin(), names.end(), sf::NaturalLess);
    for (const std::string& name : names) {
      std::string path = sf::ResolveLink(folder + "/" + name);
      if (path.empty() || Attr(path, "bInterfaceClass") != "02" || Exists(path + "/driver")) continue;
      if (Known(IdOf(path))) continue;
      sf::UsbInfo usb;
      sf::FindUsbDevice(path, usb);
      Node n;
      n.kind = Kind::NoDriver;
      std::string modalias = Attr(path, "modalias");
      AddPlain(n, path, modalias, usb.product, usb.manufacturer, "",
               {"USB\\VID_" + Upper(usb.vendorId) + "&PID_" + Upper(usb.productId) + "&MI_" +
                Attr(path, "bInterfaceNumber")},
               "USB");
      n = std::move(nodes_->back());
      nodes_->pop_back();
      n.props.erase(SPDRP_SERVICE);  // nothing drives it
      nodes_->push_back(std::move(n));
    }
  }

  std::string devicesRoot_;
  std::vector<PortEntry> ports_;
  std::vector<std::string> portCanon_;  // the ports' devices, canonical, taken when first needed
  NameSource* names_ = nullptr;
  std::vector<Node>* nodes_ = nullptr;
};

// A snapshot of the devices now: the latest one while nothing has changed since it was taken
// (a device set per class in one device pass costs one scan).
std::shared_ptr<const Snapshot> TakeSnapshot() {
  const std::uint64_t generation = sf::DeviceGeneration();
  std::vector<PortEntry> ports = ListPorts();
  const bool udev = gUdevEnabled.load();
  DevInstTable& t = Table();
  {
    std::lock_guard lock(t.mutex);
    if (t.latest && t.latest->generation == generation && t.latest->udev == udev && t.latest->ports == ports)
      return t.latest;
  }
  std::shared_ptr<Snapshot> snap = Scanner().Run(ports);
  snap->generation = generation;
  snap->ports = std::move(ports);
  snap->udev = udev;
  std::lock_guard lock(t.mutex);
  t.latest = snap;
  return snap;
}

// The snapshot the configuration-manager functions answer from: the latest one a device set
// took, or a new one.
std::shared_ptr<const Snapshot> LatestSnapshot() {
  {
    DevInstTable& t = Table();
    std::lock_guard lock(t.mutex);
    if (t.latest) return t.latest;
  }
  return TakeSnapshot();
}

// ---- Device sets -------------------------------------------------------------------------------

bool InClass(const Node& n, const GUID& guid, bool interfaces) {
  if (interfaces) {
    if (guid == kModemInterface) return n.kind == Kind::Modem;
    if (guid == kComPortInterface)
      return n.kind == Kind::Port || n.kind == Kind::Bluetooth || n.kind == Kind::Infrared;
    return false;  // no device here exposes a setup class as an interface
  }
  return *InfoOf(n.kind).guid == guid;
}

class DeviceSet : public KernelObject {
 public:
  std::shared_ptr<const Snapshot> snapshot;
  std::vector<const Node*> members;
  bool interfaces = false;
  GUID interfaceGuid{};
};

std::shared_ptr<DeviceSet> SetOf(HDEVINFO set) {
  auto s = LookupHandleAs<DeviceSet>(set);
  if (!s) ::SetLastError(ERROR_INVALID_HANDLE);
  return s;
}

const Node* NodeOf(const DeviceSet& set, const SP_DEVINFO_DATA* data) {
  if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    ::SetLastError(ERROR_INVALID_USER_BUFFER);
    return nullptr;
  }
  for (const Node* n : set.members)
    if (n->devInst == data->DevInst) return n;
  ::SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

std::string HardwareKeyPath(const Node& n) {
  return "SYSTEM\\CurrentControlSet\\Enum\\" + n.instanceId + "\\Device Parameters";
}

CONFIGRET CopyProperty(const Node& n, DWORD code, ULONG* type, void* buffer, ULONG* length) {
  auto it = n.props.find(code);
  if (it == n.props.end()) return CR_NO_SUCH_VALUE;
  ULONG size = ULONG(it->second.bytes.size());
  if (type) *type = it->second.type;
  if (!buffer || *length < size) {
    *length = size;
    return CR_BUFFER_SMALL;
  }
  std::memcpy(buffer, it->second.bytes.data(), size);
  *length = size;
  return CR_SUCCESS;
}

// Bus relations of an id: the snapshot's, or those of its sysfs folder.
bool RelationsOf(const std::string& id, std::vector<std::string>& out) {
  auto snap = LatestSnapshot();
  if (const Node* n = snap->ById(id)) {
    out = n->children;
    return true;
  }
  Scanner scanner;
  std::string root = scanner.DevicesRoot();
  if (root.empty() || id.empty() || id.find("..") != std::string::npos) return false;
  std::string path = root + "/" + id;
  if (!IsDeviceFolder(path)) return false;
  out = scanner.ChildrenOf(path);
  return true;
}

}  // namespace

void SetUdevEnabled(bool enabled) { gUdevEnabled.store(enabled); }
bool UdevAvailable() { return Udev().database; }

}  // namespace qv::platform

using namespace qv::platform;

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char*, HWND, DWORD flags) {
  if (!classGuid && !(flags & DIGCF_ALLCLASSES)) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto set = std::make_shared<DeviceSet>();
  set->snapshot = TakeSnapshot();
  set->interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
  if (classGuid) set->interfaceGuid = *classGuid;
  for (const Node& n : set->snapshot->nodes)
    if ((flags & DIGCF_ALLCLASSES) || InClass(n, *classGuid, set->interfaces)) set->members.push_back(&n);
  return RegisterHandle(std::move(set));
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  if (!SetOf(set)) return FALSE;
  return CloseHandle(set);
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data) {
  auto s = SetOf(set);
  if (!s) return FALSE;
  if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    ::SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (index >= s->members.size()) {
    ::SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  const Node& n = *s->members[index];
  data->ClassGuid = *InfoOf(n.kind).guid;
  data->DevInst = n.devInst;
  data->Reserved = index + 1;
  return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, const SP_DEVINFO_DATA* data, DWORD property,
                                       DWORD* type, BYTE* buffer, DWORD size, DWORD* required) {
  auto s = SetOf(set);
  if (!s) return FALSE;
  const Node* n = NodeOf(*s, data);
  if (!n) return FALSE;
  ULONG length = buffer ? size : 0;
  ULONG t = 0;
  CONFIGRET r = CopyProperty(*n, property, &t, buffer, &length);
  if (r == CR_NO_SUCH_VALUE) {
    ::SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  if (type) *type = t;
  if (required) *required = length;
  if (r != CR_SUCCESS) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  return TRUE;
}

HKEY SetupDiOpenDevRegKey(HDEVINFO set, const SP_DEVINFO_DATA* data, DWORD scope, DWORD, DWORD keyType,
                          DWORD access) {
  auto s = SetOf(set);
  if (!s) return INVALID_HANDLE_VALUE;
  const Node* n = NodeOf(*s, data);
  if (!n) return INVALID_HANDLE_VALUE;
  if (scope != DICS_FLAG_GLOBAL || keyType != DIREG_DEV) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // The key is a view of what the snapshot found; registering it again refreshes it.
  std::string path = HardwareKeyPath(*n);
  std::vector<RegValue> values = n->keyValues;
  RegisterRegView(RegRoot::Machine, path, [values] { return values; });
  HKEY key = 0;
  LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key);
  if (r != ERROR_SUCCESS) {
    ::SetLastError(DWORD(r));
    return INVALID_HANDLE_VALUE;
  }
  return key;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, const SP_DEVINFO_DATA* data, const GUID* interfaceGuid,
                                 DWORD index, SP_DEVICE_INTERFACE_DATA* interfaceData) {
  auto s = SetOf(set);
  if (!s) return FALSE;
  if (!interfaceGuid || !interfaceData || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    ::SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  std::vector<const Node*> found;
  for (const Node* n : s->members) {
    if (data && data->DevInst != n->devInst) continue;
    if (InClass(*n, *interfaceGuid, true)) found.push_back(n);
  }
  if (index >= found.size()) {
    ::SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  interfaceData->InterfaceClassGuid = *interfaceGuid;
  interfaceData->Flags = 1;  // SPINT_ACTIVE
  interfaceData->Reserved = found[index]->devInst;
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, const SP_DEVICE_INTERFACE_DATA* interfaceData,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                      DWORD* required, SP_DEVINFO_DATA* data) {
  auto s = SetOf(set);
  if (!s) return FALSE;
  if (!interfaceData || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    ::SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  const Node* n = nullptr;
  for (const Node* m : s->members)
    if (m->devInst == interfaceData->Reserved) n = m;
  if (!n) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD need = DWORD(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + n->devNode.size() + 1);
  if (required) *required = need;
  if (data) {
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
      ::SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    data->ClassGuid = *InfoOf(n->kind).guid;
    data->DevInst = n->devInst;
  }
  if (!detail || detailSize < need) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, n->devNode.c_str(), n->devNode.size() + 1);
  return TRUE;
}

HDEVINFO SetupDiCreateDeviceInfoList(const GUID*, HWND) {
  auto set = std::make_shared<DeviceSet>();
  set->snapshot = std::make_shared<Snapshot>();
  return RegisterHandle(std::move(set));
}

BOOL SetupDiCreateDeviceInfoA(HDEVINFO set, const char*, const GUID*, const char*, HWND, DWORD,
                              SP_DEVINFO_DATA*) {
  if (!SetOf(set)) return FALSE;
  ::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

BOOL SetupDiGetINFClassA(const char*, GUID*, char*, DWORD, DWORD*) {
  ::SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA*, DWORD, const BYTE*, DWORD) {
  if (!SetOf(set)) return FALSE;
  ::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

BOOL SetupDiCallClassInstaller(DWORD, HDEVINFO set, SP_DEVINFO_DATA*) {
  if (!SetOf(set)) return FALSE;
  ::SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, const SP_DEVINFO_DATA* data, char* buffer, DWORD size,
                                 DWORD* required) {
  auto s = SetOf(set);
  if (!s) return FALSE;
  const Node* n = NodeOf(*s, data);
  if (!n) return FALSE;
  DWORD need = DWORD(n->instanceId.size() + 1);
  if (required) *required = need;
  if (!buffer || size < need) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, n->instanceId.c_str(), need);
  return TRUE;
}

CONFIGRET CM_Locate_DevNodeA(DEVINST* devInst, const char* deviceId, ULONG) {
  if (!devInst) return CR_INVALID_POINTER;
  auto snap = LatestSnapshot();
  if (!deviceId || !*deviceId) return CR_INVALID_DEVNODE;
  if (const Node* n = snap->ById(deviceId)) {
    *devInst = n->devInst;
    return CR_SUCCESS;
  }
  std::vector<std::string> children;
  if (!RelationsOf(deviceId, children)) return CR_NO_SUCH_DEVNODE;
  *devInst = DevInstOf(deviceId);
  return CR_SUCCESS;
}

CONFIGRET CM_Get_DevNode_Registry_PropertyA(DEVINST devInst, ULONG property, ULONG* type, void* buffer,
                                            ULONG* length, ULONG) {
  if (!length || property == 0) return !length ? CR_INVALID_POINTER : CR_INVALID_FLAG;
  auto snap = LatestSnapshot();
  const Node* n = snap->ByDevInst(devInst);
  if (!n) return CR_NO_SUCH_DEVNODE;
  return CopyProperty(*n, property - 1, type, buffer, length);
}

namespace {
// Parent of a sysfs id: the nearest folder above it that is a device.
std::string ParentId(const std::string& id) {
  std::string p = id;
  Scanner scanner;
  while (true) {
    auto slash = p.rfind('/');
    if (slash == std::string::npos) return {};
    p.resize(slash);
    if (IsDeviceFolder(scanner.DevicesRoot() + "/" + p)) return p;
  }
}
}  // namespace

CONFIGRET CM_Get_Child(DEVINST* child, DEVINST devInst, ULONG) {
  if (!child) return CR_INVALID_POINTER;
  std::string id = IdOfDevInst(devInst);
  std::vector<std::string> children;
  if (id.empty() || !RelationsOf(id, children)) return CR_INVALID_DEVNODE;
  if (children.empty()) return CR_NO_SUCH_DEVNODE;
  *child = DevInstOf(children.front());
  return CR_SUCCESS;
}

CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST devInst, ULONG) {
  if (!parent) return CR_INVALID_POINTER;
  std::string id = IdOfDevInst(devInst);
  if (id.empty()) return CR_INVALID_DEVNODE;
  std::string p = ParentId(id);
  if (p.empty()) return CR_NO_SUCH_DEVNODE;
  *parent = DevInstOf(p);
  return CR_SUCCESS;
}

CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST devInst, ULONG) {
  if (!sibling) return CR_INVALID_POINTER;
  std::string id = IdOfDevInst(devInst);
  if (id.empty()) return CR_INVALID_DEVNODE;
  std::string p = ParentId(id);
  std::vector<std::string> children;
  if (p.empty() || !RelationsOf(p, children)) return CR_NO_SUCH_DEVNODE;
  for (std::size_t i = 0; i + 1 < children.size(); ++i) {
    if (RegNamesEqual(children[i], id)) {
      *sibling = DevInstOf(children[i + 1]);
      return CR_SUCCESS;
    }
  }
  return CR_NO_SUCH_DEVNODE;
}

CONFIGRET CM_Get_Device_ID_List_SizeA(ULONG* length, const char* deviceId, ULONG flags) {
  if (!length) return CR_INVALID_POINTER;
  if (flags != CM_GETIDLIST_FILTER_BUSRELATIONS) return CR_INVALID_FLAG;
  std::vector<std::string> children;
  if (!deviceId || !RelationsOf(deviceId, children)) return CR_NO_SUCH_DEVNODE;
  ULONG size = 1;
  for (const std::string& c : children) size += ULONG(c.size() + 1);
  *length = size;
  return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_ID_ListA(const char* deviceId, char* buffer, ULONG length, ULONG flags) {
  if (!buffer) return CR_INVALID_POINTER;
  if (flags != CM_GETIDLIST_FILTER_BUSRELATIONS) return CR_INVALID_FLAG;
  std::vector<std::string> children;
  if (!deviceId || !RelationsOf(deviceId, children)) return CR_NO_SUCH_DEVNODE;
  std::string block;
  for (const std::string& c : children) block += c + '\0';
  block += '\0';
  if (length < block.size()) return CR_BUFFER_SMALL;
  std::memcpy(buffer, block.data(), block.size());
  return CR_SUCCESS;
}

CONFIGRET CM_Request_Device_EjectA(DEVINST devInst, int* vetoType, char* vetoName, ULONG nameLength, ULONG) {
  if (IdOfDevInst(devInst).empty()) return CR_INVALID_DEVNODE;
  if (vetoType) *vetoType = 0;
  if (vetoName && nameLength) vetoName[0] = 0;
  return CR_REMOVE_VETOED;
}

namespace qv::platform {

const DevInfoExport* SetupApiExports(std::size_t& count) {
#define QV_EXPORT(name) {#name, reinterpret_cast<void (*)()>(&::name)}
  static const DevInfoExport exports[] = {
      QV_EXPORT(SetupDiGetClassDevsA),
      QV_EXPORT(SetupDiDestroyDeviceInfoList),
      QV_EXPORT(SetupDiEnumDeviceInfo),
      QV_EXPORT(SetupDiGetDeviceRegistryPropertyA),
      QV_EXPORT(SetupDiOpenDevRegKey),
      QV_EXPORT(SetupDiEnumDeviceInterfaces),
      QV_EXPORT(SetupDiGetDeviceInterfaceDetailA),
      QV_EXPORT(SetupDiCreateDeviceInfoList),
      QV_EXPORT(SetupDiCreateDeviceInfoA),
      QV_EXPORT(SetupDiGetINFClassA),
      QV_EXPORT(SetupDiSetDeviceRegistryPropertyA),
      QV_EXPORT(SetupDiCallClassInstaller),
      QV_EXPORT(SetupDiGetDeviceInstanceIdA),
      QV_EXPORT(CM_Locate_DevNodeA),
      QV_EXPORT(CM_Get_DevNode_Registry_PropertyA),
      QV_EXPORT(CM_Get_Child),
      QV_EXPORT(CM_Get_Sibling),
      QV_EXPORT(CM_Get_Parent),
      QV_EXPORT(CM_Get_Device_ID_List_SizeA),
      QV_EXPORT(CM_Get_Device_ID_ListA),
      QV_EXPORT(CM_Request_Device_EjectA),
  };
#undef QV_EXPORT
  count = std::size(exports);
  return exports;
}

}  // namespace qv::platform
