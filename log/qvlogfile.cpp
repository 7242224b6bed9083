#include "log/qvlogfile.h"

#include "platform/rtl/format.h"
#include "platform/system/debugout.h"
#include "platform/system/logfiles.h"
#include "platform/win32/winbase.h"
#include "ports/qvwin32.h"

#include <algorithm>

const char* const LogBanner = "qvcomm serial components " QV_VERSION_TEXT " on ";

namespace {

// Without leading and trailing blanks and control characters.
std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

constexpr char HexDigits[] = "0123456789ABCDEF";

// Clears the busy flag however Flush is left.
struct TBusyGuard {
  std::atomic<bool>& Flag;
  ~TBusyGuard() { Flag.store(false); }
};

}  // namespace

TLogStamp MakeLogStamp(const qv::platform::TLocalTimestamp& Now) {
  return {qv::platform::ShortDateText(Now.Local), qv::platform::LongTimeText(Now.Local), Now.MSec};
}

std::string BuildLogLine(TLogOptions Options, const TLogStamp& Stamp, std::string_view Text) {
  std::string line;
  if (Options & (loDate | loTime | loMSec)) {
    std::string p;
    if (Options & loDate) p = Stamp.Date;
    if (Options & loTime) {
      p += ' ';
      p += Stamp.Time;
    }
    if (Options & loMSec) {
      std::string ms = std::to_string(Stamp.MSec);
      if (ms.size() < 3) ms.insert(0, 3 - ms.size(), '0');
      p += " +";
      p += ms;
    }
    if (!p.empty()) {
      line += '[';
      line += Trimmed(p);
      line += "] ";
    }
  }
  line.reserve(line.size() + Text.size() + 16);
  for (char c : Text) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20) {
      const char escape[4] = {'\\', HexDigits[b >> 4], HexDigits[b & 15], 'h'};
      line.append(escape, 4);
    } else {
      line += c;
    }
  }
  return line;
}

// ---- TqvLogFile -------------------------------------------------------------------------------

TqvLogFile::TqvLogFile(TComponent* AOwner) : TqvCustomLogFile(AOwner) {
  PublishInt("SizeLimit", [this] { return std::int64_t(FSizeLimit); },
             [this](std::int64_t v) { SetSizeLimit(DWORD(v)); });
  PublishString("FileName", [this] { return FFileName; }, [this](const std::string& v) { SetFileName(v); });
  PublishInt("DetailLevel", [this] { return std::int64_t(FDetailLevel); },
             [this](std::int64_t v) { SetDetailLevel(TDetailLevel(v)); });
  PublishInt("Options", [this] { return std::int64_t(FOptions); },
             [this](std::int64_t v) { SetOptions(TLogOptions(v)); });
}

TqvLogFile::~TqvLogFile() {
  WaitIdle(1000);
  if (!(FOptions & loSafeMode)) {
    // OnFatalError has seen a failure by now; an exception cannot leave a destructor.
    try {
      Flush();
    } catch (...) {
    }
  }
}

void TqvLogFile::SetFileName(const std::string& Value) { FFileName = std::string(Trimmed(Value)); }

void TqvLogFile::SetVisualOut(TWinControl* Value) {
  if (Value == FVisualOut) return;
  if (FVisualOut) FVisualOut->RemoveFreeNotification(this);
  FVisualOut = Value;
  if (Value) Value->FreeNotification(this);
}

void TqvLogFile::Notification(TComponent* AComponent, TOperation Operation) {
  TqvCustomLogFile::Notification(AComponent, Operation);
  if (Operation == opRemove && AComponent == FVisualOut) FVisualOut = nullptr;
}

void TqvLogFile::AddLine(const std::string& Text) {
  std::lock_guard lock(FLock);
  if (FHeaderPending) {
    FHeaderPending = false;
    // Recorded with the line and written with it: a failing write reported for the header alone
    // would raise before the line was recorded, and the line would be lost.
    Record(LogBanner + GetVersionText("", ""));
  }
  Record(Text);
  if (FOptions & loSafeMode) Flush();
}

void TqvLogFile::Record(const std::string& Text) {
  const TLogOptions options = FOptions;
  TLogStamp stamp;
  if (options & (loDate | loTime | loMSec)) {
    const qv::platform::TLocalTimestamp now = qv::platform::LocalNow();
    if (options & loDate) stamp.Date = qv::platform::ShortDateText(now.Local);
    if (options & loTime) stamp.Time = qv::platform::LongTimeText(now.Local);
    stamp.MSec = now.MSec;
  }
  std::string entry = "\r\n";
  entry += BuildLogLine(options, stamp, Text);
  if (options & loDebugOut) OutputDebugStringA(entry.c_str() + 2);
  FPending += entry;
  if (FVisualOut) {
    try {
      FVisualOut->SetText(FVisualOut->Text() + entry);
    } catch (...) {
      FatalError(0, 0, "");
    }
  }
}

