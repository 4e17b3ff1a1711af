// The host binary's audio device library over a PulseAudio server (or PipeWire's PulseAudio
// server): process-loopback activation yields an audio client whose capture is the sum of the
// playback streams of the target's process tree (include) or of every other stream (exclude).
#include <atomic>
#include <cstring>
#include <ctime>
#include <memory>

#include "platform/engines/async_activation.h"
#include "platform/engines/pulse/pulse_session.h"
#include "platform/host/layer_hooks.h"

namespace {

constexpr uint32_t kBlockAlign = kMixChannels * sizeof(float);
constexpr REFERENCE_TIME kPacketDuration = 100000; // 10 ms in 100 ns units

uint64_t MonotonicNanoseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

bool IsDeliverableFormat(const WAVEFORMATEX* format)
{
    return format->wFormatTag == WAVE_FORMAT_IEEE_FLOAT && format->nChannels == kMixChannels &&
           format->nSamplesPerSec == kMixRate && format->wBitsPerSample == 32 && format->nBlockAlign == kBlockAlign &&
           format->nAvgBytesPerSec == kMixRate * kBlockAlign;
}

class PulseAudioClient;

// Packets come from a clock: one of 480 frames is due every 10 ms since Start, silent when no tap
// plays. The pump's thread alone calls it.
class PulseCaptureClient final : public IAudioCaptureClient {
public:
    explicit PulseCaptureClient(PulseAudioClient* owner);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (SameGuid(riid, kIidUnknown) || SameGuid(riid, kIidAudioCaptureClient)) {
            *object = static_cast<IAudioCaptureClient*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                                        UINT64* counterPosition) override;
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override;
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override;

    void Start() { startNs_ = MonotonicNanoseconds() - pausedFrames_ * 1000000000ull / kMixRate; running_ = true; }
    void Stop() { running_ = false; pausedFrames_ = delivered_; }
    bool Running() const { return running_; }

private:
    uint64_t FramesDue() const
    {
        if (!running_) {
            return 0;
        }
        const uint64_t elapsed = (MonotonicNanoseconds() - startNs_) * kMixRate / 1000000000ull;
        return elapsed > delivered_ ? elapsed - delivered_ : 0;
    }

