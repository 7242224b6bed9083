// Runs a program for each of a stream of inputs, one at a time and in order, on a thread of
// its own, never through a shell: each input is the last argument and the standard input
// (followed by a line feed), so spaces, quotes, $(...) or ';' in it reach the program as they
// are. The program's standard output and error go to this process's standard error. A program
// that cannot be started, fails or is killed is reported and the next input goes on.
// The program inherits no descriptor but its standard ones, and not the environment variables
// named as hidden. It runs in a process group of its own, for at most the time limit: then the
// group gets SIGTERM, 2 s later SIGKILL, and the input is reported and tried again (after 1 s,
// doubling up to 60 s) before any later one. Finish ends a running program the same way.
//
// Any one thread may Add and Finish; the report callback runs on the runner's thread (on the
// caller's for what Add refuses and Finish drops). A report quotes the input as it came, control
// characters and all: the caller makes the text printable where it shows it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qv::platform {

class CommandRunner {
 public:
  // Inputs waiting beyond this many are refused (reported).
  static constexpr std::size_t kMaxWaiting = 10000;
  using Report = std::function<void(const std::string& text)>;

  static constexpr int kDefaultLimitMs = 30000;
  // argv: the program (looked up on PATH when it has no '/') and its first arguments; hidden:
  // environment variables it does not get; limitMs: the time one run may take.
  CommandRunner(std::vector<std::string> argv, Report report, std::vector<std::string> hidden = {},
                int limitMs = kDefaultLimitMs);
  // Finish(0).
  ~CommandRunner();
  CommandRunner(const CommandRunner&) = delete;
  CommandRunner& operator=(const CommandRunner&) = delete;

  void Add(std::string input);
  // Waits up to timeoutMs for the inputs waiting, then ends: a program still running is ended
  // (SIGTERM to its group, SIGKILL 2 s later), what still waits is reported as not run.
  void Finish(int timeoutMs);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Splits a command line at blanks into words, with no quoting and no expansion.
std::vector<std::string> SplitWords(const std::string& text);

}  // namespace qv::platform
