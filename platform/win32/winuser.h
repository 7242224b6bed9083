// Window messages, per-thread message queues, window records, timers and message boxes.
//
// Every thread has a 32-bit id (GetCurrentThreadId). A thread gets a message queue when it
// first calls GetMessageA or PeekMessageA (or creates a window, or the application object);
// until then PostThreadMessageA to it fails with ERROR_INVALID_THREAD_ID, and when the thread
// ends its queue goes with it. Posted messages keep their order. Timers belong to the queue of
// the thread that owns their window; their WM_TIMER is generated when that thread looks for
// messages and none of the posted ones fits its filter (timers do not pile up). All waits
// sleep in the kernel (eventfd, timerfd) until a message arrives or a timer is due.
//
// On the main thread, GetMessageA and PeekMessageA also run pending hand-overs from other
// threads (TThread::Synchronize), as the system delivers sent messages while it waits.
//
// Threads: the functions work on the calling thread's queue and windows, except those marked
// "any thread" (posting, registering a message, waking a queue).
#pragma once

#include "platform/win32/wintypes.h"

#include <functional>
#include <string>

using UINT_PTR = std::uintptr_t;

struct POINT {
  LONG x = 0;
  LONG y = 0;
};

struct MSG {
  HWND hwnd = 0;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  DWORD time = 0;
  POINT pt;
};

// A message as a window's handler sees it; the handler stores its answer in Result.
struct TMessage {
  UINT Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  LRESULT Result = 0;
};

// What a window's messages are handed to (the runtime binds its method callbacks to it); an
// empty one leaves them to DefWindowProcA.
using WindowHandler = std::function<void(TMessage& Message)>;

// Messages.
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_SETTEXT = 0x000C;
constexpr UINT WM_GETTEXT = 0x000D;
constexpr UINT WM_GETTEXTLENGTH = 0x000E;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_KEYDOWN = 0x0100;
constexpr UINT WM_KEYUP = 0x0101;
constexpr UINT WM_CHAR = 0x0102;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_DEVICECHANGE = 0x0219;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;
constexpr UINT EM_GETSEL = 0x00B0;
constexpr UINT EM_SETSEL = 0x00B1;
constexpr UINT EM_REPLACESEL = 0x00C2;

// Device-change events (wParam of WM_DEVICECHANGE) and the broadcast header (lParam).
constexpr WPARAM DBT_DEVNODES_CHANGED = 0x0007;
constexpr WPARAM DBT_DEVICEARRIVAL = 0x8000;
constexpr WPARAM DBT_DEVICEREMOVECOMPLETE = 0x8004;
constexpr DWORD DBT_DEVTYP_OEM = 0;
constexpr DWORD DBT_DEVTYP_VOLUME = 2;
constexpr DWORD DBT_DEVTYP_PORT = 3;
constexpr DWORD DBT_DEVTYP_DEVICEINTERFACE = 5;

struct DEV_BROADCAST_HDR {
  DWORD dbch_size;
  DWORD dbch_devicetype;
  DWORD dbch_reserved;
};
struct DEV_BROADCAST_PORT_A {
  DWORD dbcp_size;
  DWORD dbcp_devicetype;
  DWORD dbcp_reserved;
  char dbcp_name[1];
};

// Registered messages lie in this range.
constexpr UINT MSG_REGISTERED_FIRST = 0xC000;
constexpr UINT MSG_REGISTERED_LAST = 0xFFFF;

// PeekMessageA options.
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;
constexpr UINT PM_NOYIELD = 0x0002;

// Shortest timer period; shorter requests are raised to it.
constexpr UINT USER_TIMER_MINIMUM = 10;

