// qvwin32: port names, opening ports, the overlapped transfer helpers, cancelling, the two
// registry readers, the string-block joiner, the version texts and the foreground window.
#include "ports/qvwin32.h"

#include "platform/devices/dynlib.h"
#include "platform/rtl/wndmethod.h"
#include "platform/serial/winserial.h"
#include "platform/system/portmap.h"
#include "platform/system/version.h"
#include "platform/system/winreg.h"
#include "platform/testhooks.h"
#include "platform/win32/winbase.h"
#include "platform/win32/winuser.h"
#include "support/pty.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace qv::platform;

namespace {

// ---- Names and texts ---------------------------------------------------------------------------

TEST(ComPortNameTest, NumberFollowsCom) {
  EXPECT_EQ(ComPortName(1), "COM1");
  EXPECT_EQ(ComPortName(10), "COM10");
  EXPECT_EQ(ComPortName(12), "COM12");
  EXPECT_EQ(ComPortName(256), "COM256");
}

std::string Join(const std::string& block, const std::string& separator) {
  return MultiSzToText(block.data(), static_cast<DWORD>(block.size()), separator);
}

TEST(MultiSzToTextTest, JoinsWithoutATrailingSeparator) {
  EXPECT_EQ(Join(std::string("A\0B\0C\0\0", 7), ";"), "A;B;C");
  EXPECT_EQ(Join(std::string("one\0two\0\0", 9), ", "), "one, two");
  EXPECT_EQ(Join(std::string("X\0\0", 3), ";"), "X");
}

TEST(MultiSzToTextTest, EmptyBlocksAndEmptyStrings) {
  EXPECT_EQ(Join(std::string("\0\0", 2), ";"), "");
  EXPECT_EQ(Join(std::string("\0", 1), ";"), "");
  EXPECT_EQ(Join("", ";"), "");
  EXPECT_EQ(MultiSzToText(nullptr, 10, ";"), "");
  // An empty string inside the block gives two separators in a row.
  EXPECT_EQ(Join(std::string("A\0\0B\0\0", 6), ";"), "A;;B");
}

TEST(MultiSzToTextTest, OnlyTheGivenSizeIsRead) {
  // The final position is the block's closing NUL and is never looked at; a string that runs
  // into it is taken up to the size.
  EXPECT_EQ(MultiSzToText("AB\0CD", 4, ";"), "AB");
  EXPECT_EQ(MultiSzToText("A\0BC", 4, ";"), "A;B");
  EXPECT_EQ(MultiSzToText("ABCDEF", 4, ";"), "ABC");
}

// ---- Version texts -----------------------------------------------------------------------------

class VersionTextTest : public ::testing::Test {
 protected:
  void TearDown() override {
    InjectVersionInfo(nullptr);
    InjectSystemRelease(nullptr);
  }
  static void Windows(DWORD platformId, DWORD major, DWORD minor, DWORD build,
                      const char* servicePack) {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
    v.dwPlatformId = platformId;
    v.dwMajorVersion = major;
    v.dwMinorVersion = minor;
    v.dwBuildNumber = build;
    std::strncpy(v.szCSDVersion, servicePack, sizeof v.szCSDVersion - 1);
    InjectVersionInfo(&v);
  }
};

struct WindowsRow {
  DWORD platformId, major, minor, build;
  const char* servicePack;
  const char* expected;
};

TEST_F(VersionTextTest, WindowsNameTable) {
  constexpr DWORD NT = VER_PLATFORM_WIN32_NT;
  constexpr DWORD W9x = VER_PLATFORM_WIN32_WINDOWS;
  const WindowsRow rows[] = {
      {NT, 3, 51, 1057, "Service Pack 5", "Windows NT 3.51 [3.51.1057] Service Pack 5"},
      {W9x, 4, 10, 0x040A08AE, " A ", "Windows 98 [4.10.2222]  A "},
      {W9x, 4, 90, 0x045A0BB8, "", "Windows Me [4.90.3000] "},
      {NT, 4, 0, 1381, "Service Pack 6", "Windows NT 4 [4.0.1381] Service Pack 6"},
      {W9x, 4, 0, 0x040003B6, "", "Windows 95 [4.0.950] "},
      {NT, 4, 10, 1998, "", "Windows 98 [4.10.1998] "},  // the minor decides before the family
      {NT, 5, 0, 2195, "Service Pack 4", "Windows 2000 [5.0.2195] Service Pack 4"},
      {NT, 5, 1, 2600, "Service Pack 2", "Windows XP [5.1.2600] Service Pack 2"},
      {NT, 5, 2, 3790, "", "Windows 2003 [5.2.3790] "},
      {NT, 5, 3, 0, "", "Windows  [5.3.0] "},
      {NT, 6, 0, 6002, "Service Pack 2", "Windows Vista [6.0.6002] Service Pack 2"},
      {NT, 6, 1, 7601, "Service Pack 1", "Windows Longhorn [6.1.7601] Service Pack 1"},
      {NT, 6, 3, 9600, "", "Windows Longhorn [6.3.9600] "},
      {NT, 10, 0, 19045, "", "Windows  [10.0.19045] "},
  };
  for (const WindowsRow& row : rows) {
    Windows(row.platformId, row.major, row.minor, row.build, row.servicePack);
    EXPECT_EQ(GetVersionText("", ""), row.expected) << row.major << "." << row.minor;
    EXPECT_EQ(GetVersionText("", "%u"), row.expected) << "the format is not used";
  }
}

TEST_F(VersionTextTest, OnlyThe9xFamilyMasksTheBuildNumber) {
  Windows(VER_PLATFORM_WIN32_NT, 6, 1, 0x00011DB1, "");
  EXPECT_EQ(GetVersionText("", ""), "Windows Longhorn [6.1.73137] ");
}

TEST_F(VersionTextTest, LinuxTextFromTheSystemRelease) {
  SystemRelease r{"Linux", "6.1.0-18-amd64", "Debian GNU/Linux 12 (bookworm)"};
  InjectSystemRelease(&r);
  EXPECT_EQ(GetVersionText("", ""), "Linux 6.1.0-18-amd64 [Debian GNU/Linux 12 (bookworm)]");
  r.prettyName.clear();
  InjectSystemRelease(&r);
  EXPECT_EQ(GetVersionText("", ""), "Linux 6.1.0-18-amd64");
}

TEST_F(VersionTextTest, RunningSystemNamesItsKernelRelease) {
  std::string release;
  std::ifstream("/proc/sys/kernel/osrelease") >> release;
  ASSERT_FALSE(release.empty());
  const std::string text = GetVersionText("", "");
  EXPECT_EQ(text.rfind("Linux " + release, 0), 0u) << text;
  EXPECT_EQ(text.find("Windows"), std::string::npos);

  OSVERSIONINFOA v{};
  v.dwOSVersionInfoSize = sizeof v;
  ASSERT_TRUE(GetVersionExA(&v));
  EXPECT_EQ(v.dwPlatformId, VER_PLATFORM_LINUX);
  EXPECT_EQ(std::to_string(v.dwMajorVersion), release.substr(0, release.find('.')));
}

TEST(VersionValues, ReleaseNumbersAndWrongRecordSize) {
  DWORD major = 9, minor = 9, build = 9;
  ParseReleaseNumbers("6.1.0-18-amd64", major, minor, build);
  EXPECT_EQ(major, 6u);
  EXPECT_EQ(minor, 1u);
  EXPECT_EQ(build, 0u);
  ParseReleaseNumbers("5.15", major, minor, build);
  EXPECT_EQ(major, 5u);
  EXPECT_EQ(minor, 15u);
  EXPECT_EQ(build, 0u);
  ParseReleaseNumbers("6.8.12+deb12", major, minor, build);
  EXPECT_EQ(build, 12u);
  ParseReleaseNumbers("abc", major, minor, build);
  EXPECT_EQ(major + minor + build, 0u);

  OSVERSIONINFOA v{};
  v.dwOSVersionInfoSize = 12;
  EXPECT_FALSE(GetVersionExA(&v));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(GetVersionExA(nullptr));
}

TEST(VersionValues, OsReleasePrettyName) {
  EXPECT_EQ(ParseOsReleasePrettyName("NAME=\"Debian GNU/Linux\"\n"
                                     "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n"),
            "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(ParseOsReleasePrettyName("PRETTY_NAME='Arch Linux'\n"), "Arch Linux");
  EXPECT_EQ(ParseOsReleasePrettyName("PRETTY_NAME=Plain\r\n"), "Plain");
  EXPECT_EQ(ParseOsReleasePrettyName("PRETTY_NAME=\"Say \\\"hi\\\" \\\\ now\"\n"),
            "Say \"hi\" \\ now");
  EXPECT_EQ(ParseOsReleasePrettyName("# PRETTY_NAME=\"no\"\nNAME=x\n"), "");
  EXPECT_EQ(ParseOsReleasePrettyName(""), "");
}

class FileVersionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    RemoveFileVersionInfo("/opt/app/program.exe");
    RemoveFileVersionInfo("/opt/app/noinfo.exe");
  }
  static void Give(DWORD a, DWORD b, DWORD c, DWORD d) {
    VS_FIXEDFILEINFO fixed{};
    fixed.dwSignature = VS_FFI_SIGNATURE;
    fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
    fixed.dwFileVersionMS = (a << 16) | b;
    fixed.dwFileVersionLS = (c << 16) | d;
    fixed.dwProductVersionMS = 0x00090009;  // must not be mistaken for the file version
    InjectFileVersionInfo("/opt/app/program.exe", &fixed);
  }
};

