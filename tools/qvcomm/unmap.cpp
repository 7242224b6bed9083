// qvcomm unmap: removes a mapping from the user's port map.
#include "tools/qvcomm/commands.h"

#include "platform/system/portmap.h"
#include "platform/system/regstore.h"
#include "tools/qvcomm/cli.h"

#include <cstdio>

namespace qvcomm {

namespace {

namespace pf = qv::platform;

struct UnmapSettings {
  unsigned number = 0;
};

std::string UnmapOperands(UnmapSettings& s, const std::vector<std::string>& ops) {
  if (ops.size() != 1) return "expected one port name";
  std::string error;
  s.number = ParsePort(ops[0], error);
  return error;
}

int RunUnmap(UnmapSettings& s) {
  const std::string port = "COM" + std::to_string(s.number);
  bool mapped = false;
  for (const pf::PortEntry& e : pf::ListUserMappings()) mapped |= e.number == s.number;
  if (!mapped) {
    Error(port + " has no mapping of yours to remove");
    return kExitNoPort;
  }
  DWORD error = 0;
  std::string reason;
  if (!pf::RemoveUserMapping(s.number, error, reason)) {
    Error("cannot remove the mapping of " + port + ": " +
          (reason.empty() ? OpenFailureReason(error, pf::RegStoreFolder()) : reason));
    return kExitFailure;
  }
  std::printf("%s mapping removed\n", port.c_str());
  return kExitOk;
}

constexpr Syntax<UnmapSettings> kUnmapSyntax{
    "unmap", "unmap COMn", "remove your mapping of COMn", "Removes your mapping of COMn.\n", {},
    UnmapOperands};

}  // namespace

const Command unmapCommand = MakeCommand<UnmapSettings, &kUnmapSyntax, RunUnmap>();

}  // namespace qvcomm
