// The object behind a port handle: the driver model a Windows program expects from a serial
// port, over a SerialDevice. It keeps the receive queue (bytes move from the device into it as
// they arrive), the event mask and the events that occurred, the error flags, the time-outs and
// the overlapped transfers.
//
// Nothing here runs a thread of its own. A pending operation attaches the port's I/O source to
// the event of its OVERLAPPED (or to the port object itself when that has no event); whichever
// thread waits for such an event polls the device's descriptors and drives every pending
// operation of the port. An idle port with a pending wait therefore sleeps in poll() with no
// time-out. Every call also makes whatever progress it can without blocking.
//
// All state is guarded by one mutex, so reads, writes and the event wait may be pending on
// different threads at once.
#pragma once

#include "platform/serial/internal/serial_device.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// Internal: never exported from the shared library.
#pragma GCC visibility push(hidden)

namespace qv::platform {

// Status words kept in OVERLAPPED::Internal (NT status values, as Windows keeps them there).
constexpr DWORD kStatusSuccess = 0;
constexpr DWORD kStatusTimeout = 0x102;  // a transfer ended by its time-out: still a success
constexpr DWORD kStatusPending = 0x103;
constexpr DWORD kStatusCancelled = 0xC0000120u;
// Any other failure: this prefix with the Windows error number in the low 16 bits.
constexpr DWORD kStatusErrorBase = 0xE0000000u;

// The system default line settings: 9600 8N1, binary, DTR and RTS on, no flow control.
DCB DefaultDcb();

// The receive queue: a ring of bytes moved in and out in blocks (a byte at a time through a
// deque was most of the cost of a bulk transfer). Grows by doubling; never shrinks.
class ByteQueue {
 public:
  std::size_t size() const { return size_; }
  void clear() { head_ = size_ = 0; }
  void push(const BYTE* data, std::size_t count);
  // Moves up to count bytes out into out; returns how many.
  std::size_t pop(BYTE* out, std::size_t count);

 private:
  std::vector<BYTE> ring_;  // size a power of two (or empty)
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

class SerialPort final : public Waitable, public std::enable_shared_from_this<SerialPort> {
 public:
  // access: GENERIC_READ / GENERIC_WRITE bits of the open.
  static std::shared_ptr<SerialPort> Create(std::unique_ptr<SerialDevice> device,
                                            std::string name, DWORD access);
  ~SerialPort() override;

  const std::string& Name() const { return name_; }

