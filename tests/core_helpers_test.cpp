// The small classes of the component core: the log sink interface, the notify list and the
// internal timer.
#include "core/qvclasses.h"
#include "platform/rtl/application.h"
#include "platform/win32/winbase.h"
#include "support/recording_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// ---- log sink --------------------------------------------------------------------------------

struct SinkFatalHandler {
  bool decline = false;
  int calls = 0;
  TObject* sender = nullptr;
  DWORD code = 0, detail = 0;
  std::string msg;
  void Handle(TObject* Sender, DWORD ErrorCode, DWORD Detail, std::string ErrorMsg, bool& RaiseException) {
    ++calls;
    sender = Sender;
    code = ErrorCode;
    detail = Detail;
    msg = ErrorMsg;
    EXPECT_TRUE(RaiseException);
    if (decline) RaiseException = false;
  }
};

TEST(LogSink, FatalErrorRaisesUnlessTheHandlerDeclines) {
  TRecordingLog log;
  try {
    log.FatalError(0, 2, "cannot save the log");
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "cannot save the log");
  }
  SinkFatalHandler handler;
  log.OnFatalError = TOnFatalErrorEvent(&handler, &SinkFatalHandler::Handle);
  EXPECT_THROW(log.FatalError(0, 2, "kept"), Exception);
  handler.decline = true;
  EXPECT_NO_THROW(log.FatalError(0, 3, "declined"));
  EXPECT_EQ(handler.calls, 2);
  EXPECT_EQ(handler.sender, &log);
  EXPECT_EQ(handler.detail, 3u);
  EXPECT_EQ(handler.msg, "declined");
  EXPECT_EQ(log.Count(), 0u);  // the sink writes no line about itself
}

TEST(LogSink, FatalErrorRaisesEvenWhileLoading) {
  TRecordingLog log;
  log.SetLoading(true);
  EXPECT_THROW(log.FatalError(0, 0, "loading"), Exception);
}

TEST(LogSink, OperationsLeftToTheImplementationRaiseTheAbstractError) {
  TqvCustomLogFile sink(nullptr);
  EXPECT_THROW(sink.Flush(), EAbstractError);
  EXPECT_THROW(sink.Clear(), EAbstractError);
  EXPECT_THROW(sink.AddLine("x"), EAbstractError);
  EXPECT_THROW(sink.AddHeader(), EAbstractError);
  EXPECT_THROW(sink.Add(dlSimple, "x"), EAbstractError);
  EXPECT_THROW(sink.AddFmt("%d", {1}), EAbstractError);
  EXPECT_THROW(sink.AddFmtLevel(dlSimple, "%d", {1}), EAbstractError);
  SinkFatalHandler handler;
  handler.decline = true;
  sink.OnFatalError = TOnFatalErrorEvent(&handler, &SinkFatalHandler::Handle);
  EXPECT_NO_THROW(sink.FatalError(0, 0, "implemented here"));
}

TEST(LogSink, LevelsAreAdmittedUpToTheSetting) {
  TRecordingLog log(nullptr, dlSimple);
  log.Add(dlSimple, "simple");
  log.Add(dlDetail, "detail");
  log.Add(dlDebug, "debug");
  log.AddFmtLevel(dlDetail, "fmt %d", {1});
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"simple"}));
  log.SetDetailLevel(dlDetail);
  log.Add(dlDetail, "detail");
  log.Add(dlDebug, "debug");
  log.SetDetailLevel(dlDebug);
  log.Add(dlSimple, "a");
  log.Add(dlDetail, "b");
  log.AddFmtLevel(dlDebug, "c%u", {2u});
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"simple", "detail", "a", "b", "c2"}));
  // AddLine and AddFmt ignore the setting.
  log.SetDetailLevel(dlSimple);
  log.AddLine("line");
  log.AddFmt("%s!", {"fmt"});
  EXPECT_EQ(log.LastLine(), "fmt!");
  EXPECT_EQ(log.Count(), 7u);
}

TEST(LogSink, AFormatNeedingMoreArgumentsRecordsTheFormatError) {
  TRecordingLog log;
  log.AddFmtLevel(dlSimple, "%s %d", {"one"});
  EXPECT_EQ(log.LastLine(), "Log format ERROR!!!");
  log.AddFmt("%d", {"text"});
  EXPECT_EQ(log.LastLine(), "Log format ERROR!!!");
  log.AddFmt("%2Xh", {255});
  EXPECT_EQ(log.LastLine(), "FFh");
}

// ---- notify list -----------------------------------------------------------------------------

struct Receiver {
  Receiver(std::vector<std::string>* t, std::string n, TqvNotifyList* l = nullptr) : trace(t), name(std::move(n)), list(l) {}
  std::vector<std::string>* trace;
  std::string name;
  TqvNotifyList* list;
  TLinkNotifyEvent toRemove;
  TLinkNotifyEvent toAdd;
  void OnNotify(TqvBaseIO*, int Code) { trace->push_back(name + std::to_string(Code)); }
  void OnOther(TqvBaseIO*, int) { trace->push_back(name + "-other"); }
  void RemoveAnother(TqvBaseIO*, int Code) {
    trace->push_back(name + std::to_string(Code));
    int i = list->IndexOf(toRemove);
    if (i >= 0) list->Delete(i);
  }
  void AddAnother(TqvBaseIO*, int Code) {
    trace->push_back(name + std::to_string(Code));
    list->Add(toAdd);
  }
};

