// The Qt-backed toolkit pieces: the hosted main loop, the device box, the port-settings dialog
// and the multi-line edit control.
#include "comm/serialcomm.h"
#include "log/qvlogfile.h"
#include "platform/qt/forms.h"
#include "platform/serial/nullmodem.h"
#include "platform/system/portmap.h"
#include "ports/qvcommbox.h"
#include "support/fake_sysfs.h"
#include "support/qt_app.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>

#include <gtest/gtest.h>

#include <thread>

using qv::platform::CreateNullModemPair;
using qv::platform::NullModemPair;
using qv::test::AnswerDialog;
using qv::test::GuiApp;
using qv::test::Counter;
using qv::test::PumpUntil;

namespace {

// ---- hosted loop -----------------------------------------------------------------------------

TEST(GuiHost, PostedMessagesAndTimersRunInQtsLoopAndExceptionsAreShown) {
  GuiApp();
  qv::test::MessageBoxRecorder boxes;
  std::vector<WPARAM> seen;
  struct Handler : TObject {
    std::vector<WPARAM>* seen;
    void Wnd(TMessage& m) {
      if (m.Msg == WM_TIMER) {
        seen->push_back(1000);
        return;
      }
      seen->push_back(m.WParam);
      if (m.WParam == 2) throw Exception("Port COM9 is not there");
    }
  } handler;
  handler.seen = &seen;
  HWND wnd = AllocateHWnd(MakeMethod(&handler, &Handler::Wnd));
  for (WPARAM i = 1; i <= 3; ++i) PostMessageA(wnd, WM_USER, i, 0);
  ASSERT_TRUE(PumpUntil([&] { return seen.size() >= 3; }));
  // The failing handler's exception went to the exception box; the message behind it still ran.
  EXPECT_EQ(seen, (std::vector<WPARAM>{1, 2, 3}));
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, "Port COM9 is not there.");
  EXPECT_EQ(boxes.boxes[0].type & MB_ICONMASK, MB_ICONSTOP);

  SetTimer(wnd, 1, 20, nullptr);
  EXPECT_TRUE(PumpUntil([&] { return seen.size() >= 5; }));
  KillTimer(wnd, 1);
  DeallocateHWnd(wnd);
}

// ---- device box ------------------------------------------------------------------------------

class DeviceBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GuiApp();
    for (int n : {3, 5}) Map(n);
    comm_ = new TqvCustomSerialComm(nullptr);
    comm_->SetComPortNo(5);
    box_ = new TqvDeviceBox(nullptr);
    box_->OnChange = MakeMethod(&counter_, &Counter::Changed);
  }
  void TearDown() override {
    Free(box_);
    Free(comm_);
  }
  void Map(int n) {
    auto pair = CreateNullModemPair("box" + std::to_string(n));
    ASSERT_TRUE(pair);
    DWORD error = 0;
    ASSERT_TRUE(qv::platform::AddUserMapping(unsigned(n), pair->PortName(NullModemPair::kA), error)) << error;
    pairs_.push_back(pair);
  }
  std::vector<std::string> Items() {
    std::vector<std::string> v;
    for (int i = 0; i < box_->Items().Count(); ++i) v.push_back(box_->Items()[i]);
    return v;
  }
  QComboBox* Combo() { return static_cast<QComboBox*>(box_->Widget()); }

  qv::test::FakeSysfs tree_;
  std::vector<std::shared_ptr<NullModemPair>> pairs_;
  TqvCustomSerialComm* comm_ = nullptr;
  TqvDeviceBox* box_ = nullptr;
  Counter counter_;
};

TEST_F(DeviceBoxTest, LinkFillsAndSelectsDeviceChangesReloadWithoutOnChange) {
  EXPECT_FALSE(Combo()->isEditable());  // a drop-down list
  box_->SetqvComm(comm_);
  EXPECT_EQ(Items(), (std::vector<std::string>{"COM3", "COM5"}));
  EXPECT_EQ(box_->ItemIndex(), 1);
  EXPECT_EQ(Combo()->currentText().toStdString(), "COM5");
  EXPECT_EQ(box_->Items().Objects(1), comm_->GetDevice(1));

  Map(4);  // a device arrives
  TMessage m{WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, 0};
  EXPECT_TRUE(box_->HandleDeviceChange(m));
  EXPECT_EQ(Items(), (std::vector<std::string>{"COM3", "COM4", "COM5"}));
  EXPECT_EQ(box_->ItemIndex(), 2);
  DEV_BROADCAST_HDR volume{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_VOLUME, 0};
  TMessage arrival{WM_DEVICECHANGE, DBT_DEVICEARRIVAL, LPARAM(&volume), 0};
  EXPECT_FALSE(box_->HandleDeviceChange(arrival));

  ASSERT_TRUE(qv::platform::RemoveUserMapping(4));
  comm_->DevicesChanged();
  EXPECT_EQ(Items(), (std::vector<std::string>{"COM3", "COM5"}));
  EXPECT_EQ(counter_.changes, 0);
}

TEST_F(DeviceBoxTest, PickSwitchesTheOpenPortThenRaisesOnChangeOnce) {
  box_->SetqvComm(comm_);
  pairs_[1]->SetLines(NullModemPair::kB, true, true);
  comm_->SetActive(true);
  ASSERT_TRUE(comm_->Active());
  box_->Pick(0);
  EXPECT_EQ(comm_->ComPortNo(), 3);
  EXPECT_TRUE(comm_->Active());
  EXPECT_TRUE(pairs_[0]->IsOpen(NullModemPair::kA));
  EXPECT_FALSE(pairs_[1]->IsOpen(NullModemPair::kA));
  EXPECT_EQ(box_->ItemIndex(), 0);
  EXPECT_EQ(counter_.changes, 1);
  comm_->SetActive(false);
}

