#include "platform/mqtt/spool.h"

#include "platform/system/internal/fileio.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace qv::platform {

namespace {

// Acknowledged lines at the head of the file that make giving their space back worth it.
constexpr std::uint64_t kCompactBytes = 64 * 1024;
constexpr std::uint64_t kBlock = 4096;

std::string Reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool ParseSeq(std::string_view text, std::uint64_t& out) {
  if (text.empty() || text.size() > 20) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

std::string Line(std::uint64_t seq, std::string_view payload) {
  std::string line = std::to_string(seq);
  line += ' ';
  line += payload;
  line += '\n';
  return line;
}

// The first number in a small file of our own (0 when there is none).
std::uint64_t ReadNumber(int fd) {
  char text[64] = {};
  std::uint64_t n = 0;
  if (pread(fd, text, sizeof text - 1, 0) > 0) std::sscanf(text, "%20lu", &n);
  return n;
}

void SyncFolder(const std::string& folder) {
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  fsync(dir);
  close(dir);
}

}  // namespace

Spool::~Spool() {
  for (int fd : {fd_, markFd_, seqFd_, roomFd_, lockFd_})
    if (fd >= 0) close(fd);
}

bool Spool::Open(const std::string& folder, const std::string& name, std::uint64_t limitBytes,
                 std::string& error, std::size_t holdLimit) {
  std::lock_guard lock(mutex_);
  folder_ = folder;
  path_ = folder + "/" + name + ".spool";
  markPath_ = folder + "/" + name + ".acked";
  seqPath_ = folder + "/" + name + ".seq";
  limit_ = limitBytes;
  holdLimit_ = std::max<std::size_t>(holdLimit, 1);
  if (!MakeFolders(folder)) {
    error = Reason("cannot make the spool folder", folder);
    return false;
  }
  // One program per spool: two would hand out the same numbers and acknowledge each other's.
  const std::string lockPath = folder + "/" + name + ".lock";
  lockFd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd_ < 0) {
    error = Reason("cannot open", lockPath);
    return false;
  }
  if (flock(lockFd_, LOCK_EX | LOCK_NB) < 0) {
    const std::uint64_t pid = ReadNumber(lockFd_);
    error = errno == EWOULDBLOCK
                ? "the spool " + path_ + " is in use by another station (pid " + std::to_string(pid) +
                      "): one station per port; end that one first"
                : Reason("cannot lock", lockPath);
    return false;
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(lockFd_, 0) < 0 || !WriteAll(lockFd_, pid, 0)) {
  }  // the pid is for messages only: a full disk must not stop the station
  roomFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  markFd_ = open(markPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  seqFd_ = open(seqPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (roomFd_ < 0 || markFd_ < 0 || seqFd_ < 0) {
    error = Reason("cannot open", markFd_ < 0 ? markPath_ : seqFd_ < 0 ? seqPath_ : "an eventfd for");
    return false;
  }
  const bool existed = access(path_.c_str(), F_OK) == 0;
  fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    error = Reason("cannot open", path_);
    return false;
  }
  return Load(existed, error);
}

bool Spool::Load(bool existed, std::string& error) {
  // The mark: both copies agree, or it is taken as nothing acknowledged (a torn write).
  char mark[64] = {};
  std::uint64_t a = 0, b = 0;
  if (pread(markFd_, mark, sizeof mark - 1, 0) > 0 && std::sscanf(mark, "%20lu %20lu", &a, &b) == 2 && a == b)
    acked_ = a;
  reserved_ = ReadNumber(seqFd_);
  // The head may be a hole: start at the first data.
  const off_t data = lseek(fd_, 0, SEEK_DATA);
  off_t at = data >= 0 ? data : errno == ENXIO ? lseek(fd_, 0, SEEK_END) : 0;  // ENXIO: holes only
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t n = pread(fd_, buf, sizeof buf, at + off_t(text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = Reason("cannot read", path_);
      return false;
    }
    if (n == 0) break;
    text.append(buf, std::size_t(n));
  }
  // What is left of a hole within the first block.
  const std::size_t start = std::min(text.find_first_not_of('\0'), text.size());
  text.erase(0, start);
  at += off_t(start);
  // A line without its line feed was being written when the program or the machine stopped:
  // it was never handed out, so it goes.
  const std::size_t whole = text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1;
  if (whole < text.size() && ftruncate(fd_, at + off_t(whole)) < 0) {
    error = Reason("cannot cut the unfinished last line of", path_);
    return false;
  }
  text.resize(whole);
  fileSize_ = std::uint64_t(at) + whole;
  head_ = std::uint64_t(at);
  std::string why;
  if (!Parse(text, why) && !MoveAside(why, error)) return false;
  // A spool that is gone took its numbers with it: go on above all that were reserved.
  if (!existed || !damage_.empty()) next_ = std::max(next_, reserved_ + 1);
  // Both small files get their blocks now: on a disk that fills up later they are written
  // in place.
  WriteMark();
  std::string ignored;
  if (next_ > reserved_) Reserve(ignored);
  if (deadBytes_ >= kCompactBytes) CompactLocked();
  return true;
}

bool Spool::Parse(const std::string& text, std::string& why) {
  const std::uint64_t base = head_;  // where text starts in the file
  std::uint64_t last = 0, fileNext = 0;
  std::size_t lineNo = 0;
  bool pending = false;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    const std::string_view line(text.data() + at, end - at);
    const std::uint64_t offset = base + at;
    at = end + 1;
    ++lineNo;
    std::uint64_t seq = 0;
    if (line.starts_with("#next ") && ParseSeq(line.substr(6), seq)) {
      fileNext = std::max(fileNext, seq);
      continue;
    }
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos || !ParseSeq(line.substr(0, space), seq) || seq <= last) {
      why = "is damaged at line " + std::to_string(lineNo) +
            " (not a sequence number above the one before and a message)";
      return false;
    }
    last = seq;
    next_ = std::max(next_, seq + 1);  // even in a file found damaged further on
    if (seq <= acked_) continue;
    if (!pending) head_ = offset;
    pending = true;
    entries_.push_back({seq, std::string(line.substr(space + 1))});
    pendingBytes_ += line.size() + 1;
  }
  if (!pending) head_ = fileSize_;
  const std::uint64_t end = std::max(last, fileNext ? fileNext - 1 : 0);
  if (!text.empty() && acked_ > end) {
    why = "does not reach its acknowledged mark (" + std::to_string(acked_) + " in " + markPath_ +
          ", the last message is " + std::to_string(end) + ")";
    return false;
  }
  deadBytes_ = head_ - base;
  next_ = std::max({next_, acked_ + 1, fileNext, last + 1});
  return true;
}

