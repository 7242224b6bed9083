#include "core/qvclasses.h"

#include "platform/rtl/application.h"
#include "platform/rtl/exceptions.h"
#include "platform/win32/winbase.h"

#include <utility>

// ---- TqvCustomLogFile ------------------------------------------------------------------------

TqvCustomLogFile::TqvCustomLogFile(TComponent* AOwner) : TComponent(AOwner) {}

void TqvCustomLogFile::FatalError(DWORD ErrorCode, DWORD Detail, const std::string& ErrorMsg) {
  bool RaiseException = true;
  if (OnFatalError) OnFatalError(this, ErrorCode, Detail, ErrorMsg, RaiseException);
  if (RaiseException) throw Exception(ErrorMsg);
}

void TqvCustomLogFile::Flush() { AbstractError(); }
void TqvCustomLogFile::Clear() { AbstractError(); }
void TqvCustomLogFile::AddLine(const std::string&) { AbstractError(); }
void TqvCustomLogFile::AddHeader() { AbstractError(); }
void TqvCustomLogFile::Add(TDetailLevel, const std::string&) { AbstractError(); }
void TqvCustomLogFile::AddFmt(const std::string&, TFormatArgs) { AbstractError(); }
void TqvCustomLogFile::AddFmtLevel(TDetailLevel, const std::string&, TFormatArgs) { AbstractError(); }

// ---- TqvNotifyList ---------------------------------------------------------------------------

TqvNotifyList::~TqvNotifyList() { Clear(); }

int TqvNotifyList::Add(const TLinkNotifyEvent& Callback) {
  items_.push_back(std::make_unique<TLinkNotifyEvent>(Callback));
  return int(items_.size()) - 1;
}

void TqvNotifyList::Delete(int Index) {
  if (Index < 0 || Index >= Count()) ListIndexError(Index);
  items_.erase(items_.begin() + Index);
}

void TqvNotifyList::Clear() {
  while (!items_.empty()) Delete(0);
}

TLinkNotifyEvent TqvNotifyList::GetCallback(int Index) const {
  if (Index < 0 || Index >= Count()) ListIndexError(Index);
  return *items_[std::size_t(Index)];
}

int TqvNotifyList::IndexOf(const TLinkNotifyEvent& Callback) const {
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (*items_[i] == Callback) return int(i);
  return -1;
}

void TqvNotifyList::Notify(TqvBaseIO* Sender, int Code) {
  // A callback may add or remove callbacks (a box unlinking itself): walk a copy, and skip
  // entries that an earlier callback has removed so no dead object is called.
  std::vector<TLinkNotifyEvent> snapshot;
  snapshot.reserve(items_.size());
  for (const auto& item : items_) snapshot.push_back(*item);
  for (const TLinkNotifyEvent& callback : snapshot) {
    if (IndexOf(callback) < 0) continue;
    if (callback) callback(Sender, Code);
  }
}

// ---- TqvTimer --------------------------------------------------------------------------------

namespace {
constexpr UINT_PTR kTimerId = 1;
}

TqvTimer::TqvTimer() { FWindow = AllocateHWnd(TWndMethod(this, &TqvTimer::WndProc)); }

TqvTimer::~TqvTimer() {
  FEnabled = false;
  UpdateTimer();
  DeallocateHWnd(FWindow);
}

void TqvTimer::SetInterval(DWORD Value) {
  if (Value == FInterval) return;
  FInterval = Value;
  UpdateTimer();
}

void TqvTimer::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  FEnabled = Value;
  UpdateTimer();
}

void TqvTimer::SetOnTimer(const TNotifyEvent& Value) {
  FOnTimer = Value;
  UpdateTimer();
}

void TqvTimer::UpdateTimer() {
  KillTimer(FWindow, kTimerId);
  if (FInterval != 0 && FEnabled && FOnTimer) SetTimer(FWindow, kTimerId, FInterval, nullptr);
}

