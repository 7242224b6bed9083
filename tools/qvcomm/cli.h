// qvcomm: what the subcommands share: exit codes, the option tables and their parser and help,
// escaping for text and JSON output, and the messages for ports that cannot be used.
#pragma once

#include "platform/rtl/printable.h"
#include "platform/system/fileowner.h"
#include "platform/win32/wintypes.h"

#include <optional>
#include <span>
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
  kExitBroker = 8,      // the MQTT broker refused the user name or password
};
// Ended by a signal after a clean shut-down: 128 + the signal, as a shell reports it.
inline int ExitForSignal(int sig) { return 128 + sig; }

// Prints "qvcomm: <text>" on stderr.
void Error(const std::string& text);
// Prints "qvcomm <command>: <text>" and the hint to --help on stderr; returns kExitUsage.
int UsageError(std::string_view command, const std::string& text);

// What reading a subcommand's arguments came to.
struct Parsed {
  enum Status { kOk, kHelp, kUsage } status = kOk;
  std::string error;  // kUsage: what is wrong, said after "qvcomm <command>: "
};

// The text half of an option: its names, its value and its help line. A row with no names is
// a heading in the help.
struct OptionText {
  std::string_view names;  // "--baud", or "-v, --verbose"
  std::string_view arg;    // the value's name in the help ("N"); empty for a flag; in brackets
                           // ("[KIND]") for a value that may be left out: then the next
                           // argument is its value only when the option takes it
  std::string_view help;
  std::string_view takes;  // the values it takes, for messages ("a rate from 50 to 4000000")
};

// One option of a subcommand with settings S: the help line lives beside what it does. take
// stores the value ("" for a flag); false refuses it and leaves the settings as they were (a
// value that may be left out is tried on the next argument).
template <class S>
struct Option : OptionText {
  bool (*take)(S& settings, const std::string& value) = nullptr;
};

// A subcommand's syntax: its options, and the check of its operands once the options are read
// (returns the usage error, or "").
template <class S>
struct Syntax {
  std::string_view name;         // "read"
  std::string_view usage;        // after "usage: qvcomm ": "read PORT [OPTIONS]"
  std::string_view summary;      // its line in `qvcomm --help`
  std::string_view description;  // the help's text between the usage and the options
  std::span<const Option<S>> options;
  std::string (*operands)(S& settings, const std::vector<std::string>& operands) = nullptr;
};

// A subcommand as main() and the help see it: tools/qvcomm/commands.h lists them all.
struct Command {
  std::string_view name;
  std::string_view usage;
  std::string_view summary;
  std::string (*help)();
  // Reads the arguments (after the subcommand's name) without acting on them.
  Parsed (*check)(const std::vector<std::string>& args);
  // Reads the arguments and acts; returns the exit code.
  int (*run)(const std::vector<std::string>& args);
};

// Walks the arguments of one subcommand: options (--name VALUE, --name=VALUE, -x) in any
// order among the operands; "--" ends the options.
class ArgWalker {
 public:
  explicit ArgWalker(const std::vector<std::string>& args) : args_(args) {}
  // The next option's name (value after '=' kept aside), or false when only operands are left.
  bool Next(std::string& option, std::vector<std::string>& operands);
  // The value for the option just returned, as row wants it; an error when it is missing or
  // given to a flag. For a value that may be left out: the value after '=', else "" (see Peek).
  std::optional<Parsed> Value(const OptionText& row, const std::string& option, std::string& value);
  // The argument after the option, while there is one that is not an option; Skip takes it.
  bool Peek(std::string& next) const;
  void Skip() { ++next_; }

 private:
  const std::vector<std::string>& args_;
  std::size_t next_ = 0;
  bool optionsDone_ = false;
  std::optional<std::string> inline_;
};

