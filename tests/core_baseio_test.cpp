// The base I/O component: life cycle, failure path, logging, notify callbacks, device list,
// delivery to a linked component and an attached control, device changes, worker thread.
#include "core/qvclasses.h"
#include "platform/rtl/application.h"
#include "platform/rtl/component.h"
#include "platform/rtl/controls.h"
#include "platform/win32/winbase.h"
#include "platform/win32/winuser.h"
#include "support/recording_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// A device record that counts its instances, so tests see what the list frees.
struct TCountedDevice : TqvDevice {
  static inline int Alive = 0;
  TCountedDevice(const std::string& name, int number) {
    Name = PortName = name;
    PortNumber = number;
    ++Alive;
  }
  ~TCountedDevice() override { --Alive; }
};

// A component whose device is an event object: it opens when Openable is set, and reports a
// failed open through FatalError like the communication component does.
class TTestIO : public TqvBaseIO {
 public:
  explicit TTestIO(TComponent* AOwner = nullptr) : TqvBaseIO(AOwner) {}
  ~TTestIO() override { StopThread(); }

  bool Openable = true;
  bool ReportOpenFailure = false;
  int OpenCalls = 0;
  int CloseHandleCalls = 0;
  int EnumCalls = 0;
  std::vector<BYTE> Sent;
  std::vector<std::string> EnumNames = {"COM1", "COM3"};

  HANDLE OpenHandle() override {
    ++OpenCalls;
    return Openable ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : INVALID_HANDLE_VALUE;
  }
  void CloseDeviceHandle(HANDLE h) override {
    ++CloseHandleCalls;
    TqvBaseIO::CloseDeviceHandle(h);
  }
  void Open() override {
    TqvBaseIO::Open();
    if (!IsOpen() && ReportOpenFailure) FatalError(1, 0, "Device \"TEST\" Open Error !!!", false);
  }
  void SendChar(BYTE Ch) override { Sent.push_back(Ch); }
  void EnumDevices() override {
    ++EnumCalls;
    int n = 1;
    for (const std::string& name : EnumNames) AddDevice(new TCountedDevice(name, n++));
  }

  // Protected state the tests steer or look at.
  void SetPrefix(const std::string& p) { LogPrefix = p; }
  void SetUseThread(bool v) { UseThread = v; }
  void SetOwnsDevices(bool v) { OwnsDevices = v; }
  TqvThreadIO* WorkerThread() const { return Thread; }
  const OVERLAPPED& ReadOv() const { return ReadOverlapped; }
  const OVERLAPPED& WriteOv() const { return WriteOverlapped; }
  const OVERLAPPED& AsyncWriteOv() const { return AsyncWriteOverlapped; }
  bool IsWritingToControl() const { return WritingToControl; }
};

// Records the box the user would see.
struct BoxRecorder {
  struct Box {
    HWND owner;
    std::string text, caption;
    UINT type;
  };
  std::vector<Box> boxes;
  qv::platform::MessageBoxHook previous;
  BoxRecorder() {
    previous = qv::platform::SetMessageBoxHook([this](HWND o, const std::string& t, const std::string& c, UINT ty) {
      boxes.push_back({o, t, c, ty});
      return IDOK;
    });
  }
  ~BoxRecorder() { qv::platform::SetMessageBoxHook(previous); }
};

struct FatalCall {
  TObject* sender;
  DWORD code, detail;
  std::string msg;
  bool raiseOnEntry;
};

// Handler object for OnFatalError that can decline the exception.
struct FatalHandler {
  bool decline = false;
  std::vector<FatalCall> calls;
  void Handle(TObject* Sender, DWORD ErrorCode, DWORD Detail, std::string ErrorMsg, bool& RaiseException) {
    calls.push_back({Sender, ErrorCode, Detail, ErrorMsg, RaiseException});
    if (decline) RaiseException = false;
  }
};

// Notify receivers: identity is code plus object.
struct Listener {
  std::vector<std::pair<std::string, int>>* trace = nullptr;
  std::string name;
  TqvBaseIO* lastSender = nullptr;
  void OnNotify(TqvBaseIO* Sender, int Code) {
    lastSender = Sender;
    trace->push_back({name, Code});
  }
  void OnOther(TqvBaseIO*, int Code) { trace->push_back({name + ".other", Code}); }
};

// A linked component that may claim what it receives and take the output-empty event.
class TTestLinked : public TqvLinkedComponent {
 public:
  explicit TTestLinked(TComponent* AOwner = nullptr) : TqvLinkedComponent(AOwner) {}
  bool Claim = false;
  bool HandleEmpty = false;
  std::vector<TqvBaseIO*> links;  // every LinkTo argument, in order
  std::string received;
  int receiveCalls = 0;
  int emptyCalls = 0;
  bool emptyHandledOnEntry = true;
  TLinkedReceiveFlags flagsOnEntry = 0xFF;

  void LinkTo(TqvBaseIO* IO) override { links.push_back(IO); }
  void LinkedReceive(const BYTE* Data, int Count, TLinkedReceiveFlags& Flags) override {
    ++receiveCalls;
    flagsOnEntry = Flags;
    received.append(reinterpret_cast<const char*>(Data), std::size_t(Count));
    if (Claim) Flags |= lrfClaimed;
  }
  void LinkedOutputEmpty(bool& Handled) override {
    ++emptyCalls;
    emptyHandledOnEntry = Handled;
    if (HandleEmpty) Handled = true;
  }
};

std::vector<BYTE> Bytes(const std::string& s) { return std::vector<BYTE>(s.begin(), s.end()); }

// ---- life cycle --------------------------------------------------------------------------

