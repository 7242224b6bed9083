// The device pass over a fake sysfs tree: the binding, the records of every class, their
// hardware keys, instance ids and bus relations, and the device-information layer below it.
#include "platform/devices/devinfo.h"
#include "platform/devices/dynlib.h"
#include "platform/system/winreg.h"
#include "platform/testhooks.h"
#include "platform/win32/winbase.h"
#include "ports/qvwin32.h"
#include "ports/qvwin32di.h"
#include "support/fake_sysfs.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace qv::platform;

namespace {

constexpr const char* kUsbAdapter = "pci0000:00/0000:00:14.0/usb1/1-2";
constexpr const char* kUsbModem = "pci0000:00/0000:00:14.0/usb1/1-3";
constexpr const char* kUsbBoard = "pci0000:00/0000:00:14.0/usb1/1-4";

// Owns the records a pass appends.
class Records {
 public:
  ~Records() { Clear(); }
  void Clear() {
    for (int i = 0; i < list.Count(); ++i) delete static_cast<TqvDevice*>(list.Objects(i));
    list.Clear();
  }
  int Count() const { return list.Count(); }
  TqvDevice& operator[](int i) const { return *static_cast<TqvDevice*>(list.Objects(i)); }
  const TqvDevice* ByPort(const std::string& port) const {
    for (int i = 0; i < list.Count(); ++i)
      if ((*this)[i].DevicePortName == port) return &(*this)[i];
    return nullptr;
  }
  TStringList list;
};

class DevicePassTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qv::ports::UnloadSetupApi();
    // A board UART (COM1), an FTDI adapter, a CDC-ACM modem, a CDC-ACM board without AT
    // commands and a Bluetooth link.
    tree_.Device("pnp0/00:01", "serial", "pnp");
    tree_.Tty("ttyS0", "pnp0/00:01", "4");
    tree_.UsbDevice(kUsbAdapter, "0403", "6001", "FTDI", "FT232R USB UART", "A50285BI", 1);
    std::string ftdiIf = tree_.UsbInterface(kUsbAdapter, 0, "ff", "ff", "ff", "ftdi_sio");
    tree_.Device(ftdiIf + "/ttyUSB0", "ftdi_sio", "usb-serial");
    tree_.Tty("ttyUSB0", ftdiIf + "/ttyUSB0");
    tree_.ById("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");
    tree_.UsbDevice(kUsbModem, "1bc7", "0021", "Telit", "USB Modem", "", 2);
    std::string modemIf = tree_.UsbInterface(kUsbModem, 0, "02", "02", "01", "cdc_acm");
    tree_.UsbInterface(kUsbModem, 1, "0a", "00", "00", "cdc_acm");
    tree_.Tty("ttyACM0", modemIf);
    tree_.UsbDevice(kUsbBoard, "2341", "0043", "", "", "", 2);
    std::string boardIf = tree_.UsbInterface(kUsbBoard, 0, "02", "02", "00", "cdc_acm");
    tree_.UsbInterface(kUsbBoard, 1, "02", "02", "00", "");  // nobody claimed it
    tree_.Tty("ttyACM1", boardIf);
    tree_.VirtualTty("rfcomm0");
    ftdiPort_ = tree_.Sys("devices/") + ftdiIf + "/ttyUSB0/tty/ttyUSB0";
  }
  void TearDown() override {
    HideBuiltinEntry("SetupAPI.dll", nullptr, false);
    HideBuiltinEntry("SetupAPI.dll", "CM_Request_Device_EjectA", false);
    qv::ports::UnloadSetupApi();
  }

  qv::test::FakeSysfs tree_;
  std::string ftdiPort_;
};

