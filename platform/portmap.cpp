#include "platform/portmap.h"

#include "platform/regstore.h"
#include "platform/winreg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace qv::platform {
namespace {

constexpr unsigned kMaxPort = 255;  // the saved configuration keeps the number in one byte
constexpr const char* kMapKey = "Software\\qvcomm\\PortMap";

struct Roots {
  std::mutex mutex;
  std::string sysfs = "/sys";
  std::string dev = "/dev";
};

Roots& TheRoots() {
  static Roots* roots = new Roots;
  return *roots;
}

bool IsVirtual(const std::string& device) { return device.rfind("virtual:", 0) == 0; }

// "COM7" -> 7; 0 for anything else.
unsigned ComNumber(std::string_view name) {
  if (name.size() < 4 || RegFold(name.substr(0, 3)) != "com") return 0;
  unsigned n = 0;
  for (char c : name.substr(3)) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + unsigned(c - '0');
    if (n > kMaxPort) return 0;
  }
  return n;
}

struct UserMapping {
  unsigned number;
  std::string device;
};

// The user's mappings, ascending. Entries that are not COMn = text are reported and skipped.
std::vector<UserMapping> ReadUserMappings(const RegHive& hive) {
  std::vector<UserMapping> out;
  const RegKeyNode* node = hive.Find(kMapKey);
  if (!node) return out;
  for (const RegValue& v : node->values) {
    unsigned n = ComNumber(v.name);
    bool text = (v.type == REG_SZ || v.type == REG_EXPAND_SZ) && !v.data.empty();
    std::string device = text ? std::string(v.data.begin(), v.data.end()) : std::string();
    if (auto nul = device.find('\0'); nul != std::string::npos) device.resize(nul);
    if (!n || device.empty()) {
      std::fprintf(stderr,
                   "qvcomm: ignoring the port mapping '%s' in HKEY_CURRENT_USER\\%s: expected "
                   "COM<1..%u> = a device path text\n",
                   v.name.c_str(), kMapKey, kMaxPort);
      continue;
    }
    out.push_back({n, device});
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const UserMapping& a, const UserMapping& b) { return a.number < b.number; });
  return out;
}

std::string Canonical(const std::string& path) {
  if (IsVirtual(path)) return path;
  char buf[PATH_MAX];
  if (realpath(path.c_str(), buf)) return buf;
  return path;
}

bool Present(const std::string& device) {
  if (IsVirtual(device)) return true;
  struct stat st;
  return stat(device.c_str(), &st) == 0;
}

// Whether a path is a terminal device, without disturbing a real port when sysfs can tell.
DWORD CheckTerminal(const std::string& device) {
  struct stat st;
  if (stat(device.c_str(), &st) < 0) return errno == ENOENT || errno == ENOTDIR
                                                ? ERROR_FILE_NOT_FOUND
                                                : ErrorFromErrno(errno);
  if (!S_ISCHR(st.st_mode)) return ERROR_BAD_COMMAND;
  std::string sysfs;
  {
    std::lock_guard lock(TheRoots().mutex);
    sysfs = TheRoots().sysfs;
  }
  char link[PATH_MAX];
  std::string subsystem = sysfs + "/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                          std::to_string(minor(st.st_rdev)) + "/subsystem";
  ssize_t n = readlink(subsystem.c_str(), link, sizeof link - 1);
  if (n > 0) {
    std::string target(link, std::size_t(n));
    return target.size() >= 4 && target.compare(target.size() - 4, 4, "/tty") == 0
               ? ERROR_SUCCESS
               : ERROR_BAD_COMMAND;
  }
  // Not described in sysfs (pseudo-terminal slaves are not): ask the device itself.
  int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return ErrorFromErrno(errno);
  bool tty = isatty(fd);
  close(fd);
  return tty ? ERROR_SUCCESS : ERROR_BAD_COMMAND;
}

}  // namespace

void SetSysfsRoot(const std::string& root) {
  std::lock_guard lock(TheRoots().mutex);
  TheRoots().sysfs = root;
}

void SetDevRoot(const std::string& root) {
  std::lock_guard lock(TheRoots().mutex);
  TheRoots().dev = root;
}

std::vector<PortEntry> ListPorts() {
  std::vector<PortEntry> out;
  std::shared_ptr<const RegHive> hive;
  if (RegStoreRead(RegRoot::User, hive) != ERROR_SUCCESS) return out;
  std::vector<std::string> seen;
  for (const UserMapping& m : ReadUserMappings(*hive)) {
    if (!Present(m.device)) continue;
    std::string canon = Canonical(m.device);
    if (std::find(seen.begin(), seen.end(), canon) != seen.end()) continue;
    seen.push_back(canon);
    PortEntry e;
    e.number = m.number;
    e.device = m.device;
    e.userMapped = true;
    out.push_back(std::move(e));
  }
  return out;
}

bool ResolveComPort(unsigned number, std::string& device, DWORD& error) {
  for (const PortEntry& e : ListPorts()) {
    if (e.number == number) {
      device = e.device;
      error = ERROR_SUCCESS;
      return true;
    }
  }
  error = ERROR_FILE_NOT_FOUND;
  return false;
}

bool AddUserMapping(unsigned number, const std::string& device, DWORD& error) {
  if (number == 0 || number > kMaxPort || device.empty()) {
    error = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (!IsVirtual(device)) {
    error = CheckTerminal(device);
    if (error != ERROR_SUCCESS) return false;
  }
  std::string name = "COM" + std::to_string(number);
  std::string canon = Canonical(device);
  LONG r = RegStoreModify(RegRoot::User, [&](RegHive& hive, bool& changed) -> LONG {
    RegKeyNode& node = hive.Create(kMapKey);
    // One device, one number: a second name for it would make the port list ambiguous.
    for (const UserMapping& m : ReadUserMappings(hive))
      if (m.number != number && Canonical(m.device) == canon) return ERROR_ALREADY_EXISTS;
    std::vector<BYTE> data(device.begin(), device.end());
    data.push_back(0);
    if (RegValue* v = node.FindValue(name)) {
      v->type = REG_SZ;
      v->data = std::move(data);
    } else {
      node.values.push_back(RegValue{name, REG_SZ, std::move(data)});
    }
    changed = true;
    return ERROR_SUCCESS;
  });
  error = DWORD(r);
  return r == ERROR_SUCCESS;
}

bool RemoveUserMapping(unsigned number) {
  std::string folded = "com" + std::to_string(number);
  bool removed = false;
  RegStoreModify(RegRoot::User, [&](RegHive& hive, bool& changed) -> LONG {
    RegKeyNode* node = hive.Find(kMapKey);
    if (!node) return ERROR_SUCCESS;
    auto& vals = node->values;
    auto it = std::remove_if(vals.begin(), vals.end(),
                             [&](const RegValue& v) { return ComNumber(v.name) == number; });
    removed = it != vals.end();
    vals.erase(it, vals.end());
    changed = removed;
    return ERROR_SUCCESS;
  });
  (void)folded;
  return removed;
}

}  // namespace qv::platform
