// A virtual null-modem cable inside the process: two port ends, "virtual:<name>/a" and
// "virtual:<name>/b", that CreateFileA opens like any port. Bytes written to one end arrive in
// the other's input; DTR drives the other end's DSR and DCD, RTS drives its CTS. Tests use it
// as the far device: either by opening the second end with CreateFileA too, or through the
// direct controls below (write, read, lines, break and error injection, removal).
#pragma once

#include "platform/win32/wintypes.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace qv::platform {

struct NullModemState;

// Any thread: the pair's state is guarded by its lock.
class NullModemPair {
 public:
  enum End { kA = 0, kB = 1 };

  // Vanishes the pair: open ends fail as removed devices and the names are free again.
  ~NullModemPair();
  NullModemPair(const NullModemPair&) = delete;
  NullModemPair& operator=(const NullModemPair&) = delete;

  const std::string& Name() const;
  // "virtual:<name>/a" or "virtual:<name>/b".
  std::string PortName(End end) const;
  static End Other(End end) { return end == kA ? kB : kA; }

  // Sends bytes out of `from`: they arrive in the input of the other end. Returns the count
  // taken; bytes beyond the input limit are lost and flagged there as CE_RXOVER.
  std::size_t Write(End from, const void* data, std::size_t size);
  // Takes received bytes from the input of `at` (for an end no port has open).
  std::size_t Read(End at, void* buffer, std::size_t size);
  // Bytes waiting in the input of `at`.
  std::size_t Pending(End at) const;
  // Sets the output lines of `end` (what EscapeCommFunction does on an open end).
  void SetLines(End end, bool dtr, bool rts);
  bool Dtr(End end) const;
  bool Rts(End end) const;
  // The ring indicator seen by `at` (no output drives it in a null-modem cable).
  void SetRing(End at, bool on);
  // MS_* bits as seen at `end`.
  DWORD ModemStatus(End end) const;
  // A break, or receive errors (CE_FRAME, CE_RXPARITY, CE_OVERRUN, CE_RXOVER, CE_BREAK), as
  // detected by the receiver at `at`.
  void InjectBreak(End at);
  void InjectError(End at, DWORD errors);
  // The cable is pulled: waits on open ends fail as removal and new opens find no port.
  void Vanish();
  bool Vanished() const;
  bool IsOpen(End end) const;
  // Bytes each input holds before further bytes are lost (default 1 MiB).
  void SetInputLimit(std::size_t limit);

 private:
  friend std::shared_ptr<NullModemPair> CreateNullModemPair(const std::string&, DWORD*);
  explicit NullModemPair(std::shared_ptr<NullModemState> state);
  std::shared_ptr<NullModemState> state_;
};

// Creates the pair "virtual:<name>/a" + "/b". Null when the name is empty, contains '/' or a
// control character, or is in use by a live pair (error ERROR_INVALID_NAME or
// ERROR_ALREADY_EXISTS).
std::shared_ptr<NullModemPair> CreateNullModemPair(const std::string& name, DWORD* error = nullptr);

// Whether a live pair of this process serves that end now (it may be open already).
bool VirtualPortExists(std::string_view name);

}  // namespace qv::platform
