// Device information in the shape of SetupAPI and the configuration manager: device sets per
// class, device registry properties by SPDRP_* code, device instance ids, bus relations and a
// hardware key per device. The entry points are exported by the built-in module "SetupAPI.dll"
// (platform/devices/dynlib.h); components bind them at run time by name.
//
// Where the data comes from: the serial devices of sysfs and the hardware above them, named
// through the system's device database (libudev, bound at run time when present) or, without
// it, through sysfs alone. Every class GUID stands for a Linux device kind (see the README):
// ports (UARTs, USB-serial adapters, CDC-ACM without AT commands), modems (CDC-ACM with AT
// commands, USB WWAN serial functions), Bluetooth serial links (rfcomm), infrared links
// (ircomm), multi-port cards (PCI serial cards), adapters (single-function USB devices behind a
// port), multifunction devices (USB composite devices behind a port), legacy drivers (the
// serial drivers in use) and devices without a driver (USB communications interfaces nobody
// claimed).
//
// Instance ids are the device's path below <sysfs>/devices ("pci0000:00/0000:00:14.0/usb1/1-2/
// 1-2:1.0/ttyUSB0/tty/ttyUSB0" for a port: its tty class device), "ROOT\LEGACY_<DRIVER>\0000"
// for a driver. The hardware key of a device is, below HKEY_LOCAL_MACHINE,
// SYSTEM\CurrentControlSet\Enum\<instance id>\Device Parameters: a read-only registry view with
// "PortName" (COMn from the port map) and "SymbolicName" (a stable /dev path of the port).
#pragma once

#include "platform/win32/wintypes.h"

#include <string>

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
bool operator==(const GUID& a, const GUID& b);
// "{2C7089AA-2E0E-11D1-B114-00C04FC2AAE4}"
std::string GuidToText(const GUID& guid);

using HDEVINFO = HANDLE;  // a device set; INVALID_HANDLE_VALUE when it cannot be created
using DEVINST = DWORD;
using CONFIGRET = DWORD;

struct SP_DEVINFO_DATA {
  DWORD cbSize;  // 28
  GUID ClassGuid;
  DEVINST DevInst;
  DWORD Reserved;
};
static_assert(sizeof(SP_DEVINFO_DATA) == 28);

struct SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;  // 28
  GUID InterfaceClassGuid;
  DWORD Flags;
  DWORD Reserved;
};
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);

struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
  DWORD cbSize;  // 5: the size of the fixed part as Windows counts it
  CHAR DevicePath[1];
};

constexpr DWORD DIGCF_DEFAULT = 0x01;
constexpr DWORD DIGCF_PRESENT = 0x02;
constexpr DWORD DIGCF_ALLCLASSES = 0x04;
constexpr DWORD DIGCF_PROFILE = 0x08;
constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;

constexpr DWORD SPDRP_DEVICEDESC = 0;
constexpr DWORD SPDRP_HARDWAREID = 1;
constexpr DWORD SPDRP_COMPATIBLEIDS = 2;
constexpr DWORD SPDRP_SERVICE = 4;
constexpr DWORD SPDRP_CLASS = 7;
constexpr DWORD SPDRP_CLASSGUID = 8;
constexpr DWORD SPDRP_DRIVER = 9;
constexpr DWORD SPDRP_MFG = 11;
constexpr DWORD SPDRP_FRIENDLYNAME = 12;
constexpr DWORD SPDRP_LOCATION_INFORMATION = 13;
constexpr DWORD SPDRP_PHYSICAL_DEVICE_OBJECT_NAME = 14;
constexpr DWORD SPDRP_ENUMERATOR_NAME = 22;

constexpr DWORD DICS_FLAG_GLOBAL = 1;
constexpr DWORD DICS_FLAG_CONFIGSPECIFIC = 2;
constexpr DWORD DIREG_DEV = 1;
constexpr DWORD DIREG_DRV = 2;

constexpr CONFIGRET CR_SUCCESS = 0;
constexpr CONFIGRET CR_INVALID_POINTER = 3;
constexpr CONFIGRET CR_INVALID_FLAG = 4;
constexpr CONFIGRET CR_INVALID_DEVNODE = 5;
constexpr CONFIGRET CR_NO_SUCH_DEVNODE = 13;
constexpr CONFIGRET CR_NO_SUCH_VALUE = 37;
constexpr CONFIGRET CR_BUFFER_SMALL = 26;
constexpr CONFIGRET CR_REMOVE_VETOED = 23;
constexpr CONFIGRET CR_FAILURE = 19;
constexpr CONFIGRET CR_CALL_NOT_IMPLEMENTED = 52;
constexpr DWORD CM_LOCATE_DEVNODE_NORMAL = 0;
constexpr DWORD CM_LOCATE_DEVNODE_PHANTOM = 1;
constexpr DWORD CM_GETIDLIST_FILTER_BUSRELATIONS = 0x20;
// CM_Get_DevNode_Registry_PropertyA takes SPDRP_* + 1.
constexpr DWORD CM_DRP_DEVICEDESC = 1;

// The set's devices of one class (or, with DIGCF_DEVICEINTERFACE, exposing one interface
// class). enumerator and parent are not used. Every device of this system is present.
HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator, HWND parent,
                              DWORD flags);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);
// FALSE with ERROR_NO_MORE_ITEMS past the last device; ERROR_INVALID_USER_BUFFER for a wrong
// cbSize; ERROR_INVALID_HANDLE for a set that is not one.
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data);
// Text properties are stored with their NUL, REG_MULTI_SZ ones with a final extra NUL. FALSE
// with ERROR_INVALID_DATA when the device lacks the property, ERROR_INSUFFICIENT_BUFFER (and
// *required) when it does not fit.
BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, const SP_DEVINFO_DATA* data, DWORD property,
                                       DWORD* type, BYTE* buffer, DWORD size, DWORD* required);
