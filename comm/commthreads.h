// The two threads of an open communication component.
//
// TCommThread waits for port events with an overlapped WaitCommEvent, sleeping on the port
// itself, and posts each event word to the dispatch thread. TMsgThread takes these messages
// from its own queue, one at a time in posting order, and hands each over to the main thread,
// waiting until HandleComEvent has run. Its queue is the only event queue between the threads.
#pragma once

#include "comm/qvcomm.h"
#include "platform/rtl/threads.h"

#include <atomic>

// The port-event thread; made, woken and stopped by its component (Stop and Wake: any thread).
class TCommThread : public TThread {
 public:
  // Takes the component's current handle; the thread starts at once.
  explicit TCommThread(TqvCustomComm* AComm);

  // Terminate request, then the wake event is set. The request cannot be lost: the thread
  // looks at it before each wait and again once the wait has reset the wake event.
  void Stop() { Terminate(); }
  // Wakes a thread that sleeps until the port has an event mask (the component set one).
  void Wake();

 protected:
  void Execute() override;
  void TerminatedSet() override;

 private:
  // Posts the event word until it is taken; gives up when stopping or when nobody will take it.
  void Post(DWORD Events);

  TqvCustomComm* const Comm;
  const HANDLE PortHandle;
  OVERLAPPED Overlapped;
  // Written by the port when the wait completes; a member, since the port owns it until then.
  DWORD EventWord = 0;
  std::atomic<HANDLE> WakeEvent{0};
  // Signalled when the component sets the port's event mask (and by a stop).
  std::atomic<HANDLE> MaskEvent{0};
};

// The dispatch thread; made and stopped by its component (Stop: any thread).
class TMsgThread : public TThread {
 public:
  explicit TMsgThread(TqvCustomComm* AComm);
  // Stop, then the thread class's wait for the end.
  ~TMsgThread() override;

  // Terminate request, then MsgQuitComEvent to its own queue.
  void Stop() { Terminate(); }

 protected:
  void Execute() override;
  void TerminatedSet() override;

 private:
  TqvCustomComm* const Comm;
  MSG Msg;
};
