#include "platform/mqtt/publisher.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace qv::platform {

std::string MqttTarget::Address() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

namespace {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool ValidUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
    if (!n || i + n > s.size()) return false;
    std::uint32_t cp = n == 1 ? c : c & (0x7f >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3f);
    }
    static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += n;
  }
  return true;
}

}  // namespace

std::string TopicProblem(std::string_view topic) {
  if (topic.empty()) return "names no topic";
  if (topic.size() > 65535) return "names a topic of " + std::to_string(topic.size()) + " bytes: at most 65,535";
  if (topic.find('\0') != std::string_view::npos) return "names a topic with a NUL character";
  if (!ValidUtf8(topic)) return "names a topic that is not valid UTF-8";
  if (topic.find_first_of("+#") != std::string_view::npos)
    return "names a topic with a wildcard (+ or #): a message goes to one topic";
  if (topic.front() == '$')
    return "names a topic beginning with '$': the broker keeps those for itself and drops what a client sends there";
  return "";
}

bool ParseMqttUrl(std::string_view url, MqttTarget& out, std::string& error) {
  MqttTarget t;
  std::string_view rest;
  if (url.starts_with("mqtt://")) {
    rest = url.substr(7);
  } else if (url.starts_with("mqtts://")) {
    rest = url.substr(8);
    t.tls = true;
  } else {
    error = "takes mqtt://[user@]host[:port]/topic or mqtts://...";
    return false;
  }
  for (char c : url)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      error = "holds a control character";
      return false;
    }
  const std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos || slash + 1 == rest.size()) {
    error = "needs a topic after the host: mqtt://host/topic";
    return false;
  }
  std::string_view authority = rest.substr(0, slash);
  t.topic = std::string(rest.substr(slash + 1));
  if (std::string why = TopicProblem(t.topic); !why.empty()) {
    error = why;
    return false;
  }
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    t.user = std::string(authority.substr(0, at));
    authority = authority.substr(at + 1);
    if (t.user.find(':') != std::string::npos) {
      error = "holds a password: give it in QVCOMM_MQTT_PASSWORD or --password-file FILE, "
              "never on the command line";
      return false;
    }
    if (t.user.empty()) {
      error = "has an empty user name before '@'";
      return false;
    }
  }
  std::string_view port;
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) {
      error = "has an IPv6 address without its ']'";
      return false;
    }
    t.host = std::string(authority.substr(1, close - 1));
    std::string_view after = authority.substr(close + 1);
    if (!after.empty() && !after.starts_with(':')) {
      error = "has something after the IPv6 address that is not :port";
      return false;
    }
    if (!after.empty()) port = after.substr(1);
    if (after == ":") port = "-";
  } else {
    const std::size_t colon = authority.find(':');
    t.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) port = authority.substr(colon + 1), port = port.empty() ? "-" : port;
  }
  if (t.host.empty()) {
    error = "needs a host: mqtt://host/topic";
    return false;
  }
  t.port = t.tls ? 8883 : 1883;
  if (!port.empty()) {
    int p = 0;
    auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), p);
    if (ec != std::errc() || end != port.data() + port.size() || p < 1 || p > 65535) {
      error = "has a port that is not a number from 1 to 65535";
      return false;
    }
    t.port = p;
  }
  out = std::move(t);
  return true;
}

namespace {

std::once_flag g_libInit;

constexpr int kFirstRetryMs = 500;
constexpr int kLastRetryMs = 30000;
// How often the spool is asked to write what it holds in memory.
constexpr int kHeldRetryMs = 1000;

std::string ErrorText(int rc) {
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
  if (rc == MOSQ_ERR_TLS)
    return "the TLS handshake failed (is the broker's certificate for this host name, and signed by "
           "a CA in the system's store or in --ca FILE?)";
  return mosquitto_strerror(rc);
}

}  // namespace

struct MqttPublisher::State {
  State(Spool& s, Options o, Report r) : spool(s), options(std::move(o)), report(std::move(r)) {}