  // The Windows functions of the same names, on this port; each sets the last error.
  BOOL Read(void* buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped);
  BOOL Write(const void* data, DWORD count, DWORD* written, OVERLAPPED* overlapped);
  BOOL GetOverlappedResult(OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
  BOOL CancelIo();
  BOOL CancelIoEx(OVERLAPPED* overlapped);
  BOOL WaitCommEvent(DWORD* events, OVERLAPPED* overlapped);
  BOOL SetCommMask(DWORD mask);
  BOOL GetCommMask(DWORD* mask);
  BOOL ClearCommError(DWORD* errors, COMSTAT* stat);
  BOOL PurgeComm(DWORD flags);
  BOOL EscapeCommFunction(DWORD function);
  BOOL GetCommModemStatus(DWORD* status);
  BOOL SetupComm(DWORD inQueue, DWORD outQueue);
  BOOL GetCommProperties(COMMPROP* properties);
  BOOL GetCommTimeouts(COMMTIMEOUTS* timeouts);
  BOOL SetCommTimeouts(const COMMTIMEOUTS* timeouts);
  BOOL GetCommState(DCB* dcb);
  BOOL SetCommState(const DCB* dcb);

  // Ends every pending operation (ERROR_OPERATION_ABORTED) and releases the device.
  void OnHandleClosed() override;
  // The device failed, or the handle was closed.
  bool Failed();

  // The record of a completed OVERLAPPED: TRUE with the count, or FALSE with the last error.
  static BOOL ResultFromRecord(const OVERLAPPED* overlapped, DWORD* transferred);

 private:
  struct Op;
  class Source;
  class Lock;

  SerialPort(std::unique_ptr<SerialDevice> device, std::string name, DWORD access);

  // Everything below runs with mutex_ held.
  BOOL CheckUsable(bool needRead, bool needWrite);
  std::shared_ptr<Op> NewOp(int kind, OVERLAPPED* overlapped, DWORD& error);
  bool IsPending(const OVERLAPPED* overlapped) const;
  std::shared_ptr<Op> FindOp(const OVERLAPPED* overlapped) const;
  void StartPending(const std::shared_ptr<Op>& op);
  void Complete(std::shared_ptr<Op> op, DWORD status);  // by value: it leaves the lists
  void CompleteAll(DWORD status);
  void Attach(const std::shared_ptr<Waitable>& event);
  void Detach(const std::shared_ptr<Waitable>& event);
  void Kick();
  // polled: called after a poll that watched the input, whose readiness is inputRevents.
  void Pump(short inputRevents, bool polled = false);
  void MoveInput();
  void PushInput(const BYTE* data, std::size_t size);
  void PushOutput();
  void CheckLines();
  void ServeReads();
  bool ReadEndsAtOnce(DWORD count) const;
  BOOL ReadAtOnce(void* buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped);
  void ServeWait();
  void Raise(DWORD events);
  void Fail(DWORD error);
  void AddPollFds(std::vector<pollfd>& fds, int& timeoutMs);
  void OnPolled(const pollfd* fds, std::size_t count);
  void AddFailureFds(std::vector<pollfd>& fds);
  bool LineEventsMasked() const;
  std::uint64_t Shape() const;
  bool InputBuffered() const { return keepsBytes_ && device_->InputBuffered(); }
  bool HoldsOutput() const { return keepsBytes_ && device_->HoldsOutput(); }
  // Bytes the queue takes from the device: the size the program set, and up to kHeldBytes once
  // nobody has read for kBusyNs, so a reader that is busy for a while (a handler, a dialog)
  // finds nothing left in the kernel, whose buffer a hang-up (an unplug) discards. A reader that
  // keeps up keeps the device's flow control (and its latency) where the size set puts it.
  std::size_t Room() const {
    const std::size_t bound = queue_.size() < capacity_ || !ReaderBusy() ? capacity_ : std::max(capacity_, kHeldBytes);
    return bound > queue_.size() ? bound - queue_.size() : 0;
  }
  bool ReaderBusy() const;
  // The device failed, but what it sent before stays to be read.
  bool LeftOver() const { return failed_ && !closed_ && queue_.size() > 0; }
  static constexpr std::size_t kHeldBytes = 64 * 1024;
  static constexpr std::int64_t kBusyNs = 10'000'000;
  std::int64_t lastTakenNs_ = 0;  // when a read last took bytes from the queue
  BOOL Finish(BOOL result, DWORD error);  // sets the last error when result is FALSE

  std::mutex mutex_;
  std::unique_ptr<SerialDevice> device_;
  const std::string name_;
  const DWORD access_;
  std::shared_ptr<Source> source_;
  bool pollsLines_ = false;  // the device's traits, asked once
  bool keepsBytes_ = false;

  bool closed_ = false;
  bool failed_ = false;
  DWORD failError_ = ERROR_SUCCESS;

  DCB dcb_{};
  COMMTIMEOUTS timeouts_{};
  ByteQueue queue_;
  std::size_t capacity_ = 4096;
  DWORD outQueueSize_ = 4096;
  bool fullSignalled_ = false;  // EV_RX80FULL raised for the current fill

  DWORD mask_ = 0;
  DWORD history_ = 0;  // events that occurred under the mask and were not reported yet
  DWORD errors_ = 0;   // CE_* flags until ClearCommError
  bool aborting_ = false;  // fAbortOnError after an error: transfers fail until ClearCommError
  bool txWatch_ = false;   // a write completed; EV_TXEMPTY once the device has sent it all
  bool haveCounters_ = false;
  LineCounters counters_;
  DWORD lines_ = 0;
  int inputPollers_ = 0;  // threads in poll() watching the input descriptor for bytes
  // The thread whose poll() found input and whose read then emptied the descriptor: until it
  // polls again (any bytes that arrive meanwhile make that poll return at once), its own calls
  // need not read again only to find nothing.
  std::thread::id drainedBy_;
  bool lastReadShort_ = false;
  // The device's output queue was empty when last asked and nothing was written since.
  bool outputSettled_ = false;

  std::deque<std::shared_ptr<Op>> reads_;
  std::deque<std::shared_ptr<Op>> writes_;
  std::shared_ptr<Op> wait_;
  std::shared_ptr<Op> spare_;  // the last finished record, for NewOp
  // The callers' events of the pending operations, each with its count of operations, and the
  // last few whose operations have ended (see Detach): a handful at most, and a vector keeps
  // its room, so arming an operation allocates nothing.
  struct Attached {
    std::shared_ptr<Waitable> event;
    int operations;
  };
  std::vector<Attached> attached_;
};

}  // namespace qv::platform

#pragma GCC visibility pop
