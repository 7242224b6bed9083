// The port map: user mappings, sysfs devices, numbering rules and the SERIALCOMM view.
#include "platform/serial/nullmodem.h"
#include "platform/system/portmap.h"
#include "platform/system/portnames.h"
#include "platform/system/regstore.h"
#include "platform/system/signals.h"
#include "platform/system/ttydevices.h"
#include "platform/system/winreg.h"
#include "platform/testhooks.h"
#include "support/fake_sysfs.h"
#include "support/temp_config.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <tuple>

namespace fs = std::filesystem;
using namespace qv::platform;

namespace {

// A pseudo-terminal whose slave path is a real terminal device.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) slave_ = ptsname(master_);
  }
  ~Pty() {
    if (master_ >= 0) close(master_);
  }
  const std::string& slave() const { return slave_; }

 private:
  int master_ = -1;
  std::string slave_;
};

// A fresh store folder and an empty fake sysfs and /dev per test.
class PortMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config_.Ok());
    fs::create_directories(dir_ / "sys" / "class" / "tty");
    fs::create_directories(dir_ / "sys" / "devices");
    fs::create_directories(dir_ / "dev" / "serial" / "by-id");
    fs::create_directories(dir_ / "dev" / "serial" / "by-path");
    SetSysfsRoot((dir_ / "sys").string());
    SetDevRoot((dir_ / "dev").string());
  }
  void TearDown() override {
    SetSysfsRoot("/sys");
    SetDevRoot("/dev");
  }

  std::string Dev(const std::string& name) const { return (dir_ / "dev" / name).string(); }

  // A tty device in the fake sysfs: class/tty/<name> -> devices/<parent>/tty/<name>, with a
  // device link to devices/<parent> and its driver; type written when given.
  void AddTty(const std::string& name, const std::string& parent, const std::string& driver,
              const char* type = nullptr) {
    fs::path devdir = dir_ / "sys" / "devices" / parent;
    fs::path ttydir = devdir / "tty" / name;
    fs::create_directories(ttydir);
    fs::create_directories(dir_ / "sys" / "bus" / "drivers" / driver);
    std::error_code ec;
    fs::create_directory_symlink(dir_ / "sys" / "bus" / "drivers" / driver, devdir / "driver", ec);
    fs::create_directory_symlink(devdir, ttydir / "device");
    if (type) std::ofstream(ttydir / "type") << type << "\n";
    fs::create_directory_symlink(ttydir, dir_ / "sys" / "class" / "tty" / name);
    std::ofstream(dir_ / "dev" / name).put('\0');  // stands in for the device node
  }
  void RemoveTty(const std::string& name) {
    fs::remove(dir_ / "sys" / "class" / "tty" / name);
    fs::remove(dir_ / "dev" / name);
  }
  // A terminal that has no device link, as virtual consoles have.
  void AddVirtualConsole(const std::string& name) {
    fs::path ttydir = dir_ / "sys" / "devices" / "virtual" / "tty" / name;
    fs::create_directories(ttydir);
    fs::create_directory_symlink(ttydir, dir_ / "sys" / "class" / "tty" / name);
  }
  void AddById(const std::string& link, const std::string& name) {
    fs::remove(dir_ / "dev" / "serial" / "by-id" / link);
    fs::create_symlink("../../" + name, dir_ / "dev" / "serial" / "by-id" / link);
  }

  std::map<unsigned, std::string> Ports() {
    std::map<unsigned, std::string> out;
    for (const PortEntry& e : ListPorts()) {
      EXPECT_FALSE(out.contains(e.number)) << "COM" << e.number << " listed twice";
      out[e.number] = e.device;
    }
    return out;
  }

  qv::test::TempConfig config_{"portmap"};
  const fs::path dir_ = config_.Dir();
};

TEST_F(PortMapTest, UserMappingResolvesAndIsListed) {
  Pty pty;
  ASSERT_FALSE(pty.slave().empty());
  DWORD error = 0;
  ASSERT_TRUE(AddUserMapping(7, pty.slave(), error)) << error;
  std::string device;
  ASSERT_TRUE(ResolveComPort(7, device, error));
  EXPECT_EQ(device, pty.slave());
  EXPECT_FALSE(ResolveComPort(8, device, error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);

  auto ports = ListPorts();
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].number, 7u);
  EXPECT_TRUE(ports[0].userMapped);

  // Kept in the user's store, so another program sees it.
  std::shared_ptr<const RegHive> hive;
  ASSERT_EQ(RegStoreRead(RegRoot::User, hive), ERROR_SUCCESS);
  const RegKeyNode* node = hive->Find("software\\QVCOMM\\portmap");
  ASSERT_NE(node, nullptr);
  const RegValue* v = node->FindValue("com7");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(std::string(v->data.begin(), v->data.end()), pty.slave() + std::string(1, '\0'));

  EXPECT_TRUE(RemoveUserMapping(7));
  EXPECT_FALSE(RemoveUserMapping(7));
  EXPECT_FALSE(ResolveComPort(7, device, error));
}

