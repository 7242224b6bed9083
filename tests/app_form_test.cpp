// The demo form as a user meets it: its controls after loading, and the scanner switched on and
// off through the check box with a pseudo-terminal (or a virtual null-modem) as the port.
#include "app/unit1.h"
#include "platform/serial/nullmodem.h"
#include "platform/system/portmap.h"
#include "support/fake_sysfs.h"
#include "support/pty.h"
#include "support/qt_app.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QWidget>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <sstream>

using qv::platform::AddUserMapping;
using qv::platform::RemoveUserMapping;
using qv::test::PtyPair;
using qv::test::Counter;
using qv::test::PumpUntil;

namespace {

class FormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form_ = new TForm1(nullptr);
    // Each test keeps its own log, in its own folder.
    log_ = (tree_.Dir() / "form.log").string();
    form_->qvLogFile1->SetOptions(TLogOptions(form_->qvLogFile1->Options() & ~loAutoFileName));
    form_->qvLogFile1->SetFileName(log_);
  }
  void TearDown() override {
    if (!form_) return;
    form_->Close();
    Free(form_);
  }
  void Map(int n, const std::string& device) {
    DWORD error = 0;
    ASSERT_TRUE(AddUserMapping(unsigned(n), device, error)) << error;
    DeviceChange();
  }
  // What the hot-plug watcher sends: the form's window gets WM_DEVICECHANGE.
  void DeviceChange() {
    PostMessageA(form_->Handle(), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    qv::test::PumpFor(20);
  }
  void Tick(bool on) {
    static_cast<QCheckBox*>(form_->CheckBox1->Widget())->click();
    EXPECT_EQ(form_->CheckBox1->Checked(), on);
  }
  std::vector<std::string> Items(TStrings& s) {
    std::vector<std::string> v;
    for (int i = 0; i < s.Count(); ++i) v.push_back(s[i]);
    return v;
  }
  std::string Log() {
    std::ifstream f(log_);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }

  qv::platform::TGuiApplication& app_ = qv::test::GuiApp();  // before the recorder replaces its box
  qv::test::FakeSysfs tree_;
  qv::test::MessageBoxRecorder boxes_;
  TForm1* form_ = nullptr;
  std::string log_;
};

struct Geometry {
  const char* name;
  int left, top, width, height, tabOrder;
};