TEST(BaseIOLifeCycle, ConstructionCreatesTwoEventsAndDestructionClosesThem) {
  const std::size_t before = qv::platform::HandleCount();
  {
    TTestIO io;
    EXPECT_EQ(qv::platform::HandleCount(), before + 2);
    EXPECT_FALSE(io.IsOpen());
    EXPECT_EQ(io.GetHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(io.AsyncWriteOv().hEvent, 0u);
    HANDLE r = io.ReadOv().hEvent, w = io.WriteOv().hEvent;
    ASSERT_NE(r, 0u);
    ASSERT_NE(w, 0u);
    EXPECT_NE(r, w);
    // Auto-reset and initially not signalled.
    EXPECT_EQ(WaitForSingleObject(r, 0), WAIT_TIMEOUT);
    SetEvent(r);
    EXPECT_EQ(WaitForSingleObject(r, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(r, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(w, 0), WAIT_TIMEOUT);
  }
  EXPECT_EQ(qv::platform::HandleCount(), before);
}

TEST(BaseIOLifeCycle, OpenAndCloseRunTheTemplateAndReleaseTheHandle) {
  TTestIO io;
  std::vector<std::string> trace;
  io.OnOpen = TNotifyEvent::FromFunction([](void* d, TObject* s) {
    static_cast<std::vector<std::string>*>(d)->push_back(s ? "open" : "open(null)");
  }, &trace);
  io.OnClose = TNotifyEvent::FromFunction([](void* d, TObject*) {
    static_cast<std::vector<std::string>*>(d)->push_back("close");
  }, &trace);
  const std::size_t before = qv::platform::HandleCount();
  io.SetActive(true);
  EXPECT_TRUE(io.Active());
  EXPECT_TRUE(io.IsOpen());
  EXPECT_EQ(qv::platform::HandleCount(), before + 1);
  io.SetActive(false);
  EXPECT_FALSE(io.Active());
  EXPECT_EQ(io.GetHandle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(qv::platform::HandleCount(), before);
  EXPECT_EQ(io.CloseHandleCalls, 1);
  EXPECT_EQ(trace, (std::vector<std::string>{"open", "close"}));
  // Closing a closed component neither releases anything nor raises OnClose.
  io.Close();
  EXPECT_EQ(io.CloseHandleCalls, 1);
  EXPECT_EQ(trace.size(), 2u);
}

TEST(BaseIOLifeCycle, FailedOpenLeavesTheComponentClosedWithoutOnOpen) {
  TTestIO io;
  io.Openable = false;
  int opens = 0;
  io.OnOpen = TNotifyEvent::FromFunction([](void* d, TObject*) { ++*static_cast<int*>(d); }, &opens);
  io.SetActive(true);
  EXPECT_FALSE(io.Active());
  EXPECT_EQ(opens, 0);
  EXPECT_EQ(io.OpenCalls, 1);
}

TEST(BaseIOLifeCycle, ExceptionsFromOpenAndCloseHandlersAreSwallowed) {
  TTestIO io;
  auto thrower = [](void*, TObject*) { throw Exception("handler failed"); };
  io.OnOpen = TNotifyEvent::FromFunction(thrower, nullptr);
  io.OnClose = TNotifyEvent::FromFunction(thrower, nullptr);
  EXPECT_NO_THROW(io.SetActive(true));
  EXPECT_TRUE(io.Active());
  EXPECT_NO_THROW(io.SetActive(false));
  EXPECT_FALSE(io.Active());
  EXPECT_EQ(io.CloseHandleCalls, 1);
}

TEST(BaseIOLifeCycle, ActiveWritesThatChangeNothingDoNothing) {
  TTestIO io;
  io.SetActive(false);  // closed: nothing to close
  EXPECT_EQ(io.CloseHandleCalls, 0);
  EXPECT_EQ(io.OpenCalls, 0);
  io.SetActive(true);
  HANDLE h = io.GetHandle();
  io.SetActive(true);  // open: not reopened
  EXPECT_EQ(io.OpenCalls, 1);
  EXPECT_EQ(io.GetHandle(), h);
  io.SetActive(false);
  io.SetActive(false);
  EXPECT_EQ(io.CloseHandleCalls, 1);
}

TEST(BaseIOLifeCycle, ActiveWhileLoadingIsOnlyRememberedUntilLoaded) {
  auto* io = new TTestIO;
  {
    TComponentLoader loader;
    loader.Add(io);
    io->SetActive(true);
    EXPECT_EQ(io->OpenCalls, 0);
    EXPECT_TRUE(io->Active());  // the remembered value
    EXPECT_FALSE(io->IsOpen());
    loader.Finish();
  }
  EXPECT_FALSE(io->IsLoading());
  EXPECT_EQ(io->OpenCalls, 1);
  EXPECT_TRUE(io->IsOpen());
  EXPECT_TRUE(io->Active());
  io->Free();
}

TEST(BaseIOLifeCycle, LoadedShowsTheErrorBoxWhenTheDeferredOpenFails) {
  BoxRecorder boxes;
  TRecordingLog log;
  auto* io = new TTestIO;
  io->Openable = false;
  io->ReportOpenFailure = true;
  io->SetLog(&log);
  TComponentLoader loader;
  loader.Add(io);
  io->SetActive(true);
  EXPECT_NO_THROW(loader.Finish());
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, "error");
  EXPECT_EQ(boxes.boxes[0].caption, "Error");
  EXPECT_EQ(boxes.boxes[0].type, MB_ICONERROR | MB_OK);
  EXPECT_EQ(boxes.boxes[0].owner, GetForegroundWindow());
  EXPECT_FALSE(io->Active());
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"Fatal Error: 1, 0, Device \"TEST\" Open Error !!!"}));
  io->Free();
}

