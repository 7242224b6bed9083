// Binding entry points at run time by name, as the components do for optional system functions.
//
// The Windows module names "kernel32.dll", "ntdll.dll" and "SetupAPI.dll" (case-insensitive,
// ".dll" optional) are built-in tables of this platform's own entry points (SetupAPI's are the
// device-information layer of platform/devices/devinfo.h); any other name is a shared library loaded
// with dlopen. A missing module or entry gives a null result and the last error, never
// an exception.
#pragma once

#include "platform/win32/wintypes.h"

struct HINSTANCE__;
using HMODULE = HINSTANCE__*;
using FARPROC = void (*)();

constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;

// A module already present in the process (built-in, or a shared library someone loaded), or
// null with ERROR_MOD_NOT_FOUND. The handle is not counted: do not free it.
HMODULE GetModuleHandleA(const char* moduleName);
// Loads (counts) a module; null with ERROR_MOD_NOT_FOUND when it cannot be loaded.
HMODULE LoadLibraryA(const char* fileName);
// The entry of that name, or null with ERROR_PROC_NOT_FOUND. Cast to the entry's own type.
FARPROC GetProcAddress(HMODULE module, const char* procName);
// Releases one load; FALSE with ERROR_INVALID_HANDLE for a handle LoadLibraryA did not give.
BOOL FreeLibrary(HMODULE module);

// ---- ntdll entry points provided by the built-in table --------------------------------------

using NTSTATUS = LONG;
constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_INVALID_HANDLE = static_cast<NTSTATUS>(0xC0000008u);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000Du);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = static_cast<NTSTATUS>(0xC0000023u);
constexpr ULONG KeyNameInformation = 3;

// KEY_NAME_INFORMATION: NameLength bytes of UTF-16 name follow, not NUL-terminated.
struct KEY_NAME_INFORMATION {
  ULONG NameLength;
  char16_t Name[1];
};

// The type of the ntdll entry "ZwQueryKey". Only KeyNameInformation is supported; a missing or
// too small buffer gives STATUS_BUFFER_TOO_SMALL with the length the record needs.
using ZwQueryKeyProc = NTSTATUS (*)(HANDLE key, ULONG infoClass, void* info, ULONG length,
                                    ULONG* resultLength);
// The type of the kernel32 entry "CancelIo".
using CancelIoProc = BOOL (*)(HANDLE file);

