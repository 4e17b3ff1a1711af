// The script of the scripted audio engine: what activation answers, which contract operation fails
// and when, and the packets the capture client delivers.
//
// One directive a line, "#" starts a comment:
//   library absent | entry absent          LoadLibraryW / GetProcAddress find nothing (host layer)
//   coinit 0x80010106 | ftm 0x80004005     CoInitializeEx / the marshaler fail (host layer)
//   activate refuse|hr|result 0x...        the entry point / GetActivateResult / activation result
//   activate null                          success without an activated object
//   audioclient none                       the activated object has no IAudioClient
//   initialize|getservice|start 0x...      that call fails
//   fail GetNextPacketSize|GetBuffer|ReleaseBuffer N 0x...   the N-th call (from 1) fails
//   complete-after MS                      ActivateCompleted comes MS milliseconds after the request
//   pace realtime|fast                     packets come due at 48 kHz, or all at once (default)
//   end idle|fail 0x...                    after the last packet: nothing more, or GetNextPacketSize fails
//   quiet                                  record no per-packet lines (long runs)
//   packet FRAMES [silent] [flags 0x..] [fill 0xBB | bytes HEX] [x COUNT]
//       contents default to the engine's pattern; "packet 0" is announced by GetNextPacketSize
//       but GetBuffer then gives no frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "activation/audio_contract.h"

struct ScriptPacket {
    UINT32 frames = 0;
    DWORD flags = 0;
    enum Contents { kPattern, kFill, kBytes } contents = kPattern;
    uint8_t fill = 0;
    std::vector<uint8_t> bytes;
    uint64_t repeat = 1;
};

struct ScriptFailure {
    uint64_t call = 0; // 0: never
    HRESULT result = S_OK;
};

struct EngineScript {
    bool libraryAbsent = false;
    bool entryAbsent = false;
    bool overrideCoInitialize = false;
    HRESULT coInitializeResult = S_OK;
    HRESULT freeThreadedMarshalerFailure = S_OK;

    HRESULT activateRefusal = S_OK;
    HRESULT operationResult = S_OK;
    HRESULT activateResult = S_OK;
    bool activatedNull = false;
    bool noAudioClient = false;
    HRESULT initializeResult = S_OK;
    HRESULT getServiceResult = S_OK;
    HRESULT startResult = S_OK;
    ScriptFailure failNextPacketSize, failGetBuffer, failReleaseBuffer;
    unsigned completionDelayMs = 0;
    bool realtime = false;
    bool failAtEnd = false;
    HRESULT endFailure = S_OK;
    bool quiet = false;
    std::vector<ScriptPacket> packets;
};

// False with a message naming the line when the text is not a script.
bool ParseEngineScript(const std::string& text, EngineScript* script, std::string* error);

// The bytes of pattern contents, by position in the whole sample stream: every byte value occurs,
// 0x0A and 0x0D among them.
uint8_t PatternByte(uint64_t streamOffset);

// A running FNV-1a checksum, the same on the engine's side and the reader's.
inline uint64_t Fnv1a(uint64_t hash, const uint8_t* bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        hash = (hash ^ bytes[i]) * 0x100000001B3ull;
    }
    return hash;
}
inline constexpr uint64_t kFnv1aStart = 0xCBF29CE484222325ull;
