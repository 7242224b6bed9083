#include "platform/system/regstore.h"

#include "platform/system/internal/fileio.h"
#include "platform/system/signals.h"
#include "platform/system/winreg.h"
#include "platform/testhooks.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace qv::platform {

// ---- Names ---------------------------------------------------------------------------------

std::string RegFold(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

bool RegSplitPath(std::string_view path, std::vector<std::string>& parts) {
  parts.clear();
  if (path.empty()) return true;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = path.find('\\', start);
    std::string_view part = path.substr(start, end == std::string_view::npos ? end : end - start);
    if (part.empty() || part.size() > 255) return false;
    for (unsigned char c : part)
      if (c < 0x20 || c == 0x7F) return false;
    parts.emplace_back(part);
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

// ---- Hive ----------------------------------------------------------------------------------

bool RegNamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

const RegValue* RegKeyNode::FindValue(std::string_view name) const {
  for (const RegValue& v : values)
    if (RegNamesEqual(v.name, name)) return &v;
  return nullptr;
}

RegValue* RegKeyNode::FindValue(std::string_view name) {
  return const_cast<RegValue*>(std::as_const(*this).FindValue(name));
}

RegHive::RegHive() { keys_[""] = RegKeyNode{}; }

const RegKeyNode* RegHive::Find(std::string_view path) const {
  auto it = keys_.find(RegFold(path));
  return it == keys_.end() ? nullptr : &it->second;
}

RegKeyNode* RegHive::Find(std::string_view path) {
  auto it = keys_.find(RegFold(path));
  return it == keys_.end() ? nullptr : &it->second;
}

RegKeyNode& RegHive::Create(std::string_view path, bool* created) {
  if (created) *created = false;
  // Parents first, each keeping its existing spelling.
  std::string spelled;
  std::size_t start = 0;
  RegKeyNode* node = &keys_[""];
  while (start < path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    std::string candidate = spelled.empty() ? std::string(part) : spelled + "\\" + std::string(part);
    auto [it, inserted] = keys_.try_emplace(RegFold(candidate));
    if (inserted) {
      it->second.path = candidate;
      if (created && end == path.size()) *created = true;
    }
    node = &it->second;
    spelled = node->path;
    start = end + 1;
  }
  return *node;
}

bool RegHive::HasSubKeys(std::string_view path) const {
  std::string prefix = RegFold(path);
  if (!prefix.empty()) prefix += '\\';
  auto it = keys_.upper_bound(prefix);
  if (prefix.empty()) return it != keys_.end();
  return it != keys_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

bool RegHive::Erase(std::string_view path) {
  if (path.empty()) return false;
  return keys_.erase(RegFold(path)) > 0;
}

std::vector<const RegKeyNode*> RegHive::Keys() const {
  // Sorting by folded path puts "a" before "a\b" but could put "a b" between them; order by
  // components instead so every parent precedes its children.
  std::vector<const RegKeyNode*> out;
  out.reserve(keys_.size());
  for (const auto& [folded, node] : keys_) out.push_back(&node);
  std::stable_sort(out.begin(), out.end(), [](const RegKeyNode* a, const RegKeyNode* b) {
    std::string fa = RegFold(a->path), fb = RegFold(b->path);
    for (char& c : fa)
      if (c == '\\') c = '\1';
    for (char& c : fb)
      if (c == '\\') c = '\1';
    return fa < fb;
  });
  return out;
}

// ---- Text form -----------------------------------------------------------------------------

namespace {

constexpr char kHex[] = "0123456789abcdef";

void AppendQuoted(std::string& out, const BYTE* p, std::size_t n) {
  out += '"';
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char c = p[i];
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += char(c);
        }
    }
  }
  out += '"';
}

void AppendQuoted(std::string& out, std::string_view s) {
  AppendQuoted(out, reinterpret_cast<const BYTE*>(s.data()), s.size());
}

void AppendHex(std::string& out, const std::vector<BYTE>& data) {
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i) out += ',';
    out += kHex[data[i] >> 4];
    out += kHex[data[i] & 15];
  }
}

