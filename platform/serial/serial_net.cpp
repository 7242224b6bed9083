// Network serial ports under the port object: a TCP connection to a serial device server,
// raw (tcp://) or with Telnet and the COM-PORT-OPTION (rfc2217://). The socket is the input
// and output descriptor, so a waiting thread sleeps in poll() on it as on a terminal device.
#include "platform/serial/netport.h"

#include "platform/serial/internal/serial_device.h"
#include "platform/serial/internal/telnet.h"
#include "platform/system/internal/device_kinds.h"
#include "platform/system/signals.h"
#include "platform/win32/winbase.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace qv::platform {

namespace {

constexpr std::string_view kRfc2217 = "rfc2217://";
constexpr std::string_view kTcp = "tcp://";

constexpr std::int64_t kMs = 1000000;
// Received data the device holds itself (taken in while it waits for an answer); more is
// dropped and counted as a receive-buffer overrun.
constexpr std::size_t kMaxHeld = 64 * 1024;
constexpr std::size_t kChunk = 16 * 1024;
// Line-state bits asked for: break, framing, parity and overrun errors.
constexpr BYTE kLineStateMask = 0x1E;

std::atomic<DWORD> gConnectMs{5000};
std::atomic<DWORD> gAnswerMs{2000};

int MsLeft(std::int64_t deadlineNs) {
  const std::int64_t left = deadlineNs - MonotonicNs();
  if (left <= 0) return 0;
  return int(std::min<std::int64_t>((left + kMs - 1) / kMs, INT_MAX));
}

// Errors of a connection that mean the server or the network went away.
bool IsLoss(int err) {
  return err == ECONNRESET || err == EPIPE || err == ETIMEDOUT || err == ENOTCONN ||
         err == EHOSTUNREACH || err == ENETUNREACH || err == ECONNABORTED || err == ENETDOWN;
}

class NetworkDevice final : public SerialDevice {
 public:
  NetworkDevice(int fd, bool rfc2217, std::string name)
      : fd_(fd), rfc2217_(rfc2217), name_(std::move(name)) {}
  ~NetworkDevice() override { Close(); }

  // ---- Set-up (before the port object exists) ----

  // RFC 2217 negotiation and the first look at the server's settings. False with error+text.
  bool SetUp(DWORD& error, std::string& text) {
    session_.CollectBanner(true);
    session_.Start(out_);
    const DWORD answerMs = gAnswerMs.load();
    // A server that turns a client away (its port in use) closes the connection during set-up,
    // often after a line of text.
    auto closed = [&] {
      error = ERROR_SHARING_VIOLATION;
      text = name_ + ": the server closed the connection at once: the port is in use by "
                     "another client, or the server turned this one away";
      const std::string said = Printable(session_.Banner());
      if (!said.empty()) text += " (it said \"" + said + "\")";
      text += ".";
      return false;
    };
    if (!WaitFor([this] { return session_.ComPortAccepted() || session_.ComPortRefused(); },
                 answerMs)) {
      if (eof_) return closed();
      error = ERROR_SEM_TIMEOUT;
      text = name_ + ": the server did not answer the RFC 2217 negotiation within " +
             std::to_string(answerMs) + " ms (is it a raw TCP server? then map it as tcp://).";
      return false;
    }
    if (!session_.ComPortAccepted()) {
      error = ERROR_NOT_SUPPORTED;
      text = name_ + ": the server refuses RFC 2217 port control (a raw TCP server is mapped "
                     "as tcp://).";
      return false;
    }
    const BYTE line = kLineStateMask, modem = 0xFF, zero[4] = {};
    telnet::Session::Command(telnet::kSetLineStateMask, &line, 1, out_);
    telnet::Session::Command(telnet::kSetModemStateMask, &modem, 1, out_);
    // Value 0 asks for the current setting without changing it.
    Ask(telnet::kSetBaudRate, zero, 4);
    Ask(telnet::kSetDataSize, zero, 1);
    Ask(telnet::kSetParity, zero, 1);
    Ask(telnet::kSetStopSize, zero, 1);
    Ask(telnet::kSetControl, zero, 1);
    if (!WaitFor([this] { return session_.Port().pending == 0; }, answerMs)) {
      if (eof_) return closed();
      error = ERROR_SEM_TIMEOUT;
      text = name_ + ": the server did not report the port's settings within " +
             std::to_string(answerMs) + " ms.";
      return false;
    }
    session_.CollectBanner(false);
    return true;
  }

