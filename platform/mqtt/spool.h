// A spool of messages that must reach a broker: each one is written to a file before it is
// handed to the network and leaves the file only once the broker has acknowledged it, so a
// broker that is down, a cut network, a killed program or a power cut lose nothing.
//
// Files, in the folder given to Open (one pair per name, e.g. per port):
//   <name>.spool   "#next N" (after a compaction), then one line per message: "SEQ PAYLOAD"
//   <name>.acked   "N N": every message up to sequence number N was acknowledged
// Durability: Append writes at once (a killed program loses nothing the kernel has); Sync
// makes everything appended so far durable with one fdatasync, and the publisher calls it
// before it sends what it took, so a message is on disk before anyone can have seen it, and a
// burst costs one sync. The acknowledged mark is written without a sync: after a power cut it
// may be behind, and messages are then sent again (duplicates, never gaps). Once 64 KiB of
// acknowledged lines lead the file it is rewritten with only the pending ones (write, sync,
// rename, folder sync).
// Payloads must not hold a line feed. Sequence numbers start at 1 and never repeat for a name.
//
// Thread-safe: one thread appends, another takes and acknowledges.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qv::platform {

class Spool {
 public:
  // Room for about 120,000 codes of 130 bytes.
  static constexpr std::uint64_t kDefaultLimit = 16u << 20;

  struct Record {
    std::uint64_t seq = 0;
    std::string payload;
  };
  enum class AppendResult { Ok, Full, Failed };

  Spool() = default;
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Opens (making the folder and files when needed) and reads what a previous run left.
  // False with the reason, naming the file, when it cannot be used.
  bool Open(const std::string& folder, const std::string& name, std::uint64_t limitBytes,
            std::string& error);

  // The sequence number the next Append takes.
  std::uint64_t NextSeq() const;
  // Appends a message with NextSeq(). Full when the pending messages with this one would pass
  // the limit (nothing written); Failed with the reason when the file refused it.
  AppendResult Append(std::string_view payload, std::string& error);
  // Makes every message appended so far durable.
  bool Sync(std::string& error);

  // Up to max pending messages not taken yet, oldest first.
  std::vector<Record> Take(std::size_t max);
  // Everything not acknowledged is taken again (after a connection was lost).
  void Rewind();
  // The broker has this message. Acknowledgements may come in any order.
  void Ack(std::uint64_t seq);

  std::size_t Pending() const;
  std::uint64_t PendingBytes() const;
  std::uint64_t Limit() const { return limit_; }
  const std::string& Path() const { return path_; }

 private:
  struct Entry {
    std::uint64_t seq;
    std::string payload;
    bool acked = false;
  };
  bool Load(std::string& error);
  void WriteMark();
  void CompactLocked();

  mutable std::mutex mutex_;
  std::string folder_, path_, markPath_;
  int fd_ = -1, markFd_ = -1;
  std::uint64_t limit_ = kDefaultLimit;
  std::uint64_t next_ = 1, acked_ = 0;   // acked_: every seq up to it is acknowledged
  std::uint64_t deadBytes_ = 0;          // acknowledged lines still in the file
  std::uint64_t compactAt_ = 0;          // after a failed rewrite: when to try again
  std::uint64_t fileSize_ = 0;
  bool dirty_ = false;                   // appended since the last Sync
  std::uint64_t pendingBytes_ = 0;
  std::deque<Entry> entries_;            // pending, in order
  std::size_t taken_ = 0;                // entries_ handed out since the last Rewind
};

}  // namespace qv::platform