void TqvTimer::Timer() {
  if (FEnabled && FOnTimer) FOnTimer(this);
}

void TqvTimer::WndProc(TMessage& Message) {
  if (Message.Msg == WM_TIMER) {
    try {
      Timer();
    } catch (...) {
      // A failing handler must not end the message loop; the next period still comes.
    }
  } else {
    Message.Result = DefWindowProcA(FWindow, Message.Msg, Message.WParam, Message.LParam);
  }
}

// ---- TqvThreadIO -----------------------------------------------------------------------------

TqvThreadIO::TqvThreadIO(TqvBaseIO* AIO) : FIO(AIO) {
  SetFreeOnTerminate(true);
  // The creator's reference, taken before the body can end and release the object.
  Retain();
  Start();
}

void TqvThreadIO::Execute() {
  try {
    FIO->ThreadExecute(this);
  } catch (...) {
    // The worker ends quietly; its component decides what a failed body means.
  }
}

// ---- TqvLinkedComponent ----------------------------------------------------------------------

TqvLinkedComponent::~TqvLinkedComponent() {
  // Normally Free has already run the removal steps and the I/O component has unlinked this
  // one. After a plain delete those steps come from ~TComponent, when LinkTo can no longer be
  // called on this object, so the link is dropped here without it.
  if (FLinkedBy) FLinkedBy->LinkedComponentDeleted(this);
}

// ---- TqvBaseIO -------------------------------------------------------------------------------

TqvBaseIO::TqvBaseIO(TComponent* AOwner)
    : TComponent(AOwner), NotifyList(std::make_unique<TqvNotifyList>()), Devices(std::make_unique<TStringList>()) {
  ReadOverlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  WriteOverlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

TqvBaseIO::~TqvBaseIO() {
  // Descendants stop their own threads, close and detach before this runs; these are the last
  // resort so that nothing keeps pointing at a destroyed component.
  ReleaseThread();
  SetLinkedComponent(nullptr);
  SetAttachedControl(nullptr);
  HANDLE h = Handle.exchange(INVALID_HANDLE_VALUE);
  if (h != INVALID_HANDLE_VALUE) TqvBaseIO::CloseDeviceHandle(h);

  CloseHandle(ReadOverlapped.hEvent);
  CloseHandle(WriteOverlapped.hEvent);
  ReadOverlapped.hEvent = 0;
  WriteOverlapped.hEvent = 0;
  ClearDevices();
  NotifyList.reset();
  Devices.reset();
}

// ---- Active ----

bool TqvBaseIO::Active() const {
  if (IsLoading() || IsDesigning()) return StoredActive;
  return IsOpen();
}

void TqvBaseIO::SetActive(bool Value) {
  if (IsLoading()) {
    StoredActive = Value;
    return;
  }
  if (Value != Active() || IsDesigning()) {
    if (Value)
      Open();
    else
      Close();
  }
  if (IsDesigning()) {
    StoredActive = IsOpen();
    if (StoredActive) Close();
  }
}

void TqvBaseIO::Loaded() {
  TComponent::Loaded();
  try {
    SetAttachedControl(FAttachedControl);
    SetAttachMode(FAttachMode);
    SetActive(StoredActive);
  } catch (...) {
    // The form goes on loading with the component closed; the details are in the log.
    MessageBoxA(GetForegroundWindow(), "error", "Error", MB_ICONERROR | MB_OK);
  }
}

void TqvBaseIO::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation != opRemove || !AComponent) return;
  if (AComponent == FLinkedComponent) {
    TqvLinkedComponent* linked = FLinkedComponent;
    FLinkedComponent = nullptr;
    linked->FLinkedBy = nullptr;
    linked->LinkTo(nullptr);
  } else if (AComponent == FAttachedControl) {
    // The control is going away: its handler is not restored, and nothing more is sent to it.
    FAttachedControl = nullptr;
    FDisplayWindow = 0;
    SavedWindowProc = nullptr;
  } else if (AComponent == FLog) {
    FLog = nullptr;
  }
}

