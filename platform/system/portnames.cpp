#include "platform/system/portnames.h"

#include <algorithm>
#include <cctype>

namespace qv::platform {

namespace {

constexpr std::string_view kVirtual = "virtual:";
constexpr std::string_view kRfc2217 = "rfc2217://";
constexpr std::string_view kTcp = "tcp://";

// prefix in lower case; the name's case does not matter.
bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), s.begin(),
                    [](char p, char c) { return std::tolower(static_cast<unsigned char>(c)) == p; });
}

}  // namespace

bool IsVirtualPairName(std::string_view pair) {
  if (pair.empty()) return false;
  for (unsigned char c : pair)
    if (c == '/' || c < 0x20 || c == 0x7F) return false;
  return true;
}

bool SplitVirtualPortName(std::string_view name, std::string_view& pair, int& end) {
  if (name.substr(0, kVirtual.size()) != kVirtual) return false;
  name.remove_prefix(kVirtual.size());
  if (name.size() < 3 || name[name.size() - 2] != '/') return false;
  char e = name.back();
  if (e != 'a' && e != 'b') return false;
  pair = name.substr(0, name.size() - 2);
  end = e == 'a' ? 0 : 1;
  return IsVirtualPairName(pair);
}

bool IsVirtualPortName(std::string_view name) {
  std::string_view pair;
  int end = 0;
  return SplitVirtualPortName(name, pair, end);
}

bool IsNetworkTarget(std::string_view name) {
  return StartsWith(name, kRfc2217) || StartsWith(name, kTcp);
}

bool ParseNetworkTarget(std::string_view name, NetworkTarget& target) {
  NetworkTarget t;
  if (StartsWith(name, kRfc2217)) {
    t.rfc2217 = true;
    name.remove_prefix(kRfc2217.size());
  } else if (StartsWith(name, kTcp)) {
    name.remove_prefix(kTcp.size());
  } else {
    return false;
  }
  std::string_view host, port;
  if (!name.empty() && name[0] == '[') {
    const std::size_t close = name.find(']');
    if (close == std::string_view::npos || close + 1 >= name.size() || name[close + 1] != ':')
      return false;
    host = name.substr(1, close - 1);
    port = name.substr(close + 2);
  } else {
    const std::size_t colon = name.rfind(':');
    if (colon == std::string_view::npos) return false;
    host = name.substr(0, colon);
    port = name.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) return false;  // IPv6 needs its brackets
  }
  if (host.empty() || host.size() > 253 || port.empty() || port.size() > 5 || port[0] == '0')
    return false;
  for (char c : host) {
    const bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ||
                    c == ':' || c == '_' || c == '%';
    if (!ok) return false;
  }
  unsigned n = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + unsigned(c - '0');
  }
  if (n < 1 || n > 65535) return false;
  t.host = host;
  t.port = port;
  target = std::move(t);
  return true;
}

}  // namespace qv::platform
