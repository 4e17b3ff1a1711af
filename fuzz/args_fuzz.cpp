// libFuzzer target over the command line conversions of the host layer: CrtWcstol (base 10), the
// process id taken from it, _wcsicmp and the mode decision. Each is checked against a reference model
// written here from the Windows C run time's documented behaviour: its wide space class, its decimal
// digit runs, 32-bit saturation, and a case fold of ASCII letters only.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace {

// The characters the Windows wide classification calls space.
const wchar_t kSpaces[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0xA0,   0x1680, 0x2000, 0x2001,
                           0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028,
                           0x2029, 0x202F, 0x205F, 0x3000};
// The first character of every run of ten decimal digits it converts.
const wchar_t kZeros[] = {0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0C66,
                          0x0CE6, 0x0D66, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};
// Characters next to those classes, and letters that fold to the letters of "exclude" only under a
// Unicode-aware fold (dotted capital I, Kelvin sign, long s, full-width forms, Latin-1 capitals).
const wchar_t kNearMisses[] = {0x08,   0x0E,   0x1F,   0x21,   0x2F,    0x3A,   0x9F,   0xA1,   0x165F, 0x1681,
                               0x1FFF, 0x200B, 0x2027, 0x202A, 0x202E,  0x2030, 0x205E, 0x2060, 0x2FFF, 0x3001,
                               0x065F, 0x066A, 0xFF0F, 0xFF1A, 0x0130,  0x212A, 0x017F, 0xFF25, 0xFF45, 0x00C9,
                               0x00E9, 0x0178, 0x1D7CE, 0xFEFF, 0x10FFFF, 0x0B,  0x7F,   0x80,   0xFFFD, 0x0660};
const char kLetters[] = "excludEXCLUDincluIN0xX+-_[@`{abzAZ";

bool IsSpace(wchar_t c)
{
    for (wchar_t s : kSpaces) {
        if (c == s) return true;
    }
    return false;
}

int Digit(wchar_t c)
{
    for (wchar_t zero : kZeros) {
        if (c >= zero && c <= zero + 9) return static_cast<int>(c - zero);
    }
    return -1;
}

// wcstol(text, &end, 10) as a run of digit values: leading zeros dropped, then the length decides
// whether the magnitude can fit before any arithmetic is done.
long ReferenceWcstol(const std::vector<wchar_t>& text, size_t* endIndex)
{
    size_t i = 0;
    while (IsSpace(text[i])) ++i;
    bool negative = false;
    if (text[i] == L'+' || text[i] == L'-') {
        negative = text[i] == L'-';
        ++i;
    }
    std::string digits;
    const size_t first = i;
    for (; Digit(text[i]) >= 0; ++i) {
        digits.push_back(static_cast<char>('0' + Digit(text[i])));
    }
    if (i == first) {
        *endIndex = 0;
        return 0;
    }
    *endIndex = i;
    digits.erase(0, digits.find_first_not_of('0') == std::string::npos ? digits.size() : digits.find_first_not_of('0'));
    const unsigned long long limit = negative ? 2147483648ull : 2147483647ull;
    const unsigned long long magnitude = digits.size() > 10 ? limit + 1 : (digits.empty() ? 0 : std::stoull(digits));
    if (magnitude > limit) return negative ? -2147483648L : 2147483647L;
    return negative ? -static_cast<long>(magnitude) : static_cast<long>(magnitude);
}

wchar_t Fold(wchar_t c)
{
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c;
}

