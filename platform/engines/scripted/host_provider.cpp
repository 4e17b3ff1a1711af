// The host layer's audio device library in the test builds: the scripted engine of this process,
// registered before main so that the layer's CoInitializeEx and LoadLibraryW already follow it.
#include "platform/engines/scripted/scripted_engine.h"
#include "platform/host/layer_hooks.h"

namespace {

HRESULT WINAPI ActivateAudioInterfaceAsync(LPCWSTR path, REFIID riid, PROPVARIANT* params,
                                           IActivateAudioInterfaceCompletionHandler* handler,
                                           IActivateAudioInterfaceAsyncOperation** operation)
{
    return ProcessScriptedEngine().Activate(path, riid, params, handler, operation);
}

FARPROC Lookup(const char* symbol)
{
    if (ProcessScriptedEngine().Script().entryAbsent || std::string(symbol) != "ActivateAudioInterfaceAsync") {
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&ActivateAudioInterfaceAsync));
}

ScriptedEngine* g_observed = nullptr;

void OnCoUninitialize()
{
    g_observed->Record("CoUninitialize");
}

[[maybe_unused]] const bool g_registered = [] {
    ScriptedEngine& engine = ProcessScriptedEngine();
    const EngineScript& script = engine.Script();
    HostLayerHooks& hooks = HostHooks();
    hooks.overrideCoInitialize = script.overrideCoInitialize;
    hooks.coInitializeResult = script.coInitializeResult;
    hooks.freeThreadedMarshalerFailure = script.freeThreadedMarshalerFailure;
    g_observed = &engine;
    hooks.onCoUninitialize = OnCoUninitialize;
    if (!script.libraryAbsent) {
        HostRegisterLibrary(L"Mmdevapi.dll", Lookup);
    }
    return true;
}();

} // namespace
