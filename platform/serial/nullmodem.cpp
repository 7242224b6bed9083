#include "platform/serial/nullmodem.h"

#include "platform/serial/internal/serial_device.h"
#include "platform/system/internal/device_kinds.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <map>
#include <mutex>
#include <string_view>

namespace qv::platform {

namespace {
constexpr std::string_view kPrefix = "virtual:";

// A pair name: not empty, no '/', no control character.
bool IsVirtualPairName(std::string_view pair) {
  if (pair.empty()) return false;
  for (unsigned char c : pair)
    if (c == '/' || c < 0x20 || c == 0x7F) return false;
  return true;
}

// Splits "<prefix><pair>/a" or "/b" into the pair's name and the end (0 for a, 1 for b).
bool SplitVirtualPortName(std::string_view name, std::string_view& pair, int& end) {
  if (name.substr(0, kPrefix.size()) != kPrefix) return false;
  name.remove_prefix(kPrefix.size());
  if (name.size() < 3 || name[name.size() - 2] != '/') return false;
  char e = name.back();
  if (e != 'a' && e != 'b') return false;
  pair = name.substr(0, name.size() - 2);
  end = e == 'a' ? 0 : 1;
  return IsVirtualPairName(pair);
}

bool IsVirtualPortName(std::string_view name) {
  std::string_view pair;
  int end = 0;
  return SplitVirtualPortName(name, pair, end);
}

void Signal(int fd) {
  std::uint64_t one = 1;
  while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}
void Drain(int fd) {
  std::uint64_t value;
  while (read(fd, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

}  // namespace

// Holds the devices' internal counters, which the shared library does not export.
struct [[gnu::visibility("hidden")]] NullModemState {
  struct EndState {
    std::deque<BYTE> input;
    bool dtr = false, rts = false, ring = false, open = false;
    LineCounters counters;
    DCB dcb{};
    // dataFd is readable exactly while input is not empty; statusFd whenever lines, counters
    // or presence changed since the port last looked.
    int dataFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int statusFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  };

  explicit NullModemState(std::string n) : name(std::move(n)) {}
  ~NullModemState() {
    for (EndState& e : ends) {
      close(e.dataFd);
      close(e.statusFd);
    }
  }

  // All below under mutex.
  void Deliver(int to, const BYTE* data, std::size_t size) {
    EndState& e = ends[to];
    const bool wasEmpty = e.input.empty();
    const std::size_t room = e.input.size() < limit ? limit - e.input.size() : 0;
    const std::size_t take = std::min(room, size);
    e.input.insert(e.input.end(), data, data + take);
    if (take < size) {
      e.counters.bufOverrun++;
      Signal(e.statusFd);
    }
    if (wasEmpty && take) Signal(e.dataFd);
  }
  std::size_t Take(int at, void* buffer, std::size_t size) {
    EndState& e = ends[at];
    const std::size_t n = std::min(size, e.input.size());
    std::copy_n(e.input.begin(), n, static_cast<BYTE*>(buffer));
    e.input.erase(e.input.begin(), e.input.begin() + std::ptrdiff_t(n));
    if (n && e.input.empty()) Drain(e.dataFd);
    return n;
  }
  void SetOutputs(int end, bool dtr, bool rts) {
    EndState& e = ends[end];
    EndState& far = ends[1 - end];
    bool changed = false;
    if (e.dtr != dtr) {
      e.dtr = dtr;
      far.counters.dsr++;
      far.counters.dcd++;
      changed = true;
    }
    if (e.rts != rts) {
      e.rts = rts;
      far.counters.cts++;
      changed = true;
    }
    if (changed) Signal(far.statusFd);
  }
  DWORD Status(int at) const {
    const EndState& far = ends[1 - at];
    DWORD ms = 0;
    if (far.rts) ms |= MS_CTS_ON;
    if (far.dtr) ms |= MS_DSR_ON | MS_RLSD_ON;
    if (ends[at].ring) ms |= MS_RING_ON;
    return ms;
  }

  const std::string name;
  mutable std::mutex mutex;
  EndState ends[2];
  std::size_t limit = std::size_t(1) << 20;
  bool vanished = false;
};

namespace {

std::mutex gPairsMutex;
std::map<std::string, std::weak_ptr<NullModemState>>& Pairs() {
  static auto* pairs = new std::map<std::string, std::weak_ptr<NullModemState>>;
  return *pairs;
}

class VirtualDevice final : public SerialDevice {
 public:
  VirtualDevice(std::shared_ptr<NullModemState> state, int end)
      : state_(std::move(state)), end_(end), self_(state_->ends[end]) {}
  ~VirtualDevice() override { Close(); }

  int InputFd() const override { return self_.dataFd; }
  int OutputFd() const override { return -1; }
  int StatusFd() const override { return self_.statusFd; }
  void DrainStatus() override { Drain(self_.statusFd); }
  bool PollsLines() const override { return false; }

  long Read(void* buffer, std::size_t size, DWORD& error) override {
    std::lock_guard lock(state_->mutex);
    if (Gone(error)) return -1;
    return long(state_->Take(end_, buffer, size));
  }
  long Write(const void* data, std::size_t size, DWORD& error) override {
    std::lock_guard lock(state_->mutex);
    if (Gone(error)) return -1;
    state_->Deliver(1 - end_, static_cast<const BYTE*>(data), size);
    return long(size);
  }
  DWORD OutputQueued() override { return 0; }
  bool Vanished() override {
    std::lock_guard lock(state_->mutex);
    return state_->vanished;
  }

  bool Apply(const DCB& dcb, DWORD& error) override {
    std::lock_guard lock(state_->mutex);
    if (Gone(error)) return false;
    self_.dcb = dcb;
    const DWORD dtr = (dcb.Flags & DCB_fDtrControlMask) >> DCB_fDtrControlShift;
    const DWORD rts = (dcb.Flags & DCB_fRtsControlMask) >> DCB_fRtsControlShift;
    state_->SetOutputs(end_, dtr == DTR_CONTROL_ENABLE,
                       rts == RTS_CONTROL_ENABLE || rts == RTS_CONTROL_HANDSHAKE);
    return true;
  }
  bool ReadBack(DCB&, DWORD& error) override {
    std::lock_guard lock(state_->mutex);
    return !Gone(error);  // the port's record is the whole truth for a virtual end
  }

  bool HasModemLines() const override { return true; }
  DWORD ModemStatus() override {
    std::lock_guard lock(state_->mutex);
    return state_->vanished ? 0 : state_->Status(end_);
  }
  bool Escape(DWORD function, DWORD& error) override {
    std::lock_guard lock(state_->mutex);
    if (Gone(error)) return false;
    switch (function) {
      case SETDTR: state_->SetOutputs(end_, true, self_.rts); return true;
      case CLRDTR: state_->SetOutputs(end_, false, self_.rts); return true;
      case SETRTS: state_->SetOutputs(end_, self_.dtr, true); return true;
      case CLRRTS: state_->SetOutputs(end_, self_.dtr, false); return true;
      case SETBREAK: {
        auto& far = state_->ends[1 - end_];
        far.counters.brk++;
        Signal(far.statusFd);
        return true;
      }
      case CLRBREAK:
      case SETXON:
      case SETXOFF:
      case RESETDEV: return true;
      default: error = ERROR_INVALID_PARAMETER; return false;
    }
  }
  bool Counters(LineCounters& counters) override {
    std::lock_guard lock(state_->mutex);
    counters = self_.counters;
    return true;
  }
  void Flush(bool input, bool) override {
    if (!input) return;
    std::lock_guard lock(state_->mutex);
    if (!self_.input.empty()) {
      self_.input.clear();
      Drain(self_.dataFd);
    }
  }
  void Close() override {
    if (closed_) return;
    closed_ = true;
    std::lock_guard lock(state_->mutex);
    // Closing drops DTR and RTS, as a real port does on its last close.
    state_->SetOutputs(end_, false, false);
    self_.open = false;
  }

 private:
  bool Gone(DWORD& error) const {
    if (!state_->vanished) return false;
    error = ERROR_DEVICE_REMOVED;
    return true;
  }

  std::shared_ptr<NullModemState> state_;
  const int end_;
  NullModemState::EndState& self_;
  bool closed_ = false;
};

}  // namespace

std::unique_ptr<SerialDevice> OpenVirtualDevice(const std::string& name, DWORD& error) {
  error = ERROR_FILE_NOT_FOUND;
  std::string_view pairName;
  int end = 0;
  if (!SplitVirtualPortName(name, pairName, end)) return nullptr;
  std::shared_ptr<NullModemState> state;
  {
    std::lock_guard lock(gPairsMutex);
    auto it = Pairs().find(std::string(pairName));
    if (it != Pairs().end()) state = it->second.lock();
  }
  if (!state) return nullptr;
  std::lock_guard lock(state->mutex);
  if (state->vanished) return nullptr;
  auto& e = state->ends[end];
  if (e.open) {
    error = ERROR_SHARING_VIOLATION;
    return nullptr;
  }
  e.open = true;
  e.input.clear();
  Drain(e.dataFd);
  Drain(e.statusFd);
  // Opening raises DTR and RTS, as the Linux serial core does.
  state->SetOutputs(end, true, true);
  error = ERROR_SUCCESS;
  return std::make_unique<VirtualDevice>(state, end);
}

// ---- NullModemPair -------------------------------------------------------------------------

std::shared_ptr<NullModemPair> CreateNullModemPair(const std::string& name, DWORD* error) {
  DWORD e = ERROR_SUCCESS;
  std::shared_ptr<NullModemPair> pair;
  if (!IsVirtualPairName(name)) {
    e = ERROR_INVALID_NAME;
  } else {
    std::lock_guard lock(gPairsMutex);
    auto& slot = Pairs()[name];
    if (slot.lock()) {
      e = ERROR_ALREADY_EXISTS;
    } else {
      auto state = std::make_shared<NullModemState>(name);
      slot = state;
      pair.reset(new NullModemPair(state));
    }
  }
  if (error) *error = e;
  return pair;
}

bool VirtualPortExists(std::string_view name) {
  std::string_view pairName;
  int end = 0;
  if (!SplitVirtualPortName(name, pairName, end)) return false;
  std::shared_ptr<NullModemState> state;
  {
    std::lock_guard lock(gPairsMutex);
    auto it = Pairs().find(std::string(pairName));
    if (it != Pairs().end()) state = it->second.lock();
  }
  if (!state) return false;
  std::lock_guard lock(state->mutex);
  return !state->vanished;
}

// A virtual port is present while its pair exists; only a program's own pairs are seen.
namespace {
constexpr std::string_view kVirtualSchemes[] = {kPrefix};
}  // namespace

extern const DeviceKind kVirtualPorts{
    .schemes = kVirtualSchemes,
    .WellFormed = IsVirtualPortName,
    .Present = [](const std::string& name) { return VirtualPortExists(name); },
    .Canonical = [](const std::string& name) { return name; },
    .Check = [](const std::string& name, const std::string& shown, std::string& reason) -> DWORD {
      if (IsVirtualPortName(name)) return ERROR_SUCCESS;
      reason = shown + " is not a virtual port name (" + std::string(kPrefix) + "<pair>/a or " +
               std::string(kPrefix) + "<pair>/b)";
      return ERROR_INVALID_NAME;
    },
    .Open = [](const std::string& name, DWORD& error, std::string&) { return OpenVirtualDevice(name, error); },
};

NullModemPair::NullModemPair(std::shared_ptr<NullModemState> state) : state_(std::move(state)) {}

NullModemPair::~NullModemPair() {
  Vanish();
  std::lock_guard lock(gPairsMutex);
  auto it = Pairs().find(state_->name);
  if (it != Pairs().end() && it->second.lock() == state_) Pairs().erase(it);
}

const std::string& NullModemPair::Name() const { return state_->name; }

std::string NullModemPair::PortName(End end) const {
  return std::string(kPrefix) + state_->name + (end == kA ? "/a" : "/b");
}

std::size_t NullModemPair::Write(End from, const void* data, std::size_t size) {
  std::lock_guard lock(state_->mutex);
  if (state_->vanished) return 0;
  state_->Deliver(Other(from), static_cast<const BYTE*>(data), size);
  return size;
}

std::size_t NullModemPair::Read(End at, void* buffer, std::size_t size) {
  std::lock_guard lock(state_->mutex);
  return state_->Take(at, buffer, size);
}

std::size_t NullModemPair::Pending(End at) const {
  std::lock_guard lock(state_->mutex);
  return state_->ends[at].input.size();
}

void NullModemPair::SetLines(End end, bool dtr, bool rts) {
  std::lock_guard lock(state_->mutex);
  state_->SetOutputs(end, dtr, rts);
}

bool NullModemPair::Dtr(End end) const {
  std::lock_guard lock(state_->mutex);
  return state_->ends[end].dtr;
}

bool NullModemPair::Rts(End end) const {
  std::lock_guard lock(state_->mutex);
  return state_->ends[end].rts;
}

void NullModemPair::SetRing(End at, bool on) {
  std::lock_guard lock(state_->mutex);
  auto& e = state_->ends[at];
  if (e.ring == on) return;
  e.ring = on;
  e.counters.rng++;
  Signal(e.statusFd);
}

DWORD NullModemPair::ModemStatus(End end) const {
  std::lock_guard lock(state_->mutex);
  return state_->Status(end);
}

void NullModemPair::InjectBreak(End at) { InjectError(at, CE_BREAK); }

void NullModemPair::InjectError(End at, DWORD errors) {
  std::lock_guard lock(state_->mutex);
  auto& c = state_->ends[at].counters;
  if (errors & CE_BREAK) c.brk++;
  if (errors & CE_FRAME) c.frame++;
  if (errors & CE_RXPARITY) c.parity++;
  if (errors & CE_OVERRUN) c.overrun++;
  if (errors & CE_RXOVER) c.bufOverrun++;
  Signal(state_->ends[at].statusFd);
}

void NullModemPair::Vanish() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->vanished) return;
    state_->vanished = true;
    for (auto& e : state_->ends) Signal(e.statusFd);
  }
  std::lock_guard lock(gPairsMutex);
  auto it = Pairs().find(state_->name);
  if (it != Pairs().end() && it->second.lock() == state_) Pairs().erase(it);
}

bool NullModemPair::Vanished() const {
  std::lock_guard lock(state_->mutex);
  return state_->vanished;
}

bool NullModemPair::IsOpen(End end) const {
  std::lock_guard lock(state_->mutex);
  return state_->ends[end].open;
}

void NullModemPair::SetInputLimit(std::size_t limit) {
  std::lock_guard lock(state_->mutex);
  state_->limit = limit;
}

}  // namespace qv::platform
