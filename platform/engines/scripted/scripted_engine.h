// The scripted audio engine: a process-loopback audio client, capture client and activation that
// follow an EngineScript and record every call the tool makes. The same source serves the host
// layer's provider and the Windows test DLL.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/engines/scripted/engine_script.h"

class ScriptedEngine {
public:
    explicit ScriptedEngine(EngineScript script, FILE* record = nullptr);

    const EngineScript& Script() const { return script_; }

    // The activation entry point's behaviour, recorded.
    HRESULT Activate(LPCWSTR path, REFIID riid, PROPVARIANT* params, IActivateAudioInterfaceCompletionHandler* handler,
                     IActivateAudioInterfaceAsyncOperation** operation);

    // A new audio client with one reference, as activation hands it out.
    IAudioClient* NewAudioClient();

    // One line of the record: to the record file (flushed, so a killed run keeps it) and to Lines().
    void Record(const std::string& line);
    std::vector<std::string> Lines();

    // What the capture client has handed out so far, silent packets counted as zeros.
    struct Delivered {
        uint64_t packets = 0;
        uint64_t frames = 0;
        uint64_t bytes = 0;
        uint64_t checksum = kFnv1aStart;
    };
    Delivered Totals();
    void RecordTotals();

private:
    friend class ScriptedAudioClient;
    friend class ScriptedCaptureClient;

    EngineScript script_;
    FILE* record_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
    Delivered delivered_;
};

// The engine of this process, made once from the files that HARKWIRE_ENGINE_SCRIPT and
// HARKWIRE_ENGINE_RECORD name (no script: an engine that activates and stays idle).
ScriptedEngine& ProcessScriptedEngine();

std::string GuidText(REFIID iid);
