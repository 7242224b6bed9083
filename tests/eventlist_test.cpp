// The packet pattern list: matching byte by byte, packet composition in the scratch block and
// the invariants that keep composition inside the scratch.
#include "comm/eventlist.h"

#include "platform/rtl/exceptions.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

int AddText(TEventList& list, const std::string& text) {
  return list.Add(text.data(), static_cast<DWORD>(text.size()));
}

// The receive path of a communication component: feed every byte of a block, and on a match
// record where it ended and compose the packet from the rest of the block.
struct Packet {
  int item;
  std::string data;  // Count bytes plus the terminating zero
  DWORD count;
};

std::vector<Packet> Receive(TEventList& list, const std::string& block) {
  std::vector<Packet> packets;
  const auto* bytes = reinterpret_cast<const BYTE*>(block.data());
  const DWORD size = static_cast<DWORD>(block.size());
  for (DWORD i = 0; i < size; ++i) {
    int k = list.Feed(bytes[i]);
    if (k < 0) continue;
    list.Items(k)->EndPos = static_cast<std::int32_t>(i);
    DWORD count = list.Compose(k, bytes + i + 1, size - i - 1);
    packets.push_back({k, std::string(reinterpret_cast<const char*>(list.Scratch()), count + 1),
                       count});
  }
  return packets;
}

TEST(EventListMatching, CompletingItemStopsTheWalkForThatByte) {
  TEventList list;
  AddText(list, "AB");
  AddText(list, "B");
  EXPECT_EQ(list.Feed('A'), -1);
  EXPECT_EQ(list.Feed('B'), 0);
  // The second pattern was not advanced by that B: it is still waiting for its first byte.
  EXPECT_EQ(list.Items(1)->Matched, 0u);
  // A B alone now reaches the second pattern (the first restarts from nothing).
  EXPECT_EQ(list.Feed('B'), 1);
  EXPECT_EQ(list.Items(0)->Matched, 0u);
}

TEST(EventListMatching, RestartLooksOnlyAtTheFirstByte) {
  TEventList list;
  AddText(list, "aab");
  std::vector<int> hits;
  for (char c : std::string("aaab")) hits.push_back(list.Feed(static_cast<BYTE>(c)));
  EXPECT_EQ(hits, (std::vector<int>{-1, -1, -1, -1}));

  TEventList fresh;
  AddText(fresh, "aab");
  EXPECT_EQ(fresh.Feed('a'), -1);
  EXPECT_EQ(fresh.Feed('a'), -1);
  EXPECT_EQ(fresh.Items(0)->Matched, 2u);
  EXPECT_EQ(fresh.Feed('b'), 0);
  EXPECT_EQ(fresh.Items(0)->Matched, 0u);
  EXPECT_EQ(fresh.Items(0)->EndPos, 3);  // the matched length until the receive path sets it
}

TEST(EventListMatching, MatchedCountsAcrossFeedsAndResetsOnMismatch) {
  TEventList list;
  AddText(list, "XYZ");
  list.Feed('X');
  list.Feed('Y');
  EXPECT_EQ(list.Items(0)->Matched, 2u);
  list.Feed('Q');
  EXPECT_EQ(list.Items(0)->Matched, 0u);
  list.Feed('X');
  EXPECT_EQ(list.Items(0)->Matched, 1u);
  EXPECT_EQ(TEventList().Feed('X'), -1);
}

TEST(EventListPackets, PatternWithTheRestOfTheBlock) {
  TEventList list;
  AddText(list, "AB");
  list.EnsureScratch(6);
  auto packets = Receive(list, "xxABcd");
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].count, 4u);
  EXPECT_EQ(packets[0].data, std::string("ABcd\0", 5));
  EXPECT_EQ(list.Items(0)->EndPos, 3);
}

TEST(EventListPackets, TwoMatchesInOneBlockEachTakeTheirTail) {
  TEventList list;
  AddText(list, "#");
  list.EnsureScratch(8);
  auto packets = Receive(list, "a#bc#d");
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].data, std::string("#bc#d\0", 6));
  EXPECT_EQ(packets[1].data, std::string("#d\0", 3));
  EXPECT_EQ(packets[1].count, 2u);
  EXPECT_EQ(list.Items(0)->EndPos, 4);
}

TEST(EventListPackets, MatchOnTheLastByteGivesThePatternAlone) {
  TEventList list;
  AddText(list, "END");
  list.EnsureScratch(5);
  auto packets = Receive(list, "xxEND");
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].count, 3u);
  EXPECT_EQ(packets[0].data, std::string("END\0", 4));
}

TEST(EventListScratch, SizedForLongestPatternPlusBlock) {
  TEventList list;
  EXPECT_EQ(list.Scratch(), nullptr);
  EXPECT_EQ(list.ScratchSize(), 0u);
  EXPECT_EQ(list.MaxLength(), 0u);
  AddText(list, "AB");
  AddText(list, "LONGER");
  list.EnsureScratch(100);
  EXPECT_EQ(list.ScratchSize(), 6u + 100u + 4u);
  ASSERT_NE(list.Scratch(), nullptr);
  for (DWORD i = 0; i < list.ScratchSize(); ++i) ASSERT_EQ(list.Scratch()[i], 0) << i;
}

