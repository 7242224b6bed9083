// What the system tells about other processes, for messages that name who holds a device.
#pragma once

#include <string>
#include <vector>

namespace qv::platform {

struct ProcessUse {
  int pid = 0;
  std::string command;  // the program's name (comm), e.g. "minicom"
};

// The processes that have the device open, as far as /proc shows: a user sees only their own
// processes (root sees all). Symlinks in device are followed.
std::vector<ProcessUse> ProcessesUsing(const std::string& device);
// Whether a process with that id exists now (also when it belongs to another user).
bool ProcessExists(int pid);
int CurrentProcessId();
// This machine's name (gethostname), "localhost" when it has none.
std::string HostName();

// What this process holds now, for leak checks and benchmarks.
struct ProcessCounters {
  int threads = 0;
  int descriptors = 0;
  long residentKiB = -1;   // -1: unknown
  long anonymousKiB = -1;  // resident and not backed by a file (heap, stacks)
};
ProcessCounters OwnCounters();

}  // namespace qv::platform
