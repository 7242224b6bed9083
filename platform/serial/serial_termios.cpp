// Terminal devices under the port object: DCB <-> termios2 mapping, modem-line and counter
// ioctls, exclusive open. Kept in its own translation unit because <asm/termbits.h> (needed for
// termios2 and arbitrary baud rates) clashes with glibc's <termios.h>.
#include "platform/serial/internal/serial_device.h"
#include "platform/system/internal/device_kinds.h"
#include "platform/system/portmap.h"
#include "platform/system/ttydevices.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>

namespace qv::platform {

// ---- DCB checks shared by every device --------------------------------------------------------

DWORD ValidateDcb(const DCB& dcb) {
  if (dcb.BaudRate == 0) return ERROR_INVALID_PARAMETER;
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return ERROR_INVALID_PARAMETER;
  if (dcb.Parity > SPACEPARITY) return ERROR_INVALID_PARAMETER;
  if (dcb.StopBits > TWOSTOPBITS) return ERROR_INVALID_PARAMETER;
  // One and a half stop bits exist only with 5 data bits (a UART gives 2 otherwise).
  if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) return ERROR_INVALID_PARAMETER;
  if ((dcb.Flags & (DCB_fOutX | DCB_fInX)) && dcb.XonChar == dcb.XoffChar)
    return ERROR_INVALID_PARAMETER;
  // Linux has no DSR output flow control, no DTR input handshake and no RTS toggling around
  // each transmission; refusing them beats silently running without them.
  if (dcb.Flags & DCB_fOutxDsrFlow) return ERROR_NOT_SUPPORTED;
  const DWORD dtr = (dcb.Flags & DCB_fDtrControlMask) >> DCB_fDtrControlShift;
  const DWORD rts = (dcb.Flags & DCB_fRtsControlMask) >> DCB_fRtsControlShift;
  if (dtr == DTR_CONTROL_HANDSHAKE || dtr > DTR_CONTROL_HANDSHAKE) return ERROR_NOT_SUPPORTED;
  if (rts == RTS_CONTROL_TOGGLE) return ERROR_NOT_SUPPORTED;
  return ERROR_SUCCESS;
}

unsigned FrameModeBits(const DCB& dcb) {
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tcflag_t bits = kSizes[dcb.ByteSize - 5];
  switch (dcb.Parity) {
    case ODDPARITY: bits |= PARENB | PARODD; break;
    case EVENPARITY: bits |= PARENB; break;
    case MARKPARITY: bits |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: bits |= PARENB | CMSPAR; break;
    default: break;
  }
  // 1.5 stop bits: the UART gives 1.5 with 5-bit words and 2 otherwise.
  if (dcb.StopBits != ONESTOPBIT) bits |= CSTOPB;
  return bits;
}

