#include "tools/qvcomm/cli.h"

#include "platform/rtl/printable.h"
#include "platform/system/portmap.h"
#include "platform/system/fileowner.h"
#include "platform/system/procinfo.h"
#include "platform/win32/winbase.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace qvcomm {

void Error(const std::string& text) { std::fprintf(stderr, "qvcomm: %s\n", text.c_str()); }

int UsageError(std::string_view command, const std::string& text) {
  const std::string name(command);
  std::fprintf(stderr, "qvcomm %s: %s\nTry 'qvcomm %s --help'.\n", name.c_str(), text.c_str(),
               name.c_str());
  return kExitUsage;
}

bool ArgWalker::Next(std::string& option, std::vector<std::string>& operands) {
  inline_.reset();
  while (next_ < args_.size()) {
    const std::string& a = args_[next_++];
    if (optionsDone_ || a.size() < 2 || a[0] != '-') {
      operands.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsDone_ = true;
      continue;
    }
    if (auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      option = a.substr(0, eq);
      inline_ = a.substr(eq + 1);
    } else {
      option = a;
    }
    return true;
  }
  return false;
}

std::optional<Parsed> ArgWalker::Value(const OptionText& row, const std::string& option,
                                       std::string& value) {
  value.clear();
  if (row.arg.empty()) {
    // A flag has no value: --force=no must not force.
    if (inline_) return Parsed{Parsed::kUsage, option + " takes no value"};
    return std::nullopt;
  }
  if (inline_) {
    value = *inline_;
    inline_.reset();
  } else if (row.arg.starts_with('[')) {
    // Left out, or in the next argument: the caller decides.
  } else if (next_ < args_.size()) {
    value = args_[next_++];
  } else {
    return Parsed{Parsed::kUsage, option + " needs " + std::string(row.takes)};
  }
  return std::nullopt;
}

bool ArgWalker::Peek(std::string& next) const {
  if (next_ >= args_.size() || optionsDone_ || args_[next_].starts_with('-')) return false;
  next = args_[next_];
  return true;
}

bool NameMatches(std::string_view names, std::string_view option) {
  while (!names.empty()) {
    const auto comma = names.find(',');
    std::string_view name = names.substr(0, comma);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    if (name == option) return true;
    names = comma == std::string_view::npos ? std::string_view() : names.substr(comma + 1);
  }
  return false;
}

Parsed UnknownOption(const std::string& option) {
  return {Parsed::kUsage, "unknown option " + Printable(option)};
}

Parsed RefusedValue(const OptionText& row, const std::string& option, const std::string& value) {
  return {Parsed::kUsage, option + " takes " + std::string(row.takes) + ", not \"" + Printable(value) + "\""};
}

std::string OptionHelpLine(const OptionText& row) {
  if (row.names.empty()) return std::string(row.help) + "\n";
  std::string left = "  " + std::string(row.names);
  if (!row.arg.empty()) left += " " + std::string(row.arg);
  if (row.help.empty()) return left + "\n";
  constexpr std::size_t kColumn = 27;
  left += left.size() + 1 < kColumn ? std::string(kColumn - left.size(), ' ')
                                    : "\n" + std::string(kColumn, ' ');
  // Help lines go on under the same column.
  std::string help;
  for (char c : row.help) {
    help += c;
    if (c == '\n') help += std::string(kColumn, ' ');
  }
  return left + help + "\n";
}

int FinishParse(std::string_view command, std::string help, const Parsed& parsed) {
  if (parsed.status == Parsed::kHelp) {
    std::fputs(help.c_str(), stdout);
    return kExitOk;
  }
  return UsageError(command, parsed.error);
}

unsigned ParsePort(const std::string& name, std::string& error) {
  // Only the plain form COMn: the \\.\ prefixes belong to programs, not to a command line.
  unsigned n = name.rfind("\\\\", 0) == 0 ? 0 : qv::platform::ComPortNumber(name);
  if (n == 0)
    error = "\"" + Printable(name) + "\" is not a port name: use COM followed by a number from 1 to 255";
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

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const std::size_t len = qv::platform::Utf8Length(text, i);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else if (len == 0) {
      out += "\\ufffd";  // not UTF-8: the replacement character, as a decoder shows it
    } else {
      out.append(text.substr(i, len));
      i += len;
      continue;
    }
    ++i;
  }
  return out + "\"";
}

std::string BarcodeJson(const std::string& port, std::string_view code, const std::string& time) {
  std::string line = "{\"port\":" + JsonString(port) + ",\"barcode\":" + JsonString(code);
  bool utf8 = true;
  for (std::size_t i = 0; i < code.size() && utf8; i += std::max<std::size_t>(1, qv::platform::Utf8Length(code, i)))
    utf8 = qv::platform::Utf8Length(code, i) != 0;
  if (!utf8) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    line += ",\"hex\":\"";
    for (unsigned char b : code) line += {kHex[b >> 4], kHex[b & 15]};
    line += "\"";
  }
  return line + ",\"time\":" + JsonString(time) + "}";
}

namespace {
// A system text made to go inside a sentence: lower-case start, no full stop.
std::string InSentence(std::string text) {
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (!text.empty()) text[0] = char(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}
}  // namespace

std::string OpenFailureReason(DWORD error, const std::string& device, const std::string& detail,
                              int ignorePid) {
  if (!detail.empty() && detail != qv::platform::SysErrorMessage(error)) {
    // The library's text names the device first; the message names it already.
    std::string_view text = detail;
    if (text.rfind(device + ": ", 0) == 0) text.remove_prefix(device.size() + 2);
    return Printable(InSentence(std::string(text)));
  }
  if (error == ERROR_SHARING_VIOLATION) {
    std::string who;
    for (const qv::platform::ProcessUse& p : qv::platform::ProcessesUsing(device)) {
      if (p.pid == ignorePid) continue;
      who += who.empty() ? "" : ", ";
      who += Printable(p.command) + " (pid " + std::to_string(p.pid) + ")";
    }
    if (who.empty()) return "the port is in use by another program";
    return "the port is in use by " + who;
  }
  if (error == ERROR_ACCESS_DENIED) {
    qv::platform::FileOwner owner;
    const bool known = qv::platform::GetFileOwner(device, owner);
    return PermissionReason(device, owner, known, qv::platform::CurrentUserName());
  }
  return InSentence(qv::platform::SysErrorMessage(error));
}

std::string PermissionReason(const std::string& device, const qv::platform::FileOwner& o,
                             bool known, const std::string& user) {
  std::string text = "permission denied: you need read and write access to " + Printable(device);
  if (!known) return text;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", o.mode);
  text += ", which belongs to user " + Printable(o.user) + " and group " + Printable(o.group) +
          " (mode " + mode + ")";
  // A group that may read and write it is the way in, whatever its name (dialout, uucp, ...).
  if ((o.mode & 060) == 060 && o.group != "root") {
    if (o.inGroupListed && !o.inGroupNow)
      return text + "; you are in the group " + Printable(o.group) +
             " but this session is not yet: log out and in again";
    return text + "; members of the group " + Printable(o.group) +
           " have it: sudo usermod -aG " + Printable(o.group) + " " + Printable(user) +
           ", then log out and in again";
  }
  return text + "; no group of users may use it: ask the administrator to give it one (a udev "
                "rule with GROUP=\"dialout\", MODE=\"0660\")";
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
