// A spool of messages that must reach a broker: each one is written to a file before it is
// handed to the network and leaves the file only once the broker has acknowledged it, so a
// broker that is down, a cut network, a killed program, a power cut or a full disk lose
// nothing.
//
// Files, in the folder given to Open (one set per name, e.g. per port):
//   <name>.spool   "#next N" (after everything was acknowledged), then one line per message:
//                  "SEQ PAYLOAD"; its head may be a hole (acknowledged lines given back)
//   <name>.acked   "N N": every message up to sequence number N was acknowledged
//   <name>.seq     the highest sequence number handed out may reach; kept apart from the
//                  spool so a spool moved aside or lost never makes a number come again
//   <name>.lock    the pid of the program that has the spool (an flock held while it runs)
// Durability: Append writes at once (a killed program loses nothing the kernel has); Sync
// makes everything appended so far durable with one fdatasync, and the publisher calls it
// before it sends what it took, so a message is on disk before anyone can have seen it, and a
// burst costs one sync. The acknowledged mark is written without a sync: after a power cut it
// may be behind, and messages are then sent again (duplicates, never gaps). Numbers are
// reserved ahead in <name>.seq, synced once per kReserve messages.
// Space is given back in place: once 64 KiB of acknowledged lines lead the file, their blocks
// are freed (a hole punched over them), and once nothing is pending the file starts again; no
// second copy is written, so this works on a full disk.
// A message the file cannot take (its filesystem is full, or the spool at its limit) is held
// in memory, in order and with its number, and written before any later one as soon as there
// is room (WriteHeld). Messages are handed out only once they are in the file.
// A damaged file is moved aside (<name>.spool.damaged-<time>), never deleted, and an empty one
// started.
// Payloads must not hold a line feed. Sequence numbers start at 1 and never repeat for a name.
//
// Thread-safe: one thread appends, another takes, acknowledges and writes what is held.
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
  // Messages held in memory while the file cannot take them.
  static constexpr std::size_t kDefaultHold = 10000;
  // Sequence numbers reserved with one sync of <name>.seq.
  static constexpr std::uint64_t kReserve = 1000;

  struct Record {
    std::uint64_t seq = 0;
    std::string payload;
  };
  enum class AppendResult { Ok, Held, Failed };

  Spool() = default;
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Opens (making the folder and files when needed), takes the lock and reads what a
  // previous run left. False with the reason, naming the file, when it cannot be used (held
  // by another program: its pid is named).
  bool Open(const std::string& folder, const std::string& name, std::uint64_t limitBytes,
            std::string& error, std::size_t holdLimit = kDefaultHold);
  // After Open: what was wrong with a file that was moved aside, and where it went; empty
  // when nothing was.
  const std::string& Damage() const { return damage_; }

  // The sequence number the next Append takes.
  std::uint64_t NextSeq() const;
  // Appends a message with NextSeq(). Held when it is kept in memory behind others or because
  // the file cannot take it (error says why); Failed for a payload with a line feed, or when
  // no further number can be reserved.
  AppendResult Append(std::string_view payload, std::string& error);
  // Writes what is held, oldest first, as far as there is room; true when nothing is held any
  // more (else error says why).
  bool WriteHeld(std::string& error);
  std::size_t Held() const;
  std::size_t HoldLimit() const { return holdLimit_; }
  // Copies of the held messages (to say what is lost when the program ends with some).
  std::vector<Record> HeldRecords() const;
  // True while holdLimit messages are held: the caller should take no more.
  bool HeldFull() const;
  // Sleeps until fewer than holdLimit messages are held (true) or cancelFd is readable.
  bool WaitForRoom(int cancelFd);
  // Makes every message appended so far durable.
  bool Sync(std::string& error);

  // Up to max pending messages not taken yet, oldest first.
  std::vector<Record> Take(std::size_t max);
  // Everything not acknowledged is taken again (after a connection was lost).
  void Rewind();
  // The broker has this message. Acknowledgements may come in any order.
  void Ack(std::uint64_t seq);

  // Messages not acknowledged, held ones included.
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
  bool Load(bool existed, std::string& error);
  bool Parse(const std::string& text, std::string& error);
  bool MoveAside(const std::string& why, std::string& error);
  bool Reserve(std::string& error);
  bool WriteHeldLocked(std::string& error);
  void WriteMark();
  void CompactLocked();
  void NotifyRoom();

  mutable std::mutex mutex_;
  std::string folder_, path_, markPath_, seqPath_, damage_;
  int fd_ = -1, markFd_ = -1, seqFd_ = -1, lockFd_ = -1, roomFd_ = -1;
  std::uint64_t limit_ = kDefaultLimit;
  std::size_t holdLimit_ = kDefaultHold;
  std::uint64_t next_ = 1, acked_ = 0;   // acked_: every seq up to it is acknowledged
  std::uint64_t reserved_ = 0;           // the highest number <name>.seq allows
  std::uint64_t head_ = 0;               // where the first pending line starts
  std::uint64_t deadBytes_ = 0;          // acknowledged lines still taking space
  std::uint64_t compactAt_ = 0;          // after a failed compaction: when to try again
  std::uint64_t fileSize_ = 0;
  bool dirty_ = false;                   // appended since the last Sync
  std::uint64_t pendingBytes_ = 0;
  std::deque<Entry> entries_;            // pending, in order
  std::deque<Entry> held_;               // not in the file yet, in order, after entries_
  std::size_t taken_ = 0;                // entries_ handed out since the last Rewind
};

}  // namespace qv::platform
