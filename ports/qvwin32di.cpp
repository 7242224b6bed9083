#include "ports/qvwin32di.h"

#include "platform/devices/dynlib.h"
#include "platform/system/winreg.h"
#include "ports/qvwin32.h"

#include <memory>
#include <vector>

namespace {

// The binding state: the module and one entry per function of the table, in its order.
struct SetupApi {
  HMODULE module = nullptr;
  SetupDiGetClassDevsAProc SetupDiGetClassDevsA = nullptr;
  SetupDiDestroyDeviceInfoListProc SetupDiDestroyDeviceInfoList = nullptr;
  SetupDiEnumDeviceInfoProc SetupDiEnumDeviceInfo = nullptr;
  SetupDiGetDeviceRegistryPropertyAProc SetupDiGetDeviceRegistryPropertyA = nullptr;
  SetupDiOpenDevRegKeyProc SetupDiOpenDevRegKey = nullptr;
  SetupDiEnumDeviceInterfacesProc SetupDiEnumDeviceInterfaces = nullptr;
  SetupDiGetDeviceInterfaceDetailAProc SetupDiGetDeviceInterfaceDetailA = nullptr;
  SetupDiCreateDeviceInfoListProc SetupDiCreateDeviceInfoList = nullptr;
  SetupDiCreateDeviceInfoAProc SetupDiCreateDeviceInfoA = nullptr;
  SetupDiGetINFClassAProc SetupDiGetINFClassA = nullptr;
  SetupDiSetDeviceRegistryPropertyAProc SetupDiSetDeviceRegistryPropertyA = nullptr;
  SetupDiCallClassInstallerProc SetupDiCallClassInstaller = nullptr;
  SetupDiGetDeviceInstanceIdAProc SetupDiGetDeviceInstanceIdA = nullptr;
  CM_Locate_DevNodeAProc CM_Locate_DevNodeA = nullptr;
  CM_Get_DevNode_Registry_PropertyAProc CM_Get_DevNode_Registry_PropertyA = nullptr;
  CM_Get_ChildProc CM_Get_Child = nullptr;
  CM_Get_SiblingProc CM_Get_Sibling = nullptr;
  CM_Get_ParentProc CM_Get_Parent = nullptr;
  CM_Get_Device_ID_List_SizeAProc CM_Get_Device_ID_List_SizeA = nullptr;
  CM_Get_Device_ID_ListAProc CM_Get_Device_ID_ListA = nullptr;
  CM_Request_Device_EjectAProc CM_Request_Device_EjectA = nullptr;
};

SetupApi gApi;

// Releases the library when the program ends.
struct Finalization {
  ~Finalization() { qv::ports::UnloadSetupApi(); }
} gFinalization;

template <class Proc>
bool Bind(Proc& slot, const char* name) {
  slot = reinterpret_cast<Proc>(GetProcAddress(gApi.module, name));
  return slot != nullptr;
}

}  // namespace

namespace qv::ports {
void UnloadSetupApi() {
  if (gApi.module) FreeLibrary(gApi.module);
  gApi = SetupApi{};
}
}  // namespace qv::ports

bool LoadSetupApi() {
  if (gApi.module) return true;
  gApi.module = LoadLibraryA("SetupAPI.dll");
  if (!gApi.module) return false;
  bool ok = true;
  // Every name is looked up, also after a failure, as the binding table lists them.
  ok &= Bind(gApi.SetupDiGetClassDevsA, "SetupDiGetClassDevsA");
  ok &= Bind(gApi.SetupDiDestroyDeviceInfoList, "SetupDiDestroyDeviceInfoList");
  ok &= Bind(gApi.SetupDiEnumDeviceInfo, "SetupDiEnumDeviceInfo");
  ok &= Bind(gApi.SetupDiGetDeviceRegistryPropertyA, "SetupDiGetDeviceRegistryPropertyA");
  ok &= Bind(gApi.SetupDiOpenDevRegKey, "SetupDiOpenDevRegKey");
  ok &= Bind(gApi.SetupDiEnumDeviceInterfaces, "SetupDiEnumDeviceInterfaces");
  ok &= Bind(gApi.SetupDiGetDeviceInterfaceDetailA, "SetupDiGetDeviceInterfaceDetailA");
  ok &= Bind(gApi.SetupDiCreateDeviceInfoList, "SetupDiCreateDeviceInfoList");
  ok &= Bind(gApi.SetupDiCreateDeviceInfoA, "SetupDiCreateDeviceInfoA");
  ok &= Bind(gApi.SetupDiGetINFClassA, "SetupDiGetINFClassA");
  ok &= Bind(gApi.SetupDiSetDeviceRegistryPropertyA, "SetupDiSetDeviceRegistryPropertyA");
  ok &= Bind(gApi.SetupDiCallClassInstaller, "SetupDiCallClassInstaller");
  ok &= Bind(gApi.SetupDiGetDeviceInstanceIdA, "SetupDiGetDeviceInstanceIdA");
  ok &= Bind(gApi.CM_Locate_DevNodeA, "CM_Locate_DevNodeA");
  ok &= Bind(gApi.CM_Get_DevNode_Registry_PropertyA, "CM_Get_DevNode_Registry_PropertyA");
  ok &= Bind(gApi.CM_Get_Child, "CM_Get_Child");
  ok &= Bind(gApi.CM_Get_Sibling, "CM_Get_Sibling");
  ok &= Bind(gApi.CM_Get_Parent, "CM_Get_Parent");
  ok &= Bind(gApi.CM_Get_Device_ID_List_SizeA, "CM_Get_Device_ID_List_SizeA");
  ok &= Bind(gApi.CM_Get_Device_ID_ListA, "CM_Get_Device_ID_ListA");
  ok &= Bind(gApi.CM_Request_Device_EjectA, "CM_Request_Device_EjectA");
  if (!ok) qv::ports::UnloadSetupApi();
  return ok;
}