  // ---- SerialDevice ----

  int InputFd() const override { return fd_; }
  // While the server has asked us to hold back and nothing of ours waits, there is nothing to
  // poll for room: its RESUME arrives as input.
  int OutputFd() const override { return Suspended() && out_.empty() ? -1 : fd_; }
  bool PollsLines() const override { return false; }
  bool KeepsBytes() const override { return true; }
  bool InputBuffered() const override { return heldPos_ < held_.size(); }
  bool HoldsOutput() const override { return !out_.empty(); }

  long Read(void* buffer, std::size_t size, DWORD& error) override {
    auto* out = static_cast<BYTE*>(buffer);
    if (heldPos_ < held_.size()) {
      const std::size_t n = std::min(size, held_.size() - heldPos_);
      std::memcpy(out, held_.data() + heldPos_, n);
      heldPos_ += n;
      if (heldPos_ == held_.size()) {
        held_.clear();
        heldPos_ = 0;
      }
      return long(n);
    }
    if (eof_ || fd_ < 0) return Gone(error);
    BYTE raw[4096];
    const ssize_t r = recv(fd_, raw, std::min(size, sizeof raw), 0);
    if (r < 0) {
      if (errno == EAGAIN || errno == EINTR) return 0;
      eof_ = true;
      return Gone(error);
    }
    if (r == 0) {
      eof_ = true;
      return Gone(error);
    }
    if (!rfc2217_) {
      std::memcpy(out, raw, std::size_t(r));
      return long(r);
    }
    // Decoded data is never longer than what was received, so it fits the caller's buffer.
    const std::size_t n = session_.Receive(raw, std::size_t(r), out, out_);
    if (!FlushOut(error)) return -1;
    return long(n);
  }

  long Write(const void* data, std::size_t size, DWORD& error) override {
    if (eof_ || fd_ < 0) return Gone(error);
    if (!FlushOut(error)) return -1;
    if (!out_.empty() || size == 0 || Suspended()) return 0;
    const auto* bytes = static_cast<const BYTE*>(data);
    if (!rfc2217_) {
      const ssize_t r = send(fd_, bytes, std::min(size, kChunk), MSG_NOSIGNAL);
      if (r >= 0) return long(r);
      if (errno == EAGAIN || errno == EINTR) return 0;
      return Lost(error);
    }
    BYTE encoded[2 * kChunk];
    std::size_t length = 0;
    const std::size_t taken =
        telnet::Session::Escape(bytes, std::min(size, kChunk), encoded, sizeof encoded, length);
    const ssize_t r = send(fd_, encoded, length, MSG_NOSIGNAL);
    if (r < 0) {
      if (errno == EAGAIN || errno == EINTR) return 0;
      return Lost(error);
    }
    // What the socket did not take yet is ours to send next (an escape is never split).
    out_.assign(encoded + r, encoded + length);
    return long(taken);
  }

  DWORD OutputQueued() override { return DWORD(out_.size()); }

