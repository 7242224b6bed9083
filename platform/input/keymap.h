// A keyboard layout as the user's session reads keys: compiled from its XKB names by
// libxkbcommon, and looked up backwards (which key, with which modifiers, types a character)
// and forwards (which characters a run of key events types).
//
// Keys are Linux input event codes (KEY_A = 30), what a virtual keyboard sends; the layout's
// first group is the one looked up, with Caps Lock and Num Lock taken as off.
//
// TKeymap: built once, then read from any thread. TKeyDecoder: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct xkb_context;
struct xkb_keymap;
struct xkb_state;

namespace qv::platform {

// The XKB names of a layout (rules, model, layout, variant, options) and where they came from.
struct TXkbNames {
  std::string rules = "evdev", model = "pc105", layout = "us", variant, options;
  std::string source = "the default";  // for messages: "--layout", "XKB_DEFAULT_LAYOUT", a file

  // "cz", "de(nodeadkeys)", "us,cz(qwerty)".
  std::string Describe() const;
};

// The layout in force: layout (with variant) when given; else XKB_DEFAULT_LAYOUT and
// XKB_DEFAULT_VARIANT; else XKBLAYOUT and XKBVARIANT of file (/etc/default/keyboard); else us.
// A variant given alone applies to the layout found. Model and options come from
// XKB_DEFAULT_MODEL/OPTIONS, else from the file, since they describe the keyboard, not a layout.
TXkbNames XkbNamesInForce(const std::string& layout, const std::string& variant,
                          const std::string& file = "/etc/default/keyboard");

// The codes of a keyboard's keys: 1 to 255 (buttons of mice and pads come after).
constexpr std::uint16_t kMaxKeyCode = 255;

// A key going down or up.
struct TKeyEvent {
  std::uint16_t code = 0;
  bool down = false;
  bool operator==(const TKeyEvent&) const = default;
};

// The modifiers a character may need, as a bit mask.
enum TKeyMods : std::uint8_t { kmNone = 0, kmShift = 1, kmAltGr = 2 };

// One key with its modifiers, typing one character.
struct TKeyStroke {
  std::uint16_t code = 0;
  std::uint8_t mods = kmNone;
  bool operator==(const TKeyStroke&) const = default;
};

class TKeymap {
 public:
  // Compiles the layout; nullptr with the reason in error when the names name no layout.
  static std::unique_ptr<TKeymap> Create(const TXkbNames& names, std::string& error);
  ~TKeymap();
  TKeymap(const TKeymap&) = delete;
  TKeymap& operator=(const TKeymap&) = delete;

  const TXkbNames& Names() const { return names_; }
  // The stroke that types c, or nullopt when no key does with Shift and AltGr alone.
  std::optional<TKeyStroke> Find(char32_t c) const;
  // The events that type the stroke: modifiers down, the key down and up, modifiers up.
  void AppendEvents(const TKeyStroke& stroke, std::vector<TKeyEvent>& out) const;
  // The layout's name of a key ("AE01", "LFSH", "RTRN"), "" for none; and back (0 for none).
  std::string KeyName(std::uint16_t code) const;
  std::uint16_t KeyByName(const std::string& name) const;

 private:
  friend class TKeyDecoder;
  TKeymap() = default;
  void BuildStrokes();

  TXkbNames names_;
  xkb_context* context_ = nullptr;
  xkb_keymap* keymap_ = nullptr;
  std::uint16_t shiftKey_ = 0, altGrKey_ = 0;  // 0: the layout has none
  std::unordered_map<char32_t, TKeyStroke> strokes_;
};

// The forward look-up: the text a program reading these key events gets.
class TKeyDecoder {
 public:
  explicit TKeyDecoder(const TKeymap& keymap);
  ~TKeyDecoder();
  TKeyDecoder(const TKeyDecoder&) = delete;
  TKeyDecoder& operator=(const TKeyDecoder&) = delete;

  // A key that goes down appends the character it types (none for a modifier or a dead key).
  void Feed(const TKeyEvent& event);
  const std::u32string& Text() const { return text_; }

 private:
  xkb_state* state_ = nullptr;
  std::u32string text_;
};

}  // namespace qv::platform
