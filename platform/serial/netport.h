// Serial ports on the network: "rfc2217://HOST:PORT" (Telnet with the COM-PORT-OPTION, so line
// settings, modem lines and line errors travel too) and "tcp://HOST:PORT" (raw bytes: line
// settings are kept locally and the modem lines read as on). HOST is an IPv4 address, an IPv6
// address in brackets or a host name. The library only connects out; it never listens.
#pragma once

#include "platform/win32/wintypes.h"

#include <string>
#include <string_view>

namespace qv::platform {

struct NetworkTarget {
  bool rfc2217 = false;
  std::string host;  // without the brackets of an IPv6 address
  std::string port;  // decimal, 1..65535
};

// Splits a network port address; false when it is not one.
bool ParseNetworkTarget(std::string_view name, NetworkTarget& target);

// Time allowed for the connection (default 5000 ms) and for each exchange with the server
// after it (the option negotiation at open, the answers to new line settings; default
// 2000 ms). Process-wide; any thread.
void SetNetworkTimeouts(DWORD connectMs, DWORD answerMs);

}  // namespace qv::platform