  bool Apply(const DCB& dcb, DWORD& error) override {
    if (eof_ || fd_ < 0) return Removed(error);
    if (!rfc2217_) return true;  // raw: nothing to tell; the port keeps the settings
    const BYTE baud[4] = {BYTE(dcb.BaudRate >> 24), BYTE(dcb.BaudRate >> 16),
                          BYTE(dcb.BaudRate >> 8), BYTE(dcb.BaudRate)};
    const BYTE size = dcb.ByteSize, parity = BYTE(dcb.Parity + 1), stop = StopCode(dcb.StopBits);
    const DWORD rts = (dcb.Flags & DCB_fRtsControlMask) >> DCB_fRtsControlShift;
    const DWORD dtr = (dcb.Flags & DCB_fDtrControlMask) >> DCB_fDtrControlShift;
    const bool hardware = (dcb.Flags & DCB_fOutxCtsFlow) || rts == RTS_CONTROL_HANDSHAKE;
    const BYTE flow = hardware ? 3 : (dcb.Flags & DCB_fOutX) ? 2 : 1;
    const BYTE inbound = rts == RTS_CONTROL_HANDSHAKE ? 16 : (dcb.Flags & DCB_fInX) ? 15 : 14;
    Ask(telnet::kSetBaudRate, baud, 4);
    Ask(telnet::kSetDataSize, &size, 1);
    Ask(telnet::kSetParity, &parity, 1);
    Ask(telnet::kSetStopSize, &stop, 1);
    Ask(telnet::kSetControl, &flow, 1);
    // Inbound flow and the line levels are not answered by every server: not waited for.
    Send(telnet::kSetControl, inbound);
    if (!hardware) Send(telnet::kSetControl, rts == RTS_CONTROL_DISABLE ? 12 : 11);
    Send(telnet::kSetControl, dtr == DTR_CONTROL_DISABLE ? 9 : 8);
    if (!WaitFor([this] { return session_.Port().pending == 0; }, gAnswerMs.load())) {
      error = eof_ ? ERROR_DEVICE_REMOVED : ERROR_SEM_TIMEOUT;
      return false;
    }
    const telnet::ComPortState& p = session_.Port();
    // The server answers with what it set; a value it could not take is a refusal.
    if (std::llabs(std::int64_t(p.baud) - std::int64_t(dcb.BaudRate)) * 50 > std::int64_t(dcb.BaudRate)) {
      error = ERROR_INVALID_PARAMETER;
      return false;
    }
    if (p.dataSize != size || p.parity != parity || p.stopSize != stop || p.flow != flow) {
      error = ERROR_NOT_SUPPORTED;
      return false;
    }
    return true;
  }

  bool ReadBack(DCB& dcb, DWORD& error) override {
    if (eof_ || fd_ < 0) return Removed(error);
    if (!rfc2217_) return true;
    const telnet::ComPortState& p = session_.Port();
    if (p.baud) dcb.BaudRate = p.baud;
    if (p.dataSize >= 5 && p.dataSize <= 8) dcb.ByteSize = p.dataSize;
    if (p.parity >= 1 && p.parity <= 5) dcb.Parity = BYTE(p.parity - 1);
    if (p.stopSize == 1) dcb.StopBits = ONESTOPBIT;
    if (p.stopSize == 2) dcb.StopBits = TWOSTOPBITS;
    if (p.stopSize == 3) dcb.StopBits = ONE5STOPBITS;
    return true;
  }

  bool HasModemLines() const override { return true; }

  DWORD ModemStatus() override {
    if (!rfc2217_) return eof_ ? 0 : MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
    const BYTE m = session_.Port().modemState;
    DWORD ms = 0;
    if (m & 0x10) ms |= MS_CTS_ON;
    if (m & 0x20) ms |= MS_DSR_ON;
    if (m & 0x40) ms |= MS_RING_ON;
    if (m & 0x80) ms |= MS_RLSD_ON;
    return ms;
  }

  bool Escape(DWORD function, DWORD& error) override {
    if (eof_ || fd_ < 0) return Removed(error);
    BYTE code = 0;
    switch (function) {
      case SETDTR: code = 8; break;
      case CLRDTR: code = 9; break;
      case SETRTS: code = 11; break;
      case CLRRTS: code = 12; break;
      case SETBREAK: code = 5; break;
      case CLRBREAK: code = 6; break;
      case SETXON:
      case SETXOFF:
      case RESETDEV: return true;
      default: error = ERROR_INVALID_PARAMETER; return false;
    }
    if (!rfc2217_) return true;
    Send(telnet::kSetControl, code);
    return FlushOut(error);
  }

  bool Counters(LineCounters& c) override {
    if (!rfc2217_) return false;
    const telnet::ComPortState& p = session_.Port();
    c.cts = p.cts;
    c.dsr = p.dsr;
    c.rng = p.rng;
    c.dcd = p.dcd;
    c.brk = p.brk;
    c.frame = p.frame;
    c.parity = p.parityErrors;
    c.overrun = p.overrun;
    c.bufOverrun = bufOverrun_;
    return true;
  }