// True when option is one of the names in row.names.
bool NameMatches(std::string_view names, std::string_view option);
Parsed UnknownOption(const std::string& option);
Parsed RefusedValue(const OptionText& row, const std::string& option, const std::string& value);
// "  --baud N                 bits per second\n", or a heading line.
std::string OptionHelpLine(const OptionText& row);

template <class S>
Parsed Parse(const Syntax<S>& syntax, const std::vector<std::string>& args, S& settings) {
  ArgWalker walk(args);
  std::vector<std::string> operands;
  std::string option, value;
  while (walk.Next(option, operands)) {
    if (option == "-h" || option == "--help") return {Parsed::kHelp, {}};
    const Option<S>* row = nullptr;
    for (const Option<S>& o : syntax.options)
      if (!o.names.empty() && NameMatches(o.names, option)) row = &o;
    if (!row) return UnknownOption(option);
    if (auto error = walk.Value(*row, option, value)) return *error;
    std::string next;
    if (row->arg.starts_with('[') && value.empty() && walk.Peek(next) && row->take(settings, next)) {
      walk.Skip();
      continue;
    }
    if (!row->take(settings, value)) return RefusedValue(*row, option, value);
  }
  if (std::string error = syntax.operands(settings, operands); !error.empty())
    return {Parsed::kUsage, error};
  return {};
}

template <class S>
std::string Help(const Syntax<S>& syntax) {
  std::string text = "usage: qvcomm " + std::string(syntax.usage) + "\n\n" +
                     std::string(syntax.description);
  if (!syntax.options.empty()) text += "\n";
  for (const OptionText& o : syntax.options) text += OptionHelpLine(o);
  return text;
}

// Acts on a Parsed that is not kOk: the help on stdout (exit 0) or the usage error (exit 2).
int FinishParse(std::string_view command, std::string help, const Parsed& parsed);

// The Command of a subcommand whose syntax is *syntax and whose work is run.
template <class S, const Syntax<S>* syntax, int (*run)(S&)>
constexpr Command MakeCommand() {
  return Command{
      syntax->name, syntax->usage, syntax->summary, [] { return Help(*syntax); },
      [](const std::vector<std::string>& args) {
        S s;
        return Parse(*syntax, args, s);
      },
      [](const std::vector<std::string>& args) {
        S s;
        const Parsed parsed = Parse(*syntax, args, s);
        if (parsed.status != Parsed::kOk) return FinishParse(syntax->name, Help(*syntax), parsed);
        return run(s);
      }};
}

// The number of a port name COM1..COM255 (any case); 0 with the reason it is not one.
unsigned ParsePort(const std::string& name, std::string& error);
// A whole decimal number in [min, max]; false for anything else.
bool ParseNumber(std::string_view text, unsigned long min, unsigned long max, unsigned long& out);

// Text for a terminal and for messages: control characters and bytes that are not UTF-8 as
// \xHH, a backslash as \\ (platform/rtl/printable.h).
using qv::platform::Printable;
// A JSON string literal; each byte that is not UTF-8 becomes U+FFFD.
std::string JsonString(std::string_view text);
// One barcode as a JSON object on one line (no newline): port, barcode, time; a barcode that
// is not UTF-8 also gets "hex", every byte of it in hex, so no two codes look the same.
std::string BarcodeJson(const std::string& port, std::string_view code, const std::string& time);

// The reason a port could not be opened, for a message that names the port. detail is the
// library's own text for the failure (a network server's answer, say) and wins over a generic
// one. Busy ones name who holds them, apart from ignorePid (the simulator that keeps the far
// end of its pseudo-terminal open); permission failures say who owns the device and how to get
// access.
std::string OpenFailureReason(DWORD error, const std::string& device, const std::string& detail = {},
                              int ignorePid = 0);
// The permission part of that, from the device file's owner (known false when the file could
// not be looked at) and the user's name.
std::string PermissionReason(const std::string& device, const qv::platform::FileOwner& owner,
                             bool known, const std::string& user);
// The exit code for an open failure.
int ExitForOpenError(DWORD error);

}  // namespace qvcomm
