// The lab tests' side of the control port: questions to the host (tests/lab/host.py), which
// plays the far end of the guest's serial lines and reads QEMU's view of the hardware. Also the
// guest's fixed devices, and the serial component opened on a port of the guest.
#pragma once

#include "comm/serialcomm.h"
#include "platform/system/portmap.h"
#include "support/app.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace lab {

// The guest's devices (scripts/lab.sh): ttyS1 behind a host pseudo-terminal, ttyS4 (PCI) behind
// a telnet socket, ttyS2 and ttyS3 listed by the kernel without a UART, the FTDI adapter.
constexpr unsigned kUartCom = 2;  // ttyS1
constexpr unsigned kTelnetCom = 5;  // ttyS4
constexpr const char* kUsbSerial = "QVLAB0001";

// Runs only inside the lab guest; anywhere else every test fails saying so.
inline void RequireLab() {
  if (!std::getenv("QV_LAB")) FAIL() << "lab tests run inside the lab guest: scripts/lab.sh";
}

// One request line to the host, one answer line back; the answer without its "ok ".
class Host {
 public:
  static Host& Get() {
    static Host host;
    return host;
  }
  std::string Ask(const std::string& request) {
    if (fd_ < 0) return "err no control port";
    std::string line = request + "\n";
    if (write(fd_, line.data(), line.size()) != ssize_t(line.size())) return "err write";
    std::string reply;
    char c;
    while (read(fd_, &c, 1) == 1 && c != '\n') reply += c;
    if (reply.rfind("ok", 0) == 0) return reply.size() > 3 ? reply.substr(3) : "";
    ADD_FAILURE() << "host: " << request << ": " << reply;
    return {};
  }

 private:
  Host() {
    // The virtio port named "lab", found through sysfs: udevd may not run.
    if (DIR* d = opendir("/sys/class/virtio-ports")) {
      while (dirent* e = readdir(d)) {
        std::ifstream name(std::string("/sys/class/virtio-ports/") + e->d_name + "/name");
        std::string n;
        if (name >> n && n == "lab") fd_ = open((std::string("/dev/") + e->d_name).c_str(), O_RDWR | O_CLOEXEC);
      }
      closedir(d);
    }
  }
  int fd_ = -1;
};

inline std::string Ask(const std::string& request) { return Host::Get().Ask(request); }

// Bytes as hex for the control port, and back.
inline std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}
inline std::string Unhex(const std::string& hex) {
  std::string out;
  if (hex == "-") return out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// The words of a line.
inline std::vector<std::string> Words(const std::string& s, char sep = ' ') {
  std::vector<std::string> out;
  std::stringstream in(s);
  std::string w;
  while (std::getline(in, w, sep))
    if (!w.empty()) out.push_back(w);
  return out;
}

// A shell command's standard output.
inline std::string Output(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// The serial component on COMn, failures recorded instead of raised.
class Port : public TqvCustomSerialComm {
 public:
  explicit Port(unsigned com) : TqvCustomSerialComm(nullptr) {
    SetComPortNo(WORD(com));
    PortSettings.dcb.Flags &= ~(DCB_fOutxCtsFlow | DCB_fRtsControlMask);
    PortSettings.dcb.Flags |= RTS_CONTROL_ENABLE << DCB_fRtsControlShift;
    OnFatalError = decltype(OnFatalError)::FromFunction(
        [](void* self, TObject*, DWORD, DWORD, std::string msg, bool& raise) {
          static_cast<Port*>(self)->Errors.push_back(msg);
          raise = false;
        }, this);
  }
  std::vector<std::string> Errors;
};

}  // namespace lab
