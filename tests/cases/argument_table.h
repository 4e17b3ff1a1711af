// The command line and what the run makes of it: the process id the activation is asked for and
// the mode. One table for the parser in-process and for the host binary, which gets the arguments
// as UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ArgumentCase {
    const char* name;
    std::vector<std::wstring> args; // after the program path
    uint32_t processId;
    bool exclude;
};

inline const std::vector<ArgumentCase>& ArgumentCases()
{
    static const std::vector<ArgumentCase> cases = {
        {"Plain", {L"1234"}, 1234, false},
        {"Include", {L"1234", L"include"}, 1234, false},
        {"ExcludeUpperCase", {L"1234", L"EXCLUDE"}, 1234, true},
        {"ExcludeMixedCase", {L"1234", L"eXcLuDe"}, 1234, true},
        {"ExcludeThenExtraWords", {L"1234", L"Exclude", L"extra", L"words"}, 1234, true},
        {"Excluded", {L"1234", L"excluded"}, 1234, false},
        {"ExcludeWithTrailingSpace", {L"1234", L"exclude "}, 1234, false},
        {"FullWidthExclude", {L"1234", L"\uFF45\uFF58\uFF43\uFF4C\uFF55\uFF44\uFF45"}, 1234, false},
        {"OtherWord", {L"1234", L"foo"}, 1234, false},
        {"ExcludeAsThirdArgument", {L"1234", L"include", L"exclude"}, 1234, false},
        {"Letters", {L"abc"}, 0, false},
        {"Empty", {L""}, 0, false},
        {"Zero", {L"0"}, 0, false},
        {"DigitsThenLetters", {L"42xyz"}, 42, false},
        {"HexPrefixIsNotRead", {L"0x1A"}, 0, false},
        {"LeadingSpace", {L" 42"}, 42, false},
        {"LeadingControlSpaces", {L"\t\n\v\f\r42"}, 42, false},
        {"Plus", {L"+7"}, 7, false},
        {"SignThenSpace", {L"- 5"}, 0, false},
        {"TwoSigns", {L"--5"}, 0, false},
        {"MinusOne", {L"-1"}, 4294967295u, false},
        {"Max", {L"2147483647"}, 2147483647u, false},
        {"AboveMax", {L"2147483648"}, 2147483647u, false},
        {"FarAboveMax", {L"99999999999999999999999"}, 2147483647u, false},
        {"Min", {L"-2147483648"}, 2147483648u, false},
        {"BelowMin", {L"-2147483649"}, 2147483648u, false},
        {"FarBelowMin", {L"-99999999999999999999999"}, 2147483648u, false},
        {"ArabicIndicDigits", {L"\u0661\u0662\u0663\u0664"}, 1234, false},
        {"ExtendedArabicIndicDigits", {L"\u06F4\u06F2"}, 42, false},
        {"DevanagariDigits", {L"\u0967\u0969"}, 13, false},
        {"ThaiDigits", {L"\u0E59\u0E50"}, 90, false},
        {"MongolianDigits", {L"\u1817\u1819"}, 79, false},
        {"FullWidthDigits", {L"\uFF11\uFF12\uFF13\uFF14"}, 1234, false},
        {"MixedScriptDigits", {L"1\u0662\uFF13"}, 123, false},
        {"FullWidthRunEnds", {L"4\uFF1A2"}, 4, false},
        {"FullWidthMinusIsNoSign", {L"\uFF0D5"}, 0, false},
        {"DigitsOfAnUnlistedScript", {L"\u1946\u1947"}, 0, false},
        {"NoBreakSpace", {L"\u00A042"}, 42, false},
        {"OghamSpace", {L"\u168042"}, 42, false},
        {"EnQuadToHairSpace", {L"\u2000\u2005\u200A42"}, 42, false},
        {"LineAndParagraphSeparators", {L"\u2028\u202942"}, 42, false},
        {"NarrowNoBreakAndMathSpaces", {L"\u202F\u205F42"}, 42, false},
        {"IdeographicSpace", {L"\u300042"}, 42, false},
        {"ZeroWidthSpaceIsNoSpace", {L"\u200B42"}, 0, false},
        {"NextLineIsNoSpace", {L"\u008542"}, 0, false},
        {"SpaceThenFullWidthDigitsThenMode", {L"\u3000\uFF17", L"EXCLUDE"}, 7, true},
    };
    return cases;
}
