// The command line: <PID> [include|exclude].
#pragma once

#include "platform/platform.h"

// The C run time's wide string-to-long in base 10, its 32-bit result taken as an unsigned process id:
// no digits gives 0, "-1" gives 4294967295, out-of-range values saturate first.
DWORD ParseProcessId(const wchar_t* text);

// Exclude only when a second argument is "exclude" in any ASCII letter case; include otherwise.
bool ParseExcludeMode(int argc, wchar_t* argv[]);