  Spool& spool;
  const Options options;
  const Report report;
  int wakeFd = -1;
  std::thread thread;
  std::atomic<bool> stop{false}, refused{false}, ended{false};
  std::mutex drainMutex;
  std::condition_variable drained;

  // The publisher's thread only.
  mosquitto* mosq = nullptr;
  bool connected = false;
  std::map<int, std::uint64_t> inflight;  // message id -> sequence number
  std::string lastFailure;                // said once until something changes
  bool syncFailed = false;
  bool v311 = false;                      // the broker does not speak MQTT 5
  // After a refused message: nothing is sent until then, and then everything not
  // acknowledged goes again.
  std::optional<std::chrono::steady_clock::time_point> refusedUntil;
  int refusalDelayMs = kFirstRetryMs;
  bool refusalSaid = false;               // until a message is delivered again
  // Status: the last trouble, what was last sent, and when it may go again.
  std::string lastError;
  std::string sentStatus;
  std::chrono::steady_clock::time_point nextStatus{};
  std::atomic<bool> statusChanged{false};
  int statusMid = -1;
  // Set by libmosquitto's callbacks, done by the loop after them: publishing from inside a
  // callback takes libmosquitto's locks in another order than its loop does.
  bool statusDue = false;
  bool statusRefusalSaid = false;
  void SendStatus(bool force);
  std::string StatusText(bool online) const {
    Status st;
    st.online = online;
    st.v5 = !v311;
    st.spool = spool.Pending();
    st.error = lastError;
    return options.statusJson(st);
  }
  // Says it, and keeps it for the status message.
  void Trouble(Event event, const std::string& text) {
    lastError = text;
    report(event, text);
    statusDue = true;
  }

  void Run();
  bool Connect();
  void Drop();
  void Failure(const std::string& text);
  void WaitRetry(int& delayMs);
  void Publish();
  // Writes what the spool holds when it is time; the poll time-out until the next try.
  int RetryHeld(int timeoutMs);
  std::chrono::steady_clock::time_point nextHeldTry{};
  bool holding = false;
  void ClearWake() {
    std::uint64_t n;
    if (read(wakeFd, &n, sizeof n) < 0) {
    }
  }
  // The broker not reached: why, and where the codes are meanwhile.
  std::string Unreachable(const std::string& why) const {
    return "cannot connect to the broker at " + options.target.Address() + ": " + why + "; the codes wait in the spool";
  }
  void Notify() {
    std::lock_guard lock(drainMutex);
    drained.notify_all();
  }

  static void OnConnect(mosquitto*, void* self, int rc, int, const mosquitto_property*) {
    static_cast<State*>(self)->Connected(rc);
  }
  static void OnPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
    static_cast<State*>(self)->Acked(mid, reason);
  }
  void Connected(int rc);
  void Acked(int mid, int reason);
  // The poll time-out until a refusal's back-off ends (timeoutMs when none runs).
  int RefusalWait(int timeoutMs);
};

void MqttPublisher::State::Failure(const std::string& text) {
  if (text == lastFailure) return;
  lastFailure = text;
  lastError = text;
  report(Event::Lost, text);
}

void MqttPublisher::State::SendStatus(bool force) {
  if (options.statusTopic.empty() || !connected) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && !statusDue && !statusChanged && now < nextStatus) return;
  const std::string text = StatusText(true);
  statusChanged = false;
  statusDue = false;
  if (text == sentStatus) return;
  if (mosquitto_publish_v5(mosq, &statusMid, options.statusTopic.c_str(), int(text.size()), text.data(), 1, true,
                           nullptr) == MOSQ_ERR_SUCCESS) {
    sentStatus = text;
    nextStatus = now + std::chrono::milliseconds(kStatusEveryMs);
  }
}

