// Every way a run can fail, with the script that provokes it through the scripted engine and what
// the caller sees. One table for the host binary and the Windows binary under Wine; the expected
// trail is written with "\n" line ends (Wine's text-mode standard error adds the CR).
#pragma once

#include <string>
#include <vector>

struct FailureCase {
    const char* name;
    const char* script;     // engine script text
    const char* trailEnd;   // the last lines standard error must end with
    int status;
    bool hostOnly;          // provoked through the host layer (no way to inject it under Wine)
};

inline const std::vector<FailureCase>& FailureCases()
{
    static const std::vector<FailureCase> cases = {
        {"CoInitializeFails", "coinit 0x80010106\n", "[com] CoInitializeEx(MTA): 0x80010106\n", 1, true},
        {"LibraryMissing", "library absent\n", "[err] LoadLibrary(Mmdevapi.dll) failed: 126\n", 1, false},
        {"EntryPointMissing", "entry absent\n",
         "[dll] ActivateAudioInterfaceAsync proc: 0000000000000000\n"
         "[err] API not available on this Windows build\n",
         1, false},
        {"ActivationRefused", "activate refuse 0x80070005\n",
         "[act] activating pid=1234 mode=include\n"
         "[err] ActivateAudioInterfaceAsync failed: 0x80070005\n",
         1, false},
        {"ActivationResultNegative", "activate result 0x88890004\n",
         "[cb] ActivateCompleted fired\n[err] GetActivateResult: hr=0x00000000 result=0x88890004\n", 1, false},
        {"GetActivateResultFails", "activate hr 0x8000ffff\n",
         "[cb] ActivateCompleted fired\n[err] GetActivateResult: hr=0x8000ffff result=0x00000000\n", 1, false},
        {"NoAudioClient", "audioclient none\n", "[cb] ActivateCompleted fired\n[err] QI(IAudioClient): 0x80004002\n", 1,
         false},
        {"NoActivatedObject", "activate null\n", "[cb] ActivateCompleted fired\n[err] QI(IAudioClient): 0x80004002\n",
         1, false},
        {"InitializeFails", "initialize 0x88890008\n", "[err] IAudioClient::Initialize: 0x88890008\n", 1, false},
        {"GetServiceFails", "getservice 0x88890004\n", "[err] GetService(IAudioCaptureClient): 0x88890004\n", 1, false},
        {"StartFails", "start 0x88890004\n", "FORMAT 48000 2 32\n[err] IAudioClient::Start: 0x88890004\n", 1, false},
    };
    return cases;
}
