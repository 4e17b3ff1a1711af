// The stand-in layer's C run time where it must behave as the Windows one does: the wide formatter's
// conversions, wcstol's digits, spaces and range, and the registry text of identifiers.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

#include "activation/audio_contract.h"
#include "console/messages.h"

namespace {

// What CrtVfwprintf writes for one format, caught in a memory stream. A returned count that is not
// the number of bytes written is appended, so that the row fails.
std::string Format(const wchar_t* format, ...)
{
    char* buffer = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    va_list args;
    va_start(args, format);
    const int written = CrtVfwprintf(stream, format, args);
    va_end(args);
    fclose(stream);
    std::string text(buffer, size);
    free(buffer);
    if (written != static_cast<int>(text.size())) {
        text += "<returned " + std::to_string(written) + ">";
    }
    return text;
}

struct FormatCase {
    const char* name;
    std::string got;
    std::string want;
};

class Formatter : public testing::TestWithParam<FormatCase> {};

TEST_P(Formatter, WritesTheWindowsConversion)
{
    EXPECT_EQ(GetParam().got, GetParam().want);
}

const DWORD kPid = 1234;

INSTANTIATE_TEST_SUITE_P(
    Table, Formatter,
    testing::Values(
        FormatCase{"HexZeroPadded", Format(L"0x%08x", 0x2Au), "0x0000002a"},
        FormatCase{"HexZero", Format(L"0x%08x", 0u), "0x00000000"},
        FormatCase{"HexFailureCodeLowerCase", Format(L"0x%08x", static_cast<HRESULT>(0x8000FFFFu)), "0x8000ffff"},
        FormatCase{"HexFullWidthNoPadding", Format(L"0x%08x", 0xABCDEF12u), "0xabcdef12"},
        FormatCase{"UnsignedLongIs32Bits", Format(L"%lu|%lu", static_cast<DWORD>(4294967295u), static_cast<DWORD>(7)),
                   "4294967295|7"},
        FormatCase{"UnsignedLongSaturatedNegative", Format(L"%lu", static_cast<DWORD>(2147483648u)), "2147483648"},
        FormatCase{"UnsignedLongZero", Format(L"%lu", static_cast<DWORD>(0)), "0"},
        FormatCase{"PlainUnsigned", Format(L"%u %u %u", 48000u, 2u, 32u), "48000 2 32"},
        FormatCase{"PointerNull", Format(L"%p", static_cast<void*>(nullptr)), "0000000000000000"},
        FormatCase{"PointerUpperCasePadded", Format(L"%p", reinterpret_cast<void*>(uintptr_t{0xABCDEF})),
                   "0000000000ABCDEF"},
        FormatCase{"PointerAllDigits", Format(L"%p", reinterpret_cast<void*>(uintptr_t{0xFEDCBA9876543210ull})),
                   "FEDCBA9876543210"},
        FormatCase{"WideString", Format(L"mode=%s.", L"exclude"), "mode=exclude."},
        FormatCase{"NarrowStringWithH", Format(L"[%hs]", "narrow"), "[narrow]"},
        FormatCase{"TwoWideStrings", Format(L"[qi] %s %s\n", L"asked for", L"{00000000-0000-0000-C000-000000000046}"),
                   "[qi] asked for {00000000-0000-0000-C000-000000000046}\n"},
        FormatCase{"ActivationLine", Format(kMsgAct, kPid, L"include"), "[act] activating pid=1234 mode=include\n"},
        FormatCase{"DllLineNull", Format(kMsgDll, static_cast<void*>(nullptr)),
                   "[dll] ActivateAudioInterfaceAsync proc: 0000000000000000\n"},
        FormatCase{"LastErrorLine", Format(kMsgLoadLibraryFailed, static_cast<DWORD>(126)),
                   "[err] LoadLibrary(Mmdevapi.dll) failed: 126\n"},
        FormatCase{"ResultLine", Format(kMsgActivateResult, S_OK, static_cast<HRESULT>(0x88890010u)),
                   "[err] GetActivateResult: hr=0x00000000 result=0x88890010\n"},
        FormatCase{"Percent", Format(L"100%%"), "100%"},
        FormatCase{"UsageLine", Format(kMsgUsage), "Usage: harkwire.exe <PID> [include|exclude]\n"}),
    [](const testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

struct WcstolCase {
    const char* name;
    const wchar_t* text;
    long value;
    size_t consumed; // characters up to the end pointer
};

class Wcstol : public testing::TestWithParam<WcstolCase> {};

TEST_P(Wcstol, ConvertsAsTheWindowsRunTimeDoes)
{
    const WcstolCase& c = GetParam();
    wchar_t* end = nullptr;
    EXPECT_EQ(CrtWcstol(c.text, &end, 10), c.value);
    EXPECT_EQ(static_cast<size_t>(end - c.text), c.consumed);
    EXPECT_EQ(CrtWcstol(c.text, nullptr, 10), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Wcstol,
    testing::Values(WcstolCase{"Ascii", L"1234", 1234, 4}, WcstolCase{"StopsAtLetter", L"42xyz", 42, 2},
                    WcstolCase{"NoDigitsEndsAtStart", L"  abc", 0, 0}, WcstolCase{"SignAloneIsNoNumber", L"-", 0, 0},
                    WcstolCase{"Plus", L"+7", 7, 2}, WcstolCase{"Minus", L"-15", -15, 3},
                    WcstolCase{"Max", L"2147483647", 2147483647L, 10},
                    WcstolCase{"SaturatesHigh", L"2147483648", 2147483647L, 10},
                    WcstolCase{"Min", L"-2147483648", -2147483647L - 1, 11},
                    WcstolCase{"SaturatesLow", L"-2147483649", -2147483647L - 1, 11},
                    WcstolCase{"SaturatedStillConsumesAllDigits", L"123456789012345678901234567890x", 2147483647L, 30},
                    WcstolCase{"ArabicIndicZeroToNine", L"\u0660\u0661\u0662\u0663\u0664\u0665\u0666\u0667\u0668\u0669",
                               123456789L, 10},
                    WcstolCase{"ArabicIndicRunEnds", L"\u0669\u066A", 9, 1},
                    WcstolCase{"FullWidthZeroToNine", L"\uFF10\uFF11\uFF12\uFF13\uFF14\uFF15\uFF16\uFF17\uFF18\uFF19",
                               123456789L, 10},
                    WcstolCase{"FullWidthBeforeRun", L"\uFF0F1", 0, 0},
                    WcstolCase{"EveryListedRunGivesOne",
                               L"\u0031\u0661\u06F1\u0967\u09E7\u0A67\u0AE7\u0B67\u0C67",
                               111111111L, 9},
                    WcstolCase{"MoreListedRuns", L"\u0CE7\u0D67\u0E51\u0ED1\u0F21\u1041\u17E1\u1811\uFF11", 111111111L, 9},
                    WcstolCase{"SuperscriptIsNoDigit", L"\u00B2", 0, 0},
                    WcstolCase{"SpacesThenSign", L"\u3000\u00A0-3", -3, 4},
                    WcstolCase{"SpaceAfterSignIsNoNumber", L"- 3", 0, 0},
                    WcstolCase{"ZeroWidthSpaceIsNoSpace", L"\u200B3", 0, 0},
                    WcstolCase{"SpaceRangeEnds", L"\u200A\u200B3", 0, 0}),
    [](const testing::TestParamInfo<WcstolCase>& info) { return info.param.name; });

TEST(WcsIcmp, IgnoresOnlyAsciiCase)
{
    EXPECT_EQ(_wcsicmp(L"EXCLUDE", L"exclude"), 0);
    EXPECT_EQ(_wcsicmp(L"ExClUdE", L"exclude"), 0);
    EXPECT_NE(_wcsicmp(L"excludes", L"exclude"), 0);
    EXPECT_NE(_wcsicmp(L"exclud", L"exclude"), 0);
    EXPECT_NE(_wcsicmp(L"\u00C9", L"\u00E9"), 0); // É and é are not an ASCII case pair
}

struct GuidCase {
    const char* name;
    GUID guid;
    const wchar_t* text;
};

class GuidText : public testing::TestWithParam<GuidCase> {};

TEST_P(GuidText, IsTheRegistryForm)
{
    wchar_t text[64];
    wmemset(text, L'#', 64);
    EXPECT_EQ(StringFromGUID2(GetParam().guid, text, 64), 39); // characters with the terminator
    EXPECT_EQ(std::wstring(text), std::wstring(GetParam().text));
    EXPECT_EQ(wcslen(text), 38u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, GuidText,
    testing::Values(GuidCase{"Unknown", kIidUnknown, L"{00000000-0000-0000-C000-000000000046}"},
                    GuidCase{"Marshal", kIidMarshal, L"{00000003-0000-0000-C000-000000000046}"},
                    GuidCase{"AgileObject", kIidAgileObject, L"{94EA2B94-E9CC-49E0-C0FF-EE64CA8F5B90}"},
                    GuidCase{"CompletionHandler", kIidActivateCompletionHandler,
                             L"{41D949AB-9862-444A-80F6-C261334DA5EB}"},
                    GuidCase{"AudioClient", kIidAudioClient, L"{1CB9AD4C-DBFA-4C32-B178-C2F568A703B2}"},
                    GuidCase{"CaptureClient", kIidAudioCaptureClient, L"{C8ADBD64-E71E-48A0-A4DE-185C395CD317}"},
                    GuidCase{"AllBits", GUID{0xFFFFFFFFu, 0xFFFF, 0x0001, {0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89}},
                             L"{FFFFFFFF-FFFF-0001-ABCD-EF0123456789}"}),
    [](const testing::TestParamInfo<GuidCase>& info) { return info.param.name; });

TEST(GuidTextCapacity, TooSmallABufferGetsNothing)
{
    wchar_t text[38] = {L'#'};
    EXPECT_EQ(StringFromGUID2(kIidUnknown, text, 38), 0);
    EXPECT_EQ(text[0], L'#');
}

} // namespace