bool Spool::MoveAside(const std::string& why, std::string& error) {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", gmtime_r(&now, &tm));
  std::string aside = path_ + ".damaged-" + stamp;
  for (int i = 2; access(aside.c_str(), F_OK) == 0; ++i) aside = path_ + ".damaged-" + stamp + "-" + std::to_string(i);
  if (rename(path_.c_str(), aside.c_str()) < 0) {
    error = path_ + " " + why + ", and it cannot be moved aside: " + std::strerror(errno);
    return false;
  }
  close(fd_);
  fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    error = Reason("cannot open", path_);
    return false;
  }
  SyncFolder(folder_);
  damage_ = path_ + " " + why + ": moved aside to " + aside + "; a new spool is started";
  next_ = std::max(next_, acked_ + 1);
  entries_.clear();
  pendingBytes_ = fileSize_ = head_ = deadBytes_ = 0;
  return true;
}

bool Spool::Reserve(std::string& error) {
  char text[32];
  const std::uint64_t upTo = next_ + kReserve;
  const int n = std::snprintf(text, sizeof text, "%020lu\n", upTo);
  // Overwritten in place, so a full disk takes it once the file has its block.
  if (!WriteAll(seqFd_, std::string_view(text, std::size_t(n)), 0) || fdatasync(seqFd_) < 0) {
    error = Reason("cannot write", seqPath_);
    return false;
  }
  reserved_ = upTo;
  return true;
}

std::uint64_t Spool::NextSeq() const {
  std::lock_guard lock(mutex_);
  return next_;
}

Spool::AppendResult Spool::Append(std::string_view payload, std::string& error) {
  std::lock_guard lock(mutex_);
  if (payload.find('\n') != std::string_view::npos) {
    error = "a message for the spool holds a line feed";
    return AppendResult::Failed;
  }
  held_.push_back({next_++, std::string(payload)});
  return WriteHeldLocked(error) ? AppendResult::Ok : AppendResult::Held;
}

bool Spool::WriteHeld(std::string& error) {
  std::lock_guard lock(mutex_);
  return WriteHeldLocked(error);
}

bool Spool::WriteHeldLocked(std::string& error) {
  bool moved = false;
  while (!held_.empty()) {
    Entry& e = held_.front();
    const std::string line = Line(e.seq, e.payload);
    if (pendingBytes_ + line.size() > limit_) {
      error = "the spool " + path_ + " is full (" + std::to_string(limit_ >> 20) +
              " MiB the broker has not acknowledged; --spool-size sets it)";
      break;
    }
    if (e.seq > reserved_ && !Reserve(error)) break;
    if (!WriteAll(fd_, line)) {
      error = Reason("cannot write to", path_);
      // Take back a part written before the disk filled up, so the file stays whole lines.
      if (ftruncate(fd_, off_t(fileSize_)) < 0) {
      }
      break;
    }
    fileSize_ += line.size();
    pendingBytes_ += line.size();
    entries_.push_back(std::move(e));
    held_.pop_front();
    dirty_ = moved = true;
  }
  if (moved) NotifyRoom();
  return held_.empty();
}

