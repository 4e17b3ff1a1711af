// Drain throughput of the capture pump against a plain write() loop of the same packet sizes, on the
// same pipe (read by a sink process) and on /dev/null, all in one run so the ratio is fair.
//
// The pump runs in this process: RunCapturePump over a capture client, with file descriptor 1 (the
// sample stream) pointed at the target. Reports therefore go to standard error.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app/stop_request.h"
#include "capture/capture_pump.h"
#include "platform/engines/scripted/scripted_engine.h"

namespace {

enum Target { kPipe, kDevNull };
int g_targetFd[2] = {-1, -1};

constexpr UINT32 kBlockAlign = 8;          // 32-bit float stereo
constexpr uint64_t kBytesPerRun = 16u << 20; // per pump run: long enough to hide set-up
constexpr uint64_t kSilentEvery = 4;        // one packet in four is flagged silent

WAVEFORMATEX CaptureFormat()
{
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    format.nChannels = 2;
    format.nSamplesPerSec = 48000;
    format.wBitsPerSample = 32;
    format.nBlockAlign = kBlockAlign;
    format.nAvgBytesPerSec = 48000 * kBlockAlign;
    return format;
}

uint64_t PacketsPerRun(UINT32 frames)
{
    const uint64_t packets = kBytesPerRun / (uint64_t{frames} * kBlockAlign);
    return packets - packets % kSilentEvery;
}

void PointSampleStreamAt(Target target)
{
    fflush(stdout);
    dup2(g_targetFd[target], 1);
}

bool WriteAll(int fd, const uint8_t* bytes, size_t count)
{
    while (count > 0) {
        const ssize_t wrote = write(fd, bytes, count);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        bytes += wrote;
        count -= static_cast<size_t>(wrote);
    }
    return true;
}

// The scripted engine's "end fail" fails GetNextPacketSize inside the drain, which sets the stop
// flag as a capture-service failure does; clear it for the next run. A failed write shows as the
// stream's error indicator.
bool EndOfRunWasClean(benchmark::State& state)
{
    g_stop.store(false);
    if (ferror(stdout)) {
        state.SkipWithError("a write to the sample stream failed");
        return false;
    }
    return true;
}

// HARKWIRE_BENCH_SMOKE=1: every figure in a tiny form (a run that only shows the figures come out).
bool Smoke()
{
    const char* text = std::getenv("HARKWIRE_BENCH_SMOKE");
    return text != nullptr && std::string(text) == "1";
}

// Seconds of audio per real-time run.
int RealtimeSeconds()
{
    return Smoke() ? 1 : 20;
}

double Seconds(std::chrono::steady_clock::duration span)
{
    return std::chrono::duration<double>(span).count();
}

// The baseline: one write() per packet of the same size, straight to the descriptor.
void PlainWrite(benchmark::State& state, Target target, UINT32 frames)
{
    const std::vector<uint8_t> packet(size_t{frames} * kBlockAlign, 0xBB);
    const int fd = g_targetFd[target];
    for (auto _ : state) {
        if (!WriteAll(fd, packet.data(), packet.size())) {
            state.SkipWithError("write failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(packet.size()));
}

// The scripted engine as the tests use it: "pace fast", "quiet", filled packets with silent ones
// among them, and a capture-service failure after the last so that the pump returns.
std::string ScriptFor(UINT32 frames)
{
    std::string script = "pace fast\nquiet\nend fail 0x88890004\n";
    const std::string size = std::to_string(frames);
    for (uint64_t group = 0; group < PacketsPerRun(frames) / kSilentEvery; ++group) {
        script += "packet " + size + " fill 0xBB x " + std::to_string(kSilentEvery - 1) + "\n";
        script += "packet " + size + " silent\n";
    }
    return script;
}

// The script for FRAMES-frame packets, parsed; a parse failure skips the benchmark with its error.
bool ParseScriptFor(benchmark::State& state, UINT32 frames, EngineScript* parsed)
{
    std::string error;
    if (!ParseEngineScript(ScriptFor(frames), parsed, &error)) {
        state.SkipWithError(error.c_str());
        return false;
    }
    return true;
}

// The scripted client set up in shared mode with the tool's format, and its capture service.
IAudioCaptureClient* OpenCaptureClient(IAudioClient* audioClient, const WAVEFORMATEX& format)
{
    void* service = nullptr;
    audioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 0, 0, &format, nullptr);
    audioClient->GetService(kIidAudioCaptureClient, &service);
    return static_cast<IAudioCaptureClient*>(service);
}

void PumpScripted(benchmark::State& state, Target target, UINT32 frames)
{
    EngineScript parsed;
    if (!ParseScriptFor(state, frames, &parsed)) {
        return;
    }
    const WAVEFORMATEX format = CaptureFormat();
    uint64_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ScriptedEngine engine(parsed);
        IAudioClient* audioClient = engine.NewAudioClient();
        IAudioCaptureClient* captureClient = OpenCaptureClient(audioClient, format);
        audioClient->Start();
        PointSampleStreamAt(target);
        state.ResumeTiming();

        RunCapturePump(captureClient, format);

        state.PauseTiming();
        if (!EndOfRunWasClean(state)) {
            break;
        }
        bytes += engine.Totals().bytes;
        captureClient->Release();
        audioClient->Release();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// A capture client that costs next to nothing: one static buffer handed out again and again, so
// the figure is the pump's own (the scripted engine fills and checksums every byte it delivers).
class BareCaptureClient final : public IAudioCaptureClient {
public:
    BareCaptureClient(UINT32 frames, uint64_t packets)
        : frames_(frames), left_(packets), buffer_(size_t{frames} * kBlockAlign, 0xBB)
    {
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    // After the last packet: one empty answer, which ends the drain, then a failure, which ends
    // the pump.
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override
    {
        *frames = left_ > 0 ? frames_ : 0;
        if (left_ > 0 || !drained_) {
            drained_ = left_ == 0;
            return S_OK;
        }
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*, UINT64*) override
    {
        *data = buffer_.data();
        *frames = frames_;
        *flags = left_ % kSilentEvery == 0 ? AUDCLNT_BUFFERFLAGS_SILENT : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32) override
    {
        --left_;
        return S_OK;
    }

private:
    UINT32 frames_;
    uint64_t left_;
    bool drained_ = false;
    std::vector<BYTE> buffer_;
};

// Plain loop and bare pump in alternating rounds of the same bytes, so that a change in the
// machine's load hits both alike; the ratio is the median of the rounds' ratios.
void Interleaved(benchmark::State& state, Target target, UINT32 frames)
{
    const WAVEFORMATEX format = CaptureFormat();
    const uint64_t packets = PacketsPerRun(frames);
    const double bytes = static_cast<double>(packets * frames * kBlockAlign);
    const std::vector<uint8_t> packet(size_t{frames} * kBlockAlign, 0xBB);
    const int fd = g_targetFd[target];
    PointSampleStreamAt(target);
    std::vector<double> ratios;
    double plainSeconds = 0, pumpSeconds = 0;
    for (auto _ : state) {
        double plain = 0, pump = 0;
        for (int half = 0; half < 2; ++half) {
            // Alternate which goes first.
            const bool plainNow = (half == 0) == (ratios.size() % 2 == 0);
            const auto start = std::chrono::steady_clock::now();
            if (plainNow) {
                for (uint64_t i = 0; i < packets; ++i) {
                    WriteAll(fd, packet.data(), packet.size());
                }
                plain = Seconds(std::chrono::steady_clock::now() - start);
            } else {
                BareCaptureClient client(frames, packets);
                RunCapturePump(&client, format);
                pump = Seconds(std::chrono::steady_clock::now() - start);
            }
        }
        if (!EndOfRunWasClean(state)) {
            break;
        }
        plainSeconds += plain;
        pumpSeconds += pump;
        ratios.push_back(plain / pump);
    }
    if (ratios.empty()) {
        return;
    }
    std::sort(ratios.begin(), ratios.end());
    state.counters["plain_MBps"] = bytes * static_cast<double>(ratios.size()) / plainSeconds / 1e6;
    state.counters["pump_MBps"] = bytes * static_cast<double>(ratios.size()) / pumpSeconds / 1e6;
    state.counters["ratio_median_pct"] = 100.0 * ratios[ratios.size() / 2];
    state.counters["ratio_min_pct"] = 100.0 * ratios.front();
    state.counters["ratio_max_pct"] = 100.0 * ratios.back();
}

void PumpBare(benchmark::State& state, Target target, UINT32 frames)
{
    const WAVEFORMATEX format = CaptureFormat();
    const uint64_t packets = PacketsPerRun(frames);
    PointSampleStreamAt(target);
    for (auto _ : state) {
        BareCaptureClient client(frames, packets);
        RunCapturePump(&client, format);
        if (!EndOfRunWasClean(state)) {
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packets * frames * kBlockAlign));
}

// The same, with packets of 480 frames coming due in real time at 48 kHz: the pump's own CPU time
// per second of audio (idle polls, the writes and flushes to the pipe), with no engine cost at all.
class RealtimeBareCaptureClient final : public IAudioCaptureClient {
public:
    RealtimeBareCaptureClient(uint64_t packets)
        : left_(packets), buffer_(size_t{kFrames} * kBlockAlign, 0xBB), start_(std::chrono::steady_clock::now())
    {
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override
    {
        if (left_ == 0) {
            *frames = 0;
            return AUDCLNT_E_SERVICE_NOT_RUNNING;
        }
        const auto elapsed = std::chrono::steady_clock::now() - start_;
        const uint64_t due = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()) * 48 / 1000;
        *frames = due >= position_ + kFrames ? kFrames : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*, UINT64*) override
    {
        *data = buffer_.data();
        *frames = kFrames;
        *flags = left_ % kSilentEvery == 0 ? AUDCLNT_BUFFERFLAGS_SILENT : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override
    {
        position_ += frames;
        --left_;
        return S_OK;
    }

private:
    static constexpr UINT32 kFrames = 480;
    uint64_t left_;
    uint64_t position_ = 0;
    std::vector<BYTE> buffer_;
    std::chrono::steady_clock::time_point start_;
};

double ProcessCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}


void PumpBareRealtime(benchmark::State& state)
{
    const WAVEFORMATEX format = CaptureFormat();
    const uint64_t packets = static_cast<uint64_t>(RealtimeSeconds()) * 100;
    PointSampleStreamAt(kPipe);
    double cpu = 0;
    for (auto _ : state) {
        RealtimeBareCaptureClient client(packets);
        const double before = ProcessCpuSeconds();
        RunCapturePump(&client, format);
        cpu += ProcessCpuSeconds() - before;
        if (!EndOfRunWasClean(state)) {
            break;
        }
    }
    const double audio = static_cast<double>(state.iterations() * packets) * 0.01;
    state.counters["audio_s"] = audio;
    state.counters["cpu_ms_per_audio_s"] = 1000.0 * cpu / audio;
    state.counters["core_percent"] = 100.0 * cpu / audio;
}

// The floor under that figure: nothing but the idle poll's Sleep, for as long, CPU per second.
void IdlePollFloor(benchmark::State& state)
{
    const auto length = std::chrono::seconds(RealtimeSeconds());
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        const double before = ProcessCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < length) {
            Sleep(kIdlePollMilliseconds);
        }
        cpu += ProcessCpuSeconds() - before;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["cpu_ms_per_s"] = 1000.0 * cpu / wall;
    state.counters["core_percent"] = 100.0 * cpu / wall;
}

// The scripted engine alone, nothing written: what its delivery costs per byte.
void EngineOnly(benchmark::State& state, UINT32 frames)
{
    EngineScript parsed;
    if (!ParseScriptFor(state, frames, &parsed)) {
        return;
    }
    const WAVEFORMATEX format = CaptureFormat();
    uint64_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ScriptedEngine engine(parsed);
        IAudioClient* audioClient = engine.NewAudioClient();
        IAudioCaptureClient* client = OpenCaptureClient(audioClient, format);
        state.ResumeTiming();
        UINT32 next = 0;
        while (client->GetNextPacketSize(&next) >= 0 && next != 0) {
            BYTE* data = nullptr;
            UINT32 got = 0;
            DWORD flags = 0;
            client->GetBuffer(&data, &got, &flags, nullptr, nullptr);
            benchmark::DoNotOptimize(data);
            client->ReleaseBuffer(got);
        }
        state.PauseTiming();
        bytes += engine.Totals().bytes;
        client->Release();
        audioClient->Release();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// Console output as usual, plus the pump-to-plain ratios once every figure is in.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto median = run.counters.find("ratio_median_pct");
            if (!run.error_occurred && median != run.counters.end()) {
                char line[300];
                snprintf(line, sizeof line,
                         "RATIO-INTERLEAVED %s rounds=%lld plain=%.1f MB/s pump=%.1f MB/s ratio_median=%.1f%% "
                         "ratio_range=%.1f..%.1f%%\n",
                         run.benchmark_name().c_str(), static_cast<long long>(run.iterations),
                         run.counters.at("plain_MBps").value, run.counters.at("pump_MBps").value, median->second.value,
                         run.counters.at("ratio_min_pct").value, run.counters.at("ratio_max_pct").value);
                interleaved_.push_back(line);
            }
            const auto core = run.counters.find("core_percent");
            if (!run.error_occurred && core != run.counters.end()) {
                cpu_[run.benchmark_name()] = core->second.value;
            }
            const auto rate = run.counters.find("bytes_per_second");
            if (run.error_occurred || rate == run.counters.end()) {
                continue;
            }
            // With repetitions the median stands for the name; otherwise the one run does.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") {
                continue;
            }
            rates_[run.run_name.str()] = rate->second.value;
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::ostream& out = GetOutputStream();
        for (const auto& [name, rate] : rates_) {
            if (name.rfind("plain_write/", 0) != 0) {
                continue;
            }
            const std::string shape = name.substr(std::string("plain_write/").size());
            for (const char* kind : {"pump_bare/", "pump_scripted/"}) {
                const auto pump = rates_.find(kind + shape);
                if (pump != rates_.end()) {
                    char line[200];
                    snprintf(line, sizeof line, "RATIO %s%s pump=%.1f MB/s plain=%.1f MB/s ratio=%.1f%%\n", kind,
                             shape.c_str(), pump->second / 1e6, rate / 1e6, 100.0 * pump->second / rate);
                    out << line;
                }
            }
        }
        for (const std::string& line : interleaved_) {
            out << line;
        }
        for (const auto& [name, percent] : cpu_) {
            char line[200];
            snprintf(line, sizeof line, "CPU-INPROCESS %s core_percent=%.4f cpu_ms_per_s=%.3f\n", name.c_str(), percent,
                     10.0 * percent);
            out << line;
        }
        out.flush();
    }

private:
    std::map<std::string, double> rates_;
    std::map<std::string, double> cpu_;
    std::vector<std::string> interleaved_;
};

} // namespace

int main(int argc, char** argv)
{
    // The sink: a process that reads the pipe as fast as it can, as a consumer of the tool would.
    int sinkPipe[2];
    if (pipe(sinkPipe) != 0) {
        perror("pipe");
        return 1;
    }
    const pid_t sink = fork();
    if (sink == 0) {
        close(sinkPipe[1]);
        static char buffer[1 << 20];
        while (read(sinkPipe[0], buffer, sizeof buffer) > 0) {
        }
        _exit(0);
    }
    close(sinkPipe[0]);
    g_targetFd[kPipe] = sinkPipe[1];
    g_targetFd[kDevNull] = open("/dev/null", O_WRONLY);
    // Standard output is the pipe from the start, so the C library buffers it as it would in a
    // capture whose output is piped.
    dup2(g_targetFd[kPipe], 1);

    const std::pair<Target, const char*> targets[] = {{kPipe, "pipe"}, {kDevNull, "devnull"}};
    for (const UINT32 frames : {480u, 4800u}) {
        for (const auto& [target, label] : targets) {
            const std::string shape = std::string(label) + "/" + std::to_string(frames);
            benchmark::RegisterBenchmark(("plain_write/" + shape).c_str(), PlainWrite, target, frames)->UseRealTime();
            benchmark::RegisterBenchmark(("pump_bare/" + shape).c_str(), PumpBare, target, frames)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("pump_scripted/" + shape).c_str(), PumpScripted, target, frames)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
        for (const auto& [target, label] : targets) {
            const std::string shape = std::string(label) + "/" + std::to_string(frames);
            benchmark::RegisterBenchmark(("interleaved/" + shape).c_str(), Interleaved, target, frames)
                ->Iterations(Smoke() ? 2 : 40)
                ->Repetitions(1)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
        benchmark::RegisterBenchmark(("engine_only/" + std::to_string(frames)).c_str(), EngineOnly, frames)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }

    // Real-time rows: one long run each, never repeated.
    benchmark::RegisterBenchmark("pump_bare_realtime/pipe/480", PumpBareRealtime)
        ->Iterations(1)
        ->Repetitions(1)
        ->UseRealTime()
        ->Unit(benchmark::kSecond);

    benchmark::RegisterBenchmark("idle_poll_floor", IdlePollFloor)
        ->Iterations(1)
        ->Repetitions(1)
        ->UseRealTime()
        ->Unit(benchmark::kSecond);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter; // no colour codes in the log
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    fflush(stdout);
    close(1);
    close(g_targetFd[kPipe]);
    int status = 0;
    waitpid(sink, &status, 0);
    return 0;
}
