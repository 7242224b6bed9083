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
#include <memory>
#include <mutex>
#include <set>

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
  std::set<int> named;  // the watches of the device folder and the tty class, old ones too
  std::string dev, sys;
  std::uint64_t generation = 0;
  // What came or went since the tty listing last asked: names in the device folder or the tty
  // class (a tty's node and entry carry its name), or everything when a change cannot be put
  // down to names (a root changed, the queue overflowed, either folder was replaced).
  std::set<std::string> touched;
  bool all = true;

  void WatchAll() {
    constexpr uint32_t kMask =
        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    // A folder replaced gets a new watch; events of the old one may still be queued.
    named.insert(inotify_add_watch(fd, dev.c_str(), kMask));
    named.insert(inotify_add_watch(fd, (sys + "/class/tty").c_str(), kMask));
    for (const std::string& folder : {dev + "/serial", dev + "/serial/by-id", dev + "/serial/by-path"})
      inotify_add_watch(fd, folder.c_str(), kMask);
  }

  // The links of serial/ are read again with every listing: only the two named folders count.
  void Note(const inotify_event& ev) {
    const bool ofNames = named.contains(ev.wd);
    if (ev.mask & IN_Q_OVERFLOW)
      all = true;
    else if (ofNames && (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)))
      all = true;
    else if (ofNames && ev.len > 0)
      touched.emplace(ev.name);
  }

  // Reads what inotify has; the lock is held.
  std::uint64_t Update() {
    const std::string devNow = DevRoot(), sysNow = SysfsRoot();
    if (fd < 0 || devNow != dev || sysNow != sys) {
      if (fd >= 0) close(fd);
      named.clear();
      dev = devNow;
      sys = sysNow;
      fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      if (fd >= 0) WatchAll();
      touched.clear();
      all = true;
      return ++generation;
    }
    alignas(inotify_event) char buf[4096];
    bool changed = false;
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
      for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
        Note(*ev);
        at += ssize_t(sizeof(inotify_event) + ev->len);
      }
      changed |= n > 0;
    }
    if (changed) {
      WatchAll();  // serial/ and its folders may have appeared
      ++generation;
    }
    return generation;
  }

  std::uint64_t Generation() {
    std::lock_guard lock(mutex);
    return Update();
  }

  // The generation now and what came or went since the last call; all when it cannot be told.
  std::uint64_t TakeChanges(std::set<std::string>& names, bool& everything) {
    std::lock_guard lock(mutex);
    const std::uint64_t now = Update();
    names = std::move(touched);
    touched.clear();
    everything = all || fd < 0;
    all = false;
    return now;
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
// The entries of a folder; their inode numbers too when inodes is given (they come with the
// entries, at no cost).
std::vector<std::string> List(const std::string& path, bool foldersOnly,
                              std::vector<ino_t>* inodes = nullptr) {
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
    if (inodes) inodes->push_back(e->d_ino);
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

// The serial ttys, kept from one listing to the next while nothing was plugged in or out. After
// a change only the ttys whose name came or went, or whose class entry is another one (its
// inode: sysfs makes a new entry for each device), are described again; the others keep their
// description (what sysfs says of a device stays while it is plugged in), with their stable
// links read again. The 8250 type, which setserial changes unannounced, is read for the ttys
// not kept: placeholders are never kept, so one given a UART since is found at the next event.
class TtyList {
 public:
  std::shared_ptr<const std::vector<TtyDevice>> Get() {
    std::lock_guard lock(mutex_);
    if (listed_ && seen_ == DeviceGeneration()) return listed_;
    std::set<std::string> touched;
    bool everything = false;
    seen_ = Changes().TakeChanges(touched, everything);
    if (everything) described_.clear();
    for (const std::string& name : touched) described_.erase(name);
    listed_ = std::make_shared<const std::vector<TtyDevice>>(Build());
    return listed_;
  }

 private:
  struct Entry {
    ino_t inode = 0;  // of the class/tty entry
    bool serial = false;
    TtyDevice device;
  };

  std::vector<TtyDevice> Build() {
    std::string dev = DevRoot();
    auto byId = SerialLinks(dev + "/serial/by-id");
    auto byPath = SerialLinks(dev + "/serial/by-path");
    const std::string root = SysfsRoot();
    std::vector<ino_t> inodes;
    std::vector<std::string> names = List(root + "/class/tty", false, &inodes);
    // Virtual terminals, console and ptmx have no device: one look at their folder, not one
    // per terminal.
    std::vector<std::string> virtuals = ListFolder(root + "/devices/virtual/tty");
    std::sort(virtuals.begin(), virtuals.end());
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < names.size(); ++i)
      if (!std::binary_search(virtuals.begin(), virtuals.end(), names[i])) order.push_back(i);
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return NaturalLess(names[a], names[b]); });
    std::map<std::string, Entry> kept;
    std::vector<TtyDevice> out;
    for (std::size_t i : order) {
      const std::string& name = names[i];
      const auto it = described_.find(name);
      const bool known = it != described_.end() && it->second.inode == inodes[i];
      // An 8250 placeholder without a UART behind it: told by its type before anything else.
      std::string type;
      if (!known && ReadAttribute(root + "/class/tty/" + name + "/type", type) && type == "0") continue;
      Entry e;
      if (known) {
        e = std::move(it->second);
        auto link = byId.find(name);
        e.device.byId = link == byId.end() ? std::string() : link->second;
        link = byPath.find(name);
        e.device.byPath = link == byPath.end() ? std::string() : link->second;
      } else {
        if (!Describe(name, byId, byPath, e.device)) continue;
        e.inode = inodes[i];
        e.serial = !e.device.devicePath.empty();  // not virtual terminals, console, ptmx
      }
      if (e.serial && e.device.type != 0) out.push_back(e.device);
      kept.emplace(name, std::move(e));
    }
    described_ = std::move(kept);  // the ttys gone are forgotten
    return out;
  }

  std::mutex mutex_;  // held while a listing is built: one builds it, the others wait for it
  std::uint64_t seen_ = 0;
  std::shared_ptr<const std::vector<TtyDevice>> listed_;
  std::map<std::string, Entry> described_;
};

std::shared_ptr<const std::vector<TtyDevice>> Ttys() {
  static TtyList* list = new TtyList;  // never destroyed: used until the very end
  return list->Get();
}
}  // namespace

bool DescribeTty(const std::string& name, TtyDevice& out) {
  // Only an entry's own name: "", "." or "../x" would describe a folder that is no tty.
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return false;
  const std::shared_ptr<const std::vector<TtyDevice>> ttys = Ttys();
  for (const TtyDevice& d : *ttys) {
    if (d.name == name) {
      out = d;
      return true;
    }
  }
  std::string dev = DevRoot();
  return Describe(name, SerialLinks(dev + "/serial/by-id"), SerialLinks(dev + "/serial/by-path"),
                  out);
}

std::vector<TtyDevice> ListSerialTtys() { return *Ttys(); }

}  // namespace sysfs
}  // namespace qv::platform
