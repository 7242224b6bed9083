// The spool's file format and its recovery after a stop at any point, and the broker URL.
#include "platform/mqtt/publisher.h"
#include "platform/mqtt/spool.h"
#include "support/broker.h"
#include "support/temp_config.h"
#include "support/tmpfs.h"

#include <sys/stat.h>

#include <tuple>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using qv::platform::Spool;

namespace {

class SpoolTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(config_.Ok()); }
  std::unique_ptr<Spool> Open(std::uint64_t limit = Spool::kDefaultLimit) {
    auto s = std::make_unique<Spool>();
    std::string error;
    EXPECT_TRUE(s->Open(folder_.string(), "COM3", limit, error)) << error;
    return s;
  }
  void Append(Spool& s, const std::string& payload) {
    std::string error;
    ASSERT_EQ(s.Append(payload, error), Spool::AppendResult::Ok) << error;
  }
  std::vector<std::uint64_t> TakeAll(Spool& s) {
    std::vector<std::uint64_t> seqs;
    for (const auto& r : s.Take(1000)) seqs.push_back(r.seq);
    return seqs;
  }
  fs::path File() const { return folder_ / "COM3.spool"; }

  qv::test::TempConfig config_{"spool"};
  const fs::path folder_ = config_.Dir() / "state" / "spool";
};

TEST_F(SpoolTest, WhatIsNotAcknowledgedComesBackInOrderAfterARestart) {
  {
    auto s = Open();
    for (int i = 0; i < 5; ++i) Append(*s, "m" + std::to_string(i));
    EXPECT_EQ(TakeAll(*s), (std::vector<std::uint64_t>{1, 2, 3, 4, 5}));
    s->Ack(2);  // out of order: 1 still pending, so the mark stays
    s->Ack(1);
    s->Ack(4);
    EXPECT_EQ(s->Pending(), 3u);
    s->Rewind();
    EXPECT_EQ(TakeAll(*s), (std::vector<std::uint64_t>{3, 5}));
  }  // as a kill -9 leaves it: no sync, no clean close
  auto s = Open();
  const auto records = s->Take(10);
  ASSERT_EQ(records.size(), 3u);  // 4 comes again: the mark only covers 1..2
  EXPECT_EQ(records[0].seq, 3u);
  EXPECT_EQ(records[0].payload, "m2");
  EXPECT_EQ(records[2].seq, 5u);
  EXPECT_EQ(s->NextSeq(), 6u);
}