// Splits REG_MULTI_SZ data into its texts when the multi: form reproduces it exactly.
bool SplitMultiSz(const std::vector<BYTE>& data, std::vector<std::string>& texts) {
  texts.clear();
  if (data.empty() || data.back() != 0) return false;
  if (data.size() == 1) return true;
  std::string current;
  for (std::size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] == 0) {
      if (current.empty()) return false;
      texts.push_back(std::move(current));
      current.clear();
    } else {
      current += char(data[i]);
    }
  }
  return current.empty();  // the body must end with a NUL of its own
}

void AppendValue(std::string& out, const RegValue& v) {
  if (v.name.empty())
    out += '@';
  else
    AppendQuoted(out, v.name);
  out += '=';
  const auto& d = v.data;
  if (v.type == REG_DWORD && d.size() == 4) {
    DWORD x = DWORD(d[0]) | DWORD(d[1]) << 8 | DWORD(d[2]) << 16 | DWORD(d[3]) << 24;
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", unsigned(x));
    out += buf;
  } else if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && !d.empty() && d.back() == 0) {
    out += v.type == REG_SZ ? "sz:" : "expand:";
    AppendQuoted(out, d.data(), d.size() - 1);
  } else if (std::vector<std::string> texts; v.type == REG_MULTI_SZ && SplitMultiSz(d, texts)) {
    out += "multi:";
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (i) out += ',';
      AppendQuoted(out, texts[i]);
    }
  } else if (v.type == REG_BINARY) {
    out += "hex:";
    AppendHex(out, d);
  } else {
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", unsigned(v.type));
    out += buf;
    AppendHex(out, d);
  }
  out += '\n';
}

// A cursor over one line of the file.
struct LineParser {
  std::string_view s;
  std::size_t i = 0;
  std::string error;

  bool AtEnd() const { return i >= s.size(); }
  void SkipBlanks() {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  }
  bool Eat(char c) {
    SkipBlanks();
    if (i < s.size() && s[i] == c) {
      ++i;
      return true;
    }
    return false;
  }
  bool EatWord(std::string_view w) {
    if (s.substr(i, w.size()) == w) {
      i += w.size();
      return true;
    }
    return false;
  }
  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
  bool Quoted(std::string& out) {
    SkipBlanks();
    if (i >= s.size() || s[i] != '"') return Fail("expected a quoted text");
    ++i;
    out.clear();
    while (i < s.size() && s[i] != '"') {
      // Plain characters up to the next quote or escape, in one piece.
      std::size_t run = i;
      while (run < s.size() && s[run] != '"' && s[run] != '\\') ++run;
      if (run > i) {
        out.append(s.substr(i, run - i));
        i = run;
        continue;
      }
      ++i;
      if (i >= s.size()) return Fail("a backslash ends the line");
      char e = s[i++];
      switch (e) {
        case '\\': out += '\\'; break;
        case '"': out += '"'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'x': {
          int hi = i < s.size() ? HexDigit(s[i]) : -1;
          int lo = i + 1 < s.size() ? HexDigit(s[i + 1]) : -1;
          if (hi < 0 || lo < 0) return Fail("\\x needs two hex digits");
          out += char(hi << 4 | lo);
          i += 2;
          break;
        }
        default: return Fail(std::string("unknown escape \\") + e);
      }
    }
    if (i >= s.size()) return Fail("unterminated quoted text");
    ++i;
    return true;
  }
  bool HexBytes(std::vector<BYTE>& out) {
    out.clear();
    SkipBlanks();
    if (AtEnd()) return true;
    for (;;) {
      SkipBlanks();
      int hi = i < s.size() ? HexDigit(s[i]) : -1;
      int lo = i + 1 < s.size() ? HexDigit(s[i + 1]) : -1;
      if (hi < 0 || lo < 0) return Fail("expected a byte of two hex digits");
      out.push_back(BYTE(hi << 4 | lo));
      i += 2;
      SkipBlanks();
      if (AtEnd()) return true;
      if (s[i] != ',') return Fail("expected ',' between bytes");
      ++i;
    }
  }
  bool Fail(std::string why) {
    if (error.empty()) error = std::move(why);
    return false;
  }
};

