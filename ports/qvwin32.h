// qvwin32: the small operating-system functions the components share. Each is a free function
// without state of its own; none raises: failures give an empty text, false or the invalid
// handle, and GetLastError tells why where a caller reports it.
#pragma once

#include "platform/wintypes.h"

#include <string>

// ---- Ports and transfers ---------------------------------------------------------------------

// "COM<number>": 1 gives COM1, 12 gives COM12.
std::string ComPortName(unsigned number);
// Opens \\?\COM<number> for overlapped reading and writing, unshared. The invalid handle on
// failure, with the last error set.
HANDLE OpenComPort(unsigned number);

// The transfer functions reset the record's status and offset words before each transfer and
// leave its event handle alone. Two transfers in flight must not share one record.

// Finishes a transfer that reported failure: true only when it was pending (ERROR_IO_PENDING)
// and then completed. error holds the last error seen (the pending check or the completion).
bool WaitOverlapped(HANDLE handle, OVERLAPPED& overlapped, DWORD& transferred, DWORD& error);
// Writes and waits for completion. False: read GetLastError right after the call.
bool WriteAndWait(HANDLE handle, const void* buffer, DWORD count, OVERLAPPED& overlapped);
// Starts a write; true when it completed at once or goes on in the background. The buffer and
// the record must then stay valid until it completes.
bool WriteNoWait(HANDLE handle, const void* buffer, DWORD count, OVERLAPPED& overlapped);
// Reads and waits for completion; the caller asks only for bytes it knows are queued.
bool ReadAndWait(HANDLE handle, void* buffer, DWORD count, OVERLAPPED& overlapped);
// Cancels the calling thread's pending I/O on handle through kernel32's CancelIo, looked up on
// every call; false when it is absent or fails.
bool CancelPendingIo(HANDLE handle);

// ---- Registry ----------------------------------------------------------------------------------

// The path of an open key: below HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER (stored in *rootKey)
// when the key lies there, else the full kernel name with *rootKey 0. Without rootKey the full
// kernel name. Empty, *rootKey untouched, when the key is invalid or the name cannot be read.
std::string GetRegKeyPath(HKEY key, HKEY* rootKey = nullptr);
// The bytes of a value as text, whatever its type, less one terminating NUL. Empty when the
// key or value cannot be read.
std::string ReadRegString(HKEY rootKey, const std::string& subKey, const std::string& valueName);

// ---- Texts -------------------------------------------------------------------------------------

// Joins a block of NUL-terminated strings (size characters, the last one the block's final
// NUL) with separator: "A\0B\0C\0\0" gives A;B;C with ";".
std::string MultiSzToText(const char* buffer, DWORD size, const std::string& separator);

// With fileName empty: the operating-system text that heads every log file. On Windows
// version values it is "Windows <name> [major.minor.build] <service pack>"; on Linux the
// system's own text, "<sysname> <release> [<distribution>]".
// With fileName given: the file's version formatted by format (default "%u.%u.%u.%u"); empty
// for a file without version information (every Linux file) or a format that does not take
// four unsigned numbers.
std::string GetVersionText(const std::string& fileName, const std::string& format);

// ---- Windows -----------------------------------------------------------------------------------

// The owner for dialogs: the foreground window, or 0.
HWND ForegroundWindow();

// ---- Port list ---------------------------------------------------------------------------------
// EnumSerialPorts and InsertPortByNumber (the port list of the device box and the components'
// device lists) belong to this unit too; they are declared here when they are built.
