// The file log: line building, levels, size limit, safe mode, failures (a full disk included),
// file names, what a cut keeps of the file, a write killed at any moment and two writers.
#include "barcode/qvbarcode.h"
#include "log/qvlogfile.h"
#include "platform/system/logfiles.h"
#include "platform/testhooks.h"
#include "ports/qvwin32.h"

#include "support/app.h"
#include "support/comm_harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>

namespace fs = std::filesystem;
using qv::platform::TLocalTimestamp;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// Distinct bytes, so a kept tail is told apart from a kept head.
std::string Bytes(std::size_t n, char first = 'a') {
  std::string s(n, ' ');
  for (std::size_t i = 0; i < n; ++i) s[i] = char(first + i % 26);
  return s;
}

// A callback that calls the lambda f, which must outlive it.
template <class Sig>
struct Bound;
template <class R, class... A>
struct Bound<R(A...)> {
  template <class F>
  static TMethod<R(A...)> To(F& f) {
    return TMethod<R(A...)>::FromFunction(
        [](void* d, A... a) -> R { return (*static_cast<F*>(d))(static_cast<A&&>(a)...); }, &f);
  }
};

class TTestLog : public TqvLogFile {
 public:
  using TqvLogFile::TqvLogFile;
  using TqvLogFile::WriteText;
};

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qv-log-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::create_directory(dir_ + "/bin");
    exe_ = dir_ + "/bin/qvscan.bin";
    qv::platform::InjectExeFileName(exe_.c_str());
    setenv("XDG_STATE_HOME", (dir_ + "/state").c_str(), 1);
    TLocalTimestamp t;
    t.Local.tm_year = 2026 - 1900;
    t.Local.tm_mon = 11;
    t.Local.tm_mday = 7;
    t.Local.tm_hour = 9;
    t.Local.tm_min = 5;
    t.Local.tm_sec = 3;
    t.MSec = 7;
    qv::platform::InjectLocalTime(&t);
    qv::platform::InjectTimeLocale("C");
  }
  void TearDown() override {
    if (log_) log_->Free();
    qv::platform::InjectLocalTime(nullptr);
    qv::platform::InjectTimeLocale(nullptr);
    qv::platform::InjectExeFileName(nullptr);
    unsetenv("QVCOMM_DEBUG_OUTPUT");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  // A log writing <dir>/t.log with the given options.
  TTestLog* MakeLog(TLogOptions options) {
    log_ = new TTestLog(nullptr);
    log_->SetOptions(options);
    log_->SetFileName(Path());
    return log_;
  }
  std::string Path() const { return dir_ + "/t.log"; }
  static std::string Header() { return LogBanner + GetVersionText("", ""); }

  std::string dir_, exe_;
  TTestLog* log_ = nullptr;
};

TEST_F(LogTest, PrefixFormsFollowTheOptionsAndTheLocale) {
  struct Case {
    const char* locale;
    TLogOptions options;
    const char* prefix;
  } cases[] = {
      {"C", 0, ""},
      {"C", loDate, "[12/07/26] "},
      {"C", loTime, "[09:05:03] "},
      {"C", loDate | loTime, "[12/07/26 09:05:03] "},
      {"C", loDate | loMSec, "[12/07/26 +007] "},
      {"C", loTime | loMSec, "[09:05:03 +007] "},
      {"C", loDate | loTime | loMSec, "[12/07/26 09:05:03 +007] "},
      {"C", loMSec, "[+007] "},
      {"de_DE.UTF-8", loDate | loTime, "[07.12.2026 09:05:03] "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix);
    if (!qv::platform::InjectTimeLocale(c.locale)) {
      GTEST_SKIP() << c.locale << " is not installed (scripts/setup.sh generates it)";
    }
    fs::remove(Path());
    MakeLog(loSafeMode | c.options)->AddLine("x");
    std::string p = c.prefix;
    // The header comes first; every entry starts with its line break.
    EXPECT_EQ(ReadAll(Path()), "\r\n" + p + Header() + "\r\n" + p + "x");
    log_->Free();
    log_ = nullptr;
  }
}

