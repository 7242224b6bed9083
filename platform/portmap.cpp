#include "platform/portmap.h"

#include "platform/netport.h"
#include "platform/regstore.h"
#include "platform/sysfs.h"
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
#include <set>

namespace qv::platform {
namespace {

constexpr unsigned kMaxPort = 255;  // the saved configuration keeps the number in one byte
constexpr const char* kMapKey = "Software\\qvcomm\\PortMap";
constexpr const char* kAssignedKey = "Software\\qvcomm\\Assigned";

bool IsVirtual(const std::string& device) { return device.rfind("virtual:", 0) == 0; }
// Network ports are taken as given: never looked up or connected to while listing.
bool IsNetwork(const std::string& device) { return IsNetworkTarget(device); }

// Reports a fault in the store once per process, not on every listing.
void WarnOnce(const std::string& text) {
  static std::mutex* mutex = new std::mutex;  // never destroyed: used until the very end
  static std::set<std::string>* warned = new std::set<std::string>;
  std::lock_guard lock(*mutex);
  if (warned->insert(text).second) std::fprintf(stderr, "qvcomm: %s\n", text.c_str());
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
    unsigned n = ComPortNumber(v.name);
    bool text = (v.type == REG_SZ || v.type == REG_EXPAND_SZ) && !v.data.empty();
    std::string device = text ? std::string(v.data.begin(), v.data.end()) : std::string();
    if (auto nul = device.find('\0'); nul != std::string::npos) device.resize(nul);
    if (!n || device.empty()) {
      WarnOnce("ignoring the port mapping '" + v.name + "' in HKEY_CURRENT_USER\\" + kMapKey +
               ": expected COM<1.." + std::to_string(kMaxPort) + "> = a device path text");
      continue;
    }
    out.push_back({n, device});
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const UserMapping& a, const UserMapping& b) { return a.number < b.number; });
  return out;
}

std::string Canonical(const std::string& path) {
  if (IsVirtual(path) || IsNetwork(path)) return path;
  char buf[PATH_MAX];
  if (realpath(path.c_str(), buf)) return buf;
  return path;
}