TEST(BaseIOLifeCycle, DesignTimeActiveIsAnOpenTest) {
  TTestIO io;
  io.SetDesigning(true);
  const std::size_t before = qv::platform::HandleCount();
  io.SetActive(true);
  EXPECT_TRUE(io.Active());
  EXPECT_FALSE(io.IsOpen());  // nothing stays open in the designer
  EXPECT_EQ(io.OpenCalls, 1);
  EXPECT_EQ(io.CloseHandleCalls, 1);
  EXPECT_EQ(qv::platform::HandleCount(), before);
  // At design time every write acts, also one that repeats the value.
  io.SetActive(true);
  EXPECT_EQ(io.OpenCalls, 2);
  io.SetActive(false);
  EXPECT_FALSE(io.Active());
  EXPECT_EQ(io.OpenCalls, 2);

  TTestIO missing;
  missing.Openable = false;
  missing.SetDesigning(true);
  missing.SetActive(true);
  EXPECT_FALSE(missing.Active());
  EXPECT_EQ(missing.OpenCalls, 1);
  EXPECT_EQ(missing.CloseHandleCalls, 0);
}

TEST(BaseIOLifeCycle, ActiveCanBeReadFromAnotherThreadWhileOpeningAndClosing) {
  TTestIO io;
  std::atomic<bool> stop{false};
  std::atomic<int> seenOpen{0};
  std::thread reader([&] {
    while (!stop.load()) {
      if (io.Active()) seenOpen.fetch_add(1);
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < 200; ++i) {
    io.SetActive(true);
    io.SetActive(false);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(io.OpenCalls, 200);
  EXPECT_FALSE(io.Active());
}

// ---- failure path --------------------------------------------------------------------------

TEST(BaseIOFatalError, WithoutHandlerLogsTheLineThenRaisesTheMessageAlone) {
  TRecordingLog log;
  TTestIO io;
  io.SetPrefix("qvComm: ");
  io.SetLog(&log);
  try {
    io.FatalError(1, 0, "port gone", false);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "port gone");
  }
  auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Text, "Fatal Error: 1, 0, port gone");  // no prefix
  EXPECT_EQ(entries[0].Level, dlSimple);
}

TEST(BaseIOFatalError, LargeCodesAreLoggedUnsigned) {
  TRecordingLog log;
  TTestIO io;
  io.SetLog(&log);
  EXPECT_THROW(io.FatalError(0xFFFFFFFFu, 0x80000000u, "x", false), Exception);
  EXPECT_EQ(log.LastLine(), "Fatal Error: 4294967295, 2147483648, x");
}

TEST(BaseIOFatalError, DecliningHandlerStillGetsTheLineButNothingIsRaised) {
  TRecordingLog log(nullptr, dlSimple);
  TTestIO io;
  io.SetLog(&log);
  FatalHandler handler;
  handler.decline = true;
  io.OnFatalError = TOnFatalErrorEvent(&handler, &FatalHandler::Handle);
  BoxRecorder boxes;
  EXPECT_NO_THROW(io.FatalError(1, 5, "declined", false));
  EXPECT_NO_THROW(io.FatalError(1, 5, "declined too", true));
  EXPECT_TRUE(boxes.boxes.empty());
  ASSERT_EQ(handler.calls.size(), 2u);
  EXPECT_EQ(handler.calls[0].sender, &io);
  EXPECT_EQ(handler.calls[0].code, 1u);
  EXPECT_EQ(handler.calls[0].detail, 5u);
  EXPECT_EQ(handler.calls[0].msg, "declined");
  EXPECT_TRUE(handler.calls[0].raiseOnEntry);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"Fatal Error: 1, 5, declined", "Fatal Error: 1, 5, declined too"}));
}

TEST(BaseIOFatalError, HandlerThatKeepsTheExceptionSeesItRaisedAfterwards) {
  TTestIO io;
  FatalHandler handler;
  io.OnFatalError = TOnFatalErrorEvent(&handler, &FatalHandler::Handle);
  EXPECT_THROW(io.FatalError(1, 0, "kept", false), Exception);
  EXPECT_EQ(handler.calls.size(), 1u);
}

TEST(BaseIOFatalError, NothingIsRaisedOrShownWhileLoading) {
  BoxRecorder boxes;
  TRecordingLog log;
  TTestIO io;
  io.SetLog(&log);
  FatalHandler handler;
  io.OnFatalError = TOnFatalErrorEvent(&handler, &FatalHandler::Handle);
  io.SetLoading(true);
  EXPECT_NO_THROW(io.FatalError(1, 0, "while loading", false));
  EXPECT_NO_THROW(io.FatalError(1, 0, "shown while loading", true));
  EXPECT_TRUE(boxes.boxes.empty());
  EXPECT_EQ(handler.calls.size(), 2u);
  EXPECT_EQ(log.Count(), 2u);
  io.SetLoading(false);
  EXPECT_THROW(io.FatalError(1, 0, "after loading", false), Exception);
}

TEST(BaseIOFatalError, ShowOnlyShowsABoxWithoutApplicationAndDoesNotRaise) {
  ASSERT_EQ(Application, nullptr);
  BoxRecorder boxes;
  TRecordingLog log;
  TTestIO io;
  io.SetLog(&log);
  EXPECT_NO_THROW(io.FatalError(1, 31, "receive failed", true));
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, "receive failed");
  EXPECT_EQ(boxes.boxes[0].type & MB_ICONMASK, MB_ICONERROR);
  EXPECT_EQ(log.LastLine(), "Fatal Error: 1, 31, receive failed");
}