  void Flush(bool input, bool output) override {
    if (input) {
      held_.clear();
      heldPos_ = 0;
    }
    if (!rfc2217_ || (!input && !output) || eof_) return;
    Send(telnet::kPurgeData, BYTE(input && output ? 3 : input ? 1 : 2));
    DWORD error;
    FlushOut(error);
  }

  void Close() override {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
  }

 private:
  static long Gone(DWORD& error) {
    error = ERROR_DEVICE_REMOVED;
    return -1;
  }
  static bool Removed(DWORD& error) {
    error = ERROR_DEVICE_REMOVED;
    return false;
  }
  long Lost(DWORD& error) {
    if (IsLoss(errno)) eof_ = true;
    error = IsLoss(errno) ? ERROR_DEVICE_REMOVED : ErrorFromErrno(errno);
    return -1;
  }
  static BYTE StopCode(BYTE stopBits) {
    return stopBits == TWOSTOPBITS ? 2 : stopBits == ONE5STOPBITS ? 3 : 1;
  }
  static std::string Printable(const std::string& s) {
    std::string out;
    for (char c : s)
      if (c >= 0x20 && c < 0x7F) out += c;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
  }

  bool Suspended() const { return rfc2217_ && session_.Port().suspended; }

  void Send(BYTE command, BYTE value) { telnet::Session::Command(command, &value, 1, out_); }
  // A setting command whose answer is waited for.
  void Ask(BYTE command, const BYTE* value, std::size_t size) {
    session_.Port().pending |= 1u << command;
    telnet::Session::Command(command, value, size, out_);
  }

  // Sends what we hold; false (with the error) when the connection is lost.
  bool FlushOut(DWORD& error) {
    while (!out_.empty() && fd_ >= 0) {
      const ssize_t r = send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL);
      if (r > 0) {
        out_.erase(out_.begin(), out_.begin() + r);
        continue;
      }
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) return true;
      return Lost(error) >= 0;
    }
    return true;
  }

  // Sends and receives until done() holds, the connection ends or the time is up. Data that
  // arrives meanwhile is held for Read.
  template <class Done>
  bool WaitFor(Done done, DWORD timeoutMs) {
    const std::int64_t deadline = MonotonicNs() + std::int64_t(timeoutMs) * kMs;
    DWORD error;
    for (;;) {
      if (!FlushOut(error)) return false;
      if (done()) return true;
      if (eof_) return false;
      const int ms = MsLeft(deadline);
      if (ms == 0) return false;
      pollfd pfd{fd_, short(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0};
      if (poll(&pfd, 1, ms) <= 0 || !(pfd.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      BYTE raw[4096], data[4096];
      const ssize_t r = recv(fd_, raw, sizeof raw, 0);
      if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
        eof_ = true;
        continue;
      }
      if (r < 0) continue;
      const std::size_t n = session_.Receive(raw, std::size_t(r), data, out_);
      const std::size_t keep = std::min(n, kMaxHeld - std::min(kMaxHeld, held_.size()));
      held_.insert(held_.end(), data, data + keep);
      if (keep < n) ++bufOverrun_;
    }
  }

  int fd_;
  const bool rfc2217_;
  const std::string name_;
  telnet::Session session_{true};
  std::vector<BYTE> out_;   // ours to send: replies, commands, the rest of a data block
  std::vector<BYTE> held_;  // data received while waiting for an answer
  std::size_t heldPos_ = 0;
  std::uint32_t bufOverrun_ = 0;
  bool eof_ = false;
};

std::string Endpoint(const NetworkTarget& t) {
  const bool v6 = t.host.find(':') != std::string::npos;
  return (v6 ? "[" + t.host + "]" : t.host) + " port " + t.port;
}

// One address, non-blocking, until the deadline. 0 when connected, else an errno value.
int ConnectOne(const addrinfo* ai, std::int64_t deadline, int& fd) {
  fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
  if (fd < 0) return errno;
  int err = 0;
  if (connect(fd, ai->ai_addr, ai->ai_addrlen) < 0) {
    err = errno;
    while (err == EINPROGRESS || err == EINTR) {
      pollfd pfd{fd, POLLOUT, 0};
      const int ms = MsLeft(deadline);
      const int n = ms == 0 ? 0 : poll(&pfd, 1, ms);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        err = ETIMEDOUT;
        break;
      }
      socklen_t len = sizeof err;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
      break;
    }
  }
  if (err) {
    close(fd);
    fd = -1;
  }
  return err;
}

