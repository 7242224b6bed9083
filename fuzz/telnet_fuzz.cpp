// The Telnet / RFC 2217 client parser against whatever a server may send: data never grows,
// replies stay within their bound, and nothing crashes or leaks.
#include "platform/serial/internal/telnet.h"

#include <cstdlib>
#include <vector>

using namespace qv::platform;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the session kind and how the input is cut into receives.
  const bool comPort = data[0] & 1;
  const std::size_t cut = std::size_t(data[0] >> 1) + 1;
  telnet::Session session(comPort);
  std::vector<BYTE> out;
  session.Start(out);
  session.CollectBanner(data[0] & 2);
  std::vector<BYTE> decoded(cut);
  for (std::size_t i = 1; i < size; i += cut) {
    const std::size_t n = std::min(cut, size - i);
    const std::size_t got = session.Receive(data + i, n, decoded.data(), out);
    if (got > n) std::abort();
    if (out.size() > telnet::Session::kMaxReplyBytes) std::abort();
    if (out.size() > telnet::Session::kMaxReplyBytes / 2) out.clear();  // the socket took it
  }
  if (session.Banner().size() > 200) std::abort();
  // Data written back through the escaping always fits twice its size.
  std::vector<BYTE> escaped(2 * size);
  std::size_t written = 0;
  if (telnet::Session::Escape(data, size, escaped.data(), escaped.size(), written) != size)
    std::abort();
  return 0;
}
