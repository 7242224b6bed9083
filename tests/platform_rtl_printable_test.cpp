// The one escaper for text from outside shown on a terminal or in a message.
#include "platform/rtl/printable.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Printable, EscapesControlsBackslashAndBytesThatAreNotUtf8) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"COM3 /dev/ttyUSB0", "COM3 /dev/ttyUSB0"},
      {"A\x1B" "B", "A\\x1BB"},
      {"A\\x1BB", "A\\\\x1BB"},  // typed literally: differs from a real ESC
      {"\r\n\t\x7F", "\\x0D\\x0A\\x09\\x7F"},
      {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},  // UTF-8 stays
      {"\xC2\x85|\xC2\x9B|\xC2\xA0", "\\xC2\\x85|\\xC2\\x9B|\xC2\xA0"},  // C1 as UTF-8
      {"\x85\x9B", "\\x85\\x9B"},                                        // C1 as lone bytes
      {"\xE9t\xE9", "\\xE9t\\xE9"},                                      // Latin-1
      {"\xC0\xAF|\xED\xA0\x80|\xF4\x90\x80\x80|\xE2\x82",
       "\\xC0\\xAF|\\xED\\xA0\\x80|\\xF4\\x90\\x80\\x80|\\xE2\\x82"},  // overlong, surrogate, too high, cut
      {std::string("a\0b", 3), "a\\x00b"},
  };
  for (const Case& c : cases) EXPECT_EQ(qv::platform::Printable(c.in), c.out) << c.out;
}

}  // namespace
