// The client side of Telnet (RFC 854/855) with the COM-PORT-OPTION (RFC 2217), as spoken to a
// serial device server. No I/O here: the network device feeds it the bytes it receives and sends
// what it appends to the output. Everything the server sends is untrusted: every buffer is
// bounded, and nothing the server sends makes this allocate beyond a few hundred bytes.
//
// Not thread-safe: the network device calls it with the port's lock held.
#pragma once

#include "platform/win32/wintypes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Internal: never exported from the shared library.
#pragma GCC visibility push(hidden)

namespace qv::platform::telnet {

constexpr BYTE kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
               kSe = 240;
constexpr BYTE kOptBinary = 0, kOptSga = 3, kOptComPort = 44;

// COM-PORT-OPTION commands as the client sends them; the server answers with code + 100.
enum ComCommand : BYTE {
  kSignature = 0,
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kNotifyLineState = 6,
  kNotifyModemState = 7,
  kFlowSuspend = 8,
  kFlowResume = 9,
  kSetLineStateMask = 10,
  kSetModemStateMask = 11,
  kPurgeData = 12,
};

// What the server has told about the port: its answers to settings, the line and modem state.
struct ComPortState {
  // Answers to the last setting commands; pending bits (1 << command) clear as they arrive.
  std::uint32_t pending = 0;
  std::uint32_t baud = 0;
  BYTE dataSize = 0, parity = 0, stopSize = 0, flow = 0;
  BYTE modemState = 0;        // last NOTIFY-MODEMSTATE (CD 0x80, RI 0x40, DSR 0x20, CTS 0x10)
  std::uint32_t cts = 0, dsr = 0, rng = 0, dcd = 0;       // line changes seen
  std::uint32_t brk = 0, frame = 0, parityErrors = 0, overrun = 0;  // NOTIFY-LINESTATE counts
  bool suspended = false;     // FLOWCONTROL-SUSPEND: hold back data until RESUME
  std::uint32_t protocolErrors = 0;  // malformed or overlong sequences dropped
};

class Session {
 public:
  // comPort: negotiate COM-PORT-OPTION (rfc2217://); without it the session only keeps the
  // data path 8-bit clean.
  explicit Session(bool comPort) : comPort_(comPort) {}

  // The opening offers: BINARY both ways, SGA both ways, and COM-PORT-OPTION.
  void Start(std::vector<BYTE>& out);

  // Decodes received bytes: data goes to data (never more bytes than were given), replies to
  // the server's requests are appended to out (up to kMaxReplyBytes in out).
  std::size_t Receive(const BYTE* in, std::size_t size, BYTE* data, std::vector<BYTE>& out);

  // Appends a COM-PORT-OPTION command with its value (IAC doubled inside).
  static void Command(BYTE code, const BYTE* value, std::size_t size, std::vector<BYTE>& out);
  // Copies data into out with each 0xFF doubled, until out holds outRoom bytes; returns the
  // count of data bytes taken (an 0xFF is taken whole or not at all).
  static std::size_t Escape(const BYTE* data, std::size_t size, BYTE* out, std::size_t outRoom,
                            std::size_t& written);

  // The server agreed to COM-PORT-OPTION (DO) or refused it (DONT), or neither yet.
  bool ComPortAccepted() const { return us_[kOptComPort] == kYes; }
  bool ComPortRefused() const { return comPort_ && refusedComPort_; }
  ComPortState& Port() { return port_; }
  const ComPortState& Port() const { return port_; }
  // The first printable text the server sent as data (a refusal such as "Port already in use").
  const std::string& Banner() const { return banner_; }
  // Data bytes so far are also collected into Banner() while this is set (during set-up).
  void CollectBanner(bool on) { collectBanner_ = on; }

  // The most reply bytes Receive leaves in out; beyond it the server is not reading and further
  // replies are dropped.
  static constexpr std::size_t kMaxReplyBytes = 4096;
  // A subnegotiation longer than kMaxSubneg is dropped; one that runs past kMaxSubnegSkip
  // without its IAC SE is given up, and what follows is data again.
  static constexpr std::size_t kMaxSubneg = 64;
  static constexpr std::size_t kMaxSubnegSkip = 4096;

 private:
  enum Q : BYTE { kNo, kYes, kWantYes };
  enum State : BYTE { kData, kIacSeen, kOption, kSubneg, kSubnegIac };

  void OnOption(BYTE verb, BYTE option, std::vector<BYTE>& out);
  void OnSubneg();
  void Reply(std::vector<BYTE>& out, BYTE verb, BYTE option);
  bool SupportsLocal(BYTE option) const;
  bool SupportsRemote(BYTE option) const;

  const bool comPort_;
  State state_ = kData;
  BYTE verb_ = 0;
  BYTE us_[256] = {};   // options we perform (WILL)
  BYTE him_[256] = {};  // options the server performs (DO)
  bool refusedComPort_ = false;
  BYTE sb_[kMaxSubneg];
  std::size_t sbLen_ = 0;
  std::size_t sbSkipped_ = 0;
  ComPortState port_;
  std::string banner_;
  bool collectBanner_ = false;
};

}  // namespace qv::platform::telnet

#pragma GCC visibility pop