// Message boxes.
constexpr UINT MB_OK = 0x0000;
constexpr UINT MB_OKCANCEL = 0x0001;
constexpr UINT MB_ABORTRETRYIGNORE = 0x0002;
constexpr UINT MB_YESNOCANCEL = 0x0003;
constexpr UINT MB_YESNO = 0x0004;
constexpr UINT MB_RETRYCANCEL = 0x0005;
constexpr UINT MB_TYPEMASK = 0x000F;
constexpr UINT MB_ICONHAND = 0x0010;
constexpr UINT MB_ICONSTOP = MB_ICONHAND;
constexpr UINT MB_ICONERROR = MB_ICONHAND;
constexpr UINT MB_ICONQUESTION = 0x0020;
constexpr UINT MB_ICONEXCLAMATION = 0x0030;
constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr UINT MB_ICONASTERISK = 0x0040;
constexpr UINT MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr UINT MB_ICONMASK = 0x00F0;
constexpr UINT MB_APPLMODAL = 0x0000;
constexpr UINT MB_SYSTEMMODAL = 0x1000;
constexpr UINT MB_TASKMODAL = 0x2000;
constexpr UINT MB_SETFOREGROUND = 0x10000;
constexpr UINT MB_TOPMOST = 0x40000;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);

// ---- Windows-style API ---------------------------------------------------------------------

DWORD GetCurrentThreadId();

// Any thread. Same name, same number (case-insensitive, as the system compares), in 0xC000..0xFFFF;
// 0 with ERROR_INVALID_PARAMETER for a null or empty name.
UINT RegisterWindowMessageA(const char* name);

// Any thread: to the queue of thread threadId.
BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
// Any thread: to the queue of the window's thread; hwnd 0 posts to the calling thread's queue.
BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Asks the calling thread's loop to end: GetMessageA returns 0 once nothing else is queued.
void PostQuitMessage(int exitCode);

// Waits for a message in [filterMin, filterMax] (0, 0: any) for the window (0: any); 0 for
// WM_QUIT, -1 for an invalid window, else nonzero.
BOOL GetMessageA(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax);
// Never waits; FALSE when nothing fits.
BOOL PeekMessageA(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg);
// Sleeps in the kernel until the calling thread's queue has something new.
BOOL WaitMessage();
BOOL TranslateMessage(const MSG* msg);
// Calls the window's handler on the calling thread; 0 for messages without a window.
LRESULT DispatchMessageA(const MSG* msg);
// Calls the window's current handler on the calling thread and returns its Result.
LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL IsWindow(HWND hwnd);

// Timer id on hwnd (replacing a running one with the same id restarts its period); with
// hwnd 0 a new id is made for a thread timer. Only null timer procedures are supported.
// 0 on failure (invalid window: ERROR_INVALID_HANDLE).
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

// Shown through the hook when one is installed; otherwise the text goes to stderr and the
// default button's id is returned.
int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type);
// The window set by SetForegroundWindow (the main form), or 0.
HWND GetForegroundWindow();
BOOL SetForegroundWindow(HWND hwnd);

namespace qv::platform {

using MessageBoxHook = std::function<int(HWND owner, const std::string& text, const std::string& caption, UINT type)>;
// Installs the hook (an empty one restores the default) and returns the previous one.
MessageBoxHook SetMessageBoxHook(MessageBoxHook hook);

// Window records for the toolkit's windowed controls: the handler is replaced later through
// SetWindowHandler; the owner thread is the calling one.
HWND CreateWindowRecord(WindowHandler handler);
bool SetWindowHandler(HWND hwnd, WindowHandler handler);
void DestroyWindowRecord(HWND hwnd);

// The calling thread's queue, created when missing; its wake descriptor becomes readable when
// a message is posted, a hand-over is queued (main thread) or a timer is due. A queue whose
// descriptor was never asked for sleeps on a futex instead, which is cheaper to wake.
int ThisThreadWakeFd();
// The same for the queue of thread threadId; -1 when that thread has none.
int ThreadWakeFd(DWORD threadId);
// Consumes the readiness of ThisThreadWakeFd (call before looking at the queue, so that a
// post arriving afterwards makes the descriptor readable again).
void DrainThisThreadWake();
// Milliseconds until the calling thread's next timer is due, -1 when none runs.
int NextTimerDueMs();
// Any thread: wakes the queue of thread threadId (if it has one).
void WakeThreadQueue(DWORD threadId);

}  // namespace qv::platform
