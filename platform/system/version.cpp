#include "platform/system/version.h"

#include "platform/testhooks.h"
#include "platform/win32/winbase.h"

#include <sys/stat.h>
#include <sys/utsname.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace qv::platform {

namespace {

// A version block in the layout of the Windows one: length, value length, type, the UTF-16 key
// "VS_VERSION_INFO", padding to 32 bits, then the fixed record.
constexpr std::size_t kKeyOffset = 6;
constexpr char kKey[] = "VS_VERSION_INFO";
constexpr std::size_t kValueOffset = 40;
constexpr std::size_t kBlockSize = kValueOffset + sizeof(VS_FIXEDFILEINFO);

struct Injected {
  std::mutex mutex;
  std::optional<OSVERSIONINFOA> version;
  std::optional<SystemRelease> release;
  std::map<std::string, std::optional<VS_FIXEDFILEINFO>> files;
};

Injected& TheInjected() {
  static Injected injected;
  return injected;
}

std::string ReadTextFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

SystemRelease ReadSystemRelease() {
  SystemRelease r;
  utsname names{};
  if (uname(&names) == 0) {
    r.sysName = names.sysname;
    r.release = names.release;
  }
  std::string osRelease = ReadTextFile("/etc/os-release");
  if (osRelease.empty()) osRelease = ReadTextFile("/usr/lib/os-release");
  r.prettyName = ParseOsReleasePrettyName(osRelease);
  return r;
}

// Read once, the first time anyone asks; unchanged for the life of the process.
const SystemRelease& RunningRelease() {
  static const SystemRelease release = ReadSystemRelease();
  return release;
}

const OSVERSIONINFOA& RunningVersion() {
  static const OSVERSIONINFOA version = [] {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
    v.dwPlatformId = VER_PLATFORM_LINUX;
    ParseReleaseNumbers(RunningRelease().release, v.dwMajorVersion, v.dwMinorVersion,
                        v.dwBuildNumber);
    return v;
  }();
  return version;
}

// The values are taken at start-up, before any thread of the program could ask for them.
[[maybe_unused]] const bool kReadAtStart = (RunningVersion(), true);

std::optional<std::optional<VS_FIXEDFILEINFO>> FindFile(const char* fileName) {
  if (fileName == nullptr) return std::nullopt;
  Injected& in = TheInjected();
  std::lock_guard lock(in.mutex);
  auto it = in.files.find(fileName);
  if (it == in.files.end()) return std::nullopt;
  return it->second;
}

void BuildBlock(const std::optional<VS_FIXEDFILEINFO>& fixed, unsigned char* block) {
  std::memset(block, 0, kBlockSize);
  const WORD total = static_cast<WORD>(kBlockSize);
  const WORD valueLength = fixed ? static_cast<WORD>(sizeof(VS_FIXEDFILEINFO)) : 0;
  std::memcpy(block, &total, 2);
  std::memcpy(block + 2, &valueLength, 2);
  for (std::size_t i = 0; i < sizeof kKey; ++i) {
    const char16_t c = static_cast<char16_t>(kKey[i]);
    std::memcpy(block + kKeyOffset + 2 * i, &c, 2);
  }
  if (fixed) std::memcpy(block + kValueOffset, &*fixed, sizeof(VS_FIXEDFILEINFO));
}

}  // namespace

SystemRelease GetSystemRelease() {
  Injected& in = TheInjected();
  {
    std::lock_guard lock(in.mutex);
    if (in.release) return *in.release;
  }
  return RunningRelease();
}

void ParseReleaseNumbers(const std::string& release, DWORD& major, DWORD& minor, DWORD& build) {
  DWORD* parts[] = {&major, &minor, &build};
  for (DWORD* p : parts) *p = 0;
  std::size_t pos = 0;
  for (DWORD* p : parts) {
    if (pos >= release.size() || !std::isdigit(static_cast<unsigned char>(release[pos]))) break;
    std::uint64_t value = 0;
    while (pos < release.size() && std::isdigit(static_cast<unsigned char>(release[pos]))) {
      value = value * 10 + static_cast<unsigned>(release[pos] - '0');
      if (value > 0xFFFFFFFFu) value = 0xFFFFFFFFu;
      ++pos;
    }
    *p = static_cast<DWORD>(value);
    if (pos >= release.size() || release[pos] != '.') break;
    ++pos;
  }
}

