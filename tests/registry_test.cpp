// The registry API over the per-user store: types, buffers, names, persistence, damaged files,
// concurrent writers and writers killed mid-write.
#include "platform/system/regstore.h"
#include "platform/system/winreg.h"
#include "platform/testhooks.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace qv::platform;

namespace {

const BYTE* Bytes(const char* s) { return reinterpret_cast<const BYTE*>(s); }

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qv-registry-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    handlesBefore_ = HandleCount();
  }
  void TearDown() override {
    EXPECT_EQ(HandleCount(), handlesBefore_) << "a key handle was left open";
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  HKEY Create(HKEY root, const char* path) {
    HKEY key = 0;
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    return key;
  }
  std::vector<BYTE> Query(HKEY key, const char* name, DWORD* type = nullptr) {
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, name, nullptr, type, nullptr, &size), ERROR_SUCCESS);
    std::vector<BYTE> data(size);
    EXPECT_EQ(RegQueryValueExA(key, name, nullptr, type, data.data(), &size), ERROR_SUCCESS);
    data.resize(size);
    return data;
  }
  std::string FileText(const char* name) {
    std::ifstream in(dir_ / "qvcomm" / name);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::vector<fs::path> Damaged(const char* name) {
    std::vector<fs::path> out;
    for (auto& e : fs::directory_iterator(dir_ / "qvcomm"))
      if (e.path().filename().string().rfind(std::string(name) + ".damaged-", 0) == 0)
        out.push_back(e.path());
    return out;
  }

  fs::path dir_;
  std::size_t handlesBefore_ = 0;
};

TEST_F(RegistryTest, EveryTypeRoundTripsByteForByte) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\qvcomm\\Test");
  std::vector<BYTE> blob(49);
  for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = BYTE(i * 37 + 1);
  blob[3] = 0;
  blob[4] = '\n';
  blob[5] = '"';
  blob[6] = 0xFF;
  DWORD number = 0xDEADBEEF;
  const char multi[] = "one\0two\0three\0";  // + the array's NUL: the final terminator
  const char expand[] = "%HOME%\\x \"q\"\t";
  const char odd[] = {'a', 'b'};  // a REG_SZ without terminator is kept as given
  ASSERT_EQ(RegSetValueExA(key, "Bin", 0, REG_BINARY, blob.data(), DWORD(blob.size())),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Num", 0, REG_DWORD, reinterpret_cast<BYTE*>(&number), 4),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Text", 0, REG_SZ, Bytes("COM3\xC3\xA9"), 7), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Multi", 0, REG_MULTI_SZ, Bytes(multi), sizeof multi),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Expand", 0, REG_EXPAND_SZ, Bytes(expand), sizeof expand),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Odd", 0, REG_SZ, Bytes(odd), 2), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, Bytes("default"), 8), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  // Read back through a fresh load of the file (a new cache entry is forced by a new path).
  for (int round = 0; round < 2; ++round) {
    HKEY k = 0;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\qvcomm\\Test", 0, KEY_READ, &k),
              ERROR_SUCCESS);
    DWORD type = 0;
    EXPECT_EQ(Query(k, "Bin", &type), blob);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(Query(k, "Num", &type), (std::vector<BYTE>{0xEF, 0xBE, 0xAD, 0xDE}));
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(Query(k, "Text", &type), std::vector<BYTE>(Bytes("COM3\xC3\xA9"), Bytes("COM3\xC3\xA9") + 7));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(Query(k, "Multi", &type), std::vector<BYTE>(Bytes(multi), Bytes(multi) + sizeof multi));
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(Query(k, "Expand", &type), std::vector<BYTE>(Bytes(expand), Bytes(expand) + sizeof expand));
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(Query(k, "Odd", &type), (std::vector<BYTE>{'a', 'b'}));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(Query(k, "Empty", &type), std::vector<BYTE>{});
    EXPECT_EQ(Query(k, "", &type), std::vector<BYTE>(Bytes("default"), Bytes("default") + 8));
    RegCloseKey(k);
    // Parse the text again from scratch: what a second program would see.
    std::string text = FileText("user.reg");
    RegHive hive;
    std::size_t line = 0;
    std::string why;
    ASSERT_TRUE(RegHive::Parse(text, hive, line, why)) << line << ": " << why;
    ASSERT_NE(hive.Find("software\\qvcomm\\test"), nullptr);
    EXPECT_EQ(hive.Find("software\\qvcomm\\test")->FindValue("bin")->data, blob);
    EXPECT_EQ(hive.Serialize("HKEY_CURRENT_USER"), text) << "serialising is not stable";
    // The text is readable: the forms documented in the header.
    EXPECT_NE(text.find("[Software\\qvcomm\\Test]"), std::string::npos);
    EXPECT_NE(text.find("\"Num\"=dword:deadbeef"), std::string::npos);
    EXPECT_NE(text.find("\"Multi\"=multi:\"one\",\"two\",\"three\""), std::string::npos);
    EXPECT_NE(text.find("\"Odd\"=hex(1):61,62"), std::string::npos);
    EXPECT_NE(text.find("@=sz:\"default\""), std::string::npos);
  }
}

