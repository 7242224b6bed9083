// Barcodes from a pseudo-terminal to an MQTT subscriber with QoS 1, two ways in the same run:
//   spool     qvcomm read COMn --publish mqtt://127.0.0.1:P/bench/spool
//   pipeline  qvcomm read COMn --json | mosquitto_pub -l -q 1 -t bench/pipe   (what a user
//             would write without --publish)
// For each: codes per second (N codes written as fast as the line takes them, until the
// subscriber has all), the time from the last byte of a code to the subscriber (codes 10 ms
// apart; median and p99), and what is lost (codes at 1000/s for 3 s) when the broker is
// killed with kill -9 after 1 s and started again 1.5 s later, and when, while it is down, the
// reader side is killed with kill -9 too and started again.
//
//   mqtt_station [N] [latency samples]      (default 20000 300)
//
// The broker is mosquitto with persistence (saved each second) and the subscriber an
// in-process libmosquitto client with a persistent session, as a site runs them. Needs
// mosquitto and mosquitto-clients (scripts/setup.sh).
#include "tests/support/broker.h"
#include "tests/support/pty.h"

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string Code(long i) { return std::to_string(4006381000000LL + i); }

// Notes when each code first reaches the subscriber.
class Subscriber {
 public:
  Subscriber(int port) {
    mosquitto_lib_init();
    m_ = mosquitto_new("qv-bench-sub", false, this);
    mosquitto_message_callback_set(m_, [](mosquitto*, void* self, const mosquitto_message* msg) {
      static_cast<Subscriber*>(self)->Got(std::string(static_cast<const char*>(msg->payload), std::size_t(msg->payloadlen)));
    });
    mosquitto_connect_callback_set(m_, [](mosquitto* m, void*, int rc) {
      if (rc == 0) mosquitto_subscribe(m, nullptr, "bench/#", 1);
    });
    mosquitto_reconnect_delay_set(m_, 1, 1, false);
    mosquitto_connect(m_, "127.0.0.1", port, 30);
    mosquitto_loop_start(m_);
  }
  ~Subscriber() {
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, true);
    mosquitto_destroy(m_);
  }
  // How many of the codes first..first+n-1 arrived (stragglers of an earlier phase, sent
  // again after a broker restart, do not count).
  std::size_t Count(long first, long n) {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (long i = first; i < first + n; ++i) count += seen_.count(Code(i));
    return count;
  }
  bool Seen(const std::string& code, Clock::time_point& at) {
    std::lock_guard lock(mutex_);
    auto it = seen_.find(code);
    if (it == seen_.end()) return false;
    at = it->second;
    return true;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    seen_.clear();
  }

 private:
  void Got(const std::string& payload) {
    const auto now = Clock::now();
    const auto at = payload.find("\"barcode\":\"");
    if (at == std::string::npos) return;
    const std::string code = payload.substr(at + 11, payload.find('"', at + 11) - at - 11);
    std::lock_guard lock(mutex_);
    seen_.emplace(code, now);
  }
  mosquitto* m_;
  std::mutex mutex_;
  std::unordered_map<std::string, Clock::time_point> seen_;
};

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!pred()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

struct Figures {
  double perSecond = 0;
  double medianMs = 0, p99Ms = 0;
  long killSent = 0, killLost = 0, stationLost = 0;
};

