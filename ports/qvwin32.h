// qvwin32: the small operating-system functions the components share. Each is a free function
// without state of its own; none raises: failures give an empty text, false or the invalid
// handle, and GetLastError tells why where a caller reports it.
#pragma once

#include "platform/devices/devinfo.h"
#include "platform/rtl/stringlist.h"
#include "platform/win32/wintypes.h"

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
// Cancels the pending I/O on handle through kernel32's CancelIo, looked up on
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

// Clears list and fills it with the COM ports present: "COM3" entries, or with withDeviceNames
// "COM3=<device>" (the device node behind the port; empty on the 95/98/Me spooler source),
// each with its port number attached (ObjectInt), in stable ascending order of number, each
// port name once. Sources: the SERIALCOMM registry view, or the print spooler on the 95/98/Me
// platform identifier. A port name whose text after "COM" is no decimal number ends the
// listing with EConvertError; the entries inserted before it stay.
void EnumSerialPorts(TStrings* list, bool withDeviceNames);
// The ordered insert EnumSerialPorts uses: nothing when list already holds text (ignoring
// case); else before the first entry whose number is greater than number, or at the end.
void InsertPortByNumber(const std::string& text, int number, TStrings* list);

// Class GUIDs of the twelve device passes of the serial component's device list.
extern const GUID GUID_DEVINTERFACE_MODEM;    // {2C7089AA-2E0E-11D1-B114-00C04FC2AAE4}
extern const GUID GUID_DEVINTERFACE_COMPORT;  // {86E0D1E0-8089-11D0-9CE4-08003E301F73}
extern const GUID GUID_DEVCLASS_PORTS;        // {4D36E978-E325-11CE-BFC1-08002BE10318}
extern const GUID GUID_DEVCLASS_INFRARED;     // {6BDD1FC5-810F-11D0-BEC7-08002BE2092F}
extern const GUID GUID_DEVCLASS_ADAPTER;      // {4D36E964-E325-11CE-BFC1-08002BE10318}
extern const GUID GUID_DEVCLASS_BLUETOOTH;    // {E0CBF06C-CD8B-4647-BB8A-263B43F0F974}
extern const GUID GUID_DEVCLASS_MODEM;        // {4D36E96D-E325-11CE-BFC1-08002BE10318}
extern const GUID GUID_DEVCLASS_MULTIFUNCTION;  // {4D36E971-E325-11CE-BFC1-08002BE10318}
extern const GUID GUID_DEVCLASS_MULTIPORTSERIAL;  // {50906CB8-BA12-11D1-BF5D-0000F805F530}
extern const GUID GUID_DEVCLASS_LEGACYDRIVER;  // {8ECC055D-047F-11D1-A537-0000F8753ED1}
extern const GUID GUID_DEVCLASS_NODRIVER;      // {4D36E976-E325-11CE-BFC1-08002BE10318}
