// qvcomm's subcommands. Each is defined in its own file, tools/qvcomm/<name>.cpp, as
// `const Command <name>Command = MakeCommand<...>();` (tools/qvcomm/cli.h), and named once in
// the list below, in the order `qvcomm --help` shows them.
#pragma once

#include "tools/qvcomm/cli.h"

#include <span>

#define QVCOMM_COMMANDS(X) \
  X(ports)                 \
  X(map)                   \
  X(unmap)                 \
  X(read)                  \
  X(type)                  \
  X(simulate)              \
  /* end of the list */

namespace qvcomm {

#define QVCOMM_DECLARE(name) extern const Command name##Command;
QVCOMM_COMMANDS(QVCOMM_DECLARE)
#undef QVCOMM_DECLARE

// Every subcommand, in the list's order.
std::span<const Command* const> Commands();
// The subcommand called name, or null.
const Command* FindCommand(std::string_view name);

}  // namespace qvcomm
