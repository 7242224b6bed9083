#include "platform/serial/internal/telnet.h"

namespace qv::platform::telnet {

namespace {
// Answers and notifications from the server carry the client's code plus 100.
constexpr BYTE kServer = 100;
constexpr std::size_t kMaxBanner = 200;
}  // namespace

bool Session::SupportsLocal(BYTE option) const {
  return option == kOptBinary || option == kOptSga || (comPort_ && option == kOptComPort);
}

bool Session::SupportsRemote(BYTE option) const {
  return option == kOptBinary || option == kOptSga;
}

void Session::Reply(std::vector<BYTE>& out, BYTE verb, BYTE option) {
  if (out.size() + 3 > kMaxReplyBytes) {
    ++port_.protocolErrors;
    return;
  }
  out.insert(out.end(), {kIac, verb, option});
}

void Session::Start(std::vector<BYTE>& out) {
  for (BYTE option : {kOptBinary, kOptSga}) {
    us_[option] = kWantYes;
    him_[option] = kWantYes;
    out.insert(out.end(), {kIac, kWill, option, kIac, kDo, option});
  }
  if (comPort_) {
    us_[kOptComPort] = kWantYes;
    out.insert(out.end(), {kIac, kWill, kOptComPort});
  }
}

// The Q method of RFC 1143, without the queue bit: an answer to our own request is not
// answered again, so two sides can never loop.
void Session::OnOption(BYTE verb, BYTE option, std::vector<BYTE>& out) {
  switch (verb) {
    case kDo:
      if (!SupportsLocal(option)) {
        Reply(out, kWont, option);
      } else if (us_[option] != kYes) {
        const bool asked = us_[option] == kWantYes;
        us_[option] = kYes;
        if (!asked) Reply(out, kWill, option);
      }
      break;
    case kDont:
      if (option == kOptComPort && comPort_) refusedComPort_ = true;
      if (us_[option] != kNo) {
        const bool was = us_[option] == kYes;
        us_[option] = kNo;
        if (was) Reply(out, kWont, option);
      }
      break;
    case kWill:
      if (!SupportsRemote(option)) {
        Reply(out, kDont, option);
      } else if (him_[option] != kYes) {
        const bool asked = him_[option] == kWantYes;
        him_[option] = kYes;
        if (!asked) Reply(out, kDo, option);
      }
      break;
    case kWont:
      if (him_[option] != kNo) {
        const bool was = him_[option] == kYes;
        him_[option] = kNo;
        if (was) Reply(out, kDont, option);
      }
      break;
  }
}

void Session::OnSubneg() {
  if (sbSkipped_ || sbLen_ < 2 || sb_[0] != kOptComPort || !comPort_) {
    if (sbSkipped_ || sbLen_ < 2) ++port_.protocolErrors;
    return;  // another option's subnegotiation: not ours to answer
  }
  const BYTE code = sb_[1];
  const BYTE* v = sb_ + 2;
  const std::size_t n = sbLen_ - 2;
  auto answered = [&](BYTE command) { port_.pending &= ~(1u << command); };
  if (code < kServer || (n == 0 && code != kServer + kFlowSuspend && code != kServer + kFlowResume &&
                         code != kServer + kSignature)) {
    ++port_.protocolErrors;
    return;
  }
  switch (code - kServer) {
    case kSetBaudRate:
      if (n != 4) break;
      port_.baud = std::uint32_t(v[0]) << 24 | std::uint32_t(v[1]) << 16 |
                   std::uint32_t(v[2]) << 8 | v[3];
      answered(kSetBaudRate);
      return;
    case kSetDataSize: port_.dataSize = v[0]; answered(kSetDataSize); return;
    case kSetParity: port_.parity = v[0]; answered(kSetParity); return;
    case kSetStopSize: port_.stopSize = v[0]; answered(kSetStopSize); return;
    case kSetControl:
      // Only the outbound flow setting is waited for; break, DTR, RTS and inbound flow
      // answers carry nothing we keep.
      if (v[0] <= 3 || (v[0] >= 17 && v[0] <= 19)) {
        port_.flow = v[0];
        answered(kSetControl);
      }
      return;
    case kNotifyLineState:
      if (v[0] & 0x10) ++port_.brk;
      if (v[0] & 0x08) ++port_.frame;
      if (v[0] & 0x04) ++port_.parityErrors;
      if (v[0] & 0x02) ++port_.overrun;
      return;
    case kNotifyModemState: {
      const BYTE now = v[0], changed = BYTE(now ^ port_.modemState);
      if ((now & 0x01) || (changed & 0x10)) ++port_.cts;
      if ((now & 0x02) || (changed & 0x20)) ++port_.dsr;
      if ((now & 0x04) || (changed & now & 0x40)) ++port_.rng;
      if ((now & 0x08) || (changed & 0x80)) ++port_.dcd;
      port_.modemState = BYTE(now & 0xF0);
      return;
    }
    case kFlowSuspend: port_.suspended = true; return;
    case kFlowResume: port_.suspended = false; return;
    default: return;  // signature, mask and purge answers
  }
  ++port_.protocolErrors;
}

std::size_t Session::Receive(const BYTE* in, std::size_t size, BYTE* data,
                             std::vector<BYTE>& out) {
  std::size_t n = 0;
  auto emit = [&](BYTE b) {
    data[n++] = b;
    if (collectBanner_ && banner_.size() < kMaxBanner) banner_ += char(b);
  };
  auto keep = [&](BYTE b) {
    if (sbLen_ < kMaxSubneg) {
      sb_[sbLen_++] = b;
    } else if (++sbSkipped_ + sbLen_ > kMaxSubnegSkip) {
      ++port_.protocolErrors;
      state_ = kData;  // its IAC SE is lost; what follows is data again
    }
  };
  for (std::size_t i = 0; i < size; ++i) {
    const BYTE b = in[i];
    switch (state_) {
      case kData:
        if (b == kIac) state_ = kIacSeen;
        else emit(b);
        break;
      case kIacSeen:
        state_ = kData;
        if (b == kIac) {
          emit(b);
        } else if (b >= kWill && b <= kDont) {
          verb_ = b;
          state_ = kOption;
        } else if (b == kSb) {
          sbLen_ = 0;
          sbSkipped_ = 0;
          state_ = kSubneg;
        } else if (b < kSe) {
          ++port_.protocolErrors;  // not a Telnet command: dropped with its IAC
        }  // NOP, DM, BRK, IP, AO, AYT, EC, EL, GA and a stray SE mean nothing here
        break;
      case kOption:
        state_ = kData;
        OnOption(verb_, b, out);
        break;
      case kSubneg:
        if (b == kIac) state_ = kSubnegIac;
        else keep(b);
        break;
      case kSubnegIac:
        if (b == kSe) {
          state_ = kData;
          OnSubneg();
        } else if (b == kIac) {
          state_ = kSubneg;
          keep(b);
        } else {
          // IAC and anything else inside a subnegotiation: the server lost its framing.
          ++port_.protocolErrors;
          state_ = kData;
        }
        break;
    }
  }
  return n;
}

void Session::Command(BYTE code, const BYTE* value, std::size_t size, std::vector<BYTE>& out) {
  out.insert(out.end(), {kIac, kSb, kOptComPort, code});
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(value[i]);
    if (value[i] == kIac) out.push_back(kIac);
  }
  out.insert(out.end(), {kIac, kSe});
}

std::size_t Session::Escape(const BYTE* data, std::size_t size, BYTE* out, std::size_t outRoom,
                            std::size_t& written) {
  std::size_t i = 0;
  written = 0;
  for (; i < size; ++i) {
    const std::size_t need = data[i] == kIac ? 2 : 1;
    if (written + need > outRoom) break;
    out[written++] = data[i];
    if (need == 2) out[written++] = kIac;
  }
  return i;
}

}  // namespace qv::platform::telnet
