#include "tools/qvcomm/commands.h"

namespace qvcomm {

std::span<const Command* const> Commands() {
#define QVCOMM_ADDRESS(name) &name##Command,
  static const Command* const kAll[] = {QVCOMM_COMMANDS(QVCOMM_ADDRESS)};
#undef QVCOMM_ADDRESS
  return kAll;
}

const Command* FindCommand(std::string_view name) {
  for (const Command* c : Commands())
    if (c->name == name) return c;
  return nullptr;
}

}  // namespace qvcomm