class Run {
 public:
  Run(const std::string& mode, qv::test::Broker& broker, Subscriber& sub, const fs::path& dir)
      : mode_(mode), broker_(broker), sub_(sub), dir_(dir / mode) {
    fs::create_directories(dir_);
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);  // a spool of its own
    qv::test::Process({QVCOMM_PATH, "map", "COM200", pty_.slave(), "--force"}, dir_ / "map.out", dir_ / "map.err").Wait();
    Start();
  }
  ~Run() { reader_.Signal(SIGTERM, 5000); }

  // The reader (or the pipeline), once it reads.
  void Start() {
    const std::string port = std::to_string(broker_.port());
    const std::size_t before = qv::test::ReadFile(dir_ / "reader.err").size();
    if (mode_ == "spool")
      reader_ = qv::test::Process({QVCOMM_PATH, "read", "COM200", "--publish", "mqtt://127.0.0.1:" + port + "/bench/spool"},
                                  dir_ / "reader.out", dir_ / "reader.err");
    else
      reader_ = qv::test::Process({"/bin/sh", "-c", std::string(QVCOMM_PATH) + " read COM200 --json | mosquitto_pub -h 127.0.0.1 -p " +
                                                        port + " -l -q 1 -t bench/pipe"},
                                  dir_ / "reader.out", dir_ / "reader.err");
    WaitFor([&] { return qv::test::ReadFile(dir_ / "reader.err").find("reading COM200", before) != std::string::npos; }, 10s);
    std::this_thread::sleep_for(300ms);
  }

  // codes first..first+n-1 as fast as the line takes them; codes per second to the subscriber.
  double Throughput(long first, long n) {
    sub_.Clear();
    const auto start = Clock::now();
    std::string block;
    for (long i = first; i < first + n; ++i) block += Code(i) + "\r";
    pty_.Write(block.data(), block.size(), 60000);
    if (!WaitFor([&] { return sub_.Count(first, n) >= std::size_t(n); }, 60s))
      std::fprintf(stderr, "%s: only %zu of %ld arrived\n", mode_.c_str(), sub_.Count(first, n), n);
    return double(sub_.Count(first, n)) / std::chrono::duration<double>(Clock::now() - start).count();
  }

  // Last byte to subscriber, codes 10 ms apart: median and p99 in ms.
  std::pair<double, double> Latency(long first, long n) {
    sub_.Clear();
    std::vector<double> ms;
    for (long i = first; i < first + n; ++i) {
      const std::string c = Code(i) + "\r";
      pty_.Write(c);
      const auto sent = Clock::now();
      Clock::time_point at;
      if (WaitFor([&] { return sub_.Seen(Code(i), at); }, 5s))
        ms.push_back(std::chrono::duration<double, std::milli>(at - sent).count());
      std::this_thread::sleep_for(10ms);
    }
    std::sort(ms.begin(), ms.end());
    if (ms.empty()) return {0, 0};
    return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]};
  }

  // Codes at 1000/s for 3 s, the broker killed after 1 s and started again 1.5 s later; with
  // station, the reader side is killed (kill -9) and started again after 1.5 s too, while the
  // broker is down. How many never arrive (waiting up to 15 s).
  long Lost(long first, long n, bool station) {
    sub_.Clear();
    std::thread writer([&] {
      const auto start = Clock::now();
      for (long i = first; i < first + n; ++i) {
        pty_.Write(Code(i) + "\r");
        std::this_thread::sleep_until(start + std::chrono::milliseconds(i - first));
      }
    });
    std::this_thread::sleep_for(1s);
    broker_.Kill9();
    std::this_thread::sleep_for(500ms);
    if (station) {
      reader_.Kill();
      Start();
    }
    std::this_thread::sleep_for(1000ms);
    broker_.Start();
    writer.join();
    WaitFor([&] { return sub_.Count(first, n) >= std::size_t(n); }, 15s);
    return n - long(sub_.Count(first, n));
  }

 private:
  std::string mode_;
  qv::test::Broker& broker_;
  Subscriber& sub_;
  fs::path dir_;
  qv::test::PtyPair pty_;
  qv::test::Process reader_;
};

}  // namespace

int main(int argc, char** argv) {
  const long n = argc > 1 ? std::atol(argv[1]) : 20000;
  const long samples = argc > 2 ? std::atol(argv[2]) : 300;
  if (!qv::test::HaveProgram("mosquitto") || !qv::test::HaveProgram("mosquitto_pub")) {
    std::fprintf(stderr, "mqtt_station needs mosquitto and mosquitto-clients (scripts/setup.sh)\n");
    return 1;
  }
  char tmpl[] = "/tmp/qv-mqtt-bench-XXXXXX";
  const fs::path dir = mkdtemp(tmpl);
  qv::test::Broker broker(dir / "broker");
  if (!broker.Start()) return 1;
  Subscriber sub(broker.port());
  std::this_thread::sleep_for(500ms);
  std::printf("%-9s %9s %10s %8s %16s %28s\n", "path", "codes/s", "median ms", "p99 ms", "broker killed",
              "broker killed, reader too");
  long base = 0;
  for (const char* mode : {"spool", "pipeline"}) {
    Figures f;
    {
      Run run(mode, broker, sub, dir);
      f.perSecond = run.Throughput(base, n);
      base += n;
      std::tie(f.medianMs, f.p99Ms) = run.Latency(base, samples);
      base += samples;
      f.killSent = 3000;
      f.killLost = run.Lost(base, f.killSent, false);
      base += f.killSent;
      f.stationLost = run.Lost(base, f.killSent, true);
      base += f.killSent;
    }
    std::printf("%-9s %9.0f %10.2f %8.2f %8ld lost of %ld %20ld lost of %ld\n", mode, f.perSecond, f.medianMs,
                f.p99Ms, f.killLost, f.killSent, f.stationLost, f.killSent);
    std::fflush(stdout);
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