bool MqttPublisher::State::Connect() {
  const MqttTarget& t = options.target;
  mosq = mosquitto_new(options.clientId.empty() ? nullptr : options.clientId.c_str(), true, this);
  if (!mosq) {
    Failure(std::string("cannot make an MQTT client: ") + std::strerror(errno));
    return false;
  }
  // MQTT 5 tells a refused message by its acknowledgement's reason code; 3.1.1 cannot.
  mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, v311 ? MQTT_PROTOCOL_V311 : MQTT_PROTOCOL_V5);
  mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_max_inflight_messages_set(mosq, kWindow);
  mosquitto_connect_v5_callback_set(mosq, &State::OnConnect);
  mosquitto_publish_v5_callback_set(mosq, &State::OnPublish);
  if (!t.user.empty())
    mosquitto_username_pw_set(mosq, t.user.c_str(), options.hasPassword ? options.password.c_str() : nullptr);
  if (t.tls) {
    int rc = MOSQ_ERR_SUCCESS;
    if (options.caFile.empty())
      rc = mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    else
      rc = mosquitto_tls_set(mosq, options.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      Failure("cannot set up TLS for " + t.Address() + ": " + ErrorText(rc));
      return false;
    }
  }
  if (!options.statusTopic.empty()) {
    // Sent by the broker when the connection ends without a word: the station is offline.
    const std::string will = StatusText(false);
    mosquitto_will_set_v5(mosq, options.statusTopic.c_str(), int(will.size()), will.data(), 1, true, nullptr);
  }
  const int rc = mosquitto_connect_async(mosq, t.host.c_str(), t.port, options.keepAliveSeconds);
  if (rc != MOSQ_ERR_SUCCESS) {
    Failure(Unreachable(ErrorText(rc)));
    return false;
  }
  return true;
}

void MqttPublisher::State::Drop() {
  if (mosq) mosquitto_destroy(mosq);
  mosq = nullptr;
  connected = false;
  inflight.clear();  // a refusal's back-off goes on over a new connection
}

void MqttPublisher::State::Connected(int rc) {
  const MqttTarget& t = options.target;
  if (rc == 0) {
    connected = true;
    lastFailure.clear();
    report(Event::Connected, "connected to the broker at " + t.Address() + (v311 ? " (MQTT 3.1.1)" : " (MQTT 5)"));
    if (lastError.starts_with("lost the connection") || lastError.starts_with("cannot connect")) lastError.clear();
    sentStatus.clear();
    statusDue = true;
    spool.Rewind();  // what the last connection did not get acknowledged goes again, in order
    return;
  }
  // A broker of MQTT 3.1.1 answers a version 5 connection with "unacceptable protocol version".
  if (!v311 && (rc == 1 || rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION)) {
    v311 = true;
    Trouble(Event::Lost, "the broker at " + t.Address() + " does not speak MQTT 5: going on with MQTT 3.1.1, "
                        "under which a message the broker refuses looks delivered");
    mosquitto_disconnect(mosq);
    return;
  }
  const std::string why = v311 ? mosquitto_connack_string(rc) : mosquitto_reason_string(rc);
  if (rc == 4 || rc == 5 || rc == MQTT_RC_BAD_USERNAME_OR_PASSWORD || rc == MQTT_RC_NOT_AUTHORIZED) {
    refused = true;
    report(Event::Refused, "the broker at " + t.Address() + " refused the user name or password (" + why +
                               "): the codes stay in the spool " + spool.Path());
    return;
  }
  Failure("the broker at " + t.Address() + " refused the connection: " + why);
  mosquitto_disconnect(mosq);
}

