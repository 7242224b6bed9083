// The runtime formatter: directives, widths, precisions and the failures the log sink relies on.
#include "platform/rtl/format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

namespace {

TEST(Format, IntegerDirectivesWithWidthAndPrecision) {
  EXPECT_EQ(Format("%d", {42}), "42");
  EXPECT_EQ(Format("%d", {-42}), "-42");
  EXPECT_EQ(Format("%d", {INT_MIN}), "-2147483648");
  EXPECT_EQ(Format("%.3d", {7}), "007");
  EXPECT_EQ(Format("%.3d", {-7}), "-007");
  EXPECT_EQ(Format("%5d|", {42}), "   42|");
  EXPECT_EQ(Format("%-5d|", {42}), "42   |");
  EXPECT_EQ(Format("%6.3d", {5}), "   005");
  EXPECT_EQ(Format("%u", {42u}), "42");
  EXPECT_EQ(Format("%d", {std::int64_t(-5000000000)}), "-5000000000");
}

TEST(Format, HexDirectivesAsTheSendLogUsesThem) {
  EXPECT_EQ(Format("Try to send char %2Xh ...", {5}), "Try to send char  5h ...");
  EXPECT_EQ(Format("%2Xh", {0xAB}), "ABh");
  EXPECT_EQ(Format("%2Xh", {std::uint8_t(0x0D)}), " Dh");
  EXPECT_EQ(Format("%x", {255}), "ff");
  EXPECT_EQ(Format("%X", {255u}), "FF");
  EXPECT_EQ(Format("%.4X", {0x1F}), "001F");
  EXPECT_EQ(IntToHex(255, 4), "00FF");
}

TEST(Format, NegativeValuesGivenToUnsignedDirectivesKeepTheirWidth) {
  EXPECT_EQ(Format("%u", {-1}), "4294967295");
  EXPECT_EQ(Format("%x", {-1}), "ffffffff");
  EXPECT_EQ(Format("%u", {std::int64_t(-1)}), "18446744073709551615");
  // An unsigned 32-bit value is never shown negative.
  EXPECT_EQ(Format("%d", {0xFFFFFFFFu}), "4294967295");
  EXPECT_EQ(Format("Fatal Error: %u, %u, %s", {1u, DWORD(0), std::string("boom")}), "Fatal Error: 1, 0, boom");
}

TEST(Format, StringsAndCharacters) {
  EXPECT_EQ(Format("%s", {"abc"}), "abc");
  EXPECT_EQ(Format("%5s|", {"ab"}), "   ab|");
  EXPECT_EQ(Format("%-5s|", {"ab"}), "ab   |");
  EXPECT_EQ(Format("%-10s|", {std::string("name")}), "name      |");
  EXPECT_EQ(Format("%.2s", {"abcdef"}), "ab");
  EXPECT_EQ(Format("%s", {'x'}), "x");
  EXPECT_EQ(Format("%c%c", {'A', 66}), "AB");
  EXPECT_EQ(Format("%3c|", {'z'}), "  z|");
  EXPECT_EQ(Format("100%%", {}), "100%");
  EXPECT_EQ(Format("%s", {static_cast<const char*>(nullptr)}), "");
  const std::string embedded("a\0b", 3);
  EXPECT_EQ(Format("[%s]", {embedded}), std::string("[a\0b]", 5));
  EXPECT_EQ(Format("Device \"%s\" Open Error !!!\r%s", {"COM3", "gone"}), "Device \"COM3\" Open Error !!!\rgone");
}

TEST(Format, StarWidthAndArgumentIndex) {
  EXPECT_EQ(Format("%*d|", {5, 42}), "   42|");
  EXPECT_EQ(Format("%*d|", {-5, 42}), "42   |");
  EXPECT_EQ(Format("%.*s|", {2, "abcdef"}), "ab|");
  EXPECT_EQ(Format("%1:s %0:s %s", {"a", "b"}), "b a b");
}

TEST(Format, FloatingPointAndPointers) {
  EXPECT_EQ(Format("%.2f", {3.14159}), "3.14");
  EXPECT_EQ(Format("%f", {2.0}), "2.00");
  int x = 0;
  EXPECT_EQ(Format("%p", {static_cast<const void*>(&x)}).size(), 2 * sizeof(void*));
}

TEST(Format, ExtraArgumentsAreIgnored) {
  EXPECT_EQ(Format("%d", {1, 2, "three"}), "1");
  EXPECT_EQ(Format("plain", {1}), "plain");
  EXPECT_EQ(Format("plain"), "plain");
}

TEST(Format, MismatchesRaiseConvertError) {
  EXPECT_THROW(Format("%s %s", {"only one"}), EConvertError);
  EXPECT_THROW(Format("%d", {}), EConvertError);
  EXPECT_THROW(Format("%d", {"text"}), EConvertError);
  EXPECT_THROW(Format("%d", {'c'}), EConvertError);
  EXPECT_THROW(Format("%s", {5}), EConvertError);
  EXPECT_THROW(Format("%x", {"text"}), EConvertError);
  EXPECT_THROW(Format("%p", {5}), EConvertError);
  EXPECT_THROW(Format("%*d", {"w", 5}), EConvertError);
  EXPECT_THROW(Format("%q", {5}), EConvertError);
  EXPECT_THROW(Format("trailing %", {5}), EConvertError);
  EXPECT_THROW(Format("%99999999d", {5}), EConvertError);
  try {
    Format("%d items", {"x"});
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_NE(e.Message().find("%d items"), std::string::npos) << e.Message();
  }
}

TEST(Format, ArraysArePassedOnAndFormatToKeepsTextOnFailure) {
  std::string name = "COM1";
  std::vector<TVarRec> args{name, 3};
  EXPECT_EQ(Format("%s:%d", args), "COM1:3");
  std::string out = "prefix ";
  FormatTo(out, "%s=%d", args);
  EXPECT_EQ(out, "prefix COM1=3");
  EXPECT_THROW(FormatTo(out, "%s %s %s", args), EConvertError);
  EXPECT_EQ(out, "prefix COM1=3");
}

template <class E, class F>
std::string MessageOf(F f) {
  try {
    f();
  } catch (const E& e) {
    return e.Message();
  }
  return "<nothing raised>";
}

TEST(Exceptions, AbstractAndListErrors) {
  EXPECT_EQ(MessageOf<EAbstractError>([] { AbstractError(); }), "Abstract Error");
  EXPECT_EQ(MessageOf<Exception>([] { AbstractError(); }), "Abstract Error");
  EXPECT_EQ(MessageOf<EListError>([] { ListIndexError(7); }), "List index out of bounds (7)");
  DWORD code = 0;
  try {
    RaiseLastOSError(ERROR_ACCESS_DENIED);
  } catch (const EOSError& e) {
    code = e.ErrorCode();
  }
  EXPECT_EQ(code, ERROR_ACCESS_DENIED);
}

}  // namespace
