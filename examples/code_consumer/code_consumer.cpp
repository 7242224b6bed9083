// Reads the codes of many `qvcomm read --publish` stations and prints each one once:
//
//   code_consumer HOST PORT GROUP TOPIC SEEN-FOLDER [CLIENT-ID]
//
// It subscribes with an MQTT 5 shared subscription, $share/GROUP/TOPIC (TOPIC may hold
// wildcards: site/+/codes), so several consumers of one group split the messages between them
// and any one of them may stop. A station sends a code again when it cannot know the broker
// had it (QoS 1), always with the same "station" and "seq": the pair is the key a code is told
// by. The broker may hand the second copy to another consumer of the group, so the consumers
// share what they have seen: here a file SEEN-FOLDER/STATION/SEQ made exclusively (the first
// to make it has the code); in a real system, a unique key on (station, seq) where the codes
// are stored. With a CLIENT-ID the session outlives the consumer (clean start off, kept a day),
// so what arrives while it is away waits at the broker.
//
// Output: one line per new code, "STATION SEQ BARCODE", at once.
#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

// True for the one consumer that claims the key first.
bool Claim(const std::filesystem::path& seen, const std::string& station, std::uint64_t seq) {
  // A station's identity is hex digits: nothing else becomes a file name.
  if (station.empty() || station.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
  std::error_code ec;
  std::filesystem::create_directories(seen / station, ec);
  std::FILE* f = std::fopen((seen / station / std::to_string(seq)).c_str(), "wx");  // exclusive
  if (!f) return false;
  std::fclose(f);
  return true;
}

// The value of "name" in a station's flat JSON message: a string's text or a number's digits.
std::string Field(std::string_view json, std::string_view name) {
  const std::string key = "\"" + std::string(name) + "\":";
  const std::size_t at = json.find(key);
  if (at == std::string_view::npos) return "";
  std::size_t from = at + key.size();
  if (from < json.size() && json[from] == '"') {
    std::string out;
    for (++from; from < json.size() && json[from] != '"'; ++from) {
      if (json[from] == '\\' && from + 1 < json.size()) ++from;  // an escaped character, as it is
      out += json[from];
    }
    return out;
  }
  return std::string(json.substr(from, json.find_first_not_of("0123456789", from) - from));
}

struct Consumer {
  std::string filter;  // $share/GROUP/TOPIC
  std::filesystem::path seen;
};

void OnConnect(mosquitto* mosq, void* self, int rc, int, const mosquitto_property*) {
  auto* c = static_cast<Consumer*>(self);
  if (rc != 0) {
    std::fprintf(stderr, "code_consumer: the broker refused the connection: %s\n", mosquitto_reason_string(rc));
    mosquitto_disconnect(mosq);
    return;
  }
  mosquitto_subscribe_v5(mosq, nullptr, c->filter.c_str(), 1, 0, nullptr);
}

void OnSubscribe(mosquitto*, void*, int, int count, const int* granted, const mosquitto_property*) {
  for (int i = 0; i < count; ++i)
    if (granted[i] >= 0x80) std::fprintf(stderr, "code_consumer: the subscription was refused: %s\n", mosquitto_reason_string(granted[i]));
  std::fprintf(stderr, "code_consumer: subscribed\n");
}

void OnMessage(mosquitto*, void* self, const mosquitto_message* m, const mosquitto_property*) {
  auto* c = static_cast<Consumer*>(self);
  const std::string_view json(static_cast<const char*>(m->payload), std::size_t(m->payloadlen));
  const std::string station = Field(json, "station"), seq = Field(json, "seq");
  if (station.empty() || seq.empty()) return;  // not a station's code
  if (!Claim(c->seen, station, std::strtoull(seq.c_str(), nullptr, 10))) return;
  std::printf("%s %s %s\n", station.c_str(), seq.c_str(), Field(json, "barcode").c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: code_consumer HOST PORT GROUP TOPIC SEEN-FOLDER [CLIENT-ID]\n");
    return 2;
  }
  Consumer consumer;
  consumer.filter = std::string("$share/") + argv[3] + "/" + argv[4];
  consumer.seen = argv[5];
  mosquitto_lib_init();
  const char* id = argc > 6 ? argv[6] : nullptr;
  mosquitto* mosq = mosquitto_new(id, id == nullptr, &consumer);
  if (!mosq) return 1;
  mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_connect_v5_callback_set(mosq, OnConnect);
  mosquitto_subscribe_v5_callback_set(mosq, OnSubscribe);
  mosquitto_message_v5_callback_set(mosq, OnMessage);
  mosquitto_property* props = nullptr;
  if (id) mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 86400);
  if (mosquitto_connect_bind_v5(mosq, argv[1], std::atoi(argv[2]), 60, nullptr, props) != MOSQ_ERR_SUCCESS) {
    std::fprintf(stderr, "code_consumer: cannot connect to %s:%s\n", argv[1], argv[2]);
    return 1;
  }
  mosquitto_property_free_all(&props);
  const int rc = mosquitto_loop_forever(mosq, -1, 1);  // reconnects by itself
  mosquitto_destroy(mosq);
  mosquitto_lib_cleanup();
  return rc == MOSQ_ERR_SUCCESS ? 0 : 1;
}