bool Present(const std::string& device) {
  if (IsVirtual(device) || IsNetwork(device)) return true;
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
  std::string sysfs = sysfs::SysfsRoot();
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

namespace {

// The stable identity a device's number is remembered by.
std::string IdentityOf(const sysfs::TtyDevice& d) {
  if (!d.byId.empty()) return "by-id:" + d.byId;
  if (!d.byPath.empty()) return "by-path:" + d.byPath;
  std::string root = sysfs::ResolvePath(sysfs::SysfsRoot());
  std::string p = d.devicePath;
  if (!root.empty() && p.size() > root.size() && p.compare(0, root.size(), root) == 0 &&
      p[root.size()] == '/')
    p = p.substr(root.size() + 1);
  return "sysfs:" + p;
}

// ttyS<k> is COM<k+1>; 0 for every other name.
unsigned FixedNumber(const std::string& name) {
  if (name.size() < 5 || name.compare(0, 4, "ttyS") != 0) return 0;
  unsigned k = 0;
  for (char c : name.substr(4)) {
    if (c < '0' || c > '9') return 0;
    k = k * 10 + unsigned(c - '0');
    if (k >= kMaxPort) return 0;
  }
  return k + 1;
}

// Remembered numbers by folded identity.
std::map<std::string, unsigned> ReadAssigned(const RegHive& hive) {
  std::map<std::string, unsigned> out;
  const RegKeyNode* node = hive.Find(kAssignedKey);
  if (!node) return out;
  for (const RegValue& v : node->values) {
    DWORD n = 0;
    if (v.type == REG_DWORD && v.data.size() == 4)
      n = DWORD(v.data[0]) | DWORD(v.data[1]) << 8 | DWORD(v.data[2]) << 16 |
          DWORD(v.data[3]) << 24;
    if (n < 1 || n > kMaxPort) {
      WarnOnce("ignoring the remembered port number '" + v.name + "' in HKEY_CURRENT_USER\\" +
               kAssignedKey + ": expected a DWORD from 1 to " + std::to_string(kMaxPort));
      continue;
    }
    out.emplace(RegFold(v.name), unsigned(n));
  }
  return out;
}

struct Assignment {
  std::string identity;
  unsigned number;
};

// Every port present, ascending, by the rules in portmap.h; devices that get a number for
// the first time are added to fresh (to be remembered).
std::vector<PortEntry> BuildTable(const RegHive& hive, const std::vector<sysfs::TtyDevice>& devices,
                                  std::vector<Assignment>& fresh) {
  std::vector<PortEntry> out;
  std::set<unsigned> taken;
  std::vector<std::string> claimed;  // devices the user mapped, resolved
  for (const UserMapping& m : ReadUserMappings(hive)) {
    std::string canon = Canonical(m.device);
    if (std::find(claimed.begin(), claimed.end(), canon) != claimed.end()) {
      WarnOnce("ignoring the port mapping COM" + std::to_string(m.number) + " = " + m.device +
               ": the device already has a lower number");
      continue;
    }
    if (!taken.insert(m.number).second) continue;
    claimed.push_back(canon);
    if (!Present(m.device)) continue;  // keeps its number reserved while absent
    PortEntry e;
    e.number = m.number;
    e.device = m.device;
    e.userMapped = true;
    out.push_back(std::move(e));
  }

  std::map<std::string, unsigned> assigned = ReadAssigned(hive);
  std::set<unsigned> reserved;
  for (const auto& [identity, n] : assigned) reserved.insert(n);

  auto place = [&](const sysfs::TtyDevice& d, unsigned n, const std::string& identity) {
    PortEntry e;
    e.number = n;
    e.device = d.devNode;
    e.identity = identity;
    e.sysfsPath = d.classPath;
    out.push_back(std::move(e));
  };

  std::vector<const sysfs::TtyDevice*> pending;
  // Fixed numbers first, then remembered ones.
  for (int pass = 0; pass < 2; ++pass) {
    for (const sysfs::TtyDevice& d : devices) {
      if (std::find(claimed.begin(), claimed.end(), Canonical(d.devNode)) != claimed.end())
        continue;  // the user's mapping names this device
      unsigned fixed = FixedNumber(d.name);
      if ((pass == 0) != (fixed != 0)) continue;
      std::string identity = IdentityOf(d);
      unsigned n = fixed;
      if (!fixed) {
        auto it = assigned.find(RegFold(identity));
        n = it == assigned.end() ? 0 : it->second;
      }
      if (n && taken.insert(n).second)
        place(d, n, identity);
      else
        pending.push_back(&d);
    }
  }
  // The rest get the lowest number that is neither in use nor remembered for another device.
  std::sort(pending.begin(), pending.end(),
            [](const sysfs::TtyDevice* a, const sysfs::TtyDevice* b) {
              return sysfs::NaturalLess(a->name, b->name);
            });
  unsigned next = 1;
  for (const sysfs::TtyDevice* d : pending) {
    while (next <= kMaxPort && (taken.contains(next) || reserved.contains(next))) ++next;
    if (next > kMaxPort) {
      WarnOnce("no free COM number left for " + d->devNode);
      continue;
    }
    taken.insert(next);
    std::string identity = IdentityOf(*d);
    place(*d, next, identity);
    if (!FixedNumber(d->name)) fresh.push_back({identity, next});
  }
  std::sort(out.begin(), out.end(),
            [](const PortEntry& a, const PortEntry& b) { return a.number < b.number; });
  return out;
}

LONG ReadUserHive(std::shared_ptr<const RegHive>& hive) {
  LONG r = RegStoreRead(RegRoot::User, hive);
  // A damaged file has been moved aside and reported; the store goes on empty.
  if (r == ERROR_REGISTRY_CORRUPT) r = RegStoreRead(RegRoot::User, hive);
  return r;
}

}  // namespace

unsigned ComPortNumber(std::string_view name) {
  if (name.size() > 4 && (name.substr(0, 4) == "\\\\.\\" || name.substr(0, 4) == "\\\\?\\"))
    name.remove_prefix(4);
  if (name.size() < 4 || RegFold(name.substr(0, 3)) != "com" || name[3] == '0') return 0;
  unsigned n = 0;
  for (char c : name.substr(3)) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + unsigned(c - '0');
    if (n > kMaxPort) return 0;
  }
  return n;
}

std::vector<PortEntry> ListPorts() {
  std::vector<sysfs::TtyDevice> devices = sysfs::ListSerialTtys();
  std::shared_ptr<const RegHive> hive;
  LONG r = ReadUserHive(hive);
  RegHive empty;
  std::vector<Assignment> fresh;
  std::vector<PortEntry> table = BuildTable(r == ERROR_SUCCESS ? *hive : empty, devices, fresh);
  if (fresh.empty() || r != ERROR_SUCCESS) return table;
  // Remember the new numbers. The table is built again under the store lock so that two
  // programs meeting new devices at once do not give one number twice.
  std::vector<PortEntry> locked;
  LONG w = RegStoreModify(RegRoot::User, [&](RegHive& h, bool& changed) -> LONG {
    std::vector<Assignment> again;
    locked = BuildTable(h, devices, again);
    if (again.empty()) return ERROR_SUCCESS;
    RegKeyNode& node = h.Create(kAssignedKey);
    for (const Assignment& a : again) {
      std::vector<BYTE> data{BYTE(a.number), BYTE(a.number >> 8), 0, 0};
      if (RegValue* v = node.FindValue(a.identity)) {
        v->type = REG_DWORD;
        v->data = std::move(data);
      } else {
        node.values.push_back(RegValue{a.identity, REG_DWORD, std::move(data)});
      }
    }
    changed = true;
    return ERROR_SUCCESS;
  });
  return w == ERROR_SUCCESS ? locked : table;
}