bool ParseValueLine(std::string_view line, RegValue& v, std::string& error) {
  LineParser p{line, 0, {}};
  if (p.Eat('@')) {
    v.name.clear();
  } else if (!p.Quoted(v.name)) {
    error = "expected @ or a quoted value name (" + p.error + ")";
    return false;
  }
  if (!p.Eat('=')) {
    error = "expected '=' after the value name";
    return false;
  }
  p.SkipBlanks();
  v.data.clear();
  auto textData = [&](DWORD type) {
    std::string text;
    if (!p.Quoted(text)) return false;
    v.type = type;
    v.data.assign(text.begin(), text.end());
    v.data.push_back(0);
    return true;
  };
  bool ok;
  if (p.EatWord("sz:")) {
    ok = textData(REG_SZ);
  } else if (p.EatWord("expand:")) {
    ok = textData(REG_EXPAND_SZ);
  } else if (p.EatWord("multi:")) {
    v.type = REG_MULTI_SZ;
    ok = true;
    p.SkipBlanks();
    if (!p.AtEnd()) {
      for (;;) {
        std::string text;
        if (!p.Quoted(text)) {
          ok = false;
          break;
        }
        if (text.empty()) {
          ok = p.Fail("an empty text cannot be part of a multi: list");
          break;
        }
        v.data.insert(v.data.end(), text.begin(), text.end());
        v.data.push_back(0);
        if (!p.Eat(',')) break;
      }
    }
    v.data.push_back(0);
  } else if (p.EatWord("dword:")) {
    v.type = REG_DWORD;
    std::size_t start = p.i;
    DWORD x = 0;
    while (!p.AtEnd() && LineParser::HexDigit(p.s[p.i]) >= 0 && p.i - start < 8)
      x = x << 4 | DWORD(LineParser::HexDigit(p.s[p.i++]));
    ok = p.i > start || p.Fail("dword: needs 1 to 8 hex digits");
    for (int k = 0; k < 4; ++k) v.data.push_back(BYTE(x >> (8 * k)));
  } else if (p.EatWord("hex:")) {
    v.type = REG_BINARY;
    ok = p.HexBytes(v.data);
  } else if (p.EatWord("hex(")) {
    std::size_t start = p.i;
    DWORD t = 0;
    while (!p.AtEnd() && LineParser::HexDigit(p.s[p.i]) >= 0 && p.i - start < 8)
      t = t << 4 | DWORD(LineParser::HexDigit(p.s[p.i++]));
    ok = (p.i > start && p.EatWord("):")) || p.Fail("expected hex(<type>):");
    v.type = t;
    ok = ok && p.HexBytes(v.data);
  } else {
    ok = p.Fail("unknown data form (expected sz:, expand:, multi:, dword:, hex: or hex(N):)");
  }
  p.SkipBlanks();
  if (ok && !p.AtEnd()) ok = p.Fail("unexpected text after the value");
  if (!ok) error = p.error;
  return ok;
}

}  // namespace

std::string RegHive::Serialize(std::string_view rootName) const {
  std::string out = "; qvcomm registry store: ";
  out += rootName;
  out += ". Format: platform/system/regstore.h of qvcomm. Hand edits are allowed.\n";
  for (const RegKeyNode* node : Keys()) {
    if (node->path.empty() && node->values.empty()) continue;
    out += "\n[";
    out += node->path;
    out += "]\n";
    for (const RegValue& v : node->values) AppendValue(out, v);
  }
  return out;
}

