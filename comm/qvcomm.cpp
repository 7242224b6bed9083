#include "comm/qvcomm.h"

#include "comm/internal/commthreads.h"
#include "platform/rtl/application.h"
#include "platform/rtl/format.h"
#include "ports/qvwin32.h"

#include <algorithm>

// Registered when the program starts, before any component exists.
const UINT MsgComEvent = RegisterWindowMessageA("qvCommMsgComEvent");
const UINT MsgQuitComEvent = RegisterWindowMessageA("qvCommMsgQuitComEvent");

namespace {

constexpr DWORD kPurgeRx = PURGE_RXABORT | PURGE_RXCLEAR;  // 0x0A
constexpr DWORD kPurgeTx = PURGE_TXABORT | PURGE_TXCLEAR;  // 0x05
constexpr DWORD kPurgeAll = kPurgeRx | kPurgeTx;           // 0x0F

// DCB field values used by the stream protocols.
constexpr DWORD kNoneSet = 0x0011, kNoneKeep = 0x4CFB;
constexpr DWORD kXonSet = 0x0311, kXonKeep = 0x4FFB;
constexpr DWORD kHardSet = 0x2015, kHardKeep = 0x2CFF;

bool OnMainThreadWithApplication() { return Application && GetCurrentThreadId() == MainThreadID(); }

// Names the calling thread as the one reading received bytes for as long as it lives.
class TReceiverMark {
 public:
  explicit TReceiverMark(std::atomic<DWORD>& AMark) : Mark(AMark), Saved(AMark.exchange(GetCurrentThreadId())) {}
  ~TReceiverMark() { Mark.store(Saved); }

 private:
  std::atomic<DWORD>& Mark;
  const DWORD Saved;
};

}  // namespace

// ---- Construction ----------------------------------------------------------------------------

TqvCustomComm::TqvCustomComm(TComponent* AOwner) : TqvBaseIO(AOwner) {
  CommStatus = std::make_unique<COMSTAT>();
  FTimeouts = std::make_unique<COMMTIMEOUTS>();
  FTimeouts->WriteTotalTimeoutMultiplier = 100;
  FEventMask = TCommEvents();
  PortSettings.dwSize = sizeof(COMMCONFIG);
  PortSettings.dcb.DCBlength = sizeof(DCB);
  FPatterns = std::make_unique<TEventList>();
  SetInQueueSize(4096);
  SetOutQueueSize(4096);
}

TqvCustomComm::~TqvCustomComm() {
  FAlive->store(false);
  if (CommThread && GetCurrentThreadId() == CommThread->ThreadID()) {
    // Destroyed from OnClose on the port-event thread, which closed the port (its device went
    // away): the dispatch thread has ended before, and this one ends on its own and frees itself.
    ::Free(MsgThread);
    MsgThread = nullptr;
    CommThread->Orphan();
    CommThread = nullptr;
  }
  SetLinkedComponent(nullptr);
  OnCommEvent = nullptr;
  Close();
  CommStatus.reset();
  FTimeouts.reset();
  FPatterns.reset();
  SetAttachedControl(nullptr);
}

void TqvCustomComm::Notification(TComponent* AComponent, TOperation Operation) {
  TqvBaseIO::Notification(AComponent, Operation);
  if (Operation != opRemove || !AComponent) return;
  // One component may serve as several indicators: every link to it goes.
  if (FRlsdIndicator == AComponent) FRlsdIndicator = nullptr;
  if (FRingIndicator == AComponent) FRingIndicator = nullptr;
  if (FCtsIndicator == AComponent) FCtsIndicator = nullptr;
  if (FDsrIndicator == AComponent) FDsrIndicator = nullptr;
}

void TqvCustomComm::SetIndicator(TComponent*& Field, TComponent* Value) {
  Field = Value;
  if (Value) Value->FreeNotification(this);
}

// ---- Open and close --------------------------------------------------------------------------