TEST_F(FileVersionTest, DefaultAndGivenFormats) {
  Give(1, 2, 0, 7);
  EXPECT_EQ(GetVersionText("/opt/app/program.exe", ""), "1.2.0.7");
  Give(10, 65535, 300, 4);
  EXPECT_EQ(GetVersionText("/opt/app/program.exe", ""), "10.65535.300.4");
  EXPECT_EQ(GetVersionText("/opt/app/program.exe", "v%u.%u (build %u.%u)"),
            "v10.65535 (build 300.4)");
  EXPECT_EQ(GetVersionText("/opt/app/program.exe", "%u.%u"), "10.65535");
}

TEST_F(FileVersionTest, FormatsThatDoNotTakeFourNumbersGiveEmptyText) {
  Give(1, 2, 3, 4);
  EXPECT_EQ(GetVersionText("/opt/app/program.exe", "%s"), "");
  EXPECT_EQ(GetVersionText("/opt/app/program.exe", "%u.%u.%u.%u.%u"), "");
}

TEST_F(FileVersionTest, FilesWithoutVersionInformationGiveEmptyText) {
  InjectFileVersionInfo("/opt/app/noinfo.exe", nullptr);  // a block without the fixed record
  EXPECT_EQ(GetVersionText("/opt/app/noinfo.exe", ""), "");
  // Linux programs carry no version resource.
  EXPECT_EQ(GetVersionText("/bin/sh", ""), "");
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
  EXPECT_EQ(GetVersionText("/no/such/file", ""), "");
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// ---- Registry ----------------------------------------------------------------------------------

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qv-qvwin32-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
  }
  void TearDown() override {
    ReplaceBuiltinEntry("ntdll.dll", "ZwQueryKey", nullptr);
    HideBuiltinEntry("ntdll.dll", nullptr, false);
    HideBuiltinEntry("ntdll.dll", "ZwQueryKey", false);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  static HKEY Create(HKEY root, const char* path) {
    HKEY key = 0;
    EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
  }
  static void Set(HKEY root, const char* path, const char* name, DWORD type,
                  const std::string& data) {
    HKEY key = Create(root, path);
    EXPECT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  fs::path dir_;
};

TEST_F(RegistryTest, KeyPathBelowTheMachineRoot) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0403");
  HKEY root = 0;
  EXPECT_EQ(GetRegKeyPath(key, &root), "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0403");
  EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(GetRegKeyPath(key), "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0403");
  RegCloseKey(key);
}