TEST(BaseIOFatalError, ShowOnlyUsesTheApplicationsExceptionDisplay) {
  BoxRecorder boxes;
  TApplication app;
  app.Title = "Scanner";
  TTestIO io;
  EXPECT_NO_THROW(io.FatalError(1, 0, "receive failed", true));
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, "receive failed.");
  EXPECT_EQ(boxes.boxes[0].caption, "Scanner");
}

TEST(BaseIOFatalError, WithoutLogStillRaises) {
  TTestIO io;
  EXPECT_THROW(io.FatalError(1, 0, "no log", false), Exception);
}

// ---- abstract operations -------------------------------------------------------------------

TEST(BaseIOAbstract, OperationsLeftToDescendantsRaiseTheAbstractError) {
  TqvBaseIO io(nullptr);
  BYTE b = 0;
  EXPECT_THROW(io.SendChar('a'), EAbstractError);
  EXPECT_THROW(io.SendString("abc"), EAbstractError);
  EXPECT_THROW(io.SendData(&b, 1), EAbstractError);
  EXPECT_THROW(io.ClearInput(), EAbstractError);
  EXPECT_THROW(io.ClearOutput(), EAbstractError);
  EXPECT_THROW(io.ClearAll(), EAbstractError);
  EXPECT_THROW(io.GetDeviceIndex(), EAbstractError);
  EXPECT_THROW(io.EnumDevices(), EAbstractError);
  EXPECT_THROW(io.FillDeviceList(nullptr), EAbstractError);  // enumerates the empty list
  // The base device is never there.
  io.SetActive(true);
  EXPECT_FALSE(io.Active());
}

// ---- logging -------------------------------------------------------------------------------

TEST(BaseIOLog, LinesCarryThePrefixAndTheCallersLevel) {
  TRecordingLog log(nullptr, dlDetail);
  TTestIO io;
  io.SetPrefix("qvComm: ");
  io.SetLog(&log);
  io.LogText(dlSimple, "The port is succesful closed");
  io.LogText(dlDebug, "dropped at this setting");
  io.LogFormat(dlDetail, "Communication Error %d:%d", {4, 0});
  io.LogFormat(dlDebug, "Try to send char %2Xh ...", {5});
  io.LogText(dlSimple, "");
  auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].Text, "qvComm: The port is succesful closed");
  EXPECT_EQ(entries[0].Level, dlSimple);
  EXPECT_EQ(entries[1].Text, "qvComm: Communication Error 4:0");
  EXPECT_EQ(entries[1].Level, dlDetail);
  EXPECT_TRUE(entries[2].Header);

  log.SetDetailLevel(dlDebug);
  io.LogFormat(dlDebug, "Try to send char %2Xh ...", {5});
  EXPECT_EQ(log.LastLine(), "qvComm: Try to send char  5h ...");
}

TEST(BaseIOLog, FormatsBuiltAtRunTimeAndMismatchedFormats) {
  TRecordingLog log;
  TTestIO io;
  io.SetLog(&log);
  std::string name = "COM7";
  std::vector<TVarRec> args{TVarRec(name)};
  io.LogFormat(dlSimple, "The port %s succesful opened", args);
  EXPECT_EQ(log.LastLine(), "The port COM7 succesful opened");
  io.LogFormat(dlSimple, "%s and %d", {"only one"});
  EXPECT_EQ(log.LastLine(), "Log format ERROR!!!");
}

TEST(BaseIOLog, APercentInThePrefixIsText) {
  TRecordingLog log;
  TTestIO io;
  io.SetPrefix("100% ");
  io.SetLog(&log);
  io.LogFormat(dlSimple, "n=%d", {7});
  EXPECT_EQ(log.LastLine(), "100% n=7");
}

TEST(BaseIOLog, WithoutSinkNothingHappensAndAFreedSinkIsForgotten) {
  TTestIO io;
  EXPECT_NO_THROW(io.LogText(dlSimple, "x"));
  EXPECT_NO_THROW(io.LogFormat(dlSimple, "%d", {1}));
  auto* log = new TRecordingLog;
  io.SetLog(log);
  EXPECT_EQ(io.Log(), log);
  log->Free();
  EXPECT_EQ(io.Log(), nullptr);
  EXPECT_NO_THROW(io.LogText(dlSimple, "after"));
}

// ---- notify callbacks ----------------------------------------------------------------------

TEST(BaseIONotify, CallbacksAreIdentifiedByCodeAndObject) {
  std::vector<std::pair<std::string, int>> trace;
  Listener a{&trace, "a"}, b{&trace, "b"};
  TTestIO io;
  EXPECT_EQ(io.AddNotify(TLinkNotifyEvent(&a, &Listener::OnNotify)), 0);
  EXPECT_EQ(io.AddNotify(TLinkNotifyEvent(&b, &Listener::OnNotify)), 1);  // same method, other object
  EXPECT_EQ(io.AddNotify(TLinkNotifyEvent(&a, &Listener::OnOther)), 2);   // same object, other method
  EXPECT_EQ(io.AddNotify(TLinkNotifyEvent(&a, &Listener::OnNotify)), 0);  // already there
  io.NotifyLinks(ncOpened);
  EXPECT_EQ(trace, (std::vector<std::pair<std::string, int>>{{"a", 2}, {"b", 2}, {"a.other", 2}}));
  EXPECT_EQ(a.lastSender, &io);

  trace.clear();
  Listener c{&trace, "c"};
  io.RemoveNotify(TLinkNotifyEvent(&c, &Listener::OnNotify));  // absent: nothing
  io.RemoveNotify(TLinkNotifyEvent(&b, &Listener::OnNotify));
  io.NotifyLinks(ncClosed);
  EXPECT_EQ(trace, (std::vector<std::pair<std::string, int>>{{"a", 1}, {"a.other", 1}}));
  // Position after removal.
  EXPECT_EQ(io.AddNotify(TLinkNotifyEvent(&b, &Listener::OnNotify)), 2);
}