void TqvCustomComm::Open() {
  Close();
  // Cleared before the handle exists: a Close from the OnOpen handler must really close it.
  FClosing.store(false);
  TqvBaseIO::Open();
  if (!IsOpen()) {
    // Taken first: the text of a network port's failure names its host and port.
    const std::string text = qv::platform::LastErrorText();
    const std::string Name = GetDeviceName();
    FLastErrorText = Format("Device \"%s\" Open Error !!!\r%s", {Name, text});
    FatalError(1, 0, FLastErrorText, false);
    return;
  }
  FSession.fetch_add(1, std::memory_order_relaxed);
  try {
    AllocReceiveBuffer();
    LogFormat(dlSimple, "The port %s succesful opened", {GetDeviceName()});
    StartThread();
    SetupPort();
    // The queue may have kept another size than the one asked for (it refuses 0).
    FitReceiveBuffer();
    SetEventMask(FEventMask);
    DoCommEvent(this, {ceTxEmpty});
    NotifyLinks(ncOpened);
  } catch (...) {
    // A half-open port would stay Active with no event mask: close it, threads included.
    Close();
    throw;
  }
}

void TqvCustomComm::Close() {
  FSession.fetch_add(1, std::memory_order_relaxed);
  if (IsOpen()) {
    try {
      if (TakeDownPort(true)) {
        // An OnClose handler that opened the port again has released the old threads with the
        // close its open begins with; the threads attached now belong to the new session.
        if (!IsOpen()) StopThread();
        LogText(dlSimple, "The port is succesful closed");
      } else if (!OnOwnThread()) {
        // The port-event thread found the port failed and is closing it: it waits for the
        // dispatch thread, which may be in the very hand-over this Close runs in. Releasing
        // that hand-over lets the thread end, so the close completes and StopThread can wait.
        if (MsgThread) MsgThread->Terminate();
        StopThread();
      }
    } catch (...) {
      TqvBaseIO::Close();
    }
  } else if ((MsgThread || CommThread) && !OnOwnThread()) {
    // Threads left attached by a port-event thread that closed the port: wait for their end
    // (the close then has completed, OnClose included) and release them.
    StopThread();
  }
  DoCommEvent(this, {ceTxEmpty});
}

void TqvCustomComm::ShutDown(bool AStopThread) { TakeDownPort(AStopThread); }

bool TqvCustomComm::TakeDownPort(bool AStopThread) {
  if (!IsOpen()) return true;
  bool expected = false;
  if (!FClosing.compare_exchange_strong(expected, true)) return false;
  const HANDLE h = GetHandle();
  if (AStopThread) {
    if (CommThread) CommThread->Stop();
    if (OutQueueCount() > 0) ClearAll();
    SetCommMask(h, EV_RX80FULL);  // completes the pending wait
    // Without an application object HandleComEvent runs on the dispatch thread: it must have
    // ended before the buffer goes.
    if (!Application && MsgThread && GetCurrentThreadId() != MsgThread->ThreadID()) {
      MsgThread->Stop();
      // Its handler may be in a read of bytes it counted and a purge (ClearAll above) or a
      // reader on another thread took first: without read time-outs that read waits for ever.
      // Cancelled until the thread has ended, since a read it starts after one cancel meets
      // the next.
      while (WaitForSingleObject(MsgThread->Handle(), 20) == WAIT_TIMEOUT) CancelIoEx(h, &ReadOverlapped);
      MsgThread->WaitFor();
    }
  } else {
    // The device failed (on the port-event thread, or a caller that says so). What it sent
    // before reaches the handlers first: the dispatch thread hands over every event word
    // posted, then what the port still holds and the settling (ReceiveLeftOver), and ends; so
    // once it has ended no HandleComEvent is reading into the buffer. A stop ends it sooner.
    TMsgThread* const m = MsgThread && MsgThread->ThreadID() != GetCurrentThreadId() ? MsgThread : nullptr;
    if (!m || !m->FinishAndEnd()) {
      if (m) {
        m->Stop();
        m->WaitFor();
      }
      // Where HandleComEvent runs: handed to the main thread (a stop withdraws it).
      if (Application)
        TThread::Synchronize(CommThread, [this] { ReceiveLeftOver(); });
      else
        ReceiveLeftOver();
    }
    // Written while the port still counts as open, so nobody destroys the component meanwhile.
    LogFormat(dlSimple, "Communication Error %d:%d: the device went away (%s)", {0u, FFailError, GetDeviceName()});
  }
  FreeReceiveBuffer();
  // Whoever destroys the component from its OnClose (it may, when the device went away) ends
  // this object's life: nothing of it is touched after OnClose unless it is still there.
  const std::shared_ptr<std::atomic<bool>> alive = FAlive;
  TqvBaseIO::Close();
  // Not when OnClose opened the port again: the links have been told it is open. No virtual
  // call (not even NotifyLinks, which nothing overrides): once OnClose has run, the owner may
  // be destroying the component, and its destructor (which waits for this thread) has already
  // replaced the object's virtual table.
  if (alive->load() && !PortOpen()) TqvBaseIO::NotifyLinks(ncClosed);
  return true;
}

