#include "app/command_line.h"

DWORD ParseProcessId(const wchar_t* text)
{
    return static_cast<DWORD>(CrtWcstol(text, nullptr, 10));
}

bool ParseExcludeMode(int argc, wchar_t* argv[])
{
    return argc >= 3 && _wcsicmp(argv[2], L"exclude") == 0;
}
