// The serial port component: port number, line-setting masks and read-back, opening through the
// port map, the saved configuration, the device list merge, the connection test and the Plug
// and Play identification against a device simulated on a virtual null-modem pair.
#include "comm/serialcomm.h"
#include "platform/devices/dynlib.h"
#include "platform/rtl/application.h"
#include "platform/serial/nullmodem.h"
#include "platform/system/portmap.h"
#include "platform/system/regstore.h"
#include "platform/system/winreg.h"
#include "platform/testhooks.h"
#include "ports/qvwin32.h"
#include "ports/qvwin32di.h"
#include "support/fake_sysfs.h"
#include "support/pnp_device.h"
#include "support/recording_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using namespace qv::platform;

namespace {

TApplication& App() {
  static TApplication* app = new TApplication;
  return *app;
}

// Exposes the stored record.
class TTestSerial : public TqvCustomSerialComm {
 public:
  explicit TTestSerial(TComponent* AOwner = nullptr) : TqvCustomSerialComm(AOwner) {}
  DCB& Dcb() { return PortSettings.dcb; }
};

// Counts notifications, opens, closes; optionally declines fatal errors.
class TListener : public TObject {
 public:
  void Notify(TqvBaseIO*, int Code) { codes.push_back(Code); }
  void Opened(TObject*) { ++opens; }
  void Closed(TObject*) { ++closes; }
  void Fatal(TObject*, DWORD, DWORD, std::string Msg, bool& Raise) {
    fatal.push_back(Msg);
    Raise = !decline;
  }
  std::vector<int> codes;
  std::vector<std::string> fatal;
  int opens = 0, closes = 0;
  bool decline = false;
};

class SerialCommTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    pair_ = CreateNullModemPair("serialcomm");
    ASSERT_TRUE(pair_);
    DWORD error = 0;
    ASSERT_TRUE(AddUserMapping(12, pair_->PortName(NullModemPair::kA), error)) << error;
    comm_ = std::make_unique<TTestSerial>();
    log_ = std::make_unique<TRecordingLog>(nullptr, dlDebug);
    comm_->SetLog(log_.get());
    comm_->AddNotify(TLinkNotifyEvent(&listener_, &TListener::Notify));
    comm_->OnOpen = TNotifyEvent(&listener_, &TListener::Opened);
    comm_->OnClose = TNotifyEvent(&listener_, &TListener::Closed);
    comm_->OnFatalError = TOnFatalErrorEvent(&listener_, &TListener::Fatal);
  }
  void TearDown() override {
    comm_.reset();
    log_.reset();
    pair_.reset();
    qv::ports::UnloadSetupApi();
  }
  void OpenOn12() {
    pair_->SetLines(NullModemPair::kB, true, true);  // the device is on: DSR at our end
    comm_->SetComPortNo(12);
    comm_->SetActive(true);
    ASSERT_TRUE(comm_->Active());
  }

  qv::test::FakeSysfs tree_;  // registry store and sysfs of this test only
  std::shared_ptr<NullModemPair> pair_;
  TListener listener_;
  std::unique_ptr<TRecordingLog> log_;
  std::unique_ptr<TTestSerial> comm_;
};

// ---- Settings -----------------------------------------------------------------------------------

TEST_F(SerialCommTest, Defaults) {
  EXPECT_EQ(comm_->ComPortNo(), 1);
  EXPECT_EQ(comm_->ComPort(), cpCOM1);
  EXPECT_EQ(comm_->BaudRate(), 19200u);
  EXPECT_EQ(comm_->ByteSize(), 8);
  EXPECT_EQ(comm_->Parity(), pNone);
  EXPECT_EQ(comm_->StopBits(), sbOne);
  EXPECT_EQ(comm_->StreamProtocol(), spHardware);
  EXPECT_EQ(comm_->GetEventChar(), 0);
  EXPECT_EQ(comm_->GetLogPrefix(), "qvComm: ");
  EXPECT_EQ(comm_->GetDeviceName(), "COM1");
  EXPECT_FALSE(comm_->Active());
}

