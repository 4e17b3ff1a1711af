#include "platform/engines/scripted/engine_script.h"

#include <cstdlib>
#include <sstream>

namespace {

bool ParseCode(const std::string& word, HRESULT* code)
{
    char* end = nullptr;
    const unsigned long long value = std::strtoull(word.c_str(), &end, 0);
    if (word.empty() || *end != 0 || value > 0xFFFFFFFFull) {
        return false;
    }
    *code = static_cast<HRESULT>(static_cast<uint32_t>(value));
    return true;
}

bool ParseCount(const std::string& word, uint64_t* count)
{
    char* end = nullptr;
    *count = std::strtoull(word.c_str(), &end, 0);
    return !word.empty() && *end == 0 && word[0] != '-';
}

bool ParseHexBytes(const std::string& word, std::vector<uint8_t>* bytes)
{
    if (word.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < word.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = word.substr(i, 2);
        const unsigned long value = std::strtoul(pair.c_str(), &end, 16);
        if (*end != 0) {
            return false;
        }
        bytes->push_back(static_cast<uint8_t>(value));
    }
    return true;
}

bool ParsePacket(std::istringstream& words, EngineScript* script)
{
    ScriptPacket packet;
    uint64_t frames = 0;
    std::string word;
    if (!(words >> word) || !ParseCount(word, &frames) || frames > 0xFFFFFFFFull) {
        return false;
    }
    packet.frames = static_cast<UINT32>(frames);
    while (words >> word) {
        std::string value;
        if (word == "silent") {
            packet.flags |= AUDCLNT_BUFFERFLAGS_SILENT;
            continue;
        }
        if (!(words >> value)) {
            return false;
        }
        HRESULT code = 0;
        if (word == "flags" && ParseCode(value, &code)) {
            packet.flags |= static_cast<DWORD>(code);
        } else if (word == "fill" && ParseCode(value, &code) && static_cast<uint32_t>(code) <= 0xFF) {
            packet.contents = ScriptPacket::kFill;
            packet.fill = static_cast<uint8_t>(code);
        } else if (word == "bytes" && ParseHexBytes(value, &packet.bytes)) {
            packet.contents = ScriptPacket::kBytes;
            if (packet.bytes.size() != static_cast<size_t>(packet.frames) * 8) {
                return false;
            }
        } else if (word == "x" && ParseCount(value, &packet.repeat) && packet.repeat > 0) {
        } else {
            return false;
        }
    }
    script->packets.push_back(std::move(packet));
    return true;
}

ScriptFailure* FailureFor(EngineScript* script, const std::string& operation)
{
    if (operation == "GetNextPacketSize") return &script->failNextPacketSize;
    if (operation == "GetBuffer") return &script->failGetBuffer;
    if (operation == "ReleaseBuffer") return &script->failReleaseBuffer;
    return nullptr;
}

bool ParseLine(const std::string& line, EngineScript* script)
{
    std::istringstream words(line);
    std::string verb, a, b, c;
    if (!(words >> verb)) {
        return true;
    }
    HRESULT code = 0;
    uint64_t count = 0;
    if (verb == "packet") {
        return ParsePacket(words, script);
    }
    words >> a;
    if (verb == "library" && a == "absent") script->libraryAbsent = true;
    else if (verb == "entry" && a == "absent") script->entryAbsent = true;
    else if (verb == "coinit" && ParseCode(a, &code)) {
        script->overrideCoInitialize = true;
        script->coInitializeResult = code;
    } else if (verb == "ftm" && ParseCode(a, &code)) script->freeThreadedMarshalerFailure = code;
    else if (verb == "activate" && a == "null") script->activatedNull = true;
    else if (verb == "activate" && (words >> b) && ParseCode(b, &code)) {
        if (a == "refuse") script->activateRefusal = code;
        else if (a == "hr") script->operationResult = code;
        else if (a == "result") script->activateResult = code;
        else return false;
    } else if (verb == "audioclient" && a == "none") script->noAudioClient = true;
    else if (verb == "initialize" && ParseCode(a, &code)) script->initializeResult = code;
    else if (verb == "getservice" && ParseCode(a, &code)) script->getServiceResult = code;
    else if (verb == "start" && ParseCode(a, &code)) script->startResult = code;
    else if (verb == "fail" && FailureFor(script, a) != nullptr && (words >> b >> c) && ParseCount(b, &count) &&
             count > 0 && ParseCode(c, &code)) {
        *FailureFor(script, a) = ScriptFailure{count, code};
    } else if (verb == "complete-after" && ParseCount(a, &count)) script->completionDelayMs = static_cast<unsigned>(count);
    else if (verb == "pace" && (a == "realtime" || a == "fast")) script->realtime = a == "realtime";
    else if (verb == "end" && a == "idle") script->failAtEnd = false;
    else if (verb == "end" && a == "fail" && (words >> b) && ParseCode(b, &code)) {
        script->failAtEnd = true;
        script->endFailure = code;
    } else if (verb == "quiet" && a.empty()) script->quiet = true;
    else return false;
    std::string extra;
    return !(words >> extra);
}

} // namespace

bool ParseEngineScript(const std::string& text, EngineScript* script, std::string* error)
{
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        const size_t comment = line.find('#');
        if (comment != std::string::npos) {
            line.erase(comment);
        }
        if (!ParseLine(line, script)) {
            *error = "script line " + std::to_string(number) + ": " + line;
            return false;
        }
    }
    return true;
}

uint8_t PatternByte(uint64_t streamOffset)
{
    // A multiplicative hash of the position: cheap, repeatable, and it covers every byte value.
    return static_cast<uint8_t>((streamOffset * 0x9E3779B97F4A7C15ull) >> 56);
}