TEST(EventListScratch, NotLargerRequestKeepsTheBlock) {
  TEventList list;
  AddText(list, "AB");
  list.EnsureScratch(50);
  BYTE* block = list.Scratch();
  const DWORD size = list.ScratchSize();
  list.EnsureScratch(50);
  list.EnsureScratch(10);
  EXPECT_EQ(list.Scratch(), block);
  EXPECT_EQ(list.ScratchSize(), size);
  list.EnsureScratch(51);
  EXPECT_EQ(list.ScratchSize(), size + 1);
}

TEST(EventListScratch, LongTailGrowsTheScratchInsteadOfOverflowing) {
  TEventList list;
  AddText(list, "AB");
  list.EnsureScratch(4);  // room for a 4-byte block only
  const std::string tail(1000, 'z');
  DWORD count = list.Compose(0, reinterpret_cast<const BYTE*>(tail.data()), 1000);
  EXPECT_EQ(count, 1002u);
  ASSERT_GE(list.ScratchSize(), 1003u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(list.Scratch()), 1003),
            "AB" + tail + std::string(1, '\0'));
}

TEST(EventListScratch, ComposeWithoutAnyScratchAllocatesOne) {
  TEventList list;
  AddText(list, "P");
  EXPECT_EQ(list.Compose(0, nullptr, 0), 1u);
  ASSERT_NE(list.Scratch(), nullptr);
  EXPECT_EQ(list.Scratch()[0], 'P');
  EXPECT_EQ(list.Scratch()[1], 0);
}

TEST(EventListScratch, LongerPatternAddedAfterOpenEnlargesTheScratch) {
  TEventList list;
  AddText(list, "AB");
  list.EnsureScratch(16);  // the port opened with a 16-byte receive buffer
  const DWORD before = list.ScratchSize();
  AddText(list, std::string(40, 'P'));
  EXPECT_EQ(list.MaxLength(), 40u);
  EXPECT_EQ(list.ScratchSize(), before + 38u);
  // A full receive block after the new pattern still fits without help from Compose.
  BYTE* block = list.Scratch();
  const std::string tail(16, 't');
  list.Compose(1, reinterpret_cast<const BYTE*>(tail.data()), 16);
  EXPECT_EQ(list.Scratch(), block);
  // A shorter pattern leaves the block alone.
  AddText(list, "Q");
  EXPECT_EQ(list.Scratch(), block);
}

TEST(EventListScratch, SizesBeyond32BitsAreRefused) {
  TEventList list;
  AddText(list, "AB");
  EXPECT_THROW(list.EnsureScratch(0xFFFFFFFFu), EListError);
  EXPECT_EQ(list.Scratch(), nullptr);
  EXPECT_EQ(list.ScratchSize(), 0u);
}

TEST(EventListItems, AddCopiesThePatternAndStartsUnmatched) {
  TEventList list;
  char source[] = "OK";
  EXPECT_EQ(list.Add(source, 2), 0);
  source[0] = 'N';  // the list must not see the caller's later changes
  TPatternItem* item = list.Items(0);
  EXPECT_NE(static_cast<void*>(item->Pattern.get()), static_cast<void*>(source));
  EXPECT_EQ(std::memcmp(item->Pattern.get(), "OK", 2), 0);
  EXPECT_EQ(item->Matched, 0u);
  EXPECT_EQ(item->Length, 2u);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(list[0], item);
}

TEST(EventListItems, EmptyOrMissingPatternIsRefusedAndNothingAdded) {
  TEventList list;
  AddText(list, "A");
  try {
    list.Add("X", 0);
    FAIL() << "an empty pattern was accepted";
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "TEventList.Add: a pattern needs at least one byte");
  }
  EXPECT_THROW(list.Add(nullptr, 3), EListError);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(list.MaxLength(), 1u);
}

TEST(EventListItems, MaxLengthFollowsDeleteAndClear) {
  TEventList list;
  AddText(list, "AB");
  AddText(list, "ABCDE");
  AddText(list, "ABC");
  EXPECT_EQ(list.MaxLength(), 5u);
  list.Delete(1);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.MaxLength(), 3u);
  EXPECT_EQ(list.Items(1)->Length, 3u);  // later entries move up
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.MaxLength(), 0u);
  EXPECT_EQ(list.Feed('A'), -1);
}

TEST(EventListItems, BadIndexesGiveAClearError) {
  TEventList list;
  AddText(list, "AB");
  EXPECT_THROW(list.Items(1), EListError);
  EXPECT_THROW(list.Items(-1), EListError);
  EXPECT_THROW(list.Delete(5), EListError);
  EXPECT_THROW(list.Compose(1, nullptr, 0), EListError);
  try {
    list.Delete(3);
    FAIL();
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (3)");
  }
  EXPECT_EQ(list.Count(), 1);
  EXPECT_THROW(list.Compose(0, nullptr, 4), EListError);
}

TEST(EventListItems, ScratchSurvivesClearAndIsReleasedWithTheList) {
  // Under the address sanitizer a leak of the scratch or an item fails this program.
  auto* list = new TEventList;
  AddText(*list, "AB");
  list->EnsureScratch(32);
  list->Clear();
  EXPECT_NE(list->Scratch(), nullptr);
  AddText(*list, "XYZ");
  delete list;
}

}  // namespace
