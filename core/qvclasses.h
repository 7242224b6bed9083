// qvclasses: the component core. The base I/O component (TqvBaseIO) with its open/close life
// cycle, failure path, log hook, device list and notifications, and the small classes it stands
// on: the log sink interface, the notify list, the internal timer, the worker thread and the
// device record.
#pragma once

#include "platform/rtl/component.h"
#include "platform/rtl/controls.h"
#include "platform/rtl/format.h"
#include "platform/rtl/method.h"
#include "platform/rtl/stringlist.h"
#include "platform/rtl/threads.h"
#include "platform/win32/wintypes.h"
#include "platform/win32/winuser.h"

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

class TqvBaseIO;
class TqvThreadIO;

// ---- Shared types ----------------------------------------------------------------------------

// Detail level of a log line; a sink set to S records a line of level L when L <= S.
enum TDetailLevel : std::uint8_t { dlSimple = 0, dlDetail = 1, dlDebug = 2 };

// Raised by every failing component before anything is logged or raised. RaiseException is
// true on entry; a handler that clears it suppresses the exception.
using TOnFatalErrorEvent =
    TMethod<void(TObject* Sender, DWORD ErrorCode, DWORD Detail, std::string ErrorMsg, bool& RaiseException)>;

// Notify codes passed to TLinkNotifyEvent callbacks.
constexpr int ncClosed = 1;          // the component has closed its device
constexpr int ncOpened = 2;          // the component has opened its device
constexpr int ncDevicesChanged = 3;  // the device list was rebuilt or the selected device changed

using TLinkNotifyEvent = TMethod<void(TqvBaseIO* Sender, int Code)>;

// How an attached text control is used.
enum TAttachMode : std::uint8_t { amNone = 0, amTyping = 1, amDisplay = 2, amTypingAndDisplay = 3 };

// Flags a linked component returns from LinkedReceive (a one-byte set).
using TLinkedReceiveFlags = BYTE;
constexpr TLinkedReceiveFlags lrfClaimed = 0x01;  // bit 0: the bytes are not shown in the control

// Formatter arguments as the log operations take them: a braced list at the call site
// ({Count, Name}) or a list built at run time (a span or vector of TVarRec). Like TVarRec it
// only refers to its values, so it is valid for the duration of the call that receives it.
// Any thread, for the duration of the call that receives it.
class TFormatArgs {
 public:
  TFormatArgs() = default;
  TFormatArgs(std::initializer_list<TVarRec> args) : args_(args.begin(), args.size()) {}
  TFormatArgs(TVarRecs args) : args_(args) {}
  TFormatArgs(const std::vector<TVarRec>& args) : args_(args.data(), args.size()) {}
  operator TVarRecs() const { return args_; }
  TVarRecs Span() const { return args_; }
  std::size_t Size() const { return args_.size(); }

 private:
  TVarRecs args_;
};

// ---- Log sink interface ----------------------------------------------------------------------

// The abstract log sink every I/O component writes to through its Log property. Everything but
// FatalError is supplied by the implementation (the file log); calling one that a descendant
// left out raises EAbstractError. Main thread only, except the recording operations: a port
// thread that closes a failed port logs too, so an implementation serialises them (TqvLogFile).
class TqvCustomLogFile : public TComponent {
 public:
  explicit TqvCustomLogFile(TComponent* AOwner);

  // Reports a failure of the sink itself: OnFatalError, then Exception(ErrorMsg) unless the
  // handler declined. No log line, no show-only mode, raised even while loading.
  virtual void FatalError(DWORD ErrorCode, DWORD Detail, const std::string& ErrorMsg);
  // Writes the text recorded so far to the log's storage.
  virtual void Flush();
  // Drops the recorded text and deletes the log's storage.
  virtual void Clear();
  // Records one line whatever its level.
  virtual void AddLine(const std::string& Text);
  // Records the header line (banner and system version).
  virtual void AddHeader();
  // Records Text when Level is admitted by the sink's setting.
  virtual void Add(TDetailLevel Level, const std::string& Text);
  // Formats Args with Fmt and records the result whatever its level; a format that does not
  // fit its arguments records "Log format ERROR!!!" instead of failing.
  virtual void AddFmt(const std::string& Fmt, TFormatArgs Args);
  // AddFmt when Level is admitted.
  virtual void AddFmtLevel(TDetailLevel Level, const std::string& Fmt, TFormatArgs Args);

