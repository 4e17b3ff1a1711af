#include "console/diagnostics.h"

#include "console/messages.h"

void LogLine(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    CrtVfwprintf(stderr, format, args);
    va_end(args);
}

void LogLineFlushed(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    CrtVfwprintf(stderr, format, args);
    va_end(args);
    fflush(stderr);
}

void LogGuid(const wchar_t* label, REFIID iid)
{
    wchar_t text[64] = {};
    StringFromGUID2(iid, text, 64);
    LogLineFlushed(kMsgQi, label, text);
}

void LogFormat(const WAVEFORMATEX& format)
{
    fprintf(stderr, kMsgFormat, static_cast<unsigned>(format.nSamplesPerSec), static_cast<unsigned>(format.nChannels),
            static_cast<unsigned>(format.wBitsPerSample));
    fflush(stderr);
}