// Sign of _wcsicmp: the first position where the ASCII-folded characters differ decides.
int ReferenceCompareSign(const std::vector<wchar_t>& a, const std::vector<wchar_t>& b)
{
    for (size_t i = 0;; ++i) {
        const long ca = Fold(a[i]), cb = Fold(b[i]);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}

int Sign(int v)
{
    return (v > 0) - (v < 0);
}

[[noreturn]] void Fail(const char* what, const std::vector<wchar_t>& text, long got, long want)
{
    fprintf(stderr, "%s: got %ld, want %ld for", what, got, want);
    for (wchar_t c : text) fprintf(stderr, " U+%04X", static_cast<unsigned>(c));
    fprintf(stderr, "\n");
    abort();
}

// Turns fuzz bytes into up to four arguments. Each byte picks a kind of character and, with the next
// byte where needed, which one, so that digit runs, spaces and signs come up far more often than in
// raw code units; kind 6 starts the next argument.
std::vector<std::vector<wchar_t>> Decode(const uint8_t* data, size_t size)
{
    std::vector<std::vector<wchar_t>> args(1);
    for (size_t i = 0; i < size; ++i) {
        const uint8_t c = data[i];
        const uint8_t next = i + 1 < size ? data[i + 1] : 0;
        std::vector<wchar_t>& arg = args.back();
        switch (c % 8) {
        case 0: arg.push_back(static_cast<wchar_t>(L'0' + (c / 8) % 10)); break;
        case 1: arg.push_back(static_cast<wchar_t>(kZeros[(c / 8) % 18] + next % 10)); ++i; break;
        case 2: arg.push_back(kSpaces[(c / 8) % (sizeof kSpaces / sizeof kSpaces[0])]); break;
        case 3: arg.push_back((c / 8) % 2 ? L'-' : L'+'); break;
        case 4: arg.push_back(static_cast<wchar_t>(kLetters[(c / 8) % (sizeof kLetters - 1)])); break;
        case 5: arg.push_back(static_cast<wchar_t>(next | (i + 2 < size ? data[i + 2] << 8 : 0))); i += 2; break;
        case 6:
            if (args.size() < 4) args.emplace_back();
            break;
        default: arg.push_back(kNearMisses[(c / 8) % (sizeof kNearMisses / sizeof kNearMisses[0])]); break;
        }
        if (!args.back().empty() && args.back().back() == 0) args.back().pop_back(); // no early end
    }
    for (auto& arg : args) arg.push_back(0);
    return args;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::vector<wchar_t>> args = Decode(data, size);

    for (const auto& arg : args) {
        size_t wantEnd = 0;
        const long want = ReferenceWcstol(arg, &wantEnd);
        wchar_t* end = nullptr;
        const long got = CrtWcstol(arg.data(), &end, 10);
        if (got != want) Fail("CrtWcstol", arg, got, want);
        if (end != arg.data() + wantEnd) Fail("CrtWcstol end", arg, end - arg.data(), static_cast<long>(wantEnd));
        const DWORD pid = ParseProcessId(arg.data());
        if (pid != static_cast<DWORD>(static_cast<uint32_t>(want))) Fail("ParseProcessId", arg, pid, want);
    }

    // The mode, with the program path in front as the tool sees its argv.
    std::vector<wchar_t> program = {L'h', 0};
    std::vector<wchar_t*> argv = {program.data()};
    for (auto& arg : args) argv.push_back(arg.data());
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    static const std::vector<wchar_t> kExclude = {L'e', L'x', L'c', L'l', L'u', L'd', L'e', 0};
    const bool wantExclude = argc >= 3 && ReferenceCompareSign(args[1], kExclude) == 0;
    if (ParseExcludeMode(argc, argv.data()) != wantExclude) {
        Fail("ParseExcludeMode", argc >= 3 ? args[1] : args[0], !wantExclude, wantExclude);
    }

    // _wcsicmp between every pair: the reference's sign, and the same answer either way round.
    for (const auto& a : args) {
        for (const auto& b : args) {
            const int ab = Sign(_wcsicmp(a.data(), b.data()));
            if (ab != ReferenceCompareSign(a, b)) Fail("_wcsicmp", a, ab, ReferenceCompareSign(a, b));
            if (ab != -Sign(_wcsicmp(b.data(), a.data()))) Fail("_wcsicmp antisymmetry", a, ab, -ab);
        }
        if (_wcsicmp(a.data(), kExclude.data()) != 0 && ReferenceCompareSign(a, kExclude) == 0) {
            Fail("_wcsicmp exclude", a, 1, 0);
        }
    }
    return 0;
}
