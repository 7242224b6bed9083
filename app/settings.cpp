#include "app/settings.h"

#include "platform/rtl/exceptions.h"
#include "platform/system/winreg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <cctype>
#include <cstdio>
#include <utility>

namespace {

constexpr BYTE kCR = 13, kLF = 10;

// The line end that whole lines used to drop beside a CR or LF end character (stores written
// before whole lines ended at either keep it among the characters to ignore), or 0.
BYTE ImpliedIgnore(const TScannerChoice& c) {
  if (!c.WholeLines) return 0;
  return c.CharEnd == kCR ? kLF : c.CharEnd == kLF ? kCR : 0;
}

bool IsDigit(BYTE c) { return c >= '0' && c <= '9'; }

// The end and begin characters the page offers; any other character is added when a saved
// framing uses it.
constexpr BYTE kChoices[] = {0, kCR, kLF, 9, 2, 3, 4};

}  // namespace

TScannerChoice ChoiceOf(const TqvBarCodeScan& scanner) {
  const TBarcodeOptions o = scanner.Options();
  TScannerChoice c;
  c.WholeLines = scanner.WholeLines();
  // Under digits only every other character ends the code, the end character among them.
  c.CharEnd = o.Contains(boUseEndChar) || !c.WholeLines ? scanner.CharEnd() : 0;
  c.CharBegin = o.Contains(boUseBeginChar) ? scanner.CharBegin() : 0;
  c.Timeout = scanner.Timeout();
  c.LineIdle = scanner.LineIdle();
  c.IgnoreChars = scanner.IgnoreChars();
  if (const BYTE implied = ImpliedIgnore(c)) {
    const auto at = c.IgnoreChars.find(char(implied));
    if (at != std::string::npos) c.IgnoreChars.erase(at, 1);
  }
  return c;
}

void ApplyChoice(TqvBarCodeScan& scanner, const TScannerChoice& c) {
  TBarcodeOptions o{boAutoDetect};
  if (scanner.Options().Contains(boInitConnection)) o += boInitConnection;
  if (c.WholeLines) o += boAnyChars;
  // Under digits only a character that is no digit ends the code anyway: the option is needed
  // for a digit as end character only, and the first-run framing stays as the form defines it.
  if (c.CharEnd != 0 && (c.WholeLines || IsDigit(c.CharEnd))) o += boUseEndChar;
  if (c.CharBegin != 0) o += boUseBeginChar;
  if (c.CharEnd != 0) scanner.SetCharEnd(c.CharEnd);
  if (c.CharBegin != 0) scanner.SetCharBegin(c.CharBegin);
  scanner.SetTimeout(c.Timeout);
  scanner.SetLineIdle(c.LineIdle);
  scanner.SetIgnoreChars(c.IgnoreChars);
  scanner.SetOptions(o);
  scanner.SetWholeLines(c.WholeLines);
}

std::string CharText(BYTE c) {
  switch (c) {
    case 0: return "None";
    case kCR: return "CR";
    case kLF: return "LF";
    case 9: return "Tab";
    case 2: return "STX";
    case 3: return "ETX";
    case 4: return "EOT";
    default: break;
  }
  if (c > 32 && c < 127) return std::string(1, char(c));
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\x%02X", c);
  return buf;
}

std::string CharsText(const std::string& chars) {
  std::string t;
  for (const char ch : chars) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\\') t += "\\\\";
    else if (c == kCR) t += "\\r";
    else if (c == kLF) t += "\\n";
    else if (c == 9) t += "\\t";
    else if (c >= 32 && c < 127) t += ch;
    else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      t += buf;
    }
  }
  return t;
}

bool ParseChars(const std::string& text, std::string& chars) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\': out += '\\'; break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'x': {
        auto hex = [&](std::size_t k) { return k < text.size() && std::isxdigit(static_cast<unsigned char>(text[k])); };
        if (!hex(i + 1) || !hex(i + 2)) return false;
        out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
        break;
      }
      default: return false;
    }
  }
  chars = std::move(out);
  return true;
}

// ---- the page --------------------------------------------------------------------------------

namespace {

QComboBox* CharBox(QWidget* parent, const char* name, BYTE current) {
  auto* box = new QComboBox(parent);
  box->setObjectName(name);
  bool found = false;
  for (BYTE c : kChoices) {
    box->addItem(QString::fromStdString(CharText(c)), int(c));
    found = found || c == current;
  }
  if (!found) box->addItem(QString::fromStdString(CharText(current)), int(current));
  box->setCurrentIndex(box->findData(int(current)));
  return box;
}

// A box for a count of milliseconds, from 0 to max.
QSpinBox* MillisecondsBox(QWidget* parent, const char* name, int max, DWORD value, const char* tip) {
  auto* box = new QSpinBox(parent);
  box->setObjectName(name);
  box->setRange(0, max);
  box->setSuffix(" ms");
  box->setValue(int(value));
  box->setToolTip(tip);
  return box;
}

}  // namespace