void TqvCustomComm::ReceiveLeftOver() {
  // Read as each event reads: the port reports its errors first (an overrun when the kernel
  // held more than it could take), then a buffer's worth per round. Two rounds that take
  // nothing (nobody wants the bytes, a hold) end it.
  const unsigned session = FSession.load(std::memory_order_relaxed);
  MSG m{};
  m.message = MsgComEvent;
  m.wParam = EV_RXCHAR;
  DWORD last = MAXDWORD;
  for (int stuck = 0; stuck < 2;) {
    HandleComEvent(m);
    if (SessionEnded(session)) return;
    const DWORD queued = CommStatus->cbInQue;  // as the round found it
    if (queued == 0) break;
    stuck = queued < last ? 0 : stuck + 1;
    last = queued;
  }
  try {
    PortVanishing();
  } catch (...) {
    HandlerFailed();
  }
}

void TqvCustomComm::PortFailed(DWORD Error) {
  FFailError = Error;
  TakeDownPort(false);
}

bool TqvCustomComm::OnOwnThread() const {
  const DWORD me = GetCurrentThreadId();
  return (CommThread && CommThread->ThreadID() == me) || (MsgThread && MsgThread->ThreadID() == me);
}

void TqvCustomComm::StartThread() {
  // Objects left by threads that ended on their own (the port failed, or the dispatch thread
  // was told to quit) go first; both are replaced so the port-event thread never outlives the
  // dispatch thread it posts to.
  if ((MsgThread && MsgThread->Finished()) || (CommThread && CommThread->Finished())) StopThread();
  if (!MsgThread) MsgThread = new TMsgThread(this);
  if (!CommThread) CommThread = new TCommThread(this);
}

void TqvCustomComm::StopThread() {
  if (TCommThread* t = CommThread) {
    if (GetCurrentThreadId() == t->ThreadID()) {
      // Called from a handler on the port-event thread: it ends on its own and is released
      // with the next start or close.
      t->Terminate();
      return;
    }
    t->Free();  // waits for its end
    CommThread = nullptr;
  }
  if (TMsgThread* m = MsgThread) {
    if (GetCurrentThreadId() == m->ThreadID()) {
      // A handler running on the dispatch thread itself (no application object): it cannot
      // wait for itself. Its loop ends after the handler, and the next start or close, or the
      // destructor, waits for that end and releases it.
      m->Stop();
      return;
    }
    MsgThread = nullptr;
    m->Stop();
    if (WaitForSingleObject(m->Handle(), 1000) == WAIT_TIMEOUT) TerminateThread(m->Handle(), 0);
    m->Free();
  }
}

// ---- Receive buffer --------------------------------------------------------------------------

void TqvCustomComm::AllocReceiveBuffer() {
  FreeReceiveBuffer();
  // The size SetupPort is about to request. Reading it back from the port here would replace
  // a size set while closed by whatever the port happened to have before its set-up.
  const DWORD size = FInQueueSize ? FInQueueSize : 1;
  auto block = std::make_shared<TReceiveBlock>(size);
  FPatterns->EnsureScratch(size);
  std::lock_guard lock(FBufferLock);
  ReceiveBuffer = std::move(block);
}

void TqvCustomComm::FitReceiveBuffer() {
  COMMPROP p{};
  if (!IsOpen() || !GetCommProperties(GetHandle(), &p) || p.dwCurrentRxQueue == 0) return;
  {
    std::lock_guard lock(FBufferLock);
    if (!ReceiveBuffer || ReceiveBuffer->Size == p.dwCurrentRxQueue) return;
  }
  // A handler reading the old block keeps it (TakeReceiveBuffer); the pattern scratch grows
  // by itself when a packet needs more.
  auto block = std::make_shared<TReceiveBlock>(p.dwCurrentRxQueue);
  std::lock_guard lock(FBufferLock);
  if (ReceiveBuffer) ReceiveBuffer = std::move(block);
}

