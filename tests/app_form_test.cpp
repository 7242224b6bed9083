// The demo form as a user meets it: its controls after loading, and the scanner switched on and
// off through the check box with a pseudo-terminal (or a virtual null-modem) as the port.
#include "app/settings.h"
#include "app/unit1.h"
#include "platform/serial/nullmodem.h"
#include "platform/system/portmap.h"
#include "support/fake_sysfs.h"
#include "support/pty.h"
#include "support/qt_app.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLineEdit>
#include <QListView>
#include <QRadioButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QWidget>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>
#include <sstream>

using qv::platform::AddUserMapping;
using qv::platform::RemoveUserMapping;
using qv::test::AnswerDialog;
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
  std::string Status() { return form_->StatusBar1->Notice(); }
  void Scan(const std::vector<std::string>& codes) {
    for (const std::string& c : codes) form_->qvBarCodeScan1BarCode(form_->qvBarCodeScan1, c);
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
                               {"Button1", 176, 32, 75, 25, 1},  {"ListBox1", 0, 110, 303, 150, 2},
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
  // Below the list, the status line; the window starts at its defined size.
  EXPECT_EQ(f.StatusBar1->Widget()->geometry(), QRect(0, 260, 303, 18));
  EXPECT_FALSE(f.Widget()->windowIcon().isNull());
  EXPECT_EQ(f.StateText(), "0 codes · COM1 not present");
}

TEST_F(FormTest, TheListTakesTheRoomOfAResizedWindow) {
  form_->Show();
  form_->Widget()->resize(500, 400);
  qv::test::PumpFor(20);
  EXPECT_EQ(form_->ListBox1->Widget()->geometry(), QRect(0, 110, 500, 272));
  EXPECT_EQ(form_->Label1->Widget()->geometry(), QRect(0, 97, 500, 13));
  EXPECT_EQ(form_->StatusBar1->Widget()->geometry(), QRect(0, 382, 500, 18));
}

// The newest code stays in view while the user has not scrolled up; scrolled up, the list stays
// where the user put it until scrolled back to the end.
TEST_F(FormTest, TheListFollowsTheNewestCodeUnlessScrolledUp) {
  form_->Show();
  auto* bar = static_cast<QListView*>(form_->ListBox1->Widget())->verticalScrollBar();
  auto scan = [&](int n) {
    const int count = form_->ListBox1->Items().Count() + n;
    for (int i = 0; i < n; ++i) Scan({std::to_string(count - n + i)});
    qv::test::PumpFor(50);
  };
  scan(50);
  ASSERT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
  bar->setValue(3);  // the user scrolls up to read
  scan(20);
  EXPECT_EQ(bar->value(), 3);
  bar->setValue(bar->maximum());  // and back to the end
  scan(20);
  EXPECT_EQ(bar->value(), bar->maximum());
}

