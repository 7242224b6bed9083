// qvcomm read as an unattended station runs it: --publish against a real mosquitto broker on
// loopback (order and sequence numbers, a broker and a reader killed outright while codes
// stream, refused credentials), --exec with hostile codes.
#include "support/broker.h"
#include "support/pty.h"
#include "support/temp_config.h"
#include "support/tmpfs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <sstream>
#include <set>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using qv::test::Broker;
using qv::test::Process;
using qv::test::ReadFile;

const char* const kPort = "COM9";

struct Message {
  std::uint64_t seq;
  std::string barcode, port, host, station;
};

// The value of "name": in one message line (a string, or the digits of a number).
std::string Field(const std::string& line, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  const auto at = line.find(key);
  if (at == std::string::npos) return "";
  auto from = at + key.size();
  if (line[from] == '"') return line.substr(from + 1, line.find('"', from + 1) - from - 1);
  return line.substr(from, line.find_first_not_of("0123456789", from) - from);
}

// The messages in a subscriber's output, in arrival order.
std::vector<Message> Messages(const std::string& text) {
  std::vector<Message> out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const std::string seq = Field(line, "seq");
    if (line.starts_with("{\"port\":") && !seq.empty() && !Field(line, "time").empty())
      out.push_back({std::stoull(seq), Field(line, "barcode"), Field(line, "port"), Field(line, "host"),
                     Field(line, "station")});
  }
  return out;
}

std::string Code(int i) { return std::to_string(4006381000000LL + i); }

// A scanner's end of a pseudo-terminal mapped as COM9, in a configuration of its own.
class StationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config_.Ok());
    ASSERT_TRUE(pty_.ok());
    ASSERT_EQ(Process({QVCOMM_PATH, "map", kPort, pty_.slave()}, dir_ / "map.out", dir_ / "map.err").Wait(), 0);
  }
  // Writes codes first..last-1 to the scanner's end, `perSecond` a second.
  void Stream(int first, int last, int perSecond) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = first; i < last; ++i) {
      pty_.Write(Code(i) + "\r");
      if (i % 10 == 0) std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * (i - first) / perSecond));
    }
  }

  qv::test::TempConfig config_{"station"};
  const fs::path dir_ = config_.Dir();
  qv::test::PtyPair pty_;
};

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Waits until pred holds (a generous bound for a loaded machine).
template <class Pred>
bool Eventually(Pred pred, int timeoutMs = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

TEST_F(StationTest, ExecFromAnOptionsFilePassesCodesUntouchedAndOutlivesAFailingCommand) {
  const fs::path script = dir_ / "each";
  std::ofstream(script) << "#!/bin/sh\nprintf '%s|%s|%s\\n' \"$#\" \"$1\" \"$2\" >> " << dir_ / "args"
                        << "\ncat >> " << dir_ / "input" << "\n[ \"$2\" != \"$(printf 'fail\\035')\" ] || exit 3\n";
  fs::permissions(script, fs::perms::owner_all);
  // The options as a service gives them: one per line, the value the rest of the line.
  std::ofstream(dir_ / "COM9.conf") << "# station 9\n--any-chars\n\n  --end CR\n--exec " << script.string()
                                    << "  fixed\n";
  Process reader({QVCOMM_PATH, "read", kPort, "--config", (dir_ / "COM9.conf").string()}, dir_ / "reader.out",
                 dir_ / "reader.err");
  const std::vector<std::string> codes = {"two words", "\"double\" 'single'", "$(touch " + (dir_ / "p1").string() + ")",
                                          "x; touch " + (dir_ / "p2").string(), "`id`|&>*?", "fail\x1D", "after"};
  std::this_thread::sleep_for(300ms);
  for (const std::string& c : codes) pty_.Write(c + "\r");
  std::string expected, input;
  for (const std::string& c : codes) expected += "2|fixed|" + c + "\n", input += c + "\n";
  // The script writes its arguments before it reads its input: wait for both.
  Eventually([&] { return ReadFile(dir_ / "args") == expected && ReadFile(dir_ / "input") == input; });
  EXPECT_EQ(ReadFile(dir_ / "args"), expected);
  EXPECT_EQ(ReadFile(dir_ / "input"), input);
  EXPECT_FALSE(fs::exists(dir_ / "p1") || fs::exists(dir_ / "p2"));
  EXPECT_NE(ReadFile(dir_ / "reader.err").find("failed (exit status 3) for the code \"fail\\x1D\""), std::string::npos)
      << ReadFile(dir_ / "reader.err");
  EXPECT_EQ(reader.Signal(SIGTERM), 128 + SIGTERM);
}

TEST_F(StationTest, ReconnectWaitsForThePortToComeBackAndCtrlCEndsTheWait) {
  Process reader({QVCOMM_PATH, "read", kPort, "--reconnect"}, dir_ / "reader.out", dir_ / "reader.err");
  const auto err = [&] { return ReadFile(dir_ / "reader.err"); };
  ASSERT_TRUE(Eventually([&] { return Count(err(), "reading COM9") == 1; })) << err();
  std::vector<std::unique_ptr<qv::test::PtyPair>> later;
  qv::test::PtyPair* line = &pty_;
  constexpr int kRounds = 3;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < 5; ++i) line->Write(Code(round * 5 + i) + "\r");
    ASSERT_TRUE(Eventually([&] { return Count(ReadFile(dir_ / "reader.out"), "\n") == std::size_t(5 * round + 5); }))
        << err();
    // The next device first, so it gets another name than the one that goes.
    later.push_back(std::make_unique<qv::test::PtyPair>());
    line->CloseMaster();  // the device goes
    ASSERT_TRUE(Eventually([&] { return Count(err(), "went away; waiting for it to come back") == std::size_t(round + 1); }))
        << err();
    if (round + 1 == kRounds) break;
    line = later.back().get();
    ASSERT_EQ(Process({QVCOMM_PATH, "map", kPort, line->slave(), "--force"}, dir_ / "map.out", dir_ / "map.err").Wait(), 0);
    ASSERT_TRUE(Eventually([&] { return Count(err(), "is back (" + line->slave() + "): reading again") == 1; }))
        << err();
  }
  std::string expected;
  for (int i = 0; i < 5 * kRounds; ++i) expected += Code(i) + "\n";
  EXPECT_EQ(ReadFile(dir_ / "reader.out"), expected);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(reader.Signal(SIGINT), 130);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

