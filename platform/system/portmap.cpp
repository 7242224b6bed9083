#include "platform/system/portmap.h"

#include "platform/rtl/printable.h"
#include "platform/system/internal/sysfs.h"
#include "platform/system/procinfo.h"
#include "platform/system/internal/device_kinds.h"
#include "platform/system/regstore.h"
#include "platform/system/winreg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace qv::platform {
namespace {

constexpr unsigned kMaxPort = 255;  // the saved configuration keeps the number in one byte
constexpr const char* kMapKey = "Software\\qvcomm\\PortMap";
constexpr const char* kAssignedKey = "Software\\qvcomm\\Assigned";

std::string Shown(std::string_view text);

// Reports a fault in the store once per process, not on every listing. A hand-edited store
// may hold any bytes: control characters are shown escaped.
void WarnOnce(const std::string& raw) {
  const std::string text = Shown(raw);
  static std::mutex* mutex = new std::mutex;  // never destroyed: used until the very end
  static std::set<std::string>* warned = new std::set<std::string>;
  std::lock_guard lock(*mutex);
  if (warned->insert(text).second) std::fprintf(stderr, "qvcomm: %s\n", text.c_str());
}

// Why a store write failed, for a message: the file and the system's reason.
std::string StoreReason(LONG error) {
  std::string why = RegStoreFailure();
  if (why.empty()) why = SysErrorMessage(DWORD(error));
  return "the port map cannot be saved: " + why;
}

struct UserMapping {
  unsigned number;
  std::string device;
};

// Mappings a program made for the life of a device of its own ("COM5" = "<pid> <device>", the
// simulator's pseudo-terminals): once that program has ended the mapping is gone, even when
// its device name has gone to another device since (pseudo-terminal numbers are reused).
constexpr const char* kOwnersKey = "Software\\qvcomm\\Simulators";

bool OwnerEnded(const RegHive& hive, unsigned number, const std::string& device) {
  const RegKeyNode* node = hive.Find(kOwnersKey);
  const RegValue* v = node ? node->FindValue("COM" + std::to_string(number)) : nullptr;
  if (!v) return false;
  const std::string text(v->data.begin(), std::find(v->data.begin(), v->data.end(), BYTE(0)));
  char* rest = nullptr;
  const long pid = std::strtol(text.c_str(), &rest, 10);
  return pid > 0 && pid <= INT_MAX && *rest == ' ' && device == rest + 1 && !ProcessExists(int(pid));
}

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

bool Present(const std::string& device) {
  const DeviceKind* kind = KindOf(device);
  return kind && kind->Present(device);
}

// The system's text for errno err, starting lower-case to go inside a sentence.
std::string SystemReason(int err) {
  std::string text = std::strerror(err);
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = char(text[0] - 'A' + 'a');
  return text;
}

// A name or path as it can be shown in a message (platform/rtl/printable.h).
std::string Shown(std::string_view text) { return Printable(text); }

// What kind of terminal a character device is, by its device number.
enum class TtyKind { Unknown, Port, NotTty, ControllingAlias, Console, Multiplexer, PtyMaster };

// From the kernel's list of tty drivers (/proc/tty/drivers: name, node, major, minors, type);
// Unknown when the list cannot be read or has no driver for the number.
TtyKind KindFromDriverList(unsigned maj, unsigned min) {
  std::FILE* f = std::fopen("/proc/tty/drivers", "re");
  if (!f) return TtyKind::Unknown;
  TtyKind kind = TtyKind::Unknown;
  char line[512];
  while (kind == TtyKind::Unknown && std::fgets(line, sizeof line, f)) {
    char name[128], node[256], minors[64], type[64];
    unsigned major = 0;
    if (std::sscanf(line, "%127s %255s %u %63s %63s", name, node, &major, minors, type) != 5)
      continue;
    unsigned lo = 0, hi = 0;
    int n = std::sscanf(minors, "%u-%u", &lo, &hi);
    if (n < 1) continue;
    if (n == 1) hi = lo;
    if (major != maj || min < lo || min > hi) continue;
    std::string_view t = type;
    if (t == "system:/dev/tty")
      kind = TtyKind::ControllingAlias;
    else if (t == "console" || t == "system:console" || t == "system:vtmaster")
      kind = TtyKind::Console;
    else if (t == "pty:master")
      kind = TtyKind::PtyMaster;
    else if (maj == 5 && min == 2)
      kind = TtyKind::Multiplexer;
    else
      kind = TtyKind::Port;
  }
  std::fclose(f);
  return kind;
}

TtyKind KindOf(dev_t rdev) {
  unsigned maj = major(rdev), min = minor(rdev);
  // The fixed numbers of the kernel's own terminals, whatever the driver list says.
  if (maj == 5 && min == 0) return TtyKind::ControllingAlias;
  if (maj == 5 && min == 1) return TtyKind::Console;
  if (maj == 5 && min == 2) return TtyKind::Multiplexer;
  if (maj == 4 && min < 64) return TtyKind::Console;  // tty0 .. tty63: virtual terminals
  TtyKind kind = KindFromDriverList(maj, min);
  if (kind != TtyKind::Unknown && kind != TtyKind::Port) return kind;
  // sysfs tells the class of a device it describes (pseudo-terminal slaves it does not).
  std::string subsystem = sysfs::SysfsRoot() + "/dev/char/" + std::to_string(maj) + ":" +
                          std::to_string(min) + "/subsystem";
  char link[PATH_MAX];
  ssize_t n = readlink(subsystem.c_str(), link, sizeof link - 1);
  if (n > 0) {
    std::string_view target(link, std::size_t(n));
    return target.size() >= 4 && target.substr(target.size() - 4) == "/tty" ? TtyKind::Port
                                                                             : TtyKind::NotTty;
  }
  return kind;
}

// Whether a path names a terminal that can serve as a port, without opening it where the
// system can tell (an open fails while another program has the port in exclusive use).
DWORD CheckTerminal(const std::string& device, std::string& reason) {
  struct stat st;
  if (stat(device.c_str(), &st) < 0) {
    int err = errno;
    if (err == ENOENT || err == ENOTDIR) {
      reason = Shown(device) + " does not exist";
      return ERROR_FILE_NOT_FOUND;
    }
    reason = SystemReason(err) + " on " + Shown(device);
    return ErrorFromErrno(err);
  }
  const std::string shown = Shown(device);
  if (!S_ISCHR(st.st_mode)) {
    reason = shown + (S_ISDIR(st.st_mode) ? " is a folder" : " is a file") +
             ", not a serial device";
    return ERROR_BAD_COMMAND;
  }
  TtyKind kind = KindOf(st.st_rdev);
  if (kind == TtyKind::Unknown) {
    // Neither the driver list nor sysfs knows the device: ask the device itself. A device in
    // exclusive use by another program is a terminal (only terminals refuse a second open).
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (errno == EBUSY) return ERROR_SUCCESS;
      int err = errno;
      reason = SystemReason(err) + " on " + shown;
      return ErrorFromErrno(err);
    }
    kind = isatty(fd) ? TtyKind::Port : TtyKind::NotTty;
    close(fd);
  }
  switch (kind) {
    case TtyKind::Port: return ERROR_SUCCESS;
    case TtyKind::ControllingAlias:
      reason = shown + " stands for the controlling terminal of whichever program opens it, "
                       "not a serial port";
      return ERROR_NOT_SUPPORTED;
    case TtyKind::Console:
      reason = shown + " is a console or virtual terminal, not a serial port";
      return ERROR_NOT_SUPPORTED;
    case TtyKind::Multiplexer:
      reason = shown + " is the pseudo-terminal multiplexer, not a port; map a pseudo-terminal "
                       "(/dev/pts/N) instead";
      return ERROR_NOT_SUPPORTED;
    case TtyKind::PtyMaster:
      reason = shown + " is the master side of a pseudo-terminal; map its slave instead";
      return ERROR_NOT_SUPPORTED;
    default:
      reason = shown + " is not a serial device (not a terminal)";
      return ERROR_BAD_COMMAND;
  }
}

