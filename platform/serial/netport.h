// Serial ports on the network: "rfc2217://HOST:PORT" (Telnet with the COM-PORT-OPTION, so line
// settings, modem lines and line errors travel too) and "tcp://HOST:PORT" (raw bytes: line
// settings are kept locally and the modem lines read as on). HOST is an IPv4 address, an IPv6
// address in brackets or a host name. The library only connects out; it never listens.
#pragma once

#include "platform/system/portnames.h"
#include "platform/win32/wintypes.h"

#include <string>
#include <string_view>

namespace qv::platform {

// The address forms and ParseNetworkTarget are in portnames.h.

// Time allowed for the connection (default 5000 ms) and for each exchange with the server
// after it (the option negotiation at open, the answers to new line settings; default
// 2000 ms). Process-wide; any thread.
void SetNetworkTimeouts(DWORD connectMs, DWORD answerMs);

}  // namespace qv::platform
