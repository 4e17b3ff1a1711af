#include "platform/engines/scripted/scripted_engine.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/engines/async_activation.h"

namespace {

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
    return text;
}

std::string Narrow(LPCWSTR text)
{
    std::string narrow;
    for (; text != nullptr && *text != 0; ++text) {
        narrow.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    }
    return narrow;
}

bool FailsNow(uint64_t* calls, const ScriptFailure& failure)
{
    return ++*calls == failure.call;
}

} // namespace

std::string GuidText(REFIID iid)
{
    char text[40];
    snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(iid.Data1),
             static_cast<unsigned>(iid.Data2), static_cast<unsigned>(iid.Data3), iid.Data4[0], iid.Data4[1],
             iid.Data4[2], iid.Data4[3], iid.Data4[4], iid.Data4[5], iid.Data4[6], iid.Data4[7]);
    return text;
}

class ScriptedCaptureClient final : public IAudioCaptureClient {
public:
    explicit ScriptedCaptureClient(ScriptedEngine* engine, std::chrono::steady_clock::time_point* startedAt)
        : engine_(engine), startedAt_(startedAt)
    {
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (SameGuid(riid, kIidUnknown) || SameGuid(riid, kIidAudioCaptureClient)) {
            *object = static_cast<IAudioCaptureClient*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++count_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG count = static_cast<ULONG>(--count_);
        engine_->Record("Release capture-client " + std::to_string(count));
        if (count == 0) {
            engine_->RecordTotals();
            delete this;
        }
        return count;
    }

    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override
    {
        const EngineScript& script = engine_->Script();
        if (FailsNow(&nextPacketCalls_, script.failNextPacketSize)) {
            engine_->Record("GetNextPacketSize failed " + Hex(static_cast<uint32_t>(script.failNextPacketSize.result)));
            return script.failNextPacketSize.result;
        }
        *frames = 0;
        const ScriptPacket* packet = Current();
        if (packet == nullptr && script.failAtEnd) {
            return script.endFailure;
        }
        if (packet != nullptr && Due()) {
            // A packet of no frames is announced all the same; GetBuffer then gives nothing.
            *frames = packet->frames == 0 ? 1 : packet->frames;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                                        UINT64* counterPosition) override
    {
        const EngineScript& script = engine_->Script();
        if (FailsNow(&getBufferCalls_, script.failGetBuffer)) {
            engine_->Record("GetBuffer failed " + Hex(static_cast<uint32_t>(script.failGetBuffer.result)));
            return script.failGetBuffer.result;
        }
        if (holding_) {
            return AUDCLNT_E_OUT_OF_ORDER;
        }
        const ScriptPacket* packet = Current();
        if (packet == nullptr || !Due()) {
            *data = nullptr;
            *frames = 0;
            *flags = 0;
            return AUDCLNT_S_BUFFER_EMPTY;
        }
        Fill(*packet);
        *data = buffer_.data();
        *frames = packet->frames;
        *flags = packet->flags;
        if (devicePosition != nullptr) {
            *devicePosition = position_;
        }
        if (counterPosition != nullptr) {
            *counterPosition = 0;
        }
        holding_ = true;
        heldFrames_ = packet->frames;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override
    {
        const EngineScript& script = engine_->Script();
        if (!script.quiet) {
            engine_->Record("ReleaseBuffer " + std::to_string(frames));
        }
        if (FailsNow(&releaseCalls_, script.failReleaseBuffer)) {
            engine_->Record("ReleaseBuffer failed " + Hex(static_cast<uint32_t>(script.failReleaseBuffer.result)));
            return script.failReleaseBuffer.result;
        }
        if (!holding_) {
            return AUDCLNT_E_OUT_OF_ORDER;
        }
        if (frames != heldFrames_ && frames != 0) {
            return AUDCLNT_E_INVALID_SIZE;
        }
        holding_ = false;
        if (frames == heldFrames_) {
            Advance();
        }
        return S_OK;
    }

private:
    const ScriptPacket* Current() const
    {
        const std::vector<ScriptPacket>& packets = engine_->Script().packets;
        return packetIndex_ < packets.size() ? &packets[packetIndex_] : nullptr;
    }

    // In real-time pacing a packet is due once its last frame would have been captured.
    bool Due() const
    {
        if (!engine_->Script().realtime) {
            return true;
        }
        if (startedAt_->time_since_epoch().count() == 0) {
            return false;
        }
        const uint64_t end = position_ + Current()->frames;
        const auto elapsed = std::chrono::steady_clock::now() - *startedAt_;
        return std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count() >=
               static_cast<int64_t>(end * 1000000 / 48000);
    }

    void Fill(const ScriptPacket& packet)
    {
        const size_t bytes = static_cast<size_t>(packet.frames) * 8;
        buffer_.resize(bytes);
        const uint64_t offset = engine_->Totals().bytes;
        for (size_t i = 0; i < bytes; ++i) {
            buffer_[i] = packet.contents == ScriptPacket::kFill    ? packet.fill
                         : packet.contents == ScriptPacket::kBytes ? packet.bytes[i]
                                                                   : PatternByte(offset + i);
        }
        // A silent packet's buffer holds whatever it holds; the reader must see zeros instead.
        const bool silent = (packet.flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
        std::lock_guard<std::mutex> lock(engine_->mutex_);
        ScriptedEngine::Delivered& delivered = engine_->delivered_;
        delivered.packets += 1;
        delivered.frames += packet.frames;
        delivered.bytes += bytes;
        if (silent) {
            static const uint8_t zeros[4096] = {};
            for (size_t left = bytes; left > 0;) {
                const size_t piece = left < sizeof zeros ? left : sizeof zeros;
                delivered.checksum = Fnv1a(delivered.checksum, zeros, piece);
                left -= piece;
            }
        } else {
            delivered.checksum = Fnv1a(delivered.checksum, buffer_.data(), bytes);
        }
    }

    void Advance()
    {
        position_ += Current()->frames;
        if (++repeatIndex_ >= Current()->repeat) {
            repeatIndex_ = 0;
            ++packetIndex_;
        }
    }

    ScriptedEngine* engine_;
    std::chrono::steady_clock::time_point* startedAt_;
    std::atomic<LONG> count_{1};
    size_t packetIndex_ = 0;
    uint64_t repeatIndex_ = 0;
    uint64_t position_ = 0;
    bool holding_ = false;
    UINT32 heldFrames_ = 0;
    std::vector<BYTE> buffer_;
    uint64_t nextPacketCalls_ = 0, getBufferCalls_ = 0, releaseCalls_ = 0;
};

class ScriptedAudioClient final : public IAudioClient {
public:
    explicit ScriptedAudioClient(ScriptedEngine* engine) : engine_(engine) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (SameGuid(riid, kIidUnknown) || (SameGuid(riid, kIidAudioClient) && !engine_->Script().noAudioClient)) {
            *object = static_cast<IAudioClient*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++count_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG count = static_cast<ULONG>(--count_);
        engine_->Record("Release audio-client " + std::to_string(count));
        if (count == 0) {
            delete this;
        }
        return count;
    }

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags, REFERENCE_TIME bufferDuration,
                                         REFERENCE_TIME periodicity, const WAVEFORMATEX* format,
                                         LPCGUID sessionGuid) override
    {
        std::ostringstream line;
        line << "Initialize share=" << static_cast<int>(shareMode) << " flags=" << Hex(streamFlags)
             << " duration=" << bufferDuration << " periodicity=" << periodicity
             << " session=" << (sessionGuid == nullptr ? "null" : GuidText(*sessionGuid));
        if (format != nullptr) {
            line << " tag=" << format->wFormatTag << " channels=" << format->nChannels
                 << " rate=" << format->nSamplesPerSec << " bytes=" << format->nAvgBytesPerSec
                 << " align=" << format->nBlockAlign << " bits=" << format->wBitsPerSample << " cb=" << format->cbSize;
        }
        engine_->Record(line.str());
        if (engine_->Script().initializeResult < 0) {
            return engine_->Script().initializeResult;
        }
        if (format == nullptr) {
            return E_POINTER;
        }
        initialized_ = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override
    {
        *frames = 48000;
        return initialized_ ? S_OK : AUDCLNT_E_NOT_INITIALIZED;
    }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) override
    {
        *latency = 0;
        return initialized_ ? S_OK : AUDCLNT_E_NOT_INITIALIZED;
    }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) override
    {
        *frames = 0;
        return initialized_ ? S_OK : AUDCLNT_E_NOT_INITIALIZED;
    }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*, WAVEFORMATEX** closest) override
    {
        if (closest != nullptr) {
            *closest = nullptr;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override
    {
        engine_->Record("GetMixFormat");
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* defaultPeriod, REFERENCE_TIME* minimumPeriod) override
    {
        if (defaultPeriod != nullptr) *defaultPeriod = 100000;
        if (minimumPeriod != nullptr) *minimumPeriod = 30000;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Start() override
    {
        engine_->Record("Start");
        if (engine_->Script().startResult < 0) {
            return engine_->Script().startResult;
        }
        if (!initialized_) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        startedAt_ = std::chrono::steady_clock::now();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override
    {
        engine_->Record("Stop");
        engine_->RecordTotals();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) override
    {
        engine_->Record("GetService " + GuidText(riid));
        *service = nullptr;
        if (engine_->Script().getServiceResult < 0) {
            return engine_->Script().getServiceResult;
        }
        if (!initialized_) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        if (!SameGuid(riid, kIidAudioCaptureClient)) {
            return E_NOINTERFACE;
        }
        *service = static_cast<IAudioCaptureClient*>(new ScriptedCaptureClient(engine_, &startedAt_));
        return S_OK;
    }

private:
    ScriptedEngine* engine_;
    std::atomic<LONG> count_{1};
    bool initialized_ = false;
    std::chrono::steady_clock::time_point startedAt_{};
};

ScriptedEngine::ScriptedEngine(EngineScript script, FILE* record) : script_(std::move(script)), record_(record) {}

IAudioClient* ScriptedEngine::NewAudioClient()
{
    return new ScriptedAudioClient(this);
}

void ScriptedEngine::Record(const std::string& line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
    if (record_ != nullptr) {
        fprintf(record_, "%s\n", line.c_str());
        fflush(record_);
    }
}

std::vector<std::string> ScriptedEngine::Lines()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

ScriptedEngine::Delivered ScriptedEngine::Totals()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_;
}

void ScriptedEngine::RecordTotals()
{
    const Delivered totals = Totals();
    char checksum[24];
    snprintf(checksum, sizeof checksum, "%016llx", static_cast<unsigned long long>(totals.checksum));
    Record("delivered packets=" + std::to_string(totals.packets) + " frames=" + std::to_string(totals.frames) +
           " bytes=" + std::to_string(totals.bytes) + " checksum=" + checksum);
}

HRESULT ScriptedEngine::Activate(LPCWSTR path, REFIID riid, PROPVARIANT* params,
                                 IActivateAudioInterfaceCompletionHandler* handler,
                                 IActivateAudioInterfaceAsyncOperation** operation)
{
    std::ostringstream line;
    line << "activate path=" << Narrow(path) << " iid=" << GuidText(riid);
    if (params != nullptr) {
        line << " vt=" << params->vt << " size=" << params->blob.cbSize;
        if (params->vt == VT_BLOB && params->blob.cbSize == sizeof(AUDIOCLIENT_ACTIVATION_PARAMS)) {
            AUDIOCLIENT_ACTIVATION_PARAMS record;
            memcpy(&record, params->blob.pBlobData, sizeof record);
            line << " type=" << record.ActivationType << " pid=" << record.TargetProcessId
                 << " mode=" << record.ProcessLoopbackMode;
        }
    }
    Record(line.str());
    if (script_.activateRefusal < 0) {
        return script_.activateRefusal;
    }
    if (handler == nullptr || operation == nullptr) {
        return E_POINTER;
    }
    CompleteActivationAsync(
        handler,
        [this] {
            IUnknown* object = script_.activatedNull ? nullptr : NewAudioClient();
            return ActivationOutcome{script_.operationResult, script_.activateResult, object};
        },
        script_.completionDelayMs, operation);
    return S_OK;
}

ScriptedEngine& ProcessScriptedEngine()
{
    static ScriptedEngine* engine = [] {
        EngineScript script;
        if (const char* path = std::getenv("HARKWIRE_ENGINE_SCRIPT")) {
            std::ifstream file(path, std::ios::binary);
            std::stringstream text;
            text << file.rdbuf();
            std::string error;
            if (!file || !ParseEngineScript(text.str(), &script, &error)) {
                fprintf(stderr, "scripted engine: cannot use %s: %s\n", path, error.c_str());
                std::exit(70);
            }
        }
        FILE* record = nullptr;
        if (const char* path = std::getenv("HARKWIRE_ENGINE_RECORD")) {
            record = fopen(path, "w");
        }
        // Lives as long as the process, as the platform's audio engine does.
        return new ScriptedEngine(std::move(script), record);
    }();
    return *engine;
}