// The path made absolute against the current folder (kept as given otherwise: a symlink
// stays the name the user chose). False when the current folder cannot be found.
bool Absolute(const std::string& path, std::string& out, std::string& reason) {
  if (!path.empty() && path[0] == '/') {
    out = path;
    return true;
  }
  std::string cwd(PATH_MAX, '\0');
  if (!getcwd(cwd.data(), cwd.size())) {
    reason = "cannot make " + Shown(path) + " an absolute path: the current folder " +
             (errno == ENOENT ? std::string("no longer exists") : SystemReason(errno));
    return false;
  }
  cwd.resize(std::strlen(cwd.c_str()));
  std::string_view rest = path;
  while (rest.substr(0, 2) == "./") {
    rest.remove_prefix(2);
    while (!rest.empty() && rest[0] == '/') rest.remove_prefix(1);
  }
  if (rest == ".") rest = {};
  out = cwd == "/" ? "/" + std::string(rest) : cwd + (rest.empty() ? "" : "/") + std::string(rest);
  return true;
}

}  // namespace

namespace {

// The stable identity a device's number is remembered by.
std::string IdentityOf(const sysfs::TtyDevice& d) {
  if (!d.byId.empty()) return "by-id:" + d.byId;
  if (!d.byPath.empty()) return "by-path:" + d.byPath;
  const std::string root = sysfs::ResolvedSysfsRoot();
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
    std::string canon = CanonicalDeviceName(m.device);
    if (std::find(claimed.begin(), claimed.end(), canon) != claimed.end()) {
      WarnOnce("ignoring the port mapping COM" + std::to_string(m.number) + " = " + m.device +
               ": the device already has a lower number");
      continue;
    }
    if (!taken.insert(m.number).second) continue;
    claimed.push_back(canon);
    // Absent, it keeps its number reserved.
    if (!Present(m.device) || OwnerEnded(hive, m.number, m.device)) continue;
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

  // The devices the user's mappings name are theirs.
  std::vector<bool> mapped(devices.size(), false);
  if (!claimed.empty())
    for (std::size_t i = 0; i < devices.size(); ++i)
      mapped[i] = std::find(claimed.begin(), claimed.end(), CanonicalDeviceName(devices[i].devNode)) !=
                  claimed.end();
  std::vector<const sysfs::TtyDevice*> pending;
  // Fixed numbers first, then remembered ones.
  for (int pass = 0; pass < 2; ++pass) {
    for (const sysfs::TtyDevice& d : devices) {
      if (mapped[std::size_t(&d - devices.data())]) continue;
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

DWORD CheckTerminalDevice(const std::string& path, std::string& reason) {
  return CheckTerminal(path, reason);
}

namespace {

// The last table, kept while what it was built from is the same: the devices (their
// generation), the store (its hive, kept by the store while the file is unchanged) and which of
// the user's mappings are live. A refresh with nothing changed then costs a look at each
// mapping's device.
struct TableCache {
  std::mutex mutex;
  std::uint64_t generation = 0;
  std::shared_ptr<const RegHive> hive;
  std::vector<bool> live;
  std::vector<PortEntry> table;
};

TableCache& Cache() {
  static TableCache* cache = new TableCache;  // never destroyed: used until the very end
  return *cache;
}

std::vector<bool> LiveMappings(const RegHive& hive) {
  std::vector<bool> live;
  for (const UserMapping& m : ReadUserMappings(hive))
    live.push_back(Present(m.device) && !OwnerEnded(hive, m.number, m.device));
  return live;
}

}  // namespace

std::vector<PortEntry> ListPorts() {
  const std::uint64_t generation = sysfs::DeviceGeneration();
  std::shared_ptr<const RegHive> hive;
  LONG r = ReadUserHive(hive);
  std::vector<bool> live = r == ERROR_SUCCESS ? LiveMappings(*hive) : std::vector<bool>();
  TableCache& cache = Cache();
  if (r == ERROR_SUCCESS) {
    std::lock_guard lock(cache.mutex);
    if (cache.hive == hive && cache.generation == generation && cache.live == live) return cache.table;
  }
  std::vector<sysfs::TtyDevice> devices = ListKindDevices();
  RegHive empty;
  std::vector<Assignment> fresh;
  std::vector<PortEntry> table = BuildTable(r == ERROR_SUCCESS ? *hive : empty, devices, fresh);
  if (r != ERROR_SUCCESS) return table;
  if (fresh.empty()) {
    std::lock_guard lock(cache.mutex);
    cache.generation = generation;
    cache.hive = hive;
    cache.live = std::move(live);
    cache.table = table;
    return table;
  }
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
      if (!Present(m.device) || OwnerEnded(*hive, number, m.device)) break;
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

bool AddUserMapping(unsigned number, const std::string& device, DWORD& error,
                    std::string& reason) {
  reason.clear();
  if (number == 0 || number > kMaxPort) {
    error = ERROR_INVALID_PARAMETER;
    reason = "the port number must be from 1 to " + std::to_string(kMaxPort);
    return false;
  }
  if (device.empty()) {
    error = ERROR_INVALID_PARAMETER;
    reason = "the device path is empty";
    return false;
  }
  // A relative path is a terminal device's, made absolute.
  std::string path = device;
  const DeviceKind* kind = KindOf(device);
  if (!kind) {
    if (!Absolute(device, path, reason)) {
      error = ERROR_PATH_NOT_FOUND;
      return false;
    }
    kind = KindOf(path);
  }
  error = kind ? kind->Check(path, Shown(path), reason) : ERROR_FILE_NOT_FOUND;
  if (error != ERROR_SUCCESS) return false;
  std::string name = "COM" + std::to_string(number);
  std::string canon = CanonicalDeviceName(path);
  unsigned other = 0;
  LONG r = RegStoreModify(RegRoot::User, [&](RegHive& hive, bool& changed) -> LONG {
    RegKeyNode& node = hive.Create(kMapKey);
    // One device, one number: a second name for it would make the port list ambiguous.
    for (const UserMapping& m : ReadUserMappings(hive)) {
      if (m.number != number && CanonicalDeviceName(m.device) == canon) {
        other = m.number;
        return ERROR_ALREADY_EXISTS;
      }
    }
    std::vector<BYTE> data(path.begin(), path.end());
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
  if (r == ERROR_ALREADY_EXISTS)
    reason = "COM" + std::to_string(other) + " is already mapped to that device";
  else if (r != ERROR_SUCCESS)
    reason = StoreReason(r);
  return r == ERROR_SUCCESS;
}

bool AddUserMapping(unsigned number, const std::string& device, DWORD& error) {
  std::string reason;
  return AddUserMapping(number, device, error, reason);
}

namespace {

// Removes COMn's mapping in one store change; with a device, only while COMn still names it.
LONG RemoveMapping(unsigned number, const std::string* device, bool& removed) {
  removed = false;
  return RegStoreModify(RegRoot::User, [&](RegHive& hive, bool& changed) -> LONG {
    RegKeyNode* node = hive.Find(kMapKey);
    if (!node) return ERROR_SUCCESS;
    if (device) {
      bool ours = false;
      for (const UserMapping& m : ReadUserMappings(hive))
        if (m.number == number) ours = m.device == *device;
      if (!ours) return ERROR_SUCCESS;
    }
    auto& vals = node->values;
    auto it = std::remove_if(vals.begin(), vals.end(),
                             [&](const RegValue& v) { return ComPortNumber(v.name) == number; });
    removed = it != vals.end();
    vals.erase(it, vals.end());
    changed = removed;
    return ERROR_SUCCESS;
  });
}

}  // namespace

bool RemoveUserMapping(unsigned number, DWORD& error, std::string& reason) {
  reason.clear();
  bool removed = false;
  const LONG r = RemoveMapping(number, nullptr, removed);
  if (r != ERROR_SUCCESS) {
    error = DWORD(r);
    reason = StoreReason(r);
    return false;
  }
  if (!removed) {
    error = ERROR_FILE_NOT_FOUND;
    reason = "COM" + std::to_string(number) + " has no mapping";
    return false;
  }
  error = ERROR_SUCCESS;
  return true;
}

bool RemoveUserMapping(unsigned number) {
  DWORD error = 0;
  std::string reason;
  return RemoveUserMapping(number, error, reason);
}

bool RemoveUserMapping(unsigned number, const std::string& device) {
  bool removed = false;
  RemoveMapping(number, &device, removed);
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
                      DWORD& error, std::string& reason) {
  reason.clear();
  if (number > kMaxPort || device.empty()) {
    error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  const DeviceKind* kind = KindOf(device);
  error = kind ? kind->Check(device, Shown(device), reason) : ERROR_INVALID_NAME;
  if (error != ERROR_SUCCESS) return 0;
  const std::vector<sysfs::TtyDevice> devices = ListKindDevices();
  const std::string canon = CanonicalDeviceName(device);
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
      if (CanonicalDeviceName(m.device) == canon && m.number != number) return ERROR_ALREADY_EXISTS;
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
      return CanonicalDeviceName(old) == canon;
    });
    std::vector<BYTE> data(device.begin(), device.end());
    data.push_back(0);
    vals.push_back(RegValue{"COM" + std::to_string(n), REG_SZ, std::move(data)});
    taken = n;
    changed = true;
    return ERROR_SUCCESS;
  });
  error = DWORD(r);
  if (r != ERROR_SUCCESS && r != ERROR_ALREADY_EXISTS && r != ERROR_NO_MORE_ITEMS)
    reason = StoreReason(r);
  return r == ERROR_SUCCESS ? taken : 0;
}

}  // namespace qv::platform