namespace {

struct BaudCode {
  DWORD rate;
  unsigned code;
};
constexpr BaudCode kBauds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

unsigned CodeForRate(DWORD rate) {
  for (const BaudCode& b : kBauds)
    if (b.rate == rate) return b.code;
  return BOTHER;
}

DWORD RateOf(const termios2& t) {
  const unsigned code = t.c_cflag & CBAUD;
  if (code == BOTHER) return t.c_ospeed;
  for (const BaudCode& b : kBauds)
    if (b.code == code) return b.rate;
  return t.c_ospeed;
}

// Errors that mean the device is gone rather than that the call was wrong.
bool IsRemoval(int err) {
  return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE || err == ESHUTDOWN;
}

// Devices open in this process, by device number: flock already refuses a second open, and
// this table keeps the answer right even where locks are not honoured.
std::mutex gOpenMutex;
std::set<dev_t>& OpenDevices() {
  static auto* devices = new std::set<dev_t>;
  return *devices;
}

void MakeRaw(termios2& t) {
  t.c_iflag &= ~tcflag_t(BRKINT | ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY |
                         PARMRK | INPCK | IGNPAR | IMAXBEL | IUCLC);
  // A break is reported through the counters, not as a NUL byte in the data.
  t.c_iflag |= IGNBRK;
  t.c_oflag &= ~tcflag_t(OPOST);
  t.c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | NOFLSH | TOSTOP);
  t.c_cflag |= CREAD | CLOCAL;
  // VMIN 1 keeps a non-blocking read at EAGAIN when there is no data, so that a read of 0
  // bytes always means hang-up.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

class TermiosDevice final : public SerialDevice {
 public:
  TermiosDevice(int fd, dev_t rdev) : fd_(fd), rdev_(rdev) {
    int bits = 0;
    hasLines_ = ioctl(fd_, TIOCMGET, &bits) == 0;
    serial_icounter_struct ic{};
    hasCounters_ = ioctl(fd_, TIOCGICOUNT, &ic) == 0;
    // Low latency where the driver offers it (real UARTs); ptys and others simply say no.
    serial_struct ss{};
    // Undone at close, so the next program finds the driver as it was.
    if (ioctl(fd_, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
      ss.flags |= ASYNC_LOW_LATENCY;
      lowLatencySet_ = ioctl(fd_, TIOCSSERIAL, &ss) == 0;
    }
  }
  ~TermiosDevice() override { Close(); }

  int InputFd() const override { return fd_; }
  int OutputFd() const override { return fd_; }
  bool PollsLines() const override { return hasLines_ || hasCounters_; }

  long Read(void* buffer, std::size_t size, DWORD& error) override {
    if (fd_ < 0) return Gone(error);
    ssize_t n = read(fd_, buffer, size);
    if (n > 0) return long(n);
    if (n == 0) return Gone(error);  // hang-up: with VMIN 1 an empty read is never "no data"
    if (errno == EAGAIN || errno == EINTR) return 0;
    if (IsRemoval(errno)) return Gone(error);
    error = ErrorFromErrno(errno);
    return -1;
  }

  long Write(const void* data, std::size_t size, DWORD& error) override {
    if (fd_ < 0) return Gone(error);
    ssize_t n = write(fd_, data, size);
    if (n >= 0) return long(n);
    if (errno == EAGAIN || errno == EINTR) return 0;
    if (IsRemoval(errno)) return Gone(error);
    error = ErrorFromErrno(errno);
    return -1;
  }

  DWORD OutputQueued() override {
    int n = 0;
    if (fd_ < 0 || ioctl(fd_, TIOCOUTQ, &n) < 0 || n < 0) return 0;
    return DWORD(n);
  }

  // The UART's line status (transmitter empty) where the driver reports it: an empty kernel
  // queue still leaves the FIFO and the shift register sending, and RTS dropped then cuts the
  // frame short on an RS-485 line.
  bool TransmitterEmpty() override {
    if (fd_ < 0 || !lsrOffered_) return true;
    unsigned int lsr = 0;
    if (ioctl(fd_, TIOCSERGETLSR, &lsr) < 0) {
      lsrOffered_ = false;  // ptys, USB adapters and others do not say
      return true;
    }
    return (lsr & TIOCSER_TEMT) != 0;
  }

  bool Apply(const DCB& dcb, DWORD& error) override {
    termios2 old{};
    if (ioctl(fd_, TCGETS2, &old) < 0) return Fail(error);
    termios2 t = old;
    MakeRaw(t);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= FrameModeBits(dcb);
    const DWORD rts = (dcb.Flags & DCB_fRtsControlMask) >> DCB_fRtsControlShift;
    const bool hardwareFlow = (dcb.Flags & DCB_fOutxCtsFlow) || rts == RTS_CONTROL_HANDSHAKE;
    if (hardwareFlow) t.c_cflag |= CRTSCTS;
    if (dcb.Flags & DCB_fOutX) t.c_iflag |= IXON;
    if (dcb.Flags & DCB_fInX) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = cc_t(dcb.XonChar);
    t.c_cc[VSTOP] = cc_t(dcb.XoffChar);
    const unsigned code = CodeForRate(dcb.BaudRate);
    t.c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= code | (code << IBSHIFT);
    t.c_ispeed = t.c_ospeed = dcb.BaudRate;
    if (ioctl(fd_, TCSETS2, &t) < 0) return Fail(error);

    // The driver may quietly keep what it cannot do (a pty keeps 8 data bits and no parity);
    // compare and put the old settings back when it did.
    termios2 now{};
    if (ioctl(fd_, TCGETS2, &now) < 0) return Fail(error);
    const tcflag_t kChecked = CSIZE | PARENB | CSTOPB | CRTSCTS | (t.c_cflag & PARENB ? PARODD | CMSPAR : 0);
    DWORD mismatch = ERROR_SUCCESS;
    if ((now.c_cflag & kChecked) != (t.c_cflag & kChecked)) mismatch = ERROR_NOT_SUPPORTED;
    const DWORD got = RateOf(now);
    // Drivers report the rate they could set; more than 2 % off is not that rate.
    if (std::llabs(std::int64_t(got) - std::int64_t(dcb.BaudRate)) * 50 > std::int64_t(dcb.BaudRate))
      mismatch = ERROR_INVALID_PARAMETER;
    if (mismatch != ERROR_SUCCESS) {
      ioctl(fd_, TCSETS2, &old);
      error = mismatch;
      return false;
    }

    // The control modes set the lines now, as SetCommState does; a device without modem lines
    // (a pty) has nothing to set.
    const DWORD dtr = (dcb.Flags & DCB_fDtrControlMask) >> DCB_fDtrControlShift;
    if (hasLines_) {
      SetBits(TIOCM_DTR, dtr == DTR_CONTROL_ENABLE);
      SetBits(TIOCM_RTS, rts == RTS_CONTROL_ENABLE || rts == RTS_CONTROL_HANDSHAKE);
    }
    return true;
  }

  bool ReadBack(DCB& dcb, DWORD& error) override {
    termios2 t{};
    if (fd_ < 0 || ioctl(fd_, TCGETS2, &t) < 0) return Fail(error);
    dcb.BaudRate = RateOf(t);
    switch (t.c_cflag & CSIZE) {
      case CS5: dcb.ByteSize = 5; break;
      case CS6: dcb.ByteSize = 6; break;
      case CS7: dcb.ByteSize = 7; break;
      default: dcb.ByteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB)) dcb.Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR) dcb.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else dcb.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    if (!(t.c_cflag & CSTOPB)) dcb.StopBits = ONESTOPBIT;
    else if (!(dcb.StopBits == ONE5STOPBITS && dcb.ByteSize == 5)) dcb.StopBits = TWOSTOPBITS;
    dcb.Flags &= ~(DCB_fOutX | DCB_fInX);
    if (t.c_iflag & IXON) dcb.Flags |= DCB_fOutX;
    if (t.c_iflag & IXOFF) dcb.Flags |= DCB_fInX;
    dcb.XonChar = char(t.c_cc[VSTART]);
    dcb.XoffChar = char(t.c_cc[VSTOP]);
    const DWORD rts = (dcb.Flags & DCB_fRtsControlMask) >> DCB_fRtsControlShift;
    const bool remembered = (dcb.Flags & DCB_fOutxCtsFlow) || rts == RTS_CONTROL_HANDSHAKE;
    if ((t.c_cflag & CRTSCTS) && !remembered) {
      dcb.Flags |= DCB_fOutxCtsFlow;
      dcb.Flags = (dcb.Flags & ~DCB_fRtsControlMask) | (RTS_CONTROL_HANDSHAKE << DCB_fRtsControlShift);
    } else if (!(t.c_cflag & CRTSCTS) && remembered) {
      dcb.Flags &= ~DCB_fOutxCtsFlow;
      if (rts == RTS_CONTROL_HANDSHAKE)
        dcb.Flags = (dcb.Flags & ~DCB_fRtsControlMask) | (RTS_CONTROL_ENABLE << DCB_fRtsControlShift);
    }
    return true;
  }