TEST_F(SerialCommTest, ComPortFollowsThePortNumber) {
  comm_->SetComPortNo(8);
  EXPECT_EQ(comm_->ComPort(), cpCOM8);
  comm_->SetComPortNo(9);
  EXPECT_EQ(comm_->ComPort(), cpCOMxx);
  comm_->SetComPortNo(250);
  EXPECT_EQ(comm_->ComPort(), cpCOMxx);
  comm_->SetComPort(cpCOMxx);
  EXPECT_EQ(comm_->ComPortNo(), 250);
  comm_->SetComPort(cpCOM3);
  EXPECT_EQ(comm_->ComPortNo(), 3);
  comm_->SetComPortNo(0);
  EXPECT_EQ(comm_->ComPort(), cpCOMxx);
  comm_->SetComPortNo(12);
  EXPECT_EQ(comm_->GetDeviceName(), "COM12");
  // Every write notifies, cpCOMxx (no write) does not.
  EXPECT_EQ(listener_.codes, (std::vector<int>(6, ncDevicesChanged)));
}

TEST_F(SerialCommTest, StreamProtocolMasksAndReadBack) {
  struct Case {
    DWORD before;
    TStreamProtocol protocol;
    DWORD after;
  };
  const Case cases[] = {
      {0xFFFFFFFFu, spNone, 0x4CFB},     {0x00000000u, spNone, 0x0011},
      {0xFFFFFFFFu, spXonXoff, 0x4FFB},  {0x00000000u, spXonXoff, 0x0311},
      {0xFFFFFFFFu, spHardware, 0x2CFF}, {0x00000000u, spHardware, 0x2015},
      {0x00004000u, spHardware, 0x2015},  // abort-on-error cleared
  };
  for (const Case& c : cases) {
    comm_->Dcb().Flags = c.before;
    comm_->Dcb().XonLim = comm_->Dcb().XoffLim = 0;
    comm_->SetStreamProtocol(c.protocol);
    EXPECT_EQ(comm_->Dcb().Flags, c.after) << std::hex << c.before << " " << int(c.protocol);
    EXPECT_EQ(comm_->StreamProtocol(), c.protocol);
    if (c.protocol == spXonXoff) {
      EXPECT_EQ(comm_->Dcb().XonLim, 10);
      EXPECT_EQ(comm_->Dcb().XoffLim, 10);
      EXPECT_EQ(comm_->Dcb().XonChar, 0x11);
      EXPECT_EQ(comm_->Dcb().XoffChar, 0x13);
    } else {
      EXPECT_EQ(comm_->Dcb().XonLim, 0);
    }
  }
  comm_->Dcb().Flags = 0x0311 | 0x2015;
  EXPECT_EQ(comm_->StreamProtocol(), spXonXoff);
  comm_->Dcb().Flags = 0x2015;
  EXPECT_EQ(comm_->StreamProtocol(), spHardware);
  comm_->Dcb().Flags = 0x2011;
  EXPECT_EQ(comm_->StreamProtocol(), spNone);
}

TEST_F(SerialCommTest, ByteSizeParityAndStopBits) {
  for (BYTE v : {BYTE(3), BYTE(9), BYTE(0), BYTE(255)}) {
    comm_->SetByteSize(5);
    comm_->SetByteSize(v);
    EXPECT_EQ(comm_->ByteSize(), 8) << int(v);
  }
  for (BYTE v : {BYTE(4), BYTE(7), BYTE(8)}) {
    comm_->SetByteSize(v);
    EXPECT_EQ(comm_->ByteSize(), v);
  }
  comm_->SetParity(pEven);
  EXPECT_EQ(comm_->Dcb().Parity, 2);
  EXPECT_TRUE(comm_->Dcb().Flags & DCB_fParity);
  comm_->SetParity(pNone);
  EXPECT_FALSE(comm_->Dcb().Flags & DCB_fParity);
  comm_->SetStopBits(sbTwo);
  EXPECT_EQ(comm_->Dcb().StopBits, 2);
  comm_->SetBaudRate(12345);  // no range test
  EXPECT_EQ(comm_->BaudRate(), 12345u);
}

