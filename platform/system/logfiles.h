// Files as the file log uses them: where the program lives, where files named beside it go,
// an append that keeps a size limit (without leaving a torn file where it can), and the
// advisory locks that keep writers of one log apart and let cooperating programs read it
// while it is written.
//
// Locks are advisory (flock): every writer holds an exclusive lock for the length of one write,
// readers (ReadSharedFile) a shared one, so writers never cut away each other's lines and a
// reader sees the file before or after a write, never in between. Programs that do not take
// the locks are not kept out.
#pragma once

#include "platform/win32/wintypes.h"

#include <cstdint>
#include <string>
#include <string_view>

// Deletes the file; FALSE with the last error when it cannot.
BOOL DeleteFileA(const char* FileName);

namespace qv::platform {

// The path of the running program (/proc/self/exe), or the injected one.
std::string ExeFileName();
// Whether the program at exe is installed: in a system folder (/usr, /bin, /sbin, /opt) or under
// this build's install prefix, and not in this build's tree.
bool ProgramInstalled(const std::string& exe);
// The folder, with its trailing '/', that takes the files named beside the program: for an
// installed program the user's state folder $XDG_STATE_HOME/<program>/ (default
// ~/.local/state/<program>/); otherwise the program's own folder when this process can create
// files there, else $XDG_STATE_HOME/qvcomm/. Created when needed; decided once per program
// folder and process.
std::string ProgramSideFolder();

// One write to a log file: open and lock, then append or cut, close. Below the size limit a
// write costs open, lock, two size queries (the second checks that the name still names the
// locked file), the removal of a killed cut's leftover (which is mostly not there), append and
// close. Not thread-safe; one object per write.
class TLogFileWriter {
 public:
  TLogFileWriter() = default;
  ~TLogFileWriter();
  TLogFileWriter(const TLogFileWriter&) = delete;
  TLogFileWriter& operator=(const TLogFileWriter&) = delete;

  // Opens Path for appending, creating it empty when absent, and takes the exclusive lock,
  // waiting up to a second for other writers and readers; removes what a cut killed half-way
  // left beside it. False with the last error set.
  bool Open(const std::string& Path);
  // The file's size when it was locked.
  bool Size(std::uint64_t& Value) const;
  // Appends all of Data at the end of the file, or nothing: a write that fails part-way (a full
  // disk) takes back what it wrote, so a later retry does not follow a fragment.
  bool Append(std::string_view Data);
  // Whether the path opened still names the file opened (not after an unlink or a rename).
  bool Current() const;
  // Makes the file hold its last Keep bytes followed by Data. Where it can, the new contents go
  // to a file beside the log's target, .<name>.cut, which then takes the target's name, so a
  // program killed at any moment leaves the old or the new contents (and perhaps the cut name,
  // which the next Open removes). That needs a log owned by this user, with one link and no
  // access list, in a folder this user can write, and a file system with room for the copy;
  // otherwise the file is cut in place.
  bool ReplaceKeepingTail(std::uint64_t Keep, std::string_view Data);
  void Close();

 private:
  bool CutByRename(std::string_view Tail, std::string_view Data);
  bool CutInPlace(std::string_view Tail, std::string_view Data);

  int fd_ = -1;
  std::string path_;
  std::uint64_t size_ = 0;  // when locked
  unsigned mode_ = 0;
  unsigned uid_ = 0, gid_ = 0;
  unsigned long links_ = 0;
};

// Reads the whole file under a shared lock (waiting for a writer's write to end). False with
// the last error when it cannot be read.
bool ReadSharedFile(const std::string& Path, std::string& Content);

}  // namespace qv::platform