TEST_F(RegistryTest, QueryReportsSizeFirstAndMoreDataForSmallBuffers) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\qvcomm");
  std::vector<BYTE> blob(49, 0x5A);
  ASSERT_EQ(RegSetValueExA(key, "Config", 0, REG_BINARY, blob.data(), 49), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Config", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 49u);
  EXPECT_EQ(type, REG_BINARY);
  std::vector<BYTE> small(48, 0);
  size = 48;
  EXPECT_EQ(RegQueryValueExA(key, "Config", nullptr, &type, small.data(), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 49u);
  EXPECT_EQ(small, std::vector<BYTE>(48, 0)) << "a failed query wrote into the buffer";
  // Value type is reported; a caller expecting binary data sees it is text.
  ASSERT_EQ(RegSetValueExA(key, "Config", 0, REG_SZ, Bytes("COM3"), 5), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key, "Config", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  BYTE b[4];
  EXPECT_EQ(RegQueryValueExA(key, "Config", nullptr, nullptr, b, nullptr), ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
}

TEST_F(RegistryTest, EnumerationKeepsOrderAndStopsOnLongNamesOrData) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "Enum\\Test");
  std::string longName(260, 'n');  // needs 261 bytes with its NUL
  std::string longData(259, 'd');  // 260 bytes with its NUL: fits exactly
  std::string tooLong(260, 'd');
  ASSERT_EQ(RegSetValueExA(key, "b", 0, REG_SZ, Bytes("COM2"), 5), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "a", 0, REG_SZ, Bytes(longData.c_str()), 260), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "c", 0, REG_SZ, Bytes(tooLong.c_str()), 261), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, longName.c_str(), 0, REG_SZ, Bytes("x"), 2), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "B", 0, REG_SZ, Bytes("COM9"), 5), ERROR_SUCCESS);  // replaces b

  char name[260];
  BYTE data[260];
  auto enumAt = [&](DWORD i, DWORD& nameLen, DWORD& dataLen) {
    nameLen = sizeof name;
    dataLen = sizeof data;
    return RegEnumValueA(key, i, name, &nameLen, nullptr, nullptr, data, &dataLen);
  };
  DWORD nameLen, dataLen;
  ASSERT_EQ(enumAt(0, nameLen, dataLen), ERROR_SUCCESS);
  EXPECT_STREQ(name, "b");  // first spelling kept, data replaced in place
  EXPECT_EQ(nameLen, 1u);
  EXPECT_STREQ(reinterpret_cast<char*>(data), "COM9");
  EXPECT_EQ(dataLen, 5u);
  ASSERT_EQ(enumAt(1, nameLen, dataLen), ERROR_SUCCESS);
  EXPECT_STREQ(name, "a");
  EXPECT_EQ(dataLen, 260u);
  EXPECT_EQ(enumAt(2, nameLen, dataLen), ERROR_MORE_DATA);
  EXPECT_EQ(dataLen, 261u);
  EXPECT_EQ(enumAt(3, nameLen, dataLen), ERROR_MORE_DATA);
  EXPECT_EQ(enumAt(4, nameLen, dataLen), ERROR_NO_MORE_ITEMS);
  // Without a data buffer only the size is reported.
  nameLen = sizeof name;
  dataLen = 0;
  DWORD type = 0;
  EXPECT_EQ(RegEnumValueA(key, 2, name, &nameLen, nullptr, &type, nullptr, &dataLen),
            ERROR_SUCCESS);
  EXPECT_EQ(dataLen, 261u);
  EXPECT_EQ(type, REG_SZ);
  RegCloseKey(key);
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndKeepTheirSpelling) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\MixedCase\\Key");
  ASSERT_EQ(RegSetValueExA(key, "PortName", 0, REG_SZ, Bytes("COM1"), 5), ERROR_SUCCESS);
  RegCloseKey(key);
  HKEY k = 0;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\mixedcase\\KEY", 0, KEY_READ, &k),
            ERROR_SUCCESS);
  EXPECT_EQ(Query(k, "portname"), std::vector<BYTE>(Bytes("COM1"), Bytes("COM1") + 5));
  std::u16string expected = u"\\REGISTRY\\USER\\";
  for (char c : RegUserId()) expected += char16_t(c);
  expected += u"\\Software\\MixedCase\\Key";
  EXPECT_EQ(RegKeyKernelName(k), expected);
  RegCloseKey(k);
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "software\\MIXEDCASE\\key\\Sub", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &k, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
  EXPECT_NE(FileText("user.reg").find("[Software\\MixedCase\\Key\\Sub]"), std::string::npos);
  RegCloseKey(k);
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\MixedCase", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &k, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(RegKeyKernelName(k).substr(0, 18), u"\\REGISTRY\\USER\\S-1");
  RegCloseKey(k);
}

