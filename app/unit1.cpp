#include "app/unit1.h"

#include "app/settings.h"

#include <QClipboard>
#include <QDateTime>
#include <QFileDialog>
#include <QGuiApplication>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <utility>

TForm1* Form1 = nullptr;

namespace {
// Posted to the form by its OnClose handler: the check box follows the scanner's state.
constexpr UINT WM_SCANNER_CLOSED = WM_APP + 1;
// Posted once when the status line has something new to show.
constexpr UINT WM_STATUS_CHANGED = WM_APP + 2;
// The controls above the list end here (the label's top plus its height).
constexpr int kListTop = 110;
constexpr int kStatusHeight = 18;

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string PortText(WORD n) { return "COM" + std::to_string(n); }

// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}
}  // namespace

TForm1::TForm1(TComponent* AOwner) : TForm(AOwner) {
  LoadDefinition();
  AddExtras();
  RestoreSettings();
  // Without a watcher (no inotify instance left) the box is current after each restart only.
  FDeviceWatcher.Start(Handle());
}

void TForm1::Notification(TComponent* AComponent, TOperation Operation) {
  TForm::Notification(AComponent, Operation);
  if (Operation != opRemove) return;
  if (AComponent == qvBarCodeScan1) qvBarCodeScan1 = nullptr;
  if (AComponent == qvLogFile1) qvLogFile1 = nullptr;
  if (AComponent == qvDeviceBox3) qvDeviceBox3 = nullptr;
  if (AComponent == CheckBox1) CheckBox1 = nullptr;
  if (AComponent == ListBox1) ListBox1 = nullptr;
  if (AComponent == Button1) Button1 = nullptr;
  if (AComponent == Label1) Label1 = nullptr;
  if (AComponent == StatusBar1) StatusBar1 = nullptr;
  if (AComponent == PopupMenu1) PopupMenu1 = nullptr;
}

void TForm1::LoadDefinition() {
  TComponentLoader loader(this);
  SetName("Form1");
  SetPosition(235, 144);
  SetClientSize(303, 278);  // Width 311, Height 305 with the frame
  SetText("Barcode Scanner Demo - qvComm Lib");
  SetFont({"MS Sans Serif", 11});

  Label1 = loader.Add(new TLabel(this));
  Label1->SetName("Label1");
  Label1->SetParent(this);
  Label1->SetBounds(0, 97, 303, 13);
  Label1->SetAlign(alBottom);
  Label1->SetText("Received Barcodes:");

  CheckBox1 = loader.Add(new TCheckBox(this));
  CheckBox1->SetName("CheckBox1");
  CheckBox1->SetParent(this);
  CheckBox1->SetBounds(16, 8, 97, 17);
  CheckBox1->SetText("Active");
  CheckBox1->SetTabOrder(0);
  CheckBox1->OnClick = MakeMethod(this, &TForm1::CheckBox1Click);

  Button1 = loader.Add(new TButton(this));
  Button1->SetName("Button1");
  Button1->SetParent(this);
  Button1->SetBounds(176, 32, 75, 25);
  Button1->SetText("Config port");
  Button1->SetTabOrder(1);
  Button1->OnClick = MakeMethod(this, &TForm1::Button1Click);

  ListBox1 = loader.Add(new TListBox(this));
  ListBox1->SetName("ListBox1");
  ListBox1->SetParent(this);
  ListBox1->SetBounds(0, 110, 303, 168);
  ListBox1->SetAlign(alBottom);
  ListBox1->SetItemHeight(13);
  ListBox1->SetTabOrder(2);

  qvDeviceBox3 = loader.Add(new TqvDeviceBox(this));
  qvDeviceBox3->SetName("qvDeviceBox3");
  qvDeviceBox3->SetParent(this);
  qvDeviceBox3->SetBounds(16, 32, 145, 21);
  qvDeviceBox3->SetResetOnChanged(false);
  qvDeviceBox3->SetItemHeight(13);
  qvDeviceBox3->SetTabOrder(3);
  qvDeviceBox3->SetText("COM1");
  loader.AddFixup([this] { qvDeviceBox3->SetqvComm(qvBarCodeScan1); });

  // Non-visual; designer position 48, 128.
  qvBarCodeScan1 = loader.Add(new TqvBarCodeScan(this));
  qvBarCodeScan1->SetName("qvBarCodeScan1");
  loader.AddFixup([this] { qvBarCodeScan1->SetLog(qvLogFile1); });
  qvBarCodeScan1->SetCharEnd(13);
  qvBarCodeScan1->SetTimeout(50);
  qvBarCodeScan1->SetActive(false);
  qvBarCodeScan1->SetOptions(TBarcodeOptions{boAutoDetect});
  qvBarCodeScan1->SetBaudRate(9600);
  qvBarCodeScan1->SetParity(pNone);
  qvBarCodeScan1->SetStopBits(sbOne);
  qvBarCodeScan1->SetByteSize(8);
  qvBarCodeScan1->SetComPortNo(1);
  qvBarCodeScan1->SetComPort(cpCOM1);
  qvBarCodeScan1->SetStreamProtocol(spHardware);
  qvBarCodeScan1->OnBarCode = MakeMethod(this, &TForm1::qvBarCodeScan1BarCode);
  qvBarCodeScan1->OnClose = MakeMethod(this, &TForm1::qvBarCodeScan1Close);

  // Non-visual; designer position 96, 128.
  qvLogFile1 = loader.Add(new TqvLogFile(this));
  qvLogFile1->SetName("qvLogFile1");
  qvLogFile1->SetSizeLimit(20480);
  qvLogFile1->SetFileName("qvcommlib.log");
  qvLogFile1->SetDetailLevel(dlSimple);
  qvLogFile1->SetOptions(loSafeMode | loAutoFileName | loDate | loTime);

  OnClose = MakeMethod(this, &TForm1::FormClose);
  loader.Finish();
}

