// The port map: user mappings, sysfs devices, numbering rules and the SERIALCOMM view.
#include "platform/portmap.h"
#include "platform/regstore.h"
#include "platform/winreg.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

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
    char tmpl[] = "/tmp/qv-portmap-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
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
    std::error_code ec;
    fs::remove_all(dir_, ec);
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

  fs::path dir_;
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

TEST_F(PortMapTest, VirtualNamesAreAcceptedAsGiven) {
  DWORD error = 0;
  ASSERT_TRUE(AddUserMapping(3, "virtual:pairA", error));
  ASSERT_TRUE(AddUserMapping(4, "virtual:pairB", error));
  std::string device;
  ASSERT_TRUE(ResolveComPort(4, device, error));
  EXPECT_EQ(device, "virtual:pairB");
  // Replacing a mapping keeps one entry per number.
  ASSERT_TRUE(AddUserMapping(4, "virtual:pairC", error));
  EXPECT_EQ(Ports(), (std::map<unsigned, std::string>{{3, "virtual:pairA"}, {4, "virtual:pairC"}}));
}

TEST_F(PortMapTest, InvalidMappingsAreRefusedAndLoseNothing) {
  DWORD error = 0;
  ASSERT_TRUE(AddUserMapping(2, "virtual:keep", error));
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
  EXPECT_EQ(Ports(), (std::map<unsigned, std::string>{{2, "virtual:keep"}}));
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

}  // namespace