void TqvLogFile::AddHeader() { AddLine(LogBanner + GetVersionText("", "")); }

void TqvLogFile::Add(TDetailLevel Level, const std::string& Text) {
  if (Level <= FDetailLevel) AddLine(Text);
}

void TqvLogFile::AddFmt(const std::string& Fmt, TFormatArgs Args) {
  std::string text;
  try {
    text = Format(Fmt, Args.Span());
  } catch (...) {
    text = "Log format ERROR!!!";
  }
  AddLine(text);
}

void TqvLogFile::AddFmtLevel(TDetailLevel Level, const std::string& Fmt, TFormatArgs Args) {
  if (Level <= FDetailLevel) AddFmt(Fmt, Args);
}

void TqvLogFile::Flush() {
  std::lock_guard lock(FLock);
  if (FBusy.load()) return;
  FBusy.store(true);
  TBusyGuard guard{FBusy};
  const std::string name = GetLogFileName();
  if (name.empty()) return;
  // The text is taken out while it is written: lines recorded meanwhile (by an OnReachLimit
  // handler) stay pending behind it instead of being dropped with it.
  std::string text = std::move(FPending);
  FPending.clear();
  auto putBack = [&] {
    if (FPending.empty())
      FPending = std::move(text);
    else
      FPending.insert(0, text);
  };
  bool written = false;
  try {
    written = WriteText(text);
  } catch (...) {
    putBack();
    throw;
  }
  if (written) {
    FReportedFailure.clear();
    return;
  }
  const std::string failure = name + '\n' + std::to_string(GetLastError());
  putBack();
  KeepNewestPending();
  // A file that stays unwritable (a full disk) is reported when it starts failing and when the
  // failure changes (another name, another cause), not again for every line.
  if (failure == FReportedFailure) return;
  FReportedFailure = failure;
  FatalError(0, 0, "Error when save log file:" + name);
}

std::size_t TqvLogFile::PendingBound() const { return FSizeLimit ? FSizeLimit : 1u << 20; }

void TqvLogFile::KeepNewestPending() {
  const std::size_t bound = PendingBound();
  if (FPending.size() <= bound) return;
  // Whole entries go: the first line break at or after the excess starts the oldest entry kept;
  // an entry longer than the bound on its own stays whole, as the file would take it.
  std::size_t from = FPending.find("\r\n", FPending.size() - bound);
  if (from == std::string::npos) from = FPending.rfind("\r\n");
  if (from != std::string::npos) FPending.erase(0, from);
}

void TqvLogFile::Clear() {
  std::lock_guard lock(FLock);
  FPending.clear();
  const std::string name = GetLogFileName();
  if (!name.empty()) DeleteFileA(name.c_str());
}

std::string TqvLogFile::GetLogFileName() const {
  if (FOptions & loAutoFileName) {
    const std::string exe = qv::platform::ExeFileName();
    std::string name = exe.substr(exe.rfind('/') + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.resize(dot);
    return qv::platform::ProgramSideFolder() + name + ".log";
  }
  if (FFileName.empty()) return {};
  const std::size_t slash = FFileName.rfind('/');
  const std::size_t folderLength = slash == std::string::npos ? 0 : slash + 1;
  if (folderLength < 2) return qv::platform::ProgramSideFolder() + FFileName;
  return FFileName;
}

std::string TqvLogFile::PendingText() const {
  std::lock_guard lock(FLock);
  return FPending;
}

bool TqvLogFile::WriteText(const std::string& Text) {
  const std::string name(Trimmed(GetLogFileName()));
  if (name.empty()) return false;
  qv::platform::TLogFileWriter file;
  if (!file.Open(name)) return false;
  const std::uint64_t length = Text.size();
  const std::uint64_t limit = FSizeLimit;
  if (limit > 0) {
    std::uint64_t size = 0;
    if (!file.Size(size)) return false;
    if (size + std::min(length, limit) > limit && OnReachLimit) {
      OnReachLimit(this);
      // A handler that cleared the log has deleted the file (or one replaced it): the text goes
      // to the file the name holds now, not to one that nobody can read any more.
      if (!file.Current() && !(file.Open(name) && file.Size(size))) return false;
    }
    if (size + std::min(length, limit) > limit) {
      // Drop the oldest bytes so the file ends at the limit; a text longer than the limit
      // empties the file and stands alone.
      const std::uint64_t cut = size + std::min(length, limit) - limit;
      return file.ReplaceKeepingTail(cut < size ? size - cut : 0, Text);
    }
  }
  return file.Append(Text);
}

bool TqvLogFile::WaitIdle(DWORD Milliseconds) {
  if (FBusy.load()) Sleep(Milliseconds);
  return !FBusy.load();
}
