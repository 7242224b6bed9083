// qvcomm: the communication engine. TqvCustomComm turns the open/close template of TqvBaseIO
// into an engine for a port handle opened for overlapped I/O: it owns the receive buffer, the
// port's status, properties and time-outs, the packet patterns, the line settings record and
// two threads (comm/internal/commthreads.h) that turn every port event into one HandleComEvent call on
// the main thread, in the order the port reported them.
//
// Threads: a port-event thread waits on the port and posts each event word to a dispatch
// thread, which hands it over to the main thread and waits until it has been handled. No lock
// is taken: the stop protocol is the terminate flags, the event-mask change, the handle close
// and the quit message. When the port fails, the port-event thread closes it itself (ShutDown
// with false), so OnClose and the ncClosed notification then run on that thread; first the
// dispatch thread hands over every event posted before and what the port still holds, and ends,
// so the handlers see all the device sent and no HandleComEvent can be reading into the buffer
// it releases. A handler that closes the port, or changes its queue size, keeps the block its
// Data points into until HandleComEvent returns.
#pragma once

#include "comm/eventlist.h"
#include "core/qvclasses.h"
#include "platform/serial/winserial.h"
#include "platform/win32/winuser.h"

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>

class TCommThread;
class TMsgThread;

// ---- Sets ------------------------------------------------------------------------------------

