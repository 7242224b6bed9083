// The debugger output channel. As on the original platform it is silent unless someone
// listens: the text goes nowhere by default. QVCOMM_DEBUG_OUTPUT=stderr writes each text as one
// line to standard error; QVCOMM_DEBUG_OUTPUT=syslog sends it to the system log at debug
// priority (journalctl -p debug). The variable is read on every call. Safe from any thread.
#pragma once

void OutputDebugStringA(const char* Text);