TEST_F(PortMapTest, VirtualNamesNameAPairEndAndAreListedWhileThePairLives) {
  DWORD error = 0;
  std::string reason;
  for (const char* bad : {"virtual:", "virtual:abc", "virtual:/a", "virtual:x/c", "virtual:x/a/b",
                          "virtual:new\nline/a", "virtual:\x1b[31mred/a"}) {
    EXPECT_FALSE(AddUserMapping(3, bad, error, reason)) << bad;
    EXPECT_EQ(error, ERROR_INVALID_NAME) << bad;
    EXPECT_EQ(reason.find_first_of("\n\x1b"), std::string::npos) << "control character shown raw";
  }
  ASSERT_TRUE(AddUserMapping(3, "virtual:pairA/a", error));
  ASSERT_TRUE(AddUserMapping(4, "virtual:pairA/b", error));
  EXPECT_EQ(Ports(), (std::map<unsigned, std::string>{})) << "no pair serves them yet";
  auto pair = CreateNullModemPair("pairA");
  std::string device;
  ASSERT_TRUE(ResolveComPort(4, device, error));
  EXPECT_EQ(device, "virtual:pairA/b");
  // Replacing a mapping keeps one entry per number.
  ASSERT_TRUE(AddUserMapping(4, "virtual:pairC/a", error));
  EXPECT_EQ(Ports(), (std::map<unsigned, std::string>{{3, "virtual:pairA/a"}}));
  pair->Vanish();
  EXPECT_FALSE(ResolveComPort(3, device, error));
}

