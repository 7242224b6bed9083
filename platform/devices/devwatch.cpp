#include "platform/devices/devwatch.h"

#include "platform/devices/internal/udev.h"
#include "platform/system/internal/device_kinds.h"
#include "platform/system/internal/sysfs.h"
#include "platform/system/regstore.h"
#include "platform/win32/winuser.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <type_traits>

namespace qv::platform {

namespace {

// The key the port map writes on its own while enumerating: a change there is no news.
constexpr const char* kAssignedKey = "Software\\qvcomm\\Assigned";

// ---- the udev monitor, bound at run time -------------------------------------------------------

using libudev::udev;
using libudev::udev_device;
using libudev::udev_monitor;

const libudev::Api& UdevMonitor() { return libudev::Bound(); }

// udevd announces processed events on netlink; without it (containers) nothing would come.
bool UdevdRuns() { return access("/run/udev/control", F_OK) == 0; }

bool IsDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Parent(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// Whether a node in the device folder is one of a device kind's.
bool SerialNodeName(std::string_view name) {
  for (const DeviceKind* kind : DeviceKinds())
    for (std::string_view prefix : kind->nodePrefixes)
      if (name.starts_with(prefix)) return true;
  return false;
}

// Every udev subsystem that announces a device kind's devices; false when none takes.
bool FilterSubsystems(udev_monitor* monitor) {
  bool any = false;
  for (const DeviceKind* kind : DeviceKinds()) {
    if (!kind->udevSubsystem) continue;
    if (UdevMonitor().monitor_filter_add_match_subsystem_devtype(monitor, kind->udevSubsystem, nullptr) < 0)
      return false;
    any = true;
  }
  return any;
}

// What of the user's store matters: every value but the numbers the enumeration remembers.
std::string StoreFingerprint(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  RegHive hive;
  std::size_t line = 0;
  std::string error;
  if (!RegHive::Parse(text, hive, line, error)) return text;
  const std::string skip = RegFold(kAssignedKey);
  std::string out;
  for (const RegKeyNode* key : hive.Keys()) {
    if (key->values.empty() || RegFold(key->path) == skip) continue;
    out += RegFold(key->path) + '\n';
    for (const RegValue& v : key->values) {
      out += RegFold(v.name) + '=' + std::to_string(v.type) + ':';
      out.append(v.data.begin(), v.data.end());
      out += '\n';
    }
  }
  return out;
}

}  // namespace

// Holds libudev's handles, which the shared library does not export.
struct [[gnu::visibility("hidden")]] DeviceWatcher::State {
  HWND window = 0;
  Source source = Source::None;
  int stopFd = -1;
  int timerFd = -1;
  int inotifyFd = -1;
  udev* udevCtx = nullptr;
  udev_monitor* monitor = nullptr;
  // Device side (inotify).
  std::string devRoot;
  int devWd = -1, serialWd = -1, byIdWd = -1;
  // Store side: the folder, the folder or parent being watched now, the last contents seen.
  std::string storeFolder, storeFile, storeWatched;
  int storeWd = -1;
  std::string storeSeen;
  bool armed = false;
  std::thread thread;

  ~State() {
    if (monitor) UdevMonitor().monitor_unref(monitor);
    if (udevCtx) UdevMonitor().udev_unref(udevCtx);
    for (int fd : {stopFd, timerFd, inotifyFd})
      if (fd >= 0) close(fd);
  }

  bool OpenUdev() {
    const libudev::Api& api = UdevMonitor();
    if (!api.monitor || devRoot != "/dev" || !UdevdRuns()) return false;
    udevCtx = api.udev_new();
    if (udevCtx) monitor = api.monitor_new_from_netlink(udevCtx, "udev");
    if (!monitor || !FilterSubsystems(monitor) ||
        api.monitor_enable_receiving(monitor) < 0 || api.monitor_get_fd(monitor) < 0) {
      if (monitor) api.monitor_unref(monitor);
      if (udevCtx) api.udev_unref(udevCtx);
      monitor = nullptr;
      udevCtx = nullptr;
      return false;
    }
    return true;
  }

  int Watch(const std::string& path, uint32_t mask) {
    return inotifyFd < 0 ? -1 : inotify_add_watch(inotifyFd, path.c_str(), mask | IN_ONLYDIR);
  }

  // serial/ and serial/by-id appear with the first device that has a stable name.
  void WatchSerialFolders() {
    if (serialWd < 0) serialWd = Watch(devRoot + "/serial", IN_CREATE | IN_MOVED_TO);
    if (byIdWd < 0)
      byIdWd = Watch(devRoot + "/serial/by-id", IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO);
  }

  // Watches the store folder, or its nearest existing parent until the folder appears. True
  // when the folder is watched now.
  bool WatchStore() {
    for (;;) {
      std::string target = storeFolder;
      while (target != "/" && !IsDir(target)) target = Parent(target);
      if (target == storeWatched && storeWd >= 0) return target == storeFolder;
      if (storeWd >= 0) inotify_rm_watch(inotifyFd, storeWd);
      const uint32_t mask = target == storeFolder
                                ? IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF
                                : IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
      storeWd = Watch(target, mask);
      storeWatched = storeWd >= 0 ? target : std::string();
      if (storeWd < 0) return false;
      // The folder may have been made between the look and the watch: look again.
    }
  }

