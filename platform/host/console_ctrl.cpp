// Console control events from Unix signals: SIGINT is Ctrl+C, SIGQUIT Ctrl+Break, SIGHUP and SIGTERM
// a console close. The routines run on a thread of the layer's own, never in signal context; an
// event that every routine declines gets the signal's default action.
#include <csignal>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <vector>

#include "platform/host/kernel.h"

namespace {

const int kConsoleSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

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

// The four signals stay blocked in every thread and are taken synchronously by the dispatcher. A
// handler run asynchronously could land on any thread, and a sanitizer's run time defers handlers on
// a thread blocked in a restarted read to a library call that never comes.
sigset_t ConsoleSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : kConsoleSignals) {
        sigaddset(&signals, signal);
    }
    return signals;
}

// Installed only so that a signal the parent set to be ignored (a shell's background job, nohup) is
// still taken: Linux queues a blocked signal even when ignored, other kernels may discard it. While
// blocked it never runs.
extern "C" void OnSignal(int) {}

void Dispatch(sigset_t signals)
{
    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0) {
            continue;
        }
        std::vector<PHANDLER_ROUTINE> routines;
        {
            std::lock_guard<std::mutex> lock(RoutinesLock());
            routines = Routines();
        }
        bool handled = false;
        // The most recently added routine is asked first, as on Windows.
        for (auto it = routines.rbegin(); it != routines.rend() && !handled; ++it) {
            handled = (*it)(ControlTypeOf(signal)) != FALSE;
        }
        if (!handled) {
            std::signal(signal, SIG_DFL);
            sigset_t only;
            sigemptyset(&only);
            sigaddset(&only, signal);
            pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
            raise(signal);
        }
    }
}

// Called before the process starts any thread of its own (the tool adds its routine first thing),
// so that every later thread inherits the blocked set.
void StartDispatcher()
{
    const sigset_t signals = ConsoleSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kConsoleSignals) {
        sigaction(signal, &action, nullptr);
    }
    std::thread(Dispatch, signals).detach();
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
