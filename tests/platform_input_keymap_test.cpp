// Keyboard layouts: which key and modifiers type a character (the reverse look-up), checked
// against known keys per layout and by the layout's own forward look-up, and where the layout's
// names come from.
#include "platform/input/keymap.h"

#include <gtest/gtest.h>

#include <linux/input-event-codes.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

using namespace qv::platform;

namespace {

constexpr std::uint8_t S = kmShift, G = kmAltGr, SG = kmShift | kmAltGr;

struct Key {
  char32_t c;
  std::uint16_t code;
  std::uint8_t mods;
};

struct Layout {
  const char* layout;
  std::vector<Key> keys;
  std::u32string national;  // characters of its own, for the random codes
  std::u32string missing;   // characters it has no key for (reached by dead keys or Caps Lock only)
};

const std::vector<Layout>& Layouts() {
  static const std::vector<Layout> layouts = {
      {"us",
       {{U'a', KEY_A, 0}, {U'A', KEY_A, S}, {U'1', KEY_1, 0}, {U'!', KEY_1, S}, {U'@', KEY_2, S},
        {U'~', KEY_GRAVE, S}, {U' ', KEY_SPACE, 0}, {U'\r', KEY_ENTER, 0}, {U'\t', KEY_TAB, 0},
        {U'<', KEY_COMMA, S}},
       U"",
       U"€ř\x01\U0001F600"},
      {"de",
       {{U'z', KEY_Y, 0}, {U'y', KEY_Z, 0}, {U'@', KEY_Q, G}, {U'{', KEY_7, G}, {U'"', KEY_2, S},
        {U'ß', KEY_MINUS, 0}, {U'#', KEY_BACKSLASH, 0}, {U'<', KEY_102ND, 0}, {U'|', KEY_102ND, G},
        {U'€', KEY_E, G}, {U'Ü', KEY_LEFTBRACE, S}},
       U"äöüÄÖÜß€§°µ",
       U"^`ŘÁ"},
      {"fr",
       {{U'&', KEY_1, 0}, {U'1', KEY_1, S}, {U'a', KEY_Q, 0}, {U'q', KEY_A, 0}, {U'z', KEY_W, 0},
        {U'm', KEY_SEMICOLON, 0}, {U'@', KEY_0, G}, {U'é', KEY_2, 0}, {U'€', KEY_E, G},
        {U'#', KEY_3, G}},
       U"éèçàù€²µ§£",
       U"ÉÈÇ"},
      {"cz",
       {{U'+', KEY_1, 0}, {U'1', KEY_1, S}, {U'8', KEY_8, S}, {U'ě', KEY_2, 0}, {U'z', KEY_Y, 0},
        {U'@', KEY_2, G}, {U'ů', KEY_SEMICOLON, 0}, {U'ú', KEY_LEFTBRACE, 0}},
       U"ěščřžýáíéůú§đł",
       U"ĚŠČŘŽÝÁÍÉŮÚ"},
      // Polish (programmers'): the national letters are all AltGr, the capitals Shift+AltGr.
      {"pl",
       {{U'ą', KEY_A, G}, {U'Ą', KEY_A, SG}, {U'ł', KEY_L, G}, {U'ż', KEY_Z, G}, {U'ź', KEY_X, G},
        {U'z', KEY_Z, 0}, {U'@', KEY_2, S}},
       U"ąćęłńóśźżĄĆĘŁŃÓŚŹŻ",
       U"ř"},
  };
  return layouts;
}

std::unique_ptr<TKeymap> Load(const std::string& layout) {
  TXkbNames names;
  names.layout = layout;
  std::string error;
  auto map = TKeymap::Create(names, error);
  EXPECT_TRUE(map) << error;
  return map;
}

// What the layout's forward look-up makes of the strokes for text; false when a character
// has no stroke.
bool RoundTrip(const TKeymap& map, const std::u32string& text, std::u32string& typed) {
  std::vector<TKeyEvent> events;
  for (char32_t c : text) {
    auto stroke = map.Find(c);
    if (!stroke) return false;
    map.AppendEvents(*stroke, events);
  }
  TKeyDecoder decoder(map);
  for (const TKeyEvent& e : events) decoder.Feed(e);
  typed = decoder.Text();
  return true;
}

void PrintTo(const Layout& l, std::ostream* out) { *out << l.layout; }

class KeymapTest : public ::testing::TestWithParam<Layout> {};

TEST_P(KeymapTest, KnownKeysOfTheLayout) {
  auto map = Load(GetParam().layout);
  ASSERT_TRUE(map);
  for (const Key& k : GetParam().keys) {
    auto stroke = map->Find(k.c);
    ASSERT_TRUE(stroke) << "U+" << std::hex << unsigned(k.c);
    EXPECT_EQ(*stroke, (TKeyStroke{k.code, k.mods})) << "U+" << std::hex << unsigned(k.c) << " got key "
                                                     << std::dec << stroke->code << " mods " << int(stroke->mods);
  }
}

TEST_P(KeymapTest, EveryPrintableAsciiCharacterAndRandomCodesComeBackThroughTheLayout) {
  auto map = Load(GetParam().layout);
  ASSERT_TRUE(map);
  std::u32string ascii, typed;
  for (char32_t c : GetParam().missing) EXPECT_FALSE(map->Find(c)) << "U+" << std::hex << unsigned(c);
  for (char32_t c = 0x20; c < 0x7f; ++c) {
    if (GetParam().missing.find(c) != std::u32string::npos) continue;
    ascii += c;
    ASSERT_TRUE(RoundTrip(*map, std::u32string(1, c), typed)) << "no key for " << char(c);
    EXPECT_EQ(typed, std::u32string(1, c)) << char(c);
  }
  // Whole codes at once: no modifier of one character leaks into the next.
  const std::u32string pool = ascii + GetParam().national;
  std::mt19937 random(20261208);
  for (int i = 0; i < 1000; ++i) {
    std::u32string code(1 + random() % 24, U' ');
    for (char32_t& c : code) c = pool[random() % pool.size()];
    ASSERT_TRUE(RoundTrip(*map, code, typed)) << i;
    ASSERT_EQ(typed, code) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, KeymapTest, ::testing::ValuesIn(Layouts()),
                         [](const auto& p) { return std::string(p.param.layout); });

TEST(Keymap, WhatAUsScannerTypesUnderCzechIsWhyTheLookUpIsNeeded) {
  auto cz = Load("cz");
  auto us = Load("us");
  ASSERT_TRUE(cz && us);
  // The US layout's keys for the digits, read by the Czech layout.
  std::vector<TKeyEvent> events;
  for (char c : std::string("8594156270087")) us->AppendEvents(*us->Find(char32_t(c)), events);
  TKeyDecoder decoder(*cz);
  for (const TKeyEvent& e : events) decoder.Feed(e);
  EXPECT_EQ(decoder.Text(), U"áříč+řžěýééáý");
}

TEST(Keymap, AnUnknownLayoutIsRefusedByName) {
  TXkbNames names;
  names.layout = "no-such-layout";
  names.source = "--layout";
  std::string error;
  EXPECT_FALSE(TKeymap::Create(names, error));
  EXPECT_NE(error.find("no-such-layout (from --layout)"), std::string::npos) << error;
}

// Sets or clears the XKB_DEFAULT_* variables for one test and restores them after.
class XkbEnvironment {
 public:
  XkbEnvironment(const char* layout, const char* variant) {
    for (const char* name : kNames)
      if (const char* v = getenv(name)) saved_.emplace_back(name, v);
    for (const char* name : kNames) unsetenv(name);
    if (layout) setenv("XKB_DEFAULT_LAYOUT", layout, 1);
    if (variant) setenv("XKB_DEFAULT_VARIANT", variant, 1);
  }
  ~XkbEnvironment() {
    for (const char* name : kNames) unsetenv(name);
    for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
  }

 private:
  static constexpr const char* kNames[] = {"XKB_DEFAULT_RULES", "XKB_DEFAULT_MODEL", "XKB_DEFAULT_LAYOUT",
                                           "XKB_DEFAULT_VARIANT", "XKB_DEFAULT_OPTIONS"};
  std::vector<std::pair<std::string, std::string>> saved_;
};

TEST(Keymap, TheLayoutInForceComesFromTheOptionsTheEnvironmentTheFileOrIsUs) {
  const std::string file = testing::TempDir() + "qv-keyboard-" + std::to_string(getpid());
  std::ofstream(file) << "# KEYBOARD CONFIGURATION FILE\nXKBMODEL=\"pc104\"\nXKBLAYOUT=\"fr\"\n"
                         "XKBVARIANT='bepo'\nXKBOPTIONS=\"lv3:ralt_switch\"\nBACKSPACE=\"guess\"\n";
  struct Case {
    const char *optLayout, *optVariant, *envLayout, *envVariant, *file;
    const char *layout, *variant, *source;
  } cases[] = {
      {"de", "", "cz", "qwerty", "file", "de", "", "--layout"},
      {"de", "nodeadkeys", nullptr, nullptr, "file", "de", "nodeadkeys", "--layout"},
      {"", "", "cz", "qwerty", "file", "cz", "qwerty", "XKB_DEFAULT_LAYOUT"},
      {"", "", nullptr, "qwerty", "file", "fr", "bepo", "file"},
      {"", "azerty", nullptr, nullptr, "file", "fr", "azerty", "file"},
      {"", "", nullptr, nullptr, "none", "us", "", "the default"},
  };
  for (const Case& c : cases) {
    XkbEnvironment env(c.envLayout, c.envVariant);
    const std::string from = std::string(c.file) == "file" ? file : file + ".missing";
    const TXkbNames n = XkbNamesInForce(c.optLayout, c.optVariant, from);
    EXPECT_EQ(n.layout, c.layout) << c.optLayout << "/" << (c.envLayout ? c.envLayout : "-");
    EXPECT_EQ(n.variant, c.variant) << c.optLayout << "/" << (c.envLayout ? c.envLayout : "-");
    EXPECT_EQ(n.source, std::string(c.source) == "file" ? file : c.source);
    // The keyboard's model and options stand whichever way the layout was chosen.
    EXPECT_EQ(n.model, std::string(c.file) == "file" ? "pc104" : "pc105");
    EXPECT_EQ(n.options, std::string(c.file) == "file" ? "lv3:ralt_switch" : "");
  }
  std::filesystem::remove(file);
}

}  // namespace
