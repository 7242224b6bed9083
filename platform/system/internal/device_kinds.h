// Device kinds: what a port's device name can be. A name begins with the scheme of its kind
// ("/" for a terminal device's path, the null-modem pairs' and the network ports' own
// prefixes), and every place that treats one kind differently from another asks the kind's
// entry: the port map (presence, the name two mappings share, the check before mapping, the
// devices that get numbers of their own), the serial API (which device to open), the hot-plug
// watcher (which nodes and udev events concern ports) and the port list (a description).
// A kind is one file that defines its DeviceKind, plus one line in the table of
// platform/serial/device_table.cpp, which installs the table when the serial library is part of
// the program. Not for use outside platform/. Any thread.
#pragma once

#include "platform/win32/wintypes.h"

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Internal: never exported from the shared library.
#pragma GCC visibility push(hidden)

namespace qv::platform {

class SerialDevice;  // platform/serial/internal/serial_device.h
namespace sysfs {
struct TtyDevice;  // platform/system/ttydevices.h
}

struct DeviceKind {
  // Prefixes that name devices of this kind, lower case (a name's case does not matter).
  std::span<const std::string_view> schemes{};
  // Whether a name of this kind has a form its device can have.
  bool (*WellFormed)(std::string_view name) = nullptr;
  // Whether the device is there now; never connects or opens anything.
  bool (*Present)(const std::string& name) = nullptr;
  // The name that every name of one device shares (a symlink resolved).
  std::string (*Canonical)(const std::string& name) = nullptr;
  // The check before a mapping is stored: ERROR_SUCCESS, or the Windows error with the reason
  // in words a user acts on (shown: the name as a message shows it).
  DWORD (*Check)(const std::string& name, const std::string& shown, std::string& reason) = nullptr;
  // What the port list says of a device that no device record describes; empty for nothing.
  std::string (*Describe)(const std::string& name) = nullptr;
  // Opens the device for exclusive use: null with the Windows error (and a text, or none).
  std::unique_ptr<SerialDevice> (*Open)(const std::string& name, DWORD& error, std::string& text) = nullptr;
  // The devices of this kind the system has, which get COM numbers without a mapping; null
  // for a kind that is only ever mapped.
  std::vector<sysfs::TtyDevice> (*List)() = nullptr;
  // Hot-plug: the prefixes of this kind's nodes in the device folder, and the udev subsystem
  // that announces them; empty for a kind the system does not announce.
  std::span<const std::string_view> nodePrefixes{};
  const char* udevSubsystem = nullptr;
};

// The kind whose scheme begins name; null for a name of no kind (a relative path, COMn).
const DeviceKind* KindOf(std::string_view name);
// Whether name begins with scheme (lower case), in any case.
bool HasScheme(std::string_view name, std::string_view scheme);
// Every kind, in the order of the table; empty until the table is installed.
std::span<const DeviceKind* const> DeviceKinds();
// Installs the table (the serial library does, before main).
void InstallDeviceKinds(std::span<const DeviceKind* const> kinds);

// The devices of every kind that lists its own.
std::vector<sysfs::TtyDevice> ListKindDevices();

}  // namespace qv::platform

#pragma GCC visibility pop
