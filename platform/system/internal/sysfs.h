// The sysfs reading behind ttydevices.h: the roots and the helpers the port map and the device
// information share. Not for use outside platform/.
#pragma once

#include "platform/system/ttydevices.h"

#include <string>
#include <vector>

namespace qv::platform::sysfs {

std::string SysfsRoot();  // default "/sys"

// ---- Helpers ----------------------------------------------------------------------------

// An attribute file's text without trailing white space; false when it cannot be read.
bool ReadAttribute(const std::string& path, std::string& value);
// The last component of a symlink's target ("" when path is no symlink).
std::string LinkTargetName(const std::string& path);
// The entries of a folder, unsorted ("." and ".." left out).
std::vector<std::string> ListFolder(const std::string& path);
// Finds the USB device above a sysfs device folder.
bool FindUsbDevice(const std::string& devicePath, UsbInfo& out);

}  // namespace qv::platform::sysfs