TEST_F(RegistryTest, MissingKeysValuesAndBadHandles) {
  HKEY k = 0;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Nothing", 0, KEY_READ, &k),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", 0, KEY_READ, &k),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "a\\\\b", 0, KEY_READ, &k), ERROR_INVALID_NAME);
  EXPECT_EQ(RegCloseKey(0x1234), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExA(0x1234, "x", nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_HANDLE);
  EXPECT_TRUE(RegKeyKernelName(0x1234).empty());
  // An event handle is not a key: RegCloseKey must not close it.
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(RegCloseKey(e), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(e));

  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Del");
  EXPECT_EQ(RegDeleteValueA(key, "none"), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegSetValueExA(key, "v", 0, REG_SZ, Bytes("1"), 2), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "V"), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  HKEY sub = Create(key, "Child");
  RegCloseKey(sub);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Del"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(key, "child"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(key, "child"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Del"), ERROR_SUCCESS);
  // The open handle outlives its key.
  EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_SZ, Bytes("1"), 2), ERROR_KEY_DELETED);
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, AccessAndBadValuesAreRefused) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Acc");
  RegCloseKey(key);
  HKEY ro = 0;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Acc", 0, KEY_READ, &ro), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(ro, "v", 0, REG_SZ, Bytes("1"), 2), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(ro, "v"), ERROR_ACCESS_DENIED);
  RegCloseKey(ro);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Acc", 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  DWORD n = 1;
  EXPECT_EQ(RegSetValueExA(key, "d", 0, REG_DWORD, reinterpret_cast<BYTE*>(&n), 3),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExA(key, "d", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(key, "d", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegFlushKey(key), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(RegistryTest, EachWriteIsOnDiskAndOtherWritersAreSeen) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Live");
  ASSERT_EQ(RegSetValueExA(key, "a", 0, REG_SZ, Bytes("1"), 2), ERROR_SUCCESS);
  EXPECT_NE(FileText("user.reg").find("\"a\"=sz:\"1\""), std::string::npos);
  // Another program rewrites the file; the open key sees its contents.
  pid_t pid = fork();
  if (pid == 0) {
    HKEY k = 0;
    int rc = RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Live", 0, KEY_ALL_ACCESS, &k) ||
             RegSetValueExA(k, "b", 0, REG_SZ, Bytes("2"), 2);
    _exit(rc);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Query(key, "b"), (std::vector<BYTE>{'2', 0}));
  EXPECT_EQ(Query(key, "a"), (std::vector<BYTE>{'1', 0}));
  // The machine root is its own file.
  HKEY m = Create(HKEY_LOCAL_MACHINE, "Software\\Live");
  ASSERT_EQ(RegSetValueExA(m, "c", 0, REG_SZ, Bytes("3"), 2), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key, "c", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  EXPECT_NE(FileText("machine.reg").find("\"c\"=sz:\"3\""), std::string::npos);
  std::u16string kernel = RegKeyKernelName(m);
  EXPECT_EQ(kernel, u"\\REGISTRY\\MACHINE\\Software\\Live");
  RegCloseKey(m);
  RegCloseKey(key);
}

TEST_F(RegistryTest, DamagedFileIsKeptAsideAndReported) {
  fs::create_directories(dir_ / "qvcomm");
  const std::string bad =
      "[Software\\qvcomm]\n\"Good\"=sz:\"kept in the copy\"\n\"Bad\"=dword:zz\n";
  std::ofstream(dir_ / "qvcomm" / "user.reg") << bad;
  testing::internal::CaptureStderr();
  HKEY k = 0;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\qvcomm", 0, KEY_READ, &k),
            ERROR_REGISTRY_CORRUPT);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find((dir_ / "qvcomm" / "user.reg").string()), std::string::npos) << err;
  EXPECT_NE(err.find("line 3"), std::string::npos) << err;
  auto aside = Damaged("user.reg");
  ASSERT_EQ(aside.size(), 1u);
  std::ifstream in(aside[0]);
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_EQ(ss.str(), bad);
  // The store goes on empty; the next write succeeds and the copy stays.
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\qvcomm", 0, KEY_READ, &k),
            ERROR_FILE_NOT_FOUND);
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\qvcomm");
  EXPECT_EQ(RegSetValueExA(key, "New", 0, REG_SZ, Bytes("x"), 2), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(Damaged("user.reg").size(), 1u);
}

TEST_F(RegistryTest, ByteOrderMarkOfAnEditorIsSkipped) {
  fs::create_directories(dir_ / "qvcomm");
  std::ofstream(dir_ / "qvcomm" / "user.reg") << "\xEF\xBB\xBF[Software\\qvcomm\\PortMap]\n"
                                                 "\"COM7\"=sz:\"/dev/pts/3\"\n";
  HKEY key = 0;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\qvcomm\\PortMap", 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(Query(key, "COM7"), (std::vector<BYTE>{'/', 'd', 'e', 'v', '/', 'p', 't', 's', '/', '3', 0}));
  ASSERT_EQ(RegSetValueExA(key, "COM8", 0, REG_SZ, Bytes("x"), 2), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_TRUE(Damaged("user.reg").empty());
  EXPECT_EQ(FileText("user.reg").rfind("\xEF\xBB\xBF", 0), std::string::npos) << "not written back";
}

TEST_F(RegistryTest, WriteToDamagedFileFailsAndKeepsIt) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "Software\\X");
  fs::create_directories(dir_ / "qvcomm");
  {
    std::ofstream out(dir_ / "qvcomm" / "machine.reg");
    out << "\"value before any key\"=sz:\"x\"\n";
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_SZ, Bytes("1"), 2), ERROR_REGISTRY_CORRUPT);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(Damaged("machine.reg").size(), 1u);
  RegCloseKey(key);
}