TEST_F(DevicePassTest, PortsClassDescribesEachPort) {
  DWORD error = 0;
  Records r;
  std::size_t handles = HandleCount();
  EnumClassDevices(GUID_DEVCLASS_PORTS, false, false, &r.list);
  EXPECT_EQ(HandleCount(), handles) << "a device set or key left open";
  ASSERT_EQ(r.Count(), 3);  // ttyS0, ttyUSB0, ttyACM1 (the modem and the link are elsewhere)

  const TqvDevice* uart = r.ByPort("COM1");
  ASSERT_NE(uart, nullptr);
  EXPECT_EQ(uart->Description, "Communications Port");
  EXPECT_EQ(uart->Service, "serial");
  EXPECT_EQ(uart->DeviceObjectName, tree_.Dev("ttyS0"));
  EXPECT_EQ(uart->SymbolicName, tree_.Dev("ttyS0"));
  EXPECT_EQ(uart->InstanceId, "pnp0/00:01/tty/ttyS0");

  const TqvDevice* ftdi = nullptr;
  for (int i = 0; i < r.Count(); ++i)
    if (r[i].DeviceObjectName == tree_.Dev("ttyUSB0")) ftdi = &r[i];
  ASSERT_NE(ftdi, nullptr);
  EXPECT_EQ(ftdi->Description, "FT232R USB UART");
  EXPECT_EQ(ftdi->Manufacturer, "FTDI");
  EXPECT_EQ(ftdi->Service, "ftdi_sio");
  EXPECT_EQ(ftdi->SymbolicName, tree_.Dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
  EXPECT_EQ(ftdi->DriverKey, "{4D36E978-E325-11CE-BFC1-08002BE10318}\\usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  EXPECT_EQ(ftdi->InstanceId, std::string(kUsbAdapter) + "/1-2:1.0/ttyUSB0/tty/ttyUSB0");
  EXPECT_EQ(ftdi->RegistryKey, "SYSTEM\\CurrentControlSet\\Enum\\" + ftdi->InstanceId + "\\Device Parameters");
  EXPECT_NE(ftdi->DevInst, 0u);
  EXPECT_TRUE(ftdi->DevicePortName.rfind("COM", 0) == 0) << ftdi->DevicePortName;
  // The port number is the port map's.
  std::string device;
  ASSERT_TRUE(ResolveComPort(std::stoul(ftdi->DevicePortName.substr(3)), device, error));
  EXPECT_EQ(device, tree_.Dev("ttyUSB0"));
  // The list's text is the driver key.
  EXPECT_EQ(r.list.IndexOf(ftdi->DriverKey), r.list.IndexOfObject(ftdi));
  // The hardware key reads the same through the registry.
  EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, ftdi->RegistryKey, "PortName"), ftdi->DevicePortName);
}

