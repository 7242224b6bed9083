#include "comm/eventlist.h"

#include "platform/rtl/exceptions.h"

#include <cstring>
#include <string>

namespace {

std::unique_ptr<BYTE[]> CopyPattern(const void* pattern, DWORD length) {
  if (length == 0) throw EListError("TEventList.Add: a pattern needs at least one byte");
  if (pattern == nullptr) throw EListError("TEventList.Add: the pattern bytes are missing");
  std::unique_ptr<BYTE[]> copy(new BYTE[length]);
  std::memcpy(copy.get(), pattern, length);
  return copy;
}

// Scratch blocks are sized in 32 bits like the rest of the receive path.
constexpr std::uint64_t kMaxScratch = 0xFFFFFFFFu;

}  // namespace

TPatternItem::TPatternItem(const void* pattern, DWORD length)
    : Length(length), Pattern(CopyPattern(pattern, length)) {}

TEventList::~TEventList() {
  scratch_.reset();
  scratchSize_ = 0;
  Clear();
}

int TEventList::Add(const void* pattern, DWORD length) {
  auto item = std::make_unique<TPatternItem>(pattern, length);
  items_.reserve(items_.size() + 1);  // the push below then cannot fail
  if (scratch_ && length > maxLength_) {
    // Keep room for the block size the scratch was prepared for.
    const std::uint64_t prepared =
        scratchSize_ >= std::uint64_t{maxLength_} + 4 ? scratchSize_ - maxLength_ - 4 : 0;
    Reallocate(std::uint64_t{length} + prepared + 4, "TEventList.Add");
  }
  items_.push_back(std::move(item));
  if (length > maxLength_) maxLength_ = length;
  return Count() - 1;
}

int TEventList::Feed(BYTE b) {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    TPatternItem& item = *items_[i];
    DWORD matched;
    if (item.Pattern[item.Matched] == b) {
      matched = item.Matched + 1;
    } else if (item.Pattern[0] == b) {
      matched = 1;
    } else {
      matched = 0;
    }
    item.Matched = matched;
    if (matched == item.Length) {
      item.EndPos = static_cast<std::int32_t>(matched);
      item.Matched = 0;
      return static_cast<int>(i);
    }
  }
  return -1;
}

DWORD TEventList::Compose(int k, const BYTE* tail, DWORD tailCount) {
  CheckIndex(k);
  if (tail == nullptr && tailCount != 0)
    throw EListError("TEventList.Compose: the tail bytes are missing");
  const TPatternItem& item = *items_[static_cast<std::size_t>(k)];
  const std::uint64_t count = std::uint64_t{item.Length} + tailCount;
  if (count >= kMaxScratch)
    throw EListError("TEventList.Compose: the packet exceeds 32-bit sizes");
  // A tail longer than the block EnsureScratch prepared for: grow rather than overflow.
  if (count + 1 > scratchSize_) EnsureScratch(tailCount);
  BYTE* out = scratch_.get();
  std::memcpy(out, item.Pattern.get(), item.Length);
  if (tailCount != 0) std::memcpy(out + item.Length, tail, tailCount);
  out[count] = 0;
  return static_cast<DWORD>(count);
}

void TEventList::EnsureScratch(DWORD n) {
  const std::uint64_t need = std::uint64_t{maxLength_} + n + 4;
  if (need > scratchSize_) Reallocate(need, "TEventList.EnsureScratch");
}

void TEventList::Reallocate(std::uint64_t need, const char* operation) {
  if (need > kMaxScratch)
    throw EListError(std::string(operation) + ": the scratch block exceeds 32-bit sizes");
  // The new block is made before the old one goes, so a failed allocation keeps the old one.
  std::unique_ptr<BYTE[]> block(new BYTE[need]());
  scratch_ = std::move(block);
  scratchSize_ = static_cast<DWORD>(need);
}

void TEventList::Delete(int index) {
  CheckIndex(index);
  items_.erase(items_.begin() + index);
  RecomputeMaxLength();
}

void TEventList::Clear() {
  while (!items_.empty()) Delete(0);
  items_.clear();
  maxLength_ = 0;
}

TPatternItem* TEventList::Items(int index) const {
  CheckIndex(index);
  return items_[static_cast<std::size_t>(index)].get();
}

void TEventList::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) ListIndexError(index);
}

void TEventList::RecomputeMaxLength() {
  DWORD longest = 0;
  for (const auto& item : items_)
    if (item->Length > longest) longest = item->Length;
  maxLength_ = longest;
}
