#include "platform/serial/internal/serial_port.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

namespace qv::platform {

namespace {

constexpr std::int64_t kMs = 1000000;
// While output is still in the device after the last write, look again this often for
// EV_TXEMPTY; line changes on a device that cannot signal them are looked for this often
// while they are in the mask and a wait is pending.
constexpr std::int64_t kTxRecheckNs = 10 * kMs;
constexpr std::int64_t kLineRecheckNs = 20 * kMs;
constexpr DWORD kMaxQueue = 16u << 20;
constexpr DWORD kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;

void StoreRecord(OVERLAPPED* ov, DWORD status, DWORD transferred) {
  std::atomic_ref<DWORD>(ov->InternalHigh).store(transferred, std::memory_order_relaxed);
  std::atomic_ref<DWORD>(ov->Internal).store(status, std::memory_order_release);
}

DWORD ErrorOfStatus(DWORD status) {
  if (status == kStatusCancelled) return ERROR_OPERATION_ABORTED;
  if ((status & 0xFFFF0000u) == kStatusErrorBase) return status & 0xFFFFu;
  return ERROR_GEN_FAILURE;
}

// Milliseconds (rounded up) until a deadline, for poll().
int MsUntil(std::int64_t deadlineNs, std::int64_t now) {
  if (deadlineNs <= now) return 0;
  return int(std::min<std::int64_t>((deadlineNs - now + kMs - 1) / kMs, INT_MAX));
}

}  // namespace

DCB DefaultDcb() {
  DCB d{};
  d.DCBlength = sizeof(DCB);
  d.BaudRate = CBR_9600;
  d.Flags = DCB_fBinary | (DTR_CONTROL_ENABLE << DCB_fDtrControlShift) |
            (RTS_CONTROL_ENABLE << DCB_fRtsControlShift);
  d.XonLim = 2048;
  d.XoffLim = 512;
  d.ByteSize = 8;
  d.Parity = NOPARITY;
  d.StopBits = ONESTOPBIT;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  return d;
}

// ---- Pending operations ----------------------------------------------------------------------

struct SerialPort::Op {
  enum Kind { kRead, kWrite, kWait };
  int kind = kRead;
  OVERLAPPED* ov = nullptr;
  std::shared_ptr<Waitable> event;  // the OVERLAPPED's event; null: the port object
  // Signalled at completion whatever the caller's event does; GetOverlappedResult waits here.
  std::shared_ptr<Waitable> done;
  std::thread::id thread = std::this_thread::get_id();
  BYTE* buffer = nullptr;
  DWORD count = 0;
  DWORD transferred = 0;
  std::vector<BYTE> data;  // a write's bytes, copied at submission as Windows does
  std::int64_t deadlineNs = -1;
  std::int64_t intervalNs = 0;
  std::int64_t lastByteNs = 0;
  bool immediate = false;  // return with what is queued now
  bool anyByte = false;    // return as soon as any byte is there
  DWORD* events = nullptr;
  bool finished = false;
  DWORD status = kStatusPending;
  bool waitedOutside = false;  // a thread held it without the port's lock: never used again
};

// What waiting threads poll for the port; holds the port weakly, so events that outlive the
// port do not keep it alive.
class SerialPort::Source final : public IoSource {
 public:
  explicit Source(std::weak_ptr<SerialPort> port) : port_(std::move(port)) {}
  void AddPollFds(std::vector<pollfd>& fds, int& timeoutMs) override {
    if (auto p = port_.lock()) p->AddPollFds(fds, timeoutMs);
  }
  void OnPolled(const pollfd* fds, std::size_t count) override {
    if (auto p = port_.lock()) p->OnPolled(fds, count);
  }
  void AddFailureFds(std::vector<pollfd>& fds) override {
    if (auto p = port_.lock()) p->AddFailureFds(fds);
  }
  bool Failed() override {
    auto p = port_.lock();
    return !p || p->Failed();
  }

 private:
  std::weak_ptr<SerialPort> port_;
};

// The port's mutex for one call; wakes the other waiting threads when the call changed what
// they have to poll for (room in the queue, output waiting, a time-out to watch).
class SerialPort::Lock {
 public:
  explicit Lock(SerialPort& port) : port_(port), lock_(port.mutex_), shape_(port.Shape()) {}
  ~Lock() {
    if (port_.Shape() != shape_) port_.Kick();
  }

