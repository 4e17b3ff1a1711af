// What the stand-in layer lets an audio provider or a test see and steer. Not part of the platform
// boundary: the tool never includes it.
#pragma once

#include "platform/host/win_types.h"

struct HostLayerHooks {
    // When set, CoInitializeEx returns this instead of entering the apartment.
    bool overrideCoInitialize = false;
    HRESULT coInitializeResult = S_OK;
    // When set, CoCreateFreeThreadedMarshaler fails with this.
    HRESULT freeThreadedMarshalerFailure = S_OK;
    // Called on every CoUninitialize, so a test can see whether and when COM was left.
    void (*onCoUninitialize)() = nullptr;
};

HostLayerHooks& HostHooks();

// The audio device library and the other libraries LoadLibraryW can find are providers built into
// the binary; each registers its name and a symbol lookup before main runs.
typedef FARPROC (*HostSymbolLookup)(const char* symbol);
void HostRegisterLibrary(const wchar_t* name, HostSymbolLookup lookup);

// The number of threads in the multithreaded apartment's bookkeeping for the calling thread:
// CoInitializeEx calls not yet balanced by CoUninitialize.
int HostComInitCount();