  TOnFatalErrorEvent OnFatalError;
};

// ---- Notify list -----------------------------------------------------------------------------

// The notify callbacks of linked components. Each entry is a record owned by the list holding
// the callback's code and object; two entries are the same callback only when both match.
// Changed on the main thread only; Notify runs where its component's notifications run (the
// main thread, or the port-event thread that closes a failed port).
class TqvNotifyList : public TObject {
 public:
  TqvNotifyList() = default;
  ~TqvNotifyList() override;

  int Count() const { return int(items_.size()); }
  // Appends a copy of the callback; returns its position.
  int Add(const TLinkNotifyEvent& Callback);
  // Frees the record at Index; EListError outside the list.
  void Delete(int Index);
  void Clear();
  // Copy of the callback at Index; EListError outside the list.
  TLinkNotifyEvent GetCallback(int Index) const;
  // First position with the same code and object, else -1.
  int IndexOf(const TLinkNotifyEvent& Callback) const;
  // Calls the callbacks present when it starts, in list order, with (Sender, Code). A callback
  // removed by an earlier one during the walk is skipped; one added during the walk is not
  // called this time.
  void Notify(TqvBaseIO* Sender, int Code);

 private:
  std::vector<std::unique_ptr<TLinkNotifyEvent>> items_;
};

// ---- Timer -----------------------------------------------------------------------------------

// A light timer that raises OnTimer every Interval milliseconds on the thread that created it
// (the main thread's message loop), through a hidden window and its system timer 1. It runs
// exactly while Interval != 0, Enabled is true and OnTimer is set; every change that re-checks
// this restarts the period from zero. Create, change and destroy it on one thread.
class TqvTimer : public TObject {
 public:
  TqvTimer();
  ~TqvTimer() override;
  TqvTimer(const TqvTimer&) = delete;
  TqvTimer& operator=(const TqvTimer&) = delete;

  DWORD Interval() const { return FInterval; }
  // Equal value: nothing; else store and restart (0 stops the timer).
  void SetInterval(DWORD Value);
  bool Enabled() const { return FEnabled; }
  // Equal value: nothing; else store and restart. False then true restarts a countdown.
  void SetEnabled(bool Value);
  const TNotifyEvent& OnTimer() const { return FOnTimer; }
  // Always stores and restarts the period, also for the handler already set.
  void SetOnTimer(const TNotifyEvent& Value);
  HWND Window() const { return FWindow; }

 protected:
  // Raises OnTimer when enabled and set.
  virtual void Timer();

 private:
  void UpdateTimer();
  void WndProc(TMessage& Message);

  DWORD FInterval = 1000;
  HWND FWindow = 0;
  TNotifyEvent FOnTimer;
  bool FEnabled = true;
};

// ---- Worker thread ---------------------------------------------------------------------------

// Runs IO->ThreadExecute(this) on its own thread and ends; an exception from it is swallowed.
// The object releases itself when its body has ended, but the creator holds a reference taken
// before the thread starts (Retain), so it can ask it to terminate and wait for it without
// racing the self-release; whoever of the two comes last deletes it. The creator gives its
// reference back with Release() once it has waited (TqvBaseIO::StopThread does).
// Started and stopped by its component on the main thread; the body runs on its own thread.
class TqvThreadIO : public TThread {
 public:
  explicit TqvThreadIO(TqvBaseIO* AIO);

  TqvBaseIO* IO() const { return FIO; }

 protected:
  void Execute() override;

 private:
  TqvBaseIO* FIO;
};

// ---- Device record ---------------------------------------------------------------------------

// One device (port) of a component's device list. Owned by that list while the component's
// OwnsDevices is true. Main thread only, as the list is.
class TqvDevice : public TPersistent {
 public:
  int Index = 0;                 // position in the owner's device list (AddDevice)
  TqvBaseIO* Owner = nullptr;    // the component whose list holds the record (AddDevice)
  int PortNumber = 0;            // 1 for COM1
  std::string Name;              // display text
  std::string DeviceObjectName;  // kernel device object name of the port
  std::string PortName;          // COMn from the port list
  std::string SymbolicName;      // "SymbolicName" value of the hardware key
  std::string RegistryKey;       // path of the hardware key
  std::string Description;
  std::string Service;           // driver service name
  std::string DriverKey;
  std::string InstanceId;
  std::string Children;          // bus relations joined by ";"
  std::string DevicePortName;    // "PortName" value of the hardware key
  std::string Manufacturer;
  DWORD DevInst = 0;             // device node handle
};

