// Kernel services: libraries built into the binary, the thread's last error, events and sleeping.
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/kernel.h"
#include "platform/host/layer_hooks.h"

namespace {

struct Library {
    std::wstring name;
    HostSymbolLookup lookup;
};

std::vector<Library>& Libraries()
{
    static std::vector<Library> libraries;
    return libraries;
}

std::wstring LowerAscii(const wchar_t* text)
{
    std::wstring lower;
    for (; *text != 0; ++text) {
        lower.push_back((*text >= L'A' && *text <= L'Z') ? static_cast<wchar_t>(*text - L'A' + L'a') : *text);
    }
    return lower;
}

thread_local DWORD t_lastError = ERROR_SUCCESS;

struct Event {
    std::mutex mutex;
    std::condition_variable signalled;
    bool manualReset;
    bool state;
};

} // namespace

void HostRegisterLibrary(const wchar_t* name, HostSymbolLookup lookup)
{
    Libraries().push_back(Library{LowerAscii(name), lookup});
}

HMODULE LoadLibraryW(LPCWSTR name)
{
    // Library names compare without regard to ASCII case, as Windows file names do.
    const std::wstring wanted = LowerAscii(name);
    for (Library& library : Libraries()) {
        if (library.name == wanted) {
            return &library;
        }
    }
    t_lastError = ERROR_MOD_NOT_FOUND;
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, const char* name)
{
    FARPROC proc = module != nullptr ? static_cast<Library*>(module)->lookup(name) : nullptr;
    if (proc == nullptr) {
        t_lastError = ERROR_PROC_NOT_FOUND;
    }
    return proc;
}

DWORD GetLastError()
{
    return t_lastError;
}

void SetLastError(DWORD code)
{
    t_lastError = code;
}

HANDLE CreateEventW(void*, BOOL manualReset, BOOL initialState, LPCWSTR)
{
    Event* event = new Event;
    event->manualReset = manualReset != FALSE;
    event->state = initialState != FALSE;
    return event;
}

BOOL SetEvent(HANDLE handle)
{
    if (handle == nullptr) {
        return FALSE;
    }
    Event* event = static_cast<Event*>(handle);
    {
        std::lock_guard<std::mutex> lock(event->mutex);
        event->state = true;
    }
    event->signalled.notify_all();
    return TRUE;
}

BOOL ResetEvent(HANDLE handle)
{
    if (handle == nullptr) {
        return FALSE;
    }
    Event* event = static_cast<Event*>(handle);
    std::lock_guard<std::mutex> lock(event->mutex);
    event->state = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    if (handle == nullptr) {
        t_lastError = 6; // ERROR_INVALID_HANDLE
        return WAIT_FAILED;
    }
    Event* event = static_cast<Event*>(handle);
    std::unique_lock<std::mutex> lock(event->mutex);
    const auto ready = [event] { return event->state; };
    if (milliseconds == INFINITE) {
        event->signalled.wait(lock, ready);
    } else if (!event->signalled.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
        return WAIT_TIMEOUT;
    }
    if (!event->manualReset) {
        event->state = false;
    }
    return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE handle)
{
    if (handle == nullptr) {
        return FALSE;
    }
    delete static_cast<Event*>(handle);
    return TRUE;
}

void Sleep(DWORD milliseconds)
{
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