TEST(RegHiveParse, ReportsTheFirstFaultWithItsLine) {
  struct Case {
    const char* text;
    std::size_t line;
  };
  const Case cases[] = {
      {"[a]\n\"x\"=sz:\"unterminated\n", 2},
      {"; c\n\n[a\n", 3},
      {"[a]\n\"x\"=hex:1,02\n", 2},
      {"[a]\n\"x\"=hex(zz):01\n", 2},
      {"[a]\n\"x\"=text\n", 2},
      {"[a]\n\"x\"=sz:\"1\"\n\"X\"=sz:\"2\"\n", 3},
      {"[a\\\\b]\n", 1},
      {"[a]\nx=sz:\"1\"\n", 2},
      {"[a]\n\"x\"=sz:\"bad \\q escape\"\n", 2},
      {"[a]\n\"x\"=dword:123456789\n", 2},
      {"[a]\n\"x\"=multi:\"a\",\"\"\n", 2},
      // The same name twice in one key, also when the key is opened again further down.
      {"[a]\n\"x\"=sz:\"1\"\n[b]\n[A]\n\"y\"=sz:\"2\"\n\"X\"=sz:\"3\"\n", 6},
      {"\xEF\xBB\xBF\"x\"=sz:\"a value before any key, after the mark\"\n", 1},
  };
  for (const Case& c : cases) {
    RegHive hive;
    std::size_t line = 0;
    std::string why;
    EXPECT_FALSE(RegHive::Parse(c.text, hive, line, why)) << c.text;
    EXPECT_EQ(line, c.line) << c.text;
    EXPECT_FALSE(why.empty());
  }
  // Hand-written files: comments, CRLF, blanks around '=', missing parents, hex(N).
  RegHive hive;
  std::size_t line = 0;
  std::string why;
  ASSERT_TRUE(RegHive::Parse("# hand made\r\n[A\\B]\r\n  \"v\" = dword:2a \r\n\"n\"=hex(0):\r\n"
                             "\"m\"=multi:\r\n",
                             hive, line, why))
      << why;
  ASSERT_NE(hive.Find("a"), nullptr);
  const RegKeyNode* node = hive.Find("a\\b");
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->FindValue("V")->data, (std::vector<BYTE>{0x2a, 0, 0, 0}));
  EXPECT_EQ(node->FindValue("n")->type, REG_NONE);
  EXPECT_EQ(node->FindValue("m")->data, (std::vector<BYTE>{0}));
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
  constexpr int kChildren = 4;
  constexpr int kValues = 25;
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Race");
  RegCloseKey(key);
  std::vector<pid_t> pids;
  for (int c = 0; c < kChildren; ++c) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      HKEY k = 0;
      if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Race", 0, KEY_ALL_ACCESS, &k)) _exit(2);
      for (int i = 0; i < kValues; ++i) {
        std::string name = "c" + std::to_string(c) + "v" + std::to_string(i);
        DWORD data = DWORD(c * 1000 + i);
        if (RegSetValueExA(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&data), 4))
          _exit(1);
      }
      _exit(0);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Race", 0, KEY_READ, &key), ERROR_SUCCESS);
  for (int c = 0; c < kChildren; ++c) {
    for (int i = 0; i < kValues; ++i) {
      std::string name = "c" + std::to_string(c) + "v" + std::to_string(i);
      DWORD data = 0, size = 4;
      ASSERT_EQ(RegQueryValueExA(key, name.c_str(), nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(&data), &size),
                ERROR_SUCCESS)
          << name;
      EXPECT_EQ(data, DWORD(c * 1000 + i));
    }
  }
  RegCloseKey(key);
}

