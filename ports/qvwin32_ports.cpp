// qvwin32: the port list (EnumSerialPorts) and the class GUIDs of the device passes.
#include "ports/qvwin32.h"

#include "platform/rtl/sysutils.h"
#include "platform/system/version.h"
#include "platform/system/winreg.h"
#include "platform/system/winspool.h"

#include <algorithm>
#include <cstring>
#include <vector>

const GUID GUID_DEVINTERFACE_MODEM{0x2C7089AA, 0x2E0E, 0x11D1, {0xB1, 0x14, 0x00, 0xC0, 0x4F, 0xC2, 0xAA, 0xE4}};
const GUID GUID_DEVINTERFACE_COMPORT{0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
const GUID GUID_DEVCLASS_PORTS{0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID GUID_DEVCLASS_INFRARED{0x6BDD1FC5, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
const GUID GUID_DEVCLASS_ADAPTER{0x4D36E964, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID GUID_DEVCLASS_BLUETOOTH{0xE0CBF06C, 0xCD8B, 0x4647, {0xBB, 0x8A, 0x26, 0x3B, 0x43, 0xF0, 0xF9, 0x74}};
const GUID GUID_DEVCLASS_MODEM{0x4D36E96D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID GUID_DEVCLASS_MULTIFUNCTION{0x4D36E971, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID GUID_DEVCLASS_MULTIPORTSERIAL{0x50906CB8, 0xBA12, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
const GUID GUID_DEVCLASS_LEGACYDRIVER{0x8ECC055D, 0x047F, 0x11D1, {0xA5, 0x37, 0x00, 0x00, 0xF8, 0x75, 0x3E, 0xD1}};
const GUID GUID_DEVCLASS_NODRIVER{0x4D36E976, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

namespace {

constexpr DWORD kNameSize = 260;   // first try; grown for a longer device path
constexpr DWORD kMaxNameSize = 16384;   // the longest value name the registry keeps, + NUL
constexpr DWORD kMaxDataSize = 1u << 20;

// Closes the key however the enumeration ends (a bad port name raises).
class KeyGuard {
 public:
  explicit KeyGuard(HKEY key) : key_(key) {}
  ~KeyGuard() { RegCloseKey(key_); }
  KeyGuard(const KeyGuard&) = delete;
  KeyGuard& operator=(const KeyGuard&) = delete;

 private:
  HKEY key_;
};

std::string UpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

void FromRegistry(TStrings* list, bool withDeviceNames) {
  std::vector<char> name(kNameSize, 0);
  std::vector<BYTE> data(kNameSize, 0);
  HKEY key = 0;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS)
    return;
  KeyGuard guard(key);
  for (DWORD index = 0;; ++index) {
    DWORD nameSize = DWORD(name.size());
    DWORD dataSize = DWORD(data.size());
    LONG r = RegEnumValueA(key, index, name.data(), &nameSize, nullptr, nullptr, data.data(), &dataSize);
    // A name or data longer than the buffers (a device deep in a folder tree): grow them and
    // read the entry again; one that cannot be read at all is skipped, not the rest of the list.
    while (r == ERROR_MORE_DATA && (name.size() < kMaxNameSize || data.size() < kMaxDataSize)) {
      name.resize(std::min<std::size_t>(name.size() * 2, kMaxNameSize));
      data.resize(std::min<std::size_t>(std::max<std::size_t>(data.size() * 2, dataSize), kMaxDataSize));
      nameSize = DWORD(name.size());
      dataSize = DWORD(data.size());
      r = RegEnumValueA(key, index, name.data(), &nameSize, nullptr, nullptr, data.data(), &dataSize);
    }
    if (r == ERROR_MORE_DATA) continue;
    if (r != ERROR_SUCCESS) break;
    // The data up to its first NUL, within what this value returned.
    const char* text = reinterpret_cast<const char*>(data.data());
    std::string port = UpperAscii(std::string(text, strnlen(text, dataSize)));
    if (port.compare(0, 3, "COM") != 0) continue;
    if (withDeviceNames && list->IndexOfName(port) >= 0) continue;
    int number = StrToInt(port.substr(3));
    std::string entry = port;
    if (withDeviceNames) entry.append("=").append(name.data(), strnlen(name.data(), nameSize));
    InsertPortByNumber(entry, number, list);
  }
}

void FromSpooler(TStrings* list, bool withDeviceNames) {
  DWORD needed = 0;
  DWORD returned = 0;
  if (EnumPortsA(nullptr, 1, nullptr, 0, &needed, &returned) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return;
  std::vector<BYTE> buffer(needed, 0);
  if (!EnumPortsA(nullptr, 1, buffer.data(), needed, &needed, &returned)) return;
  for (DWORD i = 0; i < returned; ++i) {
    PORT_INFO_1A record;
    std::memcpy(&record, buffer.data() + i * sizeof record, sizeof record);
    std::string port = record.pName ? record.pName : "";
    if (port.compare(0, 3, "COM") != 0) continue;
    if (auto colon = port.find(':'); colon != std::string::npos) port.erase(colon, 1);
    int number = StrToInt(port.substr(3));
    InsertPortByNumber(withDeviceNames ? port + "=" : port, number, list);
  }
}

}  // namespace

void InsertPortByNumber(const std::string& text, int number, TStrings* list) {
  if (list->IndexOf(text) >= 0) return;
  int count = list->Count();
  if (count == 0 || int(list->ObjectInt(count - 1)) <= number) {
    list->AddObjectInt(text, number);
    return;
  }
  for (int i = 0; i < count; ++i) {
    if (int(list->ObjectInt(i)) > number) {
      list->InsertObject(i, text, reinterpret_cast<void*>(std::intptr_t(number)));
      return;
    }
  }
}

void EnumSerialPorts(TStrings* list, bool withDeviceNames) {
  list->Clear();
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);
  if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
    FromSpooler(list, withDeviceNames);
  else
    FromRegistry(list, withDeviceNames);
}
