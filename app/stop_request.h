// The stop request: console control events become one process-wide flag that the pump polls.
#pragma once

#include <atomic>

#include "platform/platform.h"

extern std::atomic<bool> g_stop;

// Ctrl+C, Ctrl+Break and console close set g_stop and are handled; every other event is passed on.
BOOL WINAPI ConsoleCtrlHandler(DWORD controlType);
