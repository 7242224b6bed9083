// The hand-over queue's internals for the application object. Not for use outside platform/.
#pragma once

#include "platform/win32/wintypes.h"

// Internal: never exported from the shared library.
#pragma GCC visibility push(hidden)

namespace qv::platform::internal {

// Set by TApplication: the thread that serves hand-overs.
void SetMainThreadId(DWORD id);
// True when hand-overs are queued for the main thread.
bool SyncPending();

}  // namespace qv::platform::internal

#pragma GCC visibility pop