std::size_t Spool::Held() const {
  std::lock_guard lock(mutex_);
  return held_.size();
}

std::vector<Spool::Record> Spool::HeldRecords() const {
  std::lock_guard lock(mutex_);
  std::vector<Record> out;
  for (const Entry& e : held_) out.push_back({e.seq, e.payload});
  return out;
}

bool Spool::HeldFull() const {
  std::lock_guard lock(mutex_);
  return held_.size() >= holdLimit_;
}

void Spool::NotifyRoom() {
  const std::uint64_t one = 1;
  if (write(roomFd_, &one, sizeof one) < 0) {
  }
}

bool Spool::WaitForRoom(int cancelFd) {
  while (HeldFull()) {
    pollfd p[2] = {{roomFd_, POLLIN, 0}, {cancelFd, POLLIN, 0}};
    if (poll(p, cancelFd >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) return false;
    if (p[1].revents) return false;
    std::uint64_t n;
    if (p[0].revents && read(roomFd_, &n, sizeof n) < 0) {
    }
  }
  return true;
}

bool Spool::Sync(std::string& error) {
  int fd = -1;
  {
    std::lock_guard lock(mutex_);
    if (!dirty_) return true;
    dirty_ = false;
    fd = fd_;
  }
  // Outside the lock: the reader appends meanwhile. The descriptor is only replaced by Open.
  if (fdatasync(fd) < 0) {
    error = Reason("cannot save", path_);
    return false;
  }
  return true;
}

std::vector<Spool::Record> Spool::Take(std::size_t max) {
  std::lock_guard lock(mutex_);
  std::vector<Record> out;
  for (; taken_ < entries_.size() && out.size() < max; ++taken_)
    if (!entries_[taken_].acked) out.push_back({entries_[taken_].seq, entries_[taken_].payload});
  return out;
}

void Spool::Rewind() {
  std::lock_guard lock(mutex_);
  taken_ = 0;
}

void Spool::Ack(std::uint64_t seq) {
  std::lock_guard lock(mutex_);
  auto it = std::lower_bound(entries_.begin(), entries_.end(), seq,
                             [](const Entry& e, std::uint64_t s) { return e.seq < s; });
  if (it == entries_.end() || it->seq != seq) return;  // already gone: a duplicate ack
  it->acked = true;
  const std::uint64_t before = acked_;
  while (!entries_.empty() && entries_.front().acked) {
    const std::uint64_t size = Line(entries_.front().seq, entries_.front().payload).size();
    deadBytes_ += size;
    pendingBytes_ -= size;
    head_ += size;
    acked_ = entries_.front().seq;
    entries_.pop_front();
    if (taken_) --taken_;
  }
  if (acked_ == before) return;
  WriteMark();
  // Messages held for want of room get the space of acknowledged ones at once.
  if (deadBytes_ >= std::max(kCompactBytes, compactAt_) || (!held_.empty() && deadBytes_ >= kBlock)) CompactLocked();
  // Room under the limit lets held messages in.
  std::string ignored;
  if (!held_.empty()) WriteHeldLocked(ignored);
}

void Spool::WriteMark() {
  char mark[48];
  const int n = std::snprintf(mark, sizeof mark, "%020lu %020lu\n", acked_, acked_);
  // One small write at the start of the file; no sync (see the header).
  if (pwrite(markFd_, mark, std::size_t(n), 0) < 0) {
  }
}

void Spool::CompactLocked() {
  if (entries_.empty()) {
    // Nothing pending in the file: it starts again, with the number that comes next (a held
    // message's, when one waits).
    const std::string header = "#next " + std::to_string(held_.empty() ? next_ : held_.front().seq) + "\n";
    if (ftruncate(fd_, 0) < 0) {
      compactAt_ = deadBytes_ * 2;
      return;
    }
    fileSize_ = WriteAll(fd_, header) ? header.size() : 0;
    if (!fileSize_ && ftruncate(fd_, 0) < 0) {
    }
    head_ = fileSize_;
  } else if (fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, off_t(head_)) < 0) {
    // A filesystem without holes keeps the lines; tried again when twice as much has piled up.
    compactAt_ = deadBytes_ * 2;
    return;
  }
  deadBytes_ = 0;
  compactAt_ = 0;
}

std::size_t Spool::Pending() const {
  std::lock_guard lock(mutex_);
  return entries_.size() + held_.size();
}

std::uint64_t Spool::PendingBytes() const {
  std::lock_guard lock(mutex_);
  return pendingBytes_;
}

}  // namespace qv::platform