void MqttPublisher::State::Acked(int mid, int reason) {
  if (mid == statusMid && reason >= 0x80 && !statusRefusalSaid) {
    statusRefusalSaid = true;
    report(Event::Rejected, "the broker at " + options.target.Address() + " refused the status message on the topic " +
                                options.statusTopic + ": " + mosquitto_reason_string(reason) +
                                " (let the station write there too)");
  }
  auto it = inflight.find(mid);
  if (it == inflight.end()) return;
  const std::uint64_t seq = it->second;
  inflight.erase(it);
  if (reason >= 0x80) {
    // Not delivered: it stays in the spool and goes again after a back-off.
    if (!refusalSaid)
      Trouble(Event::Rejected, "the broker at " + options.target.Address() + " refused the message " +
                                  std::to_string(seq) + " on the topic " + options.target.topic + ": " +
                                  mosquitto_reason_string(reason) + " (reason code " + std::to_string(reason) +
                                  "); the codes stay in the spool, sent again in " +
                                  (refusalDelayMs < 1000 ? "0.5" : std::to_string(refusalDelayMs / 1000)) + " s");
    refusalSaid = true;
    refusedUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(refusalDelayMs);
    return;
  }
  spool.Ack(seq);
  if (!refusedUntil && refusalSaid) {
    refusalDelayMs = kFirstRetryMs;
    refusalSaid = false;
    lastError.clear();
    statusDue = true;
  }
  Notify();
}

int MqttPublisher::State::RefusalWait(int timeoutMs) {
  if (!refusedUntil) return timeoutMs;
  const auto now = std::chrono::steady_clock::now();
  if (now < *refusedUntil)
    return int(std::min<long>(timeoutMs, std::chrono::duration_cast<std::chrono::milliseconds>(*refusedUntil - now).count() + 1));
  if (!inflight.empty()) return timeoutMs;  // their acknowledgements first
  refusedUntil.reset();
  refusalDelayMs = std::min(refusalDelayMs * 2, kLastRetryMs);
  spool.Rewind();
  return 0;
}

void MqttPublisher::State::Publish() {
  const std::string& topic = options.target.topic;
  while (connected && !refusedUntil && inflight.size() < kWindow) {
    std::vector<Spool::Record> batch = spool.Take(kWindow - inflight.size());
    if (batch.empty()) return;
    // One sync for everything appended so far: on disk before the broker can have seen it.
    std::string error;
    if (!spool.Sync(error) && !syncFailed) {
      syncFailed = true;
      Trouble(Event::SpoolFailed, error);
    }
    for (const Spool::Record& r : batch) {
      int mid = 0;
      const int rc = mosquitto_publish_v5(mosq, &mid, topic.c_str(), int(r.payload.size()),
                                          r.payload.data(), 1, false, nullptr);
      if (rc != MOSQ_ERR_SUCCESS) return;  // the connection is going: the loop finds out
      inflight[mid] = r.seq;
    }
  }
}

int MqttPublisher::State::RetryHeld(int timeoutMs) {
  if (!spool.Held()) {
    if (holding) report(Event::HeldWritten, "the spool " + spool.Path() + " has room again: the codes held in memory are written");
    holding = false;
    return timeoutMs;
  }
  holding = true;
  const auto now = std::chrono::steady_clock::now();
  if (now >= nextHeldTry) {
    std::string error;
    nextHeldTry = now + std::chrono::milliseconds(kHeldRetryMs);
    if (spool.WriteHeld(error)) return RetryHeld(timeoutMs);
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextHeldTry - now).count();
  return int(std::min<long>(std::max<long>(left, 1), timeoutMs));
}

void MqttPublisher::State::WaitRetry(int& delayMs) {
  pollfd p{wakeFd, POLLIN, 0};
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
  // New codes wake this too: they wait in the spool.
  while (!stop) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (poll(&p, 1, RetryHeld(int(left.count()))) > 0) ClearWake();
  }
  delayMs = std::min(delayMs * 2, kLastRetryMs);
}

