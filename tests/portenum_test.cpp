// The port list: SERIALCOMM order, names and uniqueness, the spooler source of the 95/98/Me
// platform, the ordered insert and bad port names.
#include "platform/rtl/exceptions.h"
#include "platform/serial/nullmodem.h"
#include "platform/system/portmap.h"
#include "platform/system/regstore.h"
#include "platform/system/version.h"
#include "platform/system/winreg.h"
#include "platform/system/winspool.h"
#include "platform/testhooks.h"
#include "ports/qvwin32.h"
#include "support/fake_sysfs.h"
#include "support/pty.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

using namespace qv::platform;

namespace {

constexpr const char* kSerialComm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

struct Entry {
  std::string text;
  int number;
  bool operator==(const Entry&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Entry& e) { return os << e.text << "#" << e.number; }

std::vector<Entry> Entries(const TStrings& list) {
  std::vector<Entry> out;
  for (int i = 0; i < list.Count(); ++i) out.push_back({list[i], int(list.ObjectInt(i))});
  return out;
}

class PortListTest : public ::testing::Test {
 protected:
  void SetUp() override { UsePlatform(VER_PLATFORM_WIN32_NT); }
  void TearDown() override {
    RegisterRegView(RegRoot::Machine, kSerialComm, SerialCommValues);
    SetSpoolerPorts(nullptr);
    InjectVersionInfo(nullptr);
  }
  void UsePlatform(DWORD id) {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
    v.dwMajorVersion = 5;
    v.dwMinorVersion = 1;
    v.dwPlatformId = id;
    InjectVersionInfo(&v);
  }
  // SERIALCOMM with these (value name, data) pairs, in this order.
  void SerialComm(std::vector<std::pair<std::string, std::string>> values) {
    RegisterRegView(RegRoot::Machine, kSerialComm, [values] {
      std::vector<RegValue> out;
      for (const auto& [name, data] : values) {
        RegValue v{name, REG_SZ, {data.begin(), data.end()}};
        v.data.push_back(0);
        out.push_back(std::move(v));
      }
      return out;
    });
  }

