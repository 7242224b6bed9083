// qvbarcode: the barcode scanner. TqvBarCodeScan is the serial port component made into a
// barcode reader: it cuts the received character stream into barcodes by a begin character,
// an end character, a character class (digits, or any character), characters to drop and an
// inactivity time-out, and raises OnBarCode once per barcode. Optionally it tests the scanner
// connection every time the port opens.
#pragma once

#include "comm/serialcomm.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

// The framing options (a one-byte set, bit n for value n).
enum TBarcodeOption : BYTE {
  boAutoDetect,      // a character not taken ends the code; the time-out ends a code left pending
  boInitConnection,  // TestConnection every time the port opens
  boUseEndChar,      // CharEnd ends the code (and is not part of it)
  boUseBeginChar,    // CharBegin discards what is pending and starts a new code
  boAnyChars,        // every character is taken, not only '0' to '9'
};
using TBarcodeOptions = TSmallSet<TBarcodeOption, BYTE>;

using TOnBarCodeEvent = TMethod<void(TObject* Sender, std::string BarCode)>;
using TOnNonDigitEvent = TMethod<void(TObject* Sender, BYTE Char)>;

// The longest code held pending: a code that reaches it is delivered as it stands and the
// characters after it begin a new one (a stream that never ends a code cannot grow without
// bound, and nothing is lost).
constexpr std::size_t kMaxBarCode = 65536;

// Main thread only: the receive path and the time-out timer both run there (without an
// application object the receive path runs on the port's dispatch thread and the time-out never
// fires).
class TqvBarCodeScan : public TqvCustomSerialComm {
 public:
  // 9600 baud, 8N1, hardware flow control, COM1; CharBegin 0, CharEnd 13 (carriage return),
  // Options [boAutoDetect], Timeout 50 ms, no IgnoreChars.
  explicit TqvBarCodeScan(TComponent* AOwner = nullptr);
  // Closes the port, then frees the timer: a code still pending is not delivered.
  ~TqvBarCodeScan() override;

  // The serial set-up, then TestConnection when boInitConnection is set.
  void SetupPort() override;
  // A code whose time-out runs is delivered first, as the time-out would deliver it: a program
  // that ends with the port loses nothing. On the main thread; elsewhere the time-out delivers.
  // Any other code under way stays pending, and an open goes on with it.
  void Close() override;

  // The OnRxData handler: assembles barcodes from one received block. A handler that closes or
  // reopens the port does not end the block: the rest is scanned as it would have been.
  void HandleRxData(TObject* Sender, const BYTE* Data, int Count);
  // The timer's handler: the inactivity time-out delivers what is pending. An exception from
  // OnBarCode is reported through FatalError, as the receive path reports it.
  void TimeoutElapsed(TObject* Sender);
  // Delivers the pending code (nothing when it is empty): LastBarCode, the log line at
  // dlDetail, the pending code emptied, then OnBarCode; a log line that fails raises after it.
  void DoBarcode();

  // ---- properties; the setters only store (neither the pending code nor the timer changes) ----
  BYTE CharBegin() const { return FCharBegin; }
  void SetCharBegin(BYTE Value);
  BYTE CharEnd() const { return FCharEnd; }
  void SetCharEnd(BYTE Value);
  TBarcodeOptions Options() const { return FOptions; }
  void SetOptions(TBarcodeOptions Value);
  // Milliseconds of silence after the last block before a pending code is delivered; 0 never.
  // Taken when the timer next starts.
  DWORD Timeout() const { return FTimeout; }
  void SetTimeout(DWORD Value) { FTimeout = Value; }
  // Characters dropped instead of taken into the code; they never end a code.
  const std::string& IgnoreChars() const { return FIgnoreChars; }
  void SetIgnoreChars(const std::string& Value);
  // Whole lines: every character is taken and a line end ends the code: CR, LF or CR LF (one
  // end, also when its two bytes come in different blocks), or CharEnd instead when
  // boUseEndChar names another character. An empty line is no code, and a pause does not end
  // one: a rest without its line end is delivered after LineIdle milliseconds of silence (0:
  // never), or when the port closes or goes away, and the log says so. The options'
  // auto-detection and Timeout do not apply.
  bool WholeLines() const { return FWholeLines; }
  void SetWholeLines(bool Value);
  DWORD LineIdle() const { return FLineIdle; }
  void SetLineIdle(DWORD Value) { FLineIdle = Value; }
  const std::string& LastBarCode() const { return FLastBarCode; }
  // The characters collected for the barcode under way.
  const std::string& PendingCode() const { return FPending; }
  const TqvTimer& Timer() const { return *FTimer; }

  TOnBarCodeEvent OnBarCode;
  // Raised for each character that digits-only framing leaves out of the code (not a digit,
  // boAnyChars off, neither begin nor end character), before it ends the code or is dropped, so
  // a program can tell its user that letters were lost. A terminator under auto-detection counts
  // too. The handler must not close the port.
  TOnNonDigitEvent OnNonDigit;

 protected:
  // The port's device went away: the code under way is delivered as it stood, before the port
  // closes (OnClose), and the log says it was cut short.
  void PortVanishing() override;

 private:
  // What one received byte does, decided by the options and characters in the order the
  // rules are tested (begin, end, character class and ignore list, auto-detect).
  enum TCharAction : BYTE { caDrop, caTake, caBegin, caDeliver, caNonDigitDrop, caNonDigitDeliver };
  void BuildClassTable();
  void Publish();
  // Main thread: what the running time-out would deliver, now.
  void DeliverTimedCode();
  // Delivers a code that came without its end (why: the log's words), reporting what the
  // handler throws.
  void DeliverUnended(const char* Why);

  std::unique_ptr<TqvTimer> FTimer;
  BYTE FCharBegin = 0;
  BYTE FCharEnd = 13;
  TBarcodeOptions FOptions{boAutoDetect};
  std::string FPending;
  std::string FLastBarCode;
  DWORD FTimeout = 50;
  std::string FIgnoreChars;
  std::array<TCharAction, 256> FClass{};
  bool FWholeLines = false;
  DWORD FLineIdle = 1000;
};