bool RegHive::Parse(std::string_view text, RegHive& hive, std::size_t& errorLine,
                    std::string& error) {
  hive = RegHive();
  RegKeyNode* current = nullptr;
  // The folded value names of each key seen so far: a key of many values stays linear.
  std::unordered_map<const RegKeyNode*, std::unordered_set<std::string>> names;
  std::unordered_set<std::string>* currentNames = nullptr;
  std::size_t lineNo = 0, pos = 0;
  // Editors may start a UTF-8 file with a byte-order mark; it is no part of the first line.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") pos = 3;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    errorLine = lineNo;
    if (line.front() == '[') {
      if (line.back() != ']' || line.size() < 2) {
        error = "a key line must end with ']'";
        return false;
      }
      std::string_view path = line.substr(1, line.size() - 2);
      std::vector<std::string> parts;
      if (!RegSplitPath(path, parts)) {
        error = "invalid key path '" + std::string(path) + "'";
        return false;
      }
      current = &hive.Create(path);
      currentNames = &names[current];
      continue;
    }
    if (!current) {
      error = "a value before the first [key] line";
      return false;
    }
    RegValue v;
    if (!ParseValueLine(line, v, error)) return false;
    if (!currentNames->insert(RegFold(v.name)).second) {
      error = "value '" + (v.name.empty() ? std::string("@") : v.name) + "' appears twice in [" +
              current->path + "]";
      return false;
    }
    current->values.push_back(std::move(v));
  }
  errorLine = 0;
  return true;
}

// ---- Files ---------------------------------------------------------------------------------

namespace {

struct FileStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  timespec mtime{};
  timespec ctime{};
  bool operator==(const FileStamp& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

FileStamp StampOf(const struct stat& st) {
  FileStamp s;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.mtime = st.st_mtim;
  s.ctime = st.st_ctim;
  return s;
}

struct CacheEntry {
  bool exists = false;
  FileStamp stamp;
  std::shared_ptr<const RegHive> hive;
};

struct StoreState {
  std::mutex mutex;  // one store operation at a time in this process
  std::map<std::string, CacheEntry> cache;
  std::function<void()> writeHook;
};

StoreState& State() {
  static StoreState* state = new StoreState;  // never destroyed: used until the very end
  return *state;
}

const char* RootName(RegRoot root) {
  return root == RegRoot::Machine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

std::string Timestamp() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
  return buf;
}

// What the last failed store call of this thread could not do (see RegStoreFailure).
thread_local std::string tFailure;

// Records why an operation on path failed (errno err) and gives back code.
LONG Failed(LONG code, const std::string& path, int err) {
  std::string reason = std::strerror(err);
  if (!reason.empty() && reason[0] >= 'A' && reason[0] <= 'Z') reason[0] = char(reason[0] - 'A' + 'a');
  tFailure = reason + " on " + path;
  return code;
}

// Makes a folder and its parents; false with the failure recorded (which part, and why).
bool MakeStoreFolders(const std::string& path) {
  for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string partial = path.substr(0, end);
    if (mkdir(partial.c_str(), 0700) < 0) {
      const int err = errno;
      struct stat st;
      if (err != EEXIST || stat(partial.c_str(), &st) < 0) {
        Failed(ERROR_CANTWRITE, partial, err);
        return false;
      }
      if (!S_ISDIR(st.st_mode)) {
        tFailure = partial + " is a file where a folder must be (move it away)";
        return false;
      }
    }
    if (end == std::string::npos) return true;
  }
}

// Who holds the flock on a file, from /proc/locks: "qvcomm (pid 1234)", or empty.
std::string LockHolder(int fd) {
  struct stat st;
  std::FILE* f = fstat(fd, &st) == 0 ? std::fopen("/proc/locks", "re") : nullptr;
  if (!f) return {};
  char line[256];
  int pid = 0;
  while (!pid && std::fgets(line, sizeof line, f)) {
    unsigned maj = 0, min = 0;
    unsigned long inode = 0;
    int holder = 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; waiters' lines carry "->" instead.
    if (std::sscanf(line, "%*d: FLOCK %*s %*s %d %x:%x:%lu", &holder, &maj, &min, &inode) == 4 &&
        makedev(maj, min) == st.st_dev && inode == st.st_ino)
      pid = holder;
  }
  std::fclose(f);
  if (pid <= 0) return {};
  std::string name;
  if (std::FILE* c = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "re")) {
    if (std::fgets(line, sizeof line, c)) name.assign(line, strcspn(line, "\n"));
    std::fclose(c);
  }
  return (name.empty() ? "process" : name) + " (pid " + std::to_string(pid) + ")";
}

std::atomic<int> gLockWaitMs{5000};