class PublishTest : public StationTest {
 protected:
  void SetUp() override {
    if (!qv::test::HaveProgram("mosquitto") || !qv::test::HaveProgram("mosquitto_sub"))
      GTEST_SKIP() << "mosquitto is not installed (scripts/setup.sh)";
    StationTest::SetUp();
  }

  std::string Url(const Broker& b, const std::string& user = "") const {
    return "mqtt://" + (user.empty() ? "" : user + "@") + "127.0.0.1:" + std::to_string(b.port()) + "/codes";
  }
  Process Reader(const std::string& url, std::vector<std::string> env = {}, std::vector<std::string> more = {}) {
    std::vector<std::string> args{QVCOMM_PATH, "read", kPort, "--publish", url};
    args.insert(args.end(), more.begin(), more.end());
    return Process(args, dir_ / "reader.out", dir_ / "reader.err", std::move(env));
  }
  // A subscriber with a persistent session (QoS 1), as a site runs it; back once it gets
  // what is published.
  Process Subscriber(const Broker& b, std::vector<std::string> auth = {}) {
    std::vector<std::string> args{"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(b.port()),
                                  "-t", "codes", "-t", "probe", "-q", "1", "-c", "-i", "qv-test-sub"};
    args.insert(args.end(), auth.begin(), auth.end());
    Process sub(args, dir_ / "sub.out", dir_ / "sub.err");
    for (int i = 0; i < 100 && ReadFile(dir_ / "sub.out").find("probe") == std::string::npos; ++i) {
      std::vector<std::string> pub{"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(b.port()),
                                   "-t", "probe", "-m", "probe", "-q", "1"};
      pub.insert(pub.end(), auth.begin(), auth.end());
      Process(pub, dir_ / "pub.out", dir_ / "pub.err").Wait();
      std::this_thread::sleep_for(100ms);
    }
    EXPECT_NE(ReadFile(dir_ / "sub.out").find("probe"), std::string::npos) << ReadFile(dir_ / "sub.err");
    return sub;
  }
  // Waits until the subscriber has seen `count` different sequence numbers.
  std::vector<Message> Received(std::size_t count, int timeoutMs = 60000) {
    std::vector<Message> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
      got = Messages(ReadFile(dir_ / "sub.out"));
      std::set<std::uint64_t> seqs;
      for (const Message& m : got) seqs.insert(m.seq);
      if (seqs.size() >= count) break;
      std::this_thread::sleep_for(50ms);
    } while (std::chrono::steady_clock::now() < end);
    return got;
  }
  // The last sequence number the readers gave, from the spool's files.
  std::uint64_t LastSeq() {
    const fs::path base = config_.Store() / "spool" / kPort;
    std::uint64_t last = 0;
    std::sscanf(ReadFile(base.string() + ".acked").c_str(), "%lu", &last);
    std::string text = ReadFile(base.string() + ".spool");
    text.erase(0, text.find_first_not_of('\0'));  // the space of acknowledged lines given back
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
      if (!line.empty() && line[0] != '#') last = std::max<std::uint64_t>(last, std::stoull(line));
    return last;
  }
  std::string Err(const std::string& file = "reader.err") const { return ReadFile(dir_ / file); }
  bool Connected(std::size_t n = 1) {
    return Eventually([&] { return Count(Err(), "connected to the broker") >= n; });
  }
  std::size_t SpoolLines() {
    const std::string text = ReadFile(config_.Store() / "spool" / (std::string(kPort) + ".spool"));
    return std::size_t(std::count(text.begin(), text.end(), '\n'));
  }
};

