// The port map: which device each COMn is. One place, used by CreateFileA, the SERIALCOMM view,
// the port list and the device pass.
//
// Sources, in order of precedence:
//  (a) mappings the user adds (COMn -> device path), kept in the registry store;
//  (b) real serial devices found in sysfs: /dev/ttyS<k> is COM<k+1>; any other device (ttyUSB,
//      ttyACM, ttyAMA, rfcomm, ...) gets the lowest free number, remembered in the store by the
//      device's stable identity so the same adapter keeps its number when plugged in again.
// A device is a terminal device's path or a name of another device kind (portnames.h): each
// kind says whether its device is present, which names are one device, what is checked before
// it is mapped and which of its devices get numbers of their own (the terminal devices of (b)).
#pragma once

#include "platform/system/portnames.h"
#include "platform/win32/wintypes.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qv::platform {

struct PortEntry {
  unsigned number = 0;     // n of COMn
  std::string device;      // device node, e.g. /dev/ttyUSB0, or a virtual: name
  std::string identity;    // stable identity (by-id / by-path name), empty if none
  std::string sysfsPath;   // /sys/class/tty/<name> entry (under the sysfs root), empty if none
  bool userMapped = false; // true for mappings the user added
  friend bool operator==(const PortEntry&, const PortEntry&) = default;
};

// Every port present now, in ascending COM number.
std::vector<PortEntry> ListPorts();

// The device path of COMn ("COM7" or "7" style names are parsed by the caller). False with
// error ERROR_FILE_NOT_FOUND when there is no such port.
bool ResolveComPort(unsigned number, std::string& device, DWORD& error);

// Adds or replaces a user mapping. A relative path is stored made absolute against the current
// folder. A network port (rfc2217://HOST:PORT, tcp://HOST:PORT) is checked for its form only,
// never connected to. Fails with ERROR_INVALID_PARAMETER (number 0 or over 255, empty path),
// ERROR_INVALID_NAME (a virtual: or network name of another form), ERROR_FILE_NOT_FOUND (no
// such path),
// ERROR_BAD_COMMAND (not a terminal device), ERROR_NOT_SUPPORTED (a terminal that is no port:
// /dev/tty, consoles and virtual terminals, the pseudo-terminal multiplexer or a master side),
// ERROR_ALREADY_EXISTS (another number names the device), or the store's error when the
// mapping cannot be saved. reason then says why in words a user acts on (the device or the
// store file, and the system's reason); control characters in names are shown as \xHH.
bool AddUserMapping(unsigned number, const std::string& device, DWORD& error,
                    std::string& reason);
bool AddUserMapping(unsigned number, const std::string& device, DWORD& error);
// Removes the mapping of COMn. Fails with ERROR_FILE_NOT_FOUND when there is none, or with the
// store's error (reason as above) when the change cannot be saved.
bool RemoveUserMapping(unsigned number, DWORD& error, std::string& reason);
// True only when a mapping was removed and saved.
bool RemoveUserMapping(unsigned number);
// Removes COMn's mapping only while it still names device: another program may have mapped
// the number anew since.
bool RemoveUserMapping(unsigned number, const std::string& device);

// The user's mappings as stored, whether their devices are present or not, ascending.
std::vector<PortEntry> ListUserMappings();

// Maps device as a COM number that nothing else claims, deciding and writing under the store's
// lock so two programs never take one number: no port is present under it, it is not
// remembered for another device, and no user mapping holds it unless mayReplace says that
// mapping is stale (it is then replaced, as is a stale mapping naming the same device).
// number 0 takes the lowest such number. Returns the number; 0 with error
// ERROR_ALREADY_EXISTS (the number asked for is taken, or the device is mapped under another
// number), ERROR_NO_MORE_ITEMS (none is free), the device check's error (AddUserMapping) or the
// store's; reason then says why in words a user acts on.
unsigned ClaimComPort(unsigned number, const std::string& device,
                      const std::function<bool(const PortEntry& mapping)>& mayReplace,
                      DWORD& error, std::string& reason);

// Whether a path names a terminal that can serve as a port (the check before a terminal device
// is mapped): ERROR_SUCCESS, or the error of AddUserMapping with the reason.
DWORD CheckTerminalDevice(const std::string& path, std::string& reason);

// The n of a port name: "COM7", "com7", "\\.\COM7" and "\\?\COM7" give 7; 0 for a name that is
// not COM followed by a number from 1 to 255 without leading zeros ("COM", "COMA", "COM07").
unsigned ComPortNumber(std::string_view name);

}  // namespace qv::platform
