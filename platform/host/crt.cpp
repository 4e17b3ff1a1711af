// The Windows C run time's behaviour where glibc differs: wide formatted output, wcstol's character
// classes and range, and the few underscore calls.
#include "platform/host/crt.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <cwctype>
#include <string>
#include <unistd.h>

int _setmode(int fd, int)
{
    // There is no text mode here: every descriptor already passes its bytes unchanged.
    return fd >= 0 ? _O_BINARY : -1;
}

int _fileno(FILE* stream)
{
    return fileno(stream);
}

static wchar_t AsciiLower(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

int _wcsicmp(const wchar_t* a, const wchar_t* b)
{
    for (;; ++a, ++b) {
        const wchar_t ca = AsciiLower(*a);
        const wchar_t cb = AsciiLower(*b);
        if (ca != cb || ca == 0) {
            return static_cast<int>(ca) - static_cast<int>(cb);
        }
    }
}

// The wide space class of the Windows C run time.
static bool IsWideSpace(wchar_t c)
{
    switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
    case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

// The first code point of each run of ten decimal digits that the conversion accepts.
static const wchar_t kDigitZeros[] = {0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0C66,
                                      0x0CE6, 0x0D66, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};

static int DigitValue(wchar_t c, int base)
{
    int value = -1;
    for (wchar_t zero : kDigitZeros) {
        if (c >= zero && c < zero + 10) {
            value = static_cast<int>(c - zero);
        }
    }
    if (value < 0 && c >= L'a' && c <= L'z') {
        value = static_cast<int>(c - L'a') + 10;
    } else if (value < 0 && c >= L'A' && c <= L'Z') {
        value = static_cast<int>(c - L'A') + 10;
    }
    return value >= 0 && value < base ? value : -1;
}

long CrtWcstol(const wchar_t* text, wchar_t** end, int base)
{
    const wchar_t* p = text;
    while (IsWideSpace(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == L'+' || *p == L'-') {
        negative = *p == L'-';
        ++p;
    }
    if ((base == 0 || base == 16) && p[0] == L'0' && (p[1] == L'x' || p[1] == L'X')) {
        base = 16;
        p += 2;
    } else if (base == 0) {
        base = p[0] == L'0' ? 8 : 10;
    }
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    int64_t value = 0;
    bool overflow = false;
    bool anyDigit = false;
    for (int digit; (digit = DigitValue(*p, base)) >= 0; ++p) {
        anyDigit = true;
        if (!overflow) {
            value = value * base + digit;
            overflow = value > limit;
        }
    }
    if (end != nullptr) {
        *end = const_cast<wchar_t*>(anyDigit ? p : text);
    }
    if (!anyDigit) {
        return 0;
    }
    if (overflow) {
        return negative ? INT32_MIN : INT32_MAX;
    }
    return static_cast<long>(negative ? -value : value);
}

// Wide formatted output. Supports what a Windows program's lines use: flags "-0+ #", width and
// precision (also "*"), the size prefixes h, l, ll, I64, and the conversions d i u x X o c s p %.
namespace {

struct Conversion {
    bool left = false, zero = false, plus = false, space = false, alternate = false;
    int width = -1, precision = -1;
    enum { kDefault, kShort, kLong, kLongLong } size = kDefault;
    bool narrowString = false;
};

void Pad(std::string& out, size_t length, const Conversion& conv, char fill)
{
    for (size_t i = length; conv.width > 0 && i < static_cast<size_t>(conv.width); ++i) {
        out.push_back(fill);
    }
}

void EmitField(std::string& out, const std::string& body, const char* prefix, const Conversion& conv, bool numeric)
{
    const size_t length = body.size() + std::strlen(prefix);
    if (conv.left) {
        out += prefix;
        out += body;
        Pad(out, length, conv, ' ');
    } else if (conv.zero && numeric && conv.precision < 0) {
        out += prefix;
        Pad(out, length, conv, '0');
        out += body;
    } else {
        Pad(out, length, conv, ' ');
        out += prefix;
        out += body;
    }
}

std::string Digits(uint64_t value, unsigned base, bool upper, int precision)
{
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    while (value != 0) {
        text.insert(text.begin(), set[value % base]);
        value /= base;
    }
    const size_t minimum = precision < 0 ? 1 : static_cast<size_t>(precision);
    while (text.size() < minimum) {
        text.insert(text.begin(), '0');
    }
    return text;
}

// Narrow bytes of a wide character: ASCII as is, anything else as "?" (the C locale's choice).
char Narrow(wchar_t c)
{
    return (c >= 0 && c < 0x80) ? static_cast<char>(c) : '?';
}

void FormatInto(std::string& out, const wchar_t* format, va_list args)
{
    for (const wchar_t* f = format; *f != 0; ++f) {
        if (*f != L'%') {
            out.push_back(Narrow(*f));
            continue;
        }
        Conversion conv;
        for (++f;; ++f) {
            if (*f == L'-') conv.left = true;
            else if (*f == L'0') conv.zero = true;
            else if (*f == L'+') conv.plus = true;
            else if (*f == L' ') conv.space = true;
            else if (*f == L'#') conv.alternate = true;
            else break;
        }
        if (*f == L'*') {
            conv.width = va_arg(args, int);
            if (conv.width < 0) {
                conv.left = true;
                conv.width = -conv.width;
            }
            ++f;
        } else {
            for (; *f >= L'0' && *f <= L'9'; ++f) {
                conv.width = (conv.width < 0 ? 0 : conv.width * 10) + (*f - L'0');
            }
        }
        if (*f == L'.') {
            ++f;
            conv.precision = 0;
            if (*f == L'*') {
                conv.precision = va_arg(args, int);
                ++f;
            } else {
                for (; *f >= L'0' && *f <= L'9'; ++f) {
                    conv.precision = conv.precision * 10 + (*f - L'0');
                }
            }
        }
        if (*f == L'h') {
            conv.size = Conversion::kShort;
            conv.narrowString = true;
            ++f;
        } else if (f[0] == L'l' && f[1] == L'l') {
            conv.size = Conversion::kLongLong;
            f += 2;
        } else if (*f == L'l' || *f == L'w') {
            conv.size = Conversion::kLong;
            ++f;
        } else if (f[0] == L'I' && f[1] == L'6' && f[2] == L'4') {
            conv.size = Conversion::kLongLong;
            f += 3;
        }
        const wchar_t conversion = *f;
        if (conversion == 0) {
            return;
        }
        switch (conversion) {
        case L'd':
        case L'i': {
            // A Windows long is 32 bits.
            int64_t value = conv.size == Conversion::kLongLong ? va_arg(args, long long) : va_arg(args, int);
            if (conv.size == Conversion::kShort) {
                value = static_cast<short>(value);
            }
            const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            const char* sign = value < 0 ? "-" : conv.plus ? "+" : conv.space ? " " : "";
            EmitField(out, Digits(magnitude, 10, false, conv.precision), sign, conv, true);
            break;
        }
        case L'u':
        case L'x':
        case L'X':
        case L'o': {
            uint64_t value = conv.size == Conversion::kLongLong ? va_arg(args, unsigned long long) : va_arg(args, unsigned);
            if (conv.size == Conversion::kShort) {
                value = static_cast<unsigned short>(value);
            }
            const unsigned base = conversion == L'u' ? 10 : conversion == L'o' ? 8 : 16;
            const char* prefix = "";
            if (conv.alternate && value != 0 && base == 16) {
                prefix = conversion == L'X' ? "0X" : "0x";
            }
            EmitField(out, Digits(value, base, conversion == L'X', conv.precision), prefix, conv, true);
            break;
        }
        case L'p': {
            const uintptr_t value = reinterpret_cast<uintptr_t>(va_arg(args, void*));
            EmitField(out, Digits(value, 16, true, static_cast<int>(2 * sizeof(void*))), "", conv, false);
            break;
        }
        case L'c': {
            const wint_t c = va_arg(args, wint_t);
            EmitField(out, std::string(1, conv.narrowString ? static_cast<char>(c) : Narrow(static_cast<wchar_t>(c))),
                      "", conv, false);
            break;
        }
        case L's':
        case L'S': {
            // In the wide functions "%s" is wide and "%S" or "%hs" narrow.
            const bool narrow = conv.narrowString || (conversion == L'S' && conv.size != Conversion::kLong);
            std::string text;
            if (narrow) {
                const char* s = va_arg(args, const char*);
                for (s = s ? s : "(null)"; *s != 0 && (conv.precision < 0 || text.size() < size_t(conv.precision)); ++s) {
                    text.push_back(*s);
                }
            } else {
                const wchar_t* s = va_arg(args, const wchar_t*);
                for (s = s ? s : L"(null)"; *s != 0 && (conv.precision < 0 || text.size() < size_t(conv.precision)); ++s) {
                    text.push_back(Narrow(*s));
                }
            }
            EmitField(out, text, "", conv, false);
            break;
        }
        case L'%':
            out.push_back('%');
            break;
        default:
            out.push_back(Narrow(conversion));
            break;
        }
    }
}

} // namespace

int CrtVfwprintf(FILE* stream, const wchar_t* format, va_list args)
{
    std::string text;
    text.reserve(128);
    va_list copy;
    va_copy(copy, args);
    FormatInto(text, format, copy);
    va_end(copy);
    // One write under the stream's lock, so lines from several threads never interleave.
    flockfile(stream);
    const size_t written = fwrite_unlocked(text.data(), 1, text.size(), stream);
    funlockfile(stream);
    return written == text.size() ? static_cast<int>(text.size()) : -1;
}