// Every sequence number 1..n at least once, each always with the same barcode; returns the
// number of duplicates.
std::size_t ExpectComplete(const std::vector<Message>& got, std::uint64_t n) {
  std::map<std::uint64_t, std::string> bySeq;
  std::size_t duplicates = 0;
  for (const Message& m : got) {
    auto [it, fresh] = bySeq.emplace(m.seq, m.barcode);
    if (!fresh) {
      ++duplicates;
      EXPECT_EQ(it->second, m.barcode) << "sequence number " << m.seq << " with two barcodes";
    }
  }
  std::size_t missing = 0;
  for (std::uint64_t s = 1; s <= n; ++s) missing += !bySeq.count(s);
  EXPECT_EQ(missing, 0u) << "of " << n << " sequence numbers";
  EXPECT_EQ(bySeq.size(), n);
  return duplicates;
}

TEST_F(PublishTest, RefusedCredentialsKeepTheSpoolAndTheRightOnesDeliverInOrder) {
  const fs::path passwords = dir_ / "broker" / "passwords";
  fs::create_directories(passwords.parent_path());
  ASSERT_EQ(Process({"mosquitto_passwd", "-b", "-c", passwords.string(), "station", "s3cret"}, dir_ / "pw.out",
                    dir_ / "pw.err").Wait(), 0);
  Broker broker(dir_ / "broker", "allow_anonymous false\npassword_file " + passwords.string() + "\n");
  // The broker is not up yet: the codes wait in the spool.
  Process reader = Reader(Url(broker, "station"), {"QVCOMM_MQTT_PASSWORD=wrong"});
  std::this_thread::sleep_for(300ms);
  Stream(0, 3, 1000);
  for (int i = 0; i < 200 && SpoolLines() < 3; ++i) std::this_thread::sleep_for(20ms);
  ASSERT_EQ(SpoolLines(), 3u) << ReadFile(dir_ / "reader.err");
  ASSERT_TRUE(broker.Start());
  EXPECT_EQ(reader.Wait(), 8);
  EXPECT_NE(ReadFile(dir_ / "reader.err").find("refused the user name or password"), std::string::npos)
      << ReadFile(dir_ / "reader.err");
  EXPECT_EQ(SpoolLines(), 3u);

  std::ofstream(dir_ / "password") << "s3cret\n";
  Process sub = Subscriber(broker, {"-u", "station", "-P", "s3cret"});
  reader = Process({QVCOMM_PATH, "read", kPort, "--publish", Url(broker, "station"), "--password-file",
                    (dir_ / "password").string()},
                   dir_ / "reader.out", dir_ / "reader.err");
  std::this_thread::sleep_for(300ms);
  Stream(3, 100, 1000);
  const std::vector<Message> got = Received(100, 20000);
  ASSERT_EQ(got.size(), 100u) << ReadFile(dir_ / "reader.err");
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].seq, i + 1);
    EXPECT_EQ(got[i].barcode, Code(int(i)));
    EXPECT_EQ(got[i].port, kPort);
    EXPECT_FALSE(got[i].host.empty());
  }
  EXPECT_EQ(reader.Signal(SIGTERM), 128 + SIGTERM);
}

