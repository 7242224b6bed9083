// qvwin32di: the device pass. For one setup class or device interface class, one TqvDevice per
// device with its description, driver, hardware-key and device-tree data, read through the
// SetupAPI entry points, which are bound at run time by name ("SetupAPI.dll") when first needed.
// Not thread-safe: the binding and the passes run on one thread (the main thread).
#pragma once

#include "core/qvclasses.h"
#include "platform/devices/devinfo.h"
#include "platform/rtl/stringlist.h"

#include <string>

// True when "SetupAPI.dll" is loaded and all 21 entry points are bound. A failed attempt
// leaves nothing bound (the library is released) and the next call tries again.
bool LoadSetupApi();
// Appends one entry per device of the class: the driver key as text, a new TqvDevice as object
// (the list's user frees it). Never clears list; adds nothing when LoadSetupApi fails.
void EnumClassDevices(const GUID& classGuid, bool presentOnly, bool interfaceClass, TStrings* list);
// One device registry property as text (without its NUL); empty when the device lacks it, it
// needs more than 512 bytes or the library is not bound yet.
std::string GetDeviceProperty(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA& deviceInfoData, DWORD property);
// The instance ids of the devices directly below deviceId, joined by separator; empty when it
// has none or they cannot be read.
std::string GetDeviceRelations(const std::string& deviceId, const std::string& separator);

namespace qv::ports {
// Releases the library and unbinds (what program end does; tests use it to start afresh).
void UnloadSetupApi();
}  // namespace qv::ports