// A set of enumeration values held as a bit mask, element n as bit n. A value: any thread.
template <class E, class Bits>
class TSmallSet {
 public:
  constexpr TSmallSet() = default;
  constexpr TSmallSet(std::initializer_list<E> items) {
    for (E e : items) bits_ = Bits(bits_ | Bit(e));
  }
  static constexpr TSmallSet FromBits(Bits bits) {
    TSmallSet s;
    s.bits_ = bits;
    return s;
  }
  constexpr Bits ToBits() const { return bits_; }
  constexpr bool Contains(E e) const { return (bits_ & Bit(e)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr TSmallSet operator+(TSmallSet o) const { return FromBits(Bits(bits_ | o.bits_)); }
  constexpr TSmallSet operator-(TSmallSet o) const { return FromBits(Bits(bits_ & ~o.bits_)); }
  constexpr TSmallSet operator*(TSmallSet o) const { return FromBits(Bits(bits_ & o.bits_)); }
  constexpr TSmallSet operator+(E e) const { return *this + TSmallSet{e}; }
  constexpr TSmallSet operator-(E e) const { return *this - TSmallSet{e}; }
  constexpr TSmallSet& operator+=(E e) { return *this = *this + e; }
  constexpr TSmallSet& operator-=(E e) { return *this = *this - e; }
  friend constexpr bool operator==(TSmallSet a, TSmallSet b) { return a.bits_ == b.bits_; }

 private:
  static constexpr Bits Bit(E e) { return Bits(Bits(1) << unsigned(e)); }
  Bits bits_ = 0;
};

// ---- Types -----------------------------------------------------------------------------------

// The port events a component watches.
enum TCommEvent : BYTE {
  ceRxChar, ceRxFlag, ceTxEmpty, ceCts, ceDsr, ceRlsd, ceBreak, ceError, ceRing, ceRx80Full,
  ceEvent1, ceEvent2
};
using TCommEvents = TSmallSet<TCommEvent, WORD>;

// The modem lines that are on.
enum TModemLine : BYTE { mlCts, mlDsr, mlRing, mlRlsd };
using TModemLines = TSmallSet<TModemLine, BYTE>;

// Line-setting types; the ordinals are the DCB's own values.
enum TParity : BYTE { pNone, pOdd, pEven, pMark, pSpace };
enum TStopBits : BYTE { sbOne, sbOneAndHalf, sbTwo };
enum TStreamProtocol : BYTE { spNone, spXonXoff, spHardware };

// Data points into the receive buffer or the pattern scratch: valid only during the call.
using TOnRxDataEvent = TMethod<void(TObject* Sender, const BYTE* Data, int Count)>;
using TOnPacketEvent = TMethod<void(TObject* Sender, int Index, const BYTE* Data, int Count, bool& Handled)>;
using TOnCommEvent = TMethod<void(TObject* Sender, TCommEvents Events)>;
using TOnCommErrorEvent =
    TMethod<void(TObject* Sender, DWORD Errors, DWORD SystemError, BYTE Status, bool& Reset)>;

// Process-wide message numbers, registered by name when the program starts: a port event
// (wParam = the event word) and the request that ends a dispatch thread.
extern const UINT MsgComEvent;
extern const UINT MsgQuitComEvent;

// ---- The communication component -------------------------------------------------------------

// Main thread only, but for the close of a failed port on the port-event thread (above); without
// an application object HandleComEvent and its events run on the dispatch thread.
class TqvCustomComm : public TqvBaseIO {
 public:
  explicit TqvCustomComm(TComponent* AOwner);
  ~TqvCustomComm() override;

  // ---- overrides of TqvBaseIO ----
  void Notification(TComponent* AComponent, TOperation Operation) override;
  // Closes first; on failure reports "Device \"%s\" Open Error !!!\r%s" through FatalError.
  // An exception from the rest of the sequence (SetupPort, a handler) closes the port again,
  // threads included, and passes on.
  void Open() override;
  // Stops the threads and closes the handle; always ends with DoCommEvent([ceTxEmpty]). An
  // OnClose handler may open the port again (a reconnect): the port then stays open with
  // fresh threads.
  void Close() override;
  // Creates the dispatch thread, then the port-event thread, each only where none is attached.
  // Thread objects left behind by a port-event thread that closed the port are released first.
  void StartThread() override;
  // Ends and releases both threads (the port-event thread first).
  void StopThread() override;
  void SendChar(BYTE Ch) override;
  void SendString(const std::string& S) override;
  // Starts the write and returns; a write still running on the record from an earlier call is
  // waited for first, so the platform never sees one record in two transfers. On the main
  // thread that wait serves its messages, as the other waits do.
  void SendData(const void* Data, int Count) override;
  void ClearInput() override;
  void ClearOutput() override;
  void ClearAll() override;

  // ---- new virtual operations ----
  virtual std::string GetDeviceName();
  // SetupComm with the queue sizes, then the time-outs.
  virtual void SetupPort();
  virtual void SetEventChar(BYTE Ch);
  virtual BYTE GetEventChar();
  // A line or transfer error: log line at dlDetail, OnCommError, ClearAll when it asks.
  virtual void CommError(DWORD Errors, DWORD SystemError, BYTE Status);

  // ---- events and flags ----
  TOnRxDataEvent OnRxData;
  TOnPacketEvent OnPacket;
  TNotifyEvent OnTxEmpty;
  TOnCommEvent OnCommEvent;
  TOnCommErrorEvent OnCommError;
  bool PacketMode = false;
  // Raise RTS for sending, drop it when the transmit queue runs empty.
  bool RtsToggle = false;

  // ---- port state ----
  TCommEvents EventMask() const { return FEventMask; }
  // Stores the set and, while open, sets the port's event mask (EV_RXCHAR always).
  void SetEventMask(TCommEvents Value);
  // The port's event mask for a set of events.
  static DWORD PortEventMask(TCommEvents Events, bool RtsToggle);
  TModemLines ModemStatus();
  void SetDtr(bool On);
  void SetRts(bool On);
  DWORD InQueueCount();
  DWORD OutQueueCount();
  // While open, the port's current sizes are read back and remembered.
  WORD InQueueSize();
  WORD OutQueueSize();
  // While closed: stored. While open: SetupComm at once, the stored value stays; the receive
  // buffer follows the port's new queue size.
  void SetInQueueSize(WORD Value);
  void SetOutQueueSize(WORD Value);
  const COMMTIMEOUTS& Timeouts();
  void SetTimeouts(const COMMTIMEOUTS& Value);
  const COMMPROP& CommProperties();
  const std::string& LastErrorText() const { return FLastErrorText; }
  TEventList& Patterns() { return *FPatterns; }

  // Reads Count bytes, waiting until they are there (or the read time-outs end the read).
  bool ReadData(void* Buffer, DWORD Count);
  // Polls every 1 ms, letting the main thread's messages run, until Count bytes are queued;
  // false when TimeoutMs passed or the port closed. OnRxData is held back meanwhile and the
  // receive path leaves the bytes in the port's queue (TInputHold).
  bool WaitForInput(DWORD Count, DWORD TimeoutMs);
  // While one lives, the receive path leaves received bytes in the port's queue, so a wait for
  // input and the reads after it see every byte. Taking one waits until a receive path running
  // on another thread (the dispatch thread, without an application object) has finished the
  // block it is reading. Holds nest.
  class TInputHold {
   public:
    explicit TInputHold(TqvCustomComm& AComm);
    ~TInputHold();
    TInputHold(const TInputHold&) = delete;
    TInputHold& operator=(const TInputHold&) = delete;

   private:
    TqvCustomComm& Comm;
  };
  // The same for a modem line; the lines are looked at at least once.
  bool WaitForModemLine(TModemLine Line, DWORD TimeoutMs);

  // One posted port notification (the event word in wParam), on the main thread.
  void HandleComEvent(const MSG& Msg);
  // Stops port I/O and closes the handle: Close calls it with true; the port-event thread with
  // false when the port failed (what came before is handled first, then the dispatch thread
  // ends, before anything is released).
  void ShutDown(bool AStopThread);

  // ---- indicator links: components whose published Boolean "Checked" mirrors a line ----
  TComponent* RlsdIndicator() const { return FRlsdIndicator; }
  TComponent* RingIndicator() const { return FRingIndicator; }
  TComponent* CtsIndicator() const { return FCtsIndicator; }
  TComponent* DsrIndicator() const { return FDsrIndicator; }
  void SetRlsdIndicator(TComponent* Value) { SetIndicator(FRlsdIndicator, Value); }
  void SetRingIndicator(TComponent* Value) { SetIndicator(FRingIndicator, Value); }
  void SetCtsIndicator(TComponent* Value) { SetIndicator(FCtsIndicator, Value); }
  void SetDsrIndicator(TComponent* Value) { SetIndicator(FDsrIndicator, Value); }
  // Updates the indicators from the modem lines, then raises OnCommEvent.
  void DoCommEvent(TObject* Sender, TCommEvents Events);

  // ---- line settings (the serial component publishes them) ----
  // Reads the record back from the port while active.
  void RefreshSettings();
  // Writes the whole DCB to the port while active. Settings the port refuses (it keeps what it
  // had) go to FatalError with the system error as detail, naming what was asked and what the
  // port keeps; the record keeps what was asked.
  void ApplySettings();
  // "9600 7E1": baud rate, data bits, parity and stop bits.
  static std::string LineSettingsText(const DCB& Dcb);
  void ShowConfigDialog();
  DWORD BaudRate();
  void SetBaudRate(DWORD Value);
  TParity Parity();
  void SetParity(TParity Value);
  TStopBits StopBits();
  void SetStopBits(TStopBits Value);
  BYTE ByteSize();
  // 4 to 8 are stored, anything else stores 8.
  void SetByteSize(BYTE Value);
  TStreamProtocol StreamProtocol();
  void SetStreamProtocol(TStreamProtocol Value);
  const COMMCONFIG& GetPortSettings() const { return PortSettings; }

  // The threads, for tests and diagnostics (null when none is attached).
  TMsgThread* GetMsgThread() const { return MsgThread; }
  TCommThread* GetCommThread() const { return CommThread; }

 protected:
  COMMCONFIG PortSettings{};

  // From a catch block around event handlers: FatalError with the exception's message, the
  // last system error as detail and ShowOnly (a message box, no exception).
  void HandlerFailed();
  // The port's device went away and the port-event thread is closing it: runs where
  // HandleComEvent runs, after every byte received before has been handled and before the port
  // closes (OnClose), unless a stop came first. The base does nothing.
  virtual void PortVanishing() {}

 private:
  friend class TCommThread;
  friend class TMsgThread;

  // The receive block: shared, so a handler running on it keeps it past a close or a resize.
  struct TReceiveBlock {
    explicit TReceiveBlock(DWORD size) : Data(new BYTE[size]()), Size(size) {}
    std::unique_ptr<BYTE[]> Data;
    DWORD Size;
  };
  void AllocReceiveBuffer();
  void FreeReceiveBuffer();
  // Sizes the receive buffer to the port's current receive queue (at least one byte).
  void FitReceiveBuffer();
  std::shared_ptr<TReceiveBlock> TakeReceiveBuffer();
  // The steps of HandleComEvent, in its order. The steps given a session return false when a
  // handler ended it.
  // Reads the port's error word and queue counts; true when errors were reported (CommError).
  bool ReportPortErrors();
  // Reads what arrived and hands it to DeliverReceived, OnPacket and OnRxData.
  bool ReadArrived(unsigned Session);
  bool ReceivedBytesWanted();
  // Feeds the block to the patterns, raising OnPacket for each match; Handled stays true once set.
  bool DeliverPackets(const BYTE* Data, DWORD Count, unsigned Session, bool& Handled);
  bool TransmitterEmpty(unsigned Session);
  // The line events of a port event word.
  static TCommEvents LineEvents(DWORD EventWord);
  // The shut-down itself; false when another thread has already taken the close over.
  bool TakeDownPort(bool AStopThread);
  // On the port-event thread: the port failed (with that error), close it from here.
  void PortFailed(DWORD Error);
  // Where HandleComEvent runs, when the device failed: reads what the port still holds, as
  // events do, then PortVanishing.
  void ReceiveLeftOver();
  void SetIndicator(TComponent*& Field, TComponent* Value);
  static void SetChecked(TComponent* C, bool V);
  bool OnOwnThread() const;
  // Active as the threads see it: one atomic read of the handle, no virtual call, so it is
  // safe while the component is being destroyed (the threads exist only while it is open).
  bool PortOpen() const { return GetHandle() != INVALID_HANDLE_VALUE; }
  // The session ended (closed or reopened) since `session` was taken.
  bool SessionEnded(unsigned session) const { return FSession.load(std::memory_order_relaxed) != session; }

  TMsgThread* MsgThread = nullptr;
  TCommThread* CommThread = nullptr;
  std::unique_ptr<COMSTAT> CommStatus;
  COMMPROP FCommProperties{};
  std::unique_ptr<COMMTIMEOUTS> FTimeouts;
  std::string FLastErrorText;
  std::unique_ptr<TEventList> FPatterns;
  TCommEvents FEventMask;
  WORD FOutQueueSize = 0;
  WORD FInQueueSize = 0;
  // Swapped and taken under FBufferLock: the port-event thread releases it when the port fails.
  std::shared_ptr<TReceiveBlock> ReceiveBuffer;
  std::mutex FBufferLock;
  TComponent* FRlsdIndicator = nullptr;
  TComponent* FRingIndicator = nullptr;
  TComponent* FCtsIndicator = nullptr;
  TComponent* FDsrIndicator = nullptr;
  // Set by whichever thread closes the open port: the main thread's Close and the port-event
  // thread's ShutDown(false) never both close it.
  std::atomic<bool> FClosing{false};
  // Counts opens and closes, so a receive path whose handler closed or reopened the port
  // stops touching buffers that belong to the old session.
  std::atomic<unsigned> FSession{0};
  // Input holds in force, and the thread inside the read of the receive path (0: none).
  std::atomic<int> FInputHolds{0};
  std::atomic<DWORD> FReceiver{0};
  // The error the port failed with (the port-event thread writes it before the close).
  DWORD FFailError = 0;
  // False once the destructor runs: a close on the port-event thread whose OnClose destroyed
  // the component touches nothing of it afterwards.
  const std::shared_ptr<std::atomic<bool>> FAlive = std::make_shared<std::atomic<bool>>(true);
};
