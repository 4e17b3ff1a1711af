// Running harkwire_scripted with an engine script and reading back the engine's record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/utf8.h"

inline const char kScriptedBinary[] = HARKWIRE_SCRIPTED_BIN;
inline const char kProductionBinary[] = HARKWIRE_BIN;

inline const char kTrailToFormat[] =
    "[com] CoInitializeEx(MTA): 0x00000000\n"
    "[dll] ActivateAudioInterfaceAsync proc: <addr>\n"
    "[ftm] CoCreateFreeThreadedMarshaler: 0x00000000\n"
    "[act] activating pid=1234 mode=include\n"
    "[qi] asked for {94EA2B94-E9CC-49E0-C0FF-EE64CA8F5B90}\n"
    "[cb] ActivateCompleted fired\n"
    "FORMAT 48000 2 32\n";

struct ScriptedRun {
    ProcessResult result;
    std::vector<std::string> record; // the engine's record, one entry a line
    std::string trail;               // standard error with the "[dll]" address put as "<addr>"
    bool addressWellFormed = true;   // the "[dll]" address, if any, was 16 upper-case hex digits
};

// Runs the scripted binary with `launch.argv` after the program path (default "1234"), the script as
// its engine script, leak detection off in the child (the tool keeps its handler for good).
ScriptedRun RunScripted(const std::string& script, ProcessSpec launch = {});

// The numbers of the record's last "delivered" line; false if there is none.
struct DeliveredTotals {
    uint64_t packets = 0, frames = 0, bytes = 0;
    std::string checksum;
};
bool LastDelivered(const std::vector<std::string>& record, DeliveredTotals* totals);

// The engine's checksum text of a byte string.
std::string ChecksumOf(const std::string& bytes);

// The record without its "delivered" lines.
std::vector<std::string> WithoutTotals(const std::vector<std::string>& record);
