// The program's own settings: the framing choice the settings dialog offers beside the port's
// line settings (its "Scanner" page), and what is remembered between runs in the registry
// store (the port with its line settings as the serial component saves them, the framing, the
// reopen choice).
//
// Main thread only.
#pragma once

#include "barcode/qvbarcode.h"

#include <string>

class QWidget;

// The framing as the page shows it. Digits only is the scanner's own default (a character that
// is not a digit ends the code and is lost), ended by the time-out too; whole lines take every
// character, and a code ends at its line end (CR, LF or CR LF; another end character instead,
// when one is chosen), a pause does not end it, and a rest without its line end is delivered
// after the line idle time. 0 as begin or end character: none.
struct TScannerChoice {
  bool WholeLines = false;
  BYTE CharBegin = 0;
  BYTE CharEnd = 13;
  DWORD Timeout = 50;
  DWORD LineIdle = 1000;
  std::string IgnoreChars;  // the user's own, without the implied line end
  bool Reopen = false;      // reopen the port when its adapter comes back

  bool operator==(const TScannerChoice&) const = default;
};

// The choice that describes the scanner's framing (Reopen stays false).
TScannerChoice ChoiceOf(const TqvBarCodeScan& scanner);
// Sets the scanner's framing from the choice; boInitConnection is kept as it was.
void ApplyChoice(TqvBarCodeScan& scanner, const TScannerChoice& choice);

// A character as the page writes it: "CR", "LF", "Tab", "STX", "ETX", a printable character
// itself, \xHH otherwise; 0 as "None".
std::string CharText(BYTE c);
// The characters to ignore as text (control characters as \r, \n, \t or \xHH, a backslash as
// \\) and back; ParseChars is false for a malformed escape.
std::string CharsText(const std::string& chars);
bool ParseChars(const std::string& text, std::string& chars);

// The "Scanner" page: made from a choice, read back into one. Its controls carry object names
// (Digits, WholeLines, CharEnd, CharBegin, Timeout, IgnoreChars, Reopen) for tests.
QWidget* MakeScannerPage(const TScannerChoice& choice);
// False (the choice unchanged) when the characters to ignore are malformed.
bool ReadScannerPage(QWidget* page, TScannerChoice& choice);

// The store's place for the program: HKEY_CURRENT_USER, this key.
inline constexpr const char* kSettingsKey = "Software\\qvcomm\\qvbarcode";

// Saves the port (SaveConfig's value "Port"), the framing and the reopen choice. Failures
// raise (the serial component's fatal-error path, or ERegistry-style errors as exceptions).
void SaveSettings(TqvBarCodeScan& scanner, bool reopen);
// Restores what SaveSettings saved; nothing for values that were never saved. Returns the
// saved reopen choice (false when none). Failures raise.
bool LoadSettings(TqvBarCodeScan& scanner);
