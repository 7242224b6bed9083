// qvcomm type: types the barcodes a scanner sends into the program that has the focus, through
// a virtual keyboard in the user's keyboard layout.
#include "tools/qvcomm/commands.h"

#include "platform/input/keymap.h"
#include "platform/input/uinput.h"
#include "tools/qvcomm/cli.h"
#include "tools/qvcomm/scan.h"

#include <cerrno>
#include <cstdio>
#include <memory>

namespace qvcomm {

namespace {

namespace pf = qv::platform;

struct TypeSettings : ScanSettings {
  std::string layout, variant, prefix;
  char32_t suffix = U'\r';  // 0: none
  unsigned long keyDelayMs = 0;
  bool allowControl = false, dryRun = false, echo = false;
};

using T = TypeSettings;
constexpr std::array<Option<T>, 10> kTypeOwn = {{
    {{"", "", "Typing:", ""}},
    {{"--layout", "NAME", "the keyboard layout: us, de, fr, cz... (default:\n"
                          "XKB_DEFAULT_LAYOUT, else /etc/default/keyboard, else us)", "an XKB layout name"},
     [](T& s, const std::string& v) { return s.layout = v, !v.empty(); }},
    {{"--variant", "NAME", "its variant: nodeadkeys, qwerty...", "an XKB variant name"},
     [](T& s, const std::string& v) { return s.variant = v, !v.empty(); }},
    {{"--prefix", "TEXT", "typed before each code", "text"},
     [](T& s, const std::string& v) { return s.prefix = v, true; }},
    {{"--suffix", "enter|tab|none", "typed after each code (default enter)", "enter, tab or none"},
     [](T& s, const std::string& v) {
       s.suffix = v == "enter" ? U'\r' : v == "tab" ? U'\t' : 0;
       return v == "enter" || v == "tab" || v == "none";
     }},
    {{"--key-delay", "MS", "a pause before each key (default 0)", "milliseconds from 0 to 1000"},
     [](T& s, const std::string& v) { return TakeNumber<unsigned long, 0, 1000>(s.keyDelayMs, v); }},
    {{"--allow-control", "", "type the control characters of a code (Tab, Enter, Backspace,\n"
                             "Esc); without it a code that holds one is not typed", ""},
     [](T& s, const std::string&) { return s.allowControl = true; }},
    {{"--dry-run", "", "print each code's key events instead of typing them", ""},
     [](T& s, const std::string&) { return s.dryRun = true; }},
    {{"", "", "Output:", ""}},
    {{"--echo", "", "print each code on standard output too (typed or not)", ""},
     [](T& s, const std::string&) { return s.echo = true; }},
}};
constexpr auto kTypeOptions = WithScanOptions(kTypeOwn);

std::string TypeOperands(T& s, const std::vector<std::string>& ops) { return ScanOperands(s, ops); }

// A code's characters: UTF-8 when it is that throughout, else one character per byte (Latin-1,
// what an 8-bit scanner that is not set to UTF-8 sends).
std::u32string Characters(std::string_view code) {
  bool utf8 = true;
  for (std::size_t i = 0, n = 0; utf8 && i < code.size(); i += n) utf8 = (n = pf::Utf8Length(code, i)) != 0;
  std::u32string out;
  for (std::size_t i = 0; i < code.size();) {
    const unsigned char c = code[i];
    const std::size_t n = utf8 ? pf::Utf8Length(code, i) : 1;
    char32_t v = n == 1 ? c : c & (0x7Fu >> n);
    for (std::size_t k = 1; k < n; ++k) v = (v << 6) | (static_cast<unsigned char>(code[i + k]) & 0x3Fu);
    out += v;
    i += n;
  }
  return out;
}

std::string Utf8(char32_t c) {
  std::string s;
  if (c < 0x80) return s += char(c), s;
  if (c < 0x800) return s += char(0xC0 | (c >> 6)), s += char(0x80 | (c & 0x3F)), s;
  if (c < 0x10000) s += char(0xE0 | (c >> 12));
  else s += char(0xF0 | (c >> 18)), s += char(0x80 | ((c >> 12) & 0x3F));
  return s += char(0x80 | ((c >> 6) & 0x3F)), s += char(0x80 | (c & 0x3F)), s;
}

std::string CodePoint(char32_t c) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "U+%04X", unsigned(c));
  return buf;
}

bool IsControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