// Reads a whole file unless the cached copy is still current (then text stays empty and
// current is set). ENOENT leaves exists false.
LONG ReadWhole(const std::string& file, const CacheEntry& cached, bool& exists, FileStamp& stamp,
               std::string& text, bool& current) {
  exists = false;
  current = false;
  text.clear();
  Fd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) {
      current = cached.hive && !cached.exists;
      return ERROR_SUCCESS;
    }
    return Failed(ERROR_CANTREAD, file, errno);
  }
  struct stat st;
  if (fstat(fd.get(), &st) < 0) return Failed(ERROR_CANTREAD, file, errno);
  stamp = StampOf(st);
  exists = true;
  if (cached.hive && cached.exists && cached.stamp == stamp) {
    current = true;
    return ERROR_SUCCESS;
  }
  text.reserve(std::size_t(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Failed(ERROR_CANTREAD, file, errno);
    if (n == 0) break;
    text.append(buf, std::size_t(n));
  }
  return ERROR_SUCCESS;
}

// Moves a damaged file aside and tells the user. Called with the store lock held.
void MoveAside(const std::string& file, std::size_t line, const std::string& why) {
  std::string aside = file + ".damaged-" + Timestamp();
  std::string target = aside;
  struct stat st;
  for (int k = 2; lstat(target.c_str(), &st) == 0; ++k) target = aside + "-" + std::to_string(k);
  if (rename(file.c_str(), target.c_str()) == 0) {
    std::fprintf(stderr,
                 "qvcomm: the registry store %s is damaged (line %zu: %s); it was moved to %s "
                 "and the store starts empty\n",
                 file.c_str(), line, why.c_str(), target.c_str());
  } else {
    std::fprintf(stderr,
                 "qvcomm: the registry store %s is damaged (line %zu: %s) and could not be moved "
                 "aside: %s\n",
                 file.c_str(), line, why.c_str(), std::strerror(errno));
  }
}

// The store's lock, waited for a bounded time: a program that holds it for long (stopped,
// or stuck) is named rather than waited for without end, and a termination signal of the
// program's TSignalWatch ends the wait.
class StoreLock {
 public:
  explicit StoreLock(const std::string& file)
      : fd_(open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    const std::string lock = file + ".lock";
    if (!fd_) {
      Failed(ERROR_CANTWRITE, lock, errno);
      return;
    }
    const int waitMs = gLockWaitMs.load();
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (int step = 1;; step = std::min(step * 2, 100)) {
      if (flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
        locked_ = true;
        return;
      }
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) {
        Failed(ERROR_CANTWRITE, lock, errno);
        return;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now()).count();
      if (left <= 0) {
        const std::string who = LockHolder(fd_.get());
        tFailure = (who.empty() ? "another program" : who) + " has held " + lock + " for over " +
                   std::to_string(waitMs) + " ms (it changes the store; try again when it is done)";
        return;
      }
      pollfd signal{TerminationSignalFd(), POLLIN, 0};
      if (poll(&signal, 1, int(std::min<long long>(step, left))) > 0) {
        tFailure = "a signal ended the wait for " + lock;
        return;
      }
    }
  }
  bool Locked() const { return locked_; }
  // Closing the descriptor releases the lock.

 private:
  Fd fd_;
  bool locked_ = false;
};

// Loads a root into the cache. With the lock held a damaged file is moved aside; without it
// the caller retries under the lock. Called with State().mutex held.
LONG LoadLocked(RegRoot root, const std::string& file, bool haveLock,
                std::shared_ptr<const RegHive>& out) {
  StoreState& st = State();
  bool exists, current;
  FileStamp stamp;
  std::string text;
  CacheEntry& entry = st.cache[file];
  if (LONG r = ReadWhole(file, entry, exists, stamp, text, current); r != ERROR_SUCCESS) return r;
  if (current) {
    out = entry.hive;
    return ERROR_SUCCESS;
  }
  auto hive = std::make_shared<RegHive>();
  if (exists) {
    std::size_t line = 0;
    std::string why;
    if (!RegHive::Parse(text, *hive, line, why)) {
      entry = CacheEntry{};
      if (!haveLock) {
        StoreLock lock(file);
        if (!lock.Locked()) return ERROR_CANTWRITE;
        return LoadLocked(root, file, true, out);
      }
      MoveAside(file, line, why);
      tFailure = file + " is damaged (line " + std::to_string(line) + ": " + why + ")";
      return ERROR_REGISTRY_CORRUPT;
    }
  }
  (void)root;
  entry.exists = exists;
  entry.stamp = stamp;
  entry.hive = hive;
  out = hive;
  return ERROR_SUCCESS;
}