TEST(NotifyList, IndexOfMatchesCodeAndObject) {
  std::vector<std::string> trace;
  Receiver a{&trace, "a"}, b{&trace, "b"};
  TqvNotifyList list;
  EXPECT_EQ(list.IndexOf(TLinkNotifyEvent(&a, &Receiver::OnNotify)), -1);
  EXPECT_EQ(list.Add(TLinkNotifyEvent(&a, &Receiver::OnNotify)), 0);
  EXPECT_EQ(list.Add(TLinkNotifyEvent(&b, &Receiver::OnNotify)), 1);
  EXPECT_EQ(list.IndexOf(TLinkNotifyEvent(&b, &Receiver::OnNotify)), 1);
  EXPECT_EQ(list.IndexOf(TLinkNotifyEvent(&a, &Receiver::OnOther)), -1);
  // The list itself does not refuse duplicates; the component's AddNotify does.
  EXPECT_EQ(list.Add(TLinkNotifyEvent(&a, &Receiver::OnNotify)), 2);
  EXPECT_EQ(list.IndexOf(TLinkNotifyEvent(&a, &Receiver::OnNotify)), 0);
  EXPECT_TRUE(list.GetCallback(1) == TLinkNotifyEvent(&b, &Receiver::OnNotify));
  list.Delete(0);
  EXPECT_EQ(list.IndexOf(TLinkNotifyEvent(&a, &Receiver::OnNotify)), 1);
  EXPECT_EQ(list.Count(), 2);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(NotifyList, PositionsOutsideTheListRaiseTheListError) {
  std::vector<std::string> trace;
  Receiver a{&trace, "a"};
  TqvNotifyList list;
  EXPECT_THROW(list.GetCallback(0), EListError);
  EXPECT_THROW(list.Delete(0), EListError);
  list.Add(TLinkNotifyEvent(&a, &Receiver::OnNotify));
  EXPECT_THROW(list.GetCallback(1), EListError);
  EXPECT_THROW(list.GetCallback(-1), EListError);
  EXPECT_THROW(list.Delete(1), EListError);
  EXPECT_EQ(list.Count(), 1);
}

TEST(NotifyList, NotifyCallsInTheOrderAdded) {
  std::vector<std::string> trace;
  Receiver a{&trace, "a"}, b{&trace, "b"}, c{&trace, "c"};
  TqvNotifyList list;
  list.Notify(nullptr, 2);  // empty: nothing
  EXPECT_TRUE(trace.empty());
  list.Add(TLinkNotifyEvent(&c, &Receiver::OnNotify));
  list.Add(TLinkNotifyEvent(&a, &Receiver::OnNotify));
  list.Add(TLinkNotifyEvent(&b, &Receiver::OnNotify));
  list.Notify(nullptr, 3);
  EXPECT_EQ(trace, (std::vector<std::string>{"c3", "a3", "b3"}));
}

TEST(NotifyList, CallbacksChangingTheListDuringNotify) {
  std::vector<std::string> trace;
  TqvNotifyList list;
  Receiver remover{&trace, "r", &list}, victim{&trace, "v"}, adder{&trace, "add", &list}, late{&trace, "late"};
  remover.toRemove = TLinkNotifyEvent(&victim, &Receiver::OnNotify);
  adder.toAdd = TLinkNotifyEvent(&late, &Receiver::OnNotify);
  list.Add(TLinkNotifyEvent(&remover, &Receiver::RemoveAnother));
  list.Add(TLinkNotifyEvent(&adder, &Receiver::AddAnother));
  list.Add(TLinkNotifyEvent(&victim, &Receiver::OnNotify));
  list.Notify(nullptr, 1);
  // The removed one is not called, the added one only from the next walk on.
  EXPECT_EQ(trace, (std::vector<std::string>{"r1", "add1"}));
  EXPECT_EQ(list.Count(), 3);
  trace.clear();
  list.Notify(nullptr, 2);
  EXPECT_EQ(trace, (std::vector<std::string>{"r2", "add2", "late2"}));
}

// ---- timer -----------------------------------------------------------------------------------

class TimerTest : public ::testing::Test {
 protected:
  TApplication app;
  int fires = 0;
  DWORD firstFireTick = 0;
  bool failInHandler = false;
  bool disableInHandler = false;

  void OnTimer(TObject* Sender) {
    if (++fires == 1) firstFireTick = GetTickCount();
    if (disableInHandler) static_cast<TqvTimer*>(Sender)->SetEnabled(false);
    if (failInHandler) throw Exception("handler failed");
  }
  TNotifyEvent Handler() { return TNotifyEvent(this, &TimerTest::OnTimer); }

  // Runs the application's loop for about ms milliseconds, calling step every stepMs.
  template <class Step>
  void RunFor(DWORD ms, DWORD stepMs, Step step) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
      app.WaitAndProcess(stepMs);
      step();
    }
  }
  void RunFor(DWORD ms) {
    RunFor(ms, 20, [] {});
  }
  // Runs the loop until pred holds or ms pass.
  template <class Pred>
  bool RunUntil(DWORD ms, Pred pred) {
    const DWORD start = GetTickCount();
    while (!pred() && GetTickCount() - start < ms) app.WaitAndProcess(20);
    return pred();
  }
};

