// The message queues' internals for the thread and application parts of the runtime.
// Not for use outside platform/.
#pragma once

#include "platform/win32/wintypes.h"

#include <cstdint>
#include <functional>

// Internal: never exported from the shared library.
#pragma GCC visibility push(hidden)

namespace qv::platform::internal {

// A fresh process-wide thread id, and adopting it as the calling thread's id (a new TThread
// takes the id its object announced at construction).
DWORD AllocateThreadId();
void AdoptThreadId(DWORD id);

// Sleeps in the kernel until the calling thread's queue is woken (post, hand-over for the main
// thread, due timer) or timeoutMs passes (-1: no limit). Does not consume anything.
void WaitForQueue(int timeoutMs);
// Creates the calling thread's queue when it has none.
void CreateQueue();
// True when the calling thread's queue holds a posted message, a quit request or a due timer.
bool QueueHasWork();

// True when thread threadId has a queue holding a posted message, a quit request or a due timer.
bool ThreadQueueHasWork(DWORD threadId);

// Watches: while thread threadId sleeps in its queue's wait it also waits for event, polling the
// I/O source the event carries, and once the event is signalled RunSignalledWatches on that
// thread runs `run` (the watch is off the list by then; run may add it again). `dropped` runs
// instead, on whichever thread drops it, when the queue stops watching: its wake descriptor went
// to a foreign loop, which knows nothing of the sources, or the thread ended. key identifies the
// watch for RemoveQueueWatch. False (nothing added) when there is no such queue or a foreign
// loop sleeps for it.
bool AddQueueWatch(DWORD threadId, HANDLE event, const void* key, std::function<void()> run,
                   std::function<void()> dropped);
// From inside a watch's run on the calling thread: the watch with this key goes back on the
// list, as it is, when its run returns. False when no such watch runs or a foreign loop sleeps
// for the thread.
bool RewatchRunning(const void* key);
// True when thread threadId has a queue that takes watches (no foreign loop sleeps for it).
bool QueueWatches(DWORD threadId);
// True when the watch was still listed (it will neither run nor be dropped).
bool RemoveQueueWatch(DWORD threadId, const void* key);
// The calling thread's watches whose events are signalled run; true if any ran.
bool RunSignalledWatches();
bool HasSignalledWatch(DWORD threadId);
// The calling thread's watched sources make what progress they can without sleeping.
void PollWatchesNow();
// Drops the calling thread's watches (their dropped callbacks run).
void DropWatches();

// Installed once by the thread layer: the main thread's message functions serve its
// hand-overs while they look for messages, as the system delivers sent messages while a thread
// waits. serve runs what is queued (false when nothing ran, or not on the main thread); pending
// tells whether the calling thread has hand-overs to serve.
void SetHandOverHooks(bool (*serve)(), bool (*pending)());

}  // namespace qv::platform::internal

#pragma GCC visibility pop
