#include "platform/system/logfiles.h"

#include "platform/system/internal/fileio.h"
#include "platform/system/regstore.h"
#include "platform/testhooks.h"
#include "platform/win32/winbase.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

BOOL DeleteFileA(const char* FileName) {
  if (unlink(FileName) == 0) return TRUE;
  qv::platform::SetLastErrorFromErrno(errno);
  return FALSE;
}

namespace qv::platform {

namespace {

std::mutex g_mutex;
std::optional<std::string> g_exe;                  // injected or read once
std::map<std::string, std::string> g_sideFolders;  // program folder -> folder for its files
std::function<void(int)> g_cutHook;                // tests: stops a cut at a stage

std::string ReadExeLink() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string path(buf, std::size_t(n));
  constexpr std::string_view deleted = " (deleted)";
  if (path.ends_with(deleted)) path.resize(path.size() - deleted.size());
  return path;
}

// Whether this process can create a file in the folder. Root passes every permission check,
// so the folder is tried for real: an unnamed file where the file system supports one, else a
// named probe that is removed again.
bool CanCreateIn(const std::string& folder) {
  int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    close(fd);
    return true;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
  std::string probe = folder + ".qvcomm-probe-" + std::to_string(getpid());
  fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  close(fd);
  unlink(probe.c_str());
  return true;
}

std::string StateFolder() {
  const std::string base = UserBaseFolder("XDG_STATE_HOME", ".local/state");
  std::string folder = base + "/qvcomm/";
  // Every missing level; a failure shows later as a write that fails with this name.
  MakeFolders(folder);
  return folder;
}

// Shrinks the file back to size after a write that failed part-way, keeping errno. When even
// that fails the fragment stays: nothing better can be done on that file system.
void TakeBack(int fd, off_t size) {
  const int err = errno;
  [[maybe_unused]] const int r = ftruncate(fd, size);
  errno = err;
}

// The file a symlinked log name leads to, so that a cut replaces the target and keeps the link;
// otherwise the name itself. Empty when it cannot be resolved.
std::string CutTarget(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return {};
  if (!S_ISLNK(st.st_mode)) return path;
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return {};
  std::string target(real);
  std::free(real);
  return target;
}

// Puts the file named temp in target's place. Exchanging the two names, then removing the old
// contents under the temporary name, spares the per-cut writeback that some file systems (ext4)
// start when a rename replaces a file, and that a later cut would then wait for. Where names
// cannot be exchanged, a plain rename. Either way the name always holds old or new contents.
bool SwapInto(const std::string& temp, const std::string& target) {
  if (g_cutHook) g_cutHook(1);
  if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
    if (g_cutHook) g_cutHook(2);
    unlink(temp.c_str());
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
  return rename(temp.c_str(), target.c_str()) == 0;
}

// The one name a cut gives the new contents beside target before they take its place. One fixed
// name, not a unique one, so that what a writer killed in a cut leaves behind is found by the
// next writer at no cost (RemoveCutLeftover). A link or file planted there is never followed:
// the name is removed, or made with linkat or O_EXCL | O_NOFOLLOW, which fail on it.
std::string CutName(const std::string& target) {
  const std::size_t slash = target.rfind('/');
  const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  return target.substr(0, base) + "." + target.substr(base) + ".cut";
}

// Removes what a writer killed in the middle of a cut left under the cut name: the new contents
// before they took the log's name (the log still holds every line it had), or the old contents
// after. Called with the lock on the file the log's name holds: a live cut holds that lock until
// it has named its new contents, and then the lock on those until the old ones' name is gone, so
// no live cut owns the name then.
void RemoveCutLeftover(const std::string& path) {
  const std::string target = CutTarget(path);
  if (!target.empty()) unlink(CutName(target).c_str());
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens Path and takes the lock; when the name was renamed over while waiting for the lock,
// the new file is opened instead. Blocking readers wait; a writer tries for about a second.
int OpenLocked(const std::string& path, int flags, int lockOp, struct stat& st) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd = open(path.c_str(), flags, 0666);
    if (fd < 0) return -1;
    int waited = 0;
    while (flock(fd, lockOp) != 0) {
      if ((errno != EWOULDBLOCK && errno != EINTR) || ++waited > 200) {
        int err = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        errno = err;
        return -1;
      }
      if (errno == EWOULDBLOCK) usleep(5000);
    }
    struct stat named;
    if (fstat(fd, &st) == 0 && stat(path.c_str(), &named) == 0 && SameFile(st, named)) return fd;
    close(fd);  // replaced or removed meanwhile: take the file the name holds now
  }
  errno = EBUSY;
  return -1;
}