TEST_F(DevicePassTest, ModemsBluetoothAndTheHardwareAbove) {
  Records modems, modemIf, comIf, portsIf, bt, adapters, multi, legacy, nodriver, infrared;
  EnumClassDevices(GUID_DEVCLASS_MODEM, false, false, &modems.list);
  EnumClassDevices(GUID_DEVINTERFACE_MODEM, false, true, &modemIf.list);
  EnumClassDevices(GUID_DEVINTERFACE_COMPORT, false, true, &comIf.list);
  EnumClassDevices(GUID_DEVCLASS_PORTS, false, true, &portsIf.list);
  EnumClassDevices(GUID_DEVCLASS_BLUETOOTH, false, false, &bt.list);
  EnumClassDevices(GUID_DEVCLASS_ADAPTER, false, false, &adapters.list);
  EnumClassDevices(GUID_DEVCLASS_MULTIFUNCTION, false, false, &multi.list);
  EnumClassDevices(GUID_DEVCLASS_LEGACYDRIVER, false, false, &legacy.list);
  EnumClassDevices(GUID_DEVCLASS_NODRIVER, false, false, &nodriver.list);
  EnumClassDevices(GUID_DEVCLASS_INFRARED, false, false, &infrared.list);

  ASSERT_EQ(modems.Count(), 1);
  EXPECT_EQ(modems[0].Description, "USB Modem");
  EXPECT_EQ(modems[0].Manufacturer, "Telit");
  EXPECT_EQ(modems[0].Service, "cdc_acm");
  ASSERT_EQ(modemIf.Count(), 1);
  EXPECT_EQ(modemIf[0].InstanceId, modems[0].InstanceId);
  EXPECT_EQ(comIf.Count(), 4);  // the three ports and the Bluetooth link
  EXPECT_EQ(portsIf.Count(), 0);
  ASSERT_EQ(bt.Count(), 1);
  EXPECT_EQ(bt[0].DeviceObjectName, tree_.Dev("rfcomm0"));
  EXPECT_EQ(bt[0].Service, "rfcomm");
  EXPECT_EQ(bt[0].DevicePortName, "");  // not in the port map
  EXPECT_EQ(infrared.Count(), 0);

  ASSERT_EQ(adapters.Count(), 1);
  EXPECT_EQ(adapters[0].InstanceId, kUsbAdapter);
  EXPECT_EQ(adapters[0].Description, "FT232R USB UART");
  EXPECT_EQ(adapters[0].Children, std::string(kUsbAdapter) + "/1-2:1.0");
  EXPECT_EQ(adapters[0].DevicePortName, "");
  ASSERT_EQ(multi.Count(), 2);
  EXPECT_EQ(multi[0].InstanceId, kUsbModem);
  EXPECT_EQ(multi[0].Children, std::string(kUsbModem) + "/1-3:1.0;" + kUsbModem + "/1-3:1.1");
  EXPECT_EQ(multi[1].Description, "USB composite device");  // a device that names itself nowhere

  std::vector<std::string> drivers;
  for (int i = 0; i < legacy.Count(); ++i) drivers.push_back(legacy[i].Service);
  EXPECT_EQ(drivers, (std::vector<std::string>{"cdc_acm", "serial", "ftdi_sio"}));  // ttys by name
  EXPECT_EQ(legacy[0].InstanceId, "ROOT\\LEGACY_CDC_ACM\\0000");
  EXPECT_EQ(legacy[0].Children, modems[0].InstanceId + ";" + std::string(kUsbBoard) + "/1-4:1.0/tty/ttyACM1");

  ASSERT_EQ(nodriver.Count(), 1);
  EXPECT_EQ(nodriver[0].InstanceId, std::string(kUsbBoard) + "/1-4:1.1");
  EXPECT_EQ(nodriver[0].Service, "");
}

TEST_F(DevicePassTest, PassesAppendAndNeverClear) {
  Records r;
  EnumClassDevices(GUID_DEVCLASS_MODEM, false, false, &r.list);
  EnumClassDevices(GUID_DEVCLASS_MODEM, true, false, &r.list);
  ASSERT_EQ(r.Count(), 2);  // a device met by two passes is listed twice
  EXPECT_EQ(r[0].InstanceId, r[1].InstanceId);
  EXPECT_EQ(r[0].DevInst, r[1].DevInst);  // one node handle per device for the process
}

TEST_F(DevicePassTest, MissingEntryPointBindsNothing) {
  HideBuiltinEntry("SetupAPI.dll", "CM_Request_Device_EjectA", true);
  EXPECT_FALSE(LoadSetupApi());
  Records r;
  EnumClassDevices(GUID_DEVCLASS_PORTS, false, false, &r.list);
  EXPECT_EQ(r.Count(), 0);
  // The port list does not depend on it.
  TStringList ports;
  EnumSerialPorts(&ports, false);
  EXPECT_GE(ports.Count(), 3);
  // The next call tries again from the start.
  HideBuiltinEntry("SetupAPI.dll", "CM_Request_Device_EjectA", false);
  EXPECT_TRUE(LoadSetupApi());
  EnumClassDevices(GUID_DEVCLASS_PORTS, false, false, &r.list);
  EXPECT_EQ(r.Count(), 3);
}

