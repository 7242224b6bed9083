// Binding entry points by name: the built-in kernel32 and ntdll tables, shared libraries through
// the dynamic loader, the key-name query and the hooks that hide or replace built-in entries.
#include "platform/devices/dynlib.h"
#include "platform/system/winreg.h"
#include "platform/testhooks.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace qv::platform;

namespace {

TEST(DynLibBuiltins, ModuleNamesIgnoreCaseAndTheDllSuffix) {
  HMODULE k1 = GetModuleHandleA("kernel32.dll");
  ASSERT_NE(k1, nullptr);
  EXPECT_EQ(GetModuleHandleA("KERNEL32.DLL"), k1);
  EXPECT_EQ(GetModuleHandleA("kernel32"), k1);
  EXPECT_EQ(LoadLibraryA("Kernel32.dll"), k1);
  EXPECT_TRUE(FreeLibrary(k1));
  HMODULE nt = LoadLibraryA("ntdll.dll");
  ASSERT_NE(nt, nullptr);
  EXPECT_NE(nt, k1);
  EXPECT_TRUE(FreeLibrary(nt));
}

TEST(DynLibBuiltins, EntriesAreFoundByExactName) {
  HMODULE k = GetModuleHandleA("kernel32.dll");
  EXPECT_NE(GetProcAddress(k, "CancelIo"), nullptr);
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(k, "cancelio"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(GetProcAddress(k, "ZwQueryKey"), nullptr);  // lives in ntdll only
  EXPECT_EQ(GetProcAddress(GetModuleHandleA("ntdll"), "CancelIo"), nullptr);
  EXPECT_NE(GetProcAddress(GetModuleHandleA("ntdll"), "ZwQueryKey"), nullptr);
}

TEST(DynLibBuiltins, HiddenModuleAndEntryAreAbsentUntilShownAgain) {
  HideBuiltinEntry("kernel32.dll", nullptr, true);
  SetLastError(0);
  EXPECT_EQ(GetModuleHandleA("kernel32.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibraryA("kernel32"), nullptr);
  HideBuiltinEntry("kernel32.dll", nullptr, false);
  ASSERT_NE(GetModuleHandleA("kernel32.dll"), nullptr);

  HideBuiltinEntry("ntdll.dll", "ZwQueryKey", true);
  HMODULE nt = GetModuleHandleA("ntdll.dll");
  ASSERT_NE(nt, nullptr);
  EXPECT_EQ(GetProcAddress(nt, "ZwQueryKey"), nullptr);
  EXPECT_NE(GetProcAddress(nt, "NtQueryKey"), nullptr);
  HideBuiltinEntry("ntdll.dll", "ZwQueryKey", false);
  EXPECT_NE(GetProcAddress(nt, "ZwQueryKey"), nullptr);
}

NTSTATUS FakeQuery(HANDLE, ULONG, void*, ULONG, ULONG* resultLength) {
  *resultLength = 77;
  return STATUS_INVALID_HANDLE;
}

TEST(DynLibBuiltins, ReplacedEntryIsGivenInsteadOfTheBuiltIn) {
  HMODULE nt = GetModuleHandleA("ntdll.dll");
  FARPROC original = GetProcAddress(nt, "ZwQueryKey");
  ReplaceBuiltinEntry("NTDLL", "ZwQueryKey", reinterpret_cast<FARPROC>(&FakeQuery));
  FARPROC replaced = GetProcAddress(nt, "ZwQueryKey");
  ReplaceBuiltinEntry("ntdll.dll", "ZwQueryKey", nullptr);
  EXPECT_EQ(replaced, reinterpret_cast<FARPROC>(&FakeQuery));
  EXPECT_EQ(GetProcAddress(nt, "ZwQueryKey"), original);
}

TEST(DynLibShared, LoadsResolvesCallsAndFrees) {
  HMODULE m = LoadLibraryA("libm.so.6");
  ASSERT_NE(m, nullptr);
  auto cosine = reinterpret_cast<double (*)(double)>(GetProcAddress(m, "cos"));
  ASSERT_NE(cosine, nullptr);
  EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(m, "no_such_function_here"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  // Two loads need two frees; a third is refused.
  EXPECT_EQ(LoadLibraryA("libm.so.6"), m);
  EXPECT_TRUE(FreeLibrary(m));
  EXPECT_TRUE(FreeLibrary(m));
  EXPECT_FALSE(FreeLibrary(m));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(DynLibShared, MissingLibraryGivesNullAndTheError) {
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA("libqv-does-not-exist.so.9"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibraryA(""), nullptr);
  EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
  EXPECT_EQ(GetModuleHandleA("libqv-does-not-exist.so.9"), nullptr);
}

TEST(DynLibShared, ModuleHandleOfALoadedLibraryIsNotCounted) {
  HMODULE c = GetModuleHandleA("libc.so.6");  // every program here has it loaded
  ASSERT_NE(c, nullptr);
  EXPECT_NE(GetProcAddress(c, "strlen"), nullptr);
  EXPECT_FALSE(FreeLibrary(c));  // not given by LoadLibraryA
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(DynLibShared, UnknownHandlesAreRefused) {
  int notAModule = 0;
  auto bogus = reinterpret_cast<HMODULE>(&notAModule);
  EXPECT_EQ(GetProcAddress(bogus, "cos"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(FreeLibrary(bogus));
  EXPECT_FALSE(FreeLibrary(nullptr));
  EXPECT_EQ(GetProcAddress(nullptr, "cos"), nullptr);
}

// The key-name query over a fresh registry store.
class ZwQueryKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qv-dynlib-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    query_ = reinterpret_cast<ZwQueryKeyProc>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "ZwQueryKey"));
    ASSERT_NE(query_, nullptr);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_;
  ZwQueryKeyProc query_ = nullptr;
};

TEST_F(ZwQueryKeyTest, LengthFirstThenTheNameRecord) {
  HKEY key = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Test", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const std::u16string expected = u"\\REGISTRY\\MACHINE\\SYSTEM\\Test";
  const ULONG need = static_cast<ULONG>(4 + expected.size() * 2);

  ULONG length = 0;
  EXPECT_EQ(query_(key, KeyNameInformation, nullptr, 0, &length), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, need);

  std::vector<unsigned char> small(need - 1, 0xAA);
  length = 0;
  EXPECT_EQ(query_(key, KeyNameInformation, small.data(), need - 1, &length),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, need);

  std::vector<unsigned char> buffer(need + 2, 0xAA);
  ASSERT_EQ(query_(key, KeyNameInformation, buffer.data(), need + 2, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, need);
  ULONG nameLength = 0;
  std::memcpy(&nameLength, buffer.data(), 4);
  EXPECT_EQ(nameLength, expected.size() * 2);
  std::u16string name(expected.size(), u'\0');
  std::memcpy(name.data(), buffer.data() + 4, nameLength);
  EXPECT_EQ(name, expected);
  EXPECT_EQ(buffer[need], 0xAA);  // nothing written past the record
  RegCloseKey(key);
}

TEST_F(ZwQueryKeyTest, BadHandleOrClassIsRefused) {
  ULONG length = 5;
  EXPECT_EQ(query_(INVALID_HANDLE_VALUE, KeyNameInformation, nullptr, 0, &length),
            STATUS_INVALID_HANDLE);
  HKEY key = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\T", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(query_(key, 0, nullptr, 0, &length), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(query_(key, KeyNameInformation, nullptr, 0, nullptr), STATUS_INVALID_PARAMETER);
  RegCloseKey(key);
  EXPECT_EQ(query_(key, KeyNameInformation, nullptr, 0, &length), STATUS_INVALID_HANDLE);
}

}  // namespace
