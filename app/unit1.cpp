#include "app/unit1.h"

TForm1* Form1 = nullptr;

namespace {
// Posted to the form by its OnClose handler: the check box follows the scanner's state.
constexpr UINT WM_SCANNER_CLOSED = WM_APP + 1;
}  // namespace

TForm1::TForm1(TComponent* AOwner) : TForm(AOwner) {
  LoadDefinition();
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

void TForm1::qvBarCodeScan1BarCode(TObject*, std::string BarCode) { ListBox1->Items().Add(BarCode); }

void TForm1::Button1Click(TObject*) { qvBarCodeScan1->ShowConfigDialog(); }

void TForm1::CheckBox1Click(TObject*) {
  try {
    qvBarCodeScan1->SetActive(CheckBox1->Checked());
  } catch (...) {
    CheckBox1->SetChecked(qvBarCodeScan1->Active());
    throw;
  }
}

void TForm1::WndProc(TMessage& Message) {
  switch (Message.Msg) {
    case WM_DEVICECHANGE:
      WMDeviceChange(Message);
      return;
    case WM_SCANNER_CLOSED:
      if (CheckBox1 && qvBarCodeScan1) CheckBox1->SetChecked(qvBarCodeScan1->Active());
      return;
    default:
      TForm::WndProc(Message);
  }
}

void TForm1::WMDeviceChange(TMessage& Message) {
  if (qvBarCodeScan1) qvBarCodeScan1->DevicesChanged();
  Message.Result = 0;
}

void TForm1::qvBarCodeScan1Close(TObject*) { PostMessageA(Handle(), WM_SCANNER_CLOSED, 0, 0); }

void TForm1::FormClose(TObject*) {
  if (qvBarCodeScan1) qvBarCodeScan1->SetActive(false);
}
