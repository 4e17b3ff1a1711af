// The capture pump: packets from the capture client to the sample stream until a stop request, a
// capture-service failure or a failed write; then teardown.
#pragma once

#include "activation/audio_contract.h"

inline constexpr DWORD kIdlePollMilliseconds = 5;
inline constexpr UINT32 kSilenceBlockBytes = 65536;

void RunCapturePump(IAudioCaptureClient* captureClient, const WAVEFORMATEX& format);

// Stops the stream, releases the capture client, then the audio client, and leaves COM.
void TearDown(IAudioClient* audioClient, IAudioCaptureClient* captureClient);
