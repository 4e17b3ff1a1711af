#include "console/sample_stream.h"

#include "platform/platform.h"

void SetSampleStreamBinary()
{
    _setmode(_fileno(stdout), _O_BINARY);
}

bool WriteSamples(const void* bytes, size_t count)
{
    return fwrite(bytes, 1, count, stdout) == count;
}

bool FlushSamples()
{
    return fflush(stdout) == 0;
}
