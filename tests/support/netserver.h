// Servers for the network port tests: ser2net (the real serial device server) run on a
// loopback port in front of a pseudo-terminal the test holds, and a scripted RFC 2217 server
// for what a pseudo-terminal cannot show.
#pragma once

#include "pty.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace qv::test {

// A loopback listening socket on a port the kernel picked; Port() tells it.
inline int ListenLoopback(int& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || listen(fd, 4) < 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) < 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  port = ntohs(a.sin_port);
  return fd;
}

// A port nobody listens on (taken from the kernel, then given back).
inline int FreeLoopbackPort() {
  int port = 0;
  int fd = ListenLoopback(port);
  if (fd >= 0) close(fd);
  return port;
}

class Ser2net {
 public:
  static bool Installed() { return access("/usr/sbin/ser2net", X_OK) == 0; }

  // Serves pty's slave as rfc2217:// (Telnet with port control) or tcp:// (raw). chardelay:
  // ser2net's wait for more characters before it sends what the device gave.
  bool Start(const PtyPair& pty, bool rfc2217, const std::string& line = "9600n81",
             bool chardelay = true) {
    return Start(pty.slave(), rfc2217, line, chardelay);
  }
  // The same for any terminal device, by its path.
  bool Start(const std::string& device, bool rfc2217, const std::string& line = "9600n81",
             bool chardelay = true) {
    char dir[] = "/tmp/qv-ser2net-XXXXXX";
    if (!mkdtemp(dir)) return false;
    dir_ = dir;
    port_ = FreeLoopbackPort();
    rfc2217_ = rfc2217;
    const std::string config = dir_ + "/ser2net.yaml";
    std::ofstream(config) << "%YAML 1.1\n---\nconnection: &port\n  accepter: "
                          << (rfc2217 ? "telnet(rfc2217),tcp," : "tcp,") << "127.0.0.1," << port_
                          << "\n  connector: serialdev," << device << "," << line
                          << ",local\n"
                          << (chardelay ? "" : "  options:\n    chardelay: false\n");
    const char* argv[] = {"ser2net", "-n", "-u", "-c", config.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int r = posix_spawn(&pid_, "/usr/sbin/ser2net", &actions, nullptr,
                              const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (r != 0) {
      pid_ = -1;
      return false;
    }
    // Ready once the port listens (looked up without connecting, which would open the device).
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X", port_);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < end) {
      std::ifstream tcp("/proc/net/tcp");
      std::string entry;
      while (std::getline(tcp, entry))
        if (entry.find("0100007F" + std::string(hex) + " 00000000:0000 0A") != std::string::npos)
          return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::string Url() const {
    return (rfc2217_ ? "rfc2217://127.0.0.1:" : "tcp://127.0.0.1:") + std::to_string(port_);
  }
  int Port() const { return port_; }

  // Whether the server holds device open now. A raw tcp:// server opens it only after the
  // connection is made (and drops what the device had queued), so the client's open returns
  // before the device is served.
  bool HoldsDevice(const std::string& device) const {
    std::error_code ec;
    const std::filesystem::path fds = "/proc/" + std::to_string(pid_) + "/fd";
    for (const auto& fd : std::filesystem::directory_iterator(fds, ec))
      if (std::filesystem::read_symlink(fd.path(), ec) == device) return true;
    return false;
  }

  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  ~Ser2net() {
    Kill();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  bool rfc2217_ = true;
  std::string dir_;
};

// One-connection RFC 2217 server: accepts on a loopback port, runs onAccept on its own thread
// (while the client's open waits), then leaves the connection to the test.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::function<void(int)> onAccept) {
    listen_ = ListenLoopback(port_);
    thread_ = std::thread([this, onAccept] {
      pollfd p{listen_, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) return;
      conn_ = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn_ >= 0 && onAccept) onAccept(conn_);
    });
  }
  ~ScriptedServer() {
    Join();
    if (conn_ >= 0) close(conn_);
    if (listen_ >= 0) close(listen_);
  }
  std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
  // The connection, once the accept script is done.
  int Join() {
    if (thread_.joinable()) thread_.join();
    return conn_;
  }

  static void Send(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return;
      done += std::size_t(n);
    }
  }
  // What arrives within ms (or until `until` is among it).
  static std::string Receive(int fd, int ms, const std::string& until = {}) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now()).count();
      if (left <= 0 || (!until.empty() && got.find(until) != std::string::npos)) return got;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, int(left)) <= 0) continue;
      char buf[4096];
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return got;
      got.append(buf, std::size_t(n));
    }
  }
  // A COM-PORT-OPTION message from the server: IAC SB 44 code value IAC SE.
  static std::string Sub(int code, const std::string& value) {
    return std::string("\xFF\xFA\x2C", 3) + char(code) + value + std::string("\xFF\xF0", 2);
  }
  // Agrees to port control and answers the settings queries of the open, as a server does.
  static void Agree(int fd) {
    Send(fd, std::string("\xFF\xFD\x2C", 3));
    Receive(fd, 3000, std::string("\xFF\xFA\x2C\x05", 4));  // the last query of the open
    Send(fd, Sub(101, std::string("\0\0\x25\x80", 4)) + Sub(102, "\x08") + Sub(103, "\x01") +
                 Sub(104, "\x01") + Sub(105, "\x01"));
  }

 private:
  int listen_ = -1;
  int port_ = 0;
  int conn_ = -1;
  std::thread thread_;
};

}  // namespace qv::test