bool ResolveComPort(unsigned number, std::string& device, DWORD& error) {
  // A user mapping decides alone, without a look at sysfs.
  std::shared_ptr<const RegHive> hive;
  if (number && ReadUserHive(hive) == ERROR_SUCCESS) {
    for (const UserMapping& m : ReadUserMappings(*hive)) {
      if (m.number != number) continue;
      if (!Present(m.device)) break;
      device = m.device;
      error = ERROR_SUCCESS;
      return true;
    }
  }
  for (const PortEntry& e : ListPorts()) {
    if (e.number == number && !e.userMapped) {
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
  if (IsNetwork(device)) {
    NetworkTarget target;
    if (!ParseNetworkTarget(device, target)) {
      error = ERROR_INVALID_NAME;
      return false;
    }
  } else if (!IsVirtual(device)) {
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
  bool removed = false;
  RegStoreModify(RegRoot::User, [&](RegHive& hive, bool& changed) -> LONG {
    RegKeyNode* node = hive.Find(kMapKey);
    if (!node) return ERROR_SUCCESS;
    auto& vals = node->values;
    auto it = std::remove_if(vals.begin(), vals.end(),
                             [&](const RegValue& v) { return ComPortNumber(v.name) == number; });
    removed = it != vals.end();
    vals.erase(it, vals.end());
    changed = removed;
    return ERROR_SUCCESS;
  });
  return removed;
}

bool RemoveUserMapping(unsigned number, const std::string& device) {
  bool removed = false;
  RegStoreModify(RegRoot::User, [&](RegHive& hive, bool& changed) -> LONG {
    RegKeyNode* node = hive.Find(kMapKey);
    if (!node) return ERROR_SUCCESS;
    bool ours = false;
    for (const UserMapping& m : ReadUserMappings(hive))
      if (m.number == number) ours = m.device == device;
    if (!ours) return ERROR_SUCCESS;
    auto& vals = node->values;
    auto it = std::remove_if(vals.begin(), vals.end(),
                             [&](const RegValue& v) { return ComPortNumber(v.name) == number; });
    removed = it != vals.end();
    vals.erase(it, vals.end());
    changed = removed;
    return ERROR_SUCCESS;
  });
  return removed;
}

std::vector<PortEntry> ListUserMappings() {
  std::vector<PortEntry> out;
  std::shared_ptr<const RegHive> hive;
  if (ReadUserHive(hive) != ERROR_SUCCESS) return out;
  for (const UserMapping& m : ReadUserMappings(*hive)) {
    PortEntry e;
    e.number = m.number;
    e.device = m.device;
    e.userMapped = true;
    out.push_back(std::move(e));
  }
  return out;
}

unsigned ClaimComPort(unsigned number, const std::string& device,
                      const std::function<bool(const PortEntry& mapping)>& mayReplace,
                      DWORD& error) {
  if (number > kMaxPort || device.empty()) {
    error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  if (!IsVirtual(device)) {
    error = CheckTerminal(device);
    if (error != ERROR_SUCCESS) return 0;
  }
  const std::vector<sysfs::TtyDevice> devices = sysfs::ListSerialTtys();
  const std::string canon = Canonical(device);
  unsigned taken = 0;
  LONG r = RegStoreModify(RegRoot::User, [&](RegHive& hive, bool& changed) -> LONG {
    std::set<unsigned> busy;
    std::vector<unsigned> stale;
    for (const UserMapping& m : ReadUserMappings(hive)) {
      PortEntry e;
      e.number = m.number;
      e.device = m.device;
      e.userMapped = true;
      if (mayReplace && mayReplace(e)) {
        stale.push_back(m.number);
        continue;
      }
      if (Canonical(m.device) == canon && m.number != number) return ERROR_ALREADY_EXISTS;
      busy.insert(m.number);
    }
    std::vector<Assignment> fresh;
    for (const PortEntry& e : BuildTable(hive, devices, fresh))
      if (!e.userMapped) busy.insert(e.number);
    for (const auto& [identity, n] : ReadAssigned(hive)) busy.insert(n);
    unsigned n = number;
    if (n == 0) {
      n = 1;
      while (n <= kMaxPort && busy.contains(n)) ++n;
      if (n > kMaxPort) return ERROR_NO_MORE_ITEMS;
    } else if (busy.contains(n)) {
      return ERROR_ALREADY_EXISTS;
    }
    RegKeyNode& node = hive.Create(kMapKey);
    auto& vals = node.values;
    // The stale mapping of this number goes, and so does any stale one naming the device.
    std::erase_if(vals, [&](const RegValue& v) {
      const unsigned k = ComPortNumber(v.name);
      if (k == 0 || std::find(stale.begin(), stale.end(), k) == stale.end()) return false;
      if (k == n) return true;
      std::string old(v.data.begin(), v.data.end());
      if (auto nul = old.find('\0'); nul != std::string::npos) old.resize(nul);
      return Canonical(old) == canon;
    });
    std::vector<BYTE> data(device.begin(), device.end());
    data.push_back(0);
    vals.push_back(RegValue{"COM" + std::to_string(n), REG_SZ, std::move(data)});
    taken = n;
    changed = true;
    return ERROR_SUCCESS;
  });
  error = DWORD(r);
  return r == ERROR_SUCCESS ? taken : 0;
}

}  // namespace qv::platform