TEST_F(RegistryTest, KeyPathBelowTheUsersRootLosesTheUserId) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\qvcomm\\Test");
  HKEY root = 0;
  EXPECT_EQ(GetRegKeyPath(key, &root), "Software\\qvcomm\\Test");
  EXPECT_EQ(root, HKEY_CURRENT_USER);
  EXPECT_EQ(GetRegKeyPath(key), "\\REGISTRY\\USER\\" + RegUserId() + "\\Software\\qvcomm\\Test");
  RegCloseKey(key);
  // The user's root itself has no path below it.
  root = 0;
  EXPECT_EQ(GetRegKeyPath(HKEY_CURRENT_USER, &root), "");
  EXPECT_EQ(root, HKEY_CURRENT_USER);
}

// Kernel names the registry store never produces, given by a stand-in key-name query.
std::u16string gFakeName;
NTSTATUS FakeZwQueryKey(HANDLE, ULONG infoClass, void* info, ULONG length, ULONG* resultLength) {
  if (infoClass != KeyNameInformation) return STATUS_INVALID_PARAMETER;
  const ULONG need = static_cast<ULONG>(4 + gFakeName.size() * 2);
  *resultLength = need;
  if (info == nullptr || length < need) return STATUS_BUFFER_TOO_SMALL;
  const ULONG bytes = need - 4;
  std::memcpy(info, &bytes, 4);
  std::memcpy(static_cast<char*>(info) + 4, gFakeName.data(), bytes);
  return STATUS_SUCCESS;
}

