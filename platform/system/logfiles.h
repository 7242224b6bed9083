// Files as the file log uses them: where the program lives, where files named beside it go,
// an append that keeps a size limit without ever leaving a torn file, and the advisory locks
// that let cooperating programs read a log while it is written.
//
// Locks are advisory (flock): a writer in shared mode holds an exclusive lock for the length of
// one write, readers (ReadSharedFile) a shared one, so a reader sees the file before or after a
// write, never in between. Programs that do not take the locks are not kept out.
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
// The folder, with its trailing '/', that takes the files named beside the program: the
// program's own folder when this process can create files there, else the user's state folder
// $XDG_STATE_HOME/qvcomm/ (default ~/.local/state/qvcomm/), created when needed. Decided once
// per program folder and process.
std::string ProgramSideFolder();

// One write to a log file: open, optionally query the size, then append or replace, close.
// Below the size limit a write costs open, size query, append and close (plus, in shared mode,
// the lock and a check that the name still names the locked file). Not thread-safe; one
// object per write.
class TLogFileWriter {
 public:
  TLogFileWriter() = default;
  ~TLogFileWriter();
  TLogFileWriter(const TLogFileWriter&) = delete;
  TLogFileWriter& operator=(const TLogFileWriter&) = delete;

  // Opens Path for appending, creating it empty when absent. Shared: also takes the exclusive
  // lock, waiting up to a second for readers. False with the last error set.
  bool Open(const std::string& Path, bool Shared);
  // The file's current size.
  bool Size(std::uint64_t& Value);
  // Appends all of Data at the end of the file.
  bool Append(std::string_view Data);
  // Makes the file hold its last Keep bytes followed by Data. The new contents are written to
  // Path + ".tmp" in the same folder, synced to disk and renamed over the file, so whenever
  // the program dies the name holds either the old or the new contents.
  bool ReplaceKeepingTail(std::uint64_t Keep, std::string_view Data);
  void Close();

 private:
  int fd_ = -1;
  std::string path_;
  std::uint64_t knownSize_ = 0;  // from the lock check in shared mode
  bool sizeKnown_ = false;
  unsigned mode_ = 0;
};

// Reads the whole file under a shared lock (waiting for a writer's write to end). False with
// the last error when it cannot be read.
bool ReadSharedFile(const std::string& Path, std::string& Content);

}  // namespace qv::platform