QWidget* MakeScannerPage(const TScannerChoice& choice) {
  auto* page = new QWidget;
  page->setObjectName("ScannerPage");
  auto* outer = new QVBoxLayout(page);
  auto* framing = new QGroupBox("Framing", page);
  auto* form = new QFormLayout(framing);
  auto* digits = new QRadioButton("&Digits only (letters end the code and are lost)", framing);
  digits->setObjectName("Digits");
  auto* lines = new QRadioButton("&Whole lines (letters, URLs: any character)", framing);
  lines->setObjectName("WholeLines");
  (choice.WholeLines ? lines : digits)->setChecked(true);
  form->addRow(digits);
  form->addRow(lines);
  form->addRow("&End character:", CharBox(framing, "CharEnd", choice.CharEnd));
  form->addRow("&Begin character:", CharBox(framing, "CharBegin", choice.CharBegin));
  form->addRow("&Time-out:", MillisecondsBox(framing, "Timeout", 60000, choice.Timeout,
                                               "Digits only: silence after which a code is complete; 0: never"));
  form->addRow("&Line idle:", MillisecondsBox(framing, "LineIdle", 600000, choice.LineIdle,
                                              "Whole lines: silence after which a rest without its line end is "
                                              "delivered; 0: never"));
  auto* ignore = new QLineEdit(QString::fromStdString(CharsText(choice.IgnoreChars)), framing);
  ignore->setObjectName("IgnoreChars");
  ignore->setToolTip("Characters left out of the codes; \\r, \\n, \\t and \\xHH for control characters");
  form->addRow("&Characters to ignore:", ignore);
  outer->addWidget(framing);
  auto* reopen = new QCheckBox("&Reopen the port when its adapter is plugged in again", page);
  reopen->setObjectName("Reopen");
  reopen->setChecked(choice.Reopen);
  outer->addWidget(reopen);
  outer->addStretch(1);
  return page;
}

bool ReadScannerPage(QWidget* page, TScannerChoice& choice) {
  TScannerChoice c;
  c.WholeLines = page->findChild<QRadioButton*>("WholeLines")->isChecked();
  c.CharEnd = BYTE(page->findChild<QComboBox*>("CharEnd")->currentData().toInt());
  c.CharBegin = BYTE(page->findChild<QComboBox*>("CharBegin")->currentData().toInt());
  c.Timeout = DWORD(page->findChild<QSpinBox*>("Timeout")->value());
  c.LineIdle = DWORD(page->findChild<QSpinBox*>("LineIdle")->value());
  if (!ParseChars(page->findChild<QLineEdit*>("IgnoreChars")->text().toStdString(), c.IgnoreChars)) return false;
  c.Reopen = page->findChild<QCheckBox*>("Reopen")->isChecked();
  choice = c;
  return true;
}

// ---- the store -------------------------------------------------------------------------------

namespace {

// The program's key, opened for reading and writing (created when missing).
class SettingsKey {
 public:
  SettingsKey() {
    const LONG r = RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    if (r != ERROR_SUCCESS) Fail("cannot open the settings", r);
  }
  ~SettingsKey() { RegCloseKey(key_); }
  SettingsKey(const SettingsKey&) = delete;
  SettingsKey& operator=(const SettingsKey&) = delete;

  void Put(const char* name, DWORD type, const void* data, DWORD size) {
    const LONG r = RegSetValueExA(key_, name, 0, type, static_cast<const BYTE*>(data), size);
    if (r != ERROR_SUCCESS) Fail("cannot save the setting " + std::string(name), r);
  }
  void PutDword(const char* name, DWORD v) { Put(name, REG_DWORD, &v, sizeof v); }
  // False when the value is missing or not a DWORD.
  bool GetDword(const char* name, DWORD& v) {
    DWORD type = 0, size = sizeof v;
    DWORD out = 0;
    if (RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(&out), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof out)
      return false;
    v = out;
    return true;
  }
  bool GetBinary(const char* name, std::string& v) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_BINARY) return false;
    std::string data(size, '\0');
    if (RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
      return false;
    data.resize(size);
    v = std::move(data);
    return true;
  }

 private:
  [[noreturn]] static void Fail(const std::string& what, LONG r) {
    throw EOSError(DWORD(r), "qvbarcode: " + what + ": " + qv::platform::SysErrorMessage(DWORD(r)));
  }
  HKEY key_ = 0;
};

}  // namespace

void SaveSettings(TqvBarCodeScan& scanner, bool reopen) {
  scanner.SaveConfig(HKEY_CURRENT_USER, kSettingsKey, "Port");
  SettingsKey key;
  key.PutDword("Options", scanner.Options().ToBits());
  key.PutDword("CharBegin", scanner.CharBegin());
  key.PutDword("CharEnd", scanner.CharEnd());
  key.PutDword("Timeout", scanner.Timeout());
  key.PutDword("LineIdle", scanner.LineIdle());
  const std::string& ignore = scanner.IgnoreChars();
  key.Put("IgnoreChars", REG_BINARY, ignore.data(), DWORD(ignore.size()));
  key.PutDword("Reopen", reopen ? 1 : 0);
}

bool LoadSettings(TqvBarCodeScan& scanner) {
  DWORD v = 0;
  bool reopen = false;
  {
    SettingsKey key;
    if (key.GetDword("Options", v)) scanner.SetOptions(TBarcodeOptions::FromBits(BYTE(v)));
    if (key.GetDword("CharBegin", v)) scanner.SetCharBegin(BYTE(v));
    if (key.GetDword("CharEnd", v)) scanner.SetCharEnd(BYTE(v));
    if (key.GetDword("Timeout", v)) scanner.SetTimeout(v);
    if (key.GetDword("LineIdle", v)) scanner.SetLineIdle(v);
    // Whole lines are stored as the option that takes every character.
    scanner.SetWholeLines(scanner.Options().Contains(boAnyChars));
    if (std::string ignore; key.GetBinary("IgnoreChars", ignore)) scanner.SetIgnoreChars(ignore);
    reopen = key.GetDword("Reopen", v) && v != 0;
  }
  // A value of another size (or none) changes nothing.
  scanner.LoadConfig(HKEY_CURRENT_USER, kSettingsKey, "Port");
  return reopen;
}
