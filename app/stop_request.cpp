#include "app/stop_request.h"

std::atomic<bool> g_stop{false};

BOOL WINAPI ConsoleCtrlHandler(DWORD controlType)
{
    if (controlType == CTRL_C_EVENT || controlType == CTRL_BREAK_EVENT || controlType == CTRL_CLOSE_EVENT) {
        g_stop.exchange(true);
        return TRUE;
    }
    return FALSE;
}
