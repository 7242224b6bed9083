// A real mosquitto broker on a free loopback port, and programs run beside it with their
// output in files (so a program killed outright still leaves what it wrote).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace qv::test {

inline bool HaveProgram(const std::string& name) {
  for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"})
    if (access((dir + name).c_str(), X_OK) == 0) return true;
  return false;
}

// A port nobody listens on now (the kernel picks it).
inline int FreeLoopbackPort() {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(s);
  return port;
}

inline bool PortAccepts(int port) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(std::uint16_t(port));
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

inline std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A program (found on PATH) with stdin from /dev/null and stdout/stderr into files; env holds
// extra NAME=value entries. It leads a process group of its own, and signals go to the whole
// group (a shell pipeline, the commands a reader runs).
class Process {
 public:
  Process() = default;
  Process(std::vector<std::string> argv, const std::filesystem::path& out, const std::filesystem::path& err,
          std::vector<std::string> env = {}) {
    pid_ = fork();
    if (pid_ != 0) return;
    setpgid(0, 0);
    const int in = open("/dev/null", O_RDONLY);
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    for (std::string& v : env) putenv(v.data());
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  Process(Process&& o) noexcept : pid_(o.pid_) { o.pid_ = -1; }
  Process& operator=(Process&& o) noexcept {
    Kill();
    pid_ = o.pid_;
    o.pid_ = -1;
    return *this;
  }
  ~Process() { Kill(); }

  pid_t pid() const { return pid_; }
  bool Running() const { return pid_ > 0; }
  // SIGKILL and reap.
  void Kill() { Signal(SIGKILL); }
  // Sends sig and reaps; the exit code (128 + signal when a signal ended it).
  int Signal(int sig, int timeoutMs = 20000) {
    if (pid_ <= 0) return -1;
    kill(-pid_, sig);
    kill(pid_, sig);  // also before the child has made its group
    return Wait(timeoutMs);
  }
  // Waits for the end; -1 when it did not end in time (then it is killed).
  int Wait(int timeoutMs = 20000) {
    if (pid_ <= 0) return -1;
    int status = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
};

// mosquitto on 127.0.0.1:port with its persistence in dir, saved after every change: a broker
// saves only now and then, and one killed between acknowledging a message and saving it loses
// the message itself (seen under load with a save every second). Extra lines go into its
// configuration.
class Broker {
 public:
  Broker(std::filesystem::path dir, std::string extra = "") : dir_(std::move(dir)), port_(FreeLoopbackPort()) {
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / "mosquitto.conf")
        << "listener " << port_ << " 127.0.0.1\n"
        // Run as root it would switch to its own user, who cannot read the test's folder.
        << "user " << getpwuid(getuid())->pw_name << "\n"
        << "persistence true\npersistence_location " << dir_.string() << "/\nautosave_on_changes true\nautosave_interval 1\n"
        << "max_queued_messages 0\nmax_inflight_messages 0\n"
        << (extra.empty() ? "allow_anonymous true\n" : extra);
  }
  ~Broker() { proc_.Kill(); }

  int port() const { return port_; }
  const std::filesystem::path& dir() const { return dir_; }
  // Starts it and waits until it accepts connections.
  bool Start() {
    proc_ = Process({"mosquitto", "-c", (dir_ / "mosquitto.conf").string()}, dir_ / "broker.out",
                    dir_ / "broker.err");
    for (int i = 0; i < 500; ++i) {
      if (PortAccepts(port_)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  void Kill9() { proc_.Kill(); }

 private:
  std::filesystem::path dir_;
  int port_;
  Process proc_;
};

}  // namespace qv::test
