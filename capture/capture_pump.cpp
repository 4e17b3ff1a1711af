#include "capture/capture_pump.h"

#include "app/stop_request.h"
#include "console/sample_stream.h"

// Silent packets are written from here, so silence costs no allocation.
static const BYTE g_silence[kSilenceBlockBytes] = {};

static bool WriteSilence(UINT32 bytes)
{
    while (bytes > 0) {
        const UINT32 piece = bytes < kSilenceBlockBytes ? bytes : kSilenceBlockBytes;
        if (!WriteSamples(g_silence, piece)) {
            return false;
        }
        bytes -= piece;
    }
    return true;
}

// Drains every queued packet. A capture-service failure or a failed write sets g_stop.
static void Drain(IAudioCaptureClient* captureClient, UINT32 blockAlign, UINT32 packetFrames)
{
    while (packetFrames != 0 && !g_stop.load()) {
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        if (captureClient->GetBuffer(&data, &frames, &flags, nullptr, nullptr) < 0) {
            g_stop.exchange(true);
            return;
        }
        const UINT32 bytes = frames * blockAlign;
        // The engine's buffer goes straight to the buffered writer; no copy of our own.
        const bool written = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 ? WriteSilence(bytes)
                                                                        : WriteSamples(data, bytes);
        if (captureClient->ReleaseBuffer(frames) < 0 || !written) {
            g_stop.exchange(true);
            return;
        }
        if (captureClient->GetNextPacketSize(&packetFrames) < 0) {
            g_stop.exchange(true);
            return;
        }
    }
}

void RunCapturePump(IAudioCaptureClient* captureClient, const WAVEFORMATEX& format)
{
    while (!g_stop.load()) {
        UINT32 packetFrames = 0;
        if (captureClient->GetNextPacketSize(&packetFrames) < 0) {
            return;
        }
        if (packetFrames == 0) {
            Sleep(kIdlePollMilliseconds);
            continue;
        }
        Drain(captureClient, format.nBlockAlign, packetFrames);
        // A reader that has gone ends the capture as a failed capture service would.
        if (!FlushSamples()) {
            g_stop.exchange(true);
        }
    }
}

void TearDown(IAudioClient* audioClient, IAudioCaptureClient* captureClient)
{
    audioClient->Stop();
    captureClient->Release();
    audioClient->Release();
    CoUninitialize();
}
