#include "tools/qvcomm/commands.h"
namespace qvcomm {
int CmdRead(Args&) { return UsageError("read", "not yet"); }
}
