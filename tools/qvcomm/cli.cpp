#include "tools/qvcomm/cli.h"

#include "platform/system/portmap.h"
#include "platform/system/procinfo.h"
#include "platform/win32/winbase.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace qvcomm {

void Error(const std::string& text) { std::fprintf(stderr, "qvcomm: %s\n", text.c_str()); }

int UsageError(const std::string& command, const std::string& text) {
  std::fprintf(stderr, "qvcomm %s: %s\nTry 'qvcomm %s --help'.\n", command.c_str(), text.c_str(),
               command.c_str());
  return kExitUsage;
}

Args::Args(std::string command, std::vector<std::string> args)
    : command_(std::move(command)), args_(std::move(args)) {}

std::optional<std::string> Args::NextOption() {
  inline_.reset();
  while (next_ < args_.size()) {
    const std::string& a = args_[next_++];
    if (optionsDone_ || a.size() < 2 || a[0] != '-') {
      operands_.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsDone_ = true;
      continue;
    }
    if (auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      current_ = a.substr(0, eq);
      inline_ = a.substr(eq + 1);
    } else {
      current_ = a;
    }
    return current_;
  }
  return std::nullopt;
}

bool Args::Value(std::string& out) {
  if (inline_) {
    out = *inline_;
    inline_.reset();
    return true;
  }
  if (next_ >= args_.size()) return false;
  out = args_[next_++];
  return true;
}

unsigned ParsePort(const std::string& command, const std::string& name) {
  // Only the plain form COMn: the \\.\ prefixes belong to programs, not to a command line.
  unsigned n = name.rfind("\\\\", 0) == 0 ? 0 : qv::platform::ComPortNumber(name);
  if (n == 0)
    UsageError(command, "\"" + Printable(name) +
                            "\" is not a port name: use COM followed by a number from 1 to 255");
  return n;
}

bool ParseNumber(std::string_view text, unsigned long min, unsigned long max, unsigned long& out) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + unsigned(c - '0');
  }
  if (v < min || v > max) return false;
  out = v;
  return true;
}

namespace {
// Length of the valid UTF-8 sequence at p (0 when it is not one).
std::size_t Utf8Length(std::string_view s, std::size_t i) {
  const unsigned char c = s[i];
  std::size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
  if (c >= 0xF5 || len == 0 || i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  const unsigned char d = s[i + 1];
  if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) ||
      (c == 0xF4 && d > 0x8F))
    return 0;  // overlong forms, surrogates, beyond U+10FFFF
  return len;
}
}  // namespace

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = text[i];
    std::size_t len = c < 0x80 ? 1 : Utf8Length(text, i);
    // C0 and C1 controls and bytes that are not UTF-8 are shown as codes.
    const bool control = c < 0x20 || c == 0x7f ||
                         (len == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0);
    if (len == 0 || control) {
      for (std::size_t k = 0; k < std::max<std::size_t>(len, 1); ++k) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(text[i + k]));
        out += buf;
      }
      i += std::max<std::size_t>(len, 1);
      continue;
    }
    out.append(text.substr(i, len));
    i += len;
  }
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = text[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else if (c >= 0x80) {
      if (std::size_t len = Utf8Length(text, i)) {
        out.append(text.substr(i, len));
        i += len;
        continue;
      }
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += char(c);
    }
    ++i;
  }
  return out + "\"";
}

std::string OpenFailureReason(DWORD error, const std::string& device) {
  if (error == ERROR_SHARING_VIOLATION) {
    std::string who;
    for (const qv::platform::ProcessUse& p : qv::platform::ProcessesUsing(device)) {
      who += who.empty() ? "" : ", ";
      who += Printable(p.command) + " (pid " + std::to_string(p.pid) + ")";
    }
    if (who.empty()) return "the port is in use by another program";
    return "the port is in use by " + who;
  }
  if (error == ERROR_ACCESS_DENIED) {
    const char* user = std::getenv("USER");
    return "permission denied: you need read and write access to " + Printable(device) +
           "; members of its group (usually dialout) have it: sudo usermod -aG dialout " +
           (user && *user ? std::string(user) : std::string("$USER")) +
           ", then log out and in again";
  }
  std::string text = qv::platform::SysErrorMessage(error);
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (!text.empty()) text[0] = char(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

int ExitForOpenError(DWORD error) {
  switch (error) {
    case ERROR_SHARING_VIOLATION: return kExitBusy;
    case ERROR_ACCESS_DENIED: return kExitPermission;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return kExitNoPort;
    default: return kExitFailure;
  }
}

}  // namespace qvcomm