TEST(BaseIONotify, DeviceChangesAndSelectionNotifyCodeThree) {
  std::vector<std::pair<std::string, int>> trace;
  Listener a{&trace, "a"};
  TTestIO io;
  io.AddNotify(TLinkNotifyEvent(&a, &Listener::OnNotify));
  io.SelectDevice(0);
  io.DevicesChanged();
  EXPECT_EQ(trace, (std::vector<std::pair<std::string, int>>{{"a", ncDevicesChanged}, {"a", ncDevicesChanged}}));
}

// ---- device list ---------------------------------------------------------------------------

TEST(BaseIODevices, AddDeviceSetsIndexAndOwnerUnderTheNameItHadThen) {
  TCountedDevice::Alive = 0;
  {
    TTestIO io;
    auto* d1 = new TCountedDevice("COM1", 1);
    auto* d2 = new TCountedDevice("COM4", 4);
    io.AddDevice(d1);
    io.AddDevice(d2);
    d2->Name = "COM4 (USB serial)";
    EXPECT_EQ(io.DeviceCount(), 2);
    EXPECT_EQ(d1->Index, 0);
    EXPECT_EQ(d2->Index, 1);
    EXPECT_EQ(d1->Owner, &io);
    EXPECT_EQ(io.GetDevice(1), d2);
    EXPECT_EQ(io.IndexOfDevice(4), 1);
    EXPECT_EQ(io.IndexOfDevice(2), -1);
    EXPECT_THROW(io.GetDevice(2), EListError);

    TStringList list;
    list.Add("stale");
    io.FillDeviceList(&list);
    EXPECT_EQ(io.EnumCalls, 0);  // not empty: no enumeration
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list[0], "COM1");
    EXPECT_EQ(list[1], "COM4");
    EXPECT_EQ(list.Objects(1), d2);
  }
  EXPECT_EQ(TCountedDevice::Alive, 0);  // the destructor freed them
}

TEST(BaseIODevices, FillDeviceListEnumeratesAnEmptyList) {
  TCountedDevice::Alive = 0;
  TTestIO io;
  TStringList list;
  io.FillDeviceList(&list);
  EXPECT_EQ(io.EnumCalls, 1);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list[1], "COM3");
  io.FillDeviceList(&list);
  EXPECT_EQ(io.EnumCalls, 1);

  io.ClearDevices();
  EXPECT_EQ(io.DeviceCount(), 0);
  EXPECT_EQ(TCountedDevice::Alive, 0);
  // Without a target list it only enumerates.
  io.FillDeviceList(nullptr);
  EXPECT_EQ(io.EnumCalls, 2);
  EXPECT_EQ(io.DeviceCount(), 2);
  EXPECT_EQ(io.IndexOfDevice(2), 1);
}

TEST(BaseIODevices, ClearDevicesLeavesDevicesAloneWhenNotOwned) {
  TCountedDevice::Alive = 0;
  TCountedDevice d("COM2", 2);
  {
    TTestIO io;
    io.SetOwnsDevices(false);
    io.AddDevice(&d);
    io.ClearDevices();
    EXPECT_EQ(io.DeviceCount(), 0);
    EXPECT_EQ(TCountedDevice::Alive, 1);
    io.AddDevice(&d);
  }
  EXPECT_EQ(TCountedDevice::Alive, 1);
}

// ---- linked component and received data -----------------------------------------------------

TEST(BaseIOLinked, LinkingAndUnlinkingTellTheComponent) {
  TTestIO io;
  TTestLinked first, second;
  EXPECT_FALSE(io.HasDataConsumer());
  io.SetLinkedComponent(&first);
  EXPECT_TRUE(io.HasDataConsumer());
  EXPECT_EQ(first.links, (std::vector<TqvBaseIO*>{&io}));
  io.SetLinkedComponent(&second);  // replaced, not cleared: the old one is not told
  EXPECT_EQ(first.links.size(), 1u);
  EXPECT_EQ(second.links, (std::vector<TqvBaseIO*>{&io}));
  io.SetLinkedComponent(nullptr);
  EXPECT_EQ(second.links, (std::vector<TqvBaseIO*>{&io, nullptr}));
  EXPECT_EQ(io.LinkedComponent(), nullptr);
}

TEST(BaseIOLinked, AFreedLinkedComponentIsToldAndForgotten) {
  // Records outside the object, since the last LinkTo comes while it is being freed.
  struct Watch : TTestLinked {
    std::vector<TqvBaseIO*>* out;
    explicit Watch(std::vector<TqvBaseIO*>* o) : out(o) {}
    void LinkTo(TqvBaseIO* IO) override { out->push_back(IO); }
  };
  TTestIO io;
  std::vector<TqvBaseIO*> links;
  auto* watched = new Watch(&links);
  io.SetLinkedComponent(watched);
  watched->Free();
  EXPECT_EQ(links, (std::vector<TqvBaseIO*>{&io, nullptr}));
  EXPECT_EQ(io.LinkedComponent(), nullptr);
  BYTE b = 'x';
  EXPECT_NO_THROW(io.DeliverReceived(&b, 1));
}

TEST(BaseIOLinked, ADeletedLinkedComponentIsForgottenToo) {
  TTestIO io;
  auto* linked = new TTestLinked;
  io.SetLinkedComponent(linked);
  delete linked;
  EXPECT_EQ(io.LinkedComponent(), nullptr);
  EXPECT_FALSE(io.OfferTransmitEmpty());
}

TEST(BaseIOLinked, DestroyingTheComponentUnlinks) {
  TTestLinked linked;
  {
    TTestIO io;
    io.SetLinkedComponent(&linked);
  }
  ASSERT_EQ(linked.links.size(), 2u);
  EXPECT_EQ(linked.links[1], nullptr);
}