TEST_F(RegistryTest, OtherKernelNamesKeepTheFullPathAndRootZero) {
  ReplaceBuiltinEntry("ntdll.dll", "ZwQueryKey", reinterpret_cast<FARPROC>(&FakeZwQueryKey));
  HKEY root = 12345;
  gFakeName = u"\\REGISTRY\\A\\{9F2A}\\Drivers";
  EXPECT_EQ(GetRegKeyPath(42, &root), "\\REGISTRY\\A\\{9F2A}\\Drivers");
  EXPECT_EQ(root, 0u);
  // "\MACHINE\" elsewhere than right after \REGISTRY does not make a machine path.
  root = 12345;
  gFakeName = u"\\REGISTRY\\X\\MACHINE\\Y";
  EXPECT_EQ(GetRegKeyPath(42, &root), "\\REGISTRY\\X\\MACHINE\\Y");
  EXPECT_EQ(root, 0u);
  // Names outside ASCII come out as UTF-8.
  gFakeName = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Caf\u00e9";
  EXPECT_EQ(GetRegKeyPath(42, &root), "SOFTWARE\\Caf\xc3\xa9");
  EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
}

TEST_F(RegistryTest, KeyPathFailuresGiveEmptyTextAndLeaveTheRoot) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "SYSTEM\\Test");
  HKEY root = 777;
  EXPECT_EQ(GetRegKeyPath(INVALID_HANDLE_VALUE, &root), "");
  EXPECT_EQ(root, 777u);

  HideBuiltinEntry("ntdll.dll", nullptr, true);
  EXPECT_EQ(GetRegKeyPath(key, &root), "");
  EXPECT_EQ(root, 777u);
  HideBuiltinEntry("ntdll.dll", nullptr, false);

  HideBuiltinEntry("ntdll.dll", "ZwQueryKey", true);
  EXPECT_EQ(GetRegKeyPath(key, &root), "");
  EXPECT_EQ(root, 777u);
  HideBuiltinEntry("ntdll.dll", "ZwQueryKey", false);

  EXPECT_EQ(GetRegKeyPath(key, &root), "SYSTEM\\Test");
  RegCloseKey(key);
  root = 777;
  EXPECT_EQ(GetRegKeyPath(key, &root), "");  // a closed key
  EXPECT_EQ(root, 777u);
}

TEST_F(RegistryTest, ReadRegStringReturnsTheBytesLessOneNul) {
  Set(HKEY_LOCAL_MACHINE, "HARDWARE\\Dev\\1", "PortName", REG_SZ, std::string("COM3\0", 5));
  const std::string port = ReadRegString(HKEY_LOCAL_MACHINE, "HARDWARE\\Dev\\1", "PortName");
  EXPECT_EQ(port, "COM3");
  EXPECT_EQ(port.size(), 4u);
  // The type is not looked at: binary data without a NUL, a DWORD, a multi-string.
  Set(HKEY_LOCAL_MACHINE, "HARDWARE\\Dev\\1", "Raw", REG_BINARY, "AB");
  EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, "HARDWARE\\Dev\\1", "Raw"), "AB");
  Set(HKEY_LOCAL_MACHINE, "HARDWARE\\Dev\\1", "Num", REG_DWORD, std::string("\x2a\0\0\0", 4));
  EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, "HARDWARE\\Dev\\1", "Num"),
            std::string("\x2a\0\0", 3));
  Set(HKEY_LOCAL_MACHINE, "HARDWARE\\Dev\\1", "List", REG_MULTI_SZ, std::string("a\0b\0\0", 5));
  EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, "HARDWARE\\Dev\\1", "List"),
            std::string("a\0b\0", 4));
  Set(HKEY_CURRENT_USER, "Software\\T", "Empty", REG_SZ, std::string("\0", 1));
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, "Software\\T", "Empty"), "");
  Set(HKEY_CURRENT_USER, "Software\\T", "Spaces", REG_SZ, std::string("  x  \0", 6));
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, "Software\\T", "Spaces"), "  x  ");
}

