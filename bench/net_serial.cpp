// Network serial port through ser2net on loopback, beside pyserial's rfc2217:// client in the
// same run: throughput from the device to the client, and the round trip of a barcode (the
// device sends a CR-terminated line, the client sends it back).
//
//   net_serial [reps] [MiB] [round trips]      (default 3 4 500)
//
// Each repetition starts ser2net (RFC 2217) in front of a fresh pseudo-terminal; this program
// plays the device on the master side (ser2net's chardelay off, so that its wait for more
// characters does not hide the clients' own latency). The clients run as their own processes, in turn:
// "project" is this program (CreateFileA on rfc2217://, ReadFile/WriteFile), "pyserial" is
// bench/pyserial_rfc2217_client.py. Needs ser2net and python3-serial (scripts/setup.sh).
#include "platform/serial/winserial.h"
#include "platform/win32/winbase.h"
#include "tests/support/netserver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// ---- The project's client (run as a child process) -----------------------------------------

int Client(const std::string& mode, const std::string& url, long n) {
  HANDLE h = CreateFileA(url.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, 0);
  if (h == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "%s\n", qv::platform::LastErrorText().c_str());
    return 1;
  }
  SetupComm(h, 65536, 4096);
  COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 5000, 0, 0};  // return with what is there, wait 5 s
  SetCommTimeouts(h, &t);
  std::printf("ready\n");
  std::fflush(stdout);
  std::vector<char> buf(65536);
  if (mode == "throughput") {
    long got = 0;
    Clock::time_point start{};
    while (got < n) {
      DWORD r = 0;
      if (!ReadFile(h, buf.data(), DWORD(buf.size()), &r, nullptr) || r == 0) return 2;
      if (got == 0) start = Clock::now();
      got += long(r);
    }
    std::printf("%.3f\n", double(got) / Seconds(Clock::now() - start) / 1e6);
  } else {
    std::string line;
    for (long i = 0; i < n; ++i) {
      while (line.find('\r') == std::string::npos) {
        DWORD r = 0;
        if (!ReadFile(h, buf.data(), DWORD(buf.size()), &r, nullptr) || r == 0) return 2;
        line.append(buf.data(), r);
      }
      const std::size_t end = line.find('\r') + 1;
      DWORD w = 0;
      WriteFile(h, line.data(), DWORD(end), &w, nullptr);
      line.erase(0, end);
    }
  }
  std::fflush(stdout);
  CloseHandle(h);
  return 0;
}

// ---- The driver ------------------------------------------------------------------------------

struct Child {
  pid_t pid = -1;
  FILE* out = nullptr;
};

Child Spawn(const std::vector<std::string>& argv) {
  int fds[2];
  if (pipe(fds) < 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  Child c;
  if (posix_spawn(&c.pid, args[0], &actions, nullptr, args.data(), environ) != 0) c.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  c.out = fdopen(fds[0], "r");
  return c;
}

std::string ReadLine(FILE* f) {
  char line[256];
  if (!f || !std::fgets(line, sizeof line, f)) return {};
  std::string s = line;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

int Finish(Child& c) {
  int status = -1;
  if (c.out) std::fclose(c.out);
  if (c.pid > 0) waitpid(c.pid, &status, 0);
  return status;
}

std::vector<std::string> ClientArgs(const std::string& self, const std::string& script,
                                    bool pyserial, const std::string& mode,
                                    const std::string& url, long n) {
  // pyserial waits for answers to its DTR and RTS commands, which ser2net does not give for a
  // pseudo-terminal; its ign_set_control option stops it waiting.
  if (pyserial) return {"/usr/bin/python3", script, mode, url + "?ign_set_control", std::to_string(n)};
  return {self, "client", mode, url, std::to_string(n)};
}

struct Result {
  std::vector<double> mbps, rtt;  // rtt in µs, all repetitions together
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

bool RunOnce(const std::string& self, const std::string& script, bool pyserial, long bytes,
             long trips, Result& result) {
  qv::test::PtyPair pty;
  qv::test::Ser2net server;
  // Without ser2net's wait for more characters, which would dominate the round trip.
  if (!pty.ok() || !server.Start(pty, true, "115200n81", false)) return false;
  // Throughput: the device writes as fast as the pseudo-terminal takes it.
  Child c = Spawn(ClientArgs(self, script, pyserial, "throughput", server.Url(), bytes));
  if (ReadLine(c.out) != "ready") return Finish(c), false;
  std::string block(65536, '\0');
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = char(i * 7);
  for (long sent = 0; sent < bytes;)
    sent += long(pty.Write(block.data(), std::min<std::size_t>(block.size(), std::size_t(bytes - sent))));
  const std::string mbps = ReadLine(c.out);
  if (Finish(c) != 0 || mbps.empty()) return false;
  result.mbps.push_back(std::atof(mbps.c_str()));
  // Round trips of a barcode, after ser2net has closed the device for the last client.
  pty.Read(1 << 30, 100);
  c = Spawn(ClientArgs(self, script, pyserial, "echo", server.Url(), trips));
  if (ReadLine(c.out) != "ready") return Finish(c), false;
  const std::string barcode = "4006381333931\r";
  for (long i = 0; i < trips; ++i) {
    const auto t0 = Clock::now();
    pty.Write(barcode);
    if (pty.Read(barcode.size(), 5000) != barcode) return Finish(c), false;
    result.rtt.push_back(Seconds(Clock::now() - t0) * 1e6);
  }
  return Finish(c) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::string(argv[1]) == "client")
    return Client(argv[2], argv[3], std::atol(argv[4]));
  const int reps = argc > 1 ? std::atoi(argv[1]) : 3;
  const long bytes = (argc > 2 ? std::atol(argv[2]) : 4) << 20;
  const long trips = argc > 3 ? std::atol(argv[3]) : 500;
  if (!qv::test::Ser2net::Installed()) {
    std::fprintf(stderr, "net_serial: ser2net is not installed (scripts/setup.sh)\n");
    return 1;
  }
  char self[4096];
  const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
  if (len <= 0) return 1;
  self[len] = '\0';
  std::string script = std::string(SOURCE_DIR) + "/bench/pyserial_rfc2217_client.py";
  Result results[2];
  const char* names[2] = {"project (CreateFileA rfc2217://)", "pyserial rfc2217://"};
  for (int rep = 0; rep < reps; ++rep)
    for (int k = 0; k < 2; ++k)
      if (!RunOnce(self, script, k == 1, bytes, trips, results[k]))
        std::fprintf(stderr, "net_serial: %s failed in repetition %d\n", names[k], rep + 1);
  std::printf("ser2net 4 (RFC 2217) on loopback, %d repetitions, %ld MiB and %ld round trips each\n",
              reps, bytes >> 20, trips);
  std::printf("| client | MB/s (median) | round trip med µs | p99 µs |\n|---|---|---|---|\n");
  for (int k = 0; k < 2; ++k)
    std::printf("| %s | %.3f | %.0f | %.0f |\n", names[k], Percentile(results[k].mbps, 0.5),
                Percentile(results[k].rtt, 0.5), Percentile(results[k].rtt, 0.99));
  return 0;
}