  qv::test::FakeSysfs tree_;
  TStringList list_;
};

TEST_F(PortListTest, RegistryEntriesAreOrderedByNumberNotText) {
  SerialComm({{"\\Device\\Serial9", "COM10"}, {"\\Device\\Serial1", "COM2"}, {"\\Device\\Serial0", "COM1"}});
  EnumSerialPorts(&list_, false);
  EXPECT_EQ(Entries(list_), (std::vector<Entry>{{"COM1", 1}, {"COM2", 2}, {"COM10", 10}}));
  EnumSerialPorts(&list_, true);
  EXPECT_EQ(Entries(list_), (std::vector<Entry>{{"COM1=\\Device\\Serial0", 1},
                                                {"COM2=\\Device\\Serial1", 2},
                                                {"COM10=\\Device\\Serial9", 10}}));
}

TEST_F(PortListTest, NamesAreUpperCasedAndOthersSkipped) {
  SerialComm({{"a", "com4"}, {"b", "CNCA0"}, {"c", "LPT1"}, {"d", "Com5"}});
  EnumSerialPorts(&list_, true);
  EXPECT_EQ(Entries(list_), (std::vector<Entry>{{"COM4=a", 4}, {"COM5=d", 5}}));
}

TEST_F(PortListTest, RepeatedPortKeepsTheFirstDeviceName) {
  SerialComm({{"\\Device\\First", "COM3"}, {"\\Device\\Second", "com3"}});
  EnumSerialPorts(&list_, true);
  EXPECT_EQ(Entries(list_), (std::vector<Entry>{{"COM3=\\Device\\First", 3}}));
  EnumSerialPorts(&list_, false);
  EXPECT_EQ(Entries(list_), (std::vector<Entry>{{"COM3", 3}}));
}

TEST_F(PortListTest, EqualNumbersKeepRegistryOrder) {
  SerialComm({{"x", "COM2"}, {"a", "COM1"}, {"b", "COM01"}});
  EnumSerialPorts(&list_, false);
  EXPECT_EQ(Entries(list_), (std::vector<Entry>{{"COM1", 1}, {"COM01", 1}, {"COM2", 2}}));
}

TEST_F(PortListTest, ListIsClearedFirst) {
  list_.AddObjectInt("COM99", 99);
  SerialComm({});
  EnumSerialPorts(&list_, false);
  EXPECT_EQ(list_.Count(), 0);
}

TEST_F(PortListTest, LongNamesAndDataAreReadAndAnUnreadableEntryIsSkipped) {
  SerialComm({{"a", "COM1"}, {std::string(300, 'n'), "COM2"}, {"c", "COM3" + std::string(300, '\0')}});
  EnumSerialPorts(&list_, false);
  EXPECT_EQ(Entries(list_), (std::vector<Entry>{{"COM1", 1}, {"COM2", 2}, {"COM3", 3}}));
  // A name longer than any the registry keeps cannot be read: the ports after it still are.
  SerialComm({{"a", "COM1"}, {std::string(20000, 'n'), "COM2"}, {"c", "COM3"}});
  EnumSerialPorts(&list_, false);
  EXPECT_EQ(Entries(list_), (std::vector<Entry>{{"COM1", 1}, {"COM3", 3}}));
}

TEST_F(PortListTest, PortNameWithoutNumberRaisesConversionErrorAndReleasesTheKey) {
  const std::vector<std::pair<std::string, std::string>> cases = {{"COMA", "'A' is not a valid integer value"},
                                                                  {"COM", "'' is not a valid integer value"},
                                                                  {"COM1X", "'1X' is not a valid integer value"}};
  for (const auto& [bad, message] : cases) {
    SerialComm({{"a", "COM2"}, {"b", bad}, {"c", "COM1"}});
    std::size_t handles = HandleCount();
    try {
      EnumSerialPorts(&list_, true);
      ADD_FAILURE() << bad << " was accepted";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), message);
    }
    EXPECT_EQ(HandleCount(), handles) << "key left open after " << bad;
    // What came before the bad name stays; nothing after it is read.
    EXPECT_EQ(Entries(list_), (std::vector<Entry>{{"COM2=a", 2}})) << bad;
  }
}

TEST_F(PortListTest, SpoolerSourceOnThe9xPlatform) {
  UsePlatform(VER_PLATFORM_WIN32_WINDOWS);
  SerialComm({{"a", "COM7"}});  // not used on this platform
  std::vector<std::string> names{"LPT1:", "COM2:", "FILE:", "COM1:", "com3:", "COM2:"};
  SetSpoolerPorts(&names);
  EnumSerialPorts(&list_, false);
  EXPECT_EQ(Entries(list_), (std::vector<Entry>{{"COM1", 1}, {"COM2", 2}}));
  EnumSerialPorts(&list_, true);
  EXPECT_EQ(Entries(list_), (std::vector<Entry>{{"COM1=", 1}, {"COM2=", 2}}));
}

TEST_F(PortListTest, SpoolerWithoutPortsOrWithABadName) {
  UsePlatform(VER_PLATFORM_WIN32_WINDOWS);
  EnumSerialPorts(&list_, false);
  EXPECT_EQ(list_.Count(), 0);
  std::vector<std::string> names{"COM4:", "COMX:", "COM1:"};
  SetSpoolerPorts(&names);
  EXPECT_THROW(EnumSerialPorts(&list_, false), EConvertError);
  EXPECT_EQ(Entries(list_), (std::vector<Entry>{{"COM4", 4}}));
}