TEST_F(RegistryTest, ReadRegStringOfMissingKeyOrValueIsEmpty) {
  Set(HKEY_LOCAL_MACHINE, "HARDWARE\\Dev\\1", "PortName", REG_SZ, std::string("COM3\0", 5));
  EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, "HARDWARE\\Dev\\1", "Missing"), "");
  EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, "HARDWARE\\Dev\\2", "PortName"), "");
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, "HARDWARE\\Dev\\1", "PortName"), "");
}

// ---- Ports and transfers -----------------------------------------------------------------------

// The COM port under test is a pseudo-terminal slave; the test plays the device on the master.
class PortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qv-qvwin32-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    // No real ports: only the mapping made here exists.
    fs::create_directories(dir_ / "sys" / "class" / "tty");
    fs::create_directories(dir_ / "dev");
    SetSysfsRoot((dir_ / "sys").string());
    SetDevRoot((dir_ / "dev").string());
    ASSERT_FALSE(pty_.slave().empty());
    DWORD error = 0;
    ASSERT_TRUE(AddUserMapping(10, pty_.slave(), error)) << error;
    event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
    CloseHandle(event_);
    HideBuiltinEntry("kernel32.dll", nullptr, false);
    HideBuiltinEntry("kernel32.dll", "CancelIo", false);
    SetSysfsRoot("/sys");
    SetDevRoot("/dev");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void Open() {
    port_ = OpenComPort(10);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
  }
  OVERLAPPED Record() const {
    OVERLAPPED o{};
    o.hEvent = event_;
    return o;
  }

  fs::path dir_;
  qv::test::PtyPair pty_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
  HANDLE event_ = 0;
};

TEST_F(PortTest, OpenComPortOpensTheMappedDevice) {
  Open();
  OVERLAPPED o = Record();
  ASSERT_TRUE(WriteAndWait(port_, "ping", 4, o));
  EXPECT_EQ(pty_.Read(4, 10000), "ping");
}

