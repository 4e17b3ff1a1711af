// The diagnostic stream (standard error): tagged lines, the format line and interface identifiers.
#pragma once

#include "platform/platform.h"

// One catalogue line as one formatted write; standard error keeps no buffer, so it is out on return.
void LogLine(const wchar_t* format, ...);

// The same, then a flush, for the lines the catalogue marks so.
void LogLineFlushed(const wchar_t* format, ...);

// "[qi] <label> <identifier in registry form>", flushed.
void LogGuid(const wchar_t* label, REFIID iid);

// "FORMAT <rate> <channels> <bits>" from the capture format record, flushed.
void LogFormat(const WAVEFORMATEX& format);
