// What the tool takes from Core Audio beyond the platform headers: the identifiers it compares and
// requests, the process-loopback activation record (no toolchain header has it), and the type of the
// activation entry point, which is looked up at run time.
#pragma once

#include "platform/platform.h"

inline constexpr GUID kIidUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID kIidMarshal = {0x00000003, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID kIidAgileObject = {0x94EA2B94, 0xE9CC, 0x49E0, {0xC0, 0xFF, 0xEE, 0x64, 0xCA, 0x8F, 0x5B, 0x90}};
inline constexpr GUID kIidActivateCompletionHandler = {
    0x41D949AB, 0x9862, 0x444A, {0x80, 0xF6, 0xC2, 0x61, 0x33, 0x4D, 0xA5, 0xEB}};
inline constexpr GUID kIidAudioClient = {0x1CB9AD4C, 0xDBFA, 0x4C32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};
inline constexpr GUID kIidAudioCaptureClient = {
    0xC8ADBD64, 0xE71E, 0x48A0, {0xA4, 0xDE, 0x18, 0x5C, 0x39, 0x5C, 0xD3, 0x17}};

inline bool SameGuid(const GUID& a, const GUID& b)
{
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}

inline constexpr wchar_t kAudioLibraryName[] = L"Mmdevapi.dll";
inline constexpr char kActivateEntryName[] = "ActivateAudioInterfaceAsync";
inline constexpr wchar_t kProcessLoopbackDevicePath[] = L"VAD\\Process_Loopback";

inline constexpr DWORD AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK = 1;
inline constexpr DWORD PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE = 0;
inline constexpr DWORD PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE = 1;

struct AUDIOCLIENT_ACTIVATION_PARAMS {
    DWORD ActivationType;
    DWORD TargetProcessId;
    DWORD ProcessLoopbackMode;
};
static_assert(sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) == 12, "the activation record is 12 bytes");
static_assert(offsetof(AUDIOCLIENT_ACTIVATION_PARAMS, TargetProcessId) == 4, "process id at offset 4");
static_assert(offsetof(AUDIOCLIENT_ACTIVATION_PARAMS, ProcessLoopbackMode) == 8, "mode at offset 8");

typedef HRESULT(WINAPI* ActivateAudioInterfaceAsyncFn)(LPCWSTR deviceInterfacePath, REFIID riid,
                                                       PROPVARIANT* activationParams,
                                                       IActivateAudioInterfaceCompletionHandler* completionHandler,
                                                       IActivateAudioInterfaceAsyncOperation** activationOperation);

// Stream parameters of the capture stream.
inline constexpr DWORD kCaptureStreamFlags =
    AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM;
static_assert(kCaptureStreamFlags == 0x88020000u, "loopback, default-quality resampling, PCM conversion");