// What the definition does not hold: the status line, the list's menu and scrolling, the icon,
// and the handlers behind them.
void TForm1::AddExtras() {
  Q_INIT_RESOURCE(qvbarcode);
  SetIcon(":/qvbarcode.svg");
  StatusBar1 = new TStatusBar(this);
  StatusBar1->SetName("StatusBar1");
  StatusBar1->SetParent(this);
  StatusBar1->SetBounds(0, ClientHeight() - kStatusHeight, ClientWidth(), kStatusHeight);
  StatusBar1->SetAlign(alBottom);

  ListBox1->SetMultiSelect(true);
  ListBox1->SetFollowsEnd(true);
  PopupMenu1 = new TPopupMenu(this);
  PopupMenu1->SetName("PopupMenu1");
  auto item = [this](TMenuItem*& field, const char* name, const char* caption, void (TForm1::*handler)(TObject*)) {
    field = new TMenuItem(this);
    field->SetName(name);
    field->SetCaption(caption);
    if (handler) field->OnClick = MakeMethod(this, handler);
    PopupMenu1->Add(field);
  };
  TMenuItem* separator = nullptr;
  item(CopySelected1, "CopySelected1", "&Copy", &TForm1::CopySelected1Click);
  item(CopyAll1, "CopyAll1", "Copy &all", &TForm1::CopyAll1Click);
  item(separator, "N1", "-", nullptr);
  item(SaveText1, "SaveText1", "&Save as text...", &TForm1::SaveText1Click);
  item(SaveCsv1, "SaveCsv1", "Save as CS&V...", &TForm1::SaveCsv1Click);
  item(separator, "N2", "-", nullptr);
  item(Clear1, "Clear1", "C&lear", &TForm1::Clear1Click);
  PopupMenu1->OnPopup = MakeMethod(this, &TForm1::PopupMenu1Popup);
  ListBox1->SetPopupMenu(PopupMenu1);

  qvBarCodeScan1->OnNonDigit = MakeMethod(this, &TForm1::qvBarCodeScan1NonDigit);
  if (qvLogFile1) qvLogFile1->OnFatalError = MakeMethod(this, &TForm1::qvLogFile1FatalError);
  qvBarCodeScan1->OnOpen = MakeMethod(this, &TForm1::qvBarCodeScan1Open);
  qvDeviceBox3->OnChange = MakeMethod(this, &TForm1::qvDeviceBox3Change);
  OnResize = MakeMethod(this, &TForm1::FormResize);
  FormResize(this);
  Realign();
  UpdateStatus();
}

