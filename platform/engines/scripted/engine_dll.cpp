// The scripted engine as a Windows audio device library: built as a test Mmdevapi.dll that the
// Windows binary loads in place of the system's. The engine reads its script and writes its record
// in the files that HARKWIRE_ENGINE_SCRIPT and HARKWIRE_ENGINE_RECORD name, on the first request.
// Built with HARKWIRE_ENGINE_DLL_NO_ENTRY, the library exports nothing: a system without the
// activation entry point.
#include "platform/engines/scripted/scripted_engine.h"

#if !defined(HARKWIRE_ENGINE_DLL_NO_ENTRY)

extern "C" __declspec(dllexport) HRESULT WINAPI ActivateAudioInterfaceAsync(
    const WCHAR* path, REFIID riid, PROPVARIANT* params, IActivateAudioInterfaceCompletionHandler* done_handler,
    IActivateAudioInterfaceAsyncOperation** op)
{
    return ProcessScriptedEngine().Activate(path, riid, params, done_handler, op);
}

#else

// A library still needs something to be; it offers no entry point that the tool looks for.
extern "C" __declspec(dllexport) int HarkwireEngineWithoutEntry()
{
    return 0;
}

#endif
