#include "platform/input/keymap.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <tuple>

namespace qv::platform {

namespace {

// XKB keycodes are the kernel's plus 8.
constexpr xkb_keycode_t kXkbOffset = 8;

// The value of a shell assignment in /etc/default/keyboard, quotes taken off.
std::string Unquote(std::string v) {
  while (!v.empty() && (v.back() == '\r' || v.back() == ' ' || v.back() == '\t')) v.pop_back();
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return v;
}

struct FileNames {
  std::string model, layout, variant, options;
};

FileNames ReadKeyboardFile(const std::string& file) {
  FileNames out;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq == std::string::npos || line.find('#') < eq) continue;
    const std::size_t start = line.find_first_not_of(" \t");  // at most eq
    const std::string key = line.substr(start, eq - start);
    const std::string value = Unquote(line.substr(eq + 1));
    if (key == "XKBMODEL") out.model = value;
    else if (key == "XKBLAYOUT") out.layout = value;
    else if (key == "XKBVARIANT") out.variant = value;
    else if (key == "XKBOPTIONS") out.options = value;
  }
  return out;
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// xkbcommon's complaints are collected for the message of a layout that does not compile.
void CollectLog(xkb_context* context, xkb_log_level, const char* format, va_list args) {
  auto* text = static_cast<std::string*>(xkb_context_get_user_data(context));
  char line[512];
  std::vsnprintf(line, sizeof line, format, args);
  if (text && text->empty()) *text = line;
}

// Which keys a character is preferably typed on: the main block first (digits, letters,
// punctuation, Tab, Enter, space), then the extra key of 105-key boards, then the rest.
int KeyClass(std::uint16_t code) { return code <= KEY_CAPSLOCK ? 0 : code == KEY_102ND ? 1 : 2; }

bool IsKeypad(xkb_keysym_t sym) { return sym >= XKB_KEY_KP_Space && sym <= XKB_KEY_KP_Equal; }

xkb_keysym_t BaseSym(xkb_keymap* keymap, xkb_keycode_t key) {
  const xkb_keysym_t* syms = nullptr;
  return xkb_keymap_key_get_syms_by_level(keymap, key, 0, 0, &syms) == 1 ? syms[0] : XKB_KEY_NoSymbol;
}

}  // namespace

std::string TXkbNames::Describe() const { return variant.empty() ? layout : layout + "(" + variant + ")"; }

TXkbNames XkbNamesInForce(const std::string& layout, const std::string& variant, const std::string& file) {
  TXkbNames n;
  const FileNames f = ReadKeyboardFile(file);
  if (!layout.empty()) {
    n.layout = layout;
    n.source = "--layout";
  } else if (!Env("XKB_DEFAULT_LAYOUT").empty()) {
    n.layout = Env("XKB_DEFAULT_LAYOUT");
    n.variant = Env("XKB_DEFAULT_VARIANT");
    n.source = "XKB_DEFAULT_LAYOUT";
  } else if (!f.layout.empty()) {
    n.layout = f.layout;
    n.variant = f.variant;
    n.source = file;
  }
  if (!variant.empty()) n.variant = variant;
  if (!Env("XKB_DEFAULT_RULES").empty()) n.rules = Env("XKB_DEFAULT_RULES");
  if (std::string m = Env("XKB_DEFAULT_MODEL"); !m.empty() || !f.model.empty()) n.model = m.empty() ? f.model : m;
  n.options = Env("XKB_DEFAULT_OPTIONS").empty() ? f.options : Env("XKB_DEFAULT_OPTIONS");
  return n;
}

std::unique_ptr<TKeymap> TKeymap::Create(const TXkbNames& names, std::string& error) {
  std::unique_ptr<TKeymap> map(new TKeymap);
  map->names_ = names;
  // The names are ours to choose: the environment was read above, and only there.
  map->context_ = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
  if (!map->context_) {
    error = "cannot start the keyboard layout library (libxkbcommon)";
    return nullptr;
  }
  std::string complaint;
  xkb_context_set_user_data(map->context_, &complaint);
  xkb_context_set_log_fn(map->context_, CollectLog);
  xkb_context_set_log_level(map->context_, XKB_LOG_LEVEL_ERROR);
  const xkb_rule_names rmlvo{names.rules.c_str(), names.model.c_str(), names.layout.c_str(),
                             names.variant.c_str(), names.options.c_str()};
  map->keymap_ = xkb_keymap_new_from_names(map->context_, &rmlvo, XKB_KEYMAP_COMPILE_NO_FLAGS);
  xkb_context_set_user_data(map->context_, nullptr);
  if (!map->keymap_) {
    while (!complaint.empty() && (complaint.back() == '\n' || complaint.back() == ' ')) complaint.pop_back();
    error = "the keyboard layout " + names.Describe() + " (from " + names.source +
            ") is not one XKB knows (localectl list-x11-keymap-layouts lists them)" +
            (complaint.empty() ? "" : ": " + complaint);
    return nullptr;
  }
  map->BuildStrokes();
  return map;
}

