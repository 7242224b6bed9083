// A fake sysfs tree and /dev folder for tests of the port map and the device pass: serial
// devices on the board, behind USB adapters and USB modems, Bluetooth links. Points the
// platform's sysfs and /dev roots at the tree and the registry store at a fresh folder; puts
// everything back on destruction.
#pragma once

#include "platform/devices/devinfo.h"
#include "platform/system/portmap.h"
#include "platform/testhooks.h"
#include "support/temp_config.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace qv::test {

class FakeSysfs {
 public:
  FakeSysfs() {
    namespace fs = std::filesystem;
    fs::create_directories(dir_ / "sys" / "class" / "tty");
    fs::create_directories(dir_ / "sys" / "devices");
    fs::create_directories(dir_ / "sys" / "bus" / "usb" / "devices");
    fs::create_directories(dir_ / "dev" / "serial" / "by-id");
    fs::create_directories(dir_ / "dev" / "serial" / "by-path");
    qv::platform::SetSysfsRoot((dir_ / "sys").string());
    qv::platform::SetDevRoot((dir_ / "dev").string());
    qv::platform::SetUdevEnabled(false);  // the system's database knows nothing of this tree
  }
  ~FakeSysfs() {
    qv::platform::SetSysfsRoot("/sys");
    qv::platform::SetDevRoot("/dev");
    qv::platform::SetUdevEnabled(true);
  }
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  const std::filesystem::path& Dir() const { return dir_; }
  std::string Sys(const std::string& rel) const { return (dir_ / "sys" / rel).string(); }
  std::string Dev(const std::string& name) const { return (dir_ / "dev" / name).string(); }

  // A device folder below devices/ with a uevent file, its driver and bus.
  void Device(const std::string& rel, const std::string& driver = "", const std::string& subsystem = "") {
    namespace fs = std::filesystem;
    fs::path p = dir_ / "sys" / "devices" / rel;
    fs::create_directories(p);
    std::ofstream(p / "uevent") << "";
    std::error_code ec;
    if (!driver.empty()) {
      fs::create_directories(dir_ / "sys" / "bus" / "drivers" / driver);
      fs::create_directory_symlink(dir_ / "sys" / "bus" / "drivers" / driver, p / "driver", ec);
    }
    if (!subsystem.empty()) {
      fs::create_directories(dir_ / "sys" / "bus" / subsystem);
      fs::create_directory_symlink(dir_ / "sys" / "bus" / subsystem, p / "subsystem", ec);
    }
  }
  // A device's attributes change only with the device, which the system announces: the nodes
  // of the ttys at or below it go and come, as they would when it is plugged in again (and a
  // node comes and goes for a device without ttys).
  void Attr(const std::string& rel, const std::string& name, const std::string& value) {
    std::ofstream(dir_ / "sys" / "devices" / rel / name) << value << "\n";
    for (const auto& [tty, parent] : ttys_)
      if (parent == rel || parent.starts_with(rel + "/")) Replug(tty);
    Replug(".changed");
    std::filesystem::remove(dir_ / "dev" / ".changed");
  }
  // The device node of a tty goes and comes (a device plugged in again).
  void Replug(const std::string& name) {
    std::filesystem::remove(dir_ / "dev" / name);
    std::ofstream(dir_ / "dev" / name).put('\0');
  }
  // A tty class device devices/<parent>/tty/<name>, its device link to devices/<parent>, the
  // class/tty entry and a device node.
  void Tty(const std::string& name, const std::string& parent, const char* type = nullptr) {
    namespace fs = std::filesystem;
    fs::path devdir = dir_ / "sys" / "devices" / parent;
    fs::path ttydir = devdir / "tty" / name;
    fs::create_directories(ttydir);
    std::ofstream(ttydir / "uevent") << "";
    fs::create_directory_symlink(devdir, ttydir / "device");
    if (type) std::ofstream(ttydir / "type") << type << "\n";
    fs::create_directory_symlink(ttydir, dir_ / "sys" / "class" / "tty" / name);
    std::ofstream(dir_ / "dev" / name).put('\0');
    ttys_[name] = parent;
  }
  // A tty without a device link (a Bluetooth link not bound to a connection).
  void VirtualTty(const std::string& name) {
    namespace fs = std::filesystem;
    fs::path ttydir = dir_ / "sys" / "devices" / "virtual" / "tty" / name;
    fs::create_directories(ttydir);
    std::ofstream(ttydir / "uevent") << "";
    fs::create_directory_symlink(ttydir, dir_ / "sys" / "class" / "tty" / name);
    std::ofstream(dir_ / "dev" / name).put('\0');
  }
  void ById(const std::string& link, const std::string& name) {
    std::filesystem::create_symlink("../../" + name, dir_ / "dev" / "serial" / "by-id" / link);
  }
  // A USB device <usb> (e.g. "pci0000:00/0000:00:14.0/usb1/1-2") with its identification.
  void UsbDevice(const std::string& usb, const std::string& vid, const std::string& pid,
                 const std::string& manufacturer, const std::string& product, const std::string& serial,
                 int interfaces) {
    Device(usb, "usb", "usb");
    Attr(usb, "idVendor", vid);
    Attr(usb, "idProduct", pid);
    if (!manufacturer.empty()) Attr(usb, "manufacturer", manufacturer);
    if (!product.empty()) Attr(usb, "product", product);
    if (!serial.empty()) Attr(usb, "serial", serial);
    Attr(usb, "bNumInterfaces", " " + std::to_string(interfaces));
    LinkUsb(usb);
  }
  // A USB interface <usb>:1.<n> with its class triple; driver empty for an unclaimed one.
  std::string UsbInterface(const std::string& usb, int n, const std::string& cls, const std::string& sub,
                           const std::string& proto, const std::string& driver) {
    std::string base = usb.substr(usb.rfind('/') + 1);
    std::string rel = usb + "/" + base + ":1." + std::to_string(n);
    Device(rel, driver, "usb");
    Attr(rel, "bInterfaceNumber", "0" + std::to_string(n));
    Attr(rel, "bInterfaceClass", cls);
    Attr(rel, "bInterfaceSubClass", sub);
    Attr(rel, "bInterfaceProtocol", proto);
    LinkUsb(rel);
    return rel;
  }

 private:
  void LinkUsb(const std::string& rel) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directory_symlink(dir_ / "sys" / "devices" / rel,
                                 dir_ / "sys" / "bus" / "usb" / "devices" / fs::path(rel).filename(), ec);
  }

  std::map<std::string, std::string> ttys_;  // name -> parent device, of Tty's ttys
  TempConfig config_{"sysfs"};  // the registry store of the test
  const std::filesystem::path dir_ = config_.Dir();
};

}  // namespace qv::test
