// The print spooler's port list. Linux has no spooler ports: EnumPortsA reports none, unless a
// test supplies the names a 95/98/Me spooler would give ("COM1:", "LPT1:", "FILE:", ...).
#pragma once

#include "platform/win32/wintypes.h"

#include <string>
#include <vector>

struct PORT_INFO_1A {
  char* pName;
};

// Level 1 only. With a buffer too small for the records and their names: FALSE and
// ERROR_INSUFFICIENT_BUFFER with *needed set. With no ports: TRUE, *needed and *returned 0.
BOOL EnumPortsA(const char* serverName, DWORD level, BYTE* ports, DWORD bufferSize, DWORD* needed,
                DWORD* returned);

