// Version values of the running system and of files.
//
// GetVersionExA fills the Windows record from values read once, the first time they are asked
// for: on Linux the platform identifier is VER_PLATFORM_LINUX and the numbers are the leading
// numbers of the kernel release (6.1.0-18-amd64 gives 6, 1, 0). GetSystemRelease gives the texts
// a Linux user knows the system by. Linux files carry no version resource: the version-resource
// functions find none, except for records a test registers.
#pragma once

#include "platform/win32/wintypes.h"

#include <optional>
#include <string>

constexpr DWORD VER_PLATFORM_WIN32s = 0;
constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;
constexpr DWORD VER_PLATFORM_LINUX = 0x4C494Eu;  // not a Windows family

constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148);

constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BDu;
constexpr DWORD VS_FFI_STRUCVERSION = 0x00010000u;

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

// FALSE with ERROR_INVALID_PARAMETER unless dwOSVersionInfoSize is sizeof(OSVERSIONINFOA).
BOOL GetVersionExA(OSVERSIONINFOA* info);

// Size of the file's version block, or 0 with the last error (no such file, no resource).
DWORD GetFileVersionInfoSizeA(const char* fileName, DWORD* handle);
BOOL GetFileVersionInfoA(const char* fileName, DWORD handle, DWORD length, void* data);
// subBlock "\" gives the VS_FIXEDFILEINFO inside the block, when it holds one.
BOOL VerQueryValueA(const void* block, const char* subBlock, void** buffer, UINT* length);

namespace qv::platform {

struct SystemRelease {
  std::string sysName;     // uname: Linux
  std::string release;     // uname: 6.1.0-18-amd64
  std::string prettyName;  // os-release PRETTY_NAME, empty when there is none
};
SystemRelease GetSystemRelease();

// The leading dotted numbers of a kernel release; missing ones are 0.
void ParseReleaseNumbers(const std::string& release, DWORD& major, DWORD& minor, DWORD& build);
// PRETTY_NAME of an os-release text (quotes and backslash escapes removed), or empty.
std::string ParseOsReleasePrettyName(const std::string& text);

// Test hooks: platform/testhooks.h.

}  // namespace qv::platform
