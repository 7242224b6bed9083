// The sysfs reading behind ttydevices.h: the roots and the helpers the port map and the device
// information share. Not for use outside platform/.
#pragma once

#include "platform/system/ttydevices.h"

#include <cstdint>
#include <string>
#include <vector>

// Internal: never exported from the shared library.
#pragma GCC visibility push(hidden)

namespace qv::platform::sysfs {

std::string SysfsRoot();  // default "/sys"
// The sysfs root with its symlinks resolved (looked up again only when the root changes).
std::string ResolvedSysfsRoot();
// A number that changes whenever serial devices may have come or gone (their nodes, their
// stable links, the roots); what was read from sysfs under one number is still true.
std::uint64_t DeviceGeneration();

// ---- Helpers ----------------------------------------------------------------------------

// An attribute file's text without trailing white space; false when it cannot be read.
bool ReadAttribute(const std::string& path, std::string& value);
// The absolute target of a symlink in sysfs, without a look at each folder on the way (its
// ".." taken away by their text); the resolved path of anything else.
std::string ResolveLink(const std::string& path);
// The last component of a symlink's target ("" when path is no symlink).
std::string LinkTargetName(const std::string& path);
// The entries of a folder, unsorted ("." and ".." left out).
std::vector<std::string> ListFolder(const std::string& path);
// The folders in a folder (symlinks to folders left out), unsorted.
std::vector<std::string> ListSubfolders(const std::string& path);
// Finds the USB device above a sysfs device folder.
bool FindUsbDevice(const std::string& devicePath, UsbInfo& out);

}  // namespace qv::platform::sysfs

#pragma GCC visibility pop