TEST_F(LogTest, ControlBytesAreEscapedOthersCopied) {
  struct Case {
    std::string text, line;
  } cases[] = {
      {"a\r\nb", "a\\0Dh\\0Ahb"},
      {std::string("\t\x01\x1f\0z", 5), "\\09h\\01h\\1Fh\\00hz"},
      {"\x20\x7f\x80\xff\\", "\x20\x7f\x80\xff\\"},
  };
  for (const Case& c : cases) EXPECT_EQ(BuildLogLine(0, {}, c.text), c.line);
}

TEST_F(LogTest, LevelsAndFormatsDecideWhatIsRecorded) {
  // No file name and no safe mode: everything stays pending, in order.
  TTestLog* log = MakeLog(0);
  log->SetFileName("");
  log->SetDetailLevel(dlDetail);
  log->Add(dlSimple, "simple");
  log->Add(dlDetail, "detail");
  log->Add(dlDebug, "debug");
  log->AddFmtLevel(dlDetail, "n=%d", {5});
  log->AddFmtLevel(dlDebug, "m=%d", {6});
  log->AddFmt("%s and %s", {"one"});
  log->Flush();  // no file: not an error, nothing lost
  EXPECT_EQ(log->PendingText(), "\r\n" + Header() + "\r\nsimple\r\ndetail\r\nn=5\r\nLog format ERROR!!!");
}

TEST_F(LogTest, SizeLimitDropsTheOldestBytes) {
  struct Case {
    DWORD limit;
    std::size_t fileBytes, textBytes;
    int events;
    std::size_t keptTail;  // bytes of the old file that stay in front of the text
  } cases[] = {
      {100, 90, 30, 1, 70},   // passes the limit: ends exactly at it
      {100, 40, 150, 1, 0},   // one write longer than the limit: stands alone
      {100, 70, 30, 0, 70},   // reaches the limit without passing it
      {0, 90, 30, 0, 90},     // no limit
      {100, 0, 100, 0, 0},    // new file, exactly the limit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.limit << "/" << c.fileBytes << "/" << c.textBytes);
    fs::remove(Path());
    std::string old = Bytes(c.fileBytes), text = Bytes(c.textBytes, 'A');
    if (c.fileBytes) WriteAll(Path(), old);
    TTestLog* log = MakeLog(0);
    log->SetSizeLimit(c.limit);
    int events = 0;
    std::size_t sizeAtEvent = 0;
    auto onLimit = [&](TObject* sender) {
      EXPECT_EQ(sender, log);
      sizeAtEvent = fs::file_size(Path());
      ++events;
    };
    log->OnReachLimit = Bound<void(TObject*)>::To(onLimit);
    EXPECT_TRUE(log->WriteText(text));
    EXPECT_EQ(events, c.events);
    if (events) {
      EXPECT_EQ(sizeAtEvent, c.fileBytes) << "the event comes before the cut";
    }
    EXPECT_EQ(ReadAll(Path()), old.substr(old.size() - c.keptTail) + text);
    log_->Free();
    log_ = nullptr;
  }
}

TEST_F(LogTest, SafeModeWritesEachLineOthersOnFlushOrDestruction) {
  TTestLog* log = MakeLog(loSafeMode);
  log->AddLine("one");
  EXPECT_EQ(ReadAll(Path()), "\r\n" + Header() + "\r\none");
  EXPECT_EQ(log->PendingText(), "");
  log->SetOptions(0);
  log->AddLine("two");
  EXPECT_EQ(ReadAll(Path()), "\r\n" + Header() + "\r\none");
  log->Free();  // unsafe: the destructor writes what is pending
  log_ = nullptr;
  EXPECT_EQ(ReadAll(Path()), "\r\n" + Header() + "\r\none\r\ntwo");

  // Safe mode at destruction: nothing is written a second time.
  MakeLog(loSafeMode)->AddLine("three");
  log_->Free();
  log_ = nullptr;
  EXPECT_EQ(ReadAll(Path()), "\r\n" + Header() + "\r\none\r\ntwo\r\n" + Header() + "\r\nthree");
}

