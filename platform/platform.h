// The one place where the tool meets its platform. On Windows this brings the toolchain's own SDK
// headers; elsewhere it brings the stand-in layer, which declares the same names.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>

#if defined(_WIN32)

#include <windows.h>
#include <objbase.h>
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <fcntl.h>
#include <io.h>

// libstdc++ switches MinGW to its own C99 printf, which reads a wide "%s" as a narrow string and
// prints "%p" in lower case. The tool's lines are written for the Windows C run time's formatter.
inline int CrtVfwprintf(FILE* stream, const wchar_t* format, va_list args)
{
#if defined(__MINGW32__)
    return __ms_vfwprintf(stream, format, args);
#else
    return vfwprintf(stream, format, args);
#endif
}

inline long CrtWcstol(const wchar_t* text, wchar_t** end, int base)
{
    return wcstol(text, end, base);
}

#else

#include "platform/host/win_types.h"
#include "platform/host/com.h"
#include "platform/host/audio_interfaces.h"
#include "platform/host/kernel.h"
#include "platform/host/crt.h"

#endif
