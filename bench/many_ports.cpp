// Many ports in one process: what each open port costs and whether the engine keeps up when a
// point-of-sale server or a lab rack reads 8 to 64 scanners at once.
//
//   many_ports [--seconds S] [--rate R] [--flood K] [--scanner] [N ...]   (default: 1 8 32 64)
//
// For each N a fresh process opens N pseudo-terminal slaves as COM ports with the serial
// component (mapped in a private configuration folder), each assembling CR-terminated 13-digit
// barcodes in OnRxData on the main thread while the application loop runs. A writer process
// plays the scanners on the masters: R barcodes per second per port for S seconds (the ports'
// writes spread evenly over each period), then K barcodes into every port at once, as fast as
// the pseudo-terminals take them. Latency is the time from just before a barcode's write to
// the moment its CR is seen in OnRxData (CLOCK_MONOTONIC on both sides). CPU is the reading
// process's own (user + system), so the writer's work is not in it. Resident memory per port
// is (RSS after the traffic with N open - RSS before the first open) / N, measured after one
// port has been opened and closed once, so code run for the first time is not counted.
// Every barcode carries its sequence number and a check digit: a port's codes must arrive
// complete, unchanged and in order. --scanner reads with the barcode scanner component instead
// (OnBarCode; its inactivity timer is armed whenever a block ends inside a code).
#include "barcode/ean13.h"
#include "barcode/qvbarcode.h"
#include "comm/serialcomm.h"
#include "platform/rtl/application.h"
#include "platform/serial/winserial.h"
#include "platform/system/portmap.h"
#include "platform/system/procinfo.h"
#include "platform/win32/winuser.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr unsigned kFirstPort = 100;  // COM100.. : clear of the numbers real devices get
constexpr std::size_t kCodeLen = 14;  // 13 digits and CR

struct TOptions {
  double seconds = 3;
  int rate = 100;
  long flood = 20000;
  bool scanner = false;
};

std::int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double CpuSeconds() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// Voluntary context switches of every thread of the process so far.
long Switches() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_nvcsw;
}

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "many_ports: %s\n", what.c_str());
  std::_Exit(2);
}

// Barcode number seq: 12 digits of the number and the EAN-13 check digit, then CR.
void MakeCode(std::uint64_t seq, char* out) {
  qv::barcode::WriteEan13(std::uint64_t(seq), out);
  out[13] = '\r';
}

void WriteAll(int fd, const void* data, std::size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd pfd{fd, POLLOUT, 0};
        poll(&pfd, 1, 100);
        continue;
      }
      Die("write: " + std::string(std::strerror(errno)));
    }
    p += w;
    n -= std::size_t(w);
  }
}

