#include "ports/qvwin32.h"

#include "platform/devices/dynlib.h"
#include "platform/rtl/exceptions.h"
#include "platform/rtl/format.h"
#include "platform/serial/winserial.h"
#include "platform/system/version.h"
#include "platform/system/winreg.h"
#include "platform/win32/winbase.h"
#include "platform/win32/winuser.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

namespace {

void ResetOverlapped(OVERLAPPED& overlapped) {
  overlapped.Internal = 0;
  overlapped.InternalHigh = 0;
  overlapped.Offset = 0;
  overlapped.OffsetHigh = 0;
}

// Key names reach the program in UTF-16; this system's 8-bit texts are UTF-8. An unpaired
// surrogate becomes '?'.
std::string Utf16ToText(const char16_t* text, std::size_t count) {
  std::string out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = '?';
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// The kernel name of an open key through ntdll's ZwQueryKey; false when it cannot be read.
bool QueryKeyName(ZwQueryKeyProc zwQueryKey, HKEY key, std::string& name) {
  ULONG length = 0;
  if (zwQueryKey(key, KeyNameInformation, nullptr, 0, &length) != STATUS_BUFFER_TOO_SMALL ||
      length < offsetof(KEY_NAME_INFORMATION, Name))
    return false;
  // Two more zero bytes terminate the UTF-16 name.
  const ULONG size = length + 2;
  std::vector<unsigned char> buffer(size, 0);
  if (zwQueryKey(key, KeyNameInformation, buffer.data(), size, &length) != STATUS_SUCCESS)
    return false;
  ULONG nameBytes = 0;
  std::memcpy(&nameBytes, buffer.data() + offsetof(KEY_NAME_INFORMATION, NameLength),
              sizeof nameBytes);
  const std::size_t room = size - offsetof(KEY_NAME_INFORMATION, Name);
  if (nameBytes > room) nameBytes = static_cast<ULONG>(room);
  std::vector<char16_t> chars(nameBytes / 2);
  std::memcpy(chars.data(), buffer.data() + offsetof(KEY_NAME_INFORMATION, Name),
              chars.size() * sizeof(char16_t));
  name = Utf16ToText(chars.data(), chars.size());
  return true;
}

// The Windows product name for version values (first matching row wins).
const char* WindowsName(DWORD major, DWORD minor, DWORD platformId) {
  switch (major) {
    case 3: return "NT 3.51";
    case 4:
      if (minor == 10) return "98";
      if (minor == 90) return "Me";
      return platformId == VER_PLATFORM_WIN32_NT ? "NT 4" : "95";
    case 5:
      if (minor == 0) return "2000";
      if (minor == 1) return "XP";
      if (minor == 2) return "2003";
      return "";
    case 6: return minor == 0 ? "Vista" : "Longhorn";
    default: return "";
  }
}

std::string WindowsVersionText(const OSVERSIONINFOA& v) {
  // The 95/98/Me family keeps major and minor in the build number's high word.
  const DWORD build =
      v.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ? (v.dwBuildNumber & 0xFFFFu) : v.dwBuildNumber;
  const std::string numbers = std::to_string(v.dwMajorVersion) + "." +
                              std::to_string(v.dwMinorVersion) + "." + std::to_string(build);
  const std::string servicePack(v.szCSDVersion, strnlen(v.szCSDVersion, sizeof v.szCSDVersion));
  return std::string("Windows ") + WindowsName(v.dwMajorVersion, v.dwMinorVersion, v.dwPlatformId) +
         " [" + numbers + "] " + servicePack;
}

std::string SystemVersionText() {
  const qv::platform::SystemRelease r = qv::platform::GetSystemRelease();
  std::string text = r.sysName;
  if (!r.release.empty()) text += (text.empty() ? "" : " ") + r.release;
  if (!r.prettyName.empty()) text += (text.empty() ? "[" : " [") + r.prettyName + "]";
  return text;
}

std::string FileVersionText(const std::string& fileName, std::string format) {
  if (format.empty()) format = "%u.%u.%u.%u";
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(fileName.c_str(), &handle);
  if (size == 0) return {};
  std::vector<unsigned char> block(size, 0);
  if (!GetFileVersionInfoA(fileName.c_str(), 0, size, block.data())) return {};
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), "\\", &value, &length) || value == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO))
    return {};
  VS_FIXEDFILEINFO fixed;
  std::memcpy(&fixed, value, sizeof fixed);
  try {
    return Format(format, {unsigned(fixed.dwFileVersionMS >> 16), unsigned(fixed.dwFileVersionMS & 0xFFFF),
                           unsigned(fixed.dwFileVersionLS >> 16), unsigned(fixed.dwFileVersionLS & 0xFFFF)});
  } catch (const Exception&) {
    return {};  // a format that does not take four numbers
  }
}

}  // namespace

// ---- Ports and transfers ---------------------------------------------------------------------

std::string ComPortName(unsigned number) { return "COM" + std::to_string(number); }

