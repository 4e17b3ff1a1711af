// The agile completion callback handed to the asynchronous activation. It logs every interface
// query and signals a manual-reset event once the activation has completed.
#pragma once

#include <atomic>

#include "activation/audio_contract.h"

class CompletionHandler final : public IActivateAudioInterfaceCompletionHandler {
public:
    CompletionHandler();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override;

    HANDLE GetEvent() const { return completedEvent; }

private:
    std::atomic<LONG> refCount;
    HANDLE completedEvent;
    IUnknown* freeThreadedMarshaler;
};
