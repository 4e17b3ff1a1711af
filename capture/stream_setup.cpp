#include "capture/stream_setup.h"

#include "console/diagnostics.h"
#include "console/messages.h"

HRESULT SetUpCaptureStream(IAudioClient* audioClient, WAVEFORMATEX* format, IAudioCaptureClient** captureClient)
{
    memset(format, 0, sizeof(*format));
    format->wFormatTag = kCaptureFormatTag;
    format->nChannels = kCaptureChannels;
    format->nSamplesPerSec = kCaptureSampleRate;
    format->wBitsPerSample = kCaptureBitsPerSample;
    format->nBlockAlign = static_cast<WORD>(format->nChannels * format->wBitsPerSample / 8);
    format->nAvgBytesPerSec = format->nSamplesPerSec * format->nBlockAlign;
    format->cbSize = 0;

    HRESULT result = audioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, kCaptureStreamFlags, 0, 0, format, nullptr);
    if (result < 0) {
        LogLine(kMsgInitialize, result);
        return result;
    }

    *captureClient = nullptr;
    result = audioClient->GetService(kIidAudioCaptureClient, reinterpret_cast<void**>(captureClient));
    if (result < 0) {
        LogLine(kMsgGetService, result);
        return result;
    }

    // The reader learns the format before the first sample byte can exist.
    LogFormat(*format);

    result = audioClient->Start();
    if (result < 0) {
        LogLine(kMsgStart, result);
        return result;
    }
    return S_OK;
}