  bool HasModemLines() const override { return hasLines_; }

  DWORD ModemStatus() override {
    int bits = 0;
    if (!hasLines_ || fd_ < 0 || ioctl(fd_, TIOCMGET, &bits) < 0) return 0;
    DWORD ms = 0;
    if (bits & TIOCM_CTS) ms |= MS_CTS_ON;
    if (bits & TIOCM_DSR) ms |= MS_DSR_ON;
    if (bits & TIOCM_RNG) ms |= MS_RING_ON;
    if (bits & TIOCM_CAR) ms |= MS_RLSD_ON;
    return ms;
  }

  bool Escape(DWORD function, DWORD& error) override {
    if (fd_ < 0) {
      error = ERROR_DEVICE_REMOVED;
      return false;
    }
    int r = 0;
    switch (function) {
      case SETDTR: return !hasLines_ || SetBits(TIOCM_DTR, true) || Fail(error);
      case CLRDTR: return !hasLines_ || SetBits(TIOCM_DTR, false) || Fail(error);
      case SETRTS: return !hasLines_ || SetBits(TIOCM_RTS, true) || Fail(error);
      case CLRRTS: return !hasLines_ || SetBits(TIOCM_RTS, false) || Fail(error);
      case SETBREAK: r = ioctl(fd_, TIOCSBRK); break;
      case CLRBREAK: r = ioctl(fd_, TIOCCBRK); break;
      case SETXOFF: r = ioctl(fd_, TCXONC, TCOOFF); break;
      case SETXON: r = ioctl(fd_, TCXONC, TCOON); break;
      case RESETDEV: return true;
      default: error = ERROR_INVALID_PARAMETER; return false;
    }
    // A device without break or flow control has nothing to do: not a failure.
    if (r < 0 && errno != ENOTTY && errno != EINVAL) return Fail(error);
    return true;
  }

