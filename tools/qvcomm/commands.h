// qvcomm's subcommands. Each takes its arguments (after the subcommand's name) and returns the
// program's exit code (tools/qvcomm/cli.h).
#pragma once

#include "tools/qvcomm/cli.h"

namespace qvcomm {

int CmdPorts(Args& args);
int CmdMap(Args& args);
int CmdUnmap(Args& args);
int CmdRead(Args& args);
int CmdSimulate(Args& args);

// Prints the usage of a subcommand ("" for the program) on stdout; returns kExitOk.
int PrintHelp(const std::string& command);

}  // namespace qvcomm