std::string GetDeviceProperty(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA& deviceInfoData, DWORD property) {
  if (!gApi.module) return {};  // nothing bound yet: no entry point to call
  std::vector<BYTE> buffer(512, 0);
  DWORD required = 0;
  if (!gApi.SetupDiGetDeviceRegistryPropertyA(deviceInfoSet, &deviceInfoData, property, nullptr,
                                              buffer.data(), DWORD(buffer.size()), &required) ||
      required == 0)
    return {};
  return std::string(reinterpret_cast<const char*>(buffer.data()), required - 1);
}

std::string GetDeviceRelations(const std::string& deviceId, const std::string& separator) {
  if (!gApi.module) return {};
  ULONG length = 0;
  if (gApi.CM_Get_Device_ID_List_SizeA(&length, deviceId.c_str(), CM_GETIDLIST_FILTER_BUSRELATIONS) !=
          CR_SUCCESS ||
      length == 0)
    return {};
  std::vector<char> buffer(length, 0);
  if (gApi.CM_Get_Device_ID_ListA(deviceId.c_str(), buffer.data(), length,
                                  CM_GETIDLIST_FILTER_BUSRELATIONS) != CR_SUCCESS)
    return {};
  return MultiSzToText(buffer.data(), length, separator);
}

void EnumClassDevices(const GUID& classGuid, bool presentOnly, bool interfaceClass, TStrings* list) {
  if (!LoadSetupApi()) return;
  DWORD flags = (presentOnly ? DIGCF_PRESENT : 0) | (interfaceClass ? DIGCF_DEVICEINTERFACE : 0);
  HDEVINFO set = gApi.SetupDiGetClassDevsA(&classGuid, nullptr, 0, flags);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(SP_DEVINFO_DATA);
  for (DWORD index = 0; gApi.SetupDiEnumDeviceInfo(set, index, &data); ++index) {
    auto device = std::make_unique<TqvDevice>();
    device->DriverKey = GetDeviceProperty(set, data, SPDRP_DRIVER);
    device->Service = GetDeviceProperty(set, data, SPDRP_SERVICE);
    device->DeviceObjectName = GetDeviceProperty(set, data, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME);
    device->Description = GetDeviceProperty(set, data, SPDRP_DEVICEDESC);
    device->Manufacturer = GetDeviceProperty(set, data, SPDRP_MFG);
    HKEY key = gApi.SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key != INVALID_HANDLE_VALUE) {
      HKEY root = 0;
      device->RegistryKey = GetRegKeyPath(key, &root);
      RegCloseKey(key);
      device->SymbolicName = ReadRegString(HKEY_LOCAL_MACHINE, device->RegistryKey, "SymbolicName");
      device->DevicePortName = ReadRegString(HKEY_LOCAL_MACHINE, device->RegistryKey, "PortName");
    }
    std::vector<char> id(256, 0);
    DWORD required = 0;
    if (gApi.SetupDiGetDeviceInstanceIdA(set, &data, id.data(), DWORD(id.size()), &required) && required > 0) {
      device->InstanceId.assign(id.data(), required - 1);
      device->DevInst = data.DevInst;
      device->Children = GetDeviceRelations(device->InstanceId, ";");
    }
    list->AddObject(device->DriverKey, device.get());
    device.release();  // the list's user owns it now
  }
  if (set != INVALID_HANDLE_VALUE) gApi.SetupDiDestroyDeviceInfoList(set);
}