bool ReadByte(int fd, char& c) {
  for (;;) {
    const ssize_t r = ::read(fd, &c, 1);
    if (r == 1) return true;
    if (r < 0 && errno == EINTR) continue;
    return false;
  }
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

// ---- The scanners: a process of its own on the master sides ---------------------------------

// Steady: every port gets a code each period, port i at offset i/N of it; the time just before
// each write goes to sentNs[port * steady + k]. Flood: every port's codes as fast as it takes.
void RunWriter(const std::vector<int>& masters, long steady, long flood, int rate,
               std::atomic<std::int64_t>* sentNs, int commands, int replies) {
  prctl(PR_SET_TIMERSLACK, 1UL);
  const std::size_t n = masters.size();
  char c;
  if (!ReadByte(commands, c)) std::_Exit(0);
  const std::int64_t period = 1000000000LL / rate;
  const std::int64_t t0 = NowNs() + 20000000;
  for (long k = 0; k < steady; ++k) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::int64_t due = t0 + k * period + std::int64_t(i) * period / std::int64_t(n);
      timespec ts{time_t(due / 1000000000), long(due % 1000000000)};
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
      }
      char code[kCodeLen];
      MakeCode(std::uint64_t(k), code);
      sentNs[i * std::size_t(steady) + std::size_t(k)].store(NowNs(), std::memory_order_relaxed);
      WriteAll(masters[i], code, kCodeLen);
    }
  }
  WriteAll(replies, "s", 1);
  if (!ReadByte(commands, c)) std::_Exit(0);
  // Flood: blocks of 256 codes per port, written round the ports wherever there is room.
  constexpr long kBlockCodes = 256;
  struct TFill {
    long next = 0;  // codes made so far
    char block[kBlockCodes * kCodeLen];
    std::size_t size = 0, done = 0;
  };
  std::vector<TFill> fill(n);
  std::vector<pollfd> fds(n);
  std::size_t left = n;
  for (std::size_t i = 0; i < n; ++i) fds[i] = {masters[i], POLLOUT, 0};
  while (left > 0) {
    poll(fds.data(), fds.size(), 1000);
    for (std::size_t i = 0; i < n; ++i) {
      TFill& f = fill[i];
      if (fds[i].fd < 0 || !(fds[i].revents & POLLOUT)) continue;
      for (;;) {
        if (f.done == f.size) {
          if (f.next == flood) {
            fds[i].fd = -1;
            --left;
            break;
          }
          const long count = std::min(kBlockCodes, flood - f.next);
          for (long j = 0; j < count; ++j) MakeCode(std::uint64_t(steady + f.next + j), f.block + j * kCodeLen);
          f.next += count;
          f.size = std::size_t(count) * kCodeLen;
          f.done = 0;
        }
        const ssize_t w = ::write(masters[i], f.block + f.done, f.size - f.done);
        if (w <= 0) break;
        f.done += std::size_t(w);
      }
    }
  }
  WriteAll(replies, "f", 1);
  ReadByte(commands, c);  // the reader is done: the masters may go
  std::_Exit(0);
}

// ---- The reader ------------------------------------------------------------------------------

struct TRun {
  long steady = 0;  // codes per port in the steady phase
  long expected = 0;  // codes per port the current phase ends at
  std::size_t portsDone = 0;
  std::atomic<std::int64_t>* sentNs = nullptr;
  HWND window = 0;  // a message to it wakes the loop
};

struct TPort {
  TRun* run = nullptr;
  std::size_t index = 0;
  std::unique_ptr<TqvCustomSerialComm> comm;
  char line[kCodeLen];
  std::size_t len = 0;
  long received = 0;  // codes ended so far
  bool bad = false;   // a code changed, lost or out of order
  std::vector<std::int64_t> latency;

  void RxData(TObject*, const BYTE* data, int count) {
    const std::int64_t now = NowNs();
    for (int i = 0; i < count; ++i) {
      const char c = char(data[i]);
      if (len < kCodeLen) line[len] = c;
      ++len;
      if (c != '\r') continue;
      Arrived(now, len == kCodeLen ? line : nullptr);
      len = 0;
    }
  }

  void BarCode(TObject*, std::string code) {
    Arrived(NowNs(), code.size() == kCodeLen - 1 ? code.c_str() : nullptr);
  }

  // A code ended (null: one of the wrong length).
  void Arrived(std::int64_t now, const char* code) {
    char want[kCodeLen];
    MakeCode(std::uint64_t(received), want);
    if (!code || std::memcmp(code, want, kCodeLen - 1) != 0) bad = true;
    if (received < run->steady)
      latency.push_back(now - run->sentNs[index * std::size_t(run->steady) + std::size_t(received)].load(
                                  std::memory_order_relaxed));
    if (++received == run->expected) ++run->portsDone;
  }
};

struct TResult {
  int n;
  bool ok;           // every byte arrived, unchanged and in order, on every port
  double latMedUs, latP99Us, worstPortMedUs;
  double cpuSteadyUs, cpuFloodUs;  // per barcode
  double switchesSteady;            // voluntary context switches per barcode
  double floodMBs, floodCodesPerS;
  long rssBefore, rssOpen, rssAfter;  // KiB
  int threadsBefore, threadsOpen, fdsBefore, fdsOpen;
};

double Percentile(std::vector<std::int64_t>& v, double p) {
  if (v.empty()) return 0;
  const std::size_t k = std::min(v.size() - 1, std::size_t(p * double(v.size())));
  std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(k), v.end());
  return double(v[k]) / 1000.0;
}