void TForm1::FormResize(TObject*) {
  if (!ListBox1 || !StatusBar1) return;
  const int height = std::max(ClientHeight() - kListTop - StatusBar1->Height(), ListBox1->ItemHeight());
  // Only the height: the aligned controls keep their order, which their tops decide.
  ListBox1->SetBounds(ListBox1->Left(), ListBox1->Top(), ClientWidth(), height);
}

void TForm1::qvBarCodeScan1BarCode(TObject*, std::string BarCode) {
  ListBox1->Items().Add(BarCode);
  FTimes.push_back(NowMs());
  StatusChanged(false);
}

void TForm1::qvBarCodeScan1NonDigit(TObject*, BYTE Char) {
  // Terminators and other control characters are no loss; letters and signs are.
  if (FLettersTold || Char <= ' ' || Char == 0x7F) return;
  FLettersTold = true;
  Tell("Letters were dropped: for codes with letters choose Whole lines (Config port, Scanner)");
}

// The log tells a file it cannot write in its own words (again only when the name or the cause
// changes); reading goes on. Port lines may come from the port's own thread: those go to the
// terminal only.
void TForm1::qvLogFile1FatalError(TObject*, DWORD, DWORD, std::string ErrorMsg, bool& Raise) {
  Raise = false;
  std::fprintf(stderr, "qvbarcode: %s\n", ErrorMsg.c_str());
  if (GetCurrentThreadId() == MainThreadID()) Tell(ErrorMsg + ": codes are still read");
}

// Raised before the line settings reach the port: the status line asks it afterwards.
void TForm1::qvBarCodeScan1Open(TObject*) {
  FGone = false;
  StatusChanged(true);
}

void TForm1::Button1Click(TObject*) {
  TScannerChoice choice = ChoiceOf(*qvBarCodeScan1);
  choice.Reopen = FReopen;
  qv::platform::SetPortSettingsPages({{"Scanner", [&choice] { return MakeScannerPage(choice); },
                                       [this, &choice](QWidget* page) {
                                         if (!ReadScannerPage(page, choice)) {
                                           Tell("Characters to ignore: write \\r, \\n, \\t or \\xHH for "
                                                "control characters; the framing was left as it was");
                                           return;
                                         }
                                         ApplyChoice(*qvBarCodeScan1, choice);
                                         FReopen = choice.Reopen;
                                       }}});
  struct Pages {
    ~Pages() { qv::platform::SetPortSettingsPages({}); }
  } pages;
  Tell("");  // what was told is answered here; the page may tell something new
  qvBarCodeScan1->ShowConfigDialog();
  UpdateStatus();
  RememberSettings();
}

void TForm1::CheckBox1Click(TObject*) {
  if (CheckBox1->Checked()) FGone = false;
  try {
    qvBarCodeScan1->SetActive(CheckBox1->Checked());
  } catch (...) {
    CheckBox1->SetChecked(qvBarCodeScan1->Active());
    throw;
  }
  Tell("");
  UpdateStatus();
}

