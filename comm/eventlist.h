// TEventList: the byte patterns a communication component watches for in received data while
// its packet mode is on, and the scratch block in which a matched packet is composed.
//
// Every item owns a copy of its pattern bytes; MaxLength is always the longest pattern present,
// so EnsureScratch (run when the receive buffer is allocated) sizes the scratch for the longest
// pattern plus a whole received block. Compose never writes past the scratch: a tail longer
// than the block the scratch was prepared for enlarges it first.
//
// Bad arguments raise EListError and leave the list as it was: an index out of range with the
// runtime's "List index out of bounds (%d)", an empty or missing pattern or a size beyond
// 32 bits with a text naming the operation.
#pragma once

#include "platform/win32/wintypes.h"

#include <cstdint>
#include <memory>
#include <vector>

// One watched pattern.
struct TPatternItem {
  TPatternItem(const void* pattern, DWORD length);

  DWORD Matched = 0;       // bytes of the pattern matched so far
  const DWORD Length;      // pattern length, at least 1
  const std::unique_ptr<BYTE[]> Pattern;  // owned copy of the pattern bytes
  std::int32_t EndPos = 0; // index in the received block of the byte that completed the match
};

class TEventList {
 public:
  TEventList() = default;
  ~TEventList();
  TEventList(const TEventList&) = delete;
  TEventList& operator=(const TEventList&) = delete;

  // Appends a copy of the pattern; returns its index. A scratch already prepared grows by the
  // amount the new pattern exceeds MaxLength, so it still holds a packet built from any
  // received block it was prepared for.
  int Add(const void* pattern, DWORD length);

  // Advances every item by one received byte; the index of the item that completed, or -1.
  // Items after a completing item are not advanced for this byte.
  int Feed(BYTE b);

  // Composes the packet of item k in Scratch: its pattern, TailCount bytes from Tail, a zero
  // byte. Returns Length + TailCount. The data stays valid until the scratch is next changed.
  DWORD Compose(int k, const BYTE* tail, DWORD tailCount);

  // Makes Scratch large enough for the packet of any pattern and a received block of n bytes.
  void EnsureScratch(DWORD n);

  void Delete(int index);
  void Clear();

  int Count() const { return static_cast<int>(items_.size()); }
  TPatternItem* Items(int index) const;
  TPatternItem* operator[](int index) const { return Items(index); }

  BYTE* Scratch() const { return scratch_.get(); }
  DWORD ScratchSize() const { return scratchSize_; }
  DWORD MaxLength() const { return maxLength_; }

 private:
  void CheckIndex(int index) const;
  void RecomputeMaxLength();
  void Reallocate(std::uint64_t need, const char* operation);

  std::vector<std::unique_ptr<TPatternItem>> items_;
  std::unique_ptr<BYTE[]> scratch_;
  DWORD scratchSize_ = 0;
  DWORD maxLength_ = 0;
};