  bool Counters(LineCounters& c) override {
    if (!hasCounters_ || fd_ < 0) return false;
    serial_icounter_struct ic{};
    if (ioctl(fd_, TIOCGICOUNT, &ic) < 0) return false;
    c.cts = std::uint32_t(ic.cts);
    c.dsr = std::uint32_t(ic.dsr);
    c.rng = std::uint32_t(ic.rng);
    c.dcd = std::uint32_t(ic.dcd);
    c.brk = std::uint32_t(ic.brk);
    c.frame = std::uint32_t(ic.frame);
    c.parity = std::uint32_t(ic.parity);
    c.overrun = std::uint32_t(ic.overrun);
    c.bufOverrun = std::uint32_t(ic.buf_overrun);
    return true;
  }

  void Flush(bool input, bool output) override {
    if (fd_ < 0 || (!input && !output)) return;
    ioctl(fd_, TCFLSH, input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH);
  }

  void Close() override {
    if (fd_ < 0) return;
    DiscardStuckOutput();
    if (lowLatencySet_) {
      serial_struct ss{};
      if (ioctl(fd_, TIOCGSERIAL, &ss) == 0) {
        ss.flags &= ~ASYNC_LOW_LATENCY;
        ioctl(fd_, TIOCSSERIAL, &ss);
      }
    }
    ioctl(fd_, TIOCNXCL);
    close(fd_);  // also drops the flock
    fd_ = -1;
    std::lock_guard lock(gOpenMutex);
    OpenDevices().erase(rdev_);
  }

 private:
  static long Gone(DWORD& error) {
    error = ERROR_DEVICE_REMOVED;
    return -1;
  }
  static bool Fail(DWORD& error) {
    error = IsRemoval(errno) ? ERROR_DEVICE_REMOVED : ErrorFromErrno(errno);
    return false;
  }
  bool SetBits(int bits, bool on) {
    return ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
  }
  // Output the driver still holds would make close() sit out the driver's closing wait (30 s
  // by default) while flow control holds the line. What still moves is given a moment to go
  // out; what does not is discarded, as closing a port discards pending writes.
  void DiscardStuckOutput() {
    constexpr int kStepMs = 10, kStallMs = 100, kMaxMs = 1000;
    int queued = 0;
    if (ioctl(fd_, TIOCOUTQ, &queued) < 0 || queued <= 0) return;
    int last = queued, stalled = 0;
    for (int waited = 0; queued > 0 && waited < kMaxMs && stalled < kStallMs; waited += kStepMs) {
      usleep(kStepMs * 1000);
      if (ioctl(fd_, TIOCOUTQ, &queued) < 0) return;
      if (queued < last) {
        last = queued;
        stalled = 0;
      } else {
        stalled += kStepMs;
      }
    }
    if (queued > 0) ioctl(fd_, TCFLSH, TCOFLUSH);
  }