// The device's hardware key (DIREG_DEV); INVALID_HANDLE_VALUE with the last error otherwise.
HKEY SetupDiOpenDevRegKey(HDEVINFO set, const SP_DEVINFO_DATA* data, DWORD scope, DWORD profile,
                          DWORD keyType, DWORD access);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, const SP_DEVINFO_DATA* data, const GUID* interfaceGuid,
                                 DWORD index, SP_DEVICE_INTERFACE_DATA* interfaceData);
// The interface's device path is the port's device node.
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, const SP_DEVICE_INTERFACE_DATA* interfaceData,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                      DWORD* required, SP_DEVINFO_DATA* data);
HDEVINFO SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND parent);
// Installing devices is the system's business here: these fail with ERROR_ACCESS_DENIED or
// ERROR_NOT_SUPPORTED.
BOOL SetupDiCreateDeviceInfoA(HDEVINFO set, const char* deviceName, const GUID* classGuid,
                              const char* description, HWND parent, DWORD flags,
                              SP_DEVINFO_DATA* data);
BOOL SetupDiGetINFClassA(const char* infName, GUID* classGuid, char* className, DWORD size,
                         DWORD* required);
BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property,
                                       const BYTE* buffer, DWORD size);
BOOL SetupDiCallClassInstaller(DWORD function, HDEVINFO set, SP_DEVINFO_DATA* data);
// The instance id with its NUL; FALSE with ERROR_INSUFFICIENT_BUFFER and *required when it
// does not fit.
BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, const SP_DEVINFO_DATA* data, char* buffer,
                                 DWORD size, DWORD* required);

CONFIGRET CM_Locate_DevNodeA(DEVINST* devInst, const char* deviceId, ULONG flags);
CONFIGRET CM_Get_DevNode_Registry_PropertyA(DEVINST devInst, ULONG property, ULONG* type,
                                            void* buffer, ULONG* length, ULONG flags);
CONFIGRET CM_Get_Child(DEVINST* child, DEVINST devInst, ULONG flags);
CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST devInst, ULONG flags);
CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST devInst, ULONG flags);
// Bus relations (the devices directly below deviceId): the size in characters of the id block,
// final NUL included, and the block itself. Other filters give CR_INVALID_FLAG.
CONFIGRET CM_Get_Device_ID_List_SizeA(ULONG* length, const char* deviceId, ULONG flags);
CONFIGRET CM_Get_Device_ID_ListA(const char* deviceId, char* buffer, ULONG length, ULONG flags);
// Nothing here can be ejected by a program: CR_REMOVE_VETOED.
CONFIGRET CM_Request_Device_EjectA(DEVINST devInst, int* vetoType, char* vetoName, ULONG nameLength,
                                   ULONG flags);

// The entry point types, for binding by name.
using SetupDiGetClassDevsAProc = decltype(&SetupDiGetClassDevsA);
using SetupDiDestroyDeviceInfoListProc = decltype(&SetupDiDestroyDeviceInfoList);
using SetupDiEnumDeviceInfoProc = decltype(&SetupDiEnumDeviceInfo);
using SetupDiGetDeviceRegistryPropertyAProc = decltype(&SetupDiGetDeviceRegistryPropertyA);
using SetupDiOpenDevRegKeyProc = decltype(&SetupDiOpenDevRegKey);
using SetupDiEnumDeviceInterfacesProc = decltype(&SetupDiEnumDeviceInterfaces);
using SetupDiGetDeviceInterfaceDetailAProc = decltype(&SetupDiGetDeviceInterfaceDetailA);
using SetupDiCreateDeviceInfoListProc = decltype(&SetupDiCreateDeviceInfoList);
using SetupDiCreateDeviceInfoAProc = decltype(&SetupDiCreateDeviceInfoA);
using SetupDiGetINFClassAProc = decltype(&SetupDiGetINFClassA);
using SetupDiSetDeviceRegistryPropertyAProc = decltype(&SetupDiSetDeviceRegistryPropertyA);
using SetupDiCallClassInstallerProc = decltype(&SetupDiCallClassInstaller);
using SetupDiGetDeviceInstanceIdAProc = decltype(&SetupDiGetDeviceInstanceIdA);
using CM_Locate_DevNodeAProc = decltype(&CM_Locate_DevNodeA);
using CM_Get_DevNode_Registry_PropertyAProc = decltype(&CM_Get_DevNode_Registry_PropertyA);
using CM_Get_ChildProc = decltype(&CM_Get_Child);
using CM_Get_SiblingProc = decltype(&CM_Get_Sibling);
using CM_Get_ParentProc = decltype(&CM_Get_Parent);
using CM_Get_Device_ID_List_SizeAProc = decltype(&CM_Get_Device_ID_List_SizeA);
using CM_Get_Device_ID_ListAProc = decltype(&CM_Get_Device_ID_ListA);
using CM_Request_Device_EjectAProc = decltype(&CM_Request_Device_EjectA);

constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;

namespace qv::platform {

struct DevInfoExport {
  const char* name;
  void (*proc)();
};
// The 21 entries of the built-in "SetupAPI.dll" module.
const DevInfoExport* SetupApiExports(std::size_t& count);

// Whether libudev was found and bound (for the tool's report).
bool UdevAvailable();

}  // namespace qv::platform