// ---- references ----

void TqvBaseIO::SetLog(TqvCustomLogFile* Value) {
  FLog = Value;
  if (Value) Value->FreeNotification(this);
}

void TqvBaseIO::SetLinkedComponent(TqvLinkedComponent* Value) {
  if (!Value && FLinkedComponent) {
    TqvLinkedComponent* old = FLinkedComponent;
    FLinkedComponent = nullptr;
    old->FLinkedBy = nullptr;
    old->LinkTo(nullptr);
  }
  if (FLinkedComponent && FLinkedComponent != Value) FLinkedComponent->FLinkedBy = nullptr;
  FLinkedComponent = Value;
  if (Value) {
    Value->FLinkedBy = this;
    Value->LinkTo(this);
    Value->FreeNotification(this);
  }
}

void TqvBaseIO::LinkedComponentDeleted(TqvLinkedComponent* Component) {
  if (FLinkedComponent == Component) FLinkedComponent = nullptr;
}

void TqvBaseIO::SetAttachedControl(TWinControl* Value) {
  if (FAttachedControl && SavedWindowProc) FAttachedControl->WindowProc = SavedWindowProc;
  if (!Value) {
    SavedWindowProc = nullptr;
  } else {
    SavedWindowProc = Value->WindowProc;
    Value->WindowProc = TWndMethod(this, &TqvBaseIO::KeyFilter);
  }
  FDisplayWindow = 0;
  FAttachedControl = Value;
  if (IsDesigning() && Value && FAttachMode == amNone) FAttachMode = amTypingAndDisplay;
  SetAttachMode(FAttachMode);
  if (Value) Value->FreeNotification(this);
}

void TqvBaseIO::SetAttachMode(TAttachMode Value) {
  FAttachMode = Value;
  if (!FAttachedControl) return;
  switch (Value) {
    case amNone:
    case amTyping:
      FDisplayWindow = 0;
      break;
    case amDisplay:
    case amTypingAndDisplay:
      FDisplayWindow = FAttachedControl->Handle();
      break;
  }
}

void TqvBaseIO::KeyFilter(TMessage& Message) {
  if (!WritingToControl && Message.Msg == WM_CHAR && (FAttachMode == amTyping || FAttachMode == amTypingAndDisplay)) {
    SendChar(BYTE(Message.WParam & 0xFF));
    if (!FLocalEcho) return;
  }
  if (SavedWindowProc) SavedWindowProc(Message);
}

// ---- open / close ----

bool TqvBaseIO::IsOpen() const { return Handle.load(std::memory_order_relaxed) != INVALID_HANDLE_VALUE; }

HANDLE TqvBaseIO::OpenHandle() { return INVALID_HANDLE_VALUE; }

void TqvBaseIO::CloseDeviceHandle(HANDLE AHandle) { CloseHandle(AHandle); }

bool TqvBaseIO::HasDataConsumer() const { return FAttachedControl != nullptr || FLinkedComponent != nullptr; }

void TqvBaseIO::Open() {
  Handle = OpenHandle();
  if (!IsOpen()) return;
  if (UseThread) StartThread();
  if (OnOpen) {
    try {
      OnOpen(this);
    } catch (...) {
      // The device is open whatever the handler thinks of it.
    }
  }
}

void TqvBaseIO::Close() {
  // The handle is invalid before OnClose runs: a handler that opens the device again (a
  // reconnect) keeps the handle it got.
  const HANDLE h = Handle.exchange(INVALID_HANDLE_VALUE);
  if (h == INVALID_HANDLE_VALUE) return;
  CloseDeviceHandle(h);
  if (UseThread) StopThread();
  if (OnClose) {
    try {
      OnClose(this);
    } catch (...) {
      // The close completes whatever the handler does.
    }
  }
}

// ---- worker thread ----

