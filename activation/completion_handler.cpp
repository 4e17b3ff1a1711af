#include "activation/completion_handler.h"

#include "console/diagnostics.h"
#include "console/messages.h"

CompletionHandler::CompletionHandler() : refCount(1), completedEvent(nullptr), freeThreadedMarshaler(nullptr)
{
    completedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Aggregating the free-threaded marshaler lets the platform call us from any apartment.
    const HRESULT result = CoCreateFreeThreadedMarshaler(this, &freeThreadedMarshaler);
    LogLineFlushed(kMsgFtm, result);
}

HRESULT STDMETHODCALLTYPE CompletionHandler::QueryInterface(REFIID riid, void** object)
{
    LogGuid(kQiLabel, riid);
    if (SameGuid(riid, kIidUnknown) || SameGuid(riid, kIidActivateCompletionHandler) ||
        SameGuid(riid, kIidAgileObject)) {
        *object = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
        AddRef();
        return S_OK;
    }
    if (freeThreadedMarshaler != nullptr && SameGuid(riid, kIidMarshal)) {
        return freeThreadedMarshaler->QueryInterface(riid, object);
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CompletionHandler::AddRef()
{
    return static_cast<ULONG>(refCount.fetch_add(1) + 1);
}

ULONG STDMETHODCALLTYPE CompletionHandler::Release()
{
    const LONG count = refCount.fetch_sub(1) - 1;
    if (count == 0) {
        if (completedEvent != nullptr) {
            CloseHandle(completedEvent);
        }
        if (freeThreadedMarshaler != nullptr) {
            freeThreadedMarshaler->Release();
        }
        delete this;
    }
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE CompletionHandler::ActivateCompleted(IActivateAudioInterfaceAsyncOperation*)
{
    LogLineFlushed(kMsgCb);
    SetEvent(completedEvent);
    return S_OK;
}
