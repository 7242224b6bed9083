// qvcomm: the serial port component. TqvCustomSerialComm names the port by its number (COMn),
// opens it, applies the line settings of TqvCustomComm at every open (with abort-on-error on),
// saves and loads the whole port configuration as one 49-byte registry value, tests that a
// device answers on its modem lines, reads a device's Plug and Play identification and builds
// the list of ports present with their descriptions (the port list merged with the device
// passes of qvwin32di). It is the base of the barcode scanner.
#pragma once

#include "comm/qvcomm.h"

#include <cstdint>
#include <string>

// The port by name; cpCOMxx stands for every number above 8.
enum TComPort : BYTE { cpCOM1, cpCOM2, cpCOM3, cpCOM4, cpCOM5, cpCOM6, cpCOM7, cpCOM8, cpCOMxx };

// Size of the saved configuration: port number, DCB, COMMTIMEOUTS.
constexpr DWORD kSerialConfigSize = 1 + sizeof(DCB) + sizeof(COMMTIMEOUTS);
static_assert(kSerialConfigSize == 49);

// Main thread only, as TqvCustomComm.
class TqvCustomSerialComm : public TqvCustomComm {
 public:
  // Starts from the system's default configuration of COM1, then COM1, 19200 baud, 8 data
  // bits, no parity, one stop bit, hardware flow control, no event character.
  explicit TqvCustomSerialComm(TComponent* AOwner);

  // ---- overrides ----
  // Opens \\?\COM<ComPortNo> for overlapped I/O.
  HANDLE OpenHandle() override;
  // Selects the port of the device at Index; nothing for an index outside the list.
  void SelectDevice(int Index) override;
  // Position of the first device with the current port number, or -1.
  int GetDeviceIndex() override;
  // Adds one device per port present (port list order), named by its port name; a port that a
  // device pass describes takes that description (Name "COM3 (description)").
  void EnumDevices() override;
  // Rebuilds the device list, then notifies linked components (ncDevicesChanged).
  void DevicesChanged() override;
  std::string GetDeviceName() override;
  // Queue sizes and time-outs, then the whole stored DCB with abort-on-error on.
  void SetupPort() override;

  // ---- new virtual operations ----
  // Writes the 49-byte configuration as a binary value; failures go to FatalError.
  virtual void SaveConfig(HKEY RootKey, const std::string& Key, const std::string& ValueName);
  // Reads it back when the value holds exactly 49 bytes (a value of another size changes
  // nothing); a value of another type or a registry failure goes to FatalError.
  virtual void LoadConfig(HKEY RootKey, const std::string& Key, const std::string& ValueName);
  // The identification string of an attached Plug and Play device (begin and end markers
  // included), or empty. Opens the port if needed and leaves it as it found it.
  virtual std::string ReadPnPId();
  // Nothing while closed. Raises DTR, drops RTS and waits 200 ms for DSR; FatalError
  // "Device Connect Initialization Error" when it does not come.
  virtual void TestConnection();

  // ---- properties ----
  WORD ComPortNo() const { return FComPortNo; }
  // Closes an open port, stores the number, reopens, then notifies ncDevicesChanged; also
  // when the number is the current one.
  void SetComPortNo(WORD Value);
  // 1..8 read as cpCOM1..cpCOM8, every other number as cpCOMxx.
  TComPort ComPort() const;
  // cpCOM1..cpCOM8 select ports 1..8; cpCOMxx changes nothing.
  void SetComPort(TComPort Value);

 private:
  WORD FComPortNo = 1;
};