TEST_F(PublishTest, MqttsTrustsTheGivenCaNotAnother) {
  const fs::path cert = dir_ / "cert.pem", key = dir_ / "key.pem";
  ASSERT_EQ(Process({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                     "-keyout", key.string(), "-out", cert.string(), "-days", "2", "-subj", "/CN=127.0.0.1",
                     "-addext", "subjectAltName=IP:127.0.0.1"},
                    dir_ / "openssl.out", dir_ / "openssl.err").Wait(), 0);
  Broker broker(dir_ / "broker", "allow_anonymous true\ncertfile " + cert.string() + "\nkeyfile " + key.string() + "\n");
  ASSERT_TRUE(broker.Start());
  Process sub = Subscriber(broker, {"--cafile", cert.string()});
  const std::string url = "mqtts://127.0.0.1:" + std::to_string(broker.port()) + "/codes";
  // The system's store does not know this certificate: the codes wait.
  Process reader({QVCOMM_PATH, "read", kPort, "--publish", url}, dir_ / "reader.out", dir_ / "reader.err");
  std::this_thread::sleep_for(300ms);
  Stream(0, 2, 1000);
  ASSERT_TRUE(Eventually([&] { return SpoolLines() == 2 && Count(ReadFile(dir_ / "reader.err"), "TLS") > 0; }))
      << ReadFile(dir_ / "reader.err");
  EXPECT_EQ(reader.Signal(SIGTERM), 128 + SIGTERM);
  reader = Process({QVCOMM_PATH, "read", kPort, "--publish", url, "--ca", cert.string()}, dir_ / "reader.out",
                   dir_ / "reader.err");
  std::this_thread::sleep_for(300ms);
  Stream(2, 3, 1000);
  const std::vector<Message> got = Received(3, 20000);
  ASSERT_EQ(got.size(), 3u) << ReadFile(dir_ / "reader.err");
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].barcode, Code(int(i)));
  EXPECT_EQ(reader.Signal(SIGTERM), 128 + SIGTERM);
}

TEST_F(PublishTest, BrokerKilledTenTimesLosesNothing) {
  Broker broker(dir_ / "broker");
  ASSERT_TRUE(broker.Start());
  Process sub = Subscriber(broker);
  Process reader = Reader(Url(broker));
  std::this_thread::sleep_for(300ms);
  constexpr int kCodes = 10000;
  std::thread writer([&] { Stream(0, kCodes, 600); });
  for (int k = 0; k < 10; ++k) {
    std::this_thread::sleep_for(1500ms);
    broker.Kill9();
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(broker.Start());
  }
  writer.join();
  const std::vector<Message> got = Received(kCodes);
  const std::size_t duplicates = ExpectComplete(got, kCodes);
  for (const Message& m : got) EXPECT_EQ(m.barcode, Code(int(m.seq - 1)));
  std::printf("%zu messages for %d codes: %zu sent again after a broker was killed\n", got.size(), kCodes,
              duplicates);
  EXPECT_EQ(reader.Signal(SIGTERM), 128 + SIGTERM) << ReadFile(dir_ / "reader.err");
}

