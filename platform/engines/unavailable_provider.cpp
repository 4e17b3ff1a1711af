// The host binary's audio device library where no audio server is built in: it accepts the request
// like the platform and then answers that the audio service is not running.
#include <cstring>

#include "platform/engines/async_activation.h"
#include "platform/host/layer_hooks.h"

namespace {

HRESULT WINAPI ActivateAudioInterfaceAsync(LPCWSTR, REFIID, PROPVARIANT*, IActivateAudioInterfaceCompletionHandler* handler,
                                           IActivateAudioInterfaceAsyncOperation** operation)
{
    if (handler == nullptr || operation == nullptr) {
        return E_POINTER;
    }
    CompleteActivationAsync(
        handler, [] { return ActivationOutcome{S_OK, AUDCLNT_E_SERVICE_NOT_RUNNING, nullptr}; }, 0, operation);
    return S_OK;
}

FARPROC Lookup(const char* symbol)
{
    return std::strcmp(symbol, "ActivateAudioInterfaceAsync") == 0 ? reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&ActivateAudioInterfaceAsync))
                                                                    : nullptr;
}

[[maybe_unused]] const bool g_registered = [] {
    HostRegisterLibrary(L"Mmdevapi.dll", Lookup);
    return true;
}();

} // namespace