// ---- Linked component ------------------------------------------------------------------------

// What a component linked to a TqvBaseIO (its LinkedComponent) offers: it sees received bytes
// first and may claim them, and may take over the output-empty event. Main thread only: its
// calls come from the component's receive path (the dispatch thread's without an application
// object).
class TqvLinkedComponent : public TComponent {
 public:
  explicit TqvLinkedComponent(TComponent* AOwner) : TComponent(AOwner) {}
  // A linked component deleted without Free is still forgotten by its I/O component.
  ~TqvLinkedComponent() override;

  // Linked to IO, or unlinked (nullptr): remember or forget it.
  virtual void LinkTo(TqvBaseIO* IO) = 0;
  // Bytes were received; Flags is empty on entry; lrfClaimed on return keeps them out of the
  // attached control.
  virtual void LinkedReceive(const BYTE* Data, int Count, TLinkedReceiveFlags& Flags) = 0;
  // The port's output buffer became empty; Handled (false on entry) set to true suppresses the
  // component's own output-empty event.
  virtual void LinkedOutputEmpty(bool& Handled) = 0;

 private:
  friend class TqvBaseIO;
  TqvBaseIO* FLinkedBy = nullptr;  // the I/O component this one is linked to
};

// ---- Base I/O component ----------------------------------------------------------------------

// The root of every I/O component: the open/close life cycle behind Active, the device handle,
// the failure path, the log hook, notify callbacks, the device list, delivery of received bytes
// to a linked component and an attached text control, and a worker-thread facility.
// Descendants supply the device through OpenHandle and the operations left abstract here.
// Main thread only, except Active and GetHandle (any thread) and the close of a failed port,
// which its port-event thread makes (comm/qvcomm.h).
class TqvBaseIO : public TComponent {
 public:
  explicit TqvBaseIO(TComponent* AOwner);
  ~TqvBaseIO() override;

  // ---- properties ----
  // While loading or designing the remembered value, else IsOpen. Safe to read from another
  // thread once loading is over (a single atomic read of the handle).
  bool Active() const;
  // Loading: only remembered until Loaded. Run time: opens or closes when the value differs.
  // Design time: a test open, the property keeps true only if the device opened; nothing stays
  // open.
  void SetActive(bool Value);

  TqvCustomLogFile* Log() const { return FLog; }
  void SetLog(TqvCustomLogFile* Value);
  TqvLinkedComponent* LinkedComponent() const { return FLinkedComponent; }
  void SetLinkedComponent(TqvLinkedComponent* Value);
  TWinControl* AttachedControl() const { return FAttachedControl; }
  // Hooks the control's message handler (restoring the previous control's) so typed keys can
  // be sent; nullptr detaches.
  void SetAttachedControl(TWinControl* Value);
  TAttachMode AttachMode() const { return FAttachMode; }
  void SetAttachMode(TAttachMode Value);
  bool LocalEcho() const { return FLocalEcho; }
  void SetLocalEcho(bool Value) { FLocalEcho = Value; }
  // Window of the attached control while the mode includes display, else 0.
  HWND DisplayWindow() const { return FDisplayWindow; }
  // Any thread.
  HANDLE GetHandle() const { return Handle.load(std::memory_order_relaxed); }
  const std::string& GetLogPrefix() const { return LogPrefix; }

  TOnFatalErrorEvent OnFatalError;
  TNotifyEvent OnClose;  // after the device has been closed
  TNotifyEvent OnOpen;   // after the device has been opened

  // ---- toolkit overrides ----
  void Loaded() override;
  void Notification(TComponent* AComponent, TOperation Operation) override;

