#include "platform/system/spawn.h"

#include "platform/system/internal/fileio.h"

#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

extern char** environ;

namespace qv::platform {

struct CommandRunner::State {
  std::vector<std::string> argv, hidden;
  int limitMs = kDefaultLimitMs;
  int stopFd = -1;  // readable once Finish gives up waiting
  Report report;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> waiting;
  bool busy = false, stop = false;
  std::thread thread;

  void Loop();
  // False when the program ran out of time (or the runner was stopped) and was ended.
  bool RunOne(const std::string& input);
  // Waits for the program's end, up to ms (-1: none) or a stop; true when it ended.
  bool WaitFor(pid_t pid, int pidFd, int ms, int& status, bool stoppable = true);
};

namespace {
constexpr int kGraceMs = 2000;  // from SIGTERM to SIGKILL
constexpr int kFirstRetryMs = 1000, kLastRetryMs = 60000;

std::string Seconds(int ms) {
  return std::to_string(ms / 1000) + (ms % 1000 ? "." + std::to_string(ms % 1000 / 100) : "") + " s";
}
}  // namespace

bool CommandRunner::State::WaitFor(pid_t pid, int pidFd, int ms, int& status, bool stoppable) {
  pollfd p[2] = {{pidFd, POLLIN, 0}, {stoppable ? stopFd : -1, POLLIN, 0}};
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (waitpid(pid, &status, WNOHANG) == pid) return true;
    const long left = ms < 0 ? -1 : std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (ms >= 0 && left <= 0) return false;
    // Without a pidfd (an old kernel) the end is looked for every 50 ms.
    const int n = poll(p, 2, pidFd < 0 ? int(std::min<long>(left < 0 ? 50 : left, 50)) : int(left));
    if (n > 0 && (p[1].revents & POLLIN) && !(p[0].revents & POLLIN) && waitpid(pid, &status, WNOHANG) != pid) return false;
  }
}

namespace {

// The report carries an input as it came; whoever shows it makes it printable.
std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

bool CommandRunner::State::RunOne(const std::string& input) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) < 0) {
    report("cannot run " + argv[0] + ": " + std::strerror(errno));
    return true;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  posix_spawn_file_actions_adddup2(&actions, 2, 1);
  // Nothing else of ours: the broker's socket, the spool and its lock stay here.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The program starts with default signal handling and nothing blocked, whatever this
  // process ignores (SIGPIPE) or blocks, in a group of its own that a time-out ends whole.
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  std::string last = input;
  args.push_back(last.data());
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    const bool hide = std::any_of(hidden.begin(), hidden.end(), [&](const std::string& name) {
      return entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=';
    });
    if (!hide) env.push_back(*e);
  }
  env.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0].c_str(), &actions, &attr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(fds[0]);
  if (rc != 0) {
    close(fds[1]);
    report("cannot run " + argv[0] + ": " + std::strerror(rc) + " (code " + Quoted(input) + " not passed on)");
    return true;
  }
  const int pidFd = int(syscall(SYS_pidfd_open, pid, 0));
  // A program that does not read its input, or ends early, must not stop us: a failed write
  // is no failure of the program. The pipe holds a code; a longer one is written as far as it
  // goes without waiting.
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  WriteAll(fds[1], input + "\n");
  close(fds[1]);
  int status = 0;
  const bool ended = WaitFor(pid, pidFd, limitMs, status);
  if (!ended) {
    kill(-pid, SIGTERM);
    const bool gone = WaitFor(pid, pidFd, kGraceMs, status, false);
    kill(-pid, SIGKILL);  // what is left of the group
    while (!gone && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (pidFd >= 0) close(pidFd);
  if (!ended) return false;
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
    report(argv[0] + " failed (exit status " + std::to_string(WEXITSTATUS(status)) + ") for the code " +
           Quoted(input));
  else if (WIFSIGNALED(status))
    report(argv[0] + " was ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
           strsignal(WTERMSIG(status)) + ") for the code " + Quoted(input));
  return true;
}

void CommandRunner::State::Loop() {
  // A write into the pipe of a program that has ended gives EPIPE here, not a signal.
  sigset_t pipeSet;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, nullptr);
  std::unique_lock lock(mutex);
  int retryMs = kFirstRetryMs;
  for (;;) {
    changed.wait(lock, [&] { return stop || !waiting.empty(); });
    if (waiting.empty() || stop) break;
    std::string input = waiting.front();
    busy = true;
    lock.unlock();
    const bool done = RunOne(input);
    lock.lock();
    busy = false;
    if (done) {
      waiting.pop_front();
      retryMs = kFirstRetryMs;
    } else if (stop) {
      lock.unlock();
      report(argv[0] + " was ended as the reader ends, before it was done with the code " + Quoted(input));
      lock.lock();
    } else {
      // Ran out of time: kept, first in line, and tried again after a pause.
      lock.unlock();
      report(argv[0] + " took more than " + Seconds(limitMs) + " for the code " + Quoted(input) +
             ": ended (SIGTERM, then SIGKILL to its process group); tried again in " + Seconds(retryMs));
      lock.lock();
      changed.wait_for(lock, std::chrono::milliseconds(retryMs), [&] { return stop; });
      retryMs = std::min(retryMs * 2, kLastRetryMs);
    }
    changed.notify_all();
  }
}

CommandRunner::CommandRunner(std::vector<std::string> argv, Report report, std::vector<std::string> hidden,
                             int limitMs)
    : state_(std::make_unique<State>()) {
  state_->argv = std::move(argv);
  state_->hidden = std::move(hidden);
  state_->limitMs = limitMs;
  state_->stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  state_->report = std::move(report);
  state_->thread = std::thread([s = state_.get()] { s->Loop(); });
}

CommandRunner::~CommandRunner() { Finish(0); }

void CommandRunner::Add(std::string input) {
  State& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    if (s.waiting.size() < kMaxWaiting && !s.stop) {
      s.waiting.push_back(std::move(input));
      s.changed.notify_all();
      return;
    }
  }
  s.report(std::to_string(kMaxWaiting) + " codes already wait for " + s.argv[0] + ": not run for " +
           Quoted(input));
}

void CommandRunner::Finish(int timeoutMs) {
  State& s = *state_;
  if (!s.thread.joinable()) return;
  std::size_t dropped = 0;
  {
    std::unique_lock lock(s.mutex);
    s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return s.waiting.empty() && !s.busy; });
    dropped = s.waiting.size() - (s.busy ? 1 : 0);
    s.waiting.clear();
    s.stop = true;
    s.changed.notify_all();
  }
  // A program still running is ended.
  const std::uint64_t one = 1;
  if (s.stopFd >= 0 && write(s.stopFd, &one, sizeof one) < 0) {
  }
  s.thread.join();
  if (s.stopFd >= 0) close(s.stopFd);
  s.stopFd = -1;
  if (dropped) s.report(s.argv[0] + ": " + std::to_string(dropped) + " codes were not given to it (the reader ended)");
}

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

}  // namespace qv::platform
