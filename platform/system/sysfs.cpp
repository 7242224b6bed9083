#include "platform/system/internal/sysfs.h"

#include "platform/testhooks.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
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
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  value.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) return false;
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
  return true;
}

std::string ResolvePath(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::string LinkTargetName(const std::string& path) {
  char buf[PATH_MAX];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string target(buf, std::size_t(n));
  while (target.size() > 1 && target.back() == '/') target.pop_back();
  auto slash = target.rfind('/');
  return slash == std::string::npos ? target : target.substr(slash + 1);
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> out;
  DIR* dir = opendir(path.c_str());
  if (!dir) return out;
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") out.push_back(std::move(name));
  }
  closedir(dir);
  return out;
}

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
  std::string root = ResolvePath(SysfsRoot());
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

bool Describe(const std::string& name, const std::map<std::string, std::string>& byId,
              const std::map<std::string, std::string>& byPath, TtyDevice& out) {
  out = TtyDevice{};
  std::string root = SysfsRoot();
  out.name = name;
  out.classPath = root + "/class/tty/" + name;
  struct stat st;
  if (lstat(out.classPath.c_str(), &st) < 0) return false;
  out.devNode = DevRoot() + "/" + name;
  out.devicePath = ResolvePath(out.classPath + "/device");
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
  std::string dev = DevRoot();
  return Describe(name, SerialLinks(dev + "/serial/by-id"), SerialLinks(dev + "/serial/by-path"),
                  out);
}

std::vector<TtyDevice> ListSerialTtys() {
  std::vector<TtyDevice> out;
  std::string dev = DevRoot();
  auto byId = SerialLinks(dev + "/serial/by-id");
  auto byPath = SerialLinks(dev + "/serial/by-path");
  std::vector<std::string> names = ListFolder(SysfsRoot() + "/class/tty");
  std::sort(names.begin(), names.end(), NaturalLess);
  for (const std::string& name : names) {
    TtyDevice d;
    if (!Describe(name, byId, byPath, d)) continue;
    if (d.devicePath.empty()) continue;  // virtual terminals, console, ptmx
    if (d.type == 0) continue;           // an 8250 placeholder without a UART behind it
    out.push_back(std::move(d));
  }
  return out;
}

}  // namespace sysfs
}  // namespace qv::platform
