#include "platform/input/uinput.h"

#include "platform/system/internal/fileio.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace qv::platform {

namespace {

constexpr std::chrono::milliseconds kSettle{500};
// The kernel keeps 64 events (32 keys with their reports) for each reader of a keyboard and
// drops what comes while that is full; a whole code in one write would overflow it before
// any reader could run. So at most kBurst keys go at once, with kBreak after them: the readers
// then keep up as long as they are never more than about 8 ms late.
constexpr std::size_t kBurst = 8;
constexpr std::chrono::milliseconds kBreak{2};

bool InGroup(gid_t gid) {
  if (getegid() == gid) return true;
  std::vector<gid_t> groups(std::size_t(std::max(getgroups(0, nullptr), 0)));
  const int n = getgroups(int(groups.size()), groups.data());
  return std::find(groups.begin(), groups.begin() + std::max(n, 0), gid) != groups.begin() + std::max(n, 0);
}

bool ListedInGroup(const group& g) {
  const char* user = std::getenv("USER");
  for (char** m = g.gr_mem; user && m && *m; ++m)
    if (std::strcmp(*m, user) == 0) return true;
  return false;
}

// What a user who may not open path does about it, from the state of the group and the device.
std::string PermissionAdvice(const std::string& path) {
  const std::string rule = "the udev rule 60-qvcomm-uinput.rules (installed with qvcomm; else copy it from "
                           "share/udev/ to /etc/udev/rules.d/)";
  const std::string trigger = ", then: sudo udevadm control --reload && sudo udevadm trigger --sysname-match=uinput";
  const char* user = std::getenv("USER");
  const std::string join = std::string("sudo usermod -aG ") + kUinputGroup + " " +
                           (user && *user ? user : "$USER") + ", then log out and in again";
  const group* g = getgrnam(kUinputGroup);
  if (!g)
    return std::string("the group ") + kUinputGroup + " that may use it does not exist: sudo groupadd --system " +
           kUinputGroup + ", install " + rule + trigger + "; then " + join;
  const gid_t gid = g->gr_gid;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && st.st_gid != gid)
    return "it does not belong to the group " + std::string(kUinputGroup) + ": install " + rule + trigger +
           (InGroup(gid) ? "" : "; then " + join);
  if (!InGroup(gid))
    return ListedInGroup(*g) ? std::string("you joined the group ") + kUinputGroup +
                                   " after this session began: log out and in again"
                             : "only members of the group " + std::string(kUinputGroup) + " may use it: " + join;
  return "ask the administrator why the group " + std::string(kUinputGroup) + " cannot write it";
}

input_event Event(std::uint16_t type, std::uint16_t code, std::int32_t value) {
  input_event e{};
  e.type = type;
  e.code = code;
  e.value = value;
  return e;
}

}  // namespace

TVirtualKeyboard::~TVirtualKeyboard() {
  if (fd_ < 0) return;
  ioctl(fd_, UI_DEV_DESTROY);
  close(fd_);
}

bool TVirtualKeyboard::Open(const std::string& name, std::string& error, const std::string& path) {
  fd_ = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    errno_ = errno;
    error = "cannot open " + path + ": ";
    if (errno_ == EACCES || errno_ == EPERM)
      error += "permission denied: " + PermissionAdvice(path);
    else if (errno_ == ENOENT || errno_ == ENODEV || errno_ == ENXIO)
      error += "the kernel's uinput module is not loaded: sudo modprobe uinput (to load it at every start: "
               "echo uinput | sudo tee /etc/modules-load.d/uinput.conf)";
    else
      error += std::strerror(errno_);
    return false;
  }
  uinput_setup setup{};
  setup.id.bustype = BUS_VIRTUAL;
  std::snprintf(setup.name, sizeof setup.name, "%s", name.c_str());
  bool ok = ioctl(fd_, UI_SET_EVBIT, EV_KEY) == 0 && ioctl(fd_, UI_SET_EVBIT, EV_SYN) == 0;
  for (int code = 1; ok && code <= kMaxKeyCode; ++code) ok = ioctl(fd_, UI_SET_KEYBIT, code) == 0;
  ok = ok && ioctl(fd_, UI_DEV_SETUP, &setup) == 0 && ioctl(fd_, UI_DEV_CREATE) == 0;
  if (!ok) {
    errno_ = errno;
    error = "cannot make the virtual keyboard with " + path + ": " + std::strerror(errno_);
    close(fd_);
    fd_ = -1;
    return false;
  }
  ready_ = std::chrono::steady_clock::now() + kSettle;
  return true;
}

bool TVirtualKeyboard::WriteAll(const void* data, std::size_t size, std::string& error) {
  if (platform::WriteAll(fd_, std::string_view(static_cast<const char*>(data), size))) return true;
  errno_ = errno;
  error = std::string("cannot send keys to the virtual keyboard: ") + std::strerror(errno_);
  return false;
}

bool TVirtualKeyboard::Send(std::span<const TKeyEvent> events, unsigned pauseMs, std::string& error) {
  if (fd_ < 0) {
    error = "the virtual keyboard is not open";
    return false;
  }
  std::this_thread::sleep_until(ready_);
  std::vector<input_event> batch;
  batch.reserve(events.size() * 2);
  // Writes what is gathered, then lets the readers catch up for wait.
  auto flush = [&](std::chrono::milliseconds wait) {
    if (!WriteAll(batch.data(), batch.size() * sizeof(input_event), error)) return false;
    batch.clear();
    std::this_thread::sleep_for(wait);
    return true;
  };
  bool typed = false;
  int held = 0;
  for (const TKeyEvent& e : events) {
    // A stroke (modifiers and key) starts with a press while nothing is held.
    if (pauseMs && e.down && !held && typed && !flush(std::chrono::milliseconds(pauseMs))) return false;
    if (batch.size() == 2 * kBurst && !flush(kBreak)) return false;
    typed = true;
    held += e.down ? 1 : -1;
    batch.push_back(Event(EV_KEY, e.code, e.down ? 1 : 0));
    batch.push_back(Event(EV_SYN, SYN_REPORT, 0));
  }
  return WriteAll(batch.data(), batch.size() * sizeof(input_event), error);
}

std::string TVirtualKeyboard::EventDevice() const {
  char sysname[64] = {};
  if (fd_ < 0 || ioctl(fd_, UI_GET_SYSNAME(sizeof sysname - 1), sysname) < 0) return "";
  const std::string dir = std::string("/sys/devices/virtual/input/") + sysname;
  std::string found;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* entry = readdir(d))
      if (std::strncmp(entry->d_name, "event", 5) == 0) found = std::string("/dev/input/") + entry->d_name;
    closedir(d);
  }
  return found;
}

}  // namespace qv::platform
