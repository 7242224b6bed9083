// The runtime's formatter: printf-like directives over a list of tagged values.
//
// Directives: %[index:][-][width][.precision]type with type one of
//   d (signed decimal), u (unsigned decimal), x / X (hexadecimal), c (character),
//   s (string; a character is accepted too), p (pointer), e / f / g (floating point), %% (a '%').
// Width and precision may be '*' (taken from the next argument, which must be an integer).
// Width pads with blanks (left with '-'); precision gives the minimum digit count of integers
// (zero-filled), the maximum length of strings and the decimals of floating point.
// A directive whose argument is missing or of the wrong kind raises EConvertError; extra
// arguments are ignored. Examples: "%2Xh" of 5 -> " 5h", "%.3d" of 7 -> "007".
//
// Integers keep their width: a negative 32-bit value given to %u or %x shows as its 32-bit
// two's complement (-1 -> 4294967295 / FFFFFFFF), a negative 64-bit one as 64-bit. Unsigned
// values are never shown negative by %d.
#pragma once

#include "platform/rtl/exceptions.h"

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// One argument. Strings are referenced, not copied: a TVarRec is valid only as long as the
// string it was made from (a call argument list is; do not keep TVarRecs of temporaries).
class TVarRec {
 public:
  enum Kind : std::uint8_t { vtInteger, vtUnsigned, vtChar, vtString, vtPointer, vtExtended };

  TVarRec(int v) : kind_(vtInteger), bits64_(false) { u_.i = v; }
  TVarRec(long v) : kind_(vtInteger), bits64_(sizeof(long) > 4) { u_.i = v; }
  TVarRec(long long v) : kind_(vtInteger), bits64_(true) { u_.i = v; }
  TVarRec(short v) : TVarRec(int(v)) {}
  TVarRec(signed char v) : TVarRec(int(v)) {}
  TVarRec(unsigned v) : kind_(vtUnsigned), bits64_(false) { u_.u = v; }
  TVarRec(unsigned long v) : kind_(vtUnsigned), bits64_(sizeof(long) > 4) { u_.u = v; }
  TVarRec(unsigned long long v) : kind_(vtUnsigned), bits64_(true) { u_.u = v; }
  TVarRec(unsigned short v) : TVarRec(unsigned(v)) {}
  TVarRec(unsigned char v) : TVarRec(unsigned(v)) {}
  TVarRec(char c) : kind_(vtChar), bits64_(false) { u_.c = c; }
  TVarRec(const char* s) : kind_(vtString), bits64_(false) { SetString(s ? std::string_view(s) : std::string_view()); }
  TVarRec(const std::string& s) : kind_(vtString), bits64_(false) { SetString(s); }
  TVarRec(std::string_view s) : kind_(vtString), bits64_(false) { SetString(s); }
  TVarRec(const void* p) : kind_(vtPointer), bits64_(true) { u_.p = p; }
  TVarRec(double d) : kind_(vtExtended), bits64_(true) { u_.d = d; }
  TVarRec(bool) = delete;  // no boolean kind: pass an integer or a text

  Kind kind() const { return kind_; }
  bool is64() const { return bits64_; }
  std::int64_t asInt() const { return u_.i; }
  std::uint64_t asUnsigned() const { return u_.u; }
  char asChar() const { return u_.c; }
  std::string_view asString() const { return {u_.s.data, u_.s.size}; }
  const void* asPointer() const { return u_.p; }
  double asDouble() const { return u_.d; }

 private:
  void SetString(std::string_view s) {
    u_.s.data = s.data();
    u_.s.size = s.size();
  }
  Kind kind_;
  bool bits64_;
  union {
    std::int64_t i;
    std::uint64_t u;
    char c;
    struct {
      const char* data;
      std::size_t size;
    } s;
    const void* p;
    double d;
  } u_;
};

using TVarRecs = std::span<const TVarRec>;

std::string Format(std::string_view fmt, std::initializer_list<TVarRec> args);
std::string Format(std::string_view fmt, TVarRecs args);
std::string Format(std::string_view fmt);
// Appends the formatted text to out (no allocation when out has room); on EConvertError out
// keeps what it had before the call.
void FormatTo(std::string& out, std::string_view fmt, TVarRecs args);

// Small conversions the components share.
std::string IntToStr(std::int64_t value);
std::string IntToHex(std::uint64_t value, int digits);
