// The COM run time's part that the tool and the engines use: apartment entry, the free-threaded
// marshaler and the registry text of identifiers.
#include <atomic>
#include <cwchar>

#include "platform/host/com.h"
#include "platform/host/layer_hooks.h"

HostLayerHooks& HostHooks()
{
    static HostLayerHooks hooks;
    return hooks;
}

static thread_local int t_comInitCount = 0;

int HostComInitCount()
{
    return t_comInitCount;
}

HRESULT CoInitializeEx(void*, DWORD coInit)
{
    if (HostHooks().overrideCoInitialize) {
        return HostHooks().coInitializeResult;
    }
    // One apartment model per thread, as on Windows; a second entry into the same one is S_FALSE.
    static thread_local DWORD t_model = 0;
    if (t_comInitCount > 0 && t_model != coInit) {
        return RPC_E_CHANGED_MODE;
    }
    t_model = coInit;
    return t_comInitCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize()
{
    if (t_comInitCount > 0) {
        --t_comInitCount;
    }
    if (HostHooks().onCoUninitialize != nullptr) {
        HostHooks().onCoUninitialize();
    }
}

static const IID kUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
static const IID kMarshal = {0x00000003, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

// The marshaler's IMarshal belongs to the outer object: its IUnknown calls go there. The inner,
// non-delegating unknown is what the outer object holds and releases.
struct FreeThreadedMarshaler final : IMarshal {
    struct Inner final : IUnknown {
        FreeThreadedMarshaler* self;
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
        {
            if (riid == kUnknown) {
                *object = static_cast<IUnknown*>(this);
                AddRef();
                return S_OK;
            }
            if (riid == kMarshal) {
                *object = static_cast<IMarshal*>(self);
                self->outer->AddRef();
                return S_OK;
            }
            *object = nullptr;
            return E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++self->count); }
        ULONG STDMETHODCALLTYPE Release() override
        {
            const ULONG count = static_cast<ULONG>(--self->count);
            if (count == 0) {
                delete self;
            }
            return count;
        }
    };

    IUnknown* outer;
    std::atomic<LONG> count{1};
    Inner inner;

    explicit FreeThreadedMarshaler(IUnknown* controlling) : outer(controlling) { inner.self = this; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        return outer->QueryInterface(riid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return outer->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return outer->Release(); }

    // Everything stays in one process here, so marshalling has nothing to do.
    HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD, CLSID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MarshalInterface(void*, REFIID, void*, DWORD, void*, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnmarshalInterface(void*, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ReleaseMarshalData(void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD) override { return S_OK; }
};

} // namespace

HRESULT CoCreateFreeThreadedMarshaler(LPUNKNOWN outer, LPUNKNOWN* marshaler)
{
    if (marshaler == nullptr) {
        return E_INVALIDARG;
    }
    *marshaler = nullptr;
    if (HostHooks().freeThreadedMarshalerFailure < 0) {
        return HostHooks().freeThreadedMarshalerFailure;
    }
    FreeThreadedMarshaler* object = new FreeThreadedMarshaler(outer);
    *marshaler = &object->inner;
    return S_OK;
}

int StringFromGUID2(REFGUID guid, LPOLESTR text, int capacity)
{
    if (text == nullptr || capacity < 39) {
        return 0;
    }
    swprintf(text, static_cast<size_t>(capacity), L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2), static_cast<unsigned>(guid.Data3),
             guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
             guid.Data4[7]);
    return 39;
}