// The last error for a file call that failed with err, in the system's own words ("No space
// left on device"), which say more about a file than the nearest Windows error does.
void SetFileError(int err) { SetLastErrorText(ErrorFromErrno(err), std::strerror(err)); }

}  // namespace

std::string ExeFileName() {
  std::lock_guard guard(g_mutex);
  if (!g_exe) g_exe = ReadExeLink();
  return *g_exe;
}

bool ProgramInstalled(const std::string& exe) {
  // This build's own programs are not installed, wherever the tree is.
  if (exe.starts_with(QV_BUILD_DIR "/")) return false;
  for (std::string_view prefix : {"/usr/", "/bin/", "/sbin/", "/opt/", QV_INSTALL_PREFIX "/"})
    if (exe.starts_with(prefix)) return true;
  return false;
}

std::string ProgramSideFolder() {
  std::string exe = ExeFileName();
  std::string folder = exe.substr(0, exe.rfind('/') + 1);
  if (folder.empty()) folder = "./";
  std::lock_guard guard(g_mutex);
  auto it = g_sideFolders.find(folder);
  if (it == g_sideFolders.end()) {
    std::string side;
    if (ProgramInstalled(exe)) {
      // A system folder is no place for a user's files, even for root, who could write there.
      const std::string name = exe.substr(exe.rfind('/') + 1);
      side = UserBaseFolder("XDG_STATE_HOME", ".local/state") + "/" + name + "/";
      MakeFolders(side);
    } else {
      side = CanCreateIn(folder) ? folder : StateFolder();
    }
    it = g_sideFolders.emplace(folder, side).first;
  }
  return it->second;
}

void InjectExeFileName(const char* Path) {
  std::lock_guard guard(g_mutex);
  if (Path)
    g_exe = Path;
  else
    g_exe.reset();
  g_sideFolders.clear();
}

void SetLogCutHook(std::function<void(int stage)> hook) { g_cutHook = std::move(hook); }

// ---- TLogFileWriter ---------------------------------------------------------------------------

TLogFileWriter::~TLogFileWriter() { Close(); }

bool TLogFileWriter::Open(const std::string& Path) {
  Close();
  // Every writer locks, shared option or not: a cut reads the file and writes it anew, and a
  // line another writer appended in between would be lost.
  struct stat st;
  fd_ = OpenLocked(Path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, LOCK_EX | LOCK_NB, st);
  if (fd_ < 0) {
    SetFileError(errno);
    return false;
  }
  path_ = Path;
  RemoveCutLeftover(Path);
  size_ = std::uint64_t(st.st_size);
  mode_ = st.st_mode & 07777;
  uid_ = st.st_uid;
  gid_ = st.st_gid;
  links_ = st.st_nlink;
  return true;
}

bool TLogFileWriter::Current() const {
  struct stat own, named;
  return fd_ >= 0 && fstat(fd_, &own) == 0 && stat(path_.c_str(), &named) == 0 && SameFile(own, named);
}

bool TLogFileWriter::Size(std::uint64_t& Value) const {
  if (fd_ < 0) return false;
  Value = size_;
  return true;
}