TEST_F(SpoolTest, AnUnfinishedLastLineIsDroppedAndADamagedFileMovedAside) {
  Open().reset();
  std::ofstream(File(), std::ios::app) << "1 first\n2 second\n3 half-writ";
  {
    auto s = Open();
    EXPECT_EQ(TakeAll(*s), (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(s->NextSeq(), 3u);
    Append(*s, "third");
  }
  EXPECT_EQ(qv::test::ReadFile(File()), "1 first\n2 second\n3 third\n");
  const std::tuple<std::string, const char*, const char*> cases[] = {
      {"2 backwards\n", "", "damaged at line 4"},
      {"", "9 9\n", "does not reach its acknowledged mark (9"},
      {std::string("x\0y\n", 4), "", "damaged at line 4"}};
  for (const auto& [tail, mark, why] : cases) {
    fs::remove_all(folder_);
    Open().reset();
    std::ofstream(File()) << "1 first\n2 second\n3 third\n" << tail;
    if (*mark) std::ofstream(folder_ / "COM3.acked") << mark;
    const std::string before = qv::test::ReadFile(File());
    auto s = Open();
    const std::string damage = s->Damage();
    EXPECT_NE(damage.find(why), std::string::npos) << damage;
    EXPECT_TRUE(s->Pending() == 0 && s->NextSeq() > 3) << "a number of the spool moved aside would come again";
    const std::size_t at = damage.find("moved aside to ") + 15;  // kept where the message says
    EXPECT_EQ(qv::test::ReadFile(damage.substr(at, damage.find(';', at) - at)), before);
  }
}

TEST_F(SpoolTest, CompactionGivesSpaceBackInPlaceAndNeverReusesANumber) {
  const std::string payload(200, 'x');
  {
    auto s = Open();
    for (int i = 0; i < 400; ++i) Append(*s, payload);  // 80 KiB
    TakeAll(*s);
    for (std::uint64_t q = 1; q <= 399; ++q) s->Ack(q);
    // The blocks of the acknowledged lines are given back: 80 KiB were written.
    struct stat st {};
    ASSERT_EQ(stat(File().c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, 20000);
    s->Ack(400);
  }
  {
    auto s = Open();
    EXPECT_EQ(s->Pending(), 0u);
    EXPECT_EQ(s->NextSeq(), 401u);
  }
  fs::remove(folder_ / "COM3.acked");  // even without the mark (a power cut), no number comes again
  EXPECT_EQ(Open()->NextSeq(), 401u);
  // Nor without the spool: the numbers reserved apart from it are skipped.
  fs::remove(File());
  EXPECT_GT(Open()->NextSeq(), 401u);
}

TEST_F(SpoolTest, WhatTheLimitCannotTakeIsHeldInOrderUntilTheBrokerTakesSome) {
  // Line "N " + 40 bytes + LF: 43 bytes; a limit of exactly two lines takes two.
  for (const auto& [limit, written] : {std::pair<std::uint64_t, std::size_t>{86, 2}, {85, 1}, {43, 1}}) {
    fs::remove_all(folder_);
    auto s = Open(limit);
    std::string error;
    for (std::size_t i = 0; i < 3; ++i)
      EXPECT_EQ(s->Append(std::string(40, char('a' + i)), error),
                i < written ? Spool::AppendResult::Ok : Spool::AppendResult::Held)
          << "limit " << limit << ", message " << i + 1 << ": " << error;
    EXPECT_EQ(s->Held(), 3 - written) << limit;
    EXPECT_EQ(TakeAll(*s).size(), written) << "held messages are not handed out";
    for (std::uint64_t q = 1; q <= written; ++q) s->Ack(q);
    EXPECT_EQ(TakeAll(*s), std::vector<std::uint64_t>{written + 1}) << "the next held one goes in as the broker takes some";
  }
  std::string error;
  EXPECT_EQ(Open()->Append("x\ny", error), Spool::AppendResult::Failed);
}

TEST_F(SpoolTest, AFullDiskHoldsMessagesAndAcknowledgementsMakeRoomWithoutACopy) {
  qv::test::Tmpfs disk(folder_, 128);
  if (!disk.Ok()) GTEST_SKIP() << "cannot mount a tmpfs here (not root?)";
  auto s = Open();
  const std::string payload(1000, 'x');
  for (int i = 0; i < 60; ++i) Append(*s, payload);
  disk.Fill("filler");
  std::string error;
  std::size_t held = 0;
  for (int i = 0; i < 10; ++i) held += s->Append(payload, error) == Spool::AppendResult::Held;
  EXPECT_GE(held, 9u);
  EXPECT_NE(error.find("No space left"), std::string::npos) << error;
  EXPECT_FALSE(s->WriteHeld(error));
  // The broker takes all but the last: their space comes back in place, and the held ones go in.
  TakeAll(*s);
  for (std::uint64_t q = 1; q < 60; ++q) s->Ack(q);
  EXPECT_EQ(s->Held(), 0u);
  s->Rewind();
  EXPECT_EQ(TakeAll(*s), (std::vector<std::uint64_t>{60, 61, 62, 63, 64, 65, 66, 67, 68, 69, 70}));
  s.reset();
  EXPECT_EQ(Open()->Pending(), 11u);
}

TEST(MqttUrl, FormsAndRefusals) {
  static const std::string kLong = "mqtt://broker/" + std::string(65536, 't');
  struct Case {
    const char* url;
    bool ok;
    bool tls;
    const char *user, *host;
    int port;
    const char* topic;  // for a refusal: a word of the reason
  } cases[] = {
      {"mqtt://broker/codes", true, false, "", "broker", 1883, "codes"},
      {"mqtts://station@broker.example:8884/site/a/codes", true, true, "station", "broker.example", 8884, "site/a/codes"},
      {"mqtts://[fd00::7]/c", true, true, "", "fd00::7", 8883, "c"},
      {"mqtt://u:pw@broker/c", false, false, "", "", 0, "password"},
      {"mqtt://broker", false, false, "", "", 0, "topic"},
      {"mqtt://broker/a/#", false, false, "", "", 0, "wildcard"},
      {"mqtt://broker/$SYS/x", false, false, "", "", 0, "'$'"},
      {"mqtt://broker/caf\xc3", false, false, "", "", 0, "UTF-8"},
      {"mqtt://broker/\xc0\xafx", false, false, "", "", 0, "UTF-8"},
      {"mqtt://broker/\xed\xa0\x80", false, false, "", "", 0, "UTF-8"},
      {"mqtt://broker/caf\xc3\xa9/\xf0\x9f\x93\xa6", true, false, "", "broker", 1883, "caf\xc3\xa9/\xf0\x9f\x93\xa6"},
      {kLong.c_str(), false, false, "", "", 0, "65,535"},
      {"mqtt://broker:0/c", false, false, "", "", 0, "port"},
      {"mqtt://broker:/c", false, false, "", "", 0, "port"},
      {"mqtt://[fd00::7/c", false, false, "", "", 0, "IPv6"},
      {"http://broker/c", false, false, "", "", 0, "mqtt://"},
  };
  for (const Case& c : cases) {
    qv::platform::MqttTarget t;
    std::string error;
    ASSERT_EQ(qv::platform::ParseMqttUrl(c.url, t, error), c.ok) << c.url << ": " << error;
    if (!c.ok) {
      EXPECT_NE(error.find(c.topic), std::string::npos) << c.url << ": " << error;
      continue;
    }
    EXPECT_EQ(t.tls, c.tls) << c.url;
    EXPECT_EQ(t.user, c.user) << c.url;
    EXPECT_EQ(t.host, c.host) << c.url;
    EXPECT_EQ(t.port, c.port) << c.url;
    EXPECT_EQ(t.topic, c.topic) << c.url;
  }
}

}  // namespace
