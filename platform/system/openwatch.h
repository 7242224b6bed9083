// Tells when a program opens a file: a virtual scanner waits with it for its reader to open
// the far end of its pseudo-terminal, without polling (inotify). Main thread only.
#pragma once

#include "platform/win32/wintypes.h"

#include <string>

namespace qv::platform {

class TOpenWatch {
 public:
  TOpenWatch() = default;
  ~TOpenWatch();
  TOpenWatch(const TOpenWatch&) = delete;
  TOpenWatch& operator=(const TOpenWatch&) = delete;

  // Watches path from now on; false with a Windows error code.
  bool Start(const std::string& path, DWORD& error);
  // Readable once the file was opened, for waits (TWaitItem in platform/system/signals.h).
  int Descriptor() const { return fd_; }
  // Takes what came (never waits); true when the file was opened since the last call.
  bool TakeOpened();

 private:
  int fd_ = -1;
};

}  // namespace qv::platform