  int fd_;
  dev_t rdev_;
  bool hasLines_ = false;
  bool hasCounters_ = false;
  bool lowLatencySet_ = false;  // this open turned low latency on
  bool lsrOffered_ = true;      // until the driver says it has no line status
};

DWORD OpenError(int err) {
  // A node without hardware behind it (ENXIO, ENODEV, EIO on open) is a port that is not there.
  if (err == ENOENT || err == ENOTDIR || err == ENXIO || err == ENODEV || err == EIO)
    return ERROR_FILE_NOT_FOUND;
  if (err == EBUSY || err == EWOULDBLOCK) return ERROR_SHARING_VIOLATION;
  return ErrorFromErrno(err);
}

}  // namespace

std::unique_ptr<SerialDevice> OpenTermiosDevice(const std::string& path, DWORD& error) {
  struct stat st;
  if (stat(path.c_str(), &st) < 0) {
    error = OpenError(errno);
    return nullptr;
  }
  if (!S_ISCHR(st.st_mode)) {
    error = ERROR_BAD_COMMAND;
    return nullptr;
  }
  {
    std::lock_guard lock(gOpenMutex);
    if (OpenDevices().contains(st.st_rdev)) {
      error = ERROR_SHARING_VIOLATION;
      return nullptr;
    }
  }
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = OpenError(errno);
    return nullptr;
  }
  auto fail = [&](DWORD e) -> std::unique_ptr<SerialDevice> {
    close(fd);
    error = e;
    return nullptr;
  };
  // Root ignores TIOCEXCL, so the advisory lock is what keeps other processes out.
  if (flock(fd, LOCK_EX | LOCK_NB) < 0) return fail(OpenError(errno));
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) < 0) return fail(errno == ENOTTY ? ERROR_BAD_COMMAND : OpenError(errno));
  MakeRaw(t);
  if (ioctl(fd, TCSETS2, &t) < 0) return fail(OpenError(errno));
  ioctl(fd, TIOCEXCL);
  {
    std::lock_guard lock(gOpenMutex);
    if (!OpenDevices().insert(st.st_rdev).second) return fail(ERROR_SHARING_VIOLATION);
  }
  return std::make_unique<TermiosDevice>(fd, st.st_rdev);
}

// Terminal devices are named by their absolute path; the system lists the serial ones in sysfs
// and announces them as udev's tty subsystem, their nodes in the device folder as tty*, rfcomm*
// (Bluetooth links) and ircomm* (infrared links).
namespace {
constexpr std::string_view kTerminalSchemes[] = {"/"};
constexpr std::string_view kTerminalNodes[] = {"tty", "rfcomm", "ircomm"};
}  // namespace

extern const DeviceKind kTerminalDevices{
    .schemes = kTerminalSchemes,
    .WellFormed = [](std::string_view) { return true; },
    .Present = [](const std::string& path) {
      struct stat st;
      return stat(path.c_str(), &st) == 0;
    },
    .Canonical = [](const std::string& path) {
      const std::string real = sysfs::ResolvePath(path);
      return real.empty() ? path : real;
    },
    .Check = [](const std::string& path, const std::string&, std::string& reason) {
      return CheckTerminalDevice(path, reason);
    },
    .Open = [](const std::string& path, DWORD& error, std::string&) { return OpenTermiosDevice(path, error); },
    .List = sysfs::ListSerialTtys,
    .nodePrefixes = kTerminalNodes,
    .udevSubsystem = "tty",
};

}  // namespace qv::platform