bool TLogFileWriter::Append(std::string_view Data) {
  if (fd_ < 0) return false;
  const std::size_t done = WriteOut(fd_, Data);
  if (done == Data.size()) return true;
  // The lock keeps other writers out, so what this write added ends the file.
  if (done > 0) TakeBack(fd_, off_t(size_));
  SetFileError(errno);
  return false;
}

bool TLogFileWriter::ReplaceKeepingTail(std::uint64_t Keep, std::string_view Data) {
  if (fd_ < 0) return false;
  if (Keep > size_) Keep = size_;
  std::string tail(std::size_t(Keep), '\0');
  std::size_t got = 0;
  while (got < tail.size()) {
    ssize_t n = pread(fd_, tail.data() + got, tail.size() - got, off_t(size_ - Keep + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      SetFileError(n < 0 ? errno : EIO);
      return false;
    }
    got += std::size_t(n);
  }
  if (CutByRename(tail, Data) || CutInPlace(tail, Data)) return true;
  SetFileError(errno ? errno : EIO);
  return false;
}

bool TLogFileWriter::CutByRename(std::string_view Tail, std::string_view Data) {
  // A new file would change the owner, split hard links or drop an access list: those logs
  // are cut in place.
  if (uid_ != geteuid() || links_ != 1) return false;
  if (fgetxattr(fd_, "system.posix_acl_access", nullptr, 0) >= 0) return false;
  const std::string target = CutTarget(path_);
  if (target.empty()) return false;
  if (target != path_) {
    struct stat named, own;
    if (stat(target.c_str(), &named) != 0 || fstat(fd_, &own) != 0 || !SameFile(named, own)) return false;
  }
  const std::size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  // An unnamed file leaves nothing behind when the program dies before it has all the contents;
  // it gets the cut name only then. Without that support, the cut name from the start.
  const std::string named = CutName(target);
  bool linked = false;
  int out = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (out < 0) {
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
    out = open(named.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) return false;
    linked = true;
  }
  // Locked from before it has a name until the old contents' name is gone: a writer that opens
  // the log meanwhile waits, so it never takes this cut's name for a leftover.
  bool ok = flock(out, LOCK_EX) == 0 && WriteAll(out, Tail) && WriteAll(out, Data) &&
            fchown(out, uid_t(-1), gid_t(gid_)) == 0 && fchmod(out, mode_t(mode_)) == 0;
  if (ok && !linked) {
    // linkat never follows a link planted at the new name: it fails with EEXIST.
    const std::string self = "/proc/self/fd/" + std::to_string(out);
    ok = linked = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, named.c_str(), AT_SYMLINK_FOLLOW) == 0;
  }
  ok = ok && SwapInto(named, target);
  if (!ok && linked) unlink(named.c_str());
  close(out);
  return ok;
}

bool TLogFileWriter::CutInPlace(std::string_view Tail, std::string_view Data) {
  // Positioned writes need the descriptor out of append mode (Linux appends them otherwise).
  const int flags = fcntl(fd_, F_GETFL);
  if (flags < 0 || fcntl(fd_, F_SETFL, flags & ~O_APPEND) != 0) return false;
  const off_t keep = off_t(Tail.size());
  if (!WriteAll(fd_, Tail, 0) || ftruncate(fd_, keep) != 0) return false;
  if (WriteAll(fd_, Data, keep)) return true;
  TakeBack(fd_, keep);
  return false;
}

void TLogFileWriter::Close() {
  if (fd_ >= 0) close(fd_);  // also releases the lock
  fd_ = -1;
  path_.clear();
}

bool ReadSharedFile(const std::string& Path, std::string& Content) {
  struct stat st;
  int fd = OpenLocked(Path, O_RDONLY | O_CLOEXEC, LOCK_SH, st);
  if (fd < 0) {
    SetFileError(errno);
    return false;
  }
  Content.clear();
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) SetFileError(errno);
      close(fd);
      return n == 0;
    }
    Content.append(buf, std::size_t(n));
  }
}

}  // namespace qv::platform
