#include "comm/serialcomm.h"

#include "platform/system/portnames.h"
#include "platform/system/winreg.h"
#include "ports/qvwin32.h"
#include "ports/qvwin32di.h"

#include <bit>
#include <cstring>
#include <memory>
#include <vector>

// The saved configuration holds the Windows records byte for byte, little-endian.
static_assert(std::endian::native == std::endian::little, "the saved configuration is little-endian");

namespace {

constexpr const char* kConnectError = "Device Connect Initialization Error";
constexpr const char* kSaveError = "Error on save config information from registry";
constexpr const char* kLoadError = "Error on load config information from registry";
constexpr DWORD kWaitMs = 200;

// A string list of device records it owns: whatever is left in it is freed with it, on every
// path (a bad port name raises out of the port list).
class TRecordList {
 public:
  ~TRecordList() {
    for (int i = 0; i < List.Count(); ++i) delete static_cast<TqvDevice*>(List.Objects(i));
  }
  // Removes the record at Index from the list and hands it over.
  std::unique_ptr<TqvDevice> Take(int Index) {
    std::unique_ptr<TqvDevice> d(static_cast<TqvDevice*>(List.Objects(Index)));
    List.Delete(Index);
    return d;
  }
  TStringList List;
};

// An open registry key, closed however the operation ends.
class TKeyHolder {
 public:
  ~TKeyHolder() {
    if (Key) RegCloseKey(Key);
  }
  HKEY Key = 0;
};

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = char(x - 32);
    if (y >= 'a' && y <= 'z') y = char(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

TqvCustomSerialComm::TqvCustomSerialComm(TComponent* AOwner) : TqvCustomComm(AOwner) {
  LogPrefix = "qvComm: ";
  GetDefaultCommConfigA("COM1", &PortSettings, &PortSettings.dwSize);
  SetComPort(cpCOM1);
  SetBaudRate(19200);
  SetByteSize(8);
  SetParity(pNone);
  SetStopBits(sbOne);
  SetStreamProtocol(spHardware);
  SetEventChar(0);
}

HANDLE TqvCustomSerialComm::OpenHandle() { return OpenComPort(FComPortNo); }

std::string TqvCustomSerialComm::GetDeviceName() { return ComPortName(FComPortNo); }

void TqvCustomSerialComm::SetupPort() {
  TqvCustomComm::SetupPort();
  PortSettings.dcb.Flags |= DCB_fAbortOnError;
  ApplySettings();
}

// ---- Port number -------------------------------------------------------------------------------

void TqvCustomSerialComm::SetComPortNo(WORD Value) {
  const bool wasActive = Active();
  SetActive(false);
  FComPortNo = Value;
  SetActive(wasActive);
  NotifyLinks(ncDevicesChanged);
}

TComPort TqvCustomSerialComm::ComPort() const {
  // Port 0 names no port; it reads as the catch-all value.
  return FComPortNo >= 1 && FComPortNo <= 8 ? TComPort(FComPortNo - 1) : cpCOMxx;
}

void TqvCustomSerialComm::SetComPort(TComPort Value) {
  if (Value < cpCOMxx) SetComPortNo(WORD(Value + 1));
}

// ---- Devices -----------------------------------------------------------------------------------

void TqvCustomSerialComm::SelectDevice(int Index) {
  if (Index >= 0 && Index < DeviceCount()) SetComPortNo(WORD(GetDevice(Index)->PortNumber & 0xFFFF));
}

int TqvCustomSerialComm::GetDeviceIndex() { return IndexOfDevice(FComPortNo); }

void TqvCustomSerialComm::EnumDevices() {
  TRecordList classes;
  TStringList ports;
  struct Pass {
    const GUID* guid;
    bool interfaceClass;
  };
  const Pass passes[] = {
      {&GUID_DEVINTERFACE_MODEM, true},         {&GUID_DEVINTERFACE_COMPORT, true},
      {&GUID_DEVCLASS_PORTS, true},             {&GUID_DEVCLASS_PORTS, false},
      {&GUID_DEVCLASS_INFRARED, false},         {&GUID_DEVCLASS_ADAPTER, false},
      {&GUID_DEVCLASS_BLUETOOTH, false},        {&GUID_DEVCLASS_MODEM, false},
      {&GUID_DEVCLASS_MULTIFUNCTION, false},    {&GUID_DEVCLASS_MULTIPORTSERIAL, false},
      {&GUID_DEVCLASS_LEGACYDRIVER, false},     {&GUID_DEVCLASS_NODRIVER, false},
  };
  for (const Pass& p : passes) EnumClassDevices(*p.guid, false, p.interfaceClass, &classes.List);
  EnumSerialPorts(&ports, true);
  for (int i = 0; i < ports.Count(); ++i) {
    auto owned = std::make_unique<TqvDevice>();
    TqvDevice* device = owned.get();
    device->Name = ports.Names(i);
    device->PortName = device->Name;
    device->DeviceObjectName = ports.ValueFromIndex(i);
    device->PortNumber = int(ports.ObjectInt(i));
    AddDevice(owned.release());
    // The first record (in pass order) naming this port describes it; later ones are dropped
    // with the rest of the class list.
    for (int k = 0; k < classes.List.Count(); ++k) {
      auto* record = static_cast<TqvDevice*>(classes.List.Objects(k));
      if (!SameText(record->DevicePortName, device->PortName)) continue;
      std::unique_ptr<TqvDevice> match = classes.Take(k);
      device->Service = match->Service;
      device->Description = match->Description;
      if (!match->Description.empty()) device->Name = device->Name + " (" + match->Description + ")";
      device->DriverKey = match->DriverKey;
      device->Manufacturer = match->Manufacturer;
      device->DevicePortName = match->DevicePortName;
      device->RegistryKey = match->RegistryKey;
      break;
    }
    // A device without records (a network port) is described by its kind (never connected to
    // for a listing).
    if (device->Description.empty()) {
      device->Description = qv::platform::DescribeDevice(device->DeviceObjectName);
      if (!device->Description.empty()) device->Name = device->Name + " (" + device->Description + ")";
    }
  }
}

void TqvCustomSerialComm::DevicesChanged() {
  ClearDevices();
  FillDeviceList(nullptr);
  TqvCustomComm::DevicesChanged();
}

// ---- Saved configuration -----------------------------------------------------------------------

void TqvCustomSerialComm::SaveConfig(HKEY RootKey, const std::string& Key, const std::string& ValueName) {
  bool saved = false;
  try {
    TKeyHolder key;
    // The open's own result is not looked at: the write below fails on a key that is not open.
    RegCreateKeyExA(RootKey, Key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE | KEY_QUERY_VALUE,
                    nullptr, &key.Key, nullptr);
    std::vector<BYTE> blob(kSerialConfigSize, 0);
    blob[0] = BYTE(FComPortNo & 0xFF);
    std::memcpy(&blob[1], &PortSettings.dcb, sizeof(DCB));
    const COMMTIMEOUTS timeouts = Timeouts();
    std::memcpy(&blob[1 + sizeof(DCB)], &timeouts, sizeof timeouts);
    saved = RegSetValueExA(key.Key, ValueName.c_str(), 0, REG_BINARY, blob.data(), DWORD(blob.size())) ==
            ERROR_SUCCESS;
  } catch (const Exception&) {
    saved = false;
  }
  if (!saved) {
    FatalError(1, 0, kSaveError, false);
    return;
  }
  LogText(dlDetail, "Configuration was saved");
}

void TqvCustomSerialComm::LoadConfig(HKEY RootKey, const std::string& Key, const std::string& ValueName) {
  bool loaded = false;
  try {
    TKeyHolder key;
    if (RegCreateKeyExA(RootKey, Key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ, nullptr, &key.Key,
                        nullptr) == ERROR_SUCCESS) {
      DWORD type = 0;
      DWORD size = 0;
      LONG r = RegQueryValueExA(key.Key, ValueName.c_str(), nullptr, &type, nullptr, &size);
      if (r == ERROR_FILE_NOT_FOUND || (r == ERROR_SUCCESS && size != kSerialConfigSize)) {
        loaded = true;  // nothing saved there: nothing changes
      } else if (r == ERROR_SUCCESS && type == REG_BINARY) {
        std::vector<BYTE> blob(kSerialConfigSize, 0);
        if (RegQueryValueExA(key.Key, ValueName.c_str(), nullptr, &type, blob.data(), &size) == ERROR_SUCCESS &&
            size == kSerialConfigSize) {
          SetComPortNo(blob[0]);
          std::memcpy(&PortSettings.dcb, &blob[1], sizeof(DCB));
          ApplySettings();
          COMMTIMEOUTS timeouts;
          std::memcpy(&timeouts, &blob[1 + sizeof(DCB)], sizeof timeouts);
          SetTimeouts(timeouts);
          loaded = true;
        }
      }
    }
  } catch (const Exception&) {
    loaded = false;
  }
  if (!loaded) {
    FatalError(1, 0, kLoadError, false);
    return;
  }
  LogText(dlDetail, "Configuration was loaded");
}

// ---- Attached device ---------------------------------------------------------------------------

void TqvCustomSerialComm::TestConnection() {
  if (!Active()) return;
  ClearAll();
  SetDtr(true);
  SetRts(false);
  if (!WaitForModemLine(mlDsr, kWaitMs)) {
    FatalError(1, 0, kConnectError, false);
    return;
  }
  SetRts(true);
  LogText(dlDetail, "The device connection was succesful tested");
}

std::string TqvCustomSerialComm::ReadPnPId() {
  std::string result;
  const bool wasActive = Active();
  SetActive(true);
  if (!Active()) return result;
  ClearAll();
  SetDtr(true);
  SetRts(false);
  if (!WaitForModemLine(mlDsr, kWaitMs)) {
    // A port opened only for this read is closed again before the failure is reported.
    if (!wasActive) SetActive(false);
    FatalError(1, 0, kConnectError, false);
    return result;
  }
  ApplySettings();
  const DCB saved = PortSettings.dcb;
  DCB work = saved;
  const TCommEvents savedMask = EventMask();
  auto restore = [&] {
    SetCommState(GetHandle(), &saved);
    SetEventMask(savedMask);
    SetActive(false);
    SetActive(wasActive);
  };
  try {
    // The receive path (a scanner's OnRxData, say) must not take the identification bytes.
    const TInputHold hold(*this);
    // The identification is sent at 1200 baud, 7 data bits, no parity, one stop bit.
    work.BaudRate = 1200;
    work.ByteSize = 7;
    work.Parity = 0;
    work.StopBits = 0;
    SetCommState(GetHandle(), &work);
    SetEventMask(TCommEvents());
    SetDtr(false);
    SetRts(false);
    Sleep(kWaitMs);
    SetDtr(true);
    Sleep(kWaitMs);
    SetRts(true);
    bool got = WaitForInput(1, kWaitMs);
    if (!got) {
      SetDtr(false);
      SetRts(false);
      Sleep(kWaitMs);
      SetDtr(true);
      SetRts(true);
      got = WaitForInput(1, kWaitMs);
    }
    if (got) {
      BYTE b = 0;
      ReadData(&b, 1);
      const BYTE endMarker = b == 0x08 ? 0x09 : b == 0x28 ? 0x29 : 0;
      if (endMarker) {
        result += char(b);
        while (WaitForInput(1, kWaitMs)) {
          b = 0;
          ReadData(&b, 1);
          result += char(b);
          if (b == endMarker) break;
        }
      }
    }
  } catch (...) {
    restore();
    throw;
  }
  restore();
  return result;
}
