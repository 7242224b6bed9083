// The table of device kinds (platform/system/internal/device_kinds.h), installed before main.
// A new kind: its own file defining its DeviceKind, and its line here.
#include "platform/serial/internal/serial_device.h"
#include "platform/system/internal/device_kinds.h"

namespace qv::platform {

extern const DeviceKind kTerminalDevices;  // serial_termios.cpp
extern const DeviceKind kVirtualPorts;     // nullmodem.cpp
extern const DeviceKind kNetworkPorts;     // serial_net.cpp

namespace {
const DeviceKind* const kKinds[] = {&kTerminalDevices, &kVirtualPorts, &kNetworkPorts};
}  // namespace

}  // namespace qv::platform

// Named in the serial library's link options, so that every program with the library gets the
// table even when nothing else of this file is used.
extern "C" const bool qv_device_table = (qv::platform::InstallDeviceKinds(qv::platform::kKinds), true);