TEST_F(RegistryTest, ThreadsWritingAndReadingAtOnceLoseNothing) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Threads");
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        std::string name = "t" + std::to_string(t) + "v" + std::to_string(i);
        DWORD data = DWORD(t * 100 + i), size = 4;
        if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&data), 4))
          ++failures;
        DWORD back = 0;
        if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&back),
                             &size) ||
            back != data)
          ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  char name[64];
  DWORD count = 0, nameLen = sizeof name;
  while (RegEnumValueA(key, count, name, &nameLen, nullptr, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS) {
    ++count;
    nameLen = sizeof name;
  }
  EXPECT_EQ(count, 60u);
  RegCloseKey(key);
}

TEST_F(RegistryTest, WriterKilledBeforeReplacingLeavesTheOldFile) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Crash");
  ASSERT_EQ(RegSetValueExA(key, "old", 0, REG_SZ, Bytes("1"), 2), ERROR_SUCCESS);
  RegCloseKey(key);
  int pipeFd[2];
  ASSERT_EQ(pipe(pipeFd), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(pipeFd[0]);
    // Stop between the complete temporary file and the rename, and let the parent kill us.
    SetRegStoreWriteHook([fd = pipeFd[1]] {
      char c = 'w';
      if (write(fd, &c, 1) != 1) _exit(3);
      pause();
    });
    HKEY k = 0;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Crash", 0, KEY_ALL_ACCESS, &k)) _exit(2);
    RegSetValueExA(k, "new", 0, REG_SZ, Bytes("2"), 2);
    _exit(0);
  }
  close(pipeFd[1]);
  char c = 0;
  ASSERT_EQ(read(pipeFd[0], &c, 1), 1);
  close(pipeFd[0]);
  ASSERT_TRUE(fs::exists(dir_ / "qvcomm" / "user.reg.tmp"));
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  // The old contents, intact; the lock died with the writer, so the next write goes through.
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Crash", 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(Query(key, "old"), (std::vector<BYTE>{'1', 0}));
  EXPECT_EQ(RegQueryValueExA(key, "new", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegSetValueExA(key, "after", 0, REG_SZ, Bytes("3"), 2), ERROR_SUCCESS);
  EXPECT_EQ(Query(key, "after"), (std::vector<BYTE>{'3', 0}));
  RegCloseKey(key);
}

TEST_F(RegistryTest, WriterKilledAtRandomTimesNeverLeavesATornFile) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Loop");
  RegCloseKey(key);
  for (int round = 0; round < 5; ++round) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      HKEY k = 0;
      if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Loop", 0, KEY_ALL_ACCESS, &k)) _exit(2);
      std::vector<BYTE> blob(4000);
      for (DWORD i = 0;; ++i) {
        std::memset(blob.data(), int(i & 0xFF), blob.size());
        std::string name = "v" + std::to_string(i % 50);
        RegSetValueExA(k, name.c_str(), 0, REG_BINARY, blob.data(), DWORD(blob.size()));
      }
    }
    usleep(20000 + round * 7000);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::ifstream in(dir_ / "qvcomm" / "user.reg");
    std::stringstream ss;
    ss << in.rdbuf();
    RegHive hive;
    std::size_t line = 0;
    std::string why;
    ASSERT_TRUE(RegHive::Parse(ss.str(), hive, line, why)) << "torn file: line " << line << why;
    const RegKeyNode* node = hive.Find("Software\\Loop");
    ASSERT_NE(node, nullptr);
    for (const RegValue& v : node->values) {
      ASSERT_EQ(v.data.size(), 4000u);
      EXPECT_EQ(std::count(v.data.begin(), v.data.end(), v.data[0]), 4000) << "mixed value";
    }
  }
}

}  // namespace