TEST_F(LogTest, FailedWriteKeepsThePendingTextAndReportsOnce) {
  std::string name = dir_ + "/missing/t.log";
  TTestLog* log = MakeLog(0);
  log->SetFileName(name);
  std::vector<std::string> reports;
  bool raise = true;
  auto onFatal = [&](TObject*, DWORD code, DWORD detail, std::string msg, bool& r) {
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(detail, 0u);
    reports.push_back(msg);
    r = raise;
  };
  log->OnFatalError = Bound<void(TObject*, DWORD, DWORD, std::string, bool&)>::To(onFatal);
  log->AddLine("one");
  EXPECT_THROW(log->Flush(), Exception);
  EXPECT_FALSE(log->Busy()) << "a raising report leaves the log ready for the next flush";
  log->AddLine("two");
  EXPECT_NO_THROW(log->Flush()) << "still failing: not reported again";
  ASSERT_EQ(reports, std::vector<std::string>{"Error when save log file:" + name});
  fs::create_directory(dir_ + "/missing");
  log->Flush();
  EXPECT_EQ(ReadAll(name), "\r\n" + Header() + "\r\none\r\ntwo");
  EXPECT_EQ(log->PendingText(), "");
  fs::remove_all(dir_ + "/missing");
  EXPECT_THROW(log->Flush(), Exception) << "failing again after a good write is reported";
}

TEST_F(LogTest, FullDiskLeavesNoFragmentAndKeepsTheNewestLines) {
  TTestLog* log = MakeLog(loSafeMode);
  log->SetSizeLimit(0);
  int reports = 0;
  auto onFatal = [&](TObject*, DWORD, DWORD, std::string, bool& raise) { raise = ++reports < 0; };
  log->OnFatalError = Bound<void(TObject*, DWORD, DWORD, std::string, bool&)>::To(onFatal);
  log->AddLine("before");
  const std::size_t before = fs::file_size(Path());
  std::string entries;
  // The file cannot grow past 5 more bytes: the first write is cut short, then writes fail.
  rlimit saved, full;
  getrlimit(RLIMIT_FSIZE, &saved);
  full = {before + 5, saved.rlim_max};
  signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &full);
  for (int i = 0; i < 300; ++i) {
    log->AddLine(std::to_string(i) + std::string(4000, '.'));
    entries += "\r\n" + std::to_string(i) + std::string(4000, '.');
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, SIG_DFL);
  EXPECT_EQ(fs::file_size(Path()), before) << "no part of a failed write stays";
  EXPECT_EQ(reports, 1);
  EXPECT_LE(log->PendingText().size(), log->PendingBound());
  log->AddLine("after");
  const std::string kept = ReadAll(Path()).substr(before);
  EXPECT_GT(kept.size(), log->PendingBound() - 4100);
  EXPECT_TRUE(kept == entries.substr(entries.size() - kept.size() + 7) + "\r\nafter") << "whole newest entries";
}

TEST_F(LogTest, ACodeIsDeliveredWhenItsLogLineCannotBeWritten) {
  qv::test::TestApplication();
  TTestLog* log = MakeLog(loSafeMode);
  log->SetDetailLevel(dlDetail);
  log->SetFileName(dir_ + "/missing/t.log");  // no handler: the log's report raises
  TqvBarCodeScan scan;
  scan.SetLog(log);
  std::vector<std::string> codes;
  auto onCode = [&](TObject*, std::string code) { codes.push_back(code); };
  scan.OnBarCode = Bound<void(TObject*, std::string)>::To(onCode);
  const std::string block = "123\r456\r";
  EXPECT_NO_THROW(scan.HandleRxData(&scan, reinterpret_cast<const BYTE*>(block.data()), int(block.size())));
  EXPECT_EQ(codes, (std::vector<std::string>{"123", "456"})) << "the log's failure ends in the log";
}

