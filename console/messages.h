// The message catalogue: every line the tool can write to standard error, in the order a run can
// write them.
#pragma once

inline constexpr wchar_t kMsgUsage[] = L"Usage: harkwire.exe <PID> [include|exclude]\n";
inline constexpr wchar_t kMsgCom[] = L"[com] CoInitializeEx(MTA): 0x%08x\n";
inline constexpr wchar_t kMsgLoadLibraryFailed[] = L"[err] LoadLibrary(Mmdevapi.dll) failed: %lu\n";
inline constexpr wchar_t kMsgDll[] = L"[dll] ActivateAudioInterfaceAsync proc: %p\n";
inline constexpr wchar_t kMsgApiMissing[] = L"[err] API not available on this Windows build\n";
inline constexpr wchar_t kMsgFtm[] = L"[ftm] CoCreateFreeThreadedMarshaler: 0x%08x\n";
inline constexpr wchar_t kMsgAct[] = L"[act] activating pid=%lu mode=%s\n";
inline constexpr wchar_t kMsgQi[] = L"[qi] %s %s\n";
inline constexpr wchar_t kMsgCb[] = L"[cb] ActivateCompleted fired\n";
inline constexpr wchar_t kMsgActivateFailed[] = L"[err] ActivateAudioInterfaceAsync failed: 0x%08x\n";
inline constexpr wchar_t kMsgActivateResult[] = L"[err] GetActivateResult: hr=0x%08x result=0x%08x\n";
inline constexpr wchar_t kMsgQiAudioClient[] = L"[err] QI(IAudioClient): 0x%08x\n";
inline constexpr wchar_t kMsgInitialize[] = L"[err] IAudioClient::Initialize: 0x%08x\n";
inline constexpr wchar_t kMsgGetService[] = L"[err] GetService(IAudioCaptureClient): 0x%08x\n";
inline constexpr char kMsgFormat[] = "FORMAT %u %u %u\n";
inline constexpr wchar_t kMsgStart[] = L"[err] IAudioClient::Start: 0x%08x\n";

inline constexpr wchar_t kQiLabel[] = L"asked for";
