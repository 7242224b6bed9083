// The device names that are no device nodes: in-process virtual ports ("virtual:<pair>/a" or
// "/b", the null-modem pairs of nullmodem.h) and network serial ports ("rfc2217://HOST:PORT",
// "tcp://HOST:PORT", netport.h). Only their form is told here; nothing is looked up. Any thread.
#pragma once

#include <string>
#include <string_view>

namespace qv::platform {

// Splits "virtual:<pair>/a" or "/b" into the pair's name and the end (0 for a, 1 for b); false
// for another form.
bool SplitVirtualPortName(std::string_view name, std::string_view& pair, int& end);
// A pair name: not empty, no '/', no control character.
bool IsVirtualPairName(std::string_view pair);
// Whether a name has the form of a port end a pair can have: "virtual:<name>/a" or "/b".
bool IsVirtualPortName(std::string_view name);

struct NetworkTarget {
  bool rfc2217 = false;
  std::string host;  // without the brackets of an IPv6 address
  std::string port;  // decimal, 1..65535
};

// True for a name that begins with one of the network schemes (valid or not).
bool IsNetworkTarget(std::string_view name);
// Splits a network port address; false when it is not one.
bool ParseNetworkTarget(std::string_view name, NetworkTarget& target);

}  // namespace qv::platform