TEST_F(LogTest, AnUnwritableLogDoesNotDecideTheOpen) {
  qv::test::TestApplication();
  qv::test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  const std::string file = dir_ + "/file";  // a folder that is a file refuses root too
  WriteAll(file, "");
  TTestLog* log = MakeLog(loSafeMode | loDate);
  log->SetFileName(file + "/t.log");
  std::vector<std::string> reports;
  auto onFatal = [&](TObject*, DWORD, DWORD, std::string msg, bool&) { reports.push_back(msg); };
  log->OnFatalError = Bound<void(TObject*, DWORD, DWORD, std::string, bool&)>::To(onFatal);
  TTestComm comm;
  comm.Path = pty.slave();
  comm.SetLog(log);
  for (const char* name : {"t.log", "t.log", "u.log"}) {
    log->SetFileName(file + "/" + name);
    EXPECT_NO_THROW(comm.Open()) << name;
    EXPECT_TRUE(comm.Active()) << name;
    comm.Close();
  }
  EXPECT_EQ(reports, (std::vector<std::string>{"Error when save log file:" + file + "/t.log",
                                               "Error when save log file:" + file + "/u.log"}));
  fs::remove(file);
  fs::create_directory(file);
  log->Flush();
  const std::string lines = ReadAll(file + "/u.log");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1 + 3 * 2) << "the header, every open and close";
}

TEST_F(LogTest, LinesRecordedDuringTheLimitEventAreKept) {
  WriteAll(Path(), Bytes(100));
  TTestLog* log = MakeLog(loSafeMode);
  log->SetSizeLimit(100);
  auto onLimit = [&](TObject*) { log->AddLine("limit"); };
  log->OnReachLimit = Bound<void(TObject*)>::To(onLimit);
  log->AddLine("x");  // the write of the header and x passes the limit
  EXPECT_EQ(log->PendingText(), "\r\nlimit") << "recorded during x's write, kept for the next";
  log->SetSizeLimit(0);
  log->Flush();
  EXPECT_TRUE(ReadAll(Path()).ends_with(Header() + "\r\nx\r\nlimit"));
}

TEST_F(LogTest, WhatTheLimitEventDoesKeepsTheLinesInOrder) {
  enum { clear = 1, addLine = 2, unwritable = 4 };
  struct Case {
    int during;
    const char* then;  // written between x and the next line
  } cases[] = {
      {clear, ""},
      {clear | addLine, "\r\nlimit"},
      {addLine | unwritable, "\r\nlimit"},  // the failed text stays in front
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.during);
    fs::remove_all(Path());
    WriteAll(Path(), Bytes(300));
    TTestLog* log = MakeLog(loSafeMode);
    log->SetSizeLimit(300);
    auto onLimit = [&](TObject*) {
      if (c.during & clear) log->Clear();
      if (c.during & addLine) log->AddLine("limit");
      if (c.during & unwritable) fs::remove(Path()), fs::create_directory(Path());
    };
    log->OnReachLimit = Bound<void(TObject*)>::To(onLimit);
    auto onFatal = [](TObject*, DWORD, DWORD, std::string, bool& raise) { raise = false; };
    log->OnFatalError = Bound<void(TObject*, DWORD, DWORD, std::string, bool&)>::To(onFatal);
    log->AddLine("x");
    log->OnReachLimit = {};
    if (fs::is_directory(Path())) fs::remove(Path());
    log->AddLine("after");
    EXPECT_EQ(ReadAll(Path()), "\r\n" + Header() + "\r\nx" + c.then + "\r\nafter");
    log_->Free();
    log_ = nullptr;
  }
}

TEST_F(LogTest, FileNamesResolveBesideTheProgram) {
  const std::string bin = dir_ + "/bin/";
  struct Case {
    TLogOptions options;
    std::string fileName, expected;
  } cases[] = {
      {loAutoFileName, "ignored.log", bin + "qvscan.log"},
      {0, "", ""},
      {0, " \tx.log\r\n", bin + "x.log"},
      {0, "/x.log", bin + "/x.log"},
      {0, "sub/x.log", "sub/x.log"},
      {0, "/var/tmp/x.log", "/var/tmp/x.log"},
  };
  for (const Case& c : cases) {
    TTestLog* log = MakeLog(c.options);
    log->SetFileName(c.fileName);
    EXPECT_EQ(log->GetLogFileName(), c.expected) << c.fileName;
    log_->Free();
    log_ = nullptr;
  }
}

