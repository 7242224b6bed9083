// A pseudo-terminal pair for a program that plays a serial device: the far end is a terminal
// device that other programs open by its path (/dev/pts/N) like any port; this side writes
// what the device sends and discards what it is sent.
//
// The far end is kept open here too, so it stays in place (and keeps what was sent to it)
// while no program has it open, and so this side can see how much the reader has not taken.
//
// Main thread only.
#pragma once

#include "platform/win32/wintypes.h"

#include <cstddef>
#include <string>

namespace qv::platform {

class TPseudoTerminal {
 public:
  TPseudoTerminal() = default;
  ~TPseudoTerminal() { Close(); }
  TPseudoTerminal(const TPseudoTerminal&) = delete;
  TPseudoTerminal& operator=(const TPseudoTerminal&) = delete;

  // Opens a new pair with raw line settings on both ends; false with a Windows error code.
  bool Open(DWORD& error);
  void Close();
  bool IsOpen() const { return master_ >= 0; }

  // The far end's path, e.g. /dev/pts/3.
  const std::string& FarEnd() const { return farEnd_; }
  // Readable when the far end sent something, writable when there is room for more: for
  // waits (TWaitItem in platform/system/signals.h).
  int Descriptor() const { return master_; }

  // Writes as much as there is room for without waiting; the count written (0 when full),
  // or -1 with error set.
  long WriteSome(const void* data, std::size_t size, DWORD& error);
  // Bytes sent that the far end's reader has not taken yet.
  std::size_t Unread() const;
  // Drops what the far end's reader has not taken.
  void DropUnread();
  // Reads and drops what the far end sent (never waits).
  void DiscardReceived();

 private:
  int master_ = -1;
  int far_ = -1;
  std::string farEnd_;
};

}  // namespace qv::platform