void TqvCustomComm::FreeReceiveBuffer() {
  std::shared_ptr<TReceiveBlock> old;
  std::lock_guard lock(FBufferLock);
  old.swap(ReceiveBuffer);  // released after the lock, unless a handler still holds it
}

std::shared_ptr<TqvCustomComm::TReceiveBlock> TqvCustomComm::TakeReceiveBuffer() {
  std::lock_guard lock(FBufferLock);
  return ReceiveBuffer;
}

// ---- Sending ---------------------------------------------------------------------------------

void TqvCustomComm::SendChar(BYTE Ch) {
  if (!IsOpen()) return;
  LogFormat(dlDebug, "Try to send char %2Xh ...", {unsigned(Ch)});
  if (RtsToggle) SetRts(true);
  if (!WriteAndWait(GetHandle(), &Ch, 1, WriteOverlapped)) CommError(0, GetLastError(), 0);
}

void TqvCustomComm::SendString(const std::string& S) {
  if (!IsOpen() || S.empty()) return;
  LogFormat(dlDebug, "Try to send string %s ...", {S});
  if (RtsToggle) SetRts(true);
  if (!WriteAndWait(GetHandle(), S.data(), DWORD(S.size()), WriteOverlapped)) CommError(0, GetLastError(), 0);
}

void TqvCustomComm::SendData(const void* Data, int Count) {
  if (!IsOpen()) return;
  LogFormat(dlDebug, "Try to send the data with %d length ...", {Count});
  if (RtsToggle) SetRts(true);
  const HANDLE h = GetHandle();
  if (Count < 0) {
    // A negative length would be read as a huge block.
    CommError(0, ERROR_INVALID_PARAMETER, 0);
    return;
  }
  // The previous unwaited write may still own the record: wait until the port has given it
  // back. The bytes are taken at submission, so the caller's block is free once we return.
  // On the main thread the wait serves its messages (the window stays alive however long flow
  // control holds the line); a handler run meanwhile may send, close or reopen, so the record
  // and the handle are looked at again after each round.
  DWORD done = 0;
  while (!GetOverlappedResult(h, &AsyncWriteOverlapped, &done, FALSE) &&
         GetLastError() == ERROR_IO_INCOMPLETE) {
    if (!OnMainThreadWithApplication()) {
      GetOverlappedResult(h, &AsyncWriteOverlapped, &done, TRUE);
      break;
    }
    Application->WaitAndProcess(1);
    if (GetHandle() != h) return;  // closed meanwhile: a closed port sends nothing
  }
  if (WriteNoWait(h, Data, DWORD(Count), AsyncWriteOverlapped))
    LogText(dlDebug, "... the data transmittion is OK!");
  else
    CommError(0, GetLastError(), 0);
}

// ---- Purges and line control -----------------------------------------------------------------

void TqvCustomComm::ClearInput() {
  if (IsOpen()) PurgeComm(GetHandle(), kPurgeRx);
}

void TqvCustomComm::ClearOutput() {
  if (!IsOpen()) return;
  PurgeComm(GetHandle(), kPurgeTx);
  if (RtsToggle) SetRts(false);
}

void TqvCustomComm::ClearAll() {
  if (!IsOpen()) return;
  PurgeComm(GetHandle(), kPurgeAll);
  CancelPendingIo(GetHandle());
  if (RtsToggle) SetRts(false);
}

void TqvCustomComm::SetDtr(bool On) {
  if (!IsOpen()) return;
  EscapeCommFunction(GetHandle(), On ? SETDTR : CLRDTR);
  DoCommEvent(this, {ceDsr});
}

void TqvCustomComm::SetRts(bool On) {
  if (!IsOpen()) return;
  EscapeCommFunction(GetHandle(), On ? SETRTS : CLRRTS);
  DoCommEvent(this, {ceCts});
}

TModemLines TqvCustomComm::ModemStatus() {
  DWORD s = 0;
  if (!IsOpen() || !GetCommModemStatus(GetHandle(), &s)) return {};
  TModemLines L;
  if (s & MS_CTS_ON) L += mlCts;
  if (s & MS_DSR_ON) L += mlDsr;
  if (s & MS_RING_ON) L += mlRing;
  if (s & MS_RLSD_ON) L += mlRlsd;
  return L;
}