TEST_F(PublishTest, ReaderKilledTenTimesLosesNothingItTook) {
  Broker broker(dir_ / "broker");
  ASSERT_TRUE(broker.Start());
  Process sub = Subscriber(broker);
  Process reader = Reader(Url(broker));
  constexpr int kCodes = 10000;
  std::atomic<bool> streaming{true};
  std::thread writer([&] {
    Stream(0, kCodes, 2000);
    streaming = false;
  });
  for (int k = 0; k < 10; ++k) {
    std::this_thread::sleep_for(400ms);
    reader.Kill();
    reader = Reader(Url(broker));
  }
  writer.join();
  std::this_thread::sleep_for(500ms);  // the last reader takes what is left on the line
  // What the readers spooled got sequence numbers 1..n, whatever they did not get to send.
  const std::uint64_t n = LastSeq();
  const std::vector<Message> got = Received(n);
  const std::size_t duplicates = ExpectComplete(got, n);
  // A code cut in two by a kill is two broken ones; nothing else is not a code that was sent.
  std::size_t broken = 0;
  for (const Message& m : got) broken += m.barcode.size() != 13 || m.barcode.compare(0, 6, "400638") != 0;
  EXPECT_LE(broken, 20u);
  EXPECT_GT(n, std::uint64_t(kCodes / 2)) << "most codes reach a reader";
  std::printf("%llu codes spooled of %d sent (the rest came while no reader ran), %zu sent twice, "
              "%zu cut by a kill\n", (unsigned long long)n, kCodes, duplicates, broken);
  EXPECT_EQ(reader.Signal(SIGTERM), 128 + SIGTERM) << ReadFile(dir_ / "reader.err");
}

TEST_F(PublishTest, AFullDiskHoldsCodesThenStopsReadingAndPublishesAllInOrderWhenSpaceReturns) {
  qv::test::Tmpfs disk(config_.Store() / "spool", 256);
  if (!disk.Ok()) GTEST_SKIP() << "cannot mount a tmpfs here (not root?)";
  Broker broker(dir_ / "broker");
  ASSERT_TRUE(broker.Start());
  Process sub = Subscriber(broker);
  Process reader = Reader(Url(broker), {}, {"--hold", "30"});
  ASSERT_TRUE(Connected()) << Err();
  Stream(0, 20, 1000);
  ASSERT_EQ(Received(20, 20000).size(), 20u) << Err();
  disk.Fill("filler");
  Stream(20, 100, 1000);  // 30 are held, the rest wait in the terminal's buffer
  ASSERT_TRUE(Eventually([&] { return Count(Err(), "is not read until the spool takes them") == 1; })) << Err();
  EXPECT_EQ(Count(Err(), "No space left on device"), 1u) << Err();
  disk.Free("filler");
  const std::vector<Message> got = Received(100, 30000);
  ExpectComplete(got, 100);
  for (std::size_t i = 1; i < got.size(); ++i) EXPECT_LE(got[i - 1].seq, got[i].seq) << "out of order at " << i;
  for (const Message& m : got) EXPECT_EQ(m.barcode, Code(int(m.seq - 1)));
  EXPECT_EQ(Count(Err(), "has room again"), 1u) << Err();
  EXPECT_EQ(reader.Signal(SIGTERM), 128 + SIGTERM) << Err();
}

