// What one port listing costs: the work of `qvcomm ports -v` (the serial component's device
// list, the port map, each port's sysfs record), first in a fresh process and then again as a
// refresh, with and without a change between refreshes.
//
//   port_list KIND N      KIND: pty (N pseudo-terminals mapped), sysfs (a fake sysfs tree with
//                         N ttyS ports beside 64 virtual terminals), pairs (N null-modem pairs
//                         mapped)
//
// Prints the wall and CPU time of the first listing, the medians of 50 refreshes with nothing
// changed and of 20 refreshes each after a change (a node made in the device folder, or a mapping
// added and removed). The listing's system calls are counted from outside:
// bench/list_ports.sh runs this program under strace, which sees the marker calls
// write(-1, "qv-list-begin"/"qv-list-end") around the first listing and around one refresh.
#include "comm/serialcomm.h"
#include "platform/serial/nullmodem.h"
#include "platform/system/portmap.h"
#include "platform/system/ttydevices.h"
#include "platform/testhooks.h"

#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
namespace pf = qv::platform;

namespace {

void Marker(const char* text) {
  if (write(-1, text, std::strlen(text)) < 0) {
    // Fails on purpose: only its trace is wanted.
  }
}

// The work of one `qvcomm ports -v`.
std::size_t ListOnce() {
  TqvCustomSerialComm comm(nullptr);
  comm.FillDeviceList(nullptr);
  std::size_t found = 0;
  for (const pf::PortEntry& e : pf::ListPorts()) {
    pf::sysfs::TtyDevice tty;
    pf::sysfs::DescribeTty(e.sysfsPath.substr(e.sysfsPath.rfind('/') + 1), tty);
    ++found;
  }
  return found;
}

double Ms(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The process's CPU time: on a busy shared machine it says more than the wall clock.
double CpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

struct Times {
  double wall, cpu;
};

// Median wall and CPU time of runs listings, before(i) ahead of each (not timed).
template <class F>
Times Median(int runs, F&& before) {
  std::vector<double> wall, cpu;
  for (int i = 0; i < runs; ++i) {
    before(i);
    const double c0 = CpuMs();
    const auto t0 = std::chrono::steady_clock::now();
    ListOnce();
    wall.push_back(Ms(std::chrono::steady_clock::now() - t0));
    cpu.push_back(CpuMs() - c0);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

// N ttyS ports of the 8250 driver and 64 virtual terminals, as a PC's sysfs has them.
void MakeTree(const fs::path& root, int n) {
  const fs::path sys = root / "sys", dev = root / "dev";
  fs::create_directories(sys / "class" / "tty");
  fs::create_directories(sys / "bus" / "platform" / "drivers" / "serial8250");
  fs::create_directories(dev / "serial" / "by-id");
  const fs::path platform = sys / "devices" / "platform" / "serial8250";
  fs::create_directories(platform);
  fs::create_directory_symlink(sys / "bus" / "platform" / "drivers" / "serial8250", platform / "driver");
  fs::create_directory_symlink(sys / "bus" / "platform", platform / "subsystem");
  std::ofstream(platform / "uevent") << "DRIVER=serial8250\n";
  auto add = [&](const fs::path& folder, const std::string& name, const char* type) {
    fs::create_directories(folder / name);
    std::ofstream(folder / name / "uevent") << "";
    if (type) std::ofstream(folder / name / "type") << type << "\n";
    fs::create_directory_symlink(folder / name, sys / "class" / "tty" / name);
    std::ofstream(dev / name).put('\0');
  };
  for (int i = 0; i < n; ++i) {
    add(platform / "tty", "ttyS" + std::to_string(i), "4");
    fs::create_directory_symlink(platform, platform / "tty" / ("ttyS" + std::to_string(i)) / "device");
  }
  for (int i = 0; i < 64; ++i) add(sys / "devices" / "virtual" / "tty", "tty" + std::to_string(i), nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: port_list pty|sysfs|pairs N\n");
    return 2;
  }
  const std::string kind = argv[1];
  const int n = std::atoi(argv[2]);
  char tmpl[] = "/tmp/qv-portlist-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const fs::path root = tmpl;
  setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
  // Without a tree of its own the listing reads the machine's sysfs: the ports asked for come
  // on top of what the machine has.
  std::vector<int> masters;
  std::vector<std::shared_ptr<pf::NullModemPair>> pairs;
  std::string devFolder = "/dev";
  if (kind == "sysfs") {
    MakeTree(root, n);
    pf::SetSysfsRoot((root / "sys").string());
    pf::SetDevRoot((root / "dev").string());
    devFolder = (root / "dev").string();
  }
  for (int i = 0; i < n && kind != "sysfs"; ++i) {
    DWORD error = 0;
    std::string device;
    if (kind == "pty") {
      const int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) return 1;
      masters.push_back(m);
      device = ptsname(m);
    } else {
      pairs.push_back(pf::CreateNullModemPair("bench" + std::to_string(i)));
      device = pairs.back()->PortName(pf::NullModemPair::kA);
    }
    if (!pf::AddUserMapping(unsigned(100 + i), device, error)) return 1;
  }

  Marker("qv-list-begin");
  const double c0 = CpuMs();
  const auto t0 = std::chrono::steady_clock::now();
  const std::size_t listed = ListOnce();
  const Times first{Ms(std::chrono::steady_clock::now() - t0), CpuMs() - c0};
  Marker("qv-list-end");
  Marker("qv-list-begin");
  ListOnce();
  Marker("qv-list-end");
  const Times unchanged = Median(50, [](int) {});
  // A change the hot-plug watcher would report: a node comes and goes, or a mapping does.
  const int spareMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  const std::string spare = spareMaster >= 0 && grantpt(spareMaster) == 0 && unlockpt(spareMaster) == 0
                                ? ptsname(spareMaster)
                                : "";
  const std::string node = devFolder == "/dev" ? std::string() : devFolder + "/ttyUSB9";
  const Times afterChange = Median(20, [&](int i) {
    if (!node.empty()) {
      if (i % 2) unlink(node.c_str());
      else std::ofstream(node).put('\0');
    } else if (i % 2) {
      pf::RemoveUserMapping(99);
    } else {
      DWORD error = 0;
      pf::AddUserMapping(99, spare, error);
    }
  });
  std::printf("%-5s %2d: %2zu listed; wall/cpu ms: first %.2f/%.2f, refresh %.2f/%.2f, "
              "after a change %.2f/%.2f\n",
              kind.c_str(), n, listed, first.wall, first.cpu, unchanged.wall, unchanged.cpu,
              afterChange.wall, afterChange.cpu);
  for (int m : masters) close(m);
  if (spareMaster >= 0) close(spareMaster);
  pairs.clear();
  std::error_code ec;
  fs::remove_all(root, ec);
  return 0;
}