// The serial component raw at 9600 8N1, or the barcode scanner with its own settings.
std::unique_ptr<TqvCustomSerialComm> NewPort(unsigned number, bool scanner) {
  std::unique_ptr<TqvCustomSerialComm> comm;
  if (scanner) {
    comm = std::make_unique<TqvBarCodeScan>(nullptr);
  } else {
    comm = std::make_unique<TqvCustomSerialComm>(nullptr);
    comm->SetBaudRate(CBR_9600);
    comm->SetByteSize(8);
    comm->SetParity(pNone);
    comm->SetStopBits(sbOne);
    comm->SetStreamProtocol(spNone);
    comm->SetEventMask({ceRxChar});
  }
  comm->SetComPortNo(WORD(number));
  comm->OnFatalError = TOnFatalErrorEvent::FromFunction(
      [](void*, TObject*, DWORD, DWORD, std::string msg, bool& raise) {
        raise = false;
        Die(msg);
      },
      nullptr);
  return comm;
}

struct TPty {
  int master;
  std::string slave;
};

TPty OpenPty() {
  TPty p{posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC), {}};
  char name[128];
  if (p.master < 0 || grantpt(p.master) || unlockpt(p.master) || ptsname_r(p.master, name, sizeof name))
    Die("pseudo-terminal: " + std::string(std::strerror(errno)));
  p.slave = name;
  return p;
}

void Map(unsigned number, const std::string& slave) {
  DWORD error = 0;
  std::string reason;
  if (!qv::platform::AddUserMapping(number, slave, error, reason)) Die("cannot map " + slave + ": " + reason);
}

// Serves the loop until pred() or the deadline. The deadline is watched by a thread of its
// own: a timer on the main loop would add its work to every round of the loop.
template <class F>
bool ServeUntil(TRun& run, double seconds, F pred) {
  std::mutex mutex;
  std::condition_variable cv;
  bool finished = false;
  std::atomic<bool> timedOut{false};
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (!cv.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return finished; })) {
      timedOut = true;
      PostMessageA(run.window, WM_USER, 0, 0);
    }
  });
  while (!pred() && !timedOut.load()) Application->WaitAndProcess(INFINITE);
  {
    std::lock_guard lock(mutex);
    finished = true;
  }
  cv.notify_one();
  watchdog.join();
  return pred();
}

