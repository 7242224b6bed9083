// The device below a serial port handle: a terminal device (termios), one end of an
// in-process null-modem pair, or a network serial port (netport.h). The port object
// (serial_port.h) keeps the Windows driver model (receive queue, events, time-outs, overlapped
// transfers); a device only moves bytes and lines, without blocking, and tells its descriptors
// so that waiting threads sleep on them.
#pragma once

#include "platform/serial/commtypes.h"
#include "platform/win32/winbase.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Internal: never exported from the shared library.
#pragma GCC visibility push(hidden)

namespace qv::platform {

// Running counts of line changes and receive errors since the device was opened (the model of
// the kernel's TIOCGICOUNT). The port compares snapshots to raise events and error flags.
struct LineCounters {
  std::uint32_t cts = 0, dsr = 0, rng = 0, dcd = 0;
  std::uint32_t brk = 0, frame = 0, parity = 0, overrun = 0, bufOverrun = 0;
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Descriptor that turns readable when input is available (and reports POLLHUP/POLLERR when
  // the device vanishes), or -1.
  virtual int InputFd() const = 0;
  // Descriptor to poll with POLLOUT while a write waits for room; -1 when writes never wait.
  virtual int OutputFd() const = 0;
  // Descriptor that turns readable when lines, counters or presence changed; -1 if none.
  virtual int StatusFd() const { return -1; }
  virtual void DrainStatus() {}
  // True when line changes can only be found by looking again (no status descriptor). Asked
  // once, when the port is made: a property of the device, not of the moment.
  virtual bool PollsLines() const = 0;
  // True for a device that can hold bytes of its own (InputBuffered, HoldsOutput); the port,
  // which looks at its state on every call, asks those two only then. Asked once, like PollsLines.
  virtual bool KeepsBytes() const { return false; }
  // True while the device holds received bytes that no descriptor shows (taken in by the
  // device itself, e.g. while it waited for an answer): the port reads them without a poll.
  virtual bool InputBuffered() const { return false; }
  // True while the device holds bytes of its own to send (protocol replies, the rest of a
  // partly sent block): the port polls OutputFd for room and calls Write(nullptr, 0) then.
  virtual bool HoldsOutput() const { return false; }

  // Non-blocking transfers: bytes moved (0: nothing now), or -1 with the Windows error
  // (ERROR_DEVICE_REMOVED when the device is gone).
  virtual long Read(void* buffer, std::size_t size, DWORD& error) = 0;
  virtual long Write(const void* data, std::size_t size, DWORD& error) = 0;
  // Bytes accepted by Write that the device has not sent yet.
  virtual DWORD OutputQueued() = 0;
  // Whether the transmitter itself (FIFO and shift register) has sent everything, where the
  // driver can tell; true where it cannot.
  virtual bool TransmitterEmpty() { return true; }
  // True once the device is known to be gone without any I/O telling it.
  virtual bool Vanished() { return false; }

  // Applies a validated DCB (line settings, flow control, DTR/RTS control modes). On failure
  // the device keeps its previous settings.
  virtual bool Apply(const DCB& dcb, DWORD& error) = 0;
  // Overwrites the DCB fields the device itself holds with their current values.
  virtual bool ReadBack(DCB& dcb, DWORD& error) = 0;

  virtual bool HasModemLines() const = 0;
  // MS_* bits; 0 for a device without modem lines.
  virtual DWORD ModemStatus() = 0;
  // SETDTR .. CLRBREAK of EscapeCommFunction.
  virtual bool Escape(DWORD function, DWORD& error) = 0;
  // False when the device keeps no counters.
  virtual bool Counters(LineCounters& counters) = 0;
  virtual void Flush(bool input, bool output) = 0;
  // Releases the device (exclusive use ends); called once.
  virtual void Close() = 0;
};

// Opens a terminal device for exclusive use in raw mode. Null with the Windows error:
// ERROR_FILE_NOT_FOUND (no such port), ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION (in use),
// ERROR_BAD_COMMAND (not a terminal device).
std::unique_ptr<SerialDevice> OpenTermiosDevice(const std::string& path, DWORD& error);

// Opens one end of a null-modem pair by its name "virtual:<pair>/a" or "virtual:<pair>/b".
std::unique_ptr<SerialDevice> OpenVirtualDevice(const std::string& name, DWORD& error);

// Connects to a network port (netport.h) and sets it up. Null with the Windows error and a text naming host and port:
// ERROR_INVALID_NAME, ERROR_BAD_NET_NAME (name not found), ERROR_CONNECTION_REFUSED,
// ERROR_NETWORK_UNREACHABLE, ERROR_HOST_UNREACHABLE, ERROR_SEM_TIMEOUT (no answer in time: the
// name lookup and the connection share the connection time-out), ERROR_OPERATION_ABORTED (a
// termination signal of the program's TSignalWatch ended the name lookup),
// ERROR_SHARING_VIOLATION (the server turned the connection away: in use), ERROR_NOT_SUPPORTED
// (an rfc2217:// server that does not offer port control).
std::unique_ptr<SerialDevice> OpenNetworkDevice(const std::string& name, DWORD& error,
                                                std::string& text);

// Checks a DCB against what the platform can provide: ERROR_SUCCESS, ERROR_INVALID_PARAMETER
// (a value no port takes) or ERROR_NOT_SUPPORTED (a mode Linux has no equivalent for).
DWORD ValidateDcb(const DCB& dcb);
// The terminal control-mode bits (CSIZE, PARENB, PARODD, CMSPAR, CSTOPB) a terminal device is
// given for a valid DCB's data bits, parity and stop bits.
unsigned FrameModeBits(const DCB& dcb);

}  // namespace qv::platform

#pragma GCC visibility pop