TEST_F(DeviceBoxTest, UnlinkRelinkAndDestructionOfTheLink) {
  box_->Pick(0);  // unlinked and empty: nothing
  EXPECT_EQ(counter_.changes, 0);

  box_->SetqvComm(comm_);
  auto* other = new TqvCustomSerialComm(nullptr);
  other->SetComPortNo(3);
  box_->SetqvComm(other);
  EXPECT_EQ(box_->ItemIndex(), 0);
  comm_->SetComPortNo(5);  // the old link no longer reaches the box
  EXPECT_EQ(box_->ItemIndex(), 0);
  box_->Pick(1);
  EXPECT_EQ(other->ComPortNo(), 5);
  EXPECT_EQ(comm_->ComPortNo(), 5);

  Free(other);  // the box forgets it and keeps its items
  EXPECT_EQ(box_->qvComm(), nullptr);
  EXPECT_EQ(box_->ItemIndex(), -1);
  EXPECT_EQ(Items().size(), 2u);
  TMessage m{WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, 0};
  EXPECT_FALSE(box_->HandleDeviceChange(m));

  box_->SetqvComm(comm_);
  box_->SetqvComm(nullptr);
  EXPECT_TRUE(Items().empty());
  EXPECT_EQ(box_->ItemIndex(), -1);
}

// ---- port-settings dialog ----------------------------------------------------------------------

TEST(GuiPortSettingsDialog, OkWritesTheRecordCancelLeavesIt) {
  GuiApp();
  COMMCONFIG cfg{};
  cfg.dcb.BaudRate = 9600;
  cfg.dcb.ByteSize = 8;
  cfg.dcb.Flags = DCB_fBinary | 0x2015;  // hardware flow
  const COMMCONFIG before = cfg;

  AnswerDialog([](QDialog* d) { d->findChild<QComboBox*>("BaudRate")->setCurrentIndex(0); }, false);
  EXPECT_FALSE(CommConfigDialogA("COM4", GetForegroundWindow(), &cfg));
  EXPECT_EQ(std::memcmp(&cfg, &before, sizeof cfg), 0);

  AnswerDialog(
      [](QDialog* d) {
        EXPECT_EQ(d->findChild<QComboBox*>("FlowControl")->currentIndex(), 2);
        d->findChild<QComboBox*>("BaudRate")->setEditText("250000");  // not in the list
        d->findChild<QComboBox*>("DataBits")->setCurrentIndex(2);
        d->findChild<QComboBox*>("Parity")->setCurrentIndex(2);
        d->findChild<QComboBox*>("StopBits")->setCurrentIndex(2);
        d->findChild<QComboBox*>("FlowControl")->setCurrentIndex(1);
      },
      true);
  EXPECT_TRUE(CommConfigDialogA("COM4", 0, &cfg));
  EXPECT_EQ(cfg.dcb.BaudRate, 250000u);
  EXPECT_EQ(cfg.dcb.ByteSize, 7);
  EXPECT_EQ(cfg.dcb.Parity, EVENPARITY);
  EXPECT_EQ(cfg.dcb.StopBits, TWOSTOPBITS);
  EXPECT_EQ(cfg.dcb.Flags & (DCB_fOutX | DCB_fInX | DCB_fOutxCtsFlow), DCB_fOutX | DCB_fInX);
}

// ---- multi-line edit ---------------------------------------------------------------------------

TEST(GuiMemo, CharactersAndInsertedTextGoThroughWindowProcToTheWidget) {
  GuiApp();
  TMemo memo(nullptr);
  std::vector<WPARAM> typed;
  struct Hook : TObject {
    TWndMethod saved;
    std::vector<WPARAM>* typed = nullptr;
    void Wnd(TMessage& m) {
      if (m.Msg == WM_CHAR) typed->push_back(m.WParam);
      saved(m);
    }
  } hook;
  hook.saved = memo.WindowProc;
  hook.typed = &typed;
  memo.WindowProc = MakeMethod(&hook, &Hook::Wnd);

  QKeyEvent a(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
  QKeyEvent back(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
  QKeyEvent b(QEvent::KeyPress, Qt::Key_B, Qt::NoModifier, "b");
  for (QKeyEvent* e : {&a, &back, &b}) QCoreApplication::sendEvent(memo.Widget(), e);
  EXPECT_EQ(typed, (std::vector<WPARAM>{'a', '\b', 'b'}));
  SendMessageA(memo.Handle(), EM_REPLACESEL, 0, LPARAM("12\r\n34"));
  EXPECT_EQ(memo.Text(), "b12\n34");
  EXPECT_EQ(static_cast<QPlainTextEdit*>(memo.Widget())->toPlainText().toStdString(), "b12\n34");
  memo.SetText("x");
  SendMessageA(memo.Handle(), WM_CHAR, 'y', 1);
  EXPECT_EQ(memo.Text(), "xy");
  memo.WindowProc = hook.saved;
}

TEST(GuiMemo, LogLinesFromAnyThreadReachTheControl) {
  GuiApp();
  qv::test::FakeSysfs tree;  // a folder of this test for the log file
  TMemo memo(nullptr);
  TqvLogFile log(nullptr);
  log.SetOptions(0);
  log.SetFileName((tree.Dir() / "memo.log").string());
  log.SetVisualOut(&memo);
  log.AddLine("from the main thread");
  EXPECT_NE(memo.Text().find("from the main thread"), std::string::npos) << memo.Text();
  std::thread([&] { log.AddLine("from a port thread"); }).join();
  EXPECT_TRUE(PumpUntil([&] { return memo.Text().find("from a port thread") != std::string::npos; })) << memo.Text();
  log.SetVisualOut(nullptr);
}

}  // namespace
