#include "tools/qvcomm/outlets.h"

#include "platform/mqtt/identity.h"
#include "platform/mqtt/publisher.h"
#include "platform/rtl/application.h"
#include "platform/system/procinfo.h"
#include "platform/system/regstore.h"
#include "platform/system/signals.h"
#include "platform/system/spawn.h"
#include "tools/qvcomm/cli.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>

namespace qvcomm {

namespace pf = qv::platform;

namespace {

// Time given to the broker at the end to take what is pending (the rest waits in the spool).
constexpr int kDrainMs = 2000;

// The spool's name for a port: COM3, or a device path or address with anything but letters,
// digits, '.', '-' and '_' as '_' (/dev/ttyUSB0 is _dev_ttyUSB0).
std::string SpoolName(const std::string& port) {
  std::string name = port;
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') c = '_';
  return name;
}

bool ReadPassword(const std::string& file, std::string& out) {
  std::ifstream in(file);
  if (!in || !std::getline(in, out)) return false;
  if (!out.empty() && out.back() == '\r') out.pop_back();
  return true;
}

}  // namespace

struct Outlets::State {
  std::string port, host;
  pf::StationIdentity identity;
  std::optional<pf::Spool> spool;
  std::unique_ptr<pf::MqttPublisher> publisher;
  std::unique_ptr<pf::CommandRunner> runner;
  std::mutex deviceMutex;
  std::string device;  // deviceMutex
  std::atomic<bool> refused{false};
  std::atomic<bool> holding{false};  // codes are held in memory: said once
  bool stalled = false;              // the port is not read while the hold is full: said once
};

Outlets::Outlets() : state_(std::make_unique<State>()) {}
Outlets::~Outlets() { Close(); }

int Outlets::Open(const std::string& port, const OutletSettings& s) {
  State& st = *state_;
  st.port = port;
  st.host = pf::HostName();
  if (!s.exec.empty())
    st.runner = std::make_unique<pf::CommandRunner>(
        pf::SplitWords(s.exec), [port](const std::string& text) { Error(port + ": --exec: " + Printable(text)); },
        std::vector<std::string>{"QVCOMM_MQTT_PASSWORD"}, int(s.execTimeout * 1000));
  if (s.publish.empty()) return kExitOk;
  pf::MqttPublisher::Options options;
  std::string error;
  pf::ParseMqttUrl(s.publish, options.target, error);  // checked with the options
  if (!s.passwordFile.empty()) {
    if (!ReadPassword(s.passwordFile, options.password)) {
      Error("cannot read the password file " + Printable(s.passwordFile));
      return kExitFailure;
    }
    options.hasPassword = true;
  } else if (const char* env = std::getenv("QVCOMM_MQTT_PASSWORD")) {
    options.password = env;
    options.hasPassword = true;
  } else if (const char* creds = std::getenv("CREDENTIALS_DIRECTORY")) {
    // systemd's LoadCredential=mqtt-password:FILE
    const std::string file = std::string(creds) + "/mqtt-password";
    std::error_code ec;
    if (std::filesystem::exists(file, ec)) {
      if (!ReadPassword(file, options.password)) {
        Error("cannot read the password file " + Printable(file));
        return kExitFailure;
      }
      options.hasPassword = true;
    }
  }
  if (options.hasPassword && options.target.user.empty()) {
    Error("a password needs a user name: --publish mqtt://USER@host/topic");
    return kExitUsage;
  }
  options.caFile = s.caFile;
  const std::string folder = pf::RegStoreFolder() + "/spool";
  if (!pf::LoadStationIdentity(folder, SpoolName(port), st.identity, error)) {
    Error(port + ": " + Printable(error));
    return kExitFailure;
  }
  if (!st.identity.renewed.empty()) Error(port + ": " + Printable(st.identity.renewed));
  // Unique per station: a broker drops the older of two connections with one client id.
  options.clientId = "qvcomm-" + st.identity.id;
  options.statusTopic = options.target.topic + "/status/" + st.identity.id;
  options.statusJson = [&st](const pf::Status& status) {
    std::lock_guard lock(st.deviceMutex);
    return "{\"state\":\"" + std::string(status.online ? "online" : "offline") + "\",\"station\":\"" +
           st.identity.id + "\",\"host\":" + JsonString(st.host) + ",\"port\":" + JsonString(st.port) +
           ",\"device\":" + JsonString(st.device) + ",\"version\":\"" QV_VERSION_TEXT "\",\"protocol\":\"" +
           (status.v5 ? "MQTT 5" : "MQTT 3.1.1") + "\",\"spool\":" + std::to_string(status.spool) +
           ",\"error\":" + JsonString(status.error) + "}";
  };
  st.spool.emplace();
  if (!st.spool->Open(folder, SpoolName(port), std::uint64_t(s.spoolMiB) << 20, error,
                      s.hold)) {
    Error(port + ": " + Printable(error));
    return kExitFailure;
  }
  if (!st.spool->Damage().empty()) Error(port + ": " + Printable(st.spool->Damage()));
  st.publisher = std::make_unique<pf::MqttPublisher>(
      *st.spool, std::move(options), [&st](pf::MqttPublisher::Event event, const std::string& text) {
        if (event == pf::MqttPublisher::Event::HeldWritten) st.holding = false;
        Error(st.port + ": " + Printable(text));
        if (event == pf::MqttPublisher::Event::Refused) {
          st.refused = true;
          if (Application) Application->Terminate();
        }
      });
  Error("publishing " + port + " to " + Printable(s.publish) + "; spool " + Printable(st.spool->Path()) +
        " (" + std::to_string(st.spool->Pending()) + " waiting)");
  if (!st.publisher->Start(error)) {
    Error(port + ": " + Printable(error));
    return kExitFailure;
  }
  return kExitOk;
}

void Outlets::Deliver(const std::string& code, const std::string& time) {
  State& st = *state_;
  if (st.runner) st.runner->Add(code);
  if (st.spool) {
    // What --json prints, with the machine, the station and its sequence number: (station,
    // seq) tells a duplicate.
    std::string payload = BarcodeJson(st.port, code, time);
    payload.pop_back();
    payload += ",\"host\":" + JsonString(st.host) + ",\"station\":\"" + st.identity.id +
               "\",\"seq\":" + std::to_string(st.spool->NextSeq()) + "}";
    // Beyond the hold, the port is not read: the kernel's buffer and then the scanner keep
    // the codes (flow control) until the spool takes some.
    if (st.spool->HeldFull()) {
      if (!st.stalled)
        Error(st.port + ": " + std::to_string(st.spool->Held()) + " codes are held in memory (--hold): " + st.port +
              " is not read until the spool takes them");
      st.stalled = true;
      st.spool->WaitForRoom(pf::TerminationSignalFd());
      if (!st.spool->HeldFull()) Error(st.port + ": the spool takes codes again: reading " + st.port);
    }
    st.stalled = false;
    std::string error;
    switch (st.spool->Append(payload, error)) {
      case pf::Spool::AppendResult::Ok:
        st.publisher->Wake();
        break;
      case pf::Spool::AppendResult::Held:
        if (!st.holding.exchange(true))
          Error(st.port + ": " + Printable(error) + ": codes are held in memory (up to " +
                std::to_string(st.spool->HoldLimit()) + ") and written in order once there is room; tried each second");
        st.publisher->Wake();
        break;
      case pf::Spool::AppendResult::Failed:
        Error(st.port + ": barcode not kept: " + Printable(error) + ": " + Printable(code));
        break;
    }
  }
}

void Outlets::SetDevice(const std::string& device) {
  State& st = *state_;
  {
    std::lock_guard lock(st.deviceMutex);
    if (st.device == device) return;
    st.device = device;
  }
  if (st.publisher) st.publisher->StatusChanged();
}

bool Outlets::Failed() const { return state_->refused.load(); }

int Outlets::Close(bool drain) {
  State& st = *state_;
  if (st.runner) st.runner->Finish(drain ? kDrainMs : 0);
  st.runner.reset();
  if (st.publisher) {
    std::string error;
    if (!st.spool->WriteHeld(error))
      for (const pf::Spool::Record& r : st.spool->HeldRecords())
        Error(st.port + ": not kept (" + Printable(error) + "): " + Printable(r.payload));
    if (!st.refused && st.spool->Pending() && !(drain && st.publisher->Drain(kDrainMs)))
      Error(st.port + ": " + std::to_string(st.spool->Pending()) + " barcodes wait in the spool " +
            Printable(st.spool->Path()) + " for the next run");
    st.publisher.reset();
  }
  return st.refused ? kExitBroker : kExitOk;
}

}  // namespace qvcomm
