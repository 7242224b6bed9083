// qvlogfile: the file log. Records each text as one line with an optional date, time and
// millisecond prefix and control characters shown as \XXh escapes, keeps the lines in memory,
// writes them to a size-limited text file (after every line in safe mode, otherwise on Flush
// and at destruction) and can mirror them to a text control and to the debugger output.
//
// File format: 8-bit text; each entry is CR LF followed by its line, so the file begins with a
// line break and has none after its last line. When a write would pass SizeLimit the oldest
// bytes are dropped (at a byte position, so the file may then begin inside an entry).
#pragma once

#include "core/qvclasses.h"
#include "platform/system/localtime.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

// Log options, a one-byte set in declaration order.
using TLogOptions = std::uint8_t;
constexpr TLogOptions loSafeMode = 0x01;       // write after every line; the destructor does not flush
constexpr TLogOptions loAutoFileName = 0x02;   // the log is named after the program: <program>.log
constexpr TLogOptions loSharedLogFile = 0x04;  // cooperating readers may read while it is written
constexpr TLogOptions loDate = 0x08;           // the prefix holds the date
constexpr TLogOptions loTime = 0x10;           // the prefix holds the time
constexpr TLogOptions loMSec = 0x20;           // the prefix ends with the milliseconds
constexpr TLogOptions loDebugOut = 0x40;       // every line also goes to the debugger output
constexpr TLogOptions DefaultLogOptions = loSafeMode | loAutoFileName | loDate | loTime | loDebugOut;

constexpr DWORD DefaultLogSizeLimit = 20480;
constexpr const char* DefaultLogFileName = "qvcommlib.log";
// Heads the first line of every log, followed directly by the operating-system text:
// "qvcomm serial components <version> on ".
extern const char* const LogBanner;

// The texts a line prefix is made of.
struct TLogStamp {
  std::string Date;   // the user's short date
  std::string Time;   // the user's time with seconds
  unsigned MSec = 0;  // 0..999
};

// The date, time and milliseconds of one clock reading, formatted as the prefix shows them.
TLogStamp MakeLogStamp(const qv::platform::TLocalTimestamp& Now);
// One log line (without its line break): the prefix the options ask for, then Text with every
// byte below 0x20 written as a backslash, two upper-case hexadecimal digits and "h".
std::string BuildLogLine(TLogOptions Options, const TLogStamp& Stamp, std::string_view Text);

// Main thread only, except that the recording operations (AddLine and everything that ends in
// it, Flush, Clear) may also be called from the port threads: they are serialised by a lock.
class TqvLogFile : public TqvCustomLogFile {
 public:
  explicit TqvLogFile(TComponent* AOwner);
  // Waits once (1 s) for a flush under way, then writes what is pending unless in safe mode.
  ~TqvLogFile() override;

  // ---- properties ----
  DWORD SizeLimit() const { return FSizeLimit; }
  // Bytes; 0 means no limit.
  void SetSizeLimit(DWORD Value) { FSizeLimit = Value; }
  const std::string& FileName() const { return FFileName; }
  // Stored without leading and trailing blanks and control characters.
  void SetFileName(const std::string& Value);
  TWinControl* VisualOut() const { return FVisualOut; }
  // Not owned; forgotten when that control is destroyed.
  void SetVisualOut(TWinControl* Value);
  TDetailLevel DetailLevel() const { return FDetailLevel; }
  void SetDetailLevel(TDetailLevel Value) { FDetailLevel = Value; }
  TLogOptions Options() const { return FOptions; }
  void SetOptions(TLogOptions Value) { FOptions = Value; }

  // Raised when a write would pass SizeLimit, before the oldest bytes are dropped.
  TNotifyEvent OnReachLimit;

  // ---- sink operations ----
  void Notification(TComponent* AComponent, TOperation Operation) override;
  // Writes the pending text. Returns at once while another flush runs. When the file cannot be
  // written the text stays pending, its newest PendingBound bytes (whole entries), and
  // FatalError reports "Error when save log file:<name>": once, and again when the name or the
  // cause changes or after a write has succeeded.
  void Flush() override;
  // Drops the pending text and deletes the file.
  void Clear() override;
  void AddLine(const std::string& Text) override;
  void AddHeader() override;
  void Add(TDetailLevel Level, const std::string& Text) override;
  void AddFmt(const std::string& Fmt, TFormatArgs Args) override;
  void AddFmtLevel(TDetailLevel Level, const std::string& Fmt, TFormatArgs Args) override;

  // The path of the log file; empty means no file. Names without a folder (and the automatic
  // name) go beside the program, or to the user's state folder when the program's folder
  // cannot be written (qv::platform::ProgramSideFolder).
  std::string GetLogFileName() const;
  // The text recorded and not yet written.
  std::string PendingText() const;
  // What the pending text keeps while the file cannot be written: SizeLimit bytes (the file
  // would keep no more), 1 MiB without a limit.
  std::size_t PendingBound() const;
  bool Busy() const { return FBusy.load(); }

 protected:
  // Appends Text to the file under the size limit; false when the file cannot be written.
  bool WriteText(const std::string& Text);
  // If a flush runs, sleeps once for Milliseconds; true when none runs (then).
  bool WaitIdle(DWORD Milliseconds);

 private:
  // Adds Text's entry to the pending text and the visual output, without writing.
  void Record(const std::string& Text);
  // Drops the oldest whole entries of the pending text beyond PendingBound.
  void KeepNewestPending();

  mutable std::recursive_mutex FLock;
  std::string FPending;
  DWORD FSizeLimit = DefaultLogSizeLimit;
  std::string FFileName = DefaultLogFileName;
  TDetailLevel FDetailLevel = dlSimple;
  TLogOptions FOptions = DefaultLogOptions;
  std::atomic<bool> FBusy{false};
  bool FHeaderPending = true;
  std::string FReportedFailure;  // name and error of the failing writes reported; empty after a good one
  TWinControl* FVisualOut = nullptr;
};