    PulseAudioClient* owner_;
    bool running_ = false;
    uint64_t startNs_ = 0;
    uint64_t delivered_ = 0;   // frames released
    uint64_t pausedFrames_ = 0;
    bool held_ = false;        // a packet is out between GetBuffer and ReleaseBuffer
    bool mixed_ = false;       // packet_ holds the next packet (kept by a ReleaseBuffer of 0)
    DWORD packetFlags_ = 0;
    float packet_[kPacketFrames * kMixChannels] = {};
};

class PulseAudioClient final : public IAudioClient {
public:
    explicit PulseAudioClient(std::unique_ptr<PulseSession> session) : session_(std::move(session)), capture_(this) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (SameGuid(riid, kIidUnknown) || SameGuid(riid, kIidAudioClient) || SameGuid(riid, kIidAgileObject)) {
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
        if (count == 0) {
            delete this;
        }
        return count;
    }

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags, REFERENCE_TIME, REFERENCE_TIME,
                                         const WAVEFORMATEX* format, LPCGUID) override
    {
        if (format == nullptr) {
            return E_POINTER;
        }
        if (initialized_) {
            return AUDCLNT_E_ALREADY_INITIALIZED;
        }
        if (shareMode != AUDCLNT_SHAREMODE_SHARED || (streamFlags & AUDCLNT_STREAMFLAGS_LOOPBACK) == 0) {
            return E_INVALIDARG;
        }
        // The server converts to one format; this client delivers no other.
        if (!IsDeliverableFormat(format)) {
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
        initialized_ = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override
    {
        if (frames == nullptr) {
            return E_POINTER;
        }
        *frames = kTapCapacityFrames;
        return initialized_ ? S_OK : AUDCLNT_E_NOT_INITIALIZED;
    }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) override
    {
        if (latency == nullptr) {
            return E_POINTER;
        }
        *latency = 2 * kPacketDuration;
        return initialized_ ? S_OK : AUDCLNT_E_NOT_INITIALIZED;
    }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) override { return capture_.GetNextPacketSize(frames); }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE shareMode, const WAVEFORMATEX* format,
                                                WAVEFORMATEX** closest) override
    {
        if (format == nullptr) {
            return E_POINTER;
        }
        if (closest != nullptr) {
            *closest = nullptr;
        }
        return shareMode == AUDCLNT_SHAREMODE_SHARED && IsDeliverableFormat(format) ? S_OK : AUDCLNT_E_UNSUPPORTED_FORMAT;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* defaultPeriod, REFERENCE_TIME* minimumPeriod) override
    {
        if (defaultPeriod != nullptr) {
            *defaultPeriod = kPacketDuration;
        }
        if (minimumPeriod != nullptr) {
            *minimumPeriod = kPacketDuration;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Start() override
    {
        if (!initialized_) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        if (capture_.Running()) {
            return AUDCLNT_E_NOT_STOPPED;
        }
        if (session_->Lost()) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        // The clock starts first: the wait for the server's lock must not show as missing time.
        capture_.Start();
        if (!tapping_) {
            session_->StartTapping();
            tapping_ = true;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override
    {
        if (!initialized_) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        if (!capture_.Running()) {
            return S_FALSE;
        }
        capture_.Stop();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        if (!initialized_) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        return capture_.Running() ? AUDCLNT_E_NOT_STOPPED : S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) override
    {
        if (service == nullptr) {
            return E_POINTER;
        }
        *service = nullptr;
        if (!initialized_) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        if (!SameGuid(riid, kIidAudioCaptureClient)) {
            return E_NOINTERFACE;
        }
        capture_.AddRef();
        *service = static_cast<IAudioCaptureClient*>(&capture_);
        return S_OK;
    }

    PulseSession& Session() { return *session_; }

private:
    ~PulseAudioClient() = default;

    std::atomic<LONG> count_{1};
    std::unique_ptr<PulseSession> session_;
    bool initialized_ = false;
    bool tapping_ = false;
    PulseCaptureClient capture_; // its references count on this object
};

PulseCaptureClient::PulseCaptureClient(PulseAudioClient* owner) : owner_(owner) {}
ULONG STDMETHODCALLTYPE PulseCaptureClient::AddRef() { return owner_->AddRef(); }
ULONG STDMETHODCALLTYPE PulseCaptureClient::Release() { return owner_->Release(); }

HRESULT STDMETHODCALLTYPE PulseCaptureClient::GetNextPacketSize(UINT32* frames)
{
    if (frames == nullptr) {
        return E_POINTER;
    }
    *frames = 0;
    if (owner_->Session().Lost()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    *frames = FramesDue() >= kPacketFrames ? kPacketFrames : 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PulseCaptureClient::GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                                                        UINT64* counterPosition)
{
    if (data == nullptr || frames == nullptr || flags == nullptr) {
        return E_POINTER;
    }
    *data = nullptr;
    *frames = 0;
    *flags = 0;
    if (owner_->Session().Lost()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    if (held_) {
        return AUDCLNT_E_OUT_OF_ORDER;
    }
    if (!mixed_) {
        if (FramesDue() < kPacketFrames) {
            return AUDCLNT_S_BUFFER_EMPTY;
        }
        packetFlags_ = owner_->Session().Mixer().Mix(packet_, kPacketFrames) ? 0 : AUDCLNT_BUFFERFLAGS_SILENT;
        mixed_ = true;
    }
    held_ = true;
    *data = reinterpret_cast<BYTE*>(packet_);
    *frames = kPacketFrames;
    *flags = packetFlags_;
    if (devicePosition != nullptr) {
        *devicePosition = delivered_;
    }
    if (counterPosition != nullptr) {
        *counterPosition = MonotonicNanoseconds() / 100;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PulseCaptureClient::ReleaseBuffer(UINT32 frames)
{
    if (!held_) {
        return AUDCLNT_E_OUT_OF_ORDER;
    }
    if (frames != 0 && frames != kPacketFrames) {
        return AUDCLNT_E_INVALID_SIZE;
    }
    held_ = false;
    if (frames != 0) { // 0 keeps the packet for the next GetBuffer
        delivered_ += frames;
        mixed_ = false;
    }
    return S_OK;
}

HRESULT WINAPI ActivateAudioInterfaceAsync(LPCWSTR, REFIID riid, PROPVARIANT* params,
                                           IActivateAudioInterfaceCompletionHandler* handler,
                                           IActivateAudioInterfaceAsyncOperation** operation)
{
    if (handler == nullptr || operation == nullptr) {
        return E_POINTER;
    }
    // The parameters are read now; the request then completes on its own thread.
    AUDIOCLIENT_ACTIVATION_PARAMS request{};
    HRESULT invalid = S_OK;
    if (!SameGuid(riid, kIidAudioClient)) {
        invalid = E_NOINTERFACE;
    } else if (params == nullptr || params->vt != VT_BLOB || params->blob.cbSize != sizeof(request) ||
               params->blob.pBlobData == nullptr) {
        invalid = E_INVALIDARG;
    } else {
        std::memcpy(&request, params->blob.pBlobData, sizeof(request));
        if (request.ActivationType != AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK ||
            request.ProcessLoopbackMode > PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE) {
            invalid = E_INVALIDARG;
        }
    }
    CompleteActivationAsync(
        handler,
        [request, invalid]() -> ActivationOutcome {
            if (invalid < 0) {
                return {S_OK, invalid, nullptr};
            }
            std::unique_ptr<PulseSession> session =
                PulseSession::Connect(static_cast<pid_t>(request.TargetProcessId),
                                      request.ProcessLoopbackMode == PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE);
            if (!session) {
                return {S_OK, AUDCLNT_E_SERVICE_NOT_RUNNING, nullptr};
            }
            return {S_OK, S_OK, static_cast<IAudioClient*>(new PulseAudioClient(std::move(session)))};
        },
        0, operation);
    return S_OK;
}

FARPROC Lookup(const char* symbol)
{
    return std::strcmp(symbol, "ActivateAudioInterfaceAsync") == 0
               ? reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&ActivateAudioInterfaceAsync))
               : nullptr;
}

[[maybe_unused]] const bool g_registered = [] {
    HostRegisterLibrary(L"Mmdevapi.dll", Lookup);
    return true;
}();

} // namespace
