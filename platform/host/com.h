// The COM run time as far as the tool and the audio engines use it.
#pragma once

#include "platform/host/win_types.h"

enum COINIT { COINIT_MULTITHREADED = 0, COINIT_APARTMENTTHREADED = 2 };

HRESULT CoInitializeEx(void* reserved, DWORD coInit);
void CoUninitialize();
HRESULT CoCreateFreeThreadedMarshaler(LPUNKNOWN outer, LPUNKNOWN* marshaler);
int StringFromGUID2(REFGUID guid, LPOLESTR text, int capacity);

struct IMarshal : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID riid, void* object, DWORD destContext,
                                                        void* reserved, DWORD flags, CLSID* clsid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID riid, void* object, DWORD destContext,
                                                        void* reserved, DWORD flags, DWORD* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE MarshalInterface(void* stream, REFIID riid, void* object,
                                                       DWORD destContext, void* reserved, DWORD flags) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnmarshalInterface(void* stream, REFIID riid, void** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleaseMarshalData(void* stream) = 0;
    virtual HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD reserved) = 0;
};

struct IAgileObject : IUnknown {};
