// The C run time calls that glibc lacks or makes differently from the Windows C run time.
#pragma once

#include <cstdarg>
#include <cstdio>

constexpr int _O_TEXT = 0x4000;
constexpr int _O_BINARY = 0x8000;

int _setmode(int fd, int mode);
int _fileno(FILE* stream);
int _wcsicmp(const wchar_t* a, const wchar_t* b);

// Wide formatted output with the Windows C run time's conversions: "%s" takes a wide string, "%hs" a
// narrow one, "l" is 32 bits, "%p" is sixteen upper-case digits. The line is gathered whole and
// written as narrow bytes under the stream's lock.
int CrtVfwprintf(FILE* stream, const wchar_t* format, va_list args);

// wcstol as the Windows C run time has it: its wide space class, the decimal digits of other scripts
// and the full-width digits, and a 32-bit long.
long CrtWcstol(const wchar_t* text, wchar_t** end, int base);
