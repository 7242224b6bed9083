// Which simulator made which port mapping, kept beside the port map in the registry store
// (HKEY_CURRENT_USER\Software\qvcomm\Simulators, "COM5" = "<pid> <device>"), so a mapping left
// behind by a simulator that was killed is known as such even when its pseudo-terminal number
// has been given to another terminal since, and the port list can say what a port is.
#pragma once

#include "platform/system/portmap.h"

#include <map>
#include <string>

namespace qvcomm {

struct SimulatorMark {
  int pid = 0;
  std::string device;
};

std::map<unsigned, SimulatorMark> ReadSimulatorMarks();
// Adds (or with add false removes) the mark of COMn for this process and device.
void WriteSimulatorMark(unsigned number, const std::string& device, bool add);
// The simulator running now behind a mapping, 0 when none is.
int RunningSimulator(const qv::platform::PortEntry& mapping,
                     const std::map<unsigned, SimulatorMark>& marks);
// A mapping nobody can be using: a pseudo-terminal that is gone (its number may come back for
// another terminal, never for this mapping), or one a simulator made that has ended.
bool StaleMapping(const qv::platform::PortEntry& mapping,
                  const std::map<unsigned, SimulatorMark>& marks);

}  // namespace qvcomm
