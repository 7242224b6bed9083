// qvcomm: lists, maps and reads serial ports, and plays a barcode scanner on a virtual one.
// Each subcommand lives in its own file and describes itself (tools/qvcomm/commands.h); usage
// and exit codes are in the README ("qvcomm: the command-line tool").
#include "tools/qvcomm/commands.h"

#include <cstdio>
#include <exception>

namespace {

using namespace qvcomm;

std::string Overview() {
  std::string text = "usage: qvcomm COMMAND [ARGS]\n\n";
  for (const Command* c : Commands()) {
    std::string left = "  " + std::string(c->usage);
    left.resize(std::max<std::size_t>(left.size() + 2, 32), ' ');
    text += left + std::string(c->summary) + "\n";
  }
  return text +
         "\n'qvcomm help COMMAND' or 'qvcomm COMMAND --help' describes each command;\n"
         "'qvcomm --version' prints the version.\n";
}

int UnknownCommand(const std::string& name) {
  std::fprintf(stderr, "qvcomm: unknown command \"%s\"\nTry 'qvcomm --help'.\n",
               Printable(name).c_str());
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(Overview().c_str(), stderr);
    return kExitUsage;
  }
  const std::string name = args[0];
  args.erase(args.begin());
  if (name == "-V" || name == "--version") {
    std::printf("qvcomm %s\n", QV_VERSION_TEXT);
    return kExitOk;
  }
  if (name == "-h" || name == "--help" || (name == "help" && args.empty())) {
    std::fputs(Overview().c_str(), stdout);
    return kExitOk;
  }
  if (name == "help") {
    const Command* c = FindCommand(args[0]);
    if (!c) return UnknownCommand(args[0]);
    std::fputs(c->help().c_str(), stdout);
    return kExitOk;
  }
  const Command* command = FindCommand(name);
  if (!command) return UnknownCommand(name);
  try {
    return command->run(args);
  } catch (const std::exception& e) {
    Error(e.what());
    return kExitFailure;
  }
}
