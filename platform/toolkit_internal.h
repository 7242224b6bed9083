// Internals shared by the message, thread and application parts of the toolkit layer.
// Not for use outside platform/.
#pragma once

#include "platform/winuser.h"

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

// Set by TApplication: the thread that serves hand-overs.
void SetMainThreadId(DWORD id);
// True when hand-overs are queued for the main thread.
bool SyncPending();

}  // namespace qv::platform::internal
