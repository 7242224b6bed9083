#include "tools/qvcomm/marks.h"

#include "platform/system/procinfo.h"
#include "platform/system/regstore.h"
#include "platform/system/winreg.h"
#include "tools/qvcomm/cli.h"

#include <filesystem>

namespace qvcomm {

namespace {
namespace pf = qv::platform;
constexpr const char* kSimulatorsKey = "Software\\qvcomm\\Simulators";
}  // namespace

std::map<unsigned, SimulatorMark> ReadSimulatorMarks() {
  std::map<unsigned, SimulatorMark> out;
  std::shared_ptr<const pf::RegHive> hive;
  if (pf::RegStoreRead(pf::RegRoot::User, hive) != ERROR_SUCCESS) return out;
  const pf::RegKeyNode* node = hive->Find(kSimulatorsKey);
  if (!node) return out;
  for (const pf::RegValue& v : node->values) {
    std::string text(v.data.begin(), v.data.end());
    if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    const auto space = text.find(' ');
    unsigned long pid = 0;
    if (space == std::string::npos || !ParseNumber(text.substr(0, space), 1, 0x7fffffff, pid))
      continue;
    if (unsigned n = pf::ComPortNumber(v.name)) out[n] = {int(pid), text.substr(space + 1)};
  }
  return out;
}

void WriteSimulatorMark(unsigned number, const std::string& device, bool add) {
  const std::string name = "COM" + std::to_string(number);
  pf::RegStoreModify(pf::RegRoot::User, [&](pf::RegHive& hive, bool& changed) -> LONG {
    pf::RegKeyNode* node = add ? &hive.Create(kSimulatorsKey) : hive.Find(kSimulatorsKey);
    if (!node) return ERROR_SUCCESS;
    std::erase_if(node->values, [&](const pf::RegValue& v) { return pf::RegFold(v.name) == pf::RegFold(name); });
    if (add) {
      const std::string text = std::to_string(pf::CurrentProcessId()) + " " + device;
      std::vector<BYTE> data(text.begin(), text.end());
      data.push_back(0);
      node->values.push_back(pf::RegValue{name, REG_SZ, std::move(data)});
    }
    changed = true;
    return ERROR_SUCCESS;
  });
}

int RunningSimulator(const pf::PortEntry& m, const std::map<unsigned, SimulatorMark>& marks) {
  auto it = marks.find(m.number);
  if (it == marks.end() || it->second.device != m.device || !pf::ProcessExists(it->second.pid))
    return 0;
  return it->second.pid;
}

bool StaleMapping(const pf::PortEntry& m, const std::map<unsigned, SimulatorMark>& marks) {
  std::error_code ec;
  if (m.device.rfind("/dev/pts/", 0) == 0 && !std::filesystem::exists(m.device, ec)) return true;
  auto it = marks.find(m.number);
  return it != marks.end() && it->second.device == m.device && !pf::ProcessExists(it->second.pid);
}

}  // namespace qvcomm