LONG WriteLocked(RegRoot root, const std::string& folder, const std::string& file,
                 const RegHive& hive) {
  std::string tmp = file + ".tmp";  // one writer at a time (the lock), so one name will do
  std::string text = hive.Serialize(RootName(root));
  {
    Fd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd) return Failed(ERROR_CANTWRITE, tmp, errno);
    if (!WriteAll(fd.get(), text) || fsync(fd.get()) < 0) {
      int err = errno ? errno : EIO;
      unlink(tmp.c_str());
      return Failed(ERROR_CANTWRITE, tmp, err);
    }
  }
  if (State().writeHook) State().writeHook();
  if (rename(tmp.c_str(), file.c_str()) < 0) {
    int err = errno;
    unlink(tmp.c_str());
    return Failed(ERROR_CANTWRITE, file, err);
  }
  Fd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) fsync(dir.get());
  return ERROR_SUCCESS;
}

}  // namespace

std::string UserBaseFolder(const char* variable, const char* belowHome) {
  std::string base;
  const char* xdg = std::getenv(variable);
  if (xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') {
      passwd* pw = getpwuid(getuid());
      home = pw && pw->pw_dir ? pw->pw_dir : "/tmp";
    }
    base = std::string(home) + "/" + belowHome;
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base;
}

std::string RegStoreFolder() { return UserBaseFolder("XDG_CONFIG_HOME", ".config") + "/qvcomm"; }

std::string RegStoreFile(RegRoot root) {
  return RegStoreFolder() + (root == RegRoot::Machine ? "/machine.reg" : "/user.reg");
}

std::string RegStoreFailure() { return tFailure; }

LONG RegStoreRead(RegRoot root, std::shared_ptr<const RegHive>& hive) {
  StoreState& st = State();
  std::lock_guard guard(st.mutex);
  tFailure.clear();
  return LoadLocked(root, RegStoreFile(root), false, hive);
}

LONG RegStoreModify(RegRoot root, const std::function<LONG(RegHive&, bool& changed)>& change) {
  StoreState& st = State();
  std::lock_guard guard(st.mutex);
  tFailure.clear();
  std::string folder = RegStoreFolder();
  std::string file = RegStoreFile(root);
  if (!MakeStoreFolders(folder)) return ERROR_CANTWRITE;
  StoreLock lock(file);
  if (!lock.Locked()) return ERROR_CANTWRITE;
  std::shared_ptr<const RegHive> current;
  if (LONG r = LoadLocked(root, file, true, current); r != ERROR_SUCCESS) return r;
  RegHive copy = *current;
  bool changed = false;
  if (LONG r = change(copy, changed); r != ERROR_SUCCESS) {
    tFailure.clear();  // the change itself declined: nothing went wrong with the files
    return r;
  }
  if (!changed) return ERROR_SUCCESS;
  if (LONG r = WriteLocked(root, folder, file, copy); r != ERROR_SUCCESS) return r;
  // Cache what was written so the next read does not parse it again.
  struct stat sb;
  CacheEntry& entry = st.cache[file];
  if (stat(file.c_str(), &sb) == 0) {
    entry.exists = true;
    entry.stamp = StampOf(sb);
    entry.hive = std::make_shared<const RegHive>(std::move(copy));
  } else {
    entry = CacheEntry{};
  }
  return ERROR_SUCCESS;
}

void SetRegStoreLockWait(int milliseconds) { gLockWaitMs.store(milliseconds); }

void SetRegStoreWriteHook(std::function<void()> hook) {
  StoreState& st = State();
  // The hook runs with the store mutex held, so it is only swapped between operations.
  std::lock_guard guard(st.mutex);
  st.writeHook = std::move(hook);
}

}  // namespace qv::platform