void TqvBaseIO::StartThread() {
  ThreadStopped = false;
  // A worker still held from an earlier start (its body may have ended on its own) is stopped
  // and given back first, so one component never runs two bodies or loses a reference.
  ReleaseThread();
  Thread = new TqvThreadIO(this);
}

void TqvBaseIO::StopThread() {
  if (ThreadStopped) return;
  ThreadStopped = true;
  ReleaseThread();
}

void TqvBaseIO::ReleaseThread() {
  TqvThreadIO* t = Thread;
  if (!t) return;
  Thread = nullptr;
  t->Terminate();
  t->WaitFor();
  // The wait has seen the body end; giving back our reference lets the object go.
  t->Release();
}

void TqvBaseIO::ThreadExecute(TqvThreadIO*) {}

// ---- failure path ----

namespace {

// A component's line is never the reason its operation fails: a log that cannot record it has
// reported that through its own FatalError (its OnFatalError, then its exception), which ends
// here instead of in the open, send or receive that logged.
template <class F>
void Logged(F&& Record) {
  try {
    Record();
  } catch (...) {
  }
}

}  // namespace

void TqvBaseIO::FatalError(DWORD ErrorCode, DWORD Detail, const std::string& ErrorMsg, bool ShowOnly) {
  bool RaiseException = true;
  if (OnFatalError) OnFatalError(this, ErrorCode, Detail, ErrorMsg, RaiseException);
  if (FLog) Logged([&] { FLog->AddFmtLevel(dlSimple, "Fatal Error: %u, %u, %s", {ErrorCode, Detail, ErrorMsg}); });
  if (!RaiseException || IsLoading()) return;
  if (!ShowOnly) throw Exception(ErrorMsg);
  if (Application)
    Application->ShowException(ErrorMsg);
  else
    MessageBoxA(GetForegroundWindow(), ErrorMsg.c_str(), "Error", MB_ICONERROR | MB_OK);
}

// ---- notifications ----

void TqvBaseIO::NotifyLinks(int Code) { NotifyList->Notify(this, Code); }

int TqvBaseIO::AddNotify(const TLinkNotifyEvent& Callback) {
  int i = NotifyList->IndexOf(Callback);
  if (i >= 0) return i;
  return NotifyList->Add(Callback);
}

void TqvBaseIO::RemoveNotify(const TLinkNotifyEvent& Callback) {
  int i = NotifyList->IndexOf(Callback);
  if (i >= 0) NotifyList->Delete(i);
}

// ---- received data ----

void TqvBaseIO::DeliverReceived(const BYTE* Data, int Count) {
  TLinkedReceiveFlags Flags = 0;
  if (FLinkedComponent) FLinkedComponent->LinkedReceive(Data, Count, Flags);
  if (FAttachedControl && !(Flags & lrfClaimed)) WriteToControl(Data, Count);
}

bool TqvBaseIO::OfferTransmitEmpty() {
  if (!FLinkedComponent) return false;
  bool Handled = false;
  FLinkedComponent->LinkedOutputEmpty(Handled);
  return Handled;
}

void TqvBaseIO::WriteToControl(const BYTE* Data, int Count) {
  // Only in display mode is there a window; without one nothing is shown.
  if (FDisplayWindow == 0 || !Data || Count <= 0) return;
  struct Writing {
    bool& flag;
    explicit Writing(bool& f) : flag(f) { flag = true; }
    ~Writing() { flag = false; }
  } writing(WritingToControl);

  if (Count == 1) {
    // Like a typed key; a zero byte is not text and never reaches the control.
    if (Data[0] != 0) SendMessageA(FDisplayWindow, WM_CHAR, WPARAM(Data[0]), 1);
    return;
  }
  // Piece by piece between zero bytes, each copied so the control gets terminated text and
  // the receive buffer is neither changed nor read beyond Count.
  std::string piece;
  int start = 0;
  for (int i = 0; i <= Count; ++i) {
    if (i == Count || Data[i] == 0) {
      if (i > start) {
        piece.assign(reinterpret_cast<const char*>(Data + start), std::size_t(i - start));
        SendMessageA(FDisplayWindow, EM_REPLACESEL, 0, LPARAM(piece.c_str()));
      }
      start = i + 1;
    }
  }
}