TEST_F(PortMapTest, InvalidMappingsAreRefusedAndLoseNothing) {
  auto pair = CreateNullModemPair("keep");
  DWORD error = 0;
  ASSERT_TRUE(AddUserMapping(2, "virtual:keep/a", error));
  EXPECT_FALSE(AddUserMapping(0, "virtual:x", error));
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(AddUserMapping(256, "virtual:x", error));
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(AddUserMapping(5, (dir_ / "missing").string(), error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  std::ofstream(dir_ / "plain") << "x";
  EXPECT_FALSE(AddUserMapping(5, (dir_ / "plain").string(), error));
  EXPECT_EQ(error, ERROR_BAD_COMMAND);
  EXPECT_FALSE(AddUserMapping(5, dir_.string(), error));
  EXPECT_EQ(error, ERROR_BAD_COMMAND);
  EXPECT_FALSE(AddUserMapping(5, "/dev/null", error));  // a character device, not a terminal
  EXPECT_EQ(error, ERROR_BAD_COMMAND);
  EXPECT_EQ(Ports(), (std::map<unsigned, std::string>{{2, "virtual:keep/a"}}));
}

TEST_F(PortMapTest, SymlinkToTerminalIsAcceptedAndOneDeviceGetsOneNumber) {
  Pty pty;
  fs::create_symlink(pty.slave(), dir_ / "link");
  DWORD error = 0;
  ASSERT_TRUE(AddUserMapping(9, (dir_ / "link").string(), error)) << error;
  EXPECT_FALSE(AddUserMapping(10, pty.slave(), error));
  EXPECT_EQ(error, ERROR_ALREADY_EXISTS);
  std::string device;
  ASSERT_TRUE(ResolveComPort(9, device, error));
  EXPECT_EQ(device, (dir_ / "link").string());
}

TEST_F(PortMapTest, SerialDevicesFromSysfsGetTheirNumbers) {
  AddTty("ttyS0", "pnp0/00:04", "serial", "4");
  AddTty("ttyS1", "platform/serial8250", "serial8250", "0");  // placeholder: no UART
  AddTty("ttyS3", "platform/serial8250", "serial8250", "4");
  AddTty("ttyUSB0", "pci0/usb1/1-2/1-2:1.0/ttyUSB0", "ftdi_sio");
  AddTty("ttyACM0", "pci0/usb1/1-3/1-3:1.0", "cdc_acm");
  AddVirtualConsole("tty0");
  AddVirtualConsole("console");
  AddVirtualConsole("ptmx");
  // ttyS<k> is COM<k+1>; the others take the lowest free numbers in name order.
  EXPECT_EQ(Ports(), (std::map<unsigned, std::string>{{1, Dev("ttyS0")},
                                                      {2, Dev("ttyACM0")},
                                                      {3, Dev("ttyUSB0")},
                                                      {4, Dev("ttyS3")}}));
  std::string device;
  DWORD error = 0;
  ASSERT_TRUE(ResolveComPort(3, device, error));
  EXPECT_EQ(device, Dev("ttyUSB0"));
  EXPECT_FALSE(ResolveComPort(5, device, error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  for (const PortEntry& e : ListPorts()) {
    EXPECT_FALSE(e.userMapped);
    EXPECT_EQ(e.sysfsPath, (dir_ / "sys" / "class" / "tty").string() + "/" +
                               e.device.substr(e.device.rfind('/') + 1));
  }
}

TEST_F(PortMapTest, AdapterKeepsItsNumberWhenPluggedInAgain) {
  AddTty("ttyUSB0", "usb1/1-1/1-1:1.0/ttyUSB0", "ftdi_sio");
  AddById("usb-FTDI_FT232R_A1-if00-port0", "ttyUSB0");
  AddTty("ttyUSB1", "usb1/1-2/1-2:1.0/ttyUSB1", "pl2303");
  AddById("usb-Prolific_PL2303_B2-if00-port0", "ttyUSB1");
  EXPECT_EQ(Ports(), (std::map<unsigned, std::string>{{1, Dev("ttyUSB0")}, {2, Dev("ttyUSB1")}}));

  // Both unplugged; the Prolific adapter comes back first and the kernel calls it ttyUSB0.
  RemoveTty("ttyUSB0");
  RemoveTty("ttyUSB1");
  fs::remove_all(dir_ / "sys" / "devices" / "usb1");
  AddTty("ttyUSB0", "usb1/1-2/1-2:1.0/ttyUSB0", "pl2303");
  AddById("usb-Prolific_PL2303_B2-if00-port0", "ttyUSB0");
  fs::remove(dir_ / "dev" / "serial" / "by-id" / "usb-FTDI_FT232R_A1-if00-port0");
  EXPECT_EQ(Ports(), (std::map<unsigned, std::string>{{2, Dev("ttyUSB0")}}));

  // A new adapter does not take COM1: it stays reserved for the absent FTDI adapter.
  AddTty("ttyACM0", "usb1/1-4/1-4:1.0", "cdc_acm");
  AddById("usb-Scanner_X_C3-if00", "ttyACM0");
  EXPECT_EQ(Ports(), (std::map<unsigned, std::string>{{2, Dev("ttyUSB0")}, {3, Dev("ttyACM0")}}));

  // The FTDI adapter returns as ttyUSB1 and gets COM1 again.
  AddTty("ttyUSB1", "usb1/1-1/1-1:1.0/ttyUSB1", "ftdi_sio");
  AddById("usb-FTDI_FT232R_A1-if00-port0", "ttyUSB1");
  EXPECT_EQ(Ports(), (std::map<unsigned, std::string>{
                         {1, Dev("ttyUSB1")}, {2, Dev("ttyUSB0")}, {3, Dev("ttyACM0")}}));
}

TEST_F(PortMapTest, IdentityFallsBackToByPathThenSysfsPath) {
  AddTty("ttyUSB0", "usb1/1-1/1-1:1.0/ttyUSB0", "ch341");
  fs::create_symlink("../../ttyUSB0", dir_ / "dev" / "serial" / "by-path" / "pci-0-usb-0:1:1.0-port0");
  AddTty("ttyAMA0", "platform/fe201000.serial", "uart-pl011");
  auto ports = ListPorts();
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0].device, Dev("ttyAMA0"));
  EXPECT_EQ(ports[0].identity, "sysfs:devices/platform/fe201000.serial");
  EXPECT_EQ(ports[1].identity, "by-path:pci-0-usb-0:1:1.0-port0");
  // Remembered in the store under those identities.
  std::shared_ptr<const RegHive> hive;
  ASSERT_EQ(RegStoreRead(RegRoot::User, hive), ERROR_SUCCESS);
  const RegKeyNode* node = hive->Find("Software\\qvcomm\\Assigned");
  ASSERT_NE(node, nullptr);
  const RegValue* v = node->FindValue("by-path:pci-0-usb-0:1:1.0-port0");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->type, REG_DWORD);
  EXPECT_EQ(v->data, (std::vector<BYTE>{2, 0, 0, 0}));
}

TEST_F(PortMapTest, UserMappingWinsAndTheDisplacedDeviceMoves) {
  AddTty("ttyS0", "pnp0/00:04", "serial", "4");
  AddTty("ttyUSB0", "usb1/1-1/1-1:1.0/ttyUSB0", "ftdi_sio");
  AddById("usb-FTDI_A-if00-port0", "ttyUSB0");
  EXPECT_EQ(Ports(), (std::map<unsigned, std::string>{{1, Dev("ttyS0")}, {2, Dev("ttyUSB0")}}));
  auto pair = CreateNullModemPair("wins");
  DWORD error = 0;
  ASSERT_TRUE(AddUserMapping(1, "virtual:wins/a", error));
  ASSERT_TRUE(AddUserMapping(2, "virtual:wins/b", error));
  // Both devices are displaced to the lowest free numbers, in name order.
  EXPECT_EQ(Ports(), (std::map<unsigned, std::string>{{1, "virtual:wins/a"},
                                                      {2, "virtual:wins/b"},
                                                      {3, Dev("ttyS0")},
                                                      {4, Dev("ttyUSB0")}}));
  std::string device;
  ASSERT_TRUE(ResolveComPort(1, device, error));
  EXPECT_EQ(device, "virtual:wins/a");
  // The user's mappings go; ttyS0 is COM1 again and the adapter keeps its new number.
  EXPECT_TRUE(RemoveUserMapping(1));
  EXPECT_TRUE(RemoveUserMapping(2));
  EXPECT_EQ(Ports(), (std::map<unsigned, std::string>{{1, Dev("ttyS0")}, {4, Dev("ttyUSB0")}}));
}

TEST_F(PortMapTest, MappingOfADetectedDeviceListsItOnce) {
  Pty pty;
  AddTty("ttyUSB0", "usb1/1-1/1-1:1.0/ttyUSB0", "ftdi_sio");
  fs::remove(dir_ / "dev" / "ttyUSB0");
  fs::create_symlink(pty.slave(), dir_ / "dev" / "ttyUSB0");  // the node is a real terminal
  DWORD error = 0;
  ASSERT_TRUE(AddUserMapping(5, Dev("ttyUSB0"), error)) << error;
  auto ports = ListPorts();
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].number, 5u);
  EXPECT_TRUE(ports[0].userMapped);
}

