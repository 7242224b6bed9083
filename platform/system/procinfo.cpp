#include "platform/system/procinfo.h"

#include "platform/system/internal/sysfs.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace qv::platform {

std::vector<ProcessUse> ProcessesUsing(const std::string& device) {
  std::vector<ProcessUse> out;
  struct stat target;
  if (stat(device.c_str(), &target) != 0 || !S_ISCHR(target.st_mode)) return out;
  const int self = getpid();
  for (const std::string& entry : sysfs::ListFolder("/proc")) {
    char* end = nullptr;
    const long pid = std::strtol(entry.c_str(), &end, 10);
    if (pid <= 0 || *end != '\0' || pid == self) continue;
    const std::string fdDir = "/proc/" + entry + "/fd";
    for (const std::string& fd : sysfs::ListFolder(fdDir)) {
      struct stat st;
      if (stat((fdDir + "/" + fd).c_str(), &st) != 0) continue;
      if (!S_ISCHR(st.st_mode) || st.st_rdev != target.st_rdev) continue;
      ProcessUse use;
      use.pid = int(pid);
      sysfs::ReadAttribute("/proc/" + entry + "/comm", use.command);
      out.push_back(std::move(use));
      break;
    }
  }
  return out;
}

bool ProcessExists(int pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

int CurrentProcessId() { return int(getpid()); }

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) < 0 || !name[0]) return "localhost";
  return name;
}

ProcessCounters OwnCounters() {
  ProcessCounters c;
  c.threads = int(sysfs::ListFolder("/proc/self/task").size());
  // The listing holds a descriptor of its own while it reads the folder.
  c.descriptors = int(sysfs::ListFolder("/proc/self/fd").size()) - 1;
  std::string status;
  if (sysfs::ReadAttribute("/proc/self/status", status)) {
    auto field = [&status](const std::string& key) {
      const std::size_t at = status.find("\n" + key + ":");
      return at == std::string::npos ? -1L : std::atol(status.c_str() + at + key.size() + 2);
    };
    c.residentKiB = field("VmRSS");
    c.anonymousKiB = field("RssAnon");
  }
  return c;
}

}  // namespace qv::platform