TEST_F(PublishTest, AMessageTheBrokerRefusesStaysInTheSpoolUntilItIsTaken) {
  const fs::path acl = dir_ / "broker" / "acl";
  fs::create_directories(acl.parent_path());
  // Anyone may read codes, nobody write there; the status may be written.
  std::ofstream(acl) << "topic read codes\ntopic readwrite probe\ntopic readwrite codes/status/#\n";
  Broker broker(dir_ / "broker", "allow_anonymous true\nacl_file " + acl.string() + "\n");
  ASSERT_TRUE(broker.Start());
  Process sub = Subscriber(broker);
  Process reader = Reader(Url(broker));
  ASSERT_TRUE(Connected()) << Err();
  Stream(0, 3, 1000);
  ASSERT_TRUE(Eventually([&] { return Count(Err(), "refused the message") == 1; })) << Err();
  EXPECT_NE(Err().find("on the topic codes: Not authorized"), std::string::npos) << Err();
  std::this_thread::sleep_for(1500ms);  // a retry or two: still refused, said once
  EXPECT_EQ(Count(Err(), "refused the message"), 1u) << Err();
  EXPECT_EQ(reader.Signal(SIGTERM), 128 + SIGTERM);
  EXPECT_EQ(SpoolLines(), 3u) << "nothing counted as delivered";
  std::ofstream(acl) << "topic readwrite #\n";  // now it may: everything arrives
  broker.Kill9();
  ASSERT_TRUE(broker.Start());
  sub = Subscriber(broker);
  reader = Reader(Url(broker));
  ExpectComplete(Received(3, 20000), 3);
  EXPECT_EQ(reader.Signal(SIGTERM), 128 + SIGTERM) << Err();
}

TEST_F(PublishTest, TwinStationsOfAClonedMachineStayTwo) {
  Broker broker(dir_ / "broker");
  ASSERT_TRUE(broker.Start());
  Process sub = Subscriber(broker);
  std::ofstream(dir_ / "machine-a") << "aaaa\n";
  std::ofstream(dir_ / "machine-b") << "bbbb\n";
  Process first = Reader(Url(broker), {"QVCOMM_MACHINE_ID_FILE=" + (dir_ / "machine-a").string()});
  ASSERT_TRUE(Connected()) << Err();
  // The clone: the same state folder (port map, spool, identity) under another machine-id.
  const fs::path twin = dir_ / "twin";
  fs::copy(config_.Home(), twin, fs::copy_options::recursive);
  qv::test::PtyPair pty2;
  const std::vector<std::string> b = {"XDG_CONFIG_HOME=" + twin.string(),
                                      "QVCOMM_MACHINE_ID_FILE=" + (dir_ / "machine-b").string()};
  ASSERT_EQ(Process({QVCOMM_PATH, "map", kPort, pty2.slave(), "--force"}, dir_ / "map.out", dir_ / "map.err", b).Wait(), 0);
  Process second({QVCOMM_PATH, "read", kPort, "--publish", Url(broker)}, dir_ / "twin.out", dir_ / "twin.err", b);
  std::this_thread::sleep_for(500ms);
  for (int i = 0; i < 20; ++i) pty_.Write(Code(i) + "\r"), pty2.Write(Code(100 + i) + "\r");
  Eventually([&] { return Messages(ReadFile(dir_ / "sub.out")).size() >= 40; }, 20000);
  std::set<std::pair<std::string, std::uint64_t>> keys;
  std::set<std::string> stations;
  for (const Message& m : Messages(ReadFile(dir_ / "sub.out"))) keys.insert({m.station, m.seq}), stations.insert(m.station);
  EXPECT_EQ(keys.size(), 40u) << "the key a consumer deduplicates by";
  EXPECT_EQ(stations.size(), 2u);
  EXPECT_NE(Err("twin.err").find("changed since"), std::string::npos) << Err("twin.err");
  for (const char* err : {"reader.err", "twin.err"}) EXPECT_EQ(Count(Err(err), "lost the connection"), 0u) << Err(err);
  EXPECT_EQ(second.Signal(SIGTERM), 128 + SIGTERM);
  EXPECT_EQ(first.Signal(SIGTERM), 128 + SIGTERM);
}

