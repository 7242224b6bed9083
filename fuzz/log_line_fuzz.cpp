// The log's line builder on arbitrary options, date and time texts, milliseconds and text:
// never crashes; the line is the prefix the options ask for followed by the text with every
// byte below 0x20 escaped, and holds no control byte when the date and time texts hold none.
//
// Input: options byte, two bytes of milliseconds, date length, time length, date, time, text.
#include "log/qvlogfile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "log line: %s\n", what);
    std::abort();
  }
}

std::string Escaped(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\%02Xh", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out;
}

bool HasControl(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const TLogOptions options = data[0];
  TLogStamp stamp;
  stamp.MSec = unsigned(data[1]) << 8 | data[2];
  std::size_t dateLength = data[3] % 32, timeLength = data[4] % 32;
  std::string_view rest(reinterpret_cast<const char*>(data) + 5, size - 5);
  dateLength = std::min(dateLength, rest.size());
  stamp.Date = std::string(rest.substr(0, dateLength));
  rest.remove_prefix(dateLength);
  timeLength = std::min(timeLength, rest.size());
  stamp.Time = std::string(rest.substr(0, timeLength));
  rest.remove_prefix(timeLength);

  const std::string line = BuildLogLine(options, stamp, rest);
  const std::string body = Escaped(rest);
  Check(line.size() >= body.size() && line.ends_with(body), "the text part differs from its escaped form");
  const std::string_view prefix = std::string_view(line).substr(0, line.size() - body.size());
  if (!(options & (loDate | loTime | loMSec))) Check(prefix.empty(), "a prefix no option asked for");
  if (options & (loTime | loMSec)) Check(!prefix.empty(), "a prefix went missing");
  if (!prefix.empty()) Check(prefix.front() == '[' && prefix.ends_with("] "), "the prefix is not bracketed");
  if (options & loMSec) {
    char ms[16];
    std::snprintf(ms, sizeof ms, "+%03u] ", stamp.MSec);
    Check(prefix.ends_with(ms), "the milliseconds are wrong");
  }
  if (!HasControl(stamp.Date) && !HasControl(stamp.Time)) Check(!HasControl(line), "a control byte in the line");
  return 0;
}
