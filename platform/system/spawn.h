// Runs a program for each of a stream of inputs, one at a time and in order, on a thread of
// its own, never through a shell: each input is the last argument and the standard input
// (followed by a line feed), so spaces, quotes, $(...) or ';' in it reach the program as they
// are. The program's standard output and error go to this process's standard error. A program
// that cannot be started, fails or is killed is reported and the next input goes on.
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

  // argv: the program (looked up on PATH when it has no '/') and its first arguments.
  CommandRunner(std::vector<std::string> argv, Report report);
  // Finish(0).
  ~CommandRunner();
  CommandRunner(const CommandRunner&) = delete;
  CommandRunner& operator=(const CommandRunner&) = delete;

  void Add(std::string input);
  // Waits up to timeoutMs for the inputs waiting, then ends: the program running is waited
  // for, what still waits is reported as not run.
  void Finish(int timeoutMs);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Splits a command line at blanks into words, with no quoting and no expansion.
std::vector<std::string> SplitWords(const std::string& text);

}  // namespace qv::platform
