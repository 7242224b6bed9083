// The message queues' internals for the thread and application parts of the runtime.
// Not for use outside platform/.
#pragma once

#include "platform/win32/wintypes.h"

#include <cstdint>

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

// Installed once by the thread layer: the main thread's message functions serve its
// hand-overs while they look for messages, as the system delivers sent messages while a thread
// waits. serve runs what is queued (false when nothing ran, or not on the main thread); pending
// tells whether the calling thread has hand-overs to serve.
void SetHandOverHooks(bool (*serve)(), bool (*pending)());

}  // namespace qv::platform::internal