 private:
  SerialPort& port_;
  std::unique_lock<std::mutex> lock_;
  std::uint64_t shape_;
};

// ---- The receive queue ----------------------------------------------------------------------

void ByteQueue::push(const BYTE* data, std::size_t count) {
  if (count == 0) return;
  if (size_ + count > ring_.size()) {
    std::size_t cap = ring_.empty() ? 4096 : ring_.size();
    while (cap < size_ + count) cap *= 2;
    std::vector<BYTE> grown(cap);
    const std::size_t kept = pop(grown.data(), size_);
    ring_.swap(grown);
    head_ = 0;
    size_ = kept;
  }
  const std::size_t mask = ring_.size() - 1;
  const std::size_t tail = (head_ + size_) & mask;
  const std::size_t first = std::min(count, ring_.size() - tail);
  std::memcpy(ring_.data() + tail, data, first);
  std::memcpy(ring_.data(), data + first, count - first);
  size_ += count;
}

std::size_t ByteQueue::pop(BYTE* out, std::size_t count) {
  count = std::min(count, size_);
  if (count == 0) return 0;
  const std::size_t first = std::min(count, ring_.size() - head_);
  std::memcpy(out, ring_.data() + head_, first);
  std::memcpy(out + first, ring_.data(), count - first);
  head_ = (head_ + count) & (ring_.size() - 1);
  size_ -= count;
  if (size_ == 0) head_ = 0;
  return count;
}

// ---- Construction --------------------------------------------------------------------------

SerialPort::SerialPort(std::unique_ptr<SerialDevice> device, std::string name, DWORD access)
    : Waitable(true, false), device_(std::move(device)), name_(std::move(name)), access_(access) {}

std::shared_ptr<SerialPort> SerialPort::Create(std::unique_ptr<SerialDevice> device,
                                               std::string name, DWORD access) {
  std::shared_ptr<SerialPort> port(new SerialPort(std::move(device), std::move(name), access));
  port->source_ = std::make_shared<Source>(port);
  port->SetIoSource(port->source_);
  port->pollsLines_ = port->device_->PollsLines();
  port->keepsBytes_ = port->device_->KeepsBytes();
  port->dcb_ = DefaultDcb();
  DWORD error;
  port->device_->ReadBack(port->dcb_, error);
  port->haveCounters_ = port->device_->Counters(port->counters_);
  port->lines_ = port->device_->ModemStatus();
  return port;
}

SerialPort::~SerialPort() {
  if (!closed_ && device_) device_->Close();
}

// ---- Helpers (mutex held) --------------------------------------------------------------------

BOOL SerialPort::Finish(BOOL result, DWORD error) {
  if (!result) ::SetLastError(error);
  return result;
}

BOOL SerialPort::CheckUsable(bool needRead, bool needWrite) {
  if (closed_) return Finish(FALSE, ERROR_INVALID_HANDLE);
  if (failed_) return Finish(FALSE, failError_);
  if ((needRead && !(access_ & GENERIC_READ)) || (needWrite && !(access_ & GENERIC_WRITE)))
    return Finish(FALSE, ERROR_ACCESS_DENIED);
  return TRUE;
}

std::uint64_t SerialPort::Shape() const {
  const bool linePoll = pollsLines_ && wait_ && LineEventsMasked();
  return std::uint64_t(Room() > 0) | std::uint64_t(!writes_.empty()) << 1 |
         std::uint64_t(txWatch_) << 2 | std::uint64_t(linePoll) << 3 |
         std::uint64_t(failed_ || closed_) << 4 | std::uint64_t(!reads_.empty()) << 5 |
         std::uint64_t(bool(wait_)) << 6 | std::uint64_t(InputBuffered()) << 7 |
         std::uint64_t(HoldsOutput()) << 8;
}

bool SerialPort::LineEventsMasked() const { return (mask_ & kLineEvents) != 0; }

bool SerialPort::IsPending(const OVERLAPPED* overlapped) const {
  return FindOp(overlapped) != nullptr;
}

std::shared_ptr<SerialPort::Op> SerialPort::FindOp(const OVERLAPPED* overlapped) const {
  for (const auto& op : reads_)
    if (op->ov == overlapped) return op;
  for (const auto& op : writes_)
    if (op->ov == overlapped) return op;
  if (wait_ && wait_->ov == overlapped) return wait_;
  return nullptr;
}

std::shared_ptr<SerialPort::Op> SerialPort::NewOp(int kind, OVERLAPPED* overlapped, DWORD& error) {
  // A record the port still owns must not start a second operation.
  if (IsPending(overlapped)) {
    error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  // The last finished record is used again when only the port held it, always under its
  // lock (a thread waits in GetOverlappedResult without the lock): a port that runs one wait
  // after another allocates nothing per wait.
  std::shared_ptr<Op> op;
  if (spare_ && !spare_->waitedOutside && spare_.use_count() == 1 && spare_->done.use_count() == 1) {
    op = std::move(spare_);
    std::shared_ptr<Waitable> done = std::move(op->done);
    std::vector<BYTE> data = std::move(op->data);
    *op = Op{};
    done->Reset();
    op->done = std::move(done);
    data.clear();
    op->data = std::move(data);
  } else {
    op = std::make_shared<Op>();
    // The record's own object is only waited for while unsignalled, that is while pending:
    // it keeps the port as its source for life instead of attaching it for each operation.
    op->done = std::make_shared<Waitable>(true, false);
    op->done->SetIoSource(source_);
  }
  op->kind = kind;
  op->ov = overlapped;
  if (overlapped->hEvent) {
    op->event = LookupHandleAs<Waitable>(overlapped->hEvent);
    if (!op->event) {
      error = ERROR_INVALID_HANDLE;
      return nullptr;
    }
    op->event->Reset();
  } else {
    Reset();
  }
  StoreRecord(overlapped, kStatusPending, 0);
  return op;
}

void SerialPort::Attach(const std::shared_ptr<Waitable>& event) {
  for (Attached& a : attached_) {
    if (a.event == event) {
      ++a.operations;
      // Kept from its last operation, unless another port has taken the object since.
      if (!event->HasIoSource(source_.get())) event->SetIoSource(source_);
      return;
    }
  }
  attached_.push_back({event, 1});
  event->SetIoSource(source_);
}

// An object whose operations have ended keeps the port as its source: the next operation on
// it (a wait armed again with the same event, one read after another) then attaches without a
// lock, and a thread that waits on it meanwhile only moves the port's bytes along. A few such
// objects are kept; older ones are let go.
void SerialPort::Detach(const std::shared_ptr<Waitable>& event) {
  auto it = std::find_if(attached_.begin(), attached_.end(), [&](const Attached& a) { return a.event == event; });
  if (it == attached_.end() || --it->operations > 0) return;
  constexpr std::ptrdiff_t kKept = 4;
  auto idle = [](const Attached& a) { return a.operations == 0; };
  if (std::count_if(attached_.begin(), attached_.end(), idle) <= kKept) return;
  auto oldest = std::find_if(attached_.begin(), attached_.end(), idle);
  oldest->event->ReleaseIoSource(source_.get());
  attached_.erase(oldest);
}

namespace {
// The ports on which this thread has started operations. As on Windows, a thread's pending
// operations end (ERROR_OPERATION_ABORTED) when it exits, so nothing completes into the
// memory of a thread that is gone.
struct ThreadIo {
  std::vector<std::weak_ptr<SerialPort>> ports;
  ~ThreadIo() {
    for (auto& weak : ports)
      if (auto port = weak.lock()) port->CancelIo();
  }
};
thread_local ThreadIo tThreadIo;
}  // namespace

void SerialPort::StartPending(const std::shared_ptr<Op>& op) {
  if (op->event) Attach(op->event);
  auto& ports = tThreadIo.ports;
  std::erase_if(ports, [](const std::weak_ptr<SerialPort>& w) { return w.expired(); });
  const bool known = std::any_of(ports.begin(), ports.end(), [this](const std::weak_ptr<SerialPort>& w) {
    return w.lock().get() == this;
  });
  if (!known) ports.push_back(weak_from_this());
}

void SerialPort::Kick() {
  // The threads waiting on the port's objects ask again what to poll.
  for (const Attached& a : attached_) a.event->WakeListeners();
  if (!closed_) WakeListeners();
  for (const auto& op : reads_) op->done->WakeListeners();
  for (const auto& op : writes_) op->done->WakeListeners();
  if (wait_) wait_->done->WakeListeners();
}

void SerialPort::Complete(std::shared_ptr<Op> op, DWORD status) {
  if (op->finished) return;
  op->finished = true;
  op->status = status;
  // A wait's event word was zeroed at submission and is only written when events are
  // reported: the thread that issued a cancelled or failed wait may be gone with it.
  StoreRecord(op->ov, status, op->transferred);
  auto drop = [&op](std::deque<std::shared_ptr<Op>>& list) {
    auto it = std::find(list.begin(), list.end(), op);
    if (it != list.end()) list.erase(it);
  };
  if (op->kind == Op::kRead) drop(reads_);
  if (op->kind == Op::kWrite) drop(writes_);
  if (wait_ == op) wait_ = nullptr;
  op->done->Set();
  if (op->event) {
    op->event->Set();
    Detach(op->event);
  } else {
    Set();
  }
  op->event.reset();
  spare_ = std::move(op);
}

void SerialPort::CompleteAll(DWORD status) {
  while (!reads_.empty()) Complete(reads_.front(), status);
  while (!writes_.empty()) Complete(writes_.front(), status);
  if (wait_) Complete(wait_, status);
}

void SerialPort::Fail(DWORD error) {
  if (failed_) return;
  failed_ = true;
  failError_ = error;
  // The queue keeps what the device sent (LeftOver). A full one had left bytes in the kernel,
  // gone with the device: an overrun to report, not a loss to keep quiet about.
  if (Room() == 0) errors_ |= CE_RXOVER;
  // A read that has bytes already ends with them.
  while (!reads_.empty() && reads_.front()->transferred) Complete(reads_.front(), kStatusSuccess);
  CompleteAll(kStatusErrorBase | error);
}

void SerialPort::Raise(DWORD events) { history_ |= events & mask_; }

bool SerialPort::ReaderBusy() const { return MonotonicNs() - lastTakenNs_ >= kBusyNs; }

bool SerialPort::Failed() {
  std::lock_guard lock(mutex_);
  return failed_ || closed_;
}

// ---- Moving data -----------------------------------------------------------------------------

void SerialPort::PushInput(const BYTE* data, std::size_t size) {
  DWORD events = 0;
  const BYTE flag = BYTE(dcb_.EvtChar);
  const std::size_t before = queue_.size();
  if (dcb_.Flags & DCB_fNull) {
    // NUL bytes are dropped, so a NUL event character never shows either.
    const BYTE* p = data;
    const BYTE* const end = data + size;
    while (p < end) {
      const auto* nul = static_cast<const BYTE*>(std::memchr(p, 0, std::size_t(end - p)));
      const BYTE* runEnd = nul ? nul : end;
      queue_.push(p, std::size_t(runEnd - p));
      p = runEnd + (nul ? 1 : 0);
    }
    if (flag != 0 && std::memchr(data, flag, size)) events |= EV_RXFLAG;
  } else {
    queue_.push(data, size);
    if (std::memchr(data, flag, size)) events |= EV_RXFLAG;
  }
  if (queue_.size() != before) events |= EV_RXCHAR;
  if (!fullSignalled_ && queue_.size() * 5 >= capacity_ * 4) {
    fullSignalled_ = true;
    events |= EV_RX80FULL;
  }
  Raise(events);
}

void SerialPort::MoveInput() {
  BYTE buffer[4096];
  lastReadShort_ = false;
  drainedBy_ = {};
  while (!failed_) {
    // A full queue leaves the bytes in the kernel (nothing is dropped here).
    const std::size_t want = std::min(Room(), sizeof buffer);
    if (want == 0) return;
    DWORD error = ERROR_SUCCESS;
    const long n = device_->Read(buffer, want, error);
    if (n < 0) return Fail(error);
    if (n == 0) return;
    PushInput(buffer, std::size_t(n));
    if (std::size_t(n) < want) {
      lastReadShort_ = true;
      return;
    }
  }
}

void SerialPort::PushOutput() {
  std::int64_t now = -1;  // read once, and only when a write has a time-out to check
  auto clock = [&now] { return now >= 0 ? now : (now = MonotonicNs()); };
  if (writes_.empty() && HoldsOutput()) {
    DWORD error = ERROR_SUCCESS;
    if (device_->Write(nullptr, 0, error) < 0) return Fail(error);
  }
  while (!writes_.empty() && !failed_) {
    auto op = writes_.front();
    if (aborting_) {
      Complete(op, kStatusCancelled);
      continue;
    }
    if (op->transferred < op->data.size()) {
      DWORD error = ERROR_SUCCESS;
      const long n = device_->Write(op->data.data() + op->transferred,
                                    op->data.size() - op->transferred, error);
      if (n < 0) return Fail(error);
      if (n > 0) outputSettled_ = false;
      op->transferred += DWORD(n);
    }
    if (op->transferred == op->data.size()) {
      txWatch_ = true;
      Complete(op, kStatusSuccess);
    } else if (op->deadlineNs >= 0 && clock() >= op->deadlineNs) {
      // A write ended by its time-out still succeeds, with the count that went out.
      txWatch_ = true;
      Complete(op, kStatusTimeout);
    } else {
      return;
    }
  }
}

void SerialPort::ServeReads() {
  if (reads_.empty()) return;
  const std::int64_t now = MonotonicNs();
  while (!reads_.empty()) {
    auto op = reads_.front();
    if (aborting_) {
      Complete(op, kStatusCancelled);
      continue;
    }
    const std::size_t n = std::min<std::size_t>(queue_.size(), op->count - op->transferred);
    if (n) {
      queue_.pop(op->buffer + op->transferred, n);
      lastTakenNs_ = now;
      op->transferred += DWORD(n);
      op->lastByteNs = now;
      if (queue_.size() * 5 < capacity_ * 4) fullSignalled_ = false;
    }
    if (op->transferred == op->count || op->immediate || (op->anyByte && op->transferred)) {
      Complete(op, kStatusSuccess);
    } else if ((op->deadlineNs >= 0 && now >= op->deadlineNs) ||
               (op->intervalNs && op->transferred && now - op->lastByteNs >= op->intervalNs)) {
      Complete(op, kStatusTimeout);
    } else {
      return;
    }
  }
}

void SerialPort::CheckLines() {
  // Most devices have neither counters nor a line event asked for: nothing to look at.
  if (!haveCounters_ && !LineEventsMasked()) return;
  DWORD events = 0;
  DWORD errors = 0;
  LineCounters c;
  if (haveCounters_ && device_->Counters(c)) {
    if (c.cts != counters_.cts) events |= EV_CTS;
    if (c.dsr != counters_.dsr) events |= EV_DSR;
    if (c.dcd != counters_.dcd) events |= EV_RLSD;
    if (c.rng != counters_.rng) events |= EV_RING;
    if (c.brk != counters_.brk) errors |= CE_BREAK;
    if (c.frame != counters_.frame) errors |= CE_FRAME;
    if (c.parity != counters_.parity) errors |= CE_RXPARITY;
    if (c.overrun != counters_.overrun) errors |= CE_OVERRUN;
    if (c.bufOverrun != counters_.bufOverrun) errors |= CE_RXOVER;
    counters_ = c;
  }
  // Drivers without counters (or that miss changes) still show the levels.
  if (LineEventsMasked() && device_->HasModemLines()) {
    const DWORD ms = device_->ModemStatus();
    const DWORD diff = ms ^ lines_;
    if (diff & MS_CTS_ON) events |= EV_CTS;
    if (diff & MS_DSR_ON) events |= EV_DSR;
    if (diff & MS_RLSD_ON) events |= EV_RLSD;
    if (diff & ms & MS_RING_ON) events |= EV_RING;
    lines_ = ms;
  }
  if (errors & CE_BREAK) events |= EV_BREAK;
  if (errors & (CE_FRAME | CE_RXPARITY | CE_OVERRUN)) events |= EV_ERR;
  if (errors) {
    errors_ |= errors;
    if (dcb_.Flags & DCB_fAbortOnError) aborting_ = true;
  }
  Raise(events);
}

void SerialPort::ServeWait() {
  if (!wait_ || !(history_ & mask_)) return;
  const DWORD reported = history_ & mask_;
  history_ &= ~reported;
  *wait_->events = reported;
  Complete(wait_, kStatusSuccess);
}

void SerialPort::Pump(short inputRevents, bool polled) {
  if (closed_ || failed_) return;
  if (device_->StatusFd() >= 0) device_->DrainStatus();
  if (device_->Vanished()) return Fail(ERROR_DEVICE_REMOVED);
  // While another thread polls the input, it moves new bytes the moment they arrive: a call
  // here would only find the descriptor empty. Bytes the kernel holds but the poller has not
  // taken yet are like bytes still in a UART's FIFO. After a poll, only readiness is read.
  if (InputBuffered() ||
      (polled ? (inputRevents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0
              : inputPollers_ == 0 && drainedBy_ != std::this_thread::get_id())) {
    MoveInput();
    if (polled && lastReadShort_) drainedBy_ = std::this_thread::get_id();
  }
  if (failed_) return;
  // Hang-up or error on the descriptor: the device is gone (after taking what it still had).
  if (inputRevents & (POLLHUP | POLLERR | POLLNVAL)) return Fail(ERROR_DEVICE_REMOVED);
  CheckLines();
  PushOutput();
  if (failed_) return;
  // A read that takes from a full queue makes room for bytes still in the kernel.
  for (;;) {
    const std::size_t before = queue_.size();
    ServeReads();
    if (reads_.empty() || !Room() || queue_.size() == before) break;
    const std::size_t queued = queue_.size();
    MoveInput();
    if (failed_ || queue_.size() == queued) break;
  }
  if (txWatch_ && writes_.empty() && device_->OutputQueued() == 0 && device_->TransmitterEmpty()) {
    txWatch_ = false;
    Raise(EV_TXEMPTY);
  }
  ServeWait();
}

void SerialPort::AddPollFds(std::vector<pollfd>& fds, int& timeoutMs) {
  std::lock_guard lock(mutex_);
  if (closed_ || failed_) return;
  if (drainedBy_ == std::this_thread::get_id()) drainedBy_ = {};  // this poll sees new bytes
  const int in = device_->InputFd();
  const int out = device_->OutputFd();
  const bool wantOut = !writes_.empty() || HoldsOutput();
  if (in >= 0) {
    // With a full queue, poll for hang-up only: the bytes wait in the kernel.
    short events = Room() ? POLLIN : 0;
    if (wantOut && out == in) events |= POLLOUT;
    fds.push_back({in, events, 0});
    if (events & POLLIN) ++inputPollers_;  // until OnPolled
  }
  if (out >= 0 && out != in && wantOut) fds.push_back({out, POLLOUT, 0});
  if (const int status = device_->StatusFd(); status >= 0) fds.push_back({status, POLLIN, 0});

  // Most sleeps have nothing timed: the clock is read only when something is.
  const bool linePoll = pollsLines_ && wait_ && LineEventsMasked();
  const bool buffered = InputBuffered() && Room();
  const bool fullWait = in >= 0 && !Room() && queue_.size() < kHeldBytes && !failed_;
  if (reads_.empty() && writes_.empty() && !txWatch_ && !linePoll && !buffered && !fullWait) return;
  const std::int64_t now = MonotonicNs();
  std::int64_t next = INT64_MAX;
  if (!reads_.empty()) {
    const auto& op = reads_.front();
    if (op->deadlineNs >= 0) next = std::min(next, op->deadlineNs);
    if (op->intervalNs && op->transferred) next = std::min(next, op->lastByteNs + op->intervalNs);
  }
  if (!writes_.empty() && writes_.front()->deadlineNs >= 0)
    next = std::min(next, writes_.front()->deadlineNs);
  if (txWatch_) next = std::min(next, now + kTxRecheckNs);
  if (linePoll) next = std::min(next, now + kLineRecheckNs);
  // A full queue takes more once its reader counts as busy: looked at again then.
  if (fullWait) next = std::min(next, lastTakenNs_ + kBusyNs);
  if (buffered) next = now;  // bytes the device took in already
  if (next != INT64_MAX) {
    const int ms = MsUntil(next, now);
    if (timeoutMs < 0 || ms < timeoutMs) timeoutMs = ms;
  }
}

void SerialPort::AddFailureFds(std::vector<pollfd>& fds) {
  std::lock_guard lock(mutex_);
  if (closed_ || failed_) return;
  // Hang-up and errors are reported without asking; readable input is the other thread's
  // business. (A network peer's close shows as readable input: the other thread sees it.)
  if (const int in = device_->InputFd(); in >= 0) fds.push_back({in, 0, 0});
  if (const int status = device_->StatusFd(); status >= 0) fds.push_back({status, POLLIN, 0});
}

void SerialPort::OnPolled(const pollfd* fds, std::size_t count) {
  Lock lock(*this);
  short revents = 0;
  bool watchedInput = false;
  const int in = device_ ? device_->InputFd() : -1;
  for (std::size_t i = 0; i < count; ++i) {
    if (in < 0 || fds[i].fd != in) continue;
    revents |= fds[i].revents;
    watchedInput = watchedInput || (fds[i].events & POLLIN);
  }
  if (watchedInput && inputPollers_ > 0) --inputPollers_;
  if (closed_ || failed_) return;
  // A round that did not watch the input (full queue) looks at it as any call does.
  Pump(revents, watchedInput);
}

// ---- Transfers -------------------------------------------------------------------------------

BOOL SerialPort::ResultFromRecord(const OVERLAPPED* overlapped, DWORD* transferred) {
  auto* ov = const_cast<OVERLAPPED*>(overlapped);
  const DWORD status = std::atomic_ref<DWORD>(ov->Internal).load(std::memory_order_acquire);
  const DWORD count = std::atomic_ref<DWORD>(ov->InternalHigh).load(std::memory_order_relaxed);
  if (status == kStatusPending) {
    ::SetLastError(ERROR_IO_INCOMPLETE);
    return FALSE;
  }
  if (transferred) *transferred = count;
  if (status == kStatusSuccess || status == kStatusTimeout) return TRUE;
  ::SetLastError(ErrorOfStatus(status));
  return FALSE;
}

BOOL SerialPort::Read(void* buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped) {
  if (read) *read = 0;
  if (!overlapped) {
    OVERLAPPED local{};
    if (Read(buffer, count, read, &local)) return TRUE;
    if (GetLastError() != ERROR_IO_PENDING) return FALSE;
    return GetOverlappedResult(&local, read, TRUE);
  }
  if (!buffer && count) return Finish(FALSE, ERROR_INVALID_PARAMETER);
  Lock lock(*this);
  if (!failed_) {
    if (!CheckUsable(true, false)) return FALSE;
    Pump(0);
  }
  if (failed_) {
    // What the device sent before it failed is read at once, until none is left.
    if (LeftOver() && reads_.empty()) return ReadAtOnce(buffer, count, read, overlapped);
    return CheckUsable(true, false);
  }
  if (aborting_) return Finish(FALSE, ERROR_OPERATION_ABORTED);
  const COMMTIMEOUTS& t = timeouts_;
  if (reads_.empty() && ReadEndsAtOnce(count)) return ReadAtOnce(buffer, count, read, overlapped);
  DWORD error = ERROR_SUCCESS;
  auto op = NewOp(Op::kRead, overlapped, error);
  if (!op) return Finish(FALSE, error);
  op->buffer = static_cast<BYTE*>(buffer);
  op->count = count;
  const std::int64_t now = MonotonicNs();
  if (count == 0 || (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                     t.ReadTotalTimeoutConstant == 0)) {
    op->immediate = true;
  } else if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
             t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD) {
    op->anyByte = true;
    op->deadlineNs = now + std::int64_t(t.ReadTotalTimeoutConstant) * kMs;
  } else {
    if (t.ReadTotalTimeoutMultiplier || t.ReadTotalTimeoutConstant) {
      const std::uint64_t total =
          std::uint64_t(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
      op->deadlineNs = now + std::int64_t(std::min<std::uint64_t>(total, 1ull << 40)) * kMs;
    }
    if (t.ReadIntervalTimeout && t.ReadIntervalTimeout != MAXDWORD)
      op->intervalNs = std::int64_t(t.ReadIntervalTimeout) * kMs;
  }
  reads_.push_back(op);
  ServeReads();
  if (op->finished) {
    if (op->status == kStatusSuccess || op->status == kStatusTimeout) {
      if (read) *read = op->transferred;
      return TRUE;
    }
    return Finish(FALSE, ErrorOfStatus(op->status));
  }
  StartPending(op);
  return Finish(FALSE, ERROR_IO_PENDING);
}

// Whether a read with nothing queued before it completes from what the queue holds now, as
// ServeReads would complete it.
bool SerialPort::ReadEndsAtOnce(DWORD count) const {
  const COMMTIMEOUTS& t = timeouts_;
  if (count == 0 || queue_.size() >= count) return true;
  if (t.ReadIntervalTimeout != MAXDWORD) return false;
  if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) return true;
  return t.ReadTotalTimeoutMultiplier == MAXDWORD && t.ReadTotalTimeoutConstant > 0 &&
         t.ReadTotalTimeoutConstant < MAXDWORD && queue_.size() > 0;
}

// A read that completes at once, without the record of a pending operation: an application
// that reads what arrived, as the component does for each event, allocates nothing. The
// caller sees what NewOp and Complete would have left: the record, and the event set.
BOOL SerialPort::ReadAtOnce(void* buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped) {
  if (IsPending(overlapped)) return Finish(FALSE, ERROR_INVALID_PARAMETER);
  std::shared_ptr<Waitable> event;
  if (overlapped->hEvent) {
    event = LookupHandleAs<Waitable>(overlapped->hEvent);
    if (!event) return Finish(FALSE, ERROR_INVALID_HANDLE);
  }
  const std::size_t n = std::min<std::size_t>(queue_.size(), count);
  if (n) {
    queue_.pop(static_cast<BYTE*>(buffer), n);
    lastTakenNs_ = MonotonicNs();
    if (queue_.size() * 5 < capacity_ * 4) fullSignalled_ = false;
  }
  StoreRecord(overlapped, kStatusSuccess, DWORD(n));
  if (event)
    event->Set();
  else
    Set();
  if (read) *read = DWORD(n);
  return TRUE;
}

BOOL SerialPort::Write(const void* data, DWORD count, DWORD* written, OVERLAPPED* overlapped) {
  if (written) *written = 0;
  if (!overlapped) {
    OVERLAPPED local{};
    if (Write(data, count, written, &local)) return TRUE;
    if (GetLastError() != ERROR_IO_PENDING) return FALSE;
    return GetOverlappedResult(&local, written, TRUE);
  }
  if (!data && count) return Finish(FALSE, ERROR_INVALID_PARAMETER);
  Lock lock(*this);
  if (!CheckUsable(false, true)) return FALSE;
  Pump(0);
  if (failed_) return Finish(FALSE, failError_);
  if (aborting_) return Finish(FALSE, ERROR_OPERATION_ABORTED);
  DWORD error = ERROR_SUCCESS;
  auto op = NewOp(Op::kWrite, overlapped, error);
  if (!op) return Finish(FALSE, error);
  if (count == 0) {
    Complete(op, kStatusSuccess);
    return TRUE;
  }
  const auto* bytes = static_cast<const BYTE*>(data);
  op->data.assign(bytes, bytes + count);
  op->count = count;
  const COMMTIMEOUTS& t = timeouts_;
  if (t.WriteTotalTimeoutMultiplier || t.WriteTotalTimeoutConstant) {
    const std::uint64_t total =
        std::uint64_t(t.WriteTotalTimeoutMultiplier) * count + t.WriteTotalTimeoutConstant;
    op->deadlineNs = MonotonicNs() + std::int64_t(std::min<std::uint64_t>(total, 1ull << 40)) * kMs;
  }
  writes_.push_back(op);
  PushOutput();
  if (txWatch_ && writes_.empty() && device_->OutputQueued() == 0 && device_->TransmitterEmpty()) {
    txWatch_ = false;
    Raise(EV_TXEMPTY);
  }
  ServeWait();
  if (op->finished) {
    if (op->status == kStatusSuccess || op->status == kStatusTimeout) {
      if (written) *written = op->transferred;
      return TRUE;
    }
    return Finish(FALSE, ErrorOfStatus(op->status));
  }
  StartPending(op);
  return Finish(FALSE, ERROR_IO_PENDING);
}

BOOL SerialPort::GetOverlappedResult(OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
  if (!overlapped) return Finish(FALSE, ERROR_INVALID_PARAMETER);
  std::shared_ptr<Op> op;
  {
    Lock lock(*this);
    Pump(0);
    op = FindOp(overlapped);
    if (!op) return ResultFromRecord(overlapped, transferred);
    if (!wait) return Finish(FALSE, ERROR_IO_INCOMPLETE);
    op->waitedOutside = true;
  }
  op->done->Wait(INFINITE);
  return ResultFromRecord(overlapped, transferred);
}

BOOL SerialPort::CancelIo() {
  Lock lock(*this);
  if (closed_) return Finish(FALSE, ERROR_INVALID_HANDLE);
  const auto me = std::this_thread::get_id();
  std::vector<std::shared_ptr<Op>> mine;
  for (const auto& op : reads_)
    if (op->thread == me) mine.push_back(op);
  for (const auto& op : writes_)
    if (op->thread == me) mine.push_back(op);
  if (wait_ && wait_->thread == me) mine.push_back(wait_);
  for (const auto& op : mine) Complete(op, kStatusCancelled);
  return TRUE;
}

BOOL SerialPort::CancelIoEx(OVERLAPPED* overlapped) {
  Lock lock(*this);
  if (closed_) return Finish(FALSE, ERROR_INVALID_HANDLE);
  if (!overlapped) {
    if (reads_.empty() && writes_.empty() && !wait_) return Finish(FALSE, ERROR_NOT_FOUND);
    CompleteAll(kStatusCancelled);
    return TRUE;
  }
  auto op = FindOp(overlapped);
  if (!op) return Finish(FALSE, ERROR_NOT_FOUND);
  Complete(op, kStatusCancelled);
  return TRUE;
}

// ---- Port events -----------------------------------------------------------------------------

BOOL SerialPort::WaitCommEvent(DWORD* events, OVERLAPPED* overlapped) {
  if (!events) return Finish(FALSE, ERROR_INVALID_PARAMETER);
  if (!overlapped) {
    OVERLAPPED local{};
    if (WaitCommEvent(events, &local)) return TRUE;
    if (GetLastError() != ERROR_IO_PENDING) return FALSE;
    DWORD unused;
    return GetOverlappedResult(&local, &unused, TRUE);
  }
  Lock lock(*this);
  if (!CheckUsable(false, false)) return FALSE;
  *events = 0;
  // Nothing to wait for before a mask is set, and one wait at a time.
  if (mask_ == 0 || wait_) return Finish(FALSE, ERROR_INVALID_PARAMETER);
  Pump(0);
  if (failed_) return Finish(FALSE, failError_);
  DWORD error = ERROR_SUCCESS;
  auto op = NewOp(Op::kWait, overlapped, error);
  if (!op) return Finish(FALSE, error);
  op->events = events;
  if (history_ & mask_) {
    // Events that occurred since the last wait are reported at once.
    *events = history_ & mask_;
    history_ &= ~*events;
    Complete(op, kStatusSuccess);
    return TRUE;
  }
  wait_ = op;
  StartPending(op);
  return Finish(FALSE, ERROR_IO_PENDING);
}

BOOL SerialPort::SetCommMask(DWORD mask) {
  Lock lock(*this);
  if (!CheckUsable(false, false)) return FALSE;
  Pump(0);  // what happened so far belongs to the old mask
  if (failed_) return Finish(FALSE, failError_);
  const bool hadLines = LineEventsMasked();
  mask_ = mask;
  history_ &= mask;
  if (!hadLines && LineEventsMasked()) lines_ = device_->ModemStatus();
  // Bytes already queued (taken in while no mask asked for them: at open, a device that sent
  // before anyone listened) raise no event of their own, and a full queue takes nothing more
  // until it is read: report them under the new mask, or they wait for the next byte, if ever.
  if (queue_.size() != 0) Raise(EV_RXCHAR);
  // Any change of the mask completes a pending wait with no events (its word is still 0).
  if (wait_) Complete(wait_, kStatusSuccess);
  return TRUE;
}

BOOL SerialPort::GetCommMask(DWORD* mask) {
  if (!mask) return Finish(FALSE, ERROR_INVALID_PARAMETER);
  Lock lock(*this);
  if (closed_) return Finish(FALSE, ERROR_INVALID_HANDLE);
  *mask = mask_;
  return TRUE;
}

// ---- Status and control ----------------------------------------------------------------------

BOOL SerialPort::ClearCommError(DWORD* errors, COMSTAT* stat) {
  Lock lock(*this);
  if (!failed_) {
    if (!CheckUsable(false, false)) return FALSE;
    Pump(0);
  }
  if (failed_) {
    // A failed device's bytes and errors are told until they have been taken.
    if (closed_ || (queue_.size() == 0 && errors_ == 0)) return CheckUsable(false, false);
    if (errors) *errors = errors_;
    errors_ = 0;
    if (stat) *stat = COMSTAT{0, DWORD(queue_.size()), 0};
    return TRUE;
  }
  if (errors) *errors = errors_;
  errors_ = 0;
  aborting_ = false;
  if (stat) {
    DWORD pendingOut = 0;
    for (const auto& op : writes_) pendingOut += DWORD(op->data.size() - op->transferred);
    stat->cbInQue = DWORD(queue_.size());
    // Asking the device costs a system call; output it holds can only come from a write.
    const DWORD queued = outputSettled_ ? 0 : device_->OutputQueued();
    outputSettled_ = queued == 0 && !HoldsOutput();
    stat->cbOutQue = queued + pendingOut;
    stat->Flags = 0;
    const DWORD rts = (dcb_.Flags & DCB_fRtsControlMask) >> DCB_fRtsControlShift;
    const bool ctsFlow = (dcb_.Flags & DCB_fOutxCtsFlow) || rts == RTS_CONTROL_HANDSHAKE;
    if (ctsFlow && stat->cbOutQue && device_->HasModemLines() &&
        !(device_->ModemStatus() & MS_CTS_ON))
      stat->Flags |= COMSTAT_fCtsHold;
  }
  return TRUE;
}

BOOL SerialPort::PurgeComm(DWORD flags) {
  if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
    return Finish(FALSE, ERROR_INVALID_PARAMETER);
  Lock lock(*this);
  if (!CheckUsable(false, false)) return FALSE;
  if (flags & PURGE_TXABORT)
    while (!writes_.empty()) Complete(writes_.front(), kStatusCancelled);
  if (flags & PURGE_RXABORT)
    while (!reads_.empty()) Complete(reads_.front(), kStatusCancelled);
  if (flags & PURGE_RXCLEAR) {
    queue_.clear();
    fullSignalled_ = false;
  }
  device_->Flush(flags & PURGE_RXCLEAR, flags & PURGE_TXCLEAR);
  return TRUE;
}

BOOL SerialPort::EscapeCommFunction(DWORD function) {
  Lock lock(*this);
  if (!CheckUsable(false, false)) return FALSE;
  DWORD error = ERROR_SUCCESS;
  if (!device_->Escape(function, error)) {
    if (error == ERROR_DEVICE_REMOVED) Fail(error);
    return Finish(FALSE, error);
  }
  return TRUE;
}

BOOL SerialPort::GetCommModemStatus(DWORD* status) {
  if (!status) return Finish(FALSE, ERROR_INVALID_PARAMETER);
  Lock lock(*this);
  if (!CheckUsable(false, false)) return FALSE;
  *status = device_->ModemStatus();
  return TRUE;
}

BOOL SerialPort::SetupComm(DWORD inQueue, DWORD outQueue) {
  if (inQueue == 0 || inQueue > kMaxQueue || outQueue > kMaxQueue)
    return Finish(FALSE, ERROR_INVALID_PARAMETER);
  Lock lock(*this);
  if (!CheckUsable(false, false)) return FALSE;
  // Bytes already queued stay even when the new size is smaller; the queue just takes no more
  // until it has drained below the size.
  capacity_ = inQueue;
  outQueueSize_ = outQueue;
  fullSignalled_ = queue_.size() * 5 >= capacity_ * 4;
  Pump(0);
  return TRUE;
}

BOOL SerialPort::GetCommProperties(COMMPROP* p) {
  if (!p) return Finish(FALSE, ERROR_INVALID_PARAMETER);
  Lock lock(*this);
  if (!CheckUsable(false, false)) return FALSE;
  *p = COMMPROP{};
  p->wPacketLength = sizeof(COMMPROP);
  p->wPacketVersion = 2;
  p->dwServiceMask = SP_SERIALCOMM;
  p->dwMaxTxQueue = 0;  // no fixed limit
  p->dwMaxRxQueue = kMaxQueue;
  p->dwMaxBaud = BAUD_USER;
  p->dwProvSubType = PST_RS232;
  p->dwProvCapabilities = PCF_PARITY_CHECK | PCF_XONXOFF | PCF_SETXCHAR | PCF_TOTALTIMEOUTS |
                          PCF_INTTIMEOUTS | PCF_SPECIALCHARS;
  p->dwSettableParams = SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS | SP_HANDSHAKING |
                        SP_PARITY_CHECK;
  if (device_->HasModemLines()) {
    p->dwProvCapabilities |= PCF_DTRDSR | PCF_RTSCTS | PCF_RLSD;
    p->dwSettableParams |= SP_RLSD;
  }
  p->dwSettableBaud = BAUD_075 | BAUD_110 | BAUD_134_5 | BAUD_150 | BAUD_300 | BAUD_600 |
                      BAUD_1200 | BAUD_1800 | BAUD_2400 | BAUD_4800 | BAUD_7200 | BAUD_9600 |
                      BAUD_14400 | BAUD_19200 | BAUD_38400 | BAUD_56K | BAUD_128K |
                      BAUD_115200 | BAUD_57600 | BAUD_USER;
  p->wSettableData = DATABITS_5 | DATABITS_6 | DATABITS_7 | DATABITS_8;
  p->wSettableStopParity = STOPBITS_10 | STOPBITS_15 | STOPBITS_20 | PARITY_NONE | PARITY_ODD |
                           PARITY_EVEN | PARITY_MARK | PARITY_SPACE;
  p->dwCurrentTxQueue = outQueueSize_;
  p->dwCurrentRxQueue = DWORD(capacity_);
  return TRUE;
}

BOOL SerialPort::GetCommTimeouts(COMMTIMEOUTS* timeouts) {
  if (!timeouts) return Finish(FALSE, ERROR_INVALID_PARAMETER);
  Lock lock(*this);
  if (closed_) return Finish(FALSE, ERROR_INVALID_HANDLE);
  *timeouts = timeouts_;
  return TRUE;
}

BOOL SerialPort::SetCommTimeouts(const COMMTIMEOUTS* t) {
  if (!t) return Finish(FALSE, ERROR_INVALID_PARAMETER);
  // All three read values at MAXDWORD have no meaning.
  if (t->ReadIntervalTimeout == MAXDWORD && t->ReadTotalTimeoutMultiplier == MAXDWORD &&
      t->ReadTotalTimeoutConstant == MAXDWORD)
    return Finish(FALSE, ERROR_INVALID_PARAMETER);
  Lock lock(*this);
  if (closed_) return Finish(FALSE, ERROR_INVALID_HANDLE);
  timeouts_ = *t;
  return TRUE;
}

BOOL SerialPort::GetCommState(DCB* dcb) {
  if (!dcb) return Finish(FALSE, ERROR_INVALID_PARAMETER);
  Lock lock(*this);
  if (!CheckUsable(false, false)) return FALSE;
  DCB current = dcb_;
  DWORD error = ERROR_SUCCESS;
  if (!device_->ReadBack(current, error)) {
    if (error == ERROR_DEVICE_REMOVED) Fail(error);
    return Finish(FALSE, error);
  }
  current.DCBlength = sizeof(DCB);
  dcb_ = current;
  *dcb = current;
  return TRUE;
}

BOOL SerialPort::SetCommState(const DCB* dcb) {
  if (!dcb) return Finish(FALSE, ERROR_INVALID_PARAMETER);
  const DWORD invalid = ValidateDcb(*dcb);
  if (invalid != ERROR_SUCCESS) return Finish(FALSE, invalid);
  Lock lock(*this);
  if (!CheckUsable(false, false)) return FALSE;
  DWORD error = ERROR_SUCCESS;
  if (!device_->Apply(*dcb, error)) {
    if (error == ERROR_DEVICE_REMOVED) Fail(error);
    return Finish(FALSE, error);
  }
  dcb_ = *dcb;
  dcb_.DCBlength = sizeof(DCB);
  Pump(0);
  return TRUE;
}

void SerialPort::OnHandleClosed() {
  Lock lock(*this);
  if (closed_) return;
  closed_ = true;
  CompleteAll(kStatusCancelled);
  for (const Attached& a : attached_) a.event->ReleaseIoSource(source_.get());
  attached_.clear();
  SetIoSource(nullptr);
  device_->Close();
}

}  // namespace qv::platform
