// Plays a Plug and Play device at the far end of a virtual null-modem pair: once the port open
// at end A has dropped both DTR and RTS and then raised them again, it sends its answer.
#pragma once

#include "platform/serial/nullmodem.h"
#include "platform/win32/winbase.h"

#include <atomic>
#include <string>
#include <thread>

namespace qv::test {

class PnPDevice {
 public:
  using NullModemPair = qv::platform::NullModemPair;
  // delayMs: how long the device takes to answer once it has seen the wake-up sequence;
  // gapMs: a pause before each byte after the first, so the answer arrives in several blocks.
  PnPDevice(NullModemPair& pair, std::string answer, DWORD delayMs = 0, DWORD gapMs = 0)
      : pair_(pair), answer_(std::move(answer)), delayMs_(delayMs), gapMs_(gapMs) {
    pair_.SetLines(NullModemPair::kB, true, true);
    thread_ = std::thread([this] { Run(); });
  }
  ~PnPDevice() {
    stop_ = true;
    thread_.join();
  }
  PnPDevice(const PnPDevice&) = delete;
  PnPDevice& operator=(const PnPDevice&) = delete;

 private:
  void Run() {
    bool sawLow = false;
    const DWORD start = GetTickCount();
    while (!stop_ && GetTickCount() - start < 20000) {
      const bool open = pair_.IsOpen(NullModemPair::kA);
      const bool rts = pair_.Rts(NullModemPair::kA), dtr = pair_.Dtr(NullModemPair::kA);
      if (open && !rts && !dtr) sawLow = true;
      if (open && sawLow && rts && dtr) {
        Sleep(delayMs_);
        if (gapMs_ == 0) {
          if (!answer_.empty()) pair_.Write(NullModemPair::kB, answer_.data(), answer_.size());
          return;
        }
        for (std::size_t i = 0; i < answer_.size() && !stop_; ++i) {
          if (i > 0) Sleep(gapMs_);
          pair_.Write(NullModemPair::kB, answer_.data() + i, 1);
        }
        return;
      }
      Sleep(1);
    }
  }
  NullModemPair& pair_;
  std::string answer_;
  const DWORD delayMs_;
  const DWORD gapMs_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace qv::test