  // ---- virtual operations ----
  virtual bool IsOpen() const;
  virtual HANDLE OpenHandle();
  virtual void CloseDeviceHandle(HANDLE AHandle);
  // True when an attached control or a linked component takes received bytes.
  virtual bool HasDataConsumer() const;
  virtual void Open();
  virtual void Close();
  virtual void StartThread();
  virtual void StopThread();
  // The worker's body; expected to loop until Thread->Terminated(). The base does nothing.
  virtual void ThreadExecute(TqvThreadIO* AThread);
  // The one failure path: OnFatalError, the line "Fatal Error: %u, %u, %s" (always), then,
  // unless declined or loading, Exception(ErrorMsg) or with ShowOnly the exception box.
  virtual void FatalError(DWORD ErrorCode, DWORD Detail, const std::string& ErrorMsg, bool ShowOnly);
  virtual void NotifyLinks(int Code);
  // Received bytes: to the linked component, then (unless it claimed them) to the control.
  virtual void DeliverReceived(const BYTE* Data, int Count);
  // The linked component's answer to "output buffer empty"; false without one.
  virtual bool OfferTransmitEmpty();
  virtual void SelectDevice(int Index);
  virtual int GetDeviceIndex();
  // Appends the device under its current Name; sets its Index and Owner. The list owns it.
  virtual void AddDevice(TqvDevice* Device);
  virtual void EnumDevices();
  virtual void ClearDevices();
  // Shows received bytes in the attached control (display mode only).
  virtual void WriteToControl(const BYTE* Data, int Count);
  virtual void DevicesChanged();
  // Adds the callback unless already present (same code and object); returns its position.
  virtual int AddNotify(const TLinkNotifyEvent& Callback);
  virtual void RemoveNotify(const TLinkNotifyEvent& Callback);
  virtual void SendChar(BYTE Ch);
  virtual void SendString(const std::string& S);
  virtual void SendData(const void* Buffer, int Count);
  virtual void ClearInput();
  virtual void ClearOutput();
  virtual void ClearAll();
  // Enumerates when the device list is empty; then, when Strings is given, replaces its
  // contents with the device names and objects.
  virtual void FillDeviceList(TStrings* Strings);
  // True (after DevicesChanged) for WM_DEVICECHANGE with DBT_DEVNODES_CHANGED, or with an
  // arrival/removal whose broadcast header names a port.
  virtual bool HandleDeviceChange(TMessage& Message);

  // ---- non-virtual ----
  // What the sink throws (a log that cannot be written: reported by its own FatalError) does
  // not leave these, nor FatalError's line.
  // Empty Text: the sink's header line; else Add(Level, LogPrefix + Text).
  void LogText(TDetailLevel Level, const std::string& Text);
  // AddFmtLevel(Level, LogPrefix + Fmt, Args); the prefix is taken literally.
  void LogFormat(TDetailLevel Level, const std::string& Fmt, TFormatArgs Args);
  int DeviceCount() const;
  TqvDevice* GetDevice(int Index) const;
  // Position of the first device with that port number, or -1.
  int IndexOfDevice(int Number) const;

 protected:
  std::unique_ptr<TqvNotifyList> NotifyList;
  std::unique_ptr<TStringList> Devices;  // display name -> TqvDevice*
  TqvThreadIO* Thread = nullptr;          // held (Retain) from StartThread until StopThread
  bool StoredActive = false;
  // The device handle; INVALID_HANDLE_VALUE means closed. Atomic because port threads read it.
  std::atomic<HANDLE> Handle{INVALID_HANDLE_VALUE};
  std::string LogPrefix;
  bool OwnsDevices = true;
  OVERLAPPED ReadOverlapped;        // its event is created by the constructor
  OVERLAPPED WriteOverlapped;       // its event is created by the constructor
  OVERLAPPED AsyncWriteOverlapped;  // no event
  bool UseThread = false;
  bool ThreadStopped = false;
  bool WritingToControl = false;
  TWndMethod SavedWindowProc;

 private:
  void KeyFilter(TMessage& Message);
  void ReleaseThread();
  void LinkedComponentDeleted(TqvLinkedComponent* Component);
  friend class TqvLinkedComponent;

  TqvCustomLogFile* FLog = nullptr;
  TqvLinkedComponent* FLinkedComponent = nullptr;
  HWND FDisplayWindow = 0;
  TAttachMode FAttachMode = amNone;
  TWinControl* FAttachedControl = nullptr;
  bool FLocalEcho = false;
};
