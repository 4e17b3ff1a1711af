// The whole run, in order: command line, console, COM, activation, stream set-up, pump, teardown.
#include "activation/activation.h"
#include "app/command_line.h"
#include "app/stop_request.h"
#include "capture/capture_pump.h"
#include "capture/stream_setup.h"
#include "console/diagnostics.h"
#include "console/messages.h"
#include "console/sample_stream.h"

extern "C" int wmain(int argc, wchar_t* argv[])
{
    if (argc < 2) {
        LogLine(kMsgUsage);
        return 1;
    }
    const DWORD processId = ParseProcessId(argv[1]);
    const bool exclude = ParseExcludeMode(argc, argv);

    SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
    SetSampleStreamBinary();

    const HRESULT comResult = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    LogLine(kMsgCom, comResult);
    if (comResult < 0) {
        return 1;
    }

    // The platform reads these asynchronously; they stay in this frame for the whole run.
    AUDIOCLIENT_ACTIVATION_PARAMS activationParams;
    PROPVARIANT activationBlob;
    IAudioClient* audioClient = nullptr;
    if (ActivateProcessLoopback(processId, exclude, &activationParams, &activationBlob, &audioClient) < 0) {
        return 1;
    }

    WAVEFORMATEX format;
    IAudioCaptureClient* captureClient = nullptr;
    if (SetUpCaptureStream(audioClient, &format, &captureClient) < 0) {
        return 1;
    }

    RunCapturePump(captureClient, format);
    TearDown(audioClient, captureClient);
    return 0;
}
