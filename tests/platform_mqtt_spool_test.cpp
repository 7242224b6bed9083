// The spool's file format and its recovery after a stop at any point, and the broker URL.
#include "platform/mqtt/publisher.h"
#include "platform/mqtt/spool.h"
#include "support/broker.h"
#include "support/temp_config.h"

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

TEST_F(SpoolTest, AnUnfinishedLastLineIsDroppedAndADamagedFileRefused) {
  Open().reset();
  std::ofstream(File(), std::ios::app) << "1 first\n2 second\n3 half-writ";
  {
    auto s = Open();
    EXPECT_EQ(TakeAll(*s), (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(s->NextSeq(), 3u);
    Append(*s, "third");
  }
  EXPECT_EQ(qv::test::ReadFile(File()), "1 first\n2 second\n3 third\n");
  std::ofstream(File(), std::ios::app) << "2 backwards\n";
  Spool s;
  std::string error;
  EXPECT_FALSE(s.Open(folder_.string(), "COM3", Spool::kDefaultLimit, error));
  EXPECT_NE(error.find("damaged at line 4"), std::string::npos) << error;
}

TEST_F(SpoolTest, CompactionKeepsThePendingAndNeverReusesANumber) {
  const std::string payload(200, 'x');
  {
    auto s = Open();
    for (int i = 0; i < 400; ++i) Append(*s, payload);  // 80 KiB
    TakeAll(*s);
    for (std::uint64_t q = 1; q <= 399; ++q) s->Ack(q);
    // Rewritten once 64 KiB of acknowledged lines led it: 80 KiB were written.
    EXPECT_LT(fs::file_size(File()), 20000u);
    EXPECT_EQ(qv::test::ReadFile(File()).substr(0, 10), "#next 401\n");
    s->Ack(400);
  }
  auto s = Open();
  EXPECT_EQ(s->Pending(), 0u);
  EXPECT_EQ(s->NextSeq(), 401u);
  fs::remove(folder_ / "COM3.acked");  // even without the mark (a power cut), no number comes again
  EXPECT_EQ(Open()->NextSeq(), 401u);
}

TEST_F(SpoolTest, AFullSpoolRefusesUntilTheBrokerTakesSome) {
  auto s = Open(100);
  Append(*s, std::string(40, 'a'));
  Append(*s, std::string(40, 'b'));
  std::string error;
  EXPECT_EQ(s->Append(std::string(40, 'c'), error), Spool::AppendResult::Full);
  EXPECT_EQ(s->Append("x\ny", error), Spool::AppendResult::Failed);
  TakeAll(*s);
  s->Ack(1);
  Append(*s, std::string(40, 'c'));
  EXPECT_EQ(s->NextSeq(), 4u);
}

TEST(MqttUrl, FormsAndRefusals) {
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