TEST_F(LogTest, UnwritableProgramFolderUsesTheStateFolder) {
  // Nobody, root included, can create files in /proc/self.
  qv::platform::InjectExeFileName("/proc/self/qvscan");
  MakeLog(loSafeMode | loAutoFileName)->AddLine("x");
  EXPECT_EQ(log_->GetLogFileName(), dir_ + "/state/qvcomm/qvscan.log");
  EXPECT_EQ(ReadAll(dir_ + "/state/qvcomm/qvscan.log"), "\r\n" + Header() + "\r\nx");
}

TEST_F(LogTest, InstalledProgramLogsInItsStateFolder) {
  // Root could write into /usr/bin: an installed program never does.
  for (const char* exe : {"/usr/bin/qvscan", "/usr/local/bin/qvscan", "/opt/qv/bin/qvscan"}) {
    EXPECT_TRUE(qv::platform::ProgramInstalled(exe)) << exe;
    qv::platform::InjectExeFileName(exe);
    EXPECT_EQ(MakeLog(loAutoFileName)->GetLogFileName(), dir_ + "/state/qvscan/qvscan.log") << exe;
    log_->Free();
    log_ = nullptr;
  }
  EXPECT_TRUE(fs::is_directory(dir_ + "/state/qvscan"));
  // This build's programs log beside themselves.
  qv::platform::InjectExeFileName(nullptr);
  EXPECT_FALSE(qv::platform::ProgramInstalled(qv::platform::ExeFileName()));
  EXPECT_FALSE(qv::platform::ProgramInstalled(exe_));
}

TEST_F(LogTest, ClearVisualOutAndDebugOutput) {
  TTestLog* log = MakeLog(loSafeMode | loDebugOut);
  auto* memo = new TMemoTestDouble(nullptr);
  log->SetVisualOut(memo);
  setenv("QVCOMM_DEBUG_OUTPUT", "stderr", 1);
  testing::internal::CaptureStderr();
  log->AddLine("one");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), Header() + "\none\n");
  unsetenv("QVCOMM_DEBUG_OUTPUT");
  testing::internal::CaptureStderr();
  log->AddLine("two");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "silent unless asked";
  EXPECT_EQ(memo->Text(), "\r\n" + Header() + "\r\none\r\ntwo");
  memo->Free();
  EXPECT_EQ(log->VisualOut(), nullptr);

  log->Clear();
  EXPECT_FALSE(fs::exists(Path()));
  log->AddLine("three");  // the header comes once per lifetime
  EXPECT_EQ(ReadAll(Path()), "\r\nthree");

  struct TBrokenControl : TWinControl {
    using TWinControl::TWinControl;
    void SetText(const std::string&) override { throw Exception("no room"); }
  };
  auto* broken = new TBrokenControl(nullptr);
  log->SetVisualOut(broken);
  std::string reported = "none";
  auto onFatal = [&](TObject*, DWORD, DWORD, std::string msg, bool& raise) {
    reported = msg;
    raise = false;
  };
  log->OnFatalError = Bound<void(TObject*, DWORD, DWORD, std::string, bool&)>::To(onFatal);
  log->AddLine("four");
  EXPECT_EQ(reported, "");
  EXPECT_EQ(ReadAll(Path()), "\r\nthree\r\nfour") << "the line is still recorded";
  broken->Free();
}

TEST_F(LogTest, SharedModeReadersSeeWholeWrites) {
  TTestLog* log = MakeLog(loSafeMode | loSharedLogFile);
  log->SetSizeLimit(64);
  for (int i = 0; i < 20; ++i) log->AddLine("line " + std::to_string(i));
  std::string seen;
  ASSERT_TRUE(qv::platform::ReadSharedFile(Path(), seen));
  EXPECT_EQ(seen.size(), 64u);
  EXPECT_TRUE(seen.ends_with("\r\nline 19"));
}