TEST_F(FormTest, TheListsMenuCopiesSavesAndClears) {
  Scan({"4006381333931", "ABC,1", "say \"hi\""});
  form_->ListBox1->SetSelected(0, true);
  form_->ListBox1->SetSelected(2, true);
  form_->PopupMenu1->OnPopup(form_->PopupMenu1);
  EXPECT_TRUE(form_->CopySelected1->Enabled());
  form_->CopySelected1->Click();
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "4006381333931\nsay \"hi\"\n");
  form_->CopyAll1->Click();
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "4006381333931\nABC,1\nsay \"hi\"\n");

  const std::string text = (tree_.Dir() / "codes.txt").string(), csv = (tree_.Dir() / "codes.csv").string();
  ASSERT_TRUE(form_->SaveCodes(text, false));
  ASSERT_TRUE(form_->SaveCodes(csv, true));
  auto read = [](const std::string& path) {
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), {});
  };
  EXPECT_EQ(read(text), "4006381333931\nABC,1\nsay \"hi\"\n");
  // One row per code with the time it came; a field with a comma or a quote is quoted.
  std::istringstream rows(read(csv));
  std::vector<std::string> lines;
  for (std::string line; std::getline(rows, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u) << read(csv);
  EXPECT_EQ(lines[0], "code,time");
  const std::string fields[] = {"4006381333931,", "\"ABC,1\",", "\"say \"\"hi\"\"\","};
  for (int i = 0; i < 3; ++i) {
    const std::string& line = lines[std::size_t(i) + 1];
    ASSERT_TRUE(line.starts_with(fields[i])) << line;
    const std::string time = line.substr(fields[i].size());  // 2026-12-08 01:02:03.456
    ASSERT_EQ(time.size(), 23u) << line;
    EXPECT_TRUE(time[4] == '-' && time[10] == ' ' && time[13] == ':' && time[19] == '.') << line;
  }
  EXPECT_FALSE(form_->SaveCodes((tree_.Dir() / "no" / "such.txt").string(), false));
  EXPECT_NE(Status().find("Cannot write"), std::string::npos) << Status();

  form_->Clear1->Click();
  EXPECT_EQ(form_->ListBox1->Items().Count(), 0);
  EXPECT_EQ(form_->StateText(), "0 codes · COM1 not present");
  form_->PopupMenu1->OnPopup(form_->PopupMenu1);
  EXPECT_FALSE(form_->CopyAll1->Enabled());
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

// Digits-only framing (the form's own) drops letters, and says so once; whole lines, chosen on
// the settings dialog's page, list them.
TEST_F(FormTest, LettersDroppedAreToldOnceAndWholeLinesKeepThem) {
  PtyPair pty;
  Map(1, pty.slave());
  Tick(true);
  EXPECT_EQ(form_->StateText(), "0 codes · COM1 open at 9600 8N1");
  pty.Write("ABC-123\r");
  ASSERT_TRUE(PumpUntil([&] { return form_->ListBox1->Items().Count() == 1; }));
  EXPECT_EQ(form_->ListBox1->Items()[0], "123");
  EXPECT_NE(Status().find("Letters were dropped"), std::string::npos) << Status();
  form_->qvDeviceBox3->Pick(0);  // the message goes with the next action ...
  pty.Write("XYZ-9\r");
  ASSERT_TRUE(PumpUntil([&] { return form_->ListBox1->Items().Count() == 2; }));
  EXPECT_EQ(Status().find("Letters were dropped"), std::string::npos) << Status();  // ... and is told once

  AnswerDialog(
      [](QDialog* d) {
        d->findChild<QTabWidget*>("Pages")->setCurrentIndex(1);
        d->findChild<QRadioButton*>("WholeLines")->setChecked(true);
        d->findChild<QLineEdit*>("IgnoreChars")->setText("\\x7F");
      },
      true);
  form_->Button1->Click();
  // The notice's row went with the dialog: the label is above the list again, at its place.
  EXPECT_EQ(form_->Label1->Widget()->geometry(), QRect(0, 97, 303, 13));
  EXPECT_EQ(form_->ListBox1->Widget()->geometry(), QRect(0, 110, 303, 150));
  TqvBarCodeScan& s = *form_->qvBarCodeScan1;
  EXPECT_EQ(s.Options(), (TBarcodeOptions{boAutoDetect, boAnyChars, boUseEndChar}));
  EXPECT_EQ(s.IgnoreChars(), "\x7F");
  EXPECT_TRUE(s.WholeLines());
  // CR LF, LF alone (its CR comes in another block) and CR alone each end one line; a pause
  // inside a line does not end it.
  pty.Write("SKU 4006381333931\r");
  qv::test::PumpFor(100);
  pty.Write("\nhttps://example.com/a?b=1\nAB");
  qv::test::PumpFor(150);
  pty.Write("C-1\r");
  ASSERT_TRUE(PumpUntil([&] { return form_->ListBox1->Items().Count() == 5; }));
  EXPECT_EQ(form_->ListBox1->Items()[2], "SKU 4006381333931");
  EXPECT_EQ(form_->ListBox1->Items()[3], "https://example.com/a?b=1");
  EXPECT_EQ(form_->ListBox1->Items()[4], "ABC-1");
  qv::test::PumpFor(100);  // the line feeds give no empty codes
  EXPECT_EQ(form_->ListBox1->Items().Count(), 5);
}

// The page shows the scanner's framing and gives it back unchanged: the form's own first-run
// framing survives an OK without changes.
TEST_F(FormTest, ThePageKeepsTheFirstRunFramingAndCancelChangesNothing) {
  TqvBarCodeScan& s = *form_->qvBarCodeScan1;
  AnswerDialog([](QDialog*) {}, true);
  form_->Button1->Click();
  EXPECT_EQ(s.Options(), TBarcodeOptions{boAutoDetect});
  EXPECT_EQ(s.CharEnd(), 13);
  EXPECT_EQ(s.IgnoreChars(), "");
  AnswerDialog([](QDialog* d) { d->findChild<QRadioButton*>("WholeLines")->setChecked(true); }, false);
  form_->Button1->Click();
  EXPECT_EQ(s.Options(), TBarcodeOptions{boAutoDetect});
  const struct {
    TScannerChoice choice;
    TBarcodeOptions options;
    std::string ignore;
  } cases[] = {
      {{true, 0, 10, 80, 1000, "", false}, {boAutoDetect, boAnyChars, boUseEndChar}, ""},
      {{true, 2, 3, 0, 500, "-", false}, {boAutoDetect, boAnyChars, boUseEndChar, boUseBeginChar}, "-"},
      {{true, 0, 0, 50, 0, "", false}, {boAutoDetect, boAnyChars}, ""},
      {{false, 0, '9', 50, 1000, "0", false}, {boAutoDetect, boUseEndChar}, "0"},
  };
  for (const auto& c : cases) {
    ApplyChoice(s, c.choice);
    EXPECT_EQ(s.Options(), c.options);
    EXPECT_EQ(s.WholeLines(), c.choice.WholeLines);
    EXPECT_EQ(s.IgnoreChars(), c.ignore);
    EXPECT_EQ(ChoiceOf(s), c.choice);
  }
  std::string chars;
  EXPECT_TRUE(ParseChars("a\\r\\n\\t\\x02\\\\", chars));
  EXPECT_EQ(chars, "a\r\n\t\x02\\");
  EXPECT_EQ(CharsText(chars), "a\\r\\n\\t\\x02\\\\");
  EXPECT_FALSE(ParseChars("\\x4", chars));
  EXPECT_FALSE(ParseChars("\\q", chars));
}

// The port, its line settings, the framing and the reopen choice come back at the next start.
TEST_F(FormTest, SettingsAreRememberedBetweenRuns) {
  PtyPair pty;
  Map(2, pty.slave());
  form_->qvDeviceBox3->Pick(0);
  TqvBarCodeScan& s = *form_->qvBarCodeScan1;
  s.SetBaudRate(19200);
  s.SetParity(pEven);
  ApplyChoice(s, {true, 2, 10, 120, 700, "#", true});
  form_->SetReopenOnReturn(true);
  form_->Close();  // remembers
  Free(form_);
  form_ = new TForm1(nullptr);
  TqvBarCodeScan& r = *form_->qvBarCodeScan1;
  EXPECT_EQ(r.ComPortNo(), 2);
  EXPECT_EQ(r.BaudRate(), 19200u);
  EXPECT_EQ(r.Parity(), pEven);
  EXPECT_EQ(ChoiceOf(r), (TScannerChoice{true, 2, 10, 120, 700, "#", false}));
  EXPECT_TRUE(form_->ReopenOnReturn());
  EXPECT_EQ(form_->qvDeviceBox3->ItemIndex(), 0);
}

TEST_F(FormTest, APortThatIsNotPresentIsToldAtStart) {
  PtyPair pty;
  Map(3, pty.slave());
  form_->qvBarCodeScan1->SetComPortNo(99);
  form_->CheckPortPresent();
  EXPECT_NE(Status().find("COM99 is not present"), std::string::npos) << Status();
  EXPECT_EQ(form_->StateText(), "0 codes · COM99 not present");
  // The box's items keep their text; what each port is is its tool tip and the status line's.
  form_->qvDeviceBox3->Pick(0);
  EXPECT_EQ(form_->qvDeviceBox3->Items()[0], "COM3");
  const std::string hint = form_->qvDeviceBox3->DeviceHint(0);
  EXPECT_NE(hint.find(pty.slave()), std::string::npos) << hint;
  EXPECT_EQ(form_->StatusBar1->Text(), hint);
  EXPECT_EQ(Status(), "");
}

// The open port vanishes: the box unticks; when the same COM number comes back, the port is
// reopened when the user chose so, and the status line says what happened.
TEST_F(FormTest, AVanishedPortComesBack) {
  for (const bool reopen : {false, true}) {
    SCOPED_TRACE(reopen);
    auto pair = qv::platform::CreateNullModemPair(reopen ? "form-back-1" : "form-back-0");
    ASSERT_TRUE(pair);
    Map(1, pair->PortName(qv::platform::NullModemPair::kA));
    form_->SetReopenOnReturn(reopen);
    Tick(true);
    pair->Vanish();
    ASSERT_TRUE(PumpUntil([&] { return !form_->CheckBox1->Checked(); }));
    DeviceChange();
    EXPECT_EQ(form_->StateText(), "0 codes · COM1 gone");
    auto back = qv::platform::CreateNullModemPair(reopen ? "form-back-1b" : "form-back-0b");
    Map(1, back->PortName(qv::platform::NullModemPair::kA));
    EXPECT_EQ(form_->qvBarCodeScan1->Active(), reopen);
    EXPECT_EQ(form_->CheckBox1->Checked(), reopen);
    EXPECT_NE(Status().find(reopen ? "COM1 came back and was reopened" : "COM1 is back"), std::string::npos) << Status();
    if (reopen) Tick(false);
  }
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
  EXPECT_TRUE(PumpUntil([&] { return Log().find("the device went away (COM1)") != std::string::npos; })) << Log();
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
