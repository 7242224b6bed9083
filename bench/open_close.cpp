// Open/close cycles with traffic on a pseudo-terminal pair: what one open port costs in
// resident memory, and whether descriptors, threads, handles or memory are left behind.
//
//   open_close [cycles]      (default 10000)
//
// Each cycle opens the slave through a minimal communication component, receives a line from
// the master side on the main thread, sends one back, and closes.
#include "comm/qvcomm.h"
#include "platform/rtl/application.h"
#include "platform/serial/winserial.h"
#include "platform/system/procinfo.h"
#include "platform/win32/winbase.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

class TPathComm : public TqvCustomComm {
 public:
  explicit TPathComm(std::string path) : TqvCustomComm(nullptr), path_(std::move(path)) {}
  HANDLE OpenHandle() override {
    return CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, 0);
  }

 private:
  std::string path_;
};

struct TCounts {
  int fds, threads;
  std::size_t handles;
  long rss;
};

TCounts Counts() {
  const qv::platform::ProcessCounters c = qv::platform::OwnCounters();
  return {c.descriptors, c.threads, qv::platform::HandleCount(), c.residentKiB};
}

void Print(const char* what, const TCounts& c) {
  std::printf("%-22s fds %3d  threads %2d  handles %3zu  VmRSS %6ld KiB\n", what, c.fds, c.threads, c.handles, c.rss);
}

}  // namespace

int main(int argc, char** argv) {
  const long cycles = argc > 1 ? std::atol(argv[1]) : 10000;
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char slave[128];
  if (master < 0 || grantpt(master) || unlockpt(master) || ptsname_r(master, slave, sizeof slave)) {
    std::perror("pty");
    return 2;
  }
  TApplication app;
  TPathComm comm(slave);
  comm.SetEventMask({ceRxChar});
  std::size_t received = 0;
  comm.OnRxData = TOnRxDataEvent::FromFunction(
      [](void* d, TObject*, const BYTE*, int n) { *static_cast<std::size_t*>(d) += std::size_t(n); }, &received);

  bool failed = false;
  long anonCost = 0;
  auto cycle = [&](bool measureOpen, long* openCost) {
    const qv::platform::ProcessCounters countsBefore = qv::platform::OwnCounters();
    const long before = countsBefore.residentKiB;
    const long anonBefore = countsBefore.anonymousKiB;
    comm.Open();
    if (!comm.Active()) {
      failed = true;
      return;
    }
    const std::size_t want = received + 12;
    if (::write(master, "0123456789A\r", 12) != 12) failed = true;
    const DWORD start = GetTickCount();
    while (received < want && GetTickCount() - start < 5000) app.WaitAndProcess(50);
    if (received < want) failed = true;
    comm.SendString("ack\r\n");
    char buf[64];
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1 || ::read(master, buf, sizeof buf) <= 0) failed = true;
    if (measureOpen) {
      const qv::platform::ProcessCounters countsOpen = qv::platform::OwnCounters();
      *openCost = countsOpen.residentKiB - before;
      anonCost = countsOpen.anonymousKiB - anonBefore;
    }
    comm.Close();
  };

  long openCost = 0;
  long firstOpenCost = 0;
  // The first open pays for everything made on first use (thread stacks, the threads' malloc
  // arenas, queues); later ones reuse it.
  cycle(true, &firstOpenCost);
  std::printf("first open port adds %ld KiB resident, %ld KiB of it anonymous (the rest is program\n"
              "code run for the first time)\n", firstOpenCost, anonCost);
  const TCounts start = Counts();
  Print("before", start);
  cycle(true, &openCost);
  std::printf("a later open port adds %ld KiB resident, %ld KiB anonymous\n", openCost, anonCost);
  const auto t0 = std::chrono::steady_clock::now();
  for (long i = 0; i < cycles && !failed; ++i) {
    cycle(false, nullptr);
    if ((i + 1) % 2000 == 0) {
      char what[32];
      std::snprintf(what, sizeof what, "after %ld", i + 1);
      Print(what, Counts());
    }
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  // Ended threads disappear from /proc a moment after they are joined.
  for (int i = 0; i < 100 && qv::platform::OwnCounters().threads != start.threads; ++i) Sleep(10);
  const TCounts end = Counts();
  Print("after all cycles", end);
  std::printf("%ld cycles in %.1f s (%.0f us per open/traffic/close)%s\n", cycles, secs, secs * 1e6 / double(cycles),
              failed ? "  FAILED" : "");
  std::printf("growth: fds %+d  threads %+d  handles %+ld  VmRSS %+ld KiB\n", end.fds - start.fds,
              end.threads - start.threads, long(end.handles) - long(start.handles), end.rss - start.rss);
  ::close(master);
  return failed ? 1 : 0;
}