// ---- Opening -----------------------------------------------------------------------------------

TEST_F(SerialCommTest, OpenAppliesSettingsWithAbortOnError) {
  comm_->SetBaudRate(9600);
  OpenOn12();
  EXPECT_TRUE(log_->Contains("qvComm: The port COM12 succesful opened"));
  EXPECT_EQ(comm_->BaudRate(), 9600u);  // read back from the port
  EXPECT_TRUE(comm_->Dcb().Flags & DCB_fAbortOnError);
  comm_->SetStreamProtocol(spHardware);  // clears it until the next open
  comm_->StreamProtocol();
  EXPECT_FALSE(comm_->Dcb().Flags & DCB_fAbortOnError);
  int opens = listener_.opens;
  comm_->SetComPortNo(12);  // the same number still closes and reopens
  EXPECT_EQ(listener_.opens, opens + 1);
  EXPECT_EQ(listener_.closes, 1);
  EXPECT_TRUE(comm_->Active());
  comm_->StreamProtocol();
  EXPECT_TRUE(comm_->Dcb().Flags & DCB_fAbortOnError);
  comm_->SetActive(false);
}

TEST_F(SerialCommTest, MissingPortFailsWithItsName) {
  comm_->SetComPortNo(77);
  EXPECT_THROW(comm_->SetActive(true), Exception);
  ASSERT_EQ(listener_.fatal.size(), 1u);
  EXPECT_EQ(listener_.fatal[0].rfind("Device \"COM77\" Open Error !!!\r", 0), 0u) << listener_.fatal[0];
  EXPECT_FALSE(comm_->Active());
}

TEST_F(SerialCommTest, ConfigDialogEditsTheRecordInPlace) {
  std::string seen;
  SetCommConfigDialogHook([&](const char* name, HWND, COMMCONFIG* config) {
    seen = name;
    config->dcb.BaudRate = 4800;
    return FALSE;  // the result is not looked at
  });
  comm_->SetComPortNo(5);
  comm_->ShowConfigDialog();
  SetCommConfigDialogHook(nullptr);
  EXPECT_EQ(seen, "COM5");
  EXPECT_EQ(comm_->BaudRate(), 4800u);
}

// ---- Saved configuration -----------------------------------------------------------------------

std::vector<BYTE> ReadValue(const char* key, const char* name, DWORD* type = nullptr) {
  HKEY k = 0;
  std::vector<BYTE> out;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_READ, &k) != ERROR_SUCCESS) return out;
  DWORD size = 0, t = 0;
  if (RegQueryValueExA(k, name, nullptr, &t, nullptr, &size) == ERROR_SUCCESS) {
    out.resize(size);
    RegQueryValueExA(k, name, nullptr, &t, out.data(), &size);
  }
  if (type) *type = t;
  RegCloseKey(k);
  return out;
}

void WriteValue(const char* key, const char* name, DWORD type, const std::vector<BYTE>& data) {
  HKEY k = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr), LONG(ERROR_SUCCESS));
  ASSERT_EQ(RegSetValueExA(k, name, 0, type, data.data(), DWORD(data.size())), LONG(ERROR_SUCCESS));
  RegCloseKey(k);
}

