// Hidden windows whose messages go to a method callback, as the runtime's AllocateHWnd makes
// them for components that need a window of their own (timers, posted notifications).
// Main thread only, unless a window is made on another thread for that thread's own loop.
#pragma once

#include "platform/rtl/method.h"
#include "platform/win32/winuser.h"

// A window's message handler (the toolkit's WindowProc).
using TWndMethod = TMethod<void(TMessage& Message)>;

// A hidden window whose messages go to handler, owned by the calling thread (its timers fire
// in that thread's loop). Messages a handler leaves alone should go to DefWindowProcA.
HWND AllocateHWnd(TWndMethod handler);
void DeallocateHWnd(HWND hwnd);

namespace qv::platform {
// The window handler that calls method; empty (DefWindowProcA) for an unassigned one.
WindowHandler ToWindowHandler(const TWndMethod& method);
}  // namespace qv::platform
