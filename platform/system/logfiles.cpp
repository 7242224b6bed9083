#include "platform/system/logfiles.h"

#include "platform/system/regstore.h"
#include "platform/testhooks.h"
#include "platform/win32/winbase.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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
  // Create every missing level; a failure shows later as a write that fails with this name.
  for (std::size_t pos = 1; (pos = folder.find('/', pos)) != std::string::npos; ++pos)
    mkdir(folder.substr(0, pos).c_str(), 0700);
  return folder;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(std::size_t(n));
  }
  return true;
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

}  // namespace

std::string ExeFileName() {
  std::lock_guard guard(g_mutex);
  if (!g_exe) g_exe = ReadExeLink();
  return *g_exe;
}

std::string ProgramSideFolder() {
  std::string exe = ExeFileName();
  std::string folder = exe.substr(0, exe.rfind('/') + 1);
  if (folder.empty()) folder = "./";
  std::lock_guard guard(g_mutex);
  auto it = g_sideFolders.find(folder);
  if (it == g_sideFolders.end())
    it = g_sideFolders.emplace(folder, CanCreateIn(folder) ? folder : StateFolder()).first;
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

// ---- TLogFileWriter ---------------------------------------------------------------------------

TLogFileWriter::~TLogFileWriter() { Close(); }

bool TLogFileWriter::Open(const std::string& Path, bool Shared) {
  Close();
  constexpr int flags = O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC;
  if (Shared) {
    struct stat st;
    fd_ = OpenLocked(Path, flags, LOCK_EX | LOCK_NB, st);
    if (fd_ >= 0) {
      knownSize_ = std::uint64_t(st.st_size);
      mode_ = st.st_mode & 07777;
      sizeKnown_ = true;
    }
  } else {
    fd_ = open(Path.c_str(), flags, 0666);
  }
  if (fd_ < 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  path_ = Path;
  return true;
}

bool TLogFileWriter::Size(std::uint64_t& Value) {
  if (fd_ < 0) return false;
  if (!sizeKnown_) {
    struct stat st;
    if (fstat(fd_, &st) != 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    knownSize_ = std::uint64_t(st.st_size);
    mode_ = st.st_mode & 07777;
    sizeKnown_ = true;
  }
  Value = knownSize_;
  return true;
}

bool TLogFileWriter::Append(std::string_view Data) {
  if (fd_ < 0) return false;
  if (!WriteAll(fd_, Data)) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool TLogFileWriter::ReplaceKeepingTail(std::uint64_t Keep, std::string_view Data) {
  std::uint64_t size = 0;
  if (!Size(size)) return false;
  if (Keep > size) Keep = size;
  std::string contents(std::size_t(Keep), '\0');
  std::size_t got = 0;
  while (got < contents.size()) {
    ssize_t n = pread(fd_, contents.data() + got, contents.size() - got, off_t(size - Keep + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      SetLastErrorFromErrno(n < 0 ? errno : EIO);
      return false;
    }
    got += std::size_t(n);
  }
  contents.append(Data);
  std::string tmp = path_ + ".tmp";
  int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  bool ok = WriteAll(out, contents) && fchmod(out, mode_ ? mode_ : 0644) == 0 && fsync(out) == 0;
  int err = errno;
  ok = close(out) == 0 && ok;
  if (ok && rename(tmp.c_str(), path_.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlink(tmp.c_str());
    SetLastErrorFromErrno(err ? err : EIO);
  }
  return ok;
}

void TLogFileWriter::Close() {
  if (fd_ >= 0) close(fd_);  // also releases the lock
  fd_ = -1;
  sizeKnown_ = false;
  path_.clear();
}

bool ReadSharedFile(const std::string& Path, std::string& Content) {
  struct stat st;
  int fd = OpenLocked(Path, O_RDONLY | O_CLOEXEC, LOCK_SH, st);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  Content.clear();
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) SetLastErrorFromErrno(errno);
      close(fd);
      return n == 0;
    }
    Content.append(buf, std::size_t(n));
  }
}

}  // namespace qv::platform