TEST(BaseIOLinked, OfferTransmitEmptyReturnsWhatTheLinkedComponentLeft) {
  TTestIO io;
  EXPECT_FALSE(io.OfferTransmitEmpty());
  TTestLinked linked;
  io.SetLinkedComponent(&linked);
  EXPECT_FALSE(io.OfferTransmitEmpty());
  EXPECT_FALSE(linked.emptyHandledOnEntry);
  linked.HandleEmpty = true;
  EXPECT_TRUE(io.OfferTransmitEmpty());
  EXPECT_EQ(linked.emptyCalls, 2);
  io.SetLinkedComponent(nullptr);
}

TEST(BaseIODeliver, ClaimedBytesDoNotReachTheControl) {
  TTestIO io;
  TMemoTestDouble memo(nullptr);
  TTestLinked linked;
  io.SetAttachedControl(&memo);
  io.SetAttachMode(amDisplay);
  io.SetLinkedComponent(&linked);
  auto data = Bytes("12345");
  io.DeliverReceived(data.data(), int(data.size()));
  EXPECT_EQ(linked.received, "12345");
  EXPECT_EQ(linked.flagsOnEntry, 0);
  EXPECT_EQ(memo.Text(), "12345");
  linked.Claim = true;
  io.DeliverReceived(data.data(), int(data.size()));
  EXPECT_EQ(linked.received, "1234512345");
  EXPECT_EQ(memo.Text(), "12345");
  io.SetLinkedComponent(nullptr);
  io.SetAttachedControl(nullptr);
}

TEST(BaseIODeliver, WithoutConsumersNothingHappens) {
  TTestIO io;
  BYTE b = 'q';
  EXPECT_NO_THROW(io.DeliverReceived(&b, 1));
}

// ---- attached control ----------------------------------------------------------------------

TEST(BaseIOControl, SingleByteArrivesAsATypedCharacter) {
  TTestIO io;
  TMemoTestDouble memo(nullptr);
  io.SetAttachedControl(&memo);
  io.SetAttachMode(amTypingAndDisplay);
  EXPECT_EQ(io.DisplayWindow(), memo.Handle());
  BYTE b = 'Z';
  io.WriteToControl(&b, 1);
  ASSERT_EQ(memo.Received.size(), 1u);
  EXPECT_EQ(memo.Received[0].Msg, WM_CHAR);
  EXPECT_EQ(memo.Received[0].WParam, WPARAM('Z'));
  EXPECT_EQ(memo.Received[0].LParam, 1);
  EXPECT_EQ(memo.Text(), "Z");
  // Shown, not sent back to the device although the mode includes typing.
  EXPECT_TRUE(io.Sent.empty());
  EXPECT_FALSE(io.IsWritingToControl());
  io.SetAttachedControl(nullptr);
}

// Keeps the text of every EM_REPLACESEL while it is valid (during the call).
class TPieceMemo : public TMemoTestDouble {
 public:
  using TMemoTestDouble::TMemoTestDouble;
  std::vector<std::string> pieces;
  std::vector<WPARAM> undoFlags;

 protected:
  void WndProc(TMessage& Message) override {
    if (Message.Msg == EM_REPLACESEL) {
      pieces.emplace_back(reinterpret_cast<const char*>(Message.LParam));
      undoFlags.push_back(Message.WParam);
    }
    TMemoTestDouble::WndProc(Message);
  }
};

TEST(BaseIOControl, SeveralBytesAreSplitAtZeroBytes) {
  TTestIO io;
  TPieceMemo memo(nullptr);
  memo.SetText("[]");
  memo.SetCaret(1);
  io.SetAttachedControl(&memo);
  io.SetAttachMode(amDisplay);
  // Exactly Count bytes on the heap, no terminator: nothing may be read beyond them.
  const std::vector<BYTE> data = {'A', 'B', 0, 'C', 0, 0, 'D', 'E'};
  auto heap = std::make_unique<BYTE[]>(data.size());
  std::copy(data.begin(), data.end(), heap.get());
  io.WriteToControl(heap.get(), int(data.size()));
  EXPECT_EQ(memo.pieces, (std::vector<std::string>{"AB", "C", "DE"}));
  EXPECT_EQ(memo.undoFlags, (std::vector<WPARAM>{0, 0, 0}));
  EXPECT_EQ(memo.Received.size(), 3u);
  EXPECT_EQ(memo.Text(), "[ABCDE]");
  EXPECT_TRUE(std::equal(data.begin(), data.end(), heap.get()));  // unchanged

  // Two bytes go as one piece too; a lone zero byte shows nothing.
  memo.pieces.clear();
  const BYTE two[2] = {'x', 'y'};
  io.WriteToControl(two, 2);
  EXPECT_EQ(memo.pieces, (std::vector<std::string>{"xy"}));
  const BYTE zero = 0;
  const std::size_t before = memo.Received.size();
  io.WriteToControl(&zero, 1);
  EXPECT_EQ(memo.Received.size(), before);
  io.SetAttachedControl(nullptr);
}

TEST(BaseIOControl, NothingIsShownUnlessTheModeIncludesDisplay) {
  TTestIO io;
  TMemoTestDouble memo(nullptr);
  io.SetAttachedControl(&memo);
  auto data = Bytes("AB");
  for (TAttachMode mode : {amNone, amTyping}) {
    io.SetAttachMode(mode);
    EXPECT_EQ(io.DisplayWindow(), 0u);
    io.WriteToControl(data.data(), 2);
    io.WriteToControl(data.data(), 1);
    io.DeliverReceived(data.data(), 2);
  }
  EXPECT_TRUE(memo.Received.empty());
  io.SetAttachMode(amDisplay);
  io.WriteToControl(data.data(), 2);
  EXPECT_EQ(memo.Text(), "AB");
  io.SetAttachedControl(nullptr);
  EXPECT_EQ(io.DisplayWindow(), 0u);
}

