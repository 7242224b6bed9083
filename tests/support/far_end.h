// The far device of a port, of every kind a COM number can name: a pseudo-terminal, one end
// of the in-process null-modem pair, and a pseudo-terminal served by a real ser2net as
// rfc2217:// or tcp://. The test maps Device() as a COM port, sends what the device sends and
// pulls the plug.
#pragma once

#include "platform/serial/nullmodem.h"
#include "platform/serial/pseudoterminal.h"
#include "platform/win32/winbase.h"
#include "support/netserver.h"

#include <memory>
#include <ostream>
#include <string>

namespace qv::test {

enum class DeviceKind { kPty, kNullModem, kRfc2217, kTcp };

inline std::ostream& operator<<(std::ostream& os, DeviceKind kind) {
  static const char* const kNames[] = {"pty", "nullmodem", "rfc2217", "tcp"};
  return os << kNames[int(kind)];
}

class FarEnd {
 public:
  explicit FarEnd(DeviceKind kind) : kind_(kind) {}

  // False with the reason when this kind cannot be had here (ser2net not installed).
  bool Start(std::string& why) {
    DWORD error = 0;
    if (kind_ == DeviceKind::kNullModem) {
      static int serial = 0;
      pair_ = qv::platform::CreateNullModemPair("farend" + std::to_string(++serial), &error);
      why = "no null-modem pair";
      return pair_ != nullptr;
    }
    if (!pty_.Open(error)) {
      why = "no pseudo-terminal";
      return false;
    }
    if (kind_ == DeviceKind::kPty) return true;
    why = "ser2net is not installed";
    return Ser2net::Installed() && server_.Start(pty_.FarEnd(), kind_ == DeviceKind::kRfc2217);
  }

  // What the port map maps.
  std::string Device() const {
    if (pair_) return pair_->PortName(qv::platform::NullModemPair::kA);
    return kind_ == DeviceKind::kPty ? pty_.FarEnd() : server_.Url();
  }

  // Sends what fits now, without waiting but for a server to take the device up; the count
  // sent.
  std::size_t SendSome(const std::string& bytes) {
    if (pair_) return pair_->Write(qv::platform::NullModemPair::kB, bytes.data(), bytes.size());
    if (kind_ != DeviceKind::kPty) {
      for (int i = 0; i < 1000 && !server_.HoldsDevice(pty_.FarEnd()); ++i) Sleep(5);
      Sleep(20);  // its set-up of the device flushes it
    }
    DWORD error = 0;
    const long n = pty_.WriteSome(bytes.data(), bytes.size(), error);
    return n > 0 ? std::size_t(n) : 0;
  }

  // The device goes away: the cable is pulled, the terminal hangs up, the server ends.
  void Unplug() {
    if (pair_) pair_->Vanish();
    else if (kind_ == DeviceKind::kPty) pty_.Close();
    else server_.Kill();
  }

 private:
  DeviceKind kind_;
  std::shared_ptr<qv::platform::NullModemPair> pair_;
  qv::platform::TPseudoTerminal pty_;
  Ser2net server_;
};

}  // namespace qv::test