// ---- Virtual hooks ---------------------------------------------------------------------------

std::string TqvCustomComm::GetDeviceName() { return "Unknown"; }

void TqvCustomComm::SetupPort() {
  const HANDLE h = GetHandle();
  SetupComm(h, FInQueueSize, FOutQueueSize);
  SetCommTimeouts(h, FTimeouts.get());
}

void TqvCustomComm::SetEventChar(BYTE Ch) {
  PortSettings.dcb.EvtChar = char(Ch);
  ApplySettings();
}

BYTE TqvCustomComm::GetEventChar() {
  RefreshSettings();
  return BYTE(PortSettings.dcb.EvtChar);
}

void TqvCustomComm::CommError(DWORD Errors, DWORD SystemError, BYTE Status) {
  if (RtsToggle) SetRts(false);
  LogFormat(dlDetail, "Communication Error %d:%d", {Errors, SystemError});
  bool Reset = false;
  if (OnCommError) OnCommError(this, Errors, SystemError, Status, Reset);
  if (Reset) ClearAll();
}

// ---- Event mask ------------------------------------------------------------------------------

DWORD TqvCustomComm::PortEventMask(TCommEvents E, bool RtsToggle) {
  DWORD mask = EV_RXCHAR;
  if (E.Contains(ceRxFlag)) mask |= EV_RXFLAG;
  if (E.Contains(ceTxEmpty) || RtsToggle) mask |= EV_TXEMPTY;
  if (E.Contains(ceCts)) mask |= EV_CTS;
  if (E.Contains(ceDsr)) mask |= EV_DSR;
  if (E.Contains(ceRlsd)) mask |= EV_RLSD;
  if (E.Contains(ceBreak)) mask |= EV_BREAK;
  if (E.Contains(ceError)) mask |= EV_ERR;
  if (E.Contains(ceRing)) mask |= EV_RING;
  if (E.Contains(ceRx80Full)) mask |= EV_RX80FULL;
  if (E.Contains(ceEvent1)) mask |= EV_EVENT1;
  if (E.Contains(ceEvent2)) mask |= EV_EVENT2;
  return mask;
}

void TqvCustomComm::SetEventMask(TCommEvents Value) {
  FEventMask = Value;
  if (!IsOpen()) return;
  SetCommMask(GetHandle(), PortEventMask(Value, RtsToggle));
  // The port-event thread sleeps until the port has a mask.
  if (CommThread) CommThread->Wake();
}

// ---- Queues, time-outs, properties -----------------------------------------------------------

DWORD TqvCustomComm::InQueueCount() {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(GetHandle(), &errors, &stat)) return 0;
  return stat.cbInQue;
}

DWORD TqvCustomComm::OutQueueCount() {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(GetHandle(), &errors, &stat)) return 0;
  return stat.cbOutQue;
}

WORD TqvCustomComm::InQueueSize() {
  if (IsOpen()) {
    CommProperties();
    if (WORD(FCommProperties.dwCurrentRxQueue)) FInQueueSize = WORD(FCommProperties.dwCurrentRxQueue);
  }
  return FInQueueSize;
}

WORD TqvCustomComm::OutQueueSize() {
  if (IsOpen()) {
    CommProperties();
    if (WORD(FCommProperties.dwCurrentTxQueue)) FOutQueueSize = WORD(FCommProperties.dwCurrentTxQueue);
  }
  return FOutQueueSize;
}

void TqvCustomComm::SetInQueueSize(WORD Value) {
  if (IsOpen()) {
    SetupComm(GetHandle(), Value, OutQueueSize());
    FitReceiveBuffer();
  } else {
    FInQueueSize = Value;
  }
}

void TqvCustomComm::SetOutQueueSize(WORD Value) {
  if (IsOpen())
    SetupComm(GetHandle(), InQueueSize(), Value);
  else
    FOutQueueSize = Value;
}

const COMMTIMEOUTS& TqvCustomComm::Timeouts() {
  if (IsOpen()) GetCommTimeouts(GetHandle(), FTimeouts.get());
  return *FTimeouts;
}

