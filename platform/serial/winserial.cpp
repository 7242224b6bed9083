// The communications API entry points: port names, handle lookup and the last error. The port
// logic itself is in serial_port.cpp; which device a name opens, its device kind says
// (platform/system/internal/device_kinds.h).
#include "platform/serial/winserial.h"

#include "platform/serial/internal/serial_port.h"
#include "platform/system/internal/device_kinds.h"
#include "platform/system/portmap.h"

#include <cctype>
#include <cstring>
#include <mutex>

using namespace qv::platform;

namespace {

// "\\?\COM3" and "\\.\COM3" name the same port as "COM3".
std::string StripDevicePrefix(const std::string& name) {
  if (name.size() > 4 && name[0] == '\\' && name[1] == '\\' && (name[2] == '?' || name[2] == '.') &&
      name[3] == '\\')
    return name.substr(4);
  return name;
}

bool ParseComNumber(const std::string& name, unsigned& number) {
  if (name.size() < 4 || name.size() > 10) return false;
  if (std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
      std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
      std::toupper(static_cast<unsigned char>(name[2])) != 'M')
    return false;
  unsigned long value = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
    value = value * 10 + unsigned(name[i] - '0');
  }
  number = unsigned(value);
  return value > 0 && value <= 0xFFFFu;
}

// The device behind a port name, or false with the Windows error.
bool ResolveName(const std::string& fileName, std::string& device, DWORD& error) {
  const std::string name = StripDevicePrefix(fileName);
  unsigned number = 0;
  if (KindOf(name)) {
    device = name;
    return true;
  }
  if (ParseComNumber(name, number)) return ResolveComPort(number, device, error);
  error = ERROR_FILE_NOT_FOUND;
  return false;
}

template <class F>
BOOL WithPort(HANDLE file, F f) {
  auto port = LookupHandleAs<SerialPort>(file);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return f(*port);
}

std::mutex gHookMutex;
CommConfigDialogHook& Hook() {
  static auto* hook = new CommConfigDialogHook;
  return *hook;
}

void FillConfig(COMMCONFIG* config, const DCB& dcb) {
  std::memset(config, 0, sizeof(COMMCONFIG));
  config->dwSize = sizeof(COMMCONFIG);
  config->wVersion = 1;
  config->dcb = dcb;
  config->dcb.DCBlength = sizeof(DCB);
  config->dwProviderSubType = PST_RS232;
}

// The size check of the configuration calls: *size below 52 asks for the needed size.
bool CheckConfigSize(COMMCONFIG* config, DWORD* size) {
  if (!size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!config || *size < sizeof(COMMCONFIG)) {
    *size = sizeof(COMMCONFIG);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  return true;
}

}  // namespace