TEST(BaseIOControl, KeyFilterSendsTypedKeysInTypingMode) {
  TTestIO io;
  TMemoTestDouble memo(nullptr);
  io.SetAttachedControl(&memo);
  io.SetAttachMode(amTyping);
  memo.Perform(WM_CHAR, 0x141, 1);  // only the low byte is sent
  EXPECT_EQ(io.Sent, (std::vector<BYTE>{0x41}));
  EXPECT_EQ(memo.Text(), "");  // without local echo the key ends at the filter
  memo.Perform(WM_SETTEXT, 0, LPARAM("text"));
  EXPECT_EQ(memo.Text(), "text");  // other messages go on

  io.SetLocalEcho(true);
  memo.Perform(WM_CHAR, '!', 1);
  EXPECT_EQ(io.Sent, (std::vector<BYTE>{0x41, '!'}));
  EXPECT_EQ(memo.Text(), "text!");

  io.SetLocalEcho(false);
  io.SetAttachMode(amDisplay);  // display only: keys are not sent, the control gets them
  memo.Perform(WM_CHAR, '?', 1);
  EXPECT_EQ(io.Sent.size(), 2u);
  EXPECT_EQ(memo.Text(), "text!?");

  io.SetAttachMode(amTypingAndDisplay);
  memo.Perform(WM_CHAR, 'k', 1);
  EXPECT_EQ(io.Sent.back(), 'k');
  EXPECT_EQ(memo.Text(), "text!?");
  io.SetAttachedControl(nullptr);
}

TEST(BaseIOControl, DetachingRestoresTheControlsHandler) {
  TTestIO io;
  TMemoTestDouble a(nullptr), b(nullptr);
  const TWndMethod originalA = a.WindowProc;
  const TWndMethod originalB = b.WindowProc;
  io.SetAttachedControl(&a);
  io.SetAttachMode(amTyping);
  EXPECT_FALSE(a.WindowProc == originalA);
  io.SetAttachedControl(&b);  // moving to another control gives the first one its handler back
  EXPECT_TRUE(a.WindowProc == originalA);
  EXPECT_FALSE(b.WindowProc == originalB);
  a.Perform(WM_CHAR, 'a', 1);
  EXPECT_TRUE(io.Sent.empty());
  EXPECT_EQ(a.Text(), "a");
  io.SetAttachedControl(nullptr);
  EXPECT_TRUE(b.WindowProc == originalB);
  b.Perform(WM_CHAR, 'b', 1);
  EXPECT_TRUE(io.Sent.empty());
}

TEST(BaseIOControl, DestroyingTheComponentRestoresTheHandler) {
  TMemoTestDouble memo(nullptr);
  const TWndMethod original = memo.WindowProc;
  {
    TTestIO io;
    io.SetAttachedControl(&memo);
    io.SetAttachMode(amTypingAndDisplay);
  }
  EXPECT_TRUE(memo.WindowProc == original);
  memo.Perform(WM_CHAR, 'x', 1);
  EXPECT_EQ(memo.Text(), "x");
}

TEST(BaseIOControl, AFreedControlIsForgotten) {
  TTestIO io;
  auto* memo = new TMemoTestDouble(nullptr);
  io.SetAttachedControl(memo);
  io.SetAttachMode(amDisplay);
  memo->Free();
  EXPECT_EQ(io.AttachedControl(), nullptr);
  EXPECT_EQ(io.DisplayWindow(), 0u);
  EXPECT_FALSE(io.HasDataConsumer());
  auto data = Bytes("AB");
  EXPECT_NO_THROW(io.DeliverReceived(data.data(), 2));
}

TEST(BaseIOControl, AtDesignTimeAttachingChoosesTypingAndDisplay) {
  TTestIO io;
  TMemoTestDouble memo(nullptr);
  io.SetDesigning(true);
  io.SetAttachedControl(&memo);
  EXPECT_EQ(io.AttachMode(), amTypingAndDisplay);
  EXPECT_EQ(io.DisplayWindow(), memo.Handle());
  io.SetAttachedControl(nullptr);

  TTestIO runtime;
  runtime.SetAttachedControl(&memo);
  EXPECT_EQ(runtime.AttachMode(), amNone);
  runtime.SetAttachedControl(nullptr);
}

TEST(BaseIOControl, LoadedHooksTheControlAndAppliesTheMode) {
  auto* memo = new TMemoTestDouble(nullptr);
  auto* io = new TTestIO;
  const TWndMethod original = memo->WindowProc;
  {
    TComponentLoader loader;
    loader.Add(io);
    io->SetAttachMode(amDisplay);
    io->SetAttachedControl(memo);
    loader.Finish();
  }
  EXPECT_EQ(io->DisplayWindow(), memo->Handle());
  BYTE b = 'L';
  io->DeliverReceived(&b, 1);
  EXPECT_EQ(memo->Text(), "L");
  io->Free();
  EXPECT_TRUE(memo->WindowProc == original);
  memo->Free();
}

// ---- device-change messages ----------------------------------------------------------------