void TqvCustomComm::SetTimeouts(const COMMTIMEOUTS& Value) {
  *FTimeouts = Value;
  if (IsOpen()) SetCommTimeouts(GetHandle(), FTimeouts.get());
}

const COMMPROP& TqvCustomComm::CommProperties() {
  if (IsOpen()) GetCommProperties(GetHandle(), &FCommProperties);
  return FCommProperties;
}

// ---- Reads and waits -------------------------------------------------------------------------

bool TqvCustomComm::ReadData(void* Buffer, DWORD Count) {
  return ReadAndWait(GetHandle(), Buffer, Count, ReadOverlapped);
}

TqvCustomComm::TInputHold::TInputHold(TqvCustomComm& AComm) : Comm(AComm) {
  Comm.FInputHolds.fetch_add(1);
  // A receive path on another thread that looked before the hold may be reading now.
  const DWORD me = GetCurrentThreadId();
  for (DWORD r = Comm.FReceiver.load(); r != 0 && r != me; r = Comm.FReceiver.load()) Sleep(1);
}

TqvCustomComm::TInputHold::~TInputHold() { Comm.FInputHolds.fetch_sub(1); }

bool TqvCustomComm::WaitForInput(DWORD Count, DWORD TimeoutMs) {
  if (!IsOpen()) return false;
  const TInputHold hold(*this);
  const TCommEvents saved = FEventMask;
  SetEventMask(saved - ceRxChar);
  const DWORD start = GetTickCount();
  bool result = false;
  // Elapsed time, not a deadline: a tick count that wraps during the wait changes nothing.
  while (GetTickCount() - start <= TimeoutMs && IsOpen()) {
    if (InQueueCount() >= Count) {
      result = true;
      break;
    }
    Sleep(1);
    if (OnMainThreadWithApplication()) Application->ProcessMessages();
  }
  SetEventMask(saved);
  return result;
}

bool TqvCustomComm::WaitForModemLine(TModemLine Line, DWORD TimeoutMs) {
  if (!IsOpen()) return false;
  const DWORD start = GetTickCount();
  do {
    if (ModemStatus().Contains(Line)) return true;
    Sleep(1);
    if (OnMainThreadWithApplication()) Application->ProcessMessages();
    if (GetTickCount() - start > TimeoutMs) return false;
  } while (IsOpen());
  return false;
}

// ---- The receive path ------------------------------------------------------------------------

void TqvCustomComm::HandleComEvent(const MSG& Msg) {
  if (Msg.message != MsgComEvent) return;
  const DWORD eventWord = DWORD(Msg.wParam);
  const unsigned session = FSession.load(std::memory_order_relaxed);
  try {
    // Errors the port flagged end the notification. The other steps return false when a
    // handler closed or reopened the port: the rest belongs to a session that is gone.
    if (ReportPortErrors()) return;
    if ((eventWord & EV_RXCHAR) && !ReadArrived(session)) return;
    if ((eventWord & EV_TXEMPTY) && !TransmitterEmpty(session)) return;
    const TCommEvents lineEvents = LineEvents(eventWord);
    if (!lineEvents.Empty()) DoCommEvent(this, lineEvents);
  } catch (...) {
    HandlerFailed();
  }
}

bool TqvCustomComm::ReportPortErrors() {
  DWORD errors = 0;
  if (!ClearCommError(GetHandle(), &errors, CommStatus.get())) {
    errors = 0;
    CommStatus->cbInQue = 0;
    CommStatus->cbOutQue = 0;
  }
  // The notification's data and events are dropped; the bytes stay queued for the next one.
  if (errors != 0) CommError(errors, 0, BYTE(CommStatus->Flags & 0xFF));
  return errors != 0;
}

