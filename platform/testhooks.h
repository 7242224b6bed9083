// The platform's test hooks, in one place: what the tests replace to run on a fake system (a
// sysfs tree, a clock, version records, built-in modules). Only tests call them; they are not
// installed with the library. Call them while no other thread uses what they replace.
#pragma once

#include "platform/win32/wintypes.h"

#include <functional>
#include <string>
#include <vector>

struct OSVERSIONINFOA;     // platform/system/version.h
struct VS_FIXEDFILEINFO;   // platform/system/version.h
using FARPROC = void (*)();  // platform/devices/dynlib.h

namespace qv::platform {

struct TLocalTimestamp;  // platform/system/localtime.h
struct SystemRelease;    // platform/system/version.h

// ---- win32 --------------------------------------------------------------------------------

// Sleeps the calling thread on its message queue as the message functions do, until the queue
// is woken or timeoutMs passes (-1: no limit); takes nothing from it. For tests of the wake-ups.
void WaitOnThisThreadQueue(int timeoutMs);

// ---- system -------------------------------------------------------------------------------

// Where sysfs and /dev are read from (a fake tree). Default "/sys", "/dev".
void SetSysfsRoot(const std::string& root);
void SetDevRoot(const std::string& root);

// Called by a registry-store writer after the temporary file is complete and synced, before it
// replaces the store file. Null to remove.
void SetRegStoreWriteHook(std::function<void()> hook);

// Called by a log cut when the new contents have their temporary name beside the log (stage 1)
// and when they have taken the log's name, before the old contents' name is removed (stage 2).
// Null to remove.
void SetLogCutHook(std::function<void(int stage)> hook);

// How long a store change waits for another program's lock (default 5000 ms).
void SetRegStoreLockWait(int milliseconds);

// InjectLocalTime fixes what LocalNow returns (null restores the clock). InjectTimeLocale
// formats with the named locale ("C", "de_DE.UTF-8"; null restores the user's); false, and
// nothing changed, when the locale is not installed.
void InjectLocalTime(const TLocalTimestamp* Fixed);
bool InjectTimeLocale(const char* Name);

// The path ExeFileName reports (null restores the real one); forgets the folder decision.
void InjectExeFileName(const char* Path);

// InjectVersionInfo replaces what GetVersionExA reports (null restores the running system's
// values); InjectSystemRelease does the same for GetSystemRelease.
void InjectVersionInfo(const OSVERSIONINFOA* info);
void InjectSystemRelease(const SystemRelease* release);
// Registers a version block for a file name: with a fixed record, or (null) a block without
// one. RemoveFileVersionInfo forgets it.
void InjectFileVersionInfo(const std::string& fileName, const VS_FIXEDFILEINFO* fixed);
void RemoveFileVersionInfo(const std::string& fileName);

// The port names EnumPortsA reports (null: none, as on Linux).
void SetSpoolerPorts(const std::vector<std::string>* names);

// The station identity (platform/mqtt/identity.h) reads the machine's identity from the file
// named by QVCOMM_MACHINE_ID_FILE in the environment, when set, instead of /etc/machine-id:
// the hook of tests that run the program as a child.

// ---- devices ------------------------------------------------------------------------------

// False makes the device-information layer ignore libudev and name devices from sysfs alone
// (a fake sysfs tree cannot be described by the system's device database). True by default.
void SetUdevEnabled(bool enabled);

// Hides a built-in module (entry null) or one entry of it, so callers can be checked on systems
// that lack them. Names as GetModuleHandleA / GetProcAddress take them.
void HideBuiltinEntry(const char* moduleName, const char* procName, bool hidden);
// GetProcAddress gives replacement instead of the built-in entry (null restores it).
void ReplaceBuiltinEntry(const char* moduleName, const char* procName, FARPROC replacement);

}  // namespace qv::platform