void TForm1::WndProc(TMessage& Message) {
  switch (Message.Msg) {
    case WM_DEVICECHANGE:
      WMDeviceChange(Message);
      return;
    case WM_SCANNER_CLOSED:
      if (CheckBox1 && qvBarCodeScan1) {
        // Still ticked but closed: the port went away under the program.
        if (CheckBox1->Checked() && !qvBarCodeScan1->Active()) FGone = true;
        CheckBox1->SetChecked(qvBarCodeScan1->Active());
        UpdateStatus();
      }
      return;
    case WM_STATUS_CHANGED:
      // When only the count changed, the port's part (which asks the port) stays as it was.
      FStatusPosted = false;
      if (std::exchange(FPortChanged, false))
        UpdateStatus();
      else if (StatusBar1)
        StatusBar1->SetStateText(StateText());
      return;
    default:
      TForm::WndProc(Message);
  }
}

void TForm1::WMDeviceChange(TMessage& Message) {
  if (qvBarCodeScan1) qvBarCodeScan1->DevicesChanged();
  Message.Result = 0;
  ReopenIfBack();
  if (StatusBar1) UpdateStatus();
}

void TForm1::ReopenIfBack() {
  if (!FGone || !qvBarCodeScan1 || !CheckBox1 || qvBarCodeScan1->Active() || qvBarCodeScan1->GetDeviceIndex() < 0)
    return;
  const std::string port = PortText(qvBarCodeScan1->ComPortNo());
  if (!FReopen) {
    FGone = false;
    Tell(port + " is back: tick Active to open it");
    return;
  }
  try {
    qvBarCodeScan1->SetActive(true);
  } catch (const std::exception& e) {
    // The device node may not be ready yet: the next device change tries again.
    Tell(port + " is back but could not be reopened: " + e.what());
    return;
  }
  FGone = false;
  CheckBox1->SetChecked(true);  // writes Active = true, which it already is
  Tell(port + " came back and was reopened");
}

void TForm1::qvDeviceBox3Change(TObject*) {
  FGone = false;
  Tell("");
  UpdateStatus();
  RememberSettings();
}

// ---- status line ------------------------------------------------------------------------------

void TForm1::StatusChanged(bool port) {
  FPortChanged = FPortChanged || port;
  if (FStatusPosted) return;
  FStatusPosted = true;
  PostMessageA(Handle(), WM_STATUS_CHANGED, 0, 0);
}

std::string TForm1::PortState() const {
  TqvBarCodeScan& s = *qvBarCodeScan1;
  std::string text = PortText(s.ComPortNo());
  if (s.Active()) {
    static constexpr const char* kParity = "NOEMS";
    static constexpr const char* kStop[] = {"1", "1.5", "2"};
    const unsigned parity = s.Parity(), stop = s.StopBits();
    return text + " open at " + std::to_string(s.BaudRate()) + " " + std::to_string(s.ByteSize()) +
           (parity < 5 ? kParity[parity] : '?') + (stop < 3 ? kStop[stop] : "?");
  }
  if (FGone) return text + " gone";
  return text + (s.GetDeviceIndex() < 0 ? " not present" : " closed");
}

std::string TForm1::StateText() const {
  const int count = ListBox1 ? ListBox1->Items().Count() : 0;
  return std::to_string(count) + (count == 1 ? " code · " : " codes · ") + FPortState;
}

void TForm1::UpdateStatus() {
  if (!StatusBar1 || !qvBarCodeScan1) return;
  FPortState = PortState();
  StatusBar1->SetStateText(StateText());
  const int index = qvDeviceBox3 ? qvDeviceBox3->ItemIndex() : -1;
  StatusBar1->SetText(index >= 0 ? qvDeviceBox3->DeviceHint(index) : std::string());
}

void TForm1::Tell(const std::string& message) {
  if (!StatusBar1 || StatusBar1->Notice() == message) return;
  StatusBar1->SetNotice(message);
  // The notice's row comes and goes: the list gives or takes the room.
  StatusBar1->SetBounds(0, ClientHeight() - StatusBar1->PreferredHeight(), ClientWidth(), StatusBar1->PreferredHeight());
  FormResize(this);
  Realign();
}