// ---- devices ----

void TqvBaseIO::SelectDevice(int) { NotifyLinks(ncDevicesChanged); }

int TqvBaseIO::GetDeviceIndex() { AbstractError(); }

void TqvBaseIO::AddDevice(TqvDevice* Device) {
  Device->Index = Devices->AddObject(Device->Name, Device);
  Device->Owner = this;
}

void TqvBaseIO::EnumDevices() { AbstractError(); }

void TqvBaseIO::ClearDevices() {
  if (OwnsDevices) {
    for (int i = 0; i < Devices->Count(); ++i) {
      delete static_cast<TqvDevice*>(Devices->Objects(i));
      Devices->PutObject(i, nullptr);
    }
  }
  Devices->Clear();
}

void TqvBaseIO::DevicesChanged() { NotifyLinks(ncDevicesChanged); }

void TqvBaseIO::FillDeviceList(TStrings* Strings) {
  if (Devices->Count() == 0) EnumDevices();
  if (!Strings) return;
  Strings->Clear();
  for (int i = 0; i < Devices->Count(); ++i) Strings->AddObject(Devices->Strings(i), Devices->Objects(i));
}

int TqvBaseIO::DeviceCount() const { return Devices->Count(); }

TqvDevice* TqvBaseIO::GetDevice(int Index) const { return static_cast<TqvDevice*>(Devices->Objects(Index)); }

int TqvBaseIO::IndexOfDevice(int Number) const {
  for (int i = 0; i < Devices->Count(); ++i) {
    auto* d = static_cast<TqvDevice*>(Devices->Objects(i));
    if (d && d->PortNumber == Number) return i;
  }
  return -1;
}

bool TqvBaseIO::HandleDeviceChange(TMessage& Message) {
  if (Message.Msg != WM_DEVICECHANGE) return false;
  bool changed = false;
  if (Message.WParam == DBT_DEVNODES_CHANGED) {
    changed = true;
  } else if (Message.WParam == DBT_DEVICEARRIVAL || Message.WParam == DBT_DEVICEREMOVECOMPLETE) {
    const auto* hdr = reinterpret_cast<const DEV_BROADCAST_HDR*>(Message.LParam);
    changed = hdr && hdr->dbch_devicetype == DBT_DEVTYP_PORT;
  }
  if (changed) DevicesChanged();
  return changed;
}

// ---- abstract transfer operations ----

void TqvBaseIO::SendChar(BYTE) { AbstractError(); }
void TqvBaseIO::SendString(const std::string&) { AbstractError(); }
void TqvBaseIO::SendData(const void*, int) { AbstractError(); }
void TqvBaseIO::ClearInput() { AbstractError(); }
void TqvBaseIO::ClearOutput() { AbstractError(); }
void TqvBaseIO::ClearAll() { AbstractError(); }

// ---- log ----

void TqvBaseIO::LogText(TDetailLevel Level, const std::string& Text) {
  if (!FLog) return;
  Logged([&] {
    if (Text.empty())
      FLog->AddHeader();
    else
      FLog->Add(Level, LogPrefix + Text);
  });
}

void TqvBaseIO::LogFormat(TDetailLevel Level, const std::string& Fmt, TFormatArgs Args) {
  if (!FLog) return;
  // The prefix is text, not directives: a '%' in it must not consume an argument.
  std::string fmt;
  fmt.reserve(LogPrefix.size() + Fmt.size());
  for (char c : LogPrefix) {
    fmt += c;
    if (c == '%') fmt += '%';
  }
  fmt += Fmt;
  Logged([&] { FLog->AddFmtLevel(Level, fmt, Args); });
}
