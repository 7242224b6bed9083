#include "platform/system/winspool.h"

#include "platform/testhooks.h"
#include "platform/win32/winbase.h"

#include <cstring>
#include <mutex>

namespace {
std::mutex& SpoolerMutex() {
  static std::mutex mutex;
  return mutex;
}
std::vector<std::string>& SpoolerPorts() {
  static std::vector<std::string> ports;
  return ports;
}
}  // namespace

namespace qv::platform {
void SetSpoolerPorts(const std::vector<std::string>* names) {
  std::lock_guard lock(SpoolerMutex());
  SpoolerPorts() = names ? *names : std::vector<std::string>{};
}
}  // namespace qv::platform

BOOL EnumPortsA(const char*, DWORD level, BYTE* ports, DWORD bufferSize, DWORD* needed,
                DWORD* returned) {
  if (level != 1 || !needed || !returned) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::string> names;
  {
    std::lock_guard lock(SpoolerMutex());
    names = SpoolerPorts();
  }
  // The records first, then the names they point to, all inside the caller's buffer.
  std::size_t size = names.size() * sizeof(PORT_INFO_1A);
  for (const std::string& n : names) size += n.size() + 1;
  *needed = DWORD(size);
  *returned = 0;
  if (size == 0) return TRUE;
  if (!ports || bufferSize < size) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  char* text = reinterpret_cast<char*>(ports) + names.size() * sizeof(PORT_INFO_1A);
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::memcpy(text, names[i].c_str(), names[i].size() + 1);
    PORT_INFO_1A record{text};
    std::memcpy(ports + i * sizeof(PORT_INFO_1A), &record, sizeof record);
    text += names[i].size() + 1;
  }
  *returned = DWORD(names.size());
  return TRUE;
}
