// The sample stream (standard output): raw frames, nothing else, in binary mode.
#pragma once

#include <cstddef>

void SetSampleStreamBinary();

// Both return false once the stream's reader has gone or the write failed otherwise.
bool WriteSamples(const void* bytes, size_t count);
bool FlushSamples();