TEST_F(SerialCommTest, SavedConfigurationLayoutAndRoundTrip) {
  comm_->SetComPortNo(300);
  comm_->SetBaudRate(57600);
  comm_->SetParity(pOdd);
  comm_->SetByteSize(7);
  comm_->SetEventChar('\r');
  COMMTIMEOUTS t{1, 2, 3, 4, 5};
  comm_->SetTimeouts(t);
  std::size_t handles = HandleCount();
  comm_->SaveConfig(HKEY_CURRENT_USER, "Software\\qvtest\\Scanner", "Port");
  EXPECT_EQ(HandleCount(), handles);
  EXPECT_EQ(log_->LastLine(), "qvComm: Configuration was saved");
  DWORD type = 0;
  std::vector<BYTE> blob = ReadValue("Software\\qvtest\\Scanner", "Port", &type);
  ASSERT_EQ(blob.size(), 49u);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(blob[0], 44);  // 300 keeps its low 8 bits
  DCB dcb;
  std::memcpy(&dcb, &blob[1], 28);
  EXPECT_EQ(std::memcmp(&dcb, &comm_->Dcb(), 28), 0);
  EXPECT_EQ(blob[1], 28);  // DCBlength first, little-endian
  EXPECT_EQ(blob[5] | blob[6] << 8 | blob[7] << 16, 57600);
  const BYTE timeouts[20] = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0};
  EXPECT_EQ(std::memcmp(&blob[29], timeouts, 20), 0);

  {
  TTestSerial other;
  TRecordingLog otherLog(nullptr, dlDebug);
  other.SetLog(&otherLog);
  other.LoadConfig(HKEY_CURRENT_USER, "Software\\qvtest\\Scanner", "Port");
  EXPECT_EQ(otherLog.LastLine(), "qvComm: Configuration was loaded");
  EXPECT_EQ(other.ComPortNo(), 44);
  EXPECT_EQ(other.BaudRate(), 57600u);
  EXPECT_EQ(other.Parity(), pOdd);
  EXPECT_EQ(other.ByteSize(), 7);
  EXPECT_EQ(other.GetEventChar(), '\r');
  EXPECT_EQ(std::memcmp(&other.Timeouts(), &t, sizeof t), 0);
  }
  EXPECT_EQ(HandleCount(), handles);  // keys closed
}

TEST_F(SerialCommTest, LoadOfAnotherSizeChangesNothing) {
  for (std::size_t size : {std::size_t(48), std::size_t(50), std::size_t(0)}) {
    WriteValue("Software\\qvtest", "Port", REG_BINARY, std::vector<BYTE>(size, 0x07));
    const DCB before = comm_->Dcb();
    comm_->LoadConfig(HKEY_CURRENT_USER, "Software\\qvtest", "Port");
    EXPECT_EQ(log_->LastLine(), "qvComm: Configuration was loaded") << size;
    EXPECT_EQ(comm_->ComPortNo(), 1);
    EXPECT_EQ(std::memcmp(&before, &comm_->Dcb(), sizeof before), 0);
  }
  comm_->LoadConfig(HKEY_CURRENT_USER, "Software\\qvtest\\Missing", "Port");  // created, empty
  EXPECT_EQ(log_->LastLine(), "qvComm: Configuration was loaded");
  EXPECT_TRUE(listener_.fatal.empty());
  EXPECT_TRUE(listener_.codes.empty());  // the port number was not written
}

TEST_F(SerialCommTest, LoadOfATextValueFails) {
  WriteValue("Software\\qvtest", "Port", REG_SZ, std::vector<BYTE>(49, 'a'));
  std::size_t handles = HandleCount();
  try {
    comm_->LoadConfig(HKEY_CURRENT_USER, "Software\\qvtest", "Port");
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Error on load config information from registry");
  }
  EXPECT_EQ(HandleCount(), handles);
  EXPECT_TRUE(log_->Contains("Fatal Error: 1, 0, Error on load config information from registry"));
  EXPECT_FALSE(log_->Contains("qvComm: Configuration was loaded"));
  EXPECT_EQ(comm_->ComPortNo(), 1);
}

