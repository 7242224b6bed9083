// Unit1: the barcode demo form. One barcode scanner, one file log and one device box linked to
// the scanner, a check box that switches the scanner on and off, a button for the port-settings
// dialog and the list of received barcodes.
//
// Beyond its definition the form keeps the list's newest code in view (unless the user scrolled
// up), gives the list the room of a resized window, offers copy, clear and save on the list's
// menu, and has a status line: what the port is, its state and the number of codes, and what
// the user should know (letters lost to digits-only framing, a port that is not present, a port
// reopened). The port, its line settings and the framing are remembered between runs; when the
// open port's adapter comes back after it vanished, the port can be reopened by itself.
//
// Main thread only.
#pragma once

#include "barcode/qvbarcode.h"
#include "log/qvlogfile.h"
#include "platform/devices/devwatch.h"
#include "platform/qt/forms.h"
#include "ports/qvcommbox.h"

#include <cstdint>
#include <string>
#include <vector>

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
  TStatusBar* StatusBar1 = nullptr;
  TPopupMenu* PopupMenu1 = nullptr;
  TMenuItem* CopySelected1 = nullptr;
  TMenuItem* CopyAll1 = nullptr;
  TMenuItem* Clear1 = nullptr;
  TMenuItem* SaveText1 = nullptr;
  TMenuItem* SaveCsv1 = nullptr;

  // Appends the barcode to the list (with the time it came).
  void qvBarCodeScan1BarCode(TObject* Sender, std::string BarCode);
  // The port-settings dialog for the scanner's port, with the framing beside it; what OK
  // leaves is applied at once and remembered.
  void Button1Click(TObject* Sender);
  // Ticked opens the port, unticked closes it; a failed open unticks the box and the error
  // goes on to the application's exception display.
  void CheckBox1Click(TObject* Sender);

  // Forgets a component of the form that is destroyed.
  void Notification(TComponent* AComponent, TOperation Operation) override;

  // The codes, one a line (the selected ones, or all).
  std::string CodesText(bool selectedOnly) const;
  // Writes the codes to a file: one a line, or CSV with the time each came ("code,time"). False
  // with the reason in the status line when it cannot be written.
  bool SaveCodes(const std::string& path, bool csv);
  // Restores what the previous run remembered; a failure goes to the status line.
  void RestoreSettings();
  // Remembers the port, its settings and the framing; a failure goes to the status line.
  void RememberSettings();
  // Tells in the status line (and on stderr) when the scanner's port is not present.
  void CheckPortPresent();
  // Whether the port is reopened when its adapter comes back (the settings page's choice).
  bool ReopenOnReturn() const { return FReopen; }
  void SetReopenOnReturn(bool Value) { FReopen = Value; }
  // The status line's state part: "3 codes · COM1 open at 9600 8N1" (the port's part as of the
  // last change of the port).
  std::string StateText() const;

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
  // The list takes the height the window has beyond the controls at the top.
  void FormResize(TObject* Sender);
  void qvBarCodeScan1NonDigit(TObject* Sender, BYTE Char);
  void qvLogFile1FatalError(TObject* Sender, DWORD ErrorCode, DWORD Detail, std::string ErrorMsg, bool& Raise);
  void qvBarCodeScan1Open(TObject* Sender);
  void qvDeviceBox3Change(TObject* Sender);
  void PopupMenu1Popup(TObject* Sender);
  void CopySelected1Click(TObject* Sender);
  void CopyAll1Click(TObject* Sender);
  void Clear1Click(TObject* Sender);
  void SaveText1Click(TObject* Sender);
  void SaveCsv1Click(TObject* Sender);
  void SaveAs(bool csv);
  void LoadDefinition();
  void AddExtras();
  // The status line follows the list, and the port when port is true (once per turn of the
  // loop at most).
  void StatusChanged(bool port);
  void UpdateStatus();
  // The port's state as it is now: "COM1 open at 9600 8N1", "closed", "gone", "not present".
  std::string PortState() const;
  void Tell(const std::string& message);
  // After a device change: the vanished port is back; reopen it when the user chose so.
  void ReopenIfBack();

  std::vector<std::int64_t> FTimes;  // when each listed code came, ms since the epoch
  bool FStatusPosted = false;
  bool FPortChanged = false;
  bool FLettersTold = false;
  bool FGone = false;                // the open port vanished and has not come back
  bool FReopen = false;
  std::string FPortState;

  // Tells the form's window when serial devices come and go or the port map changes.
  qv::platform::DeviceWatcher FDeviceWatcher;
};

extern TForm1* Form1;