bool TqvCustomComm::ReadArrived(unsigned Session) {
  const DWORD queued = CommStatus->cbInQue;
  // Held for the whole step: a handler that closes the port or resizes the queue releases the
  // component's reference, not the block the handlers are reading.
  const std::shared_ptr<TReceiveBlock> block = TakeReceiveBuffer();
  if (queued == 0 || !block) return true;
  // Announced before the holds are looked at, so a hold taken meanwhile waits for this read.
  const TReceiverMark mark(FReceiver);
  if (!ReceivedBytesWanted()) return true;  // unwanted bytes stay in the port's queue
  BYTE* const data = block->Data.get();
  // What the buffer cannot take at once (the port queues more than its size while the reader
  // is busy) is read in further blocks of the same notification: those bytes raise no event of
  // their own.
  for (DWORD left = queued; left > 0;) {
    const DWORD count = std::min(left, block->Size);
    if (!ReadAndWait(GetHandle(), data, count, ReadOverlapped)) return true;
    left -= count;
    DeliverReceived(data, int(count));
    if (SessionEnded(Session)) return false;
    bool handled = false;
    if (!DeliverPackets(data, count, Session, handled)) return false;
    if (!handled && FEventMask.Contains(ceRxChar) && OnRxData) {
      OnRxData(this, data, int(count));
      if (SessionEnded(Session)) return false;
    }
    if (left > 0 && !ReceivedBytesWanted()) break;  // a handler took a hold: the rest stays
  }
  return true;
}

bool TqvCustomComm::ReceivedBytesWanted() {
  return FInputHolds.load() == 0 && (FEventMask.Contains(ceRxChar) || OnRxData.Assigned() || PacketMode ||
                                     FPatterns->Count() > 0 || HasDataConsumer());
}

bool TqvCustomComm::DeliverPackets(const BYTE* Data, DWORD Count, unsigned Session, bool& Handled) {
  if (!PacketMode || FPatterns->Count() == 0) return true;
  for (DWORD i = 0; i < Count; ++i) {
    const int item = FPatterns->Feed(Data[i]);
    if (item < 0) continue;
    FPatterns->Items(item)->EndPos = std::int32_t(i);
    if (!OnPacket) continue;
    const DWORD length = FPatterns->Compose(item, Data + i + 1, Count - i - 1);
    // A handler cannot take back what an earlier packet of the block handled.
    bool handled = Handled;
    OnPacket(this, item, FPatterns->Scratch(), int(length), handled);
    Handled = Handled || handled;
    if (SessionEnded(Session)) return false;
  }
  return true;
}

bool TqvCustomComm::TransmitterEmpty(unsigned Session) {
  if (RtsToggle) SetRts(false);
  const bool taken = OfferTransmitEmpty();
  if (FEventMask.Contains(ceTxEmpty) && !taken && OnTxEmpty) OnTxEmpty(this);
  return !SessionEnded(Session);
}

TCommEvents TqvCustomComm::LineEvents(DWORD EventWord) {
  static constexpr struct {
    DWORD Bit;
    TCommEvent Event;
  } kLineEvents[] = {
      {EV_RXFLAG, ceRxFlag}, {EV_CTS, ceCts},     {EV_DSR, ceDsr},         {EV_RLSD, ceRlsd},
      {EV_RING, ceRing},     {EV_BREAK, ceBreak}, {EV_ERR, ceError},       {EV_RX80FULL, ceRx80Full},
      {EV_EVENT1, ceEvent1}, {EV_EVENT2, ceEvent2},
  };
  TCommEvents events;
  for (const auto& e : kLineEvents)
    if (EventWord & e.Bit) events += e.Event;
  return events;
}

void TqvCustomComm::HandlerFailed() {
  // Whatever a handler threw, the runtime's exceptions or any other, it is reported the same
  // way, and the dispatch goes on.
  const DWORD detail = GetLastError();
  FatalError(1, detail, CurrentExceptionMessage(), true);
}

// ---- Indicators and events -------------------------------------------------------------------

void TqvCustomComm::SetChecked(TComponent* C, bool V) {
  if (PropKind(C, "Checked") == pkBoolean) SetBoolProp(C, "Checked", V);
}

void TqvCustomComm::DoCommEvent(TObject* Sender, TCommEvents Events) {
  const TModemLines L = ModemStatus();
  if (FCtsIndicator) SetChecked(FCtsIndicator, L.Contains(mlCts));
  if (FDsrIndicator) SetChecked(FDsrIndicator, L.Contains(mlDsr));
  if (FRlsdIndicator) SetChecked(FRlsdIndicator, L.Contains(mlRlsd));
  if (Events.Contains(ceRing) && FRingIndicator) SetChecked(FRingIndicator, true);
  if (OnCommEvent) OnCommEvent(Sender, Events);
}

