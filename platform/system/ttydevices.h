// The serial devices the system has, read from sysfs and /dev without opening them: what the
// port map and the device information are built from, and what `qvcomm ports -v` shows.
// Both roots can point at a fake tree (tests): SetSysfsRoot / SetDevRoot in
// platform/testhooks.h. Any thread.
//
// A serial device is an entry of <sysfs>/class/tty with a `device` link (virtual consoles,
// console, ptmx and pseudo-terminals have none), except the unused 8250 placeholders whose
// `type` attribute is 0 (read, never probed by opening the port).
#pragma once

#include <string>
#include <vector>

namespace qv::platform::sysfs {

std::string DevRoot();    // default "/dev"

// The USB device (the folder with idVendor) above a tty, when there is one.
struct UsbInfo {
  std::string path;          // resolved sysfs folder of the USB device
  std::string vendorId;      // idVendor, 4 hex digits
  std::string productId;     // idProduct
  std::string manufacturer;  // strings the device reports; empty when it has none
  std::string product;
  std::string serial;
  std::string interfaceNumber;  // bInterfaceNumber of the interface the tty hangs off
};

struct TtyDevice {
  std::string name;        // ttyUSB0
  std::string devNode;     // <dev>/ttyUSB0
  std::string classPath;   // <sysfs>/class/tty/ttyUSB0
  std::string ttyPath;     // the resolved class/tty entry (the tty's own sysfs folder)
  std::string devicePath;  // the resolved `device` link
  std::string hardwarePath;  // devicePath, or above it past serial-core port/ctrl devices
  std::string driver;      // name of the device's driver (ftdi_sio, cdc_acm, serial8250, ...)
  std::string subsystem;   // bus of the device (usb-serial, usb, pnp, platform, amba, ...)
  int type = -1;           // the 8250 `type` attribute; -1 when the device has none
  std::string byId;        // link name under <dev>/serial/by-id pointing at it, or empty
  std::string byPath;      // same under <dev>/serial/by-path
  bool isUsb = false;
  UsbInfo usb;
};

// The serial devices present, ascending by name (natural order: ttyS2 before ttyS10).
std::vector<TtyDevice> ListSerialTtys();

// One class/tty entry by name, whether or not it is a serial device; false when missing.
bool DescribeTty(const std::string& name, TtyDevice& out);

// The absolute, resolved target of a path (symlinks followed), or empty.
std::string ResolvePath(const std::string& path);
// Natural order of names: digit runs compare by value.
bool NaturalLess(const std::string& a, const std::string& b);

}  // namespace qv::platform::sysfs
