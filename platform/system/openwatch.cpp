#include "platform/system/openwatch.h"

#include "platform/win32/winbase.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

namespace qv::platform {

TOpenWatch::~TOpenWatch() {
  if (fd_ >= 0) close(fd_);
}

bool TOpenWatch::Start(const std::string& path, DWORD& error) {
  if (fd_ < 0) fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0 || inotify_add_watch(fd_, path.c_str(), IN_OPEN) < 0) {
    error = ErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool TOpenWatch::TakeOpened() {
  bool opened = false;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n <= 0) return opened;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
      opened |= (e->mask & IN_OPEN) != 0;
      at += ssize_t(sizeof(inotify_event) + e->len);
    }
  }
}

}  // namespace qv::platform