TEST_F(DevicePassTest, MissingLibraryBindsNothing) {
  HideBuiltinEntry("SetupAPI.dll", nullptr, true);
  EXPECT_FALSE(LoadSetupApi());
  Records r;
  EnumClassDevices(GUID_DEVCLASS_PORTS, false, false, &r.list);
  EXPECT_EQ(r.Count(), 0);
}

TEST_F(DevicePassTest, OversizedPropertyReadsEmpty) {
  std::string longName(600, 'x');
  tree_.Attr(kUsbAdapter, "product", longName);
  Records r;
  EnumClassDevices(GUID_DEVCLASS_ADAPTER, false, false, &r.list);
  ASSERT_EQ(r.Count(), 1);
  EXPECT_EQ(r[0].Description, "");
  EXPECT_EQ(r[0].Manufacturer, "FTDI");
  tree_.Attr(kUsbAdapter, "product", std::string(511, 'y'));  // 511 + NUL fit
  r.Clear();
  EnumClassDevices(GUID_DEVCLASS_ADAPTER, false, false, &r.list);
  ASSERT_EQ(r.Count(), 1);
  EXPECT_EQ(r[0].Description, std::string(511, 'y'));
}

TEST_F(DevicePassTest, RelationsOfAnyDevice) {
  ASSERT_TRUE(LoadSetupApi());
  EXPECT_EQ(GetDeviceRelations(kUsbModem, "|"), std::string(kUsbModem) + "/1-3:1.0|" + kUsbModem + "/1-3:1.1");
  EXPECT_EQ(GetDeviceRelations(std::string(kUsbModem) + "/1-3:1.0", ";"),
            std::string(kUsbModem) + "/1-3:1.0/tty/ttyACM0");
  EXPECT_EQ(GetDeviceRelations("pnp0/00:01/tty/ttyS0", ";"), "");
  EXPECT_EQ(GetDeviceRelations("no/such/device", ";"), "");
  EXPECT_EQ(GetDeviceRelations("../../etc", ";"), "");
}

// Both readers are public: called before any pass has bound the library they read nothing
// instead of calling through an unbound entry point.
TEST_F(DevicePassTest, ReadersBeforeBindingReadNothing) {
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  EXPECT_EQ(GetDeviceProperty(INVALID_HANDLE_VALUE, data, SPDRP_DRIVER), "");
  EXPECT_EQ(GetDeviceRelations(kUsbModem, ";"), "");
  // Once bound they read the devices.
  ASSERT_TRUE(LoadSetupApi());
  EXPECT_NE(GetDeviceRelations(kUsbModem, ";"), "");
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_ADAPTER, nullptr, 0, 0);
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
  EXPECT_EQ(GetDeviceProperty(set, data, SPDRP_MFG), "FTDI");
  SetupDiDestroyDeviceInfoList(set);
}

// ---- The layer itself -----------------------------------------------------------------------

