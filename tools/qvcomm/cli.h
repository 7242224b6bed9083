// qvcomm: what the subcommands share: exit codes, argument walking, escaping for text and JSON
// output, and the messages for ports that cannot be used.
#pragma once

#include "platform/win32/wintypes.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvcomm {

// Exit codes, as documented in the README.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,     // the system or the configuration store failed
  kExitUsage = 2,       // unknown command or option, missing or malformed argument
  kExitNoPort = 3,      // no such port, or no mapping to remove
  kExitBusy = 4,        // the port is open in another program
  kExitPermission = 5,  // no permission to open the port
  kExitVanished = 6,    // the port went away while it was read
  kExitRefused = 7,     // map refused: not a terminal device, taken, or already mapped
};
// Ended by a signal after a clean shut-down: 128 + the signal, as a shell reports it.
inline int ExitForSignal(int sig) { return 128 + sig; }

// Prints "qvcomm: <text>" on stderr.
void Error(const std::string& text);
// Prints "qvcomm <command>: <text>" and the hint to --help on stderr; returns kExitUsage.
int UsageError(const std::string& command, const std::string& text);

// Walks the arguments of one subcommand: options (--name VALUE, --name=VALUE, -x) in any
// order among the operands; "--" ends the options.
class Args {
 public:
  Args(std::string command, std::vector<std::string> args);

  // The next option, or nullopt when only operands are left. Operands are collected.
  std::optional<std::string> NextOption();
  // The value of the option just returned (the part after '=', or the next argument).
  bool Value(std::string& out);
  // True when the option just returned had a value after '=' (for options that take none).
  bool HasInlineValue() const { return inline_.has_value(); }
  const std::vector<std::string>& Operands() const { return operands_; }
  const std::string& Command() const { return command_; }

 private:
  std::string command_;
  std::vector<std::string> args_;
  std::size_t next_ = 0;
  bool optionsDone_ = false;
  std::string current_;
  std::optional<std::string> inline_;
  std::vector<std::string> operands_;
};

// The number of a port name COM1..COM255 (any case); 0 after printing why it is not one.
unsigned ParsePort(const std::string& command, const std::string& name);
// A whole decimal number in [min, max]; false for anything else.
bool ParseNumber(std::string_view text, unsigned long min, unsigned long max, unsigned long& out);

// Text for a terminal: control characters as \xHH, so a name can neither break a line nor
// move the cursor.
std::string Printable(std::string_view text);
// A JSON string literal. Bytes that are not UTF-8 are taken as Latin-1 (\u00HH).
std::string JsonString(std::string_view text);

// The reason a port could not be opened, for a message that names the port: busy ones name
// who holds them when the system tells, permission failures say how to get access.
std::string OpenFailureReason(DWORD error, const std::string& device);
// The exit code for an open failure.
int ExitForOpenError(DWORD error);

}  // namespace qvcomm
