#include "activation/activation.h"

#include "activation/completion_handler.h"
#include "console/diagnostics.h"
#include "console/messages.h"

HRESULT ActivateProcessLoopback(DWORD processId, bool exclude, AUDIOCLIENT_ACTIVATION_PARAMS* params,
                                PROPVARIANT* blob, IAudioClient** audioClient)
{
    HMODULE library = LoadLibraryW(kAudioLibraryName);
    if (library == nullptr) {
        LogLine(kMsgLoadLibraryFailed, GetLastError());
        return E_FAIL;
    }
    // Looked up at run time so that a system without process loopback still starts and says so.
    FARPROC entry = GetProcAddress(library, kActivateEntryName);
    LogLine(kMsgDll, reinterpret_cast<void*>(entry));
    if (entry == nullptr) {
        LogLine(kMsgApiMissing);
        return E_FAIL;
    }
    const auto activate = reinterpret_cast<ActivateAudioInterfaceAsyncFn>(reinterpret_cast<void*>(entry));

    memset(params, 0, sizeof(*params));
    params->ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    params->TargetProcessId = processId;
    params->ProcessLoopbackMode =
        exclude ? PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE : PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE;
    memset(blob, 0, sizeof(*blob));
    blob->vt = VT_BLOB;
    blob->blob.cbSize = sizeof(*params);
    blob->blob.pBlobData = reinterpret_cast<BYTE*>(params);

    CompletionHandler* handler = new CompletionHandler();
    LogLineFlushed(kMsgAct, processId, exclude ? L"exclude" : L"include");

    IActivateAudioInterfaceAsyncOperation* operation = nullptr;
    HRESULT result = activate(kProcessLoopbackDevicePath, kIidAudioClient, blob, handler, &operation);
    if (result < 0) {
        LogLine(kMsgActivateFailed, result);
        return result;
    }
    // A stop request does not end this wait; the platform completes every accepted request.
    WaitForSingleObject(handler->GetEvent(), INFINITE);

    HRESULT activateResult = S_OK;
    IUnknown* activated = nullptr;
    result = operation->GetActivateResult(&activateResult, &activated);
    if (result < 0 || activateResult < 0) {
        LogLine(kMsgActivateResult, result, activateResult);
        return result < 0 ? result : activateResult;
    }

    *audioClient = nullptr;
    if (activated == nullptr) {
        // A success without an object would otherwise be a null call; report it as the missing client.
        LogLine(kMsgQiAudioClient, E_NOINTERFACE);
        return E_NOINTERFACE;
    }
    result = activated->QueryInterface(kIidAudioClient, reinterpret_cast<void**>(audioClient));
    activated->Release();
    if (result < 0) {
        LogLine(kMsgQiAudioClient, result);
        return result;
    }
    return S_OK;
}
