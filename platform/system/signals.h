// Termination signals as an event a console program's loop waits for beside its descriptors.
//
// The handler only records the signal and writes an eventfd (both async-signal-safe); the
// program reacts in its own loop, so it can close ports and remove what it registered before
// it ends. A signal that was ignored when the program started stays ignored (a shell starts
// background jobs with SIGINT ignored, so Ctrl-C reaches only the job in the foreground).
//
// Main thread only; one watch at a time per program.
#pragma once

#include "platform/win32/wintypes.h"

#include <initializer_list>
#include <span>

namespace qv::platform {

// One descriptor to wait for: readable, or writable with write set. ready is the result.
struct TWaitItem {
  int fd = -1;
  bool write = false;
  bool ready = false;
};

// Reads what is there from a descriptor the loop waited for: the count (0 at the end of the
// input), or -1 when nothing is there yet (EAGAIN, or a signal interrupted the read) or the
// read failed (errno tells). Never waits after a Wait that found fd readable.
long ReadAvailable(int fd, void* buffer, unsigned long size);

// The descriptor the watch's handler writes: readable from the first watched signal on, -1
// while no watch exists. For a wait below the program's loop that a signal must end (a network
// port's name lookup). Any thread.
int TerminationSignalFd();

class TSignalWatch {
 public:
  explicit TSignalWatch(std::initializer_list<int> signals);
  // Restores the handlers that were there before.
  ~TSignalWatch();
  TSignalWatch(const TSignalWatch&) = delete;
  TSignalWatch& operator=(const TSignalWatch&) = delete;

  // The first signal caught, 0 while none was.
  int Received() const;
  // Sleeps until a signal is caught, an item is ready or timeoutMs passed (negative: no
  // limit). Returns Received(); the items' ready flags tell the rest.
  int Wait(std::span<TWaitItem> items, int timeoutMs);
  int Wait(int timeoutMs) { return Wait({}, timeoutMs); }

  // An event object set once a signal is caught, for a program that sleeps in the
  // application's own loop and watches it there (TThread::WatchOnMainThread); a thread that
  // waits for it polls the signals' descriptor. Closed with the watch.
  HANDLE Event();

 private:
  HANDLE event_ = 0;
};

}  // namespace qv::platform
