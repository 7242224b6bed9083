// Unit1: the barcode demo form. One barcode scanner, one file log and one device box linked to
// the scanner, a check box that switches the scanner on and off, a button for the port-settings
// dialog and the list of received barcodes.
//
// Main thread only.
#pragma once

#include "barcode/qvbarcode.h"
#include "log/qvlogfile.h"
#include "platform/devices/devwatch.h"
#include "platform/qt/forms.h"
#include "ports/qvcommbox.h"

#include <string>

class TForm1 : public TForm {
 public:
  // Creates the form from its definition: the components in order with their values, the
  // references between them, then every Loaded.
  explicit TForm1(TComponent* AOwner);

  TListBox* ListBox1 = nullptr;
  TButton* Button1 = nullptr;
  TCheckBox* CheckBox1 = nullptr;
  TqvDeviceBox* qvDeviceBox3 = nullptr;
  TLabel* Label1 = nullptr;
  TqvLogFile* qvLogFile1 = nullptr;
  TqvBarCodeScan* qvBarCodeScan1 = nullptr;

  // Appends the barcode to the list.
  void qvBarCodeScan1BarCode(TObject* Sender, std::string BarCode);
  // The port-settings dialog for the scanner's port.
  void Button1Click(TObject* Sender);
  // Ticked opens the port, unticked closes it; a failed open unticks the box and the error
  // goes on to the application's exception display.
  void CheckBox1Click(TObject* Sender);

  // Forgets a component of the form that is destroyed.
  void Notification(TComponent* AComponent, TOperation Operation) override;

 protected:
  // WM_DEVICECHANGE goes to WMDeviceChange; the form's own message keeps the box in step.
  void WndProc(TMessage& Message) override;

 private:
  // Any device change: the scanner rebuilds its port list and the device box follows.
  void WMDeviceChange(TMessage& Message);
  // The scanner closed, possibly on its port thread (the device vanished): the check box
  // follows on the main thread.
  void qvBarCodeScan1Close(TObject* Sender);
  // The window closes: the port closes while the log still exists, so it gets the close line.
  void FormClose(TObject* Sender);
  void LoadDefinition();

  // Tells the form's window when serial devices come and go or the port map changes.
  qv::platform::DeviceWatcher FDeviceWatcher;
};

extern TForm1* Form1;