// A name lookup on a thread of its own, so that the caller can stop waiting for it: the
// resolver has time-outs of its own (30 s and more with several name servers) and restarts
// its waits after a signal. An abandoned lookup ends on its own and frees what it found.
struct Lookup {
  std::mutex mutex;
  bool done = false, abandoned = false;
  int result = 0;
  addrinfo* list = nullptr;
  int doneFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  ~Lookup() {
    if (list) freeaddrinfo(list);
    if (doneFd >= 0) close(doneFd);
  }
};

constexpr int kLookupTimedOut = INT_MIN;

// getaddrinfo's result (EAI_CANCELED when a termination signal ended the wait,
// kLookupTimedOut when the deadline passed first) and, on success, the addresses.
int LookUp(const NetworkTarget& t, std::int64_t deadline, addrinfo*& out) {
  auto lookup = std::make_shared<Lookup>();
  if (lookup->doneFd < 0) return EAI_SYSTEM;
  try {
    std::thread([lookup, host = t.host, port = t.port] {
      // Signals go to the threads that wait for them, never to this one.
      sigset_t all;
      sigfillset(&all);
      pthread_sigmask(SIG_BLOCK, &all, nullptr);
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      hints.ai_flags = AI_NUMERICSERV;
      addrinfo* list = nullptr;
      const int result = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
      std::lock_guard lock(lookup->mutex);
      lookup->result = result;
      lookup->list = list;
      lookup->done = true;
      const std::uint64_t one = 1;
      if (write(lookup->doneFd, &one, sizeof one) < 0) {
        // The flag alone tells a caller that looks again.
      }
    }).detach();
  } catch (const std::system_error&) {
    return EAI_SYSTEM;
  }
  pollfd fds[2] = {{lookup->doneFd, POLLIN, 0}, {TerminationSignalFd(), POLLIN, 0}};
  for (;;) {
    {
      std::lock_guard lock(lookup->mutex);
      if (lookup->done) {
        out = std::exchange(lookup->list, nullptr);
        return lookup->result;
      }
    }
    if (fds[1].revents) return EAI_CANCELED;
    const int ms = MsLeft(deadline);
    if (ms == 0) return kLookupTimedOut;
    if (poll(fds, 2, ms) < 0 && errno != EINTR) return EAI_SYSTEM;
  }
}

}  // namespace

void SetNetworkTimeouts(DWORD connectMs, DWORD answerMs) {
  gConnectMs.store(connectMs);
  gAnswerMs.store(answerMs);
}

