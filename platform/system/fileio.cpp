#include "platform/system/internal/fileio.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace qv::platform {

std::size_t WriteOut(int fd, std::string_view data, off_t at) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = at < 0 ? write(fd, data.data() + done, data.size() - done)
                             : pwrite(fd, data.data() + done, data.size() - done, at + off_t(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return done;
    }
    if (n == 0) {
      errno = ENOSPC;
      return done;
    }
    done += std::size_t(n);
  }
  return done;
}

bool MakeFolders(const std::string& path) {
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') continue;
    if (mkdir(path.substr(0, at).c_str(), 0700) < 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace qv::platform