TResult RunOne(int n, const TOptions& o) {
  TResult r{};
  r.n = n;
  char dir[] = "/tmp/many_ports.XXXXXX";
  if (!mkdtemp(dir)) Die("mkdtemp: " + std::string(std::strerror(errno)));
  setenv("XDG_CONFIG_HOME", dir, 1);

  const long steady = std::max(1L, long(o.seconds * o.rate));
  std::vector<TPty> ptys;
  for (int i = 0; i < n; ++i) ptys.push_back(OpenPty());
  const std::size_t slots = std::size_t(n) * std::size_t(steady);
  void* shared = mmap(nullptr, slots * sizeof(std::atomic<std::int64_t>), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) Die("mmap");
  auto* sentNs = static_cast<std::atomic<std::int64_t>*>(shared);
  int toWriter[2], fromWriter[2];
  if (pipe2(toWriter, O_CLOEXEC) || pipe2(fromWriter, O_CLOEXEC)) Die("pipe");
  const pid_t writer = fork();
  if (writer < 0) Die("fork");
  if (writer == 0) {
    std::vector<int> masters;
    for (const TPty& p : ptys) masters.push_back(p.master);
    RunWriter(masters, steady, o.flood, o.rate, sentNs, toWriter[0], fromWriter[1]);
  }
  ::close(toWriter[0]);
  ::close(fromWriter[1]);

  TApplication app;
  TRun run;
  run.steady = steady;
  run.sentNs = sentNs;
  run.window = AllocateHWnd(TWndMethod());

  // One port opened, used and closed first: code and allocations made on first use.
  {
    TPty warm = OpenPty();
    Map(kFirstPort + unsigned(n), warm.slave);
    auto comm = NewPort(kFirstPort + unsigned(n), false);
    long got = 0;
    comm->OnRxData = TOnRxDataEvent::FromFunction(
        [](void* d, TObject*, const BYTE*, int count) { *static_cast<long*>(d) += count; }, &got);
    comm->Open();
    char code[kCodeLen];
    MakeCode(0, code);
    WriteAll(warm.master, code, kCodeLen);
    ServeUntil(run, 10, [&] { return got >= long(kCodeLen); });
    comm->Close();
    ::close(warm.master);
  }
  for (int i = 0; i < n; ++i) Map(kFirstPort + unsigned(i), ptys[std::size_t(i)].slave);
  for (TPty& p : ptys) ::close(p.master);  // the writer has its own
  // Ended threads leave /proc a moment after they are joined.
  const int baseThreads = 1;
  for (int i = 0; i < 100 && qv::platform::OwnCounters().threads != baseThreads; ++i) Sleep(10);
  const qv::platform::ProcessCounters countsBefore = qv::platform::OwnCounters();
  r.rssBefore = countsBefore.residentKiB;
  r.threadsBefore = countsBefore.threads;
  r.fdsBefore = countsBefore.descriptors;

  std::vector<TPort> ports(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    TPort& p = ports[std::size_t(i)];
    p.run = &run;
    p.index = std::size_t(i);
    p.latency.reserve(std::size_t(steady));
    p.comm = NewPort(kFirstPort + unsigned(i), o.scanner);
    if (o.scanner)
      static_cast<TqvBarCodeScan*>(p.comm.get())->OnBarCode = TOnBarCodeEvent(&p, &TPort::BarCode);
    else
      p.comm->OnRxData = TOnRxDataEvent(&p, &TPort::RxData);
    p.comm->Open();
  }
  nftw(dir, RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);

  auto allDone = [&] { return run.portsDone == std::size_t(n); };
  // Steady phase.
  run.expected = steady;
  run.portsDone = 0;
  double cpu0 = CpuSeconds();
  const long cs0 = Switches();
  WriteAll(toWriter[1], "s", 1);
  const bool steadyOk = ServeUntil(run, o.seconds + 30, allDone);
  const double cpuSteady = CpuSeconds() - cpu0;
  r.switchesSteady = double(Switches() - cs0) / double(n * steady);
  // Counted once every port has carried traffic: a thread makes its wake-ups on first use.
  const qv::platform::ProcessCounters countsOpen = qv::platform::OwnCounters();
  r.rssOpen = countsOpen.residentKiB;
  r.threadsOpen = countsOpen.threads;
  r.fdsOpen = countsOpen.descriptors;
  char c;
  ReadByte(fromWriter[0], c);

  // Flood.
  run.expected = steady + o.flood;
  run.portsDone = 0;
  cpu0 = CpuSeconds();
  const std::int64_t f0 = NowNs();
  WriteAll(toWriter[1], "f", 1);
  const bool floodOk = o.flood == 0 || ServeUntil(run, 120, allDone);
  const double floodSecs = double(NowNs() - f0) * 1e-9;
  const double cpuFlood = CpuSeconds() - cpu0;
  r.rssAfter = qv::platform::OwnCounters().residentKiB;

  std::vector<std::int64_t> all;
  std::vector<std::int64_t> medians;
  r.ok = steadyOk && floodOk;
  for (TPort& p : ports) {
    if (p.bad || p.len != 0 || p.received != steady + o.flood) r.ok = false;
    all.insert(all.end(), p.latency.begin(), p.latency.end());
    std::vector<std::int64_t> mine = p.latency;
    medians.push_back(std::int64_t(Percentile(mine, 0.5) * 1000));
  }
  r.latMedUs = Percentile(all, 0.5);
  r.latP99Us = Percentile(all, 0.99);
  r.worstPortMedUs = medians.empty() ? 0 : double(*std::max_element(medians.begin(), medians.end())) / 1000.0;
  r.cpuSteadyUs = cpuSteady * 1e6 / double(n * steady);
  r.cpuFloodUs = o.flood ? cpuFlood * 1e6 / double(n * o.flood) : 0;
  r.floodCodesPerS = o.flood ? double(n * o.flood) / floodSecs : 0;
  r.floodMBs = r.floodCodesPerS * kCodeLen / 1e6;

  WriteAll(toWriter[1], "x", 1);
  for (TPort& p : ports) p.comm->Close();
  DeallocateHWnd(run.window);
  int status;
  waitpid(writer, &status, 0);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions o;
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc)
      o.seconds = std::atof(argv[++i]);
    else if (a == "--rate" && i + 1 < argc)
      o.rate = std::atoi(argv[++i]);
    else if (a == "--flood" && i + 1 < argc)
      o.flood = std::atol(argv[++i]);
    else if (a == "--scanner")
      o.scanner = true;
    else if (std::atoi(a.c_str()) > 0 && std::atoi(a.c_str()) <= 150)
      counts.push_back(std::atoi(a.c_str()));
    else {
      std::fprintf(stderr, "usage: %s [--seconds S] [--rate R] [--flood K] [--scanner] [N ...]  (N 1..150)\n", argv[0]);
      return 64;
    }
  }
  if (o.rate <= 0 || o.seconds <= 0 || o.flood < 0) return 64;
  if (counts.empty()) counts = {1, 8, 32, 64};
  signal(SIGPIPE, SIG_IGN);

  std::printf("%s; steady: %d barcodes/s per port for %.1f s; flood: %ld barcodes per port at once\n",
              o.scanner ? "barcode scanner component (OnBarCode)" : "serial component (OnRxData)", o.rate,
              o.seconds, o.flood);
  std::printf("%4s %9s %9s %9s %9s %6s %9s %9s %9s %8s %8s %9s %10s %s\n", "N", "med us", "p99 us", "worst med",
              "CPU us/bc", "cs/bc", "CPU us/bc", "RSS KiB", "KiB/port", "threads", "fds", "flood", "flood", "every byte");
  std::printf("%4s %9s %9s %9s %9s %6s %9s %9s %9s %8s %8s %9s %10s %s\n", "", "steady", "steady", "port", "steady",
              "steady", "flood", "", "", "", "", "MB/s", "barcodes/s", "in order");
  bool allOk = true;
  for (int n : counts) {
    std::fflush(stdout);
    int fds[2];
    if (pipe(fds)) Die("pipe");
    // A process per N: its counts start from nothing.
    const pid_t child = fork();
    if (child == 0) {
      ::close(fds[0]);
      const TResult r = RunOne(n, o);
      WriteAll(fds[1], &r, sizeof r);
      std::fflush(stdout);
      std::_Exit(0);
    }
    ::close(fds[1]);
    TResult r{};
    std::size_t got = 0;
    while (got < sizeof r) {
      const ssize_t k = ::read(fds[0], reinterpret_cast<char*>(&r) + got, sizeof r - got);
      if (k <= 0) break;
      got += std::size_t(k);
    }
    ::close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (got != sizeof r) {
      std::printf("%4d | failed (status %d)\n", n, status);
      allOk = false;
      continue;
    }
    allOk = allOk && r.ok;
    char threads[16], descriptors[16];
    std::snprintf(threads, sizeof threads, "%d+%d", r.threadsBefore, r.threadsOpen - r.threadsBefore);
    std::snprintf(descriptors, sizeof descriptors, "%d+%d", r.fdsBefore, r.fdsOpen - r.fdsBefore);
    std::printf("%4d %9.1f %9.1f %9.1f %9.2f %6.2f %9.2f %9ld %9.0f %8s %8s %9.2f %10.0f %s\n", n, r.latMedUs,
                r.latP99Us, r.worstPortMedUs, r.cpuSteadyUs, r.switchesSteady, r.cpuFloodUs, r.rssAfter, double(r.rssAfter - r.rssBefore) / n,
                threads, descriptors, r.floodMBs, r.floodCodesPerS, r.ok ? "yes" : "NO");
  }
  return allOk ? 0 : 1;
}
