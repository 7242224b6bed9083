// Text from outside (device names, paths, received codes) made safe to show on a terminal or in
// a message: one rule for every program and library message. Any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qv::platform {

// C0 and C1 control characters, DEL and bytes that are not UTF-8 become \xHH (one per byte;
// a C1 character, U+0080..U+009F, is two bytes in UTF-8: \xC2\x85); a backslash becomes \\, so
// a text that holds "\x1B" literally shows differently from one that holds ESC. Everything else
// (printable ASCII, other valid UTF-8) stays as it is.
std::string Printable(std::string_view text);

// The length of the valid UTF-8 sequence starting at text[i] (1 for ASCII), 0 when the bytes
// there are not one (a stray continuation byte, an overlong form, a surrogate, a sequence cut
// short or beyond U+10FFFF).
std::size_t Utf8Length(std::string_view text, std::size_t i);

}  // namespace qv::platform