TEST_F(DevicePassTest, LayerReportsSizesAndErrorsAsSetupApiDoes) {
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, 0, 0);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA data{};
  data.cbSize = 20;
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
  EXPECT_TRUE(data.ClassGuid == GUID_DEVCLASS_PORTS);
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 3, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &data));  // ttyACM1, ttyS0, ttyUSB0
  char name[64] = {};
  ASSERT_TRUE(SetupDiGetDeviceInstanceIdA(set, &data, name, sizeof name, nullptr));
  ASSERT_STREQ(name, "pnp0/00:01/tty/ttyS0");

  DWORD required = 0, type = 0;
  char small[4];
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_DEVICEDESC, &type,
                                                 reinterpret_cast<BYTE*>(small), sizeof small, &required));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, sizeof "Communications Port");
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &data, 99, &type, nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  char hw[64] = {};
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, &type,
                                                reinterpret_cast<BYTE*>(hw), sizeof hw, &required));
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(MultiSzToText(hw, required, ";"), "ACPI\\SERIAL");

  char id[8];
  EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set, &data, id, sizeof id, &required));
  EXPECT_EQ(required, sizeof "pnp0/00:01/tty/ttyS0");

  // The hardware key is read-only.
  HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  ASSERT_NE(key, INVALID_HANDLE_VALUE);
  EXPECT_EQ(RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>("COM9"), 5),
            LONG(ERROR_ACCESS_DENIED));
  RegCloseKey(key);
  EXPECT_EQ(SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_QUERY_VALUE),
            INVALID_HANDLE_VALUE);

  DEVINST node = 0, parent = 0;
  ASSERT_EQ(CM_Locate_DevNodeA(&node, "pnp0/00:01/tty/ttyS0", 0), CR_SUCCESS);
  EXPECT_EQ(node, data.DevInst);
  ASSERT_EQ(CM_Get_Parent(&parent, node, 0), CR_SUCCESS);
  DEVINST child = 0;
  ASSERT_EQ(CM_Get_Child(&child, parent, 0), CR_SUCCESS);
  EXPECT_EQ(child, node);
  EXPECT_EQ(CM_Request_Device_EjectA(node, nullptr, nullptr, 0, 0), CR_REMOVE_VETOED);
  ULONG length = 0;
  EXPECT_EQ(CM_Get_Device_ID_List_SizeA(&length, "pnp0/00:01", 0), CR_INVALID_FLAG);
  ASSERT_EQ(CM_Get_Device_ID_List_SizeA(&length, "pnp0/00:01", CM_GETIDLIST_FILTER_BUSRELATIONS), CR_SUCCESS);
  std::vector<char> block(length);
  EXPECT_EQ(CM_Get_Device_ID_ListA("pnp0/00:01", block.data(), length - 1, CM_GETIDLIST_FILTER_BUSRELATIONS),
            CR_BUFFER_SMALL);

  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
}

TEST_F(DevicePassTest, TheModuleExportsAllTwentyOneNames) {
  HMODULE module = LoadLibraryA("setupapi");
  ASSERT_NE(module, nullptr);
  for (const char* name :
       {"SetupDiGetClassDevsA", "SetupDiDestroyDeviceInfoList", "SetupDiEnumDeviceInfo",
        "SetupDiGetDeviceRegistryPropertyA", "SetupDiOpenDevRegKey", "SetupDiEnumDeviceInterfaces",
        "SetupDiGetDeviceInterfaceDetailA", "SetupDiCreateDeviceInfoList", "SetupDiCreateDeviceInfoA",
        "SetupDiGetINFClassA", "SetupDiSetDeviceRegistryPropertyA", "SetupDiCallClassInstaller",
        "SetupDiGetDeviceInstanceIdA", "CM_Locate_DevNodeA", "CM_Get_DevNode_Registry_PropertyA", "CM_Get_Child",
        "CM_Get_Sibling", "CM_Get_Parent", "CM_Get_Device_ID_List_SizeA", "CM_Get_Device_ID_ListA",
        "CM_Request_Device_EjectA"})
    EXPECT_NE(GetProcAddress(module, name), nullptr) << name;
  EXPECT_EQ(GetProcAddress(module, "SetupDiGetClassDevsW"), nullptr);
  FreeLibrary(module);
}

TEST(Guid, TextForm) {
  EXPECT_EQ(GuidToText(GUID_DEVINTERFACE_MODEM), "{2C7089AA-2E0E-11D1-B114-00C04FC2AAE4}");
  EXPECT_EQ(GuidToText(GUID_DEVCLASS_MULTIPORTSERIAL), "{50906CB8-BA12-11D1-BF5D-0000F805F530}");
  EXPECT_FALSE(GUID_DEVCLASS_PORTS == GUID_DEVCLASS_MODEM);
}

}  // namespace
