// The two threads of an open communication component.
//
// TCommThread waits for port events with an overlapped WaitCommEvent, sleeping on the port
// itself, and posts each event word to the dispatch thread. TMsgThread takes these messages
// from its own queue, one at a time in posting order, and hands each over to the main thread,
// waiting until HandleComEvent has run. Its queue is the only event queue between the threads.
//
// When the dispatch thread has nothing to do (no event word posted and not yet handled, no
// hand-over running), the port-event thread queues the hand-over on its behalf instead of
// waking it: the event then reaches the main thread with one wake-up instead of two, and the
// dispatch thread sleeps on. Order holds because the port-event thread does so only when
// everything it posted before has been handled, and the dispatch thread waits for such a
// hand-over to end before it hands over the next event word.
#pragma once

#include "comm/qvcomm.h"
#include "platform/threads.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

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

class TMsgThread : public TThread {
 public:
  explicit TMsgThread(TqvCustomComm* AComm);
  // Stop, then the thread class's wait for the end.
  ~TMsgThread() override;

  // Terminate request, then MsgQuitComEvent to its own queue.
  void Stop() { Terminate(); }

  // Port-event thread only. Hands the event word over to the main thread on this thread's
  // behalf when this thread has nothing to do; false when the word must be posted to its queue.
  bool HandOverIfIdle(DWORD Events);
  // Port-event thread only: an event word is about to be posted (or, with false, was not).
  void CountPosted(bool posted = true);

 protected:
  void Execute() override;
  void TerminatedSet() override;

 private:
  // Runs HandleComEvent for an event word on the main thread; ends with the count taken off.
  std::function<void()> HandOverMethod(DWORD Events, std::uint32_t done) const;

  TqvCustomComm* const Comm;
  MSG Msg;
  // Event words posted and not yet handled, plus kQueuedByPort while a hand-over queued by the
  // port-event thread has not ended. Only the port-event thread makes it non-zero; shared with
  // the hand-overs, which may end after this object is gone.
  static constexpr std::uint32_t kQueuedByPort = 0x80000000u;
  std::shared_ptr<std::atomic<std::uint32_t>> Outstanding =
      std::make_shared<std::atomic<std::uint32_t>>(0);
  // The hand-over queued by the port-event thread (valid while kQueuedByPort is set).
  TThread::HandOverWord QueuedByPort;
};