TEST_F(PortListTest, EnumPortsReportsTheBufferItNeeds) {
  std::vector<std::string> names{"COM1:", "LPT1:"};
  SetSpoolerPorts(&names);
  DWORD needed = 0, returned = 0;
  EXPECT_FALSE(EnumPortsA(nullptr, 1, nullptr, 0, &needed, &returned));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(needed, 2 * sizeof(PORT_INFO_1A) + 6 + 6);
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(EnumPortsA(nullptr, 1, buffer.data(), needed, &needed, &returned));
  ASSERT_EQ(returned, 2u);
  auto* records = reinterpret_cast<PORT_INFO_1A*>(buffer.data());
  EXPECT_STREQ(records[0].pName, "COM1:");
  EXPECT_STREQ(records[1].pName, "LPT1:");
}

TEST(InsertPortByNumber, StableAscendingOrderWithoutRepeats) {
  TStringList list;
  InsertPortByNumber("COM5", 5, &list);
  InsertPortByNumber("COM2", 2, &list);
  InsertPortByNumber("COM05", 5, &list);
  InsertPortByNumber("COM9", 9, &list);
  InsertPortByNumber("com2", 2, &list);  // same text ignoring case
  InsertPortByNumber("COM3", 3, &list);
  EXPECT_EQ(Entries(list), (std::vector<Entry>{{"COM2", 2}, {"COM3", 3}, {"COM5", 5}, {"COM05", 5}, {"COM9", 9}}));
}

// The real view over the port map: board ports, an adapter and user mappings to virtual ports
// and pseudo-terminals.
TEST_F(PortListTest, SystemViewListsMappedAndDetectedPorts) {
  TearDown();  // the system's own SERIALCOMM
  UsePlatform(VER_PLATFORM_WIN32_NT);
  tree_.Device("pnp0/00:01", "serial", "pnp");
  tree_.Tty("ttyS1", "pnp0/00:01", "4");
  tree_.Device("platform/serial8250", "serial8250", "platform");
  tree_.Tty("ttyS0", "platform/serial8250", "4");
  tree_.Tty("ttyS3", "platform/serial8250", "0");  // no UART behind it
  auto pair = CreateNullModemPair("portenum");
  DWORD error = 0;
  ASSERT_TRUE(AddUserMapping(12, "virtual:portenum/a", error)) << error;
  ASSERT_TRUE(AddUserMapping(7, "virtual:portenum/b", error)) << error;
  EnumSerialPorts(&list_, true);
  EXPECT_EQ(Entries(list_), (std::vector<Entry>{{"COM1=" + tree_.Dev("ttyS0"), 1},
                                                {"COM2=" + tree_.Dev("ttyS1"), 2},
                                                {"COM7=virtual:portenum/b", 7},
                                                {"COM12=virtual:portenum/a", 12}}));
  ASSERT_TRUE(RemoveUserMapping(7));
  EnumSerialPorts(&list_, false);
  EXPECT_EQ(Entries(list_), (std::vector<Entry>{{"COM1", 1}, {"COM2", 2}, {"COM12", 12}}));
}

// A device path longer than the first buffer neither hides itself nor the ports after it.
TEST_F(PortListTest, LongDevicePathsDoNotEndTheList) {
  TearDown();  // the system's own SERIALCOMM
  UsePlatform(VER_PLATFORM_WIN32_NT);
  qv::test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  std::string deep = tree_.Dev("");
  while (deep.size() < 300) deep += "/a-folder-deep-in-the-tree";
  std::filesystem::create_directories(deep);
  std::string link = deep + "/port";
  std::filesystem::create_symlink(pty.slave(), link);
  auto pair = CreateNullModemPair("portenum-long");
  DWORD error = 0;
  ASSERT_TRUE(AddUserMapping(2, link, error)) << error;
  ASSERT_TRUE(AddUserMapping(20, pair->PortName(NullModemPair::kA), error)) << error;
  ASSERT_TRUE(AddUserMapping(21, pair->PortName(NullModemPair::kB), error)) << error;
  EnumSerialPorts(&list_, true);
  EXPECT_EQ(Entries(list_), (std::vector<Entry>{{"COM2=" + link, 2},
                                                {"COM20=virtual:portenum-long/a", 20},
                                                {"COM21=virtual:portenum-long/b", 21}}));
}

}  // namespace