TEST_F(FormTest, ControlsGeometryAndValuesAfterLoading) {
  TForm1& f = *form_;
  EXPECT_EQ(f.ClientWidth(), 303);
  EXPECT_EQ(f.ClientHeight(), 278);
  EXPECT_EQ(f.Widget()->windowTitle().toStdString(), "Barcode Scanner Demo - qvComm Lib");
  EXPECT_EQ(f.Widget()->font().pixelSize(), 11);
  EXPECT_EQ(f.Widget()->font().family(), QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
  const Geometry expected[] = {{"Label1", 0, 97, 303, 13, -1},    {"CheckBox1", 16, 8, 97, 17, 0},
                               {"Button1", 176, 32, 75, 25, 1},  {"ListBox1", 0, 110, 303, 168, 2},
                               {"qvDeviceBox3", 16, 32, 145, 21, 3}};
  QWidget* chain = f.CheckBox1->Widget();
  for (const Geometry& g : expected) {
    SCOPED_TRACE(g.name);
    auto* c = dynamic_cast<TWidgetControl*>(f.FindComponent(g.name));
    ASSERT_NE(c, nullptr);
    const QRect r = c->Widget()->geometry();
    EXPECT_EQ(r, QRect(g.left, g.top, g.width, g.height));
    EXPECT_EQ(c->TabOrder(), g.tabOrder);
    EXPECT_FALSE(c->IsLoading());
  }
  // Tab goes CheckBox1, Button1, ListBox1, qvDeviceBox3.
  for (TWidgetControl* next : std::initializer_list<TWidgetControl*>{f.Button1, f.ListBox1, f.qvDeviceBox3}) {
    chain = chain->nextInFocusChain();
    while (chain->focusPolicy() == Qt::NoFocus || chain->parentWidget() != f.Widget()) chain = chain->nextInFocusChain();
    EXPECT_EQ(chain, next->Widget());
  }
  EXPECT_EQ(f.Label1->Caption(), "Received Barcodes:");
  EXPECT_EQ(f.CheckBox1->Caption(), "Active");
  EXPECT_FALSE(f.CheckBox1->Checked());
  EXPECT_EQ(f.Button1->Caption(), "Config port");
  EXPECT_EQ(f.ListBox1->Items().Count(), 0);
  EXPECT_EQ(f.ListBox1->ItemHeight(), 13);

  EXPECT_EQ(f.qvDeviceBox3->qvComm(), f.qvBarCodeScan1);
  EXPECT_FALSE(f.qvDeviceBox3->ResetOnChanged());
  EXPECT_FALSE(static_cast<QComboBox*>(f.qvDeviceBox3->Widget())->isEditable());
  TqvBarCodeScan& s = *f.qvBarCodeScan1;
  EXPECT_EQ(s.Log(), f.qvLogFile1);
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(s.CharEnd(), 13);
  EXPECT_EQ(s.Timeout(), 50u);
  EXPECT_EQ(s.Options(), TBarcodeOptions{boAutoDetect});
  EXPECT_EQ(s.BaudRate(), 9600u);
  EXPECT_EQ(s.Parity(), pNone);
  EXPECT_EQ(s.StopBits(), sbOne);
  EXPECT_EQ(s.ByteSize(), 8);
  EXPECT_EQ(s.ComPortNo(), 1);
  EXPECT_EQ(s.StreamProtocol(), spHardware);
  EXPECT_EQ(f.qvLogFile1->SizeLimit(), 20480u);
  EXPECT_EQ(f.qvLogFile1->DetailLevel(), dlSimple);
  // Only the log location was changed by the test.
  EXPECT_EQ(f.qvLogFile1->Options(), loSafeMode | loDate | loTime);
}

TEST_F(FormTest, TickOpensBarcodesListInOrderUntickCloses) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  Map(1, pty.slave());
  EXPECT_EQ(Items(form_->qvDeviceBox3->Items()), (std::vector<std::string>{"COM1"}));
  EXPECT_EQ(form_->qvDeviceBox3->ItemIndex(), 0);

  Tick(true);
  ASSERT_TRUE(form_->qvBarCodeScan1->Active());
  pty.Write("123\r456\r4006381333931");  // the last one ends by the time-out
  ASSERT_TRUE(PumpUntil([&] { return form_->ListBox1->Items().Count() == 3; }));
  pty.Write("123\r");  // the same code twice is listed twice
  ASSERT_TRUE(PumpUntil([&] { return form_->ListBox1->Items().Count() == 4; }));
  EXPECT_EQ(Items(form_->ListBox1->Items()), (std::vector<std::string>{"123", "456", "4006381333931", "123"}));

  Tick(false);
  EXPECT_FALSE(form_->qvBarCodeScan1->Active());
  const std::string log = Log();
  EXPECT_NE(log.find("The port COM1 succesful opened"), std::string::npos) << log;
  EXPECT_NE(log.find("The port is succesful closed"), std::string::npos) << log;
  EXPECT_EQ(log.find("DoBarcode"), std::string::npos) << log;
  EXPECT_TRUE(boxes_.boxes.empty());
}

TEST_F(FormTest, TickWithThePortMissingShowsTheErrorAndUnticks) {
  Tick(false);  // the click ticked it; the failed open unticked it again
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_NE(boxes_.boxes[0].text.find("COM1"), std::string::npos) << boxes_.boxes[0].text;
  EXPECT_FALSE(form_->qvBarCodeScan1->Active());
  EXPECT_NE(Log().find("Fatal Error: 1, 0, "), std::string::npos) << Log();
  EXPECT_EQ(form_->ListBox1->Items().Count(), 0);
}

