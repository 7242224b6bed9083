#include "platform/serial/pseudoterminal.h"

#include "platform/win32/winbase.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace qv::platform {

namespace {
void MakeRaw(int fd) {
  termios t;
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
}
}  // namespace

bool TPseudoTerminal::Open(DWORD& error) {
  Close();
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  char name[128];
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
      ptsname_r(master_, name, sizeof name) != 0) {
    error = ErrorFromErrno(errno);
    Close();
    return false;
  }
  far_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (far_ < 0) {
    error = ErrorFromErrno(errno);
    Close();
    return false;
  }
  // No echo and no line editing on either side: bytes pass as they are.
  MakeRaw(far_);
  MakeRaw(master_);
  farEnd_ = name;
  error = ERROR_SUCCESS;
  return true;
}

void TPseudoTerminal::Close() {
  if (far_ >= 0) close(far_);
  if (master_ >= 0) close(master_);
  far_ = master_ = -1;
  farEnd_.clear();
}

long TPseudoTerminal::WriteSome(const void* data, std::size_t size, DWORD& error) {
  for (;;) {
    const ssize_t n = write(master_, data, size);
    if (n >= 0) return long(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return 0;
    error = ErrorFromErrno(errno);
    return -1;
  }
}

std::size_t TPseudoTerminal::Unread() const {
  int n = 0;
  if (far_ < 0 || ioctl(far_, FIONREAD, &n) != 0 || n < 0) return 0;
  return std::size_t(n);
}

void TPseudoTerminal::DropUnread() {
  if (far_ >= 0) tcflush(far_, TCIFLUSH);
}

void TPseudoTerminal::DiscardReceived() {
  char buf[4096];
  while (master_ >= 0) {
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    break;
  }
}

}  // namespace qv::platform
