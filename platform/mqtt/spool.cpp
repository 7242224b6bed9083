#include "platform/mqtt/spool.h"

#include "platform/system/internal/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace qv::platform {

namespace {

// Acknowledged lines at the head of the file that make a rewrite worth its syncs.
constexpr std::uint64_t kCompactBytes = 64 * 1024;

std::string Reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool ParseSeq(std::string_view text, std::uint64_t& out) {
  if (text.empty() || text.size() > 20) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

void SyncFolder(const std::string& folder) {
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  fsync(dir);
  close(dir);
}

std::string Line(std::uint64_t seq, std::string_view payload) {
  std::string line = std::to_string(seq);
  line += ' ';
  line += payload;
  line += '\n';
  return line;
}

}  // namespace

Spool::~Spool() {
  if (fd_ >= 0) close(fd_);
  if (markFd_ >= 0) close(markFd_);
}

bool Spool::Open(const std::string& folder, const std::string& name, std::uint64_t limitBytes,
                 std::string& error) {
  std::lock_guard lock(mutex_);
  folder_ = folder;
  path_ = folder + "/" + name + ".spool";
  markPath_ = folder + "/" + name + ".acked";
  limit_ = limitBytes;
  if (!MakeFolders(folder)) {
    error = Reason("cannot make the spool folder", folder);
    return false;
  }
  markFd_ = open(markPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (markFd_ < 0) {
    error = Reason("cannot open", markPath_);
    return false;
  }
  fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    error = Reason("cannot open", path_);
    return false;
  }
  return Load(error);
}

bool Spool::Load(std::string& error) {
  // The mark: both copies agree, or it is taken as nothing acknowledged (a torn write).
  char mark[64] = {};
  const ssize_t m = pread(markFd_, mark, sizeof mark - 1, 0);
  std::uint64_t a = 0, b = 0;
  if (m > 0 && std::sscanf(mark, "%20lu %20lu", &a, &b) == 2 && a == b) acked_ = a;
  std::string text;
  char buf[65536];
  for (off_t at = 0;;) {
    const ssize_t n = pread(fd_, buf, sizeof buf, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = Reason("cannot read", path_);
      return false;
    }
    if (n == 0) break;
    text.append(buf, std::size_t(n));
    at += n;
  }
  // A line without its line feed was being written when the program or the machine stopped:
  // it was never handed out, so it goes.
  const std::size_t whole = text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1;
  if (whole < text.size() && ftruncate(fd_, off_t(whole)) < 0) {
    error = Reason("cannot cut the unfinished last line of", path_);
    return false;
  }
  fileSize_ = whole;
  next_ = acked_ + 1;
  std::uint64_t last = 0;
  std::size_t lineNo = 0;
  for (std::size_t at = 0; at < whole;) {
    const std::size_t end = text.find('\n', at);
    std::string_view line(text.data() + at, end - at);
    at = end + 1;
    ++lineNo;
    std::uint64_t seq = 0;
    if (line.starts_with("#next ") && ParseSeq(line.substr(6), seq)) {
      next_ = std::max(next_, seq);
      deadBytes_ += line.size() + 1;
      continue;
    }
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos || !ParseSeq(line.substr(0, space), seq) || seq <= last) {
      error = path_ + " is damaged at line " + std::to_string(lineNo) +
              " (not a sequence number above the one before and a message): move it away to start "
              "an empty spool";
      return false;
    }
    last = seq;
    next_ = std::max(next_, seq + 1);
    if (seq <= acked_) {
      deadBytes_ += line.size() + 1;
      continue;
    }
    entries_.push_back({seq, std::string(line.substr(space + 1))});
    pendingBytes_ += line.size() + 1;
  }
  if (deadBytes_ >= kCompactBytes) CompactLocked();
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
  const std::string line = Line(next_, payload);
  if (pendingBytes_ + line.size() > limit_) return AppendResult::Full;
  if (!WriteAll(fd_, line)) {
    error = Reason("cannot write to", path_);
    // Take back a part written before the disk filled up, so the file stays whole lines.
    if (ftruncate(fd_, off_t(fileSize_)) < 0) {
    }
    return AppendResult::Failed;
  }
  fileSize_ += line.size();
  pendingBytes_ += line.size();
  entries_.push_back({next_++, std::string(payload)});
  dirty_ = true;
  return AppendResult::Ok;
}

bool Spool::Sync(std::string& error) {
  int fd = -1;
  {
    std::lock_guard lock(mutex_);
    if (!dirty_) return true;
    dirty_ = false;
    fd = fd_;
  }
  // Outside the lock: the reader appends meanwhile. Only this thread replaces the descriptor
  // (Ack compacts), so it stays open.
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
    acked_ = entries_.front().seq;
    entries_.pop_front();
    if (taken_) --taken_;
  }
  if (acked_ == before) return;
  WriteMark();
  if (deadBytes_ >= std::max(kCompactBytes, compactAt_)) CompactLocked();
}

void Spool::WriteMark() {
  char mark[48];
  const int n = std::snprintf(mark, sizeof mark, "%020lu %020lu\n", acked_, acked_);
  // One small write at the start of the file; no sync (see the header).
  if (pwrite(markFd_, mark, std::size_t(n), 0) < 0) {
  }
}

void Spool::CompactLocked() {
  const std::string tmp = path_ + ".tmp";
  std::string text = "#next " + std::to_string(next_) + "\n";
  for (const Entry& e : entries_)
    if (!e.acked) text += Line(e.seq, e.payload);
  const int fd = open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0 || !WriteAll(fd, text) || fdatasync(fd) < 0 ||
      rename(tmp.c_str(), path_.c_str()) < 0) {
    // The old file is still whole; try again when twice as much has piled up.
    if (fd >= 0) close(fd);
    unlink(tmp.c_str());
    compactAt_ = deadBytes_ * 2;
    return;
  }
  SyncFolder(folder_);
  close(fd_);
  fd_ = fd;
  fileSize_ = text.size();
  // Acknowledged ones behind a pending one are not in the new file.
  std::size_t takenGone = 0;
  for (std::size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].acked) {
      pendingBytes_ -= Line(entries_[i].seq, entries_[i].payload).size();
      if (i < taken_) ++takenGone;
    }
  std::erase_if(entries_, [](const Entry& e) { return e.acked; });
  taken_ -= takenGone;
  deadBytes_ = 0;
  compactAt_ = 0;
  dirty_ = false;
}

std::size_t Spool::Pending() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

std::uint64_t Spool::PendingBytes() const {
  std::lock_guard lock(mutex_);
  return pendingBytes_;
}

}  // namespace qv::platform
