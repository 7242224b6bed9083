#include "platform/rtl/format.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

[[noreturn]] void FormatError(std::string_view fmt) {
  std::string msg = "Format '";
  msg.append(fmt);
  msg += "' invalid or incompatible with argument";
  throw EConvertError(msg);
}

// Appends text padded to width (blanks; on the right when leftAlign).
void Pad(std::string& out, std::string_view text, int width, bool leftAlign) {
  std::size_t fill = width > 0 && std::size_t(width) > text.size() ? std::size_t(width) - text.size() : 0;
  if (!leftAlign) out.append(fill, ' ');
  out.append(text);
  if (leftAlign) out.append(fill, ' ');
}

// Digits of an integer with precision as the minimum count (zero-filled), sign in front.
void AppendInteger(std::string& out, bool negative, std::uint64_t magnitude, int base, bool upper, int width,
                   int precision, bool leftAlign) {
  char digits[72];
  auto res = std::to_chars(digits, digits + 64, magnitude, base);
  std::size_t n = std::size_t(res.ptr - digits);
  if (upper)
    for (std::size_t i = 0; i < n; ++i)
      if (digits[i] >= 'a' && digits[i] <= 'f') digits[i] = char(digits[i] - 'a' + 'A');
  char buf[160];
  std::size_t len = 0;
  if (negative) buf[len++] = '-';
  if (precision > 64) precision = 64;
  for (int z = precision - int(n); z > 0; --z) buf[len++] = '0';
  std::memcpy(buf + len, digits, n);
  len += n;
  Pad(out, std::string_view(buf, len), width, leftAlign);
}

// Reads a number or '*' (taking the next argument, which may be negative); false when neither
// is there.
bool ReadCount(std::string_view fmt, std::size_t& i, TVarRecs args, std::size_t& argIndex, int& value) {
  if (i < fmt.size() && fmt[i] == '*') {
    ++i;
    if (argIndex >= args.size()) FormatError(fmt);
    const TVarRec& a = args[argIndex++];
    if (a.kind() == TVarRec::vtInteger && a.asInt() >= -100000 && a.asInt() <= 100000)
      value = int(a.asInt());
    else if (a.kind() == TVarRec::vtUnsigned && a.asUnsigned() <= 100000)
      value = int(a.asUnsigned());
    else
      FormatError(fmt);
    return true;
  }
  if (i >= fmt.size() || fmt[i] < '0' || fmt[i] > '9') return false;
  int v = 0;
  while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
    v = v * 10 + (fmt[i] - '0');
    if (v > 100000) FormatError(fmt);  // a width this large is a broken format string
    ++i;
  }
  value = v;
  return true;
}

// One conversion: %[index:][-][width][.precision]type.
struct TConversion {
  bool left = false;
  int width = 0;
  int precision = -1;  // none given
  char type = 0;
};

// Reads the conversion that follows a '%' at fmt[i]; an index moves argIndex, a '*' takes its
// count from the next argument.
TConversion ParseConversion(std::string_view fmt, std::size_t& i, TVarRecs args, std::size_t& argIndex) {
  const std::size_t n = fmt.size();
  std::size_t j = i;
  while (j < n && fmt[j] >= '0' && fmt[j] <= '9') ++j;
  if (j > i && j < n && fmt[j] == ':') {
    std::size_t idx = 0;
    std::from_chars(fmt.data() + i, fmt.data() + j, idx);
    argIndex = idx;
    i = j + 1;
  }
  TConversion conv;
  if (i < n && fmt[i] == '-') {
    conv.left = true;
    ++i;
  }
  ReadCount(fmt, i, args, argIndex, conv.width);
  if (conv.width < 0) {  // a negative '*' width means left alignment
    conv.left = true;
    conv.width = -conv.width;
  }
  if (i < n && fmt[i] == '.') {
    ++i;
    if (!ReadCount(fmt, i, args, argIndex, conv.precision) || conv.precision < 0) conv.precision = 0;
  }
  if (i >= n) FormatError(fmt);
  conv.type = fmt[i++];
  return conv;
}

// %d: signed decimal.
void FormatDecimal(std::string& out, const TConversion& conv, const TVarRec& a, std::string_view fmt) {
  if (a.kind() == TVarRec::vtInteger) {
    std::int64_t v = a.asInt();
    std::uint64_t mag = v < 0 ? std::uint64_t(0) - std::uint64_t(v) : std::uint64_t(v);
    AppendInteger(out, v < 0, mag, 10, false, conv.width, conv.precision, conv.left);
  } else if (a.kind() == TVarRec::vtUnsigned) {
    AppendInteger(out, false, a.asUnsigned(), 10, false, conv.width, conv.precision, conv.left);
  } else {
    FormatError(fmt);
  }
}

// %u, %x: unsigned decimal or hexadecimal; a negative 32-bit integer shows its 32 bits.
void FormatUnsigned(std::string& out, const TConversion& conv, const TVarRec& a, std::string_view fmt) {
  std::uint64_t v;
  if (a.kind() == TVarRec::vtInteger)
    v = a.is64() ? std::uint64_t(a.asInt()) : std::uint64_t(std::uint32_t(a.asInt()));
  else if (a.kind() == TVarRec::vtUnsigned)
    v = a.asUnsigned();
  else
    FormatError(fmt);
  const bool hex = conv.type == 'x' || conv.type == 'X';
  AppendInteger(out, false, v, hex ? 16 : 10, conv.type == 'X', conv.width, conv.precision, conv.left);
}