// ---- Line settings ---------------------------------------------------------------------------

void TqvCustomComm::RefreshSettings() {
  PortSettings.dwSize = sizeof(COMMCONFIG);
  PortSettings.dcb.DCBlength = sizeof(DCB);
  if (!Active()) return;
  GetCommConfig(GetHandle(), &PortSettings, &PortSettings.dwSize);
  GetCommState(GetHandle(), &PortSettings.dcb);
}

void TqvCustomComm::ApplySettings() {
  PortSettings.dcb.DCBlength = sizeof(DCB);
  if (!Active() || SetCommState(GetHandle(), &PortSettings.dcb)) return;
  // Refused: the port keeps what it had. Reported, never taken as applied.
  const DWORD error = GetLastError();
  const std::string reason = qv::platform::LastErrorText();
  DCB kept = PortSettings.dcb;
  if (!GetCommState(GetHandle(), &kept)) kept = PortSettings.dcb;
  const std::string asked = LineSettingsText(PortSettings.dcb), now = LineSettingsText(kept);
  FatalError(1, error,
             "Device \"" + GetDeviceName() + "\" refused the line settings " + asked +
                 (asked == now ? "" : " (the port keeps " + now + ")") + ": " + reason,
             false);
}

std::string TqvCustomComm::LineSettingsText(const DCB& Dcb) {
  static const char* const kStop[] = {"1", "1.5", "2"};
  return std::to_string(Dcb.BaudRate) + " " + std::to_string(Dcb.ByteSize) +
         (Dcb.Parity < 5 ? "NOEMS"[Dcb.Parity] : '?') + (Dcb.StopBits < 3 ? kStop[Dcb.StopBits] : "?");
}

void TqvCustomComm::ShowConfigDialog() {
  RefreshSettings();
  const HWND owner = ForegroundWindow();
  const std::string name = GetDeviceName();
  CommConfigDialogA(name.c_str(), owner, &PortSettings);
  ApplySettings();
}

DWORD TqvCustomComm::BaudRate() {
  RefreshSettings();
  return PortSettings.dcb.BaudRate;
}

void TqvCustomComm::SetBaudRate(DWORD Value) {
  PortSettings.dcb.BaudRate = Value;
  ApplySettings();
}

TParity TqvCustomComm::Parity() {
  RefreshSettings();
  return TParity(PortSettings.dcb.Parity);
}

void TqvCustomComm::SetParity(TParity Value) {
  PortSettings.dcb.Parity = BYTE(Value);
  if (Value != pNone)
    PortSettings.dcb.Flags |= DCB_fParity;
  else
    PortSettings.dcb.Flags &= ~DCB_fParity;
  ApplySettings();
}

TStopBits TqvCustomComm::StopBits() {
  RefreshSettings();
  return TStopBits(PortSettings.dcb.StopBits);
}

void TqvCustomComm::SetStopBits(TStopBits Value) {
  PortSettings.dcb.StopBits = BYTE(Value);
  ApplySettings();
}

BYTE TqvCustomComm::ByteSize() {
  RefreshSettings();
  return PortSettings.dcb.ByteSize;
}

void TqvCustomComm::SetByteSize(BYTE Value) {
  PortSettings.dcb.ByteSize = (Value >= 4 && Value <= 8) ? Value : 8;
  ApplySettings();
}

TStreamProtocol TqvCustomComm::StreamProtocol() {
  RefreshSettings();
  const DWORD f = PortSettings.dcb.Flags;
  if ((f & kXonSet) == kXonSet) return spXonXoff;
  if ((f & kHardSet) == kHardSet) return spHardware;
  return spNone;
}

void TqvCustomComm::SetStreamProtocol(TStreamProtocol Value) {
  DCB& d = PortSettings.dcb;
  switch (Value) {
    case spNone:
      d.Flags = (d.Flags | kNoneSet) & kNoneKeep;
      break;
    case spXonXoff:
      d.Flags = (d.Flags | kXonSet) & kXonKeep;
      d.XonLim = 10;
      d.XoffLim = 10;
      d.XonChar = 0x11;
      d.XoffChar = 0x13;
      break;
    case spHardware:
      d.Flags = (d.Flags | kHardSet) & kHardKeep;
      break;
  }
  ApplySettings();
}
