#include "platform/system/internal/sysfs.h"

#include "platform/testhooks.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>

namespace qv::platform {
namespace {
struct Roots {
  std::mutex mutex;
  std::string sysfs = "/sys";
  std::string dev = "/dev";
};
Roots& TheRoots() {
  static Roots* roots = new Roots;  // never destroyed: read until the very end
  return *roots;
}
std::string Trimmed(std::string root) {
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}
}  // namespace

void SetSysfsRoot(const std::string& root) {
  std::lock_guard lock(TheRoots().mutex);
  TheRoots().sysfs = Trimmed(root);
}

void SetDevRoot(const std::string& root) {
  std::lock_guard lock(TheRoots().mutex);
  TheRoots().dev = Trimmed(root);
}

namespace sysfs {

std::string SysfsRoot() {
  std::lock_guard lock(TheRoots().mutex);
  return TheRoots().sysfs;
}

std::string DevRoot() {
  std::lock_guard lock(TheRoots().mutex);
  return TheRoots().dev;
}

bool ReadAttribute(const std::string& path, std::string& value) {
  // Three system calls: attributes are read by the hundred in a listing.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  value.clear();
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) value.append(buf, std::size_t(n));
  close(fd);
  if (n < 0) return false;
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
  return true;
}

std::string ResolvePath(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::string ResolveLink(const std::string& path) {
  char buf[PATH_MAX];
  const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return ResolvePath(path);
  std::string target(buf, std::size_t(n));
  if (target[0] != '/') target = path.substr(0, path.rfind('/') + 1) + target;
  // sysfs links lead through real folders: ".." can be taken away by its text.
  std::vector<std::string_view> parts;
  std::string_view rest = target;
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
  }
  std::string out;
  for (std::string_view part : parts) (out += '/') += part;
  return out.empty() ? "/" : out;
}

std::string ResolvedSysfsRoot() {
  static std::mutex mutex;
  static std::string root, resolved;
  const std::string now = SysfsRoot();
  std::lock_guard lock(mutex);
  if (now != root) {
    resolved = ResolvePath(now);
    root = now;
  }
  return resolved;
}

namespace {

// One inotify instance for the process on what changes when serial devices come and go: the
// device folder (nodes), its serial/by-id and by-path links and the tty class folder (the
// kernel's sysfs tells inotify nothing, a fake tree does). A listing is kept while it has
// reported nothing; without inotify nothing is kept.
struct ChangeWatch {
  std::mutex mutex;
  int fd = -1;
  std::string dev, sys;
  std::uint64_t generation = 0;

  void WatchAll() {
    constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;
    for (const std::string& folder : {dev, dev + "/serial", dev + "/serial/by-id",
                                      dev + "/serial/by-path", sys + "/class/tty"})
      inotify_add_watch(fd, folder.c_str(), kMask);
  }

  std::uint64_t Generation() {
    const std::string devNow = DevRoot(), sysNow = SysfsRoot();
    std::lock_guard lock(mutex);
    if (fd < 0 || devNow != dev || sysNow != sys) {
      if (fd >= 0) close(fd);
      dev = devNow;
      sys = sysNow;
      fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      if (fd >= 0) WatchAll();
      return ++generation;
    }
    alignas(inotify_event) char buf[4096];
    bool changed = false;
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) changed |= n > 0;
    if (changed) {
      WatchAll();  // serial/ and its folders may have appeared
      ++generation;
    }
    return generation;
  }
};

ChangeWatch& Changes() {
  static ChangeWatch* watch = new ChangeWatch;  // never destroyed: used until the very end
  return *watch;
}

}  // namespace

std::uint64_t DeviceGeneration() { return Changes().Generation(); }

std::string LinkTargetName(const std::string& path) {
  char buf[PATH_MAX];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string target(buf, std::size_t(n));
  while (target.size() > 1 && target.back() == '/') target.pop_back();
  auto slash = target.rfind('/');
  return slash == std::string::npos ? target : target.substr(slash + 1);
}

namespace {
std::vector<std::string> List(const std::string& path, bool foldersOnly) {
  std::vector<std::string> out;
  DIR* dir = opendir(path.c_str());
  if (!dir) return out;
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    // The entry's type comes with it (sysfs, tmpfs): no look at each one.
    if (foldersOnly && e->d_type != DT_DIR &&
        (e->d_type != DT_UNKNOWN || lstat((path + "/" + name).c_str(), &st) < 0 || !S_ISDIR(st.st_mode)))
      continue;
    out.push_back(std::move(name));
  }
  closedir(dir);
  return out;
}
}  // namespace

std::vector<std::string> ListFolder(const std::string& path) { return List(path, false); }
std::vector<std::string> ListSubfolders(const std::string& path) { return List(path, true); }

bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) &&
        std::isdigit(static_cast<unsigned char>(b[j]))) {
      std::size_t ie = i, je = j;
      while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
      while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
      // Compare by value: strip leading zeros, then length, then digits.
      std::size_t is = i, js = j;
      while (is + 1 < ie && a[is] == '0') ++is;
      while (js + 1 < je && b[js] == '0') ++js;
      if (ie - is != je - js) return ie - is < je - js;
      int c = a.compare(is, ie - is, b, js, je - js);
      if (c != 0) return c < 0;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

bool FindUsbDevice(const std::string& devicePath, UsbInfo& out) {
  out = UsbInfo{};
  std::string path = devicePath;
  const std::string root = ResolvedSysfsRoot();
  // Walk up until a folder holds idVendor (the USB device); the folder just below it is the
  // interface the tty belongs to.
  std::string below;
  while (!path.empty() && path != "/" && path != root) {
    std::string vendor;
    if (ReadAttribute(path + "/idVendor", vendor)) {
      out.path = path;
      out.vendorId = vendor;
      ReadAttribute(path + "/idProduct", out.productId);
      ReadAttribute(path + "/manufacturer", out.manufacturer);
      ReadAttribute(path + "/product", out.product);
      ReadAttribute(path + "/serial", out.serial);
      if (!below.empty()) ReadAttribute(below + "/bInterfaceNumber", out.interfaceNumber);
      return true;
    }
    below = path;
    auto slash = path.rfind('/');
    if (slash == std::string::npos) break;
    path = path.substr(0, slash);
  }
  return false;
}

namespace {
// name -> link name for every link in a /dev/serial/by-* folder.
std::map<std::string, std::string> SerialLinks(const std::string& folder) {
  std::map<std::string, std::string> out;
  std::vector<std::string> names = ListFolder(folder);
  std::sort(names.begin(), names.end());  // first name wins for a device with several links
  for (const std::string& link : names) {
    std::string target = LinkTargetName(folder + "/" + link);
    if (!target.empty()) out.emplace(target, link);
  }
  return out;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Describe(const std::string& name, const std::map<std::string, std::string>& byId,
              const std::map<std::string, std::string>& byPath, TtyDevice& out) {
  out = TtyDevice{};
  std::string root = SysfsRoot();
  out.name = name;
  out.classPath = root + "/class/tty/" + name;
  struct stat st;
  if (lstat(out.classPath.c_str(), &st) < 0) return false;
  out.devNode = DevRoot() + "/" + name;
  out.ttyPath = ResolveLink(out.classPath);
  out.devicePath = out.ttyPath.empty() ? std::string() : ResolveLink(out.ttyPath + "/device");
  if (!out.devicePath.empty() && !IsFolder(out.devicePath)) out.devicePath.clear();
  if (!out.devicePath.empty()) {
    // Newer kernels put serial-core "port" and "ctrl" devices between the tty and the
    // hardware; the driver and bus worth showing are those of the hardware above them.
    std::string hw = out.devicePath;
    while (LinkTargetName(hw + "/subsystem") == "serial-base") {
      auto slash = hw.rfind('/');
      if (slash == std::string::npos || slash == 0) break;
      hw.resize(slash);
    }
    out.hardwarePath = hw;
    out.driver = LinkTargetName(hw + "/driver");
    out.subsystem = LinkTargetName(hw + "/subsystem");
    out.isUsb = FindUsbDevice(out.devicePath, out.usb);
  }
  std::string type;
  if (ReadAttribute(out.classPath + "/type", type)) {
    char* end = nullptr;
    long t = std::strtol(type.c_str(), &end, 10);
    out.type = end != type.c_str() && *end == '\0' ? int(t) : -1;
  }
  if (auto it = byId.find(name); it != byId.end()) out.byId = it->second;
  if (auto it = byPath.find(name); it != byPath.end()) out.byPath = it->second;
  return true;
}
}  // namespace

bool DescribeTty(const std::string& name, TtyDevice& out) {
  for (TtyDevice& d : ListSerialTtys()) {
    if (d.name == name) {
      out = std::move(d);
      return true;
    }
  }
  std::string dev = DevRoot();
  return Describe(name, SerialLinks(dev + "/serial/by-id"), SerialLinks(dev + "/serial/by-path"),
                  out);
}

std::vector<TtyDevice> ListSerialTtys() {
  // Kept from one listing to the next while nothing was plugged in or out.
  static std::mutex mutex;
  static std::uint64_t seen = 0;
  static std::vector<TtyDevice>* kept = new std::vector<TtyDevice>;  // never destroyed
  const std::uint64_t generation = DeviceGeneration();
  {
    std::lock_guard lock(mutex);
    if (seen == generation) return *kept;
  }
  std::vector<TtyDevice> out;
  std::string dev = DevRoot();
  auto byId = SerialLinks(dev + "/serial/by-id");
  auto byPath = SerialLinks(dev + "/serial/by-path");
  const std::string root = SysfsRoot();
  std::vector<std::string> names = ListFolder(root + "/class/tty");
  // Virtual terminals, console and ptmx have no device: one look at their folder, not one
  // per terminal.
  std::vector<std::string> virtuals = ListFolder(root + "/devices/virtual/tty");
  std::sort(virtuals.begin(), virtuals.end());
  std::erase_if(names, [&](const std::string& n) { return std::binary_search(virtuals.begin(), virtuals.end(), n); });
  std::sort(names.begin(), names.end(), NaturalLess);
  for (const std::string& name : names) {
    // An 8250 placeholder without a UART behind it: told by its type before anything else.
    std::string type;
    if (ReadAttribute(root + "/class/tty/" + name + "/type", type) && type == "0") continue;
    TtyDevice d;
    if (!Describe(name, byId, byPath, d)) continue;
    if (d.devicePath.empty()) continue;  // virtual terminals, console, ptmx
    if (d.type == 0) continue;
    out.push_back(std::move(d));
  }
  std::lock_guard lock(mutex);
  seen = generation;
  *kept = out;
  return out;
}

}  // namespace sysfs
}  // namespace qv::platform