void TForm1::CheckPortPresent() {
  if (!qvBarCodeScan1 || qvBarCodeScan1->GetDeviceIndex() >= 0) return;
  const std::string port = PortText(qvBarCodeScan1->ComPortNo());
  std::fprintf(stderr,
               "qvbarcode: %s is not present: pick a port in the box (qvcomm ports lists them, qvcomm map "
               "names a device)\n",
               port.c_str());
  Tell(port + " is not present: pick a port in the box");
  UpdateStatus();
}

// ---- the list's menu ---------------------------------------------------------------------------

std::string TForm1::CodesText(bool selectedOnly) const {
  std::string text;
  TStrings& items = ListBox1->Items();
  for (int i = 0; i < items.Count(); ++i)
    if (!selectedOnly || ListBox1->Selected(i)) text += items[i] + "\n";
  return text;
}

bool TForm1::SaveCodes(const std::string& path, bool csv) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (f) {
    TStrings& items = ListBox1->Items();
    if (csv) f << "code,time\n";
    for (int i = 0; i < items.Count(); ++i) {
      if (!csv) {
        f << items[i] << '\n';
        continue;
      }
      const std::size_t at = std::size_t(i);
      const QString time = at < FTimes.size() ? QDateTime::fromMSecsSinceEpoch(FTimes[at]).toString("yyyy-MM-dd HH:mm:ss.zzz")
                                             : QString();
      f << CsvField(items[i]) << ',' << time.toStdString() << '\n';
    }
    f.flush();
  }
  if (f) return true;
  Tell("Cannot write " + path + ": " + std::strerror(errno));
  return false;
}

void TForm1::PopupMenu1Popup(TObject*) {
  const bool any = ListBox1->Items().Count() > 0;
  bool selected = false;
  for (int i = 0; i < ListBox1->Items().Count() && !selected; ++i) selected = ListBox1->Selected(i);
  CopySelected1->SetEnabled(selected);
  for (TMenuItem* item : {CopyAll1, SaveText1, SaveCsv1, Clear1}) item->SetEnabled(any);
}

void TForm1::CopySelected1Click(TObject*) { QGuiApplication::clipboard()->setText(QString::fromStdString(CodesText(true))); }

void TForm1::CopyAll1Click(TObject*) { QGuiApplication::clipboard()->setText(QString::fromStdString(CodesText(false))); }

void TForm1::Clear1Click(TObject*) {
  ListBox1->Items().Clear();
  FTimes.clear();
  UpdateStatus();
}

void TForm1::SaveText1Click(TObject*) { SaveAs(false); }
void TForm1::SaveCsv1Click(TObject*) { SaveAs(true); }

void TForm1::SaveAs(bool csv) {
  const QString path = QFileDialog::getSaveFileName(Widget(), csv ? "Save the codes as CSV" : "Save the codes as text",
                                                    csv ? "codes.csv" : "codes.txt",
                                                    csv ? "CSV (*.csv);;All files (*)" : "Text (*.txt);;All files (*)");
  if (!path.isEmpty()) SaveCodes(path.toStdString(), csv);
}

// ---- remembered settings ----------------------------------------------------------------------

void TForm1::RestoreSettings() {
  try {
    FReopen = LoadSettings(*qvBarCodeScan1);
  } catch (const std::exception& e) {
    Tell(std::string("The remembered settings could not be read: ") + e.what());
  }
  UpdateStatus();
}

void TForm1::RememberSettings() {
  if (!qvBarCodeScan1) return;
  try {
    SaveSettings(*qvBarCodeScan1, FReopen);
  } catch (const std::exception& e) {
    Tell(std::string("The settings could not be remembered: ") + e.what());
  }
}

void TForm1::qvBarCodeScan1Close(TObject*) { PostMessageA(Handle(), WM_SCANNER_CLOSED, 0, 0); }

void TForm1::FormClose(TObject*) {
  RememberSettings();
  if (qvBarCodeScan1) qvBarCodeScan1->SetActive(false);
}