// Turns text into key events: "" when every character has its key, else why not (the first
// character that has none).
std::string Plan(const pf::TKeymap& keymap, std::u32string_view text, bool allowControl,
                 std::vector<pf::TKeyEvent>& events) {
  for (char32_t c : text) {
    if (IsControl(c) && !allowControl)
      return "it holds the control character " + CodePoint(c) + " (--allow-control types it)";
    // A line feed is the Enter key, as in any text field.
    auto stroke = keymap.Find(c == U'\n' ? U'\r' : c);
    if (!stroke)
      return "the layout " + keymap.Names().Describe() + " has no key for " +
             (IsControl(c) ? CodePoint(c) : "\"" + Printable(Utf8(c)) + "\" (" + CodePoint(c) + ")");
    keymap.AppendEvents(*stroke, events);
  }
  return "";
}

// "+LFSH +AE01 -AE01 -LFSH": the keys by the layout's names, + down, - up.
std::string DescribeEvents(const pf::TKeymap& keymap, const std::vector<pf::TKeyEvent>& events) {
  std::string out;
  for (const pf::TKeyEvent& e : events) {
    std::string name = keymap.KeyName(e.code);
    out += (out.empty() ? "" : " ") + std::string(e.down ? "+" : "-") +
           (name.empty() ? std::to_string(e.code) : name);
  }
  return out;
}

int RunType(TypeSettings& s) {
  const std::string port = PortName(s);
  const pf::TXkbNames names = pf::XkbNamesInForce(s.layout, s.variant);
  std::string error;
  const std::unique_ptr<pf::TKeymap> keymap = pf::TKeymap::Create(names, error);
  if (!keymap) {
    Error(error);
    return names.source == "--layout" ? kExitUsage : kExitFailure;
  }
  // What goes around each code is the user's own text: it may hold control characters.
  std::vector<pf::TKeyEvent> prefix, suffix;
  if (error = Plan(*keymap, Characters(s.prefix), true, prefix); !error.empty())
    return UsageError("type", "--prefix cannot be typed: " + error);
  if (s.suffix && !(error = Plan(*keymap, std::u32string(1, s.suffix), true, suffix)).empty())
    return UsageError("type", "--suffix cannot be typed: " + error);

  // Made before the port opens, so the session has picked the keyboard up by the first code.
  pf::TVirtualKeyboard keyboard;
  if (!s.dryRun && !keyboard.Open("qvcomm " + port, error)) {
    Error(error);
    return keyboard.ErrorNumber() == EACCES || keyboard.ErrorNumber() == EPERM ? kExitPermission : kExitFailure;
  }
  const std::string layout = ", layout " + names.Describe() + " (from " + names.source + ")";
  return RunScanner(s, s.dryRun ? "showing the keys for" : "typing", layout, [&](const std::string& code) {
    if (s.echo)
      if (int r = PrintLine(Printable(code)); r != kGoOn) return r;
    std::vector<pf::TKeyEvent> events = prefix;
    // Never half a code: nothing is typed unless every character has its key.
    if (std::string why = Plan(*keymap, Characters(code), s.allowControl, events); !why.empty()) {
      Error(port + ": \"" + Printable(code) + "\" not typed: " + why);
      return kGoOn;
    }
    events.insert(events.end(), suffix.begin(), suffix.end());
    if (s.dryRun) return PrintLine(Printable(code) + ": " + DescribeEvents(*keymap, events));
    std::string failure;
    if (keyboard.Send(events, unsigned(s.keyDelayMs), failure)) return kGoOn;
    Error(failure);
    return int(kExitFailure);
  });
}

constexpr Syntax<TypeSettings> kTypeSyntax{
    "type", "type PORT [OPTIONS]", "type each barcode from PORT into the focused program",
    "PORT is COMn, a device path (/dev/ttyUSB0, /dev/serial/by-id/...), rfc2217://HOST:PORT\n"
    "or tcp://HOST:PORT. Opens it with the barcode scanner component and types each barcode\n"
    "into the program that has the focus (X11, Wayland or the text console) through a virtual\n"
    "keyboard (/dev/uinput) in your keyboard layout, until Ctrl-C (or SIGTERM) or --count\n"
    "barcodes. A code with a character the layout has no key for is not typed at all; standard\n"
    "error names the character. Codes are UTF-8 when they are valid UTF-8, else Latin-1.\n",
    kTypeOptions, TypeOperands};

}  // namespace

const Command typeCommand = MakeCommand<TypeSettings, &kTypeSyntax, RunType>();

}  // namespace qvcomm