TEST_F(LogTest, LinesFromAPortThreadAreSerialised) {
  TTestLog* log = MakeLog(0);
  auto writer = [log](char tag) {
    for (int i = 0; i < 200; ++i) log->AddLine(std::string(20, tag));
  };
  std::thread other(writer, 'p');
  writer('m');
  other.join();
  log->Flush();
  std::string file = ReadAll(Path());
  EXPECT_EQ(file.size(), 2 + Header().size() + 400 * 22);
  for (std::size_t at = 2 + Header().size(); at < file.size(); at += 22) {
    ASSERT_EQ(file.substr(at, 2), "\r\n");
    ASSERT_TRUE(file.substr(at + 2, 20) == std::string(20, 'p') || file.substr(at + 2, 20) == std::string(20, 'm'));
  }
}

// Sets or clears the immutable flag, which refuses new names in a folder to root as well.
bool SetImmutable(const std::string& path, bool on) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), flags = 0;
  bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
  ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

TEST_F(LogTest, CutKeepsWhatTheLogIs) {
  enum { plain, unwritableFolder, symlinked, otherOwnerAndMode, hardLinked, linkPlantedAtCutName };
  const bool root = geteuid() == 0;
  const std::string logs = dir_ + "/logs", path = logs + "/t.log", other = dir_ + "/other";
  for (int c : {plain, unwritableFolder, symlinked, otherOwnerAndMode, hardLinked, linkPlantedAtCutName}) {
    SCOPED_TRACE(c);
    fs::remove_all(logs);
    fs::remove(other);
    fs::create_directory(logs);
    WriteAll(c == symlinked ? other : path, Bytes(90));
    WriteAll(dir_ + "/victim", "victim");
    if (c == symlinked) fs::create_symlink(other, path);
    if (c == otherOwnerAndMode) {
      ASSERT_EQ(chmod(path.c_str(), 0640) | (root ? chown(path.c_str(), 65534, 65534) : 0), 0);
    }
    if (c == hardLinked) fs::create_hard_link(path, other);
    if (c == linkPlantedAtCutName) fs::create_symlink(dir_ + "/victim", logs + "/.t.log.cut");
    struct stat was, is;
    ASSERT_EQ(stat(path.c_str(), &was), 0);
    // Root passes the permission check; the immutable flag holds even for root.
    if (c == unwritableFolder && (chmod(logs.c_str(), 0555) != 0 || (root && !SetImmutable(logs, true)))) {
      std::printf("case %d skipped: no folder here refuses new files to this user\n", c);
      continue;
    }
    MakeLog(0)->SetFileName(path);
    log_->SetSizeLimit(100);
    EXPECT_TRUE(log_->WriteText(Bytes(30, 'A')));
    if (c == unwritableFolder && root) SetImmutable(logs, false);
    EXPECT_EQ(ReadAll(path), Bytes(90).substr(20) + Bytes(30, 'A'));
    ASSERT_EQ(lstat(path.c_str(), &is), 0);
    EXPECT_EQ(S_ISLNK(is.st_mode), c == symlinked);
    ASSERT_EQ(stat(path.c_str(), &is), 0);
    EXPECT_EQ(std::tie(is.st_mode, is.st_uid, is.st_gid, is.st_nlink),
              std::tie(was.st_mode, was.st_uid, was.st_gid, was.st_nlink));
    EXPECT_EQ(ReadAll(dir_ + "/victim"), "victim");
    log_->Free();
    log_ = nullptr;
  }
}

// Entry i of a writer's stream: 40 bytes, numbered.
std::string Entry(int i, const char* writer = "entry") {
  char buf[64];
  std::snprintf(buf, sizeof buf, "\r\n%s %06d ", writer, i);
  std::string e = buf;
  return e + std::string(40 - e.size(), '.');
}

