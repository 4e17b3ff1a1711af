// The capture stream: shared-mode loopback in one fixed format that the engine converts to.
#pragma once

#include "activation/audio_contract.h"

inline constexpr WORD kCaptureFormatTag = WAVE_FORMAT_IEEE_FLOAT;
inline constexpr WORD kCaptureChannels = 2;
inline constexpr DWORD kCaptureSampleRate = 48000;
inline constexpr WORD kCaptureBitsPerSample = 32;

// Fills the format record, initialises the stream, obtains the capture client, writes the format
// line and starts the stream. Writes its own "[err]" line and returns negative on failure.
HRESULT SetUpCaptureStream(IAudioClient* audioClient, WAVEFORMATEX* format, IAudioCaptureClient** captureClient);