TEST_F(PortMapTest, AbsentMappingKeepsItsNumberReserved) {
  AddTty("ttyS0", "pnp0/00:04", "serial", "4");
  std::string slave;
  {
    Pty pty;
    slave = pty.slave();
    DWORD error = 0;
    ASSERT_TRUE(AddUserMapping(1, slave, error));
    EXPECT_EQ(Ports().at(1), slave);
  }
  // Another process (tests run in parallel) may open a terminal with the same number at once.
  if (fs::exists(slave)) GTEST_SKIP() << slave << " was taken again by another process";
  // The terminal is gone: COM1 is not present, and ttyS0 does not take it meanwhile.
  auto ports = Ports();
  EXPECT_FALSE(ports.contains(1));
  EXPECT_EQ(ports, (std::map<unsigned, std::string>{{2, Dev("ttyS0")}}));
  std::string device;
  DWORD error = 0;
  EXPECT_FALSE(ResolveComPort(1, device, error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

TEST_F(PortMapTest, HandEditedMappingsOfTheWrongFormAreSkipped) {
  fs::create_directories(dir_ / "config" / "qvcomm");
  std::ofstream(dir_ / "config" / "qvcomm" / "user.reg")
      << "[Software\\qvcomm\\PortMap]\n"
         "\"COM\"=sz:\"virtual:nonumber\"\n"
         "\"COM3\"=dword:00000001\n"
         "\"LPT1\"=sz:\"virtual:printer\"\n"
         "\"com4\"=sz:\"virtual:ok/a\"\n"
         "\"\\x1b[2Jfake\"=sz:\"x\"\n"
         "[Software\\qvcomm\\Assigned]\n"
         "\"by-id:x\"=sz:\"7\"\n";
  auto pair = CreateNullModemPair("ok");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Ports(), (std::map<unsigned, std::string>{{4, "virtual:ok/a"}}));
  const std::string warnings = testing::internal::GetCapturedStderr();
  EXPECT_NE(warnings.find("\\x1B[2Jfake"), std::string::npos) << warnings;
  EXPECT_EQ(warnings.find('\x1b'), std::string::npos) << "a control character reached the terminal";
}

TEST_F(PortMapTest, SerialCommViewListsThePortsPresentAndIsReadOnly) {
  AddTty("ttyS0", "pnp0/00:04", "serial", "4");
  AddTty("ttyUSB0", "usb1/1-1/1-1:1.0/ttyUSB0", "ftdi_sio");
  auto pair = CreateNullModemPair("pair");
  DWORD error = 0;
  ASSERT_TRUE(AddUserMapping(12, "virtual:pair/a", error));
  HKEY key = 0;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                          KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  std::vector<std::pair<std::string, std::string>> values;
  char name[260];
  BYTE data[260];
  for (DWORD i = 0;; ++i) {
    DWORD nameLen = sizeof name, dataLen = sizeof data, type = 0;
    LONG r = RegEnumValueA(key, i, name, &nameLen, nullptr, &type, data, &dataLen);
    if (r != ERROR_SUCCESS) {
      EXPECT_EQ(r, ERROR_NO_MORE_ITEMS);
      break;
    }
    EXPECT_EQ(type, REG_SZ);
    ASSERT_GT(dataLen, 0u);
    EXPECT_EQ(data[dataLen - 1], 0) << "text without its NUL";
    values.emplace_back(name, reinterpret_cast<char*>(data));
  }
  EXPECT_EQ(values, (std::vector<std::pair<std::string, std::string>>{
                        {Dev("ttyS0"), "COM1"}, {Dev("ttyUSB0"), "COM2"}, {"virtual:pair/a", "COM12"}}));
  EXPECT_EQ(RegKeyKernelName(key), u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
  EXPECT_EQ(RegSetValueExA(key, "x", 0, REG_SZ, reinterpret_cast<const BYTE*>("COM9"), 5),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(key, Dev("ttyS0").c_str()), ERROR_ACCESS_DENIED);
  // The view is a snapshot of the moment it was opened; the next open sees a new device.
  AddTty("ttyS1", "pnp0/00:05", "serial", "4");
  DWORD nameLen = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 3, name, &nameLen, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "hardware\\devicemap\\serialcomm", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, Dev("ttyS1").c_str(), nullptr, nullptr, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  RegCloseKey(key);

  HKEY other = 0;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_WRITE,
                          &other),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &other, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM\\Sub", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &other, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM"),
            ERROR_ACCESS_DENIED);
  // Its parents exist (read-only) as they do on the system it stands in for.
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP", 0, KEY_READ, &other),
            ERROR_SUCCESS);
  HKEY child = 0;
  EXPECT_EQ(RegOpenKeyExA(other, "SERIALCOMM", 0, KEY_READ, &child), ERROR_SUCCESS);
  EXPECT_EQ(RegKeyKernelName(child), u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
  RegCloseKey(child);
  RegCloseKey(other);
}