TEST_F(PortTest, OpeningAMissingPortGivesTheInvalidHandle) {
  SetLastError(0);
  EXPECT_EQ(OpenComPort(11), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(PortTest, PortIsNotShared) {
  Open();
  SetLastError(0);
  EXPECT_EQ(OpenComPort(10), INVALID_HANDLE_VALUE);
  EXPECT_NE(GetLastError(), ERROR_SUCCESS);
}

TEST_F(PortTest, WriteCompletingAtOnceAndTheRecordKeepsItsEvent) {
  Open();
  OVERLAPPED o = Record();
  o.Internal = 0xDEAD;
  o.Offset = 5;
  o.OffsetHigh = 6;
  EXPECT_TRUE(WriteAndWait(port_, "abc", 3, o));
  EXPECT_EQ(o.hEvent, event_);
  EXPECT_EQ(o.Offset, 0u);
  EXPECT_EQ(o.OffsetHigh, 0u);
  EXPECT_TRUE(WriteNoWait(port_, "de", 2, o));
  EXPECT_EQ(o.hEvent, event_);
  EXPECT_EQ(pty_.Read(5, 10000), "abcde");
  // The same record again, for a read.
  ASSERT_EQ(pty_.Write("xy"), sizeof "xy" - 1);
  char in[2] = {};
  EXPECT_TRUE(ReadAndWait(port_, in, 2, o));
  EXPECT_EQ(std::string(in, 2), "xy");
  EXPECT_EQ(o.hEvent, event_);
}

// Bytes that fill the terminal's buffers so a write has to wait for the reader.
std::string Bulk(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

TEST_F(PortTest, PendingWriteCompletesBeforeWriteAndWaitReturns) {
  Open();
  const std::string data = Bulk(256 * 1024);
  std::string received;
  std::thread reader([&] {
    Sleep(100);  // let the writer find the buffers full
    received = pty_.Read(data.size(), 10000);
  });
  OVERLAPPED o = Record();
  EXPECT_TRUE(WriteAndWait(port_, data.data(), static_cast<DWORD>(data.size()), o));
  reader.join();
  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);
  EXPECT_EQ(o.hEvent, event_);
}

TEST_F(PortTest, PendingWriteNoWaitReturnsAtOnceAndGoesOn) {
  Open();
  const std::string data = Bulk(256 * 1024);
  OVERLAPPED o = Record();
  SetLastError(0);
  ASSERT_TRUE(WriteNoWait(port_, data.data(), static_cast<DWORD>(data.size()), o));
  const bool pending = GetLastError() == ERROR_IO_PENDING;
  EXPECT_TRUE(pending) << "a block this large cannot fit the terminal's buffers";
  std::string received;
  std::thread reader([&] { received = pty_.Read(data.size(), 10000); });
  DWORD written = 0;
  EXPECT_TRUE(GetOverlappedResult(port_, &o, &written, TRUE));
  EXPECT_EQ(written, data.size());
  reader.join();
  EXPECT_TRUE(received == data);
}

TEST_F(PortTest, PendingReadCompletesWhenTheDeviceSends) {
  Open();
  std::thread device([&] {
    Sleep(100);
    ASSERT_EQ(pty_.Write("12"), sizeof "12" - 1);
    Sleep(50);
    ASSERT_EQ(pty_.Write("345"), sizeof "345" - 1);
  });
  char in[5] = {};
  OVERLAPPED o = Record();
  EXPECT_TRUE(ReadAndWait(port_, in, 5, o));
  device.join();
  EXPECT_EQ(std::string(in, 5), "12345");
}

TEST_F(PortTest, TransferFailingWithAnotherErrorIsFalse) {
  Open();
  CloseHandle(port_);
  const HANDLE closed = port_;
  port_ = INVALID_HANDLE_VALUE;
  OVERLAPPED o = Record();
  char in[4];
  EXPECT_FALSE(WriteAndWait(closed, "x", 1, o));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(WriteNoWait(closed, "x", 1, o));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ReadAndWait(closed, in, 4, o));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  DWORD transferred = 0, error = 0;
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(WaitOverlapped(closed, o, transferred, error));
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
}

TEST_F(PortTest, PendingTransferThatFailsGivesTheCompletionError) {
  Open();
  char in[8] = {};
  OVERLAPPED o = Record();
  ASSERT_FALSE(ReadFile(port_, in, sizeof in, nullptr, &o));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  std::thread hangUp([&] {
    Sleep(100);
    pty_.CloseMaster();  // the device goes away while the read waits
  });
  DWORD transferred = 0, error = 0;
  EXPECT_FALSE(WaitOverlapped(port_, o, transferred, error));
  hangUp.join();
  EXPECT_NE(error, ERROR_IO_PENDING);
  EXPECT_NE(error, ERROR_SUCCESS);
  EXPECT_EQ(error, GetLastError());
}

TEST_F(PortTest, CancelPendingIoEndsAPendingRead) {
  Open();
  char in[8] = {};
  OVERLAPPED o = Record();
  ASSERT_FALSE(ReadFile(port_, in, sizeof in, nullptr, &o));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_TRUE(CancelPendingIo(port_));
  DWORD transferred = 0;
  EXPECT_FALSE(GetOverlappedResult(port_, &o, &transferred, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(PortTest, CancelPendingIoIsFalseWhenCancelIoIsAbsentOrFails) {
  Open();
  EXPECT_TRUE(CancelPendingIo(port_));  // nothing pending: still succeeds
  HideBuiltinEntry("kernel32.dll", "CancelIo", true);
  EXPECT_FALSE(CancelPendingIo(port_));
  HideBuiltinEntry("kernel32.dll", "CancelIo", false);
  HideBuiltinEntry("kernel32.dll", nullptr, true);
  EXPECT_FALSE(CancelPendingIo(port_));
  HideBuiltinEntry("kernel32.dll", nullptr, false);
  EXPECT_FALSE(CancelPendingIo(INVALID_HANDLE_VALUE));
}

// ---- Windows -----------------------------------------------------------------------------------

TEST(ForegroundWindowTest, FollowsTheSystemsForegroundWindow) {
  const HWND before = GetForegroundWindow();
  EXPECT_EQ(ForegroundWindow(), before);
  HWND window = AllocateHWnd(TWndMethod());
  ASSERT_NE(window, 0u);
  SetForegroundWindow(window);
  EXPECT_EQ(ForegroundWindow(), window);
  DeallocateHWnd(window);
  EXPECT_NE(ForegroundWindow(), window);
}

}  // namespace