namespace qv::platform {
void SetCommConfigDialogHook(CommConfigDialogHook hook) {
  std::lock_guard lock(gHookMutex);
  Hook() = std::move(hook);
}
}  // namespace qv::platform

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD, const void*,
                   DWORD creationDisposition, DWORD, HANDLE) {
  if (!fileName || !*fileName) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // A port exists or it does not: it can never be created.
  if (creationDisposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string device;
  DWORD error = ERROR_SUCCESS;
  if (!ResolveName(fileName, device, error)) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  std::string text;
  const DeviceKind* kind = KindOf(device);
  std::unique_ptr<SerialDevice> dev = kind ? kind->Open(device, error, text) : nullptr;
  if (!kind) error = ERROR_FILE_NOT_FOUND;
  if (!dev) {
    if (text.empty()) SetLastError(error);
    else SetLastErrorText(error, std::move(text));
    return INVALID_HANDLE_VALUE;
  }
  auto port = SerialPort::Create(std::move(dev), fileName,
                                 desiredAccess & (GENERIC_READ | GENERIC_WRITE));
  return RegisterHandle(port);
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped) {
  return WithPort(file, [&](SerialPort& p) { return p.Read(buffer, count, read, overlapped); });
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written,
               OVERLAPPED* overlapped) {
  return WithPort(file, [&](SerialPort& p) { return p.Write(buffer, count, written, overlapped); });
}

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
  if (auto port = LookupHandleAs<SerialPort>(file))
    return port->GetOverlappedResult(overlapped, transferred, wait);
  if (!overlapped) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The handle is gone (closed, perhaps by another thread): closing completed the record, so
  // it holds the outcome; an event still lets a caller wait for a close in progress.
  if (!SerialPort::ResultFromRecord(overlapped, transferred)) {
    if (GetLastError() != ERROR_IO_INCOMPLETE) return FALSE;
    if (wait && overlapped->hEvent && WaitForSingleObject(overlapped->hEvent, INFINITE) == WAIT_OBJECT_0)
      return SerialPort::ResultFromRecord(overlapped, transferred);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL CancelIo(HANDLE file) {
  return WithPort(file, [](SerialPort& p) { return p.CancelIo(); });
}

BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped) {
  return WithPort(file, [&](SerialPort& p) { return p.CancelIoEx(overlapped); });
}

BOOL WaitCommEvent(HANDLE file, DWORD* eventMask, OVERLAPPED* overlapped) {
  return WithPort(file, [&](SerialPort& p) { return p.WaitCommEvent(eventMask, overlapped); });
}

BOOL SetCommMask(HANDLE file, DWORD eventMask) {
  return WithPort(file, [&](SerialPort& p) { return p.SetCommMask(eventMask); });
}

BOOL GetCommMask(HANDLE file, DWORD* eventMask) {
  return WithPort(file, [&](SerialPort& p) { return p.GetCommMask(eventMask); });
}

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
  return WithPort(file, [&](SerialPort& p) { return p.ClearCommError(errors, stat); });
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
  return WithPort(file, [&](SerialPort& p) { return p.PurgeComm(flags); });
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
  return WithPort(file, [&](SerialPort& p) { return p.EscapeCommFunction(function); });
}

BOOL GetCommModemStatus(HANDLE file, DWORD* modemStat) {
  return WithPort(file, [&](SerialPort& p) { return p.GetCommModemStatus(modemStat); });
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  return WithPort(file, [&](SerialPort& p) { return p.SetupComm(inQueue, outQueue); });
}

BOOL GetCommProperties(HANDLE file, COMMPROP* properties) {
  return WithPort(file, [&](SerialPort& p) { return p.GetCommProperties(properties); });
}

BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  return WithPort(file, [&](SerialPort& p) { return p.GetCommTimeouts(timeouts); });
}

BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) {
  return WithPort(file, [&](SerialPort& p) { return p.SetCommTimeouts(timeouts); });
}

BOOL GetCommState(HANDLE file, DCB* dcb) {
  return WithPort(file, [&](SerialPort& p) { return p.GetCommState(dcb); });
}

BOOL SetCommState(HANDLE file, const DCB* dcb) {
  return WithPort(file, [&](SerialPort& p) { return p.SetCommState(dcb); });
}

BOOL GetCommConfig(HANDLE file, COMMCONFIG* config, DWORD* size) {
  return WithPort(file, [&](SerialPort& p) -> BOOL {
    if (!CheckConfigSize(config, size)) return FALSE;
    DCB dcb;
    if (!p.GetCommState(&dcb)) return FALSE;
    FillConfig(config, dcb);
    *size = sizeof(COMMCONFIG);
    return TRUE;
  });
}

BOOL GetDefaultCommConfigA(const char* name, COMMCONFIG* config, DWORD* size) {
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The defaults are the system's, not the device's: any well-formed port name gets them,
  // present or not, so a component always starts from complete settings.
  const std::string n = StripDevicePrefix(name);
  unsigned number = 0;
  if (!ParseComNumber(n, number) && !KindOf(n)) {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  if (!CheckConfigSize(config, size)) return FALSE;
  FillConfig(config, DefaultDcb());
  *size = sizeof(COMMCONFIG);
  return TRUE;
}

BOOL SetCommBreak(HANDLE file) { return EscapeCommFunction(file, SETBREAK); }
BOOL ClearCommBreak(HANDLE file) { return EscapeCommFunction(file, CLRBREAK); }

BOOL CommConfigDialogA(const char* name, HWND owner, COMMCONFIG* config) {
  if (!config) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  CommConfigDialogHook hook;
  {
    std::lock_guard lock(gHookMutex);
    hook = Hook();
  }
  if (!hook) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  return hook(name ? name : "", owner, config);
}