HANDLE OpenComPort(unsigned number) {
  const std::string path = "\\\\?\\" + ComPortName(number);
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, 0);
}

bool WaitOverlapped(HANDLE handle, OVERLAPPED& overlapped, DWORD& transferred, DWORD& error) {
  error = GetLastError();
  if (error != ERROR_IO_PENDING) return false;
  if (GetOverlappedResult(handle, &overlapped, &transferred, TRUE)) return true;
  error = GetLastError();
  return false;
}

bool WriteAndWait(HANDLE handle, const void* buffer, DWORD count, OVERLAPPED& overlapped) {
  ResetOverlapped(overlapped);
  DWORD written = 0;
  if (WriteFile(handle, buffer, count, &written, &overlapped)) return true;
  DWORD error = 0;
  return WaitOverlapped(handle, overlapped, written, error);
}

bool WriteNoWait(HANDLE handle, const void* buffer, DWORD count, OVERLAPPED& overlapped) {
  ResetOverlapped(overlapped);
  DWORD written = 0;
  if (WriteFile(handle, buffer, count, &written, &overlapped)) return true;
  return GetLastError() == ERROR_IO_PENDING;
}

bool ReadAndWait(HANDLE handle, void* buffer, DWORD count, OVERLAPPED& overlapped) {
  ResetOverlapped(overlapped);
  DWORD read = 0;
  if (ReadFile(handle, buffer, count, &read, &overlapped)) return true;
  DWORD error = 0;
  return WaitOverlapped(handle, overlapped, read, error);
}

bool CancelPendingIo(HANDLE handle) {
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  if (kernel32 == nullptr) return false;
  FARPROC entry = GetProcAddress(kernel32, "CancelIo");
  if (entry == nullptr) return false;
  return reinterpret_cast<CancelIoProc>(entry)(handle) != FALSE;
}

// ---- Registry ----------------------------------------------------------------------------------

std::string GetRegKeyPath(HKEY key, HKEY* rootKey) {
  std::string result;
  if (key == INVALID_HANDLE_VALUE) return result;
  HMODULE ntdll = LoadLibraryA("ntdll.dll");
  if (ntdll == nullptr) return result;
  FARPROC entry = GetProcAddress(ntdll, "ZwQueryKey");
  if (entry == nullptr) {
    FreeLibrary(ntdll);
    return result;
  }
  std::string name;
  bool known = false;
  try {
    known = QueryKeyName(reinterpret_cast<ZwQueryKeyProc>(entry), key, name);
  } catch (const std::bad_alloc&) {
    known = false;
  }
  if (known) {
    result = name;
    if (rootKey != nullptr) {
      if (result.find("\\MACHINE\\") == 9) {  // \REGISTRY\MACHINE\...
        *rootKey = HKEY_LOCAL_MACHINE;
        result.erase(0, 18);
      } else if (result.find("\\USER\\") == 9) {  // \REGISTRY\USER\<user id>\...
        *rootKey = HKEY_CURRENT_USER;
        result.erase(0, 15);
        // Drop the user's id; a key that is the user's root has no path below it.
        const std::size_t slash = result.find('\\');
        result.erase(0, slash == std::string::npos ? result.size() : slash + 1);
      } else {
        *rootKey = 0;
      }
    }
  }
  FreeLibrary(ntdll);
  return result;
}

std::string ReadRegString(HKEY rootKey, const std::string& subKey, const std::string& valueName) {
  std::string result;
  HKEY key = 0;
  if (RegOpenKeyExA(rootKey, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return result;
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key, valueName.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    try {
      const DWORD asked = size;
      result.assign(std::size_t{asked} + 1, '\0');
      std::memset(result.data(), ' ', asked);
      if (RegQueryValueExA(key, valueName.c_str(), nullptr, &type,
                           reinterpret_cast<BYTE*>(result.data()), &size) != ERROR_SUCCESS) {
        result.clear();
      } else {
        result.resize(size < asked ? size : asked);
        if (!result.empty() && result.back() == '\0') result.pop_back();
      }
    } catch (const std::bad_alloc&) {
      result.clear();
    }
  }
  RegCloseKey(key);
  return result;
}

// ---- Texts -------------------------------------------------------------------------------------

std::string MultiSzToText(const char* buffer, DWORD size, const std::string& separator) {
  std::string result;
  if (size < 2 || buffer == nullptr) return result;
  for (DWORD p = 0; p <= size - 2; ++p) {
    if (buffer[p] != '\0') {
      result += buffer[p];
    } else if (p == size - 2) {
      break;
    } else {
      result += separator;
    }
  }
  return result;
}

std::string GetVersionText(const std::string& fileName, const std::string& format) {
  if (!fileName.empty()) return FileVersionText(fileName, format);
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExA(&version)) return {};
  if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ||
      version.dwPlatformId == VER_PLATFORM_WIN32_NT)
    return WindowsVersionText(version);
  return SystemVersionText();
}

// ---- Windows -----------------------------------------------------------------------------------

HWND ForegroundWindow() { return GetForegroundWindow(); }