TEST(BaseIODeviceChange, PortArrivalsRemovalsAndNodeChangesRebuild) {
  std::vector<std::pair<std::string, int>> trace;
  Listener a{&trace, "a"};
  TTestIO io;
  io.AddNotify(TLinkNotifyEvent(&a, &Listener::OnNotify));
  DEV_BROADCAST_HDR port{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_PORT, 0};
  DEV_BROADCAST_HDR volume{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_VOLUME, 0};

  struct Case {
    UINT msg;
    WPARAM event;
    const DEV_BROADCAST_HDR* hdr;
    bool expected;
  };
  const Case cases[] = {
      {WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, nullptr, true},
      {WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, &volume, true},
      {WM_DEVICECHANGE, DBT_DEVICEARRIVAL, &port, true},
      {WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, &port, true},
      {WM_DEVICECHANGE, DBT_DEVICEARRIVAL, &volume, false},
      {WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, &volume, false},
      {WM_DEVICECHANGE, DBT_DEVICEARRIVAL, nullptr, false},
      {WM_DEVICECHANGE, 0x8001, &port, false},  // query-remove and the like
      {WM_TIMER, DBT_DEVNODES_CHANGED, nullptr, false},
  };
  int expectedNotifies = 0;
  for (const Case& c : cases) {
    TMessage m;
    m.Msg = c.msg;
    m.WParam = c.event;
    m.LParam = reinterpret_cast<LPARAM>(c.hdr);
    EXPECT_EQ(io.HandleDeviceChange(m), c.expected) << "event " << c.event;
    if (c.expected) ++expectedNotifies;
    EXPECT_EQ(int(trace.size()), expectedNotifies) << "event " << c.event;
  }
}

// ---- worker thread -------------------------------------------------------------------------

class TWorkerIO : public TTestIO {
 public:
  enum Mode { kReturn, kLoopUntilTerminated, kRaise };
  Mode mode = kLoopUntilTerminated;
  std::atomic<int> started{0};
  std::atomic<int> finished{0};
  std::atomic<TqvThreadIO*> seenThread{nullptr};
  HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);

  ~TWorkerIO() override {
    StopThread();
    CloseHandle(wake);
  }
  void ThreadExecute(TqvThreadIO* AThread) override {
    seenThread = AThread;
    started.fetch_add(1);
    if (mode == kRaise) throw Exception("worker failed");
    if (mode == kLoopUntilTerminated) {
      while (!AThread->Terminated()) WaitForSingleObject(wake, 5);
      Sleep(20);  // the waiter must not return before this
    }
    finished.fetch_add(1);
  }
  bool WaitStarted(int n) {
    for (int i = 0; i < 1000 && started.load() < n; ++i) Sleep(5);
    return started.load() >= n;
  }
};

TEST(BaseIOThread, OpenAndCloseStartAndStopTheWorkerWhenAsked) {
  TWorkerIO io;
  io.SetUseThread(true);
  io.SetActive(true);
  ASSERT_TRUE(io.WaitStarted(1));
  ASSERT_NE(io.WorkerThread(), nullptr);
  EXPECT_EQ(io.seenThread.load(), io.WorkerThread());
  EXPECT_EQ(io.WorkerThread()->IO(), &io);
  EXPECT_EQ(io.finished.load(), 0);
  io.SetActive(false);  // StopThread waits for the body to end
  EXPECT_EQ(io.finished.load(), 1);
  EXPECT_EQ(io.WorkerThread(), nullptr);
}

TEST(BaseIOThread, WithoutUseThreadNoWorkerRuns) {
  TWorkerIO io;
  io.SetActive(true);
  io.SetActive(false);
  EXPECT_EQ(io.started.load(), 0);
  EXPECT_EQ(io.WorkerThread(), nullptr);
}

TEST(BaseIOThread, StopThreadWaitsAndASecondStopDoesNothing) {
  TWorkerIO io;
  io.StartThread();
  ASSERT_TRUE(io.WaitStarted(1));
  io.StopThread();
  EXPECT_EQ(io.finished.load(), 1);
  EXPECT_NO_THROW(io.StopThread());
  EXPECT_EQ(io.WorkerThread(), nullptr);
}

TEST(BaseIOThread, ARaisingBodyEndsQuietly) {
  TWorkerIO io;
  io.mode = TWorkerIO::kRaise;
  io.StartThread();
  ASSERT_TRUE(io.WaitStarted(1));
  EXPECT_NO_THROW(io.StopThread());
  EXPECT_EQ(io.finished.load(), 0);
}

TEST(BaseIOThread, ABodyThatEndedOnItsOwnIsReleasedOnceByStop) {
  const std::size_t before = qv::platform::HandleCount();
  {
    TWorkerIO io;
    io.mode = TWorkerIO::kReturn;
    io.StartThread();
    ASSERT_TRUE(io.WaitStarted(1));
    for (int i = 0; i < 1000 && io.finished.load() < 1; ++i) Sleep(5);
    Sleep(20);  // let the body's own end run past its self-release point
    EXPECT_NO_THROW(io.StopThread());
    EXPECT_EQ(io.finished.load(), 1);
  }
  EXPECT_EQ(qv::platform::HandleCount(), before);
}

TEST(BaseIOThread, StartingAgainStopsTheEarlierWorker) {
  TWorkerIO io;
  io.StartThread();
  ASSERT_TRUE(io.WaitStarted(1));
  io.StartThread();
  EXPECT_EQ(io.finished.load(), 1);  // the first ended before the second was made
  ASSERT_TRUE(io.WaitStarted(2));
  io.StopThread();
  EXPECT_EQ(io.finished.load(), 2);
}

TEST(BaseIOThread, WorkersLeaveNoHandleBehind) {
  const std::size_t before = qv::platform::HandleCount();
  auto* io = new TWorkerIO;
  io->StartThread();
  ASSERT_TRUE(io->WaitStarted(1));
  io->StartThread();
  ASSERT_TRUE(io->WaitStarted(2));
  io->Free();  // the descendant stops its worker before the base goes
  EXPECT_EQ(qv::platform::HandleCount(), before);
}

}  // namespace