// In a child process: writes a writer's entries from..from+999 to path under limit, then ends
// (status 2 when a write fails); started, when given, hears once the first is written.
[[noreturn]] void WriteEntriesAndExit(const std::string& path, DWORD limit, int from, const char* writer,
                                      int started = -1) {
  TTestLog log(nullptr);
  log.SetOptions(0);
  log.SetFileName(path);
  log.SetSizeLimit(limit);
  for (int i = from; i < from + 1000; ++i) {
    if (!log.WriteText(Entry(i, writer))) _exit(2);
    if (i == from && started >= 0 && write(started, "s", 1) != 1) _exit(3);
  }
  _exit(0);
}

TEST_F(LogTest, KilledWriterLeavesOldOrNewContents) {
  constexpr int limit = 2000, first = 50;  // the file starts full: entries 0..49
  std::mt19937 rng(std::random_device{}());
  for (int round = 0; round < 20; ++round) {
    std::string stream;
    for (int i = 0; i < first; ++i) stream += Entry(i);
    WriteAll(Path(), stream);
    int started[2];
    ASSERT_EQ(pipe(started), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) WriteEntriesAndExit(Path(), limit, first, "entry", started[1]);
    close(started[1]);
    char c;
    ASSERT_EQ(read(started[0], &c, 1), 1);
    close(started[0]);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 5000));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    std::string file = ReadAll(Path());
    ASSERT_EQ(file.size(), std::size_t(limit)) << "round " << round;
    int last = std::atoi(file.c_str() + file.size() - 40 + 8);
    for (int i = first; i <= last; ++i) stream += Entry(i);
    ASSERT_EQ(file, stream.substr(stream.size() - limit)) << "round " << round << ", last " << last;
  }
}

TEST_F(LogTest, ACutKilledAtItsWorstPointLeavesNothingBehind) {
  for (int stage : {1, 2}) {  // the new contents named beside the log; then in its place
    SCOPED_TRACE(stage);
    const std::string logs = dir_ + "/cut" + std::to_string(stage), path = logs + "/t.log";
    fs::create_directory(logs);
    std::string stream;
    for (int i = 0; i < 10; ++i) stream += Entry(i);
    WriteAll(path, stream);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      qv::platform::SetLogCutHook([stage](int at) { if (at == stage) raise(SIGKILL); });
      WriteEntriesAndExit(path, 400, 10, "entry");  // the first write cuts
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the cut did not reach the stage";
    if (stage == 2) stream = stream.substr(40) + Entry(10);
    // The next write, one that cuts nothing, finds what the killed one left.
    MakeLog(0)->SetFileName(path);
    log_->SetSizeLimit(0);
    EXPECT_TRUE(log_->WriteText(Entry(11)));
    EXPECT_EQ(ReadAll(path), stream + Entry(11));
    EXPECT_EQ(std::distance(fs::directory_iterator(logs), fs::directory_iterator()), 1) << "the log alone";
    log_->Free();
    log_ = nullptr;
  }
}

TEST_F(LogTest, TwoWritersOfOneLogKeepEveryLineOnce) {
  // A limit of 50 entries: nearly every write cuts, and the file always starts at an entry.
  constexpr int limit = 2000;
  const char* writers[] = {"A", "B"};
  pid_t children[2];
  for (int w = 0; w < 2; ++w)
    if ((children[w] = fork()) == 0) WriteEntriesAndExit(Path(), limit, 0, writers[w]);
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "a write failed";
  }
  const std::string file = ReadAll(Path());
  ASSERT_EQ(file.size(), std::size_t(limit));
  // Each writer's lines follow each other without a gap or a repeat; the last line is there.
  int last[2] = {-1, -1};
  for (std::size_t at = 0; at < file.size(); at += 40) {
    const int w = file[at + 2] - 'A', i = std::atoi(file.c_str() + at + 4);
    ASSERT_TRUE((w == 0 || w == 1) && file.substr(at, 40) == Entry(i, writers[w])) << file.substr(at, 40);
    ASSERT_TRUE(last[w] < 0 || i == last[w] + 1) << writers[w] << " " << last[w] << " then " << i;
    last[w] = i;
  }
  EXPECT_EQ(std::max(last[0], last[1]), 999);
}

}  // namespace