  bool StoreChanged() {
    std::string now = StoreFingerprint(storeFile);
    if (now == storeSeen) return false;
    storeSeen = std::move(now);
    return true;
  }

  // Reads what inotify has; true when a device or the store changed.
  bool DrainInotify() {
    alignas(inotify_event) char buf[4096];
    bool changed = false, storeTouched = false, rewatchStore = false;
    for (;;) {
      ssize_t n = read(inotifyFd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (char* p = buf; p < buf + n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(p);
        p += sizeof(inotify_event) + ev->len;
        const char* name = ev->len ? ev->name : "";
        if (ev->mask & IN_Q_OVERFLOW) {
          changed = true;
          rewatchStore = true;
        } else if (ev->wd == devWd) {
          if (std::strcmp(name, "serial") == 0) {
            WatchSerialFolders();
          } else if (SerialNodeName(name)) {
            changed = true;
          }
        } else if (ev->wd == serialWd) {
          if (ev->mask & IN_IGNORED) serialWd = -1;
          WatchSerialFolders();
        } else if (ev->wd == byIdWd) {
          if (ev->mask & IN_IGNORED) byIdWd = -1;
          changed = true;
        } else if (ev->wd == storeWd) {
          if (ev->mask & IN_IGNORED) storeWd = -1;
          if (ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF) || storeWatched != storeFolder)
            rewatchStore = true;
          else if (std::strcmp(name, "user.reg") == 0)
            storeTouched = true;
        }
      }
    }
    if (rewatchStore && WatchStore()) storeTouched = true;
    if (storeTouched && StoreChanged()) changed = true;
    return changed;
  }

  bool DrainUdev() {
    bool changed = false;
    // The monitor's socket does not block: take every queued event.
    while (udev_device* d = UdevMonitor().monitor_receive_device(monitor)) {
      UdevMonitor().device_unref(d);
      changed = true;
    }
    return changed;
  }

  void Run() {
    pollfd fds[4] = {{stopFd, POLLIN, 0}, {timerFd, POLLIN, 0}, {inotifyFd, POLLIN, 0}, {-1, POLLIN, 0}};
    if (monitor) fds[3].fd = UdevMonitor().monitor_get_fd(monitor);
    for (;;) {
      if (poll(fds, 4, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents) return;
      // A source that failed is dropped rather than spun on.
      for (pollfd& f : fds)
        if (f.revents & (POLLERR | POLLNVAL)) f.fd = -1;
      bool changed = false;
      if (fds[2].revents & POLLIN) changed |= DrainInotify();
      if (fds[3].revents & POLLIN) changed |= DrainUdev();
      if (changed && !armed) {
        itimerspec due{};
        due.it_value.tv_sec = kSettleMs / 1000;
        due.it_value.tv_nsec = long(kSettleMs % 1000) * 1000000L;
        armed = timerfd_settime(timerFd, 0, &due, nullptr) == 0;
      }
      if (fds[1].revents & POLLIN) {
        uint64_t expirations;
        if (read(timerFd, &expirations, sizeof expirations) > 0) {
          armed = false;
          PostMessageA(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);  // a closed window: ignored
        }
      }
    }
  }
};

DeviceWatcher::DeviceWatcher() = default;
DeviceWatcher::~DeviceWatcher() { Stop(); }

bool DeviceWatcher::Start(HWND window) {
  Stop();
  auto s = std::make_unique<State>();
  s->window = window;
  s->devRoot = sysfs::DevRoot();
  s->storeFolder = RegStoreFolder();
  s->storeFile = RegStoreFile(RegRoot::User);
  s->stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  s->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  s->inotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (s->stopFd < 0 || s->timerFd < 0) return false;

  if (s->OpenUdev()) {
    s->source = Source::Udev;
  } else if (s->inotifyFd >= 0) {
    s->devWd = s->Watch(s->devRoot, IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO);
    s->WatchSerialFolders();
    if (s->devWd >= 0) s->source = Source::Inotify;
  }
  if (s->inotifyFd >= 0) {
    s->WatchStore();
    s->storeSeen = StoreFingerprint(s->storeFile);
  }
  if (s->source == Source::None && s->storeWd < 0) return false;

  State* raw = s.get();
  try {
    s->thread = std::thread([raw] { raw->Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  state_ = std::move(s);
  return true;
}

void DeviceWatcher::Stop() {
  if (!state_) return;
  const uint64_t one = 1;
  while (write(state_->stopFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
  if (state_->thread.joinable()) state_->thread.join();
  state_.reset();
}

bool DeviceWatcher::Running() const { return state_ != nullptr; }

DeviceWatcher::Source DeviceWatcher::DeviceSource() const {
  return state_ ? state_->source : Source::None;
}

}  // namespace qv::platform
