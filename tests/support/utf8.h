// UTF-8 for the tests' command lines: the bytes a Linux argv carries for a wide string.
#pragma once

#include <cstdint>
#include <string>

inline std::string Utf8(char32_t c)
{
    std::string out;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    return out;
}

inline std::string Utf8(const std::wstring& text)
{
    std::string out;
    for (const wchar_t wc : text) {
        out += Utf8(static_cast<char32_t>(static_cast<uint32_t>(wc)));
    }
    return out;
}