TEST_F(PortMapTest, SerialCommViewIsEmptyWithoutPorts) {
  HKEY key = 0;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  char name[260];
  DWORD nameLen = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &nameLen, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
}

TEST_F(PortMapTest, SysfsDescribesUsbAdapters) {
  AddTty("ttyUSB0", "usb1/1-2/1-2:1.0/ttyUSB0", "ftdi_sio");
  fs::path usb = dir_ / "sys" / "devices" / "usb1" / "1-2";
  std::ofstream(usb / "idVendor") << "0403\n";
  std::ofstream(usb / "idProduct") << "6001\n";
  std::ofstream(usb / "manufacturer") << "FTDI\n";
  std::ofstream(usb / "product") << "FT232R USB UART\n";
  std::ofstream(usb / "serial") << "A50285BI\n";
  std::ofstream(usb / "1-2:1.0" / "bInterfaceNumber") << "00\n";
  AddById("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");
  auto ttys = sysfs::ListSerialTtys();
  ASSERT_EQ(ttys.size(), 1u);
  const sysfs::TtyDevice& d = ttys[0];
  EXPECT_EQ(d.name, "ttyUSB0");
  EXPECT_EQ(d.driver, "ftdi_sio");
  EXPECT_EQ(d.devNode, Dev("ttyUSB0"));
  EXPECT_EQ(d.byId, "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  ASSERT_TRUE(d.isUsb);
  EXPECT_EQ(d.usb.vendorId, "0403");
  EXPECT_EQ(d.usb.productId, "6001");
  EXPECT_EQ(d.usb.manufacturer, "FTDI");
  EXPECT_EQ(d.usb.product, "FT232R USB UART");
  EXPECT_EQ(d.usb.serial, "A50285BI");
  EXPECT_EQ(d.usb.interfaceNumber, "00");
  EXPECT_TRUE(sysfs::NaturalLess("ttyS2", "ttyS10"));
  EXPECT_FALSE(sysfs::NaturalLess("ttyS10", "ttyS2"));
  EXPECT_TRUE(sysfs::NaturalLess("ttyACM0", "ttyS0"));
}

TEST_F(PortMapTest, SysfsLooksThroughSerialCorePortDevices) {
  // ttyS0 -> 00:04:0.0 (serial-base port) -> 00:04:0 (serial-base ctrl) -> 00:04 (pnp, serial)
  AddTty("ttyS0", "pnp0/00:04/00:04:0/00:04:0.0", "port", "4");
  fs::path sys = dir_ / "sys";
  fs::create_directories(sys / "bus" / "serial-base");
  fs::create_directories(sys / "bus" / "pnp");
  fs::path port = sys / "devices" / "pnp0" / "00:04" / "00:04:0" / "00:04:0.0";
  fs::create_directory_symlink(sys / "bus" / "serial-base", port / "subsystem");
  fs::create_directory_symlink(sys / "bus" / "serial-base", port.parent_path() / "subsystem");
  fs::create_directory_symlink(sys / "bus" / "pnp", port.parent_path().parent_path() / "subsystem");
  fs::create_directories(sys / "bus" / "drivers" / "serial");
  fs::create_directory_symlink(sys / "bus" / "drivers" / "serial",
                               port.parent_path().parent_path() / "driver");
  auto ttys = sysfs::ListSerialTtys();
  ASSERT_EQ(ttys.size(), 1u);
  EXPECT_EQ(ttys[0].driver, "serial");
  EXPECT_EQ(ttys[0].subsystem, "pnp");
  EXPECT_EQ(ttys[0].hardwarePath, sysfs::ResolvePath(port.parent_path().parent_path().string()));
  EXPECT_FALSE(ttys[0].isUsb);
}

// A listing after a change describes again the ttys the change touched and keeps the others'
// descriptions; a change it cannot put down to names has everything read again.
TEST(SysfsListing, DescribesAgainWhatAChangeTouched) {
  using qv::test::FakeSysfs;
  const std::string usbA = "pci0/usb1/1-1", usbB = "pci0/usb1/1-2";
  auto serial = [](FakeSysfs& t, const std::string& usb, const char* value) {
    std::ofstream(t.Sys("devices/" + usb + "/serial")) << value << "\n";  // not announced
  };
  auto relink = [](FakeSysfs& t, const std::string& name) {  // the class entry made anew
    const fs::path link = t.Sys("class/tty/" + name), target = fs::read_symlink(link);
    fs::remove(link);
    fs::create_directory_symlink(target, link);
  };
  struct Case {
    const char* what;
    std::function<void(FakeSysfs&)> change;
    std::map<std::string, std::string> serials;  // tty -> serial number listed afterwards
  } cases[] = {
      {"plugged in again under its name with another serial number",
       [&](FakeSysfs& t) {
         serial(t, usbA, "A2");
         relink(t, "ttyUSB0");
         t.Replug("ttyUSB0");
       },
       {{"ttyUSB0", "A2"}, {"ttyUSB1", "B1"}}},
      {"class entry made anew, its node left alone",
       [&](FakeSysfs& t) {
         serial(t, usbA, "A2");
         relink(t, "ttyUSB0");
       },
       {{"ttyUSB0", "A2"}, {"ttyUSB1", "B1"}}},
      {"unplugged",
       [&](FakeSysfs& t) {
         fs::remove(t.Sys("class/tty/ttyUSB1"));
         fs::remove(t.Dev("ttyUSB1"));
       },
       {{"ttyUSB0", "A1"}}},
      {"another tty's node came and went",
       [&](FakeSysfs& t) {
         serial(t, usbB, "B2");
         t.Replug("ttyUSB0");
       },
       {{"ttyUSB0", "A1"}, {"ttyUSB1", "B1"}}},
      {"the class folder replaced",
       [&](FakeSysfs& t) {
         serial(t, usbB, "B2");
         fs::rename(t.Sys("class/tty"), t.Sys("class/tty.old"));
         fs::create_directory(t.Sys("class/tty"));
         for (const char* name : {"ttyUSB0", "ttyUSB1"})
           fs::create_directory_symlink(fs::read_symlink(t.Sys("class/tty.old/") + name),
                                        t.Sys("class/tty/") + name);
       },
       {{"ttyUSB0", "A1"}, {"ttyUSB1", "B2"}}},
  };
  for (const Case& c : cases) {
    FakeSysfs tree;
    for (auto [name, usb, number] : {std::tuple{"ttyUSB0", usbA, "A1"}, {"ttyUSB1", usbB, "B1"}}) {
      tree.UsbDevice(usb, "0403", "6001", "FTDI", "FT232R USB UART", number, 1);
      tree.Tty(name, tree.UsbInterface(usb, 0, "ff", "ff", "ff", "ftdi_sio") + "/" + name);
    }
    ASSERT_EQ(sysfs::ListSerialTtys().size(), 2u) << c.what;
    c.change(tree);
    std::map<std::string, std::string> serials;
    for (const sysfs::TtyDevice& d : sysfs::ListSerialTtys()) serials[d.name] = d.usb.serial;
    EXPECT_EQ(serials, c.serials) << c.what;
  }
}

// A name that is no class/tty entry of its own describes nothing, not the folders around it.
TEST(SysfsListing, DescribesOnlyEntriesByTheirOwnName) {
  qv::test::FakeSysfs tree;
  tree.Tty("ttyS0", "pnp0/00:01", "4");
  sysfs::TtyDevice d;
  for (const char* name : {"", ".", "..", "ttyS0/..", "../tty/ttyS0", "ttyS1"})
    EXPECT_FALSE(sysfs::DescribeTty(name, d)) << '"' << name << '"';
  EXPECT_TRUE(sysfs::DescribeTty("ttyS0", d));
}

TEST_F(PortMapTest, RelativePathIsStoredAbsolute) {
  Pty pty;
  ASSERT_FALSE(pty.slave().empty());
  std::string folder = pty.slave().substr(0, pty.slave().rfind('/'));
  std::string relative = "./" + pty.slave().substr(folder.size() + 1);
  std::string before = fs::current_path().string();
  ASSERT_EQ(chdir(folder.c_str()), 0);
  DWORD error = 0;
  EXPECT_TRUE(AddUserMapping(7, relative, error)) << error;
  // A folder that no longer exists cannot make a path absolute.
  fs::create_directories(dir_ / "gone");
  ASSERT_EQ(chdir((dir_ / "gone").c_str()), 0);
  fs::remove(dir_ / "gone");
  std::string reason;
  EXPECT_FALSE(AddUserMapping(8, "pts/0", error, reason));
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
  EXPECT_NE(reason.find("no longer exists"), std::string::npos) << reason;
  ASSERT_EQ(chdir(before.c_str()), 0);
  std::string device;
  ASSERT_TRUE(ResolveComPort(7, device, error));
  EXPECT_EQ(device, pty.slave());
}

TEST_F(PortMapTest, RefusalsSayWhatIsWrongInTheUsersTerms) {
  std::ofstream(dir_ / "plain") << "x";
  struct Case {
    std::string device;
    DWORD error;
    std::string says;
  };
  const Case cases[] = {
      {"", ERROR_INVALID_PARAMETER, "the device path is empty"},
      {(dir_ / "plain").string(), ERROR_BAD_COMMAND, "is a file, not a serial device"},
      {(dir_ / "missing").string(), ERROR_FILE_NOT_FOUND, "does not exist"},
      {"/dev/null", ERROR_BAD_COMMAND, "not a serial device"},
      // Terminals that are no port.
      {"/dev/tty", ERROR_NOT_SUPPORTED, "controlling terminal"},
      {"/dev/console", ERROR_NOT_SUPPORTED, "console"},
      {"/dev/tty0", ERROR_NOT_SUPPORTED, "virtual terminal"},
      {"/dev/ptmx", ERROR_NOT_SUPPORTED, "multiplexer"},
  };
  for (const Case& c : cases) {
    if (!c.device.empty() && !fs::exists(c.device) && c.error != ERROR_FILE_NOT_FOUND) continue;
    DWORD error = 0;
    std::string reason;
    EXPECT_FALSE(AddUserMapping(7, c.device, error, reason)) << c.device;
    EXPECT_EQ(error, c.error) << c.device;
    EXPECT_NE(reason.find(c.says), std::string::npos) << c.device << ": " << reason;
  }
  EXPECT_TRUE(Ports().empty());
}

// Another program holding the port in exclusive use does not stop a user from mapping it.
TEST_F(PortMapTest, PortInExclusiveUseCanBeMapped) {
  Pty pty;
  int held = open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(ioctl(held, TIOCEXCL), 0);
  auto map = [&] {
    DWORD error = 0;
    std::string reason;
    bool ok = AddUserMapping(7, pty.slave(), error, reason);
    if (!ok) std::fprintf(stderr, "%s\n", reason.c_str());
    return ok;
  };
  if (geteuid() != 0) {
    EXPECT_TRUE(map());
  } else {
    // Root ignores the exclusive mode: map as a plain user in a child.
    fs::permissions(dir_, fs::perms::all);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(setgid(65534) == 0 && setuid(65534) == 0 && map() ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  close(held);
}

// A store that cannot be written is reported with the file and the reason, never as success
// nor as a missing mapping.
TEST_F(PortMapTest, UnwritableStoreIsReportedWithTheFile) {
  auto pair = CreateNullModemPair("store");
  DWORD error = 0;
  ASSERT_TRUE(AddUserMapping(7, pair->PortName(NullModemPair::kA), error));
  fs::path file = RegStoreFile(RegRoot::User);
  for (const char* suffix : {".lock", ".tmp"}) {
    fs::path blocker = file.string() + suffix;
    fs::remove(blocker);
    fs::create_directory(blocker);  // a folder where the file must be: fails even for root
    std::string reason;
    EXPECT_FALSE(RemoveUserMapping(7, error, reason));
    EXPECT_EQ(error, ERROR_CANTWRITE);
    EXPECT_NE(reason.find("is a directory on " + blocker.string()), std::string::npos) << reason;
    EXPECT_FALSE(AddUserMapping(8, pair->PortName(NullModemPair::kB), error, reason));
    EXPECT_EQ(error, ERROR_CANTWRITE);
    EXPECT_NE(reason.find(blocker.string()), std::string::npos) << reason;
    EXPECT_EQ(ClaimComPort(0, pair->PortName(NullModemPair::kB), nullptr, error, reason), 0u);
    EXPECT_EQ(error, ERROR_CANTWRITE);
    EXPECT_NE(reason.find(blocker.string()), std::string::npos) << reason;
    EXPECT_EQ(Ports(), (std::map<unsigned, std::string>{{7, "virtual:store/a"}}));
    fs::remove(blocker);
  }
  std::string reason;
  EXPECT_TRUE(RemoveUserMapping(7, error, reason)) << reason;
  EXPECT_FALSE(RemoveUserMapping(7, error, reason));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reason, "COM7 has no mapping");
}

// A store folder that is a file is reported as such, not as "file exists".
TEST_F(PortMapTest, StoreFolderThatIsAFileIsSaidToBeOne) {
  const fs::path folder = RegStoreFolder();
  fs::remove_all(folder);
  fs::create_directories(folder.parent_path());
  std::ofstream(folder).put('x');
  auto pair = CreateNullModemPair("file");
  DWORD error = 0;
  std::string reason;
  EXPECT_FALSE(AddUserMapping(7, pair->PortName(NullModemPair::kA), error, reason));
  EXPECT_EQ(error, ERROR_CANTWRITE);
  EXPECT_EQ(reason, "the port map cannot be saved: " + folder.string() +
                        " is a file where a folder must be (move it away)");
  fs::remove(folder);
}

// Another program holding the store's lock is waited for a bounded time and then named; a
// termination signal ends the wait at once.
TEST_F(PortMapTest, HeldStoreLockIsWaitedForBrieflyAndItsHolderNamed) {
  auto pair = CreateNullModemPair("lock");
  DWORD error = 0;
  std::string reason;
  ASSERT_TRUE(AddUserMapping(7, pair->PortName(NullModemPair::kA), error, reason)) << reason;
  const std::string lock = RegStoreFile(RegRoot::User) + ".lock";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    const int fd = open(lock.c_str(), O_RDWR);
    flock(fd, LOCK_EX);
    (void)!write(ready[1], "x", 1);
    pause();
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  SetRegStoreLockWait(300);
  EXPECT_FALSE(RemoveUserMapping(7, error, reason));
  EXPECT_EQ(error, ERROR_CANTWRITE);
  EXPECT_NE(reason.find("(pid " + std::to_string(holder) + ") has held " + lock + " for over 300 ms"),
            std::string::npos) << reason;
  {
    SetRegStoreLockWait(600000);
    TSignalWatch watch({SIGTERM});
    raise(SIGTERM);
    EXPECT_FALSE(RemoveUserMapping(7, error, reason));
    EXPECT_EQ(reason, "the port map cannot be saved: a signal ended the wait for " + lock);
  }
  SetRegStoreLockWait(5000);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_TRUE(RemoveUserMapping(7, error, reason)) << reason;
}

// A simulator's mapping whose program has ended is gone, even when a new terminal has the
// same pseudo-terminal number; while it runs the mapping is there.
TEST_F(PortMapTest, MappingOfAnEndedSimulatorIsGone) {
  Pty pty;
  ASSERT_FALSE(pty.slave().empty());
  DWORD error = 0;
  std::string reason;
  ASSERT_TRUE(AddUserMapping(62, pty.slave(), error, reason)) << reason;
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  waitpid(ended, nullptr, 0);
  for (const pid_t pid : {getpid(), ended}) {
    ASSERT_EQ(RegStoreModify(RegRoot::User, [&](RegHive& hive, bool& changed) -> LONG {
                const std::string text = std::to_string(pid) + " " + pty.slave();
                std::vector<BYTE> data(text.begin(), text.end());
                data.push_back(0);
                hive.Create("Software\\qvcomm\\Simulators").values = {RegValue{"COM62", REG_SZ, data}};
                changed = true;
                return ERROR_SUCCESS;
              }),
              ERROR_SUCCESS);
    const bool running = pid == getpid();
    EXPECT_EQ(Ports().contains(62), running);
    std::string device;
    EXPECT_EQ(ResolveComPort(62, device, error), running);
  }
}

TEST(ComPortNumber, ParsesPortNames) {
  EXPECT_EQ(ComPortNumber("COM1"), 1u);
  EXPECT_EQ(ComPortNumber("com12"), 12u);
  EXPECT_EQ(ComPortNumber("\\\\?\\COM10"), 10u);
  EXPECT_EQ(ComPortNumber("\\\\.\\COM255"), 255u);
  EXPECT_EQ(ComPortNumber("COM"), 0u);
  EXPECT_EQ(ComPortNumber("COMA"), 0u);
  EXPECT_EQ(ComPortNumber("COM07"), 0u);
  EXPECT_EQ(ComPortNumber("COM256"), 0u);
  EXPECT_EQ(ComPortNumber("COM1:"), 0u);
  EXPECT_EQ(ComPortNumber("LPT1"), 0u);
}

// Every name is told apart by the table of device kinds, whatever its case.
TEST(DeviceKinds, NamesAreToldApartByTheirKind) {
  struct Case {
    const char* name;
    bool kind, wellFormed;
    const char* description;
  } cases[] = {
      {"/dev/ttyS0", true, true, ""},
      {"virtual:pair/a", true, true, ""},
      {"virtual:pair/c", true, false, ""},
      {"rfc2217://127.0.0.1:7000", true, true, "rfc2217://127.0.0.1:7000"},
      {"TCP://scanner:4001", true, true, "TCP://scanner:4001"},
      {"tcp://scanner", true, false, "tcp://scanner"},
      {"COM1", false, false, ""},
      {"dev/ttyS0", false, false, ""},
      {"telnet://h:23", false, false, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsDeviceName(c.name), c.kind) << c.name;
    EXPECT_EQ(IsWellFormedDeviceName(c.name), c.wellFormed) << c.name;
    EXPECT_EQ(DescribeDevice(c.name), c.description) << c.name;
  }
}

}  // namespace