TKeymap::~TKeymap() {
  xkb_keymap_unref(keymap_);
  xkb_context_unref(context_);
}

void TKeymap::BuildStrokes() {
  const xkb_keycode_t first = std::max(xkb_keymap_min_keycode(keymap_), kXkbOffset + 1);
  const xkb_keycode_t last = std::min(xkb_keymap_max_keycode(keymap_), kXkbOffset + kMaxKeyCode);
  std::uint16_t shiftR = 0;
  for (xkb_keycode_t key = first; key <= last; ++key) {
    const auto code = std::uint16_t(key - kXkbOffset);
    const xkb_keysym_t sym = BaseSym(keymap_, key);
    // The usual keys when there are several (AltGr is the right Alt on most layouts).
    if (sym == XKB_KEY_Shift_L && (!shiftKey_ || code == KEY_LEFTSHIFT)) shiftKey_ = code;
    if (sym == XKB_KEY_Shift_R && !shiftR) shiftR = code;
    if (sym == XKB_KEY_ISO_Level3_Shift && (!altGrKey_ || code == KEY_RIGHTALT)) altGrKey_ = code;
  }
  if (!shiftKey_) shiftKey_ = shiftR;
  // Every key under every combination of the two modifiers, read through the layout's own
  // state, so key types and modifier mappings count exactly as they do in the session.
  std::unordered_map<char32_t, std::tuple<int, int, std::uint16_t>> rank;
  for (std::uint8_t mods = 0; mods <= (kmShift | kmAltGr); ++mods) {
    if (((mods & kmShift) && !shiftKey_) || ((mods & kmAltGr) && !altGrKey_)) continue;
    xkb_state* state = xkb_state_new(keymap_);
    if (!state) continue;
    if (mods & kmShift) xkb_state_update_key(state, shiftKey_ + kXkbOffset, XKB_KEY_DOWN);
    if (mods & kmAltGr) xkb_state_update_key(state, altGrKey_ + kXkbOffset, XKB_KEY_DOWN);
    for (xkb_keycode_t key = first; key <= last; ++key) {
      const auto code = std::uint16_t(key - kXkbOffset);
      const char32_t c = xkb_state_key_get_utf32(state, key);
      if (!c || IsKeypad(xkb_state_key_get_one_sym(state, key))) continue;
      const std::tuple<int, int, std::uint16_t> r{KeyClass(code), std::popcount(mods), code};
      auto it = rank.find(c);
      if (it == rank.end() || r < it->second) {
        rank[c] = r;
        strokes_[c] = TKeyStroke{code, mods};
      }
    }
    xkb_state_unref(state);
  }
}

std::optional<TKeyStroke> TKeymap::Find(char32_t c) const {
  auto it = strokes_.find(c);
  if (it == strokes_.end()) return std::nullopt;
  return it->second;
}

void TKeymap::AppendEvents(const TKeyStroke& stroke, std::vector<TKeyEvent>& out) const {
  if (stroke.mods & kmShift) out.push_back({shiftKey_, true});
  if (stroke.mods & kmAltGr) out.push_back({altGrKey_, true});
  out.push_back({stroke.code, true});
  out.push_back({stroke.code, false});
  if (stroke.mods & kmAltGr) out.push_back({altGrKey_, false});
  if (stroke.mods & kmShift) out.push_back({shiftKey_, false});
}

std::string TKeymap::KeyName(std::uint16_t code) const {
  const char* name = xkb_keymap_key_get_name(keymap_, code + kXkbOffset);
  return name ? name : "";
}

std::uint16_t TKeymap::KeyByName(const std::string& name) const {
  const xkb_keycode_t key = xkb_keymap_key_by_name(keymap_, name.c_str());
  return key > kXkbOffset && key != XKB_KEYCODE_INVALID ? std::uint16_t(key - kXkbOffset) : 0;
}

TKeyDecoder::TKeyDecoder(const TKeymap& keymap) : state_(xkb_state_new(keymap.keymap_)) {}

TKeyDecoder::~TKeyDecoder() { xkb_state_unref(state_); }

void TKeyDecoder::Feed(const TKeyEvent& event) {
  if (!state_) return;
  const xkb_keycode_t key = event.code + kXkbOffset;
  if (event.down)
    if (const char32_t c = xkb_state_key_get_utf32(state_, key)) text_ += c;
  xkb_state_update_key(state_, key, event.down ? XKB_KEY_DOWN : XKB_KEY_UP);
}

}  // namespace qv::platform
