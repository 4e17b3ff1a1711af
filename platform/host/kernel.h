// Kernel and console services as far as the tool and the audio engines use them.
#pragma once

#include "platform/host/win_types.h"

HMODULE LoadLibraryW(LPCWSTR name);
FARPROC GetProcAddress(HMODULE module, const char* name);
DWORD GetLastError();
void SetLastError(DWORD code);

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

HANDLE CreateEventW(void* security, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
void Sleep(DWORD milliseconds);

constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
constexpr DWORD CTRL_LOGOFF_EVENT = 5;
constexpr DWORD CTRL_SHUTDOWN_EVENT = 6;

typedef BOOL(WINAPI* PHANDLER_ROUTINE)(DWORD controlType);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add);
