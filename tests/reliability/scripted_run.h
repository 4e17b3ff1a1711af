// Running harkwire_scripted under an engine script and reading back what each side saw: the bytes
// and checksum of standard output as the reader received them, and the engine's record of what it
// handed out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/process.h"

// FNV-1a 64, written here again so that the reader's side does not share the engine's code.
struct StreamChecksum {
    uint64_t value = 0xCBF29CE484222325ull;
    uint64_t bytes = 0;
    void Add(const char* data, size_t count)
    {
        for (size_t i = 0; i < count; ++i) {
            value = (value ^ static_cast<uint8_t>(data[i])) * 0x100000001B3ull;
        }
        bytes += count;
    }
    std::string Hex() const;
};

// The engine's last "delivered packets=.. frames=.. bytes=.. checksum=.." record line.
struct DeliveredLine {
    bool found = false;
    uint64_t packets = 0, frames = 0, bytes = 0;
    std::string checksum;
};
DeliveredLine LastDelivered(const std::string& record);

std::vector<std::string> RecordLines(const std::string& record);

struct ScriptedRun {
    ProcessResult result;
    StreamChecksum out;   // everything standard output carried, as read
    std::string record;   // the engine's record file
};

// Runs the scripted tool with `script` (and the arguments after the program, "1234" if none);
// `launch` may carry a timeout, whileRunning, closeOutAfter. Standard output is checksummed as it
// streams and not kept.
ScriptedRun RunScripted(const std::string& script, ProcessSpec launch = {}, std::vector<std::string> args = {});

// Sends the signals one after the other, as fast as possible.
void SendBurst(pid_t pid, const std::vector<int>& signals);

// The tool's own CPU cost is several times higher under the sanitizers.
bool UnderSanitizer();

// Path of the scripted tool under test.
std::string ScriptedBinary();
