#include "platform/system/spawn.h"

#include "platform/system/internal/fileio.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

extern char** environ;

namespace qv::platform {

struct CommandRunner::State {
  std::vector<std::string> argv;
  Report report;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> waiting;
  bool busy = false, stop = false;
  std::thread thread;

  void Loop();
  void RunOne(const std::string& input);
};

namespace {

// The report carries an input as it came; whoever shows it makes it printable.
std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

void CommandRunner::State::RunOne(const std::string& input) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) < 0) {
    report("cannot run " + argv[0] + ": " + std::strerror(errno));
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  posix_spawn_file_actions_adddup2(&actions, 2, 1);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The program starts with default signal handling and nothing blocked, whatever this
  // process ignores (SIGPIPE) or blocks.
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  std::string last = input;
  args.push_back(last.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0].c_str(), &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(fds[0]);
  if (rc != 0) {
    close(fds[1]);
    report("cannot run " + argv[0] + ": " + std::strerror(rc) + " (code " + Quoted(input) + " not passed on)");
    return;
  }
  // A program that does not read its input, or ends early, must not stop us: a failed write
  // is no failure of the program.
  WriteAll(fds[1], input + "\n");
  close(fds[1]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
    report(argv[0] + " failed (exit status " + std::to_string(WEXITSTATUS(status)) + ") for the code " +
           Quoted(input));
  else if (WIFSIGNALED(status))
    report(argv[0] + " was ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
           strsignal(WTERMSIG(status)) + ") for the code " + Quoted(input));
}

void CommandRunner::State::Loop() {
  // A write into the pipe of a program that has ended gives EPIPE here, not a signal.
  sigset_t pipeSet;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, nullptr);
  std::unique_lock lock(mutex);
  for (;;) {
    changed.wait(lock, [&] { return stop || !waiting.empty(); });
    if (waiting.empty() || stop) break;
    std::string input = std::move(waiting.front());
    waiting.pop_front();
    busy = true;
    lock.unlock();
    RunOne(input);
    lock.lock();
    busy = false;
    changed.notify_all();
  }
}

CommandRunner::CommandRunner(std::vector<std::string> argv, Report report) : state_(std::make_unique<State>()) {
  state_->argv = std::move(argv);
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
    dropped = s.waiting.size();
    s.waiting.clear();
    s.stop = true;
    s.changed.notify_all();
  }
  s.thread.join();
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
