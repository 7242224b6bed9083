// Device names that are no COMn: a terminal device's absolute path, or a name in the scheme of
// another device kind (the in-process null-modem pairs of nullmodem.h, the network serial ports
// of netport.h). What tells the kinds apart is the table of device kinds, asked here; nothing is
// opened or connected to. Any thread.
#pragma once

#include <string>
#include <string_view>

namespace qv::platform {

// Whether a name belongs to a device kind (begins with a kind's scheme), well formed or not.
bool IsDeviceName(std::string_view name);
// Whether a name of a device kind has a form its device can have.
bool IsWellFormedDeviceName(std::string_view name);
// The name every name of one device shares (a terminal device's symlinks resolved); as given
// for a name of no kind.
std::string CanonicalDeviceName(const std::string& name);
// What the port list says of a device that no device record describes (a network port's
// address); empty for most.
std::string DescribeDevice(std::string_view name);

}  // namespace qv::platform