std::unique_ptr<SerialDevice> OpenNetworkDevice(const std::string& name, DWORD& error,
                                                std::string& text) {
  NetworkTarget t;
  if (!ParseNetworkTarget(name, t)) {
    error = ERROR_INVALID_NAME;
    text = "\"" + name + "\" is not a network port address (rfc2217://HOST:PORT or "
           "tcp://HOST:PORT; an IPv6 address in brackets).";
    return nullptr;
  }
  const std::string where = Endpoint(t);
  const DWORD connectMs = gConnectMs.load();
  const std::int64_t deadline = MonotonicNs() + std::int64_t(connectMs) * kMs;
  addrinfo* list = nullptr;
  const int gai = LookUp(t, deadline, list);
  if (gai != 0) {
    error = gai == EAI_CANCELED ? ERROR_OPERATION_ABORTED
            : gai == kLookupTimedOut ? ERROR_SEM_TIMEOUT
                                     : ERROR_BAD_NET_NAME;
    text = name + ": the host name " + t.host +
           (gai == EAI_CANCELED     ? " was being looked up when a signal ended the wait."
            : gai == kLookupTimedOut ? " cannot be looked up within " + std::to_string(connectMs) +
                                           " ms (no answer from the name server)."
            : gai == EAI_AGAIN       ? " cannot be looked up now (no answer from the name server)."
                                     : " is not found (" + std::string(gai_strerror(gai)) + ").");
    return nullptr;
  }
  int fd = -1, err = 0;
  for (const addrinfo* ai = list; ai && fd < 0; ai = ai->ai_next) {
    err = ConnectOne(ai, deadline, fd);
    if (err == ETIMEDOUT) break;
  }
  freeaddrinfo(list);
  if (fd < 0) {
    switch (err) {
      case ECONNREFUSED:
        error = ERROR_CONNECTION_REFUSED;
        text = name + ": connection refused by " + where + " (no server listens there).";
        break;
      case ENETUNREACH:
        error = ERROR_NETWORK_UNREACHABLE;
        text = name + ": the network of " + where + " is unreachable (no route to it).";
        break;
      case EHOSTUNREACH:
        error = ERROR_HOST_UNREACHABLE;
        text = name + ": " + where + " is unreachable (the host does not answer).";
        break;
      case ETIMEDOUT:
        error = ERROR_SEM_TIMEOUT;
        text = name + ": no answer from " + where + " within " + std::to_string(connectMs) +
               " ms (host down, or a firewall drops the connection).";
        break;
      default:
        error = ErrorFromErrno(err);
        text = name + ": cannot connect to " + where + ": " + std::strerror(err) + ".";
        break;
    }
    return nullptr;
  }
  const int one = 1, idle = 10, interval = 5, count = 3;
  // Small writes go out at once (barcodes are short); a silent dead peer is found by
  // keep-alive probes in about 25 s instead of never.
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  auto device = std::make_unique<NetworkDevice>(fd, t.rfc2217, name);
  if (t.rfc2217 && !device->SetUp(error, text)) return nullptr;
  error = ERROR_SUCCESS;
  return device;
}

bool ParseNetworkTarget(std::string_view name, NetworkTarget& target) {
  NetworkTarget t;
  if (HasScheme(name, kRfc2217)) {
    t.rfc2217 = true;
    name.remove_prefix(kRfc2217.size());
  } else if (HasScheme(name, kTcp)) {
    name.remove_prefix(kTcp.size());
  } else {
    return false;
  }
  std::string_view host, port;
  if (!name.empty() && name[0] == '[') {
    const std::size_t close = name.find(']');
    if (close == std::string_view::npos || close + 1 >= name.size() || name[close + 1] != ':')
      return false;
    host = name.substr(1, close - 1);
    port = name.substr(close + 2);
  } else {
    const std::size_t colon = name.rfind(':');
    if (colon == std::string_view::npos) return false;
    host = name.substr(0, colon);
    port = name.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) return false;  // IPv6 needs its brackets
  }
  if (host.empty() || host.size() > 253 || port.empty() || port.size() > 5 || port[0] == '0')
    return false;
  for (char c : host) {
    const bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ||
                    c == ':' || c == '_' || c == '%';
    if (!ok) return false;
  }
  unsigned n = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + unsigned(c - '0');
  }
  if (n < 1 || n > 65535) return false;
  t.host = host;
  t.port = port;
  target = std::move(t);
  return true;
}

// Network ports are taken as given: present while mapped, never connected to for a listing;
// their address is their description.
namespace {
constexpr std::string_view kNetworkSchemes[] = {kRfc2217, kTcp};
bool NetworkWellFormed(std::string_view name) {
  NetworkTarget t;
  return ParseNetworkTarget(name, t);
}
}  // namespace

extern const DeviceKind kNetworkPorts{
    .schemes = kNetworkSchemes,
    .WellFormed = NetworkWellFormed,
    .Present = [](const std::string&) { return true; },
    .Canonical = [](const std::string& name) { return name; },
    .Check = [](const std::string& name, const std::string& shown, std::string& reason) -> DWORD {
      if (NetworkWellFormed(name)) return ERROR_SUCCESS;
      reason = shown + " is not a network port name (rfc2217://HOST:PORT or tcp://HOST:PORT)";
      return ERROR_INVALID_NAME;
    },
    .Describe = [](const std::string& name) { return name; },
    .Open = OpenNetworkDevice,
};

}  // namespace qv::platform