TEST_F(PublishTest, TheCommandGetsNothingOfTheStationsAndIsEndedWhenItHangs) {
  Broker broker(dir_ / "broker");
  ASSERT_TRUE(broker.Start());
  const fs::path script = dir_ / "each";
  // What it has open and whether it sees the password; "hang" hangs, with a child, the first time.
  std::ofstream(script) << "#!/bin/sh\nd=" << dir_.string() << "\necho $$ >> $d/pids\n"
                        << "ls -l /proc/$$/fd | grep -c 'socket:\\|spool\\|lock' >> $d/fds\n"
                        << "echo \"${QVCOMM_MQTT_PASSWORD:-none}\" >> $d/env\necho \"$1\" >> $d/args\n"
                        << "if [ \"$1\" = hang ] && [ ! -e $d/hung ]; then touch $d/hung; sleep 100 & echo $! >> $d/pids; "
                        << "trap '' TERM; sleep 100; fi\n";
  fs::permissions(script, fs::perms::owner_all);
  Process reader = Reader(Url(broker, "station"), {"QVCOMM_MQTT_PASSWORD=s3cret"},
                          {"--exec", script.string(), "--exec-timeout", "1"});
  ASSERT_TRUE(Connected()) << Err();
  for (const char* code : {"first", "hang", "after"}) pty_.Write(std::string(code) + "\r");
  ASSERT_TRUE(Eventually([&] { return ReadFile(dir_ / "args") == "first\nhang\nhang\nafter\n"; }, 20000)) << Err();
  EXPECT_EQ(ReadFile(dir_ / "fds"), "0\n0\n0\n0\n") << "the broker's socket, the spool or its lock leaked";
  EXPECT_EQ(ReadFile(dir_ / "env"), "none\nnone\nnone\nnone\n");
  EXPECT_EQ(Count(Err(), "took more than 1 s for the code \"hang\""), 1u) << Err();
  std::istringstream pids(ReadFile(dir_ / "pids"));
  for (int pid; pids >> pid;) EXPECT_NE(kill(pid, 0), 0) << "pid " << pid << " of the command's group lives on";
  fs::remove(dir_ / "hung");  // a signal to the station ends a command that hangs, within 5 s
  pty_.Write("hang\r");
  ASSERT_TRUE(Eventually([&] { return fs::exists(dir_ / "hung"); })) << Err();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(reader.Signal(SIGTERM), 128 + SIGTERM);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(StationTest, OptionsAndLogThatCouldHangOrGrowAreRefusedAtTheStart) {
  fs::create_directories(dir_ / "folder");
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  std::ofstream(dir_ / "big") << std::string((1 << 20) + 1, '#');
  const std::pair<std::string, std::string> cases[] = {
      {"--config", "/dev/zero"}, {"--config", (dir_ / "folder").string()}, {"--config", (dir_ / "big").string()},
      {"--log", (dir_ / "fifo").string()}, {"--log", "/dev/null"}};
  for (const auto& [option, file] : cases) {
    fs::remove(dir_ / "case.err");
    EXPECT_NE(Process({QVCOMM_PATH, "read", kPort, option, file}, dir_ / "case.out", dir_ / "case.err").Wait(5000), -1);
    EXPECT_NE(ReadFile(dir_ / "case.err").find(file.ends_with("big") ? "larger than 1 MiB" : "not a regular file"),
              std::string::npos) << file << ": " << ReadFile(dir_ / "case.err");
  }
}

TEST_F(PublishTest, ASpoolIsCheckedAndOwnedAndTheStatusTellsOnlineAndTheWillOffline) {
  Broker broker(dir_ / "broker");
  ASSERT_TRUE(broker.Start());
  const fs::path spool = config_.Store() / "spool" / (std::string(kPort) + ".spool");
  fs::create_directories(spool.parent_path());
  std::ofstream(spool) << "1 {}\n1 {}\n";
  Process reader = Reader(Url(broker));
  ASSERT_TRUE(Connected()) << Err();
  EXPECT_NE(Err().find("is damaged at line 2"), std::string::npos) << Err();
  EXPECT_EQ(ReadFile(Err().substr(Err().find("moved aside to ") + 15, spool.string().size() + 25)), "1 {}\n1 {}\n");
  Process second({QVCOMM_PATH, "read", kPort, "--publish", Url(broker)}, dir_ / "second.out", dir_ / "second.err");
  EXPECT_EQ(second.Wait(10000), 1);
  EXPECT_NE(Err("second.err").find("in use by another station (pid " + std::to_string(reader.pid()) + ")"),
            std::string::npos) << Err("second.err");
  // A watcher that comes later gets the retained status.
  Process watch({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-t", "codes/status/+"},
                dir_ / "status.out", dir_ / "status.err");
  const auto last = [&] {
    const std::string text = ReadFile(dir_ / "status.out");
    return text.substr(text.rfind('\n', text.size() - 2) + 1);  // npos + 1 is 0
  };
  ASSERT_TRUE(Eventually([&] { return last().find("\"online\"") != std::string::npos; })) << last();
  for (const std::string& field : {std::string("\"port\":\"COM9\""), "\"device\":\"" + pty_.slave() + "\"",
                                   std::string("\"protocol\":\"MQTT 5\",\"spool\":0,\"error\":\"\"")})
    EXPECT_NE(last().find(field), std::string::npos) << field << " in " << last();
  reader.Kill();
  EXPECT_TRUE(Eventually([&] { return last().find("\"offline\"") != std::string::npos; })) << "the will: " << last();
  reader = Reader(Url(broker));
  EXPECT_TRUE(Eventually([&] { return last().find("\"online\"") != std::string::npos; })) << last();
  EXPECT_EQ(reader.Signal(SIGTERM), 128 + SIGTERM);
  EXPECT_TRUE(Eventually([&] { return last().find("\"offline\"") != std::string::npos; })) << "a clean end: " << last();
}

TEST_F(PublishTest, TheExampleConsumersShareTheCodesAndDropWhatComesTwice) {
  Broker broker(dir_ / "broker");
  ASSERT_TRUE(broker.Start());
  const std::string port = std::to_string(broker.port());
  std::vector<Process> consumers;
  for (const std::string id : {"c1", "c2"})
    consumers.emplace_back(std::vector<std::string>{CODE_CONSUMER_PATH, "127.0.0.1", port, "sorters", "+", (dir_ / "seen").string(), id},
                           dir_ / (id + ".out"), dir_ / (id + ".err"));
  ASSERT_TRUE(Eventually([&] { return Count(Err("c1.err") + Err("c2.err"), "subscribed") == 2; }));
  Process reader = Reader(Url(broker));
  ASSERT_TRUE(Connected()) << Err();
  Stream(0, 40, 1000);
  const auto lines = [&] { return Err("c1.out") + Err("c2.out"); };
  ASSERT_TRUE(Eventually([&] { return Count(lines(), "\n") >= 40; })) << lines();
  // The same code again, as a station sends it after a lost acknowledgement: dropped.
  const std::string station = lines().substr(0, 16), seq = lines().substr(17, lines().find(' ', 17) - 17);
  for (int i = 0; i < 4; ++i)
    Process({"mosquitto_pub", "-h", "127.0.0.1", "-p", port, "-q", "1", "-t", "codes", "-m",
             "{\"barcode\":\"again\",\"station\":\"" + station + "\",\"seq\":" + seq + "}"}, dir_ / "pub.out", dir_ / "pub.err").Wait();
  std::this_thread::sleep_for(500ms);
  std::set<std::uint64_t> seqs;
  std::istringstream in(lines());
  for (std::string s, q, code; in >> s >> q >> code;) {
    EXPECT_TRUE(seqs.insert(std::stoull(q)).second && s == station) << s << " " << q << " twice";
    EXPECT_EQ(code, Code(int(std::stoull(q) - 1)));
  }
  EXPECT_EQ(seqs.size(), 40u);
  EXPECT_GT(Count(Err("c1.out"), "\n") * Count(Err("c2.out"), "\n"), 0u) << "both consumers take some";
  EXPECT_EQ(reader.Signal(SIGTERM), 128 + SIGTERM);
}

}  // namespace
