// The serial component on the kernel's 8250 driver (QEMU's 16550A): what the host end of the
// line and the UART's registers (QEMU's trace) see.
#include "lab.h"

#include "platform/serial/winserial.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <chrono>
#include <thread>

namespace {

using qv::test::PumpFor;
using qv::test::PumpUntil;

// The last line settings the UART was given, as QEMU's trace shows them ("19200 N 8 1"), from
// the trace lines taken now; empty when there were none.
std::string LastUartParameters() {
  std::string last;
  for (const std::string& line : lab::Words(lab::Ask("trace-take"), '|')) {
    unsigned long long rate;
    char parity;
    int data, stop;
    const std::size_t at = line.find("baudrate=");
    if (at != std::string::npos &&
        std::sscanf(line.c_str() + at, "baudrate=%llu parity='%c' data=%d stop=%d", &rate, &parity,
                    &data, &stop) == 4)
      last = std::to_string(rate) + " " + parity + " " + std::to_string(data) + " " + std::to_string(stop);
  }
  return last;
}

// The register writes of the UARTs since the last take: {offset, value} in order.
std::vector<std::pair<int, int>> RegisterWrites() {
  std::vector<std::pair<int, int>> out;
  for (const std::string& line : lab::Words(lab::Ask("trace-take"), '|')) {
    unsigned addr, value;
    const std::size_t at = line.find("serial_write ");
    if (at != std::string::npos &&
        std::sscanf(line.c_str() + at, "serial_write write addr 0x%x val 0x%x", &addr, &value) == 2)
      out.emplace_back(int(addr), int(value));
  }
  return out;
}

int SerialFlags(const char* device) {
  const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  serial_struct ss{};
  const int r = fd >= 0 ? ioctl(fd, TIOCGSERIAL, &ss) : -1;
  if (fd >= 0) close(fd);
  return r == 0 ? ss.flags : -1;
}

void SetLowLatency(const char* device, bool on) {
  const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  serial_struct ss{};
  ASSERT_EQ(ioctl(fd, TIOCGSERIAL, &ss), 0);
  ss.flags = on ? ss.flags | ASYNC_LOW_LATENCY : ss.flags & ~ASYNC_LOW_LATENCY;
  ASSERT_EQ(ioctl(fd, TIOCSSERIAL, &ss), 0);
  close(fd);
}

class Uart : public qv::test::AppTest {
 protected:
  void SetUp() override { lab::RequireLab(); }
};

TEST_F(Uart, LineSettingsReachTheUart) {
  lab::Port port(lab::kUartCom);
  lab::Ask("trace on serial_update_parameters");
  port.Open();
  ASSERT_TRUE(port.Active());
  for (DWORD rate : {1200u, 9600u, 19200u, 57600u, 115200u}) {
    port.SetBaudRate(rate);
    EXPECT_EQ(port.BaudRate(), rate);
    // The host terminal behind the UART takes the rate QEMU's UART was programmed with.
    EXPECT_EQ(lab::Ask("uart-termios"), std::to_string(rate));
  }
  port.SetByteSize(7);
  port.SetParity(pEven);
  port.SetStopBits(sbTwo);
  EXPECT_EQ(LastUartParameters(), "115200 E 7 2");
  port.SetByteSize(8);
  port.SetParity(pNone);
  port.SetStopBits(sbOne);
  port.SetBaudRate(9600);
  EXPECT_EQ(LastUartParameters(), "9600 N 8 1");
  lab::Ask("trace off serial_update_parameters");
  EXPECT_TRUE(port.Errors.empty()) << port.Errors.front();
}

// The 16550A's clock gives at most 115200 baud: the driver keeps another rate than the one
// asked; the port must say so and keep its earlier rate, on both ends of the line.
TEST_F(Uart, RateTheUartCannotDoIsRefused) {
  lab::Port port(lab::kUartCom);
  port.Open();
  port.SetBaudRate(19200);
  ASSERT_EQ(lab::Ask("uart-termios"), "19200");
  for (DWORD rate : {1000000u, 3000000u}) {
    port.Errors.clear();
    port.SetBaudRate(rate);
    EXPECT_FALSE(port.Errors.empty()) << rate << " baud was taken without an error";
    EXPECT_EQ(port.BaudRate(), 19200u);
    EXPECT_EQ(lab::Ask("uart-termios"), "19200");
  }
}

// Low latency is the 8250's to offer (a pty has no serial flags at all): on while open, and the
// flags as they were after close, whichever way they were.
TEST_F(Uart, LowLatencySetAtOpenAndRestoredAfterClose) {
  const char* dev = "/dev/ttyS1";
  for (bool before : {false, true}) {
    SetLowLatency(dev, before);
    const int flags = SerialFlags(dev);
    ASSERT_GE(flags, 0);
    {
      lab::Port port(lab::kUartCom);
      port.Open();
      ASSERT_TRUE(port.Active());
      EXPECT_TRUE(SerialFlags(dev) & ASYNC_LOW_LATENCY);
      port.Close();
    }
    EXPECT_EQ(SerialFlags(dev), flags) << "low latency was " << (before ? "on" : "off") << " before";
  }
  SetLowLatency(dev, false);
}

// A break from the far end (telnet BREAK becomes a break on QEMU's UART) reaches the port as
// the break event with the break error, through the driver's counters (a pty has none). The
// component reports the break error alone: its receive path ends a notification that carries
// errors at OnCommError.
TEST_F(Uart, BreakFromTheLineRaisesEventAndError) {
  HANDLE h = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetCommMask(h, EV_BREAK | EV_ERR | EV_RXCHAR));
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED ov{};
  ov.hEvent = done;
  DWORD events = 0, errors = 0;
  if (!WaitCommEvent(h, &events, &ov)) {
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  }
  lab::Ask("tel-break");
  if (WaitForSingleObject(done, 5000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "no event for the break";
    CancelIo(h);
  }
  COMSTAT status{};
  EXPECT_TRUE(ClearCommError(h, &errors, &status));
  EXPECT_EQ(events, DWORD(EV_BREAK));
  EXPECT_EQ(errors, DWORD(CE_BREAK));
  EXPECT_EQ(status.cbInQue, 0u) << "the break came as data";
  CloseHandle(h);
  CloseHandle(done);

  lab::Port port(lab::kTelnetCom);
  port.SetEventMask({ceRxChar, ceBreak, ceError});
  std::vector<DWORD> reported;
  port.OnCommError = decltype(port.OnCommError)::FromFunction(
      [](void* r, TObject*, DWORD errs, DWORD, BYTE, bool&) {
        static_cast<std::vector<DWORD>*>(r)->push_back(errs);
      }, &reported);
  port.Open();
  ASSERT_TRUE(port.Active());
  for (std::size_t i = 1; i <= 3; ++i) {
    lab::Ask("tel-break");
    ASSERT_TRUE(PumpUntil([&] { return reported.size() >= i; }, 5000)) << "break " << i;
    EXPECT_EQ(reported.back(), DWORD(CE_BREAK));
  }
}

// The port's break call sets the UART's break bit (line control bit 6) for as long as asked.
TEST_F(Uart, BreakSentReachesTheLine) {
  lab::Port port(lab::kUartCom);
  port.Open();
  ASSERT_TRUE(port.Active());
  lab::Ask("trace on serial_write");
  RegisterWrites();
  ASSERT_TRUE(SetCommBreak(port.GetHandle()));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(ClearCommBreak(port.GetHandle()));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::vector<int> lcr;
  for (auto [addr, value] : RegisterWrites())
    if (addr == 3) lcr.push_back(value & 0x40);
  lab::Ask("trace off serial_write");
  EXPECT_EQ(lcr, (std::vector<int>{0x40, 0}));
}

// RTS toggling: RTS stays up until the UART's transmitter is empty, not just the driver's queue.
// The host stops taking the UART's output, so the bytes sit in the 16-byte FIFO with the
// driver's queue already empty; RTS may drop only after the host took them.
TEST_F(Uart, RtsToggleWaitsForTheShiftRegister) {
  lab::Port port(lab::kUartCom);
  port.RtsToggle = true;
  int empties = 0;
  port.SetEventMask({ceRxChar, ceTxEmpty});
  port.OnTxEmpty = TNotifyEvent::FromFunction([](void* n, TObject*) { ++*static_cast<int*>(n); }, &empties);
  port.Open();
  ASSERT_TRUE(port.Active());
  port.SetBaudRate(115200);
  lab::Ask("uart-take");
  lab::Ask("trace on serial_write");
  RegisterWrites();
  lab::Ask("uart-hold on");
  const std::string frame = "0123456789";
  port.SendString(frame);
  PumpFor(500);
  EXPECT_EQ(port.OutQueueCount(), 0u);
  EXPECT_EQ(empties, 0) << "transmitter-empty while the UART still held the frame";
  bool rtsDropped = false;
  for (auto [addr, value] : RegisterWrites())
    if (addr == 4 && !(value & 0x02)) rtsDropped = true;
  EXPECT_FALSE(rtsDropped) << "RTS dropped with the frame still in the UART";
  lab::Ask("uart-hold off");
  EXPECT_TRUE(PumpUntil([&] { return empties > 0; }, 5000));
  for (auto [addr, value] : RegisterWrites())
    if (addr == 4 && !(value & 0x02)) rtsDropped = true;
  EXPECT_TRUE(rtsDropped);
  const auto taken = lab::Words(lab::Ask("uart-take"));
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(lab::Unhex(taken[1]), frame);
  lab::Ask("trace off serial_write");
}

}  // namespace