// %c: one character, or the low byte of an integer.
void FormatChar(std::string& out, const TConversion& conv, const TVarRec& a, std::string_view fmt) {
  char c;
  if (a.kind() == TVarRec::vtChar)
    c = a.asChar();
  else if (a.kind() == TVarRec::vtInteger || a.kind() == TVarRec::vtUnsigned)
    c = char(a.asUnsigned() & 0xFF);
  else
    FormatError(fmt);
  Pad(out, std::string_view(&c, 1), conv.width, conv.left);
}

// %s: a string or a character, cut to the precision.
void FormatString(std::string& out, const TConversion& conv, const TVarRec& a, std::string_view fmt) {
  std::string_view s;
  char c;
  if (a.kind() == TVarRec::vtString) {
    s = a.asString();
  } else if (a.kind() == TVarRec::vtChar) {
    c = a.asChar();
    s = std::string_view(&c, 1);
  } else {
    FormatError(fmt);
  }
  if (conv.precision >= 0 && std::size_t(conv.precision) < s.size()) s = s.substr(0, std::size_t(conv.precision));
  Pad(out, s, conv.width, conv.left);
}

// %p: a pointer as upper-case hexadecimal, all its digits.
void FormatPointer(std::string& out, const TConversion& conv, const TVarRec& a, std::string_view fmt) {
  if (a.kind() != TVarRec::vtPointer) FormatError(fmt);
  AppendInteger(out, false, std::uint64_t(reinterpret_cast<std::uintptr_t>(a.asPointer())), 16, true, conv.width,
                int(2 * sizeof(void*)), conv.left);
}

// %e, %f, %g, %n: a number in scientific, fixed or general form (%n as fixed); 2 decimals by
// default, 15 significant digits for %g.
void FormatFloat(std::string& out, const TConversion& conv, const TVarRec& a, std::string_view fmt) {
  double d;
  if (a.kind() == TVarRec::vtExtended)
    d = a.asDouble();
  else if (a.kind() == TVarRec::vtInteger)
    d = double(a.asInt());
  else if (a.kind() == TVarRec::vtUnsigned)
    d = double(a.asUnsigned());
  else
    FormatError(fmt);
  const char type = conv.type;
  char pattern[8] = {'%', '.', '*', char(type == 'n' || type == 'N' ? 'f' : type | 0x20), 0};
  if (type == 'E' || type == 'G') pattern[3] = type;
  const int precision = conv.precision;
  char buf[400];
  int len = std::snprintf(buf, sizeof buf, pattern, precision < 0 ? (type == 'g' || type == 'G' ? 15 : 2)
                                                                : (precision > 60 ? 60 : precision), d);
  if (len < 0) FormatError(fmt);
  Pad(out, std::string_view(buf, std::size_t(len) < sizeof buf ? std::size_t(len) : sizeof buf - 1), conv.width,
      conv.left);
}

void FormatArgument(std::string& out, const TConversion& conv, const TVarRec& a, std::string_view fmt) {
  switch (conv.type) {
    case 'd':
    case 'D': return FormatDecimal(out, conv, a, fmt);
    case 'u':
    case 'U':
    case 'x':
    case 'X': return FormatUnsigned(out, conv, a, fmt);
    case 'c':
    case 'C': return FormatChar(out, conv, a, fmt);
    case 's':
    case 'S': return FormatString(out, conv, a, fmt);
    case 'p':
    case 'P': return FormatPointer(out, conv, a, fmt);
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'n':
    case 'N': return FormatFloat(out, conv, a, fmt);
    default: FormatError(fmt);
  }
}

void FormatImpl(std::string& out, std::string_view fmt, TVarRecs args) {
  std::size_t argIndex = 0;
  std::size_t i = 0;
  const std::size_t n = fmt.size();
  while (i < n) {
    std::size_t pct = fmt.find('%', i);
    if (pct == std::string_view::npos) {
      out.append(fmt.substr(i));
      break;
    }
    out.append(fmt.substr(i, pct - i));
    i = pct + 1;
    if (i >= n) FormatError(fmt);
    if (fmt[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    const TConversion conv = ParseConversion(fmt, i, args, argIndex);
    if (argIndex >= args.size()) FormatError(fmt);
    FormatArgument(out, conv, args[argIndex++], fmt);
  }
}

}  // namespace

void FormatTo(std::string& out, std::string_view fmt, TVarRecs args) {
  const std::size_t mark = out.size();
  try {
    FormatImpl(out, fmt, args);
  } catch (...) {
    out.resize(mark);
    throw;
  }
}

std::string Format(std::string_view fmt, TVarRecs args) {
  std::string out;
  out.reserve(fmt.size() + 16 * args.size());
  FormatImpl(out, fmt, args);
  return out;
}

std::string Format(std::string_view fmt, std::initializer_list<TVarRec> args) {
  return Format(fmt, TVarRecs(args.begin(), args.size()));
}

std::string Format(std::string_view fmt) { return Format(fmt, TVarRecs()); }

std::string IntToStr(std::int64_t value) { return std::to_string(value); }

std::string IntToHex(std::uint64_t value, int digits) {
  std::string out;
  AppendInteger(out, false, value, 16, true, 0, digits, false);
  return out;
}