TEST_F(SerialCommTest, SaveThatCannotWriteFails) {
  listener_.decline = true;
  comm_->SaveConfig(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", "Port");  // read-only
  EXPECT_EQ(listener_.fatal, (std::vector<std::string>{"Error on save config information from registry"}));
  EXPECT_FALSE(log_->Contains("qvComm: Configuration was saved"));
  listener_.decline = false;
  EXPECT_THROW(comm_->SaveConfig(HKEY_CURRENT_USER, "Software\\bad\\\\name", "Port"), Exception);
}

TEST_F(SerialCommTest, LoadReopensAnOpenPortOnTheSavedNumber) {
  OpenOn12();
  comm_->SaveConfig(HKEY_CURRENT_USER, "Software\\qvtest", "Port");
  int opens = listener_.opens;
  comm_->LoadConfig(HKEY_CURRENT_USER, "Software\\qvtest", "Port");
  EXPECT_EQ(listener_.opens, opens + 1);
  EXPECT_TRUE(comm_->Active());
  EXPECT_EQ(comm_->BaudRate(), 19200u);
  comm_->SetActive(false);
}

// ---- Device list -------------------------------------------------------------------------------

class SerialDevicesTest : public SerialCommTest {
 protected:
  void SetUp() override {
    SerialCommTest::SetUp();
    tree_.Device("pnp0/00:01", "serial", "pnp");
    tree_.Tty("ttyS0", "pnp0/00:01", "4");
    const char* adapter = "pci0000:00/0000:00:14.0/usb1/1-2";
    tree_.UsbDevice(adapter, "0403", "6001", "FTDI", "FT232R USB UART", "A1", 1);
    std::string ftdiIf = tree_.UsbInterface(adapter, 0, "ff", "ff", "ff", "ftdi_sio");
    tree_.Device(ftdiIf + "/ttyUSB0", "ftdi_sio", "usb-serial");
    tree_.Tty("ttyUSB0", ftdiIf + "/ttyUSB0");
    const char* modem = "pci0000:00/0000:00:14.0/usb1/1-3";
    tree_.UsbDevice(modem, "1bc7", "0021", "Telit", "USB Modem", "", 2);
    tree_.Tty("ttyACM0", tree_.UsbInterface(modem, 0, "02", "02", "01", "cdc_acm"));
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> out;
    TStringList list;
    comm_->FillDeviceList(&list);
    for (int i = 0; i < list.Count(); ++i) out.push_back(list[i]);
    return out;
  }
  std::string PortOf(const std::string& node) {
    for (const PortEntry& p : ListPorts())
      if (p.device == tree_.Dev(node)) return "COM" + std::to_string(p.number);
    return "";
  }
};

TEST_F(SerialDevicesTest, PortsInNumberOrderDecoratedByTheFirstMatchingRecord) {
  const std::string ftdi = PortOf("ttyUSB0"), acm = PortOf("ttyACM0");
  ASSERT_FALSE(ftdi.empty());
  ASSERT_FALSE(acm.empty());
  comm_->EnumDevices();
  ASSERT_EQ(comm_->DeviceCount(), 4);  // COM1, the two USB ports, COM12
  std::vector<std::string> texts = Texts();
  EXPECT_EQ(texts.front(), "COM1");
  EXPECT_EQ(texts.back(), "COM12");
  for (int i = 0; i + 1 < comm_->DeviceCount(); ++i)
    EXPECT_LT(comm_->GetDevice(i)->PortNumber, comm_->GetDevice(i + 1)->PortNumber);

  TqvDevice* uart = comm_->GetDevice(0);
  EXPECT_EQ(uart->Name, "COM1 (Communications Port)");
  EXPECT_EQ(uart->PortName, "COM1");
  EXPECT_EQ(uart->DeviceObjectName, tree_.Dev("ttyS0"));
  EXPECT_EQ(uart->Service, "serial");
  TqvDevice* adapter = comm_->GetDevice(comm_->IndexOfDevice(std::stoi(ftdi.substr(3))));
  EXPECT_EQ(adapter->Name, ftdi + " (FT232R USB UART)");
  EXPECT_EQ(adapter->Manufacturer, "FTDI");
  EXPECT_EQ(adapter->DevicePortName, ftdi);
  EXPECT_EQ(adapter->DriverKey, "{4D36E978-E325-11CE-BFC1-08002BE10318}\\pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/"
                                "ttyUSB0/tty/ttyUSB0");
  EXPECT_NE(adapter->RegistryKey.find("ttyUSB0"), std::string::npos);
  // Not taken from the class record.
  EXPECT_EQ(adapter->InstanceId, "");
  EXPECT_EQ(adapter->SymbolicName, "");
  EXPECT_EQ(adapter->DevInst, 0u);
  // The modem is described by the modem-interface pass (the first) and the modem class pass;
  // the first wins, the second is freed with the rest.
  TqvDevice* usbModem = comm_->GetDevice(comm_->IndexOfDevice(std::stoi(acm.substr(3))));
  EXPECT_EQ(usbModem->Name, acm + " (USB Modem)");
  TqvDevice* virt = comm_->GetDevice(3);
  EXPECT_EQ(virt->Name, "COM12");  // nothing describes a virtual port
  EXPECT_EQ(virt->DeviceObjectName, pair_->PortName(NullModemPair::kA));
  EXPECT_EQ(virt->Description, "");
}

TEST_F(SerialDevicesTest, WithoutSetupApiPortsStayUndecorated) {
  HideBuiltinEntry("SetupAPI.dll", nullptr, true);
  comm_->EnumDevices();
  HideBuiltinEntry("SetupAPI.dll", nullptr, false);
  ASSERT_EQ(comm_->DeviceCount(), 4);
  for (int i = 0; i < comm_->DeviceCount(); ++i) {
    EXPECT_EQ(comm_->GetDevice(i)->Name, comm_->GetDevice(i)->PortName);
    EXPECT_EQ(comm_->GetDevice(i)->Description, "");
  }
}

TEST_F(SerialDevicesTest, SelectAndIndexAndRebuild) {
  comm_->FillDeviceList(nullptr);
  EXPECT_EQ(comm_->GetDeviceIndex(), 0);  // COM1
  comm_->SelectDevice(3);
  EXPECT_EQ(comm_->ComPortNo(), 12);
  EXPECT_EQ(comm_->GetDeviceIndex(), 3);
  comm_->SelectDevice(4);
  comm_->SelectDevice(-1);
  EXPECT_EQ(comm_->ComPortNo(), 12);
  listener_.codes.clear();
  DWORD error = 0;
  auto second = CreateNullModemPair("serialcomm2");
  ASSERT_TRUE(AddUserMapping(20, second->PortName(NullModemPair::kA), error));
  comm_->DevicesChanged();
  EXPECT_EQ(listener_.codes, std::vector<int>{ncDevicesChanged});
  ASSERT_EQ(comm_->DeviceCount(), 5);  // rebuilt, not appended
  EXPECT_EQ(Texts().back(), "COM20");
  comm_->SetComPortNo(99);
  EXPECT_EQ(comm_->GetDeviceIndex(), -1);
}

TEST_F(SerialDevicesTest, BadPortNameReachesTheCallerAndLosesNothing) {
  RegisterRegView(RegRoot::Machine, "HARDWARE\\DEVICEMAP\\SERIALCOMM", [] {
    std::vector<RegValue> v{{"a", REG_SZ, {'C', 'O', 'M', '2', 0}}, {"b", REG_SZ, {'C', 'O', 'M', 'A', 0}}};
    return v;
  });
  EXPECT_THROW(comm_->EnumDevices(), EConvertError);
  RegisterRegView(RegRoot::Machine, "HARDWARE\\DEVICEMAP\\SERIALCOMM", SerialCommValues);
  EXPECT_EQ(comm_->DeviceCount(), 0);  // the port list raised before any device was added
}

// ---- The attached device -----------------------------------------------------------------------

TEST_F(SerialCommTest, TestConnection) {
  comm_->TestConnection();  // closed: nothing
  EXPECT_EQ(log_->Count(), 0u);
  OpenOn12();
  comm_->TestConnection();
  EXPECT_EQ(log_->LastLine(), "qvComm: The device connection was succesful tested");
  EXPECT_TRUE(pair_->Dtr(NullModemPair::kA));
  EXPECT_TRUE(pair_->Rts(NullModemPair::kA));
  pair_->SetLines(NullModemPair::kB, false, false);  // the device is off
  try {
    comm_->TestConnection();
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Device Connect Initialization Error");
  }
  EXPECT_TRUE(log_->Contains("Fatal Error: 1, 0, Device Connect Initialization Error"));
  EXPECT_FALSE(pair_->Rts(NullModemPair::kA));
  comm_->SetActive(false);
}

using qv::test::PnPDevice;

TEST_F(SerialCommTest, ReadPnPIdFromAClosedPort) {
  comm_->SetComPortNo(12);
  const std::string id = std::string("\x08") + "\x01\x24" + "ABC0001" + "\x09";
  {
    // The device answers late, so the component waits for it: a timer on the main thread
    // keeps running meanwhile.
    PnPDevice device(*pair_, id + "trailing", 40);
    TqvTimer timer;
    int ticks = 0;
    struct Tick : TObject {
      int* n;
      void On(TObject*) { ++*n; }
    } tick;
    tick.n = &ticks;
    timer.SetInterval(20);
    timer.SetOnTimer(TNotifyEvent(&tick, &Tick::On));
    EXPECT_EQ(comm_->ReadPnPId(), id);
    EXPECT_GT(ticks, 0);
  }
  EXPECT_FALSE(comm_->Active());  // left as it was found
  EXPECT_EQ(comm_->BaudRate(), 19200u);
}

TEST_F(SerialCommTest, ReadPnPIdAnswers) {
  OpenOn12();
  {
    PnPDevice device(*pair_, std::string("(\x01$XYZ)") + "rest");
    EXPECT_EQ(comm_->ReadPnPId(), "(\x01$XYZ)");
  }
  EXPECT_TRUE(comm_->Active());
  EXPECT_EQ(comm_->BaudRate(), 19200u);
  EXPECT_EQ(comm_->ByteSize(), 8);
  {
    PnPDevice device(*pair_, "(");  // no end marker: what came before the silence
    EXPECT_EQ(comm_->ReadPnPId(), "(");
  }
  {
    PnPDevice device(*pair_, "A(\x09)");  // not a begin marker
    EXPECT_EQ(comm_->ReadPnPId(), "");
  }
  {
    PnPDevice device(*pair_, "");  // silent
    EXPECT_EQ(comm_->ReadPnPId(), "");
  }
  EXPECT_TRUE(comm_->Active());
  comm_->SetActive(false);
}

TEST_F(SerialCommTest, ReadPnPIdWithoutDsrLeavesAClosedPortClosed) {
  comm_->SetComPortNo(12);
  pair_->SetLines(NullModemPair::kB, false, false);
  EXPECT_THROW(comm_->ReadPnPId(), Exception);
  EXPECT_FALSE(comm_->Active());
  EXPECT_FALSE(pair_->IsOpen(NullModemPair::kA));
  listener_.decline = true;
  EXPECT_EQ(comm_->ReadPnPId(), "");
  EXPECT_FALSE(comm_->Active());
  listener_.decline = false;
  comm_->SetComPortNo(77);
  EXPECT_THROW(comm_->ReadPnPId(), Exception);  // the open failure is reported
  listener_.decline = true;
  EXPECT_EQ(comm_->ReadPnPId(), "");
}

}  // namespace
