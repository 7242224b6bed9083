// The Windows communications API over Linux termios: port handles opened by CreateFileA,
// overlapped transfers, port events, line settings and modem lines (the records are in
// commtypes.h).
#pragma once

#include "platform/serial/commtypes.h"
#include "platform/win32/winbase.h"

#include <functional>

// ---- Operations ----------------------------------------------------------------------------

// Opens "\\?\COMn" (COMn resolved through the port map; "COMn" and "\\.\COMn" too), an
// absolute device path, or the name of another device kind (a null-modem end, a network port).
// Ports are never shared: a second open, by this or another process, fails with
// ERROR_SHARING_VIOLATION. The invalid
// handle and the last error on failure (ERROR_FILE_NOT_FOUND: no such port; ERROR_ACCESS_DENIED:
// no permission on the device; ERROR_BAD_COMMAND: not a terminal device).
HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                   const void* securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);

BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written,
               OVERLAPPED* overlapped);
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
// Ends the transfers and waits that the calling thread started on the handle
// (ERROR_OPERATION_ABORTED), as Windows does; a thread's pending operations also end when the
// thread exits.
BOOL CancelIo(HANDLE file);
// Ends the operation of this OVERLAPPED, whichever thread started it (every pending operation of
// the handle when overlapped is null); FALSE with ERROR_NOT_FOUND when there is none.
BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped);

BOOL WaitCommEvent(HANDLE file, DWORD* eventMask, OVERLAPPED* overlapped);
BOOL SetCommMask(HANDLE file, DWORD eventMask);
BOOL GetCommMask(HANDLE file, DWORD* eventMask);
BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat);
BOOL PurgeComm(HANDLE file, DWORD flags);
BOOL EscapeCommFunction(HANDLE file, DWORD function);
BOOL GetCommModemStatus(HANDLE file, DWORD* modemStat);
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL GetCommProperties(HANDLE file, COMMPROP* properties);
BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts);
BOOL GetCommState(HANDLE file, DCB* dcb);
BOOL SetCommState(HANDLE file, const DCB* dcb);
BOOL GetCommConfig(HANDLE file, COMMCONFIG* config, DWORD* size);
BOOL GetDefaultCommConfigA(const char* name, COMMCONFIG* config, DWORD* size);
BOOL SetCommBreak(HANDLE file);
BOOL ClearCommBreak(HANDLE file);

// The port-settings dialog. Without a GUI hook installed it fails and changes nothing.
BOOL CommConfigDialogA(const char* name, HWND owner, COMMCONFIG* config);

namespace qv::platform {
using CommConfigDialogHook = std::function<BOOL(const char* name, HWND owner, COMMCONFIG* config)>;
// Installs the settings dialog (the GUI does this); an empty hook removes it.
void SetCommConfigDialogHook(CommConfigDialogHook hook);
}  // namespace qv::platform