std::string ParseOsReleasePrettyName(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  std::string result;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, 12, "PRETTY_NAME=") != 0) continue;
    std::string value = line.substr(start + 12);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    std::string out;
    if (!value.empty() && (value.front() == '"' || value.front() == '\'')) {
      const char quote = value.front();
      for (std::size_t i = 1; i < value.size() && value[i] != quote; ++i) {
        if (quote == '"' && value[i] == '\\' && i + 1 < value.size()) ++i;
        out += value[i];
      }
    } else {
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        out += value[i];
      }
    }
    result = out;  // the last assignment wins, as in a shell
  }
  return result;
}

void InjectVersionInfo(const OSVERSIONINFOA* info) {
  Injected& in = TheInjected();
  std::lock_guard lock(in.mutex);
  if (info != nullptr) {
    in.version = *info;
    in.version->dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    in.version->szCSDVersion[sizeof in.version->szCSDVersion - 1] = '\0';
  } else {
    in.version.reset();
  }
}

void InjectSystemRelease(const SystemRelease* release) {
  Injected& in = TheInjected();
  std::lock_guard lock(in.mutex);
  if (release != nullptr) {
    in.release = *release;
  } else {
    in.release.reset();
  }
}

void InjectFileVersionInfo(const std::string& fileName, const VS_FIXEDFILEINFO* fixed) {
  Injected& in = TheInjected();
  std::lock_guard lock(in.mutex);
  in.files[fileName] = fixed ? std::optional<VS_FIXEDFILEINFO>(*fixed) : std::nullopt;
}

void RemoveFileVersionInfo(const std::string& fileName) {
  Injected& in = TheInjected();
  std::lock_guard lock(in.mutex);
  in.files.erase(fileName);
}

}  // namespace qv::platform

using namespace qv::platform;

BOOL GetVersionExA(OSVERSIONINFOA* info) {
  if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Injected& in = TheInjected();
  {
    std::lock_guard lock(in.mutex);
    if (in.version) {
      *info = *in.version;
      return TRUE;
    }
  }
  *info = RunningVersion();
  return TRUE;
}

DWORD GetFileVersionInfoSizeA(const char* fileName, DWORD* handle) {
  if (handle != nullptr) *handle = 0;
  if (FindFile(fileName)) return static_cast<DWORD>(kBlockSize);
  struct stat st{};
  if (fileName == nullptr || stat(fileName, &st) != 0) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  ::SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);  // Linux files have no version resource
  return 0;
}

BOOL GetFileVersionInfoA(const char* fileName, DWORD /*handle*/, DWORD length, void* data) {
  auto file = FindFile(fileName);
  if (!file) {
    ::SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  if (data == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  unsigned char block[kBlockSize];
  BuildBlock(*file, block);
  std::memcpy(data, block, length < kBlockSize ? length : kBlockSize);
  return TRUE;
}

BOOL VerQueryValueA(const void* block, const char* subBlock, void** buffer, UINT* length) {
  if (block == nullptr || subBlock == nullptr || buffer == nullptr || length == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto* bytes = static_cast<const unsigned char*>(block);
  WORD total = 0;
  WORD valueLength = 0;
  std::memcpy(&total, bytes, 2);
  std::memcpy(&valueLength, bytes + 2, 2);
  VS_FIXEDFILEINFO fixed{};
  if (std::strcmp(subBlock, "\\") == 0 && total >= kBlockSize &&
      valueLength == sizeof(VS_FIXEDFILEINFO)) {
    std::memcpy(&fixed, bytes + kValueOffset, sizeof fixed);
    if (fixed.dwSignature == VS_FFI_SIGNATURE) {
      *buffer = const_cast<unsigned char*>(bytes + kValueOffset);
      *length = sizeof(VS_FIXEDFILEINFO);
      return TRUE;
    }
  }
  ::SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  *buffer = nullptr;
  *length = 0;
  return FALSE;
}
