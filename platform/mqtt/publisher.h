// Publishes what a spool holds to an MQTT broker with QoS 1 (libmosquitto), in order, and
// acknowledges each message in the spool when the broker has it.
//
// The publisher's own thread runs libmosquitto's loop on the connection's socket and an
// eventfd (Wake, Stop): it sleeps in poll() until the broker answers, new messages are there,
// or the keep-alive ping is due (once a minute on an idle connection). A connection that
// fails or is lost is tried again after 0.5 s, doubling up to 30 s; after each new connection
// every message not yet acknowledged is sent again, oldest first, so a message the broker had
// received before the loss can arrive twice (a consumer tells by the sequence number). At
// most kWindow messages are in flight. MQTT 5 is spoken (3.1.1 with a broker that refuses it):
// an acknowledgement with a reason code of 0x80 or more is a refusal, not a delivery; the
// message stays in the spool, nothing is sent for a back-off (0.5 s doubling to 30 s), then
// everything not acknowledged goes again. While the spool holds messages in memory (its disk
// full) it is asked to write them once a second, and sooner when acknowledgements free space. A broker that refuses the user name or password ends
// the publisher (Refused): trying again would not help, and the spool keeps everything.
//
// Start, Wake, Stop and Drain from any one thread; the report callback runs on the
// publisher's thread.
#pragma once

#include "platform/mqtt/spool.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace qv::platform {

// mqtt://[user@]host[:port]/topic or mqtts://...: host a name, an IPv4 address or an IPv6
// address in brackets; port 1883 (mqtt) or 8883 (mqtts) by default; the topic is the rest
// after the first '/', without wildcards (+, #).
struct MqttTarget {
  bool tls = false;
  std::string user, host, topic;
  int port = 0;
  std::string Address() const;  // "host:port" for messages
};
// False with the reason for anything else.
bool ParseMqttUrl(std::string_view url, MqttTarget& out, std::string& error);
// What is wrong with a topic to publish to (empty when nothing): it must be valid UTF-8 of
// 1 to 65,535 bytes, without NUL or wildcards (+, #), and not begin with '$'.
std::string TopicProblem(std::string_view topic);

// What a status message tells beside the station's own fixed fields.
struct Status {
  bool online = false;
  bool v5 = true;          // the protocol spoken
  std::size_t spool = 0;   // codes not acknowledged (held ones included)
  std::string error;       // the last trouble, empty once things go well again
};

class MqttPublisher {
 public:
  static constexpr unsigned kWindow = 100;
  static constexpr int kStatusEveryMs = 5000;

  struct Options {
    MqttTarget target;
    std::string password;  // with target.user
    bool hasPassword = false;
    std::string caFile;    // mqtts: the certificate authorities; empty: the system's store
    std::string clientId;
    int keepAliveSeconds = 60;
    // The retained status message on statusTopic (none when empty): made by statusJson, on
    // each connection, when the error changes and, at most every kStatusEveryMs, when the
    // spool's depth has changed. The broker's copy of the offline one is the last will, and
    // it is sent as the connection ends.
    std::string statusTopic;
    std::function<std::string(const struct Status&)> statusJson;
  };
  // HeldWritten: the messages the spool held in memory are in its file now.
  // Rejected: the broker refused a message (MQTT 5 reason code 0x80 and above).
  enum class Event { Connected, Lost, Refused, Rejected, SpoolFailed, HeldWritten };
  using Report = std::function<void(Event, const std::string& text)>;

  MqttPublisher(Spool& spool, Options options, Report report);
  ~MqttPublisher();  // stops
  MqttPublisher(const MqttPublisher&) = delete;
  MqttPublisher& operator=(const MqttPublisher&) = delete;

  // Starts the thread; false with the reason (a CA file that cannot be used, no thread).
  bool Start(std::string& error);
  // New messages are in the spool.
  void Wake();
  // Waits up to timeoutMs until the spool is empty (or the publisher ended); true when empty.
  bool Drain(int timeoutMs);
  // Ends the thread at once; what is not acknowledged stays in the spool.
  void Stop();
  // True once the broker refused the credentials (the thread has ended).
  bool Refused() const;
  // The status message changed (a field statusJson adds): it is sent again.
  void StatusChanged();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qv::platform