void MqttPublisher::State::Run() {
  int delayMs = kFirstRetryMs;
  while (!stop && !refused) {
    if (!mosq && !Connect()) {
      Drop();
      WaitRetry(delayMs);
      continue;
    }
    const int sock = mosquitto_socket(mosq);
    pollfd p[2] = {{wakeFd, POLLIN, 0}, {sock, short(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0)), 0}};
    // Idle, the keep-alive is the only thing due.
    int timeoutMs = RefusalWait(RetryHeld(options.keepAliveSeconds * 1000 / 2));
    // A depth not yet told is told when its time comes; nothing is timed while all is told.
    if (connected && !options.statusTopic.empty() && (statusChanged || StatusText(true) != sentStatus))
      timeoutMs = std::min<int>(timeoutMs, std::max<long>(1, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                 nextStatus - std::chrono::steady_clock::now()).count()));
    if (poll(p, sock >= 0 ? 2 : 1, timeoutMs) < 0 && errno != EINTR) break;
    if (p[0].revents) ClearWake();
    if (stop) break;
    int rc = MOSQ_ERR_SUCCESS;
    if (sock >= 0 && (p[1].revents & (POLLIN | POLLERR | POLLHUP))) rc = mosquitto_loop_read(mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(mosq)) rc = mosquitto_loop_write(mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(mosq);
    if (refused) break;
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(mosq) < 0) {
      if (connected)
        Failure("lost the connection to the broker at " + options.target.Address() + ": " +
                ErrorText(rc) + "; the codes wait in the spool");
      else
        Failure(Unreachable(ErrorText(rc)));
      const bool wasConnected = connected;
      Drop();
      if (wasConnected) delayMs = kFirstRetryMs;
      WaitRetry(delayMs);
      continue;
    }
    RetryHeld(0);
    if (connected) {
      delayMs = kFirstRetryMs;
      Publish();
      SendStatus(false);
    }
  }
  if (connected && !options.statusTopic.empty()) {
    // A clean end sends no will: the station says itself that it is offline.
    const std::string offline = StatusText(false);
    mosquitto_publish_v5(mosq, nullptr, options.statusTopic.c_str(), int(offline.size()), offline.data(), 1, true,
                         nullptr);
    mosquitto_disconnect(mosq);
    for (int i = 0; i < 10 && mosquitto_want_write(mosq) && mosquitto_loop_write(mosq, 1) == MOSQ_ERR_SUCCESS; ++i) {
    }
  }
  Drop();
  ended = true;
  Notify();
}

MqttPublisher::MqttPublisher(Spool& spool, Options options, Report report)
    : state_(std::make_unique<State>(spool, std::move(options), std::move(report))) {}

MqttPublisher::~MqttPublisher() { Stop(); }

bool MqttPublisher::Start(std::string& error) {
  std::call_once(g_libInit, [] { mosquitto_lib_init(); });
  const Options& o = state_->options;
  if (o.target.tls && !o.caFile.empty() && access(o.caFile.c_str(), R_OK) < 0) {
    error = "cannot read the CA file " + o.caFile + ": " + std::strerror(errno);
    return false;
  }
  state_->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (state_->wakeFd < 0) {
    error = std::string("cannot make an eventfd: ") + std::strerror(errno);
    return false;
  }
  state_->thread = std::thread([s = state_.get()] { s->Run(); });
  return true;
}

void MqttPublisher::Wake() {
  const std::uint64_t one = 1;
  if (state_->wakeFd >= 0 && write(state_->wakeFd, &one, sizeof one) < 0) {
  }
}

bool MqttPublisher::Drain(int timeoutMs) {
  std::unique_lock lock(state_->drainMutex);
  state_->drained.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return state_->spool.Pending() == 0 || state_->ended.load(); });
  return state_->spool.Pending() == 0;
}

void MqttPublisher::Stop() {
  if (!state_->thread.joinable()) return;
  state_->stop = true;
  Wake();
  state_->thread.join();
  close(state_->wakeFd);
  state_->wakeFd = -1;
}

bool MqttPublisher::Refused() const { return state_->refused; }

void MqttPublisher::StatusChanged() {
  state_->statusChanged = true;
  Wake();
}

}  // namespace qv::platform
