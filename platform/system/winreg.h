// The registry API over a per-user store of text files (see the README), plus the views the
// system builds on the fly (HARDWARE\DEVICEMAP\SERIALCOMM). Functions return Windows error
// numbers (ERROR_SUCCESS on success) and do not touch the last error.
#pragma once

#include "platform/win32/winbase.h"

#include <string>

constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;
constexpr HKEY HKEY_USERS = 0x80000003u;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;

constexpr DWORD KEY_QUERY_VALUE = 0x0001;
constexpr DWORD KEY_SET_VALUE = 0x0002;
constexpr DWORD KEY_CREATE_SUB_KEY = 0x0004;
constexpr DWORD KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr DWORD KEY_NOTIFY = 0x0010;
constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD KEY_WRITE = 0x20006;
constexpr DWORD KEY_ALL_ACCESS = 0xF003F;

// An open key whose key was deleted meanwhile (by this or another program).
constexpr DWORD ERROR_KEY_DELETED = 1018;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, DWORD samDesired, HKEY* result);
LONG RegCreateKeyExA(HKEY root, const char* subKey, DWORD reserved, char* keyClass, DWORD options,
                     DWORD samDesired, const void* securityAttributes, HKEY* result,
                     DWORD* disposition);
LONG RegCloseKey(HKEY key);
LONG RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* valueNameLength,
                   DWORD* reserved, DWORD* type, BYTE* data, DWORD* dataLength);
LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* dataLength);
LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type,
                    const BYTE* data, DWORD dataLength);
LONG RegDeleteValueA(HKEY key, const char* valueName);
LONG RegDeleteKeyA(HKEY root, const char* subKey);
LONG RegFlushKey(HKEY key);

namespace qv::platform {
// The kernel-style name of an open key, as the key-name query returns it: for example
// \REGISTRY\MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM or \REGISTRY\USER\<user id>\Software\...
// Empty for a handle that is not an open key.
std::u16string RegKeyKernelName(HKEY key);
// The current user's id in kernel key names (S-1-5-21-<uid>): one path component.
std::string RegUserId();
}  // namespace qv::platform