TEST_F(TimerTest, DefaultsAndNoSystemTimerWithoutHandler) {
  TqvTimer timer;
  EXPECT_EQ(timer.Interval(), 1000u);
  EXPECT_TRUE(timer.Enabled());
  EXPECT_FALSE(timer.OnTimer().Assigned());
  EXPECT_TRUE(IsWindow(timer.Window()));
  // No handler: the system timer must not be running (KillTimer finds nothing to kill).
  EXPECT_FALSE(KillTimer(timer.Window(), 1));
}

TEST_F(TimerTest, FiresEveryPeriodOnTheLoop) {
  TqvTimer timer;
  timer.SetInterval(30);
  timer.SetOnTimer(Handler());
  EXPECT_TRUE(RunUntil(5000, [&] { return fires >= 3; }));
  timer.SetEnabled(false);
  const int seen = fires;
  RunFor(150);
  EXPECT_EQ(fires, seen);  // disabled: no more periods
}

TEST_F(TimerTest, IntervalZeroNeverFires) {
  TqvTimer timer;
  timer.SetInterval(0);
  timer.SetOnTimer(Handler());
  timer.SetEnabled(false);
  timer.SetEnabled(true);
  RunFor(300);
  EXPECT_EQ(fires, 0);
  // Setting a period starts it.
  timer.SetInterval(20);
  EXPECT_TRUE(RunUntil(5000, [&] { return fires >= 1; }));
  timer.SetInterval(0);
  const int seen = fires;
  RunFor(150);
  EXPECT_EQ(fires, seen);
}

TEST_F(TimerTest, EnablingAnEnabledTimerDoesNotRestartIt) {
  TqvTimer timer;
  timer.SetInterval(300);
  timer.SetOnTimer(Handler());
  // Re-enabling every 20 ms would keep a restarting timer from ever reaching 300 ms.
  RunFor(3000, 20, [&] {
    if (fires == 0) timer.SetEnabled(true);
  });
  EXPECT_GE(fires, 1);
}

TEST_F(TimerTest, DisablingThenEnablingRestartsThePeriod) {
  TqvTimer timer;
  timer.SetInterval(1000);
  timer.SetOnTimer(Handler());
  RunFor(1800, 20, [&] {
    timer.SetEnabled(false);
    timer.SetEnabled(true);
  });
  EXPECT_EQ(fires, 0);
  // Left alone it fires after its period.
  const DWORD start = GetTickCount();
  EXPECT_TRUE(RunUntil(6000, [&] { return fires >= 1; }));
  EXPECT_GE(firstFireTick - start, 900u);
}

TEST_F(TimerTest, SettingTheSameHandlerRestartsThePeriod) {
  TqvTimer timer;
  timer.SetInterval(1000);
  timer.SetOnTimer(Handler());
  RunFor(1800, 20, [&] { timer.SetOnTimer(Handler()); });
  EXPECT_EQ(fires, 0);
  EXPECT_TRUE(RunUntil(6000, [&] { return fires >= 1; }));
}

TEST_F(TimerTest, SettingTheSameIntervalDoesNotRestart) {
  TqvTimer timer;
  timer.SetInterval(300);
  timer.SetOnTimer(Handler());
  RunFor(3000, 20, [&] {
    if (fires == 0) timer.SetInterval(300);
  });
  EXPECT_GE(fires, 1);
}

TEST_F(TimerTest, ARaisingHandlerDoesNotStopTheTimerOrTheLoop) {
  TqvTimer timer;
  failInHandler = true;
  timer.SetInterval(20);
  timer.SetOnTimer(Handler());
  EXPECT_NO_THROW(EXPECT_TRUE(RunUntil(5000, [&] { return fires >= 2; })));
}

TEST_F(TimerTest, AOneShotDisablesItselfInItsHandler) {
  TqvTimer timer;
  disableInHandler = true;
  timer.SetInterval(20);
  timer.SetOnTimer(Handler());
  EXPECT_TRUE(RunUntil(5000, [&] { return fires >= 1; }));
  RunFor(200);
  EXPECT_EQ(fires, 1);
  EXPECT_FALSE(timer.Enabled());
}

TEST_F(TimerTest, DestructionStopsTheTimerAndReleasesTheWindow) {
  HWND window;
  {
    TqvTimer timer;
    timer.SetInterval(20);
    timer.SetOnTimer(Handler());
    window = timer.Window();
    EXPECT_TRUE(RunUntil(5000, [&] { return fires >= 1; }));
  }
  EXPECT_FALSE(IsWindow(window));
  const int seen = fires;
  RunFor(150);
  EXPECT_EQ(fires, seen);
}

}  // namespace
