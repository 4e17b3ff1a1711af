// Console control events from Unix signals: SIGINT is Ctrl+C, SIGQUIT Ctrl+Break, SIGHUP and SIGTERM
// a console close. The routines run on a thread of the layer's own, never in signal context; an
// event that every routine declines gets the signal's default action.
#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/host/kernel.h"

namespace {

int g_signalPipe[2] = {-1, -1};

// Never destroyed: a signal that comes while the process exits still reaches the dispatcher, which
// must not find the list already torn down by the static destructors.
std::mutex& RoutinesLock()
{
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::vector<PHANDLER_ROUTINE>& Routines()
{
    static auto* routines = new std::vector<PHANDLER_ROUTINE>;
    return *routines;
}

DWORD ControlTypeOf(int signal)
{
    switch (signal) {
    case SIGINT:
        return CTRL_C_EVENT;
    case SIGQUIT:
        return CTRL_BREAK_EVENT;
    default:
        return CTRL_CLOSE_EVENT;
    }
}

extern "C" void OnSignal(int signal)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t ignored = write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

void Dispatch()
{
    for (;;) {
        unsigned char byte = 0;
        const ssize_t got = read(g_signalPipe[0], &byte, 1);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) {
                continue;
            }
            return;
        }
        std::vector<PHANDLER_ROUTINE> routines;
        {
            std::lock_guard<std::mutex> lock(RoutinesLock());
            routines = Routines();
        }
        bool handled = false;
        // The most recently added routine is asked first, as on Windows.
        for (auto it = routines.rbegin(); it != routines.rend() && !handled; ++it) {
            handled = (*it)(ControlTypeOf(byte)) != FALSE;
        }
        if (!handled) {
            std::signal(byte, SIG_DFL);
            raise(byte);
        }
    }
}

void StartDispatcher()
{
    if (pipe(g_signalPipe) != 0) {
        return;
    }
    std::thread(Dispatch).detach();
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
        sigaction(signal, &action, nullptr);
    }
}

} // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add)
{
    if (routine == nullptr) {
        return FALSE;
    }
    static std::once_flag started;
    std::call_once(started, StartDispatcher);
    std::lock_guard<std::mutex> lock(RoutinesLock());
    std::vector<PHANDLER_ROUTINE>& routines = Routines();
    if (add != FALSE) {
        routines.push_back(routine);
        return TRUE;
    }
    for (auto it = routines.rbegin(); it != routines.rend(); ++it) {
        if (*it == routine) {
            routines.erase(std::next(it).base());
            return TRUE;
        }
    }
    return FALSE;
}
