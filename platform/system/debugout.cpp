#include "platform/system/debugout.h"

#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

void OutputDebugStringA(const char* Text) {
  const char* where = std::getenv("QVCOMM_DEBUG_OUTPUT");
  if (!where || !Text) return;
  if (std::strcmp(where, "stderr") == 0) {
    // One writev, so lines of concurrent writers do not interleave.
    char newline = '\n';
    iovec parts[2] = {{const_cast<char*>(Text), std::strlen(Text)}, {&newline, 1}};
    ssize_t ignored = writev(STDERR_FILENO, parts, 2);
    (void)ignored;
  } else if (std::strcmp(where, "syslog") == 0) {
    syslog(LOG_USER | LOG_DEBUG, "%s", Text);
  }
}