// The road of a hot-plug: the watcher sees the port map change and the form's window gets
// WM_DEVICECHANGE; the box reloads without OnChange.
TEST_F(FormTest, DeviceChangeRefreshesTheBoxWithoutOnChange) {
  Counter counter;
  form_->qvDeviceBox3->OnChange = MakeMethod(&counter, &Counter::Changed);
  auto box = [&] { return Items(form_->qvDeviceBox3->Items()); };
  PtyPair one, two;
  DWORD error = 0;
  ASSERT_TRUE(AddUserMapping(1, one.slave(), error));
  ASSERT_TRUE(AddUserMapping(2, two.slave(), error));
  ASSERT_TRUE(PumpUntil([&] { return box() == std::vector<std::string>{"COM1", "COM2"}; }));
  EXPECT_EQ(form_->qvDeviceBox3->ItemIndex(), 0);
  ASSERT_TRUE(RemoveUserMapping(1));
  ASSERT_TRUE(PumpUntil([&] { return box() == std::vector<std::string>{"COM2"}; }));
  EXPECT_EQ(form_->qvDeviceBox3->ItemIndex(), -1);  // COM1 is gone
  // Any device-change message refreshes, whatever its event code.
  ASSERT_TRUE(AddUserMapping(1, one.slave(), error));
  form_->Perform(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
  EXPECT_EQ(box(), (std::vector<std::string>{"COM1", "COM2"}));
  EXPECT_EQ(counter.changes, 0);
}

TEST_F(FormTest, PickingAPortWhileActiveReopensOnIt) {
  PtyPair one, two;
  Map(1, one.slave());
  Map(2, two.slave());
  Tick(true);
  ASSERT_TRUE(form_->qvBarCodeScan1->Active());
  form_->qvDeviceBox3->Pick(1);
  EXPECT_EQ(form_->qvBarCodeScan1->ComPortNo(), 2);
  EXPECT_TRUE(form_->qvBarCodeScan1->Active());
  EXPECT_EQ(form_->qvDeviceBox3->ItemIndex(), 1);
  two.Write("77\r");
  ASSERT_TRUE(PumpUntil([&] { return form_->ListBox1->Items().Count() == 1; }));
  EXPECT_EQ(form_->ListBox1->Items()[0], "77");
  EXPECT_TRUE(form_->CheckBox1->Checked());
}

TEST_F(FormTest, ThePortVanishingWhileOpenUnticksTheBox) {
  auto pair = qv::platform::CreateNullModemPair("form-vanish");
  ASSERT_TRUE(pair);
  pair->SetLines(qv::platform::NullModemPair::kB, true, true);
  Map(1, pair->PortName(qv::platform::NullModemPair::kA));
  Tick(true);
  ASSERT_TRUE(form_->qvBarCodeScan1->Active());
  pair->Vanish();
  ASSERT_TRUE(PumpUntil([&] { return !form_->CheckBox1->Checked(); }));
  EXPECT_FALSE(form_->qvBarCodeScan1->Active());
  EXPECT_TRUE(PumpUntil([&] { return Log().find("The port is succesful closed") != std::string::npos; })) << Log();
}

TEST_F(FormTest, ClosingTheWindowUnderTrafficClosesThePortAndLogsIt) {
  PtyPair pty;
  Map(1, pty.slave());
  Tick(true);
  ASSERT_TRUE(form_->qvBarCodeScan1->Active());
  std::atomic<bool> stop{false};
  std::thread scanner([&] {  // about 1,000 barcodes a second
    for (int i = 0; !stop; ++i) {
      std::string burst;
      for (int k = 0; k < 10; ++k) burst += std::to_string(100000 + i * 10 + k) + "\r";
      pty.Write(burst.data(), burst.size(), 100);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  ASSERT_TRUE(PumpUntil([&] { return form_->ListBox1->Items().Count() >= 100; }));
  form_->Close();
  Free(form_);
  form_ = nullptr;
  stop = true;
  scanner.join();
  const std::string log = Log();
  // Each entry is a line break followed by the line: the log ends with the close line.
  EXPECT_TRUE(log.ends_with("The port is succesful closed"))
      << log;
}

}  // namespace
