// Whole-process figures of the host build over the scripted engine: start latency (exec to the
// FORMAT line), stop latency (SIGINT to exit, idle and while draining), and a real-time capture's
// CPU time per audio second with its resident size sampled over the run.
//
//   bench_process start    BINARY RUNS
//   bench_process stop     BINARY RUNS idle|draining
//   bench_process capture  BINARY SECONDS
//   bench_process click    BINARY RUNS       (inside a PulseAudio server's environment)
//
// Every figure is printed as one "NAME key=value ..." line; times in milliseconds.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration span)
{
    return std::chrono::duration<double, std::milli>(span).count();
}

struct Child {
    pid_t pid = -1;
    int err = -1;  // read end of its standard error
    int out = -1;  // read end of its standard output, or -1 when it goes to /dev/null
};

// Spawns BINARY 1234 with the script (none: the engine activates and stays idle).
Child Spawn(const std::string& binary, const std::string& scriptPath, bool pipeOut);

// Spawns argv with standard output (and standard error, if asked) on pipes, with ENV as its
// environment (by default this process's).
Child SpawnArgs(std::vector<std::string> args, bool pipeOut, bool pipeErr, char** env = environ)
{
    int errPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
    if ((pipeErr && pipe2(errPipe, O_CLOEXEC) != 0) || (pipeOut && pipe2(outPipe, O_CLOEXEC) != 0)) {
        perror("pipe");
        std::exit(2);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipeErr) {
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    if (pipeOut) {
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    Child child;
    if (posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), env) != 0) {
        perror(argv[0]);
        std::exit(2);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (pipeErr) {
        close(errPipe[1]);
        child.err = errPipe[0];
    }
    if (pipeOut) {
        close(outPipe[1]);
        child.out = outPipe[0];
    }
    return child;
}

Child Spawn(const std::string& binary, const std::string& scriptPath, bool pipeOut)
{
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
        if (strncmp(*e, "HARKWIRE_ENGINE_", 16) != 0) {
            envText.emplace_back(*e);
        }
    }
    if (!scriptPath.empty()) {
        envText.push_back("HARKWIRE_ENGINE_SCRIPT=" + scriptPath);
    }
    std::vector<char*> env;
    for (std::string& text : envText) {
        env.push_back(text.data());
    }
    env.push_back(nullptr);
    return SpawnArgs({binary, "1234"}, pipeOut, true, env.data());
}

// Reads standard error until the format line has arrived; false if the stream ended first.
bool AwaitFormatLine(int fd)
{
    std::string seen;
    char buffer[512];
    while (seen.find("FORMAT 48000 2 32\n") == std::string::npos) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            fprintf(stderr, "no format line; standard error was: %s\n", seen.c_str());
            return false;
        }
        seen.append(buffer, static_cast<size_t>(got));
    }
    return true;
}

// Reads a child's standard output to its end, counting the bytes.
class Sink {
public:
    explicit Sink(int fd) : thread_([this, fd] {
        std::vector<char> buffer(1 << 20);
        for (;;) {
            const ssize_t got = read(fd, buffer.data(), buffer.size());
            if (got <= 0) {
                break;
            }
            bytes_ += static_cast<uint64_t>(got);
        }
        close(fd);
    })
    {
    }
    ~Sink() { Join(); }
    uint64_t Bytes() const { return bytes_.load(); }
    void Join()
    {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    std::atomic<uint64_t> bytes_{0};
    std::thread thread_;
};

void Drain(int fd)
{
    char buffer[4096];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
    close(fd);
}

std::string WriteScript(const std::string& name, const std::string& text)
{
    const char* dir = std::getenv("TMPDIR");
    const std::string path = std::string(dir != nullptr ? dir : "/tmp") + "/harkwire-bench-" +
                             std::to_string(getpid()) + "-" + name + ".script";
    std::ofstream(path) << text;
    return path;
}

void PrintDistribution(const char* name, std::vector<double> values, const char* extra = "")
{
    std::sort(values.begin(), values.end());
    // Nearest rank.
    auto at = [&](double p) {
        size_t rank = static_cast<size_t>(p / 100.0 * static_cast<double>(values.size()) + 0.999999);
        return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
    };
    printf("%s runs=%zu p50=%.3f p90=%.3f p99=%.3f max=%.3f min=%.3f%s (ms)\n", name, values.size(), at(50), at(90),
           at(99), values.back(), values.front(), extra);
    fflush(stdout);
}

int ExitStatus(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Start(const std::string& binary, int runs)
{
    std::vector<double> latencies;
    for (int i = 0; i < runs; ++i) {
        const Clock::time_point before = Clock::now();
        Child child = Spawn(binary, "", false);
        if (!AwaitFormatLine(child.err)) {
            return 1;
        }
        latencies.push_back(Milliseconds(Clock::now() - before));
        kill(child.pid, SIGINT);
        Drain(child.err);
        int status = 0;
        waitpid(child.pid, &status, 0);
    }
    PrintDistribution("START exec-to-format", latencies);
    return 0;
}

int Stop(const std::string& binary, int runs, bool draining)
{
    // Draining: packets of 4,800 frames, as fast as the reader takes them, for far longer than a run.
    const std::string script =
        draining ? WriteScript("drain", "pace fast\nquiet\npacket 4800 fill 0x5A x 1000000000\n") : "";
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> offsetMicroseconds(0, 10000);
    std::vector<double> latencies;
    int failures = 0;
    for (int i = 0; i < runs; ++i) {
        Child child = Spawn(binary, script, draining);
        if (!AwaitFormatLine(child.err)) {
            return 1;
        }
        Sink* sink = draining ? new Sink(child.out) : nullptr;
        if (sink != nullptr) {
            const Clock::time_point waitStart = Clock::now();
            while (sink->Bytes() < (1u << 20) && Clock::now() - waitStart < std::chrono::seconds(20)) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            if (sink->Bytes() < (1u << 20)) {
                fprintf(stderr, "stop: no samples came while draining\n");
                kill(child.pid, SIGKILL);
                waitpid(child.pid, nullptr, 0);
                return 1;
            }
        }
        // A random phase against the 5 ms idle poll.
        std::this_thread::sleep_for(std::chrono::microseconds(offsetMicroseconds(random)));
        const Clock::time_point signalled = Clock::now();
        kill(child.pid, SIGINT);
        int status = 0;
        waitpid(child.pid, &status, 0);
        latencies.push_back(Milliseconds(Clock::now() - signalled));
        failures += ExitStatus(status) != 0;
        delete sink;
        Drain(child.err);
    }
    if (!script.empty()) {
        unlink(script.c_str());
    }
    char extra[64];
    snprintf(extra, sizeof extra, " nonzero-exits=%d", failures);
    PrintDistribution(draining ? "STOP draining" : "STOP idle", latencies, extra);
    return failures == 0 ? 0 : 1;
}

struct Memory {
    long rssKb = -1;
    long hwmKb = -1;
};

Memory ReadMemory(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    Memory memory;
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            memory.rssKb = std::atol(line.c_str() + 6);
        } else if (line.rfind("VmHWM:", 0) == 0) {
            memory.hwmKb = std::atol(line.c_str() + 6);
        }
    }
    return memory;
}

int Capture(const std::string& binary, int seconds)
{
    // 10 ms packets at 48 kHz, due in real time; the pump returns after the last one.
    const std::string script = WriteScript(
        "realtime", "pace realtime\nquiet\nend fail 0x88890004\npacket 480 x " + std::to_string(seconds * 100) + "\n");
    Child child = Spawn(binary, script, true);
    if (!AwaitFormatLine(child.err)) {
        return 1;
    }
    const Clock::time_point started = Clock::now();
    Sink sink(child.out);
    std::vector<std::pair<double, Memory>> samples;
    int status = 0;
    rusage usage{};
    for (;;) {
        const Memory memory = ReadMemory(child.pid);
        if (memory.rssKb >= 0) {
            samples.emplace_back(Milliseconds(Clock::now() - started) / 1000.0, memory);
        }
        const pid_t done = wait4(child.pid, &status, WNOHANG, &usage);
        if (done == child.pid) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const double wall = Milliseconds(Clock::now() - started) / 1000.0;
    sink.Join();
    Drain(child.err);
    unlink(script.c_str());
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    const double audio = static_cast<double>(sink.Bytes()) / (48000.0 * 8);
    printf("CPU realtime-480 audio_s=%.2f wall_s=%.2f user_s=%.3f sys_s=%.3f cpu_ms_per_audio_s=%.3f "
           "core_percent=%.4f exit=%d\n",
           audio, wall, static_cast<double>(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec / 1e6,
           static_cast<double>(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec / 1e6, 1000.0 * cpu / audio,
           100.0 * cpu / audio, ExitStatus(status));
    if (samples.empty()) {
        printf("MEMORY no samples\n");
        return 1;
    }
    // Growth: from the first sample after the first second to the last one.
    const auto settled = std::find_if(samples.begin(), samples.end(), [](const auto& s) { return s.first >= 1.0; });
    const Memory first = settled != samples.end() ? settled->second : samples.front().second;
    const Memory last = samples.back().second;
    long peakRss = 0, peakHwm = 0;
    for (const auto& sample : samples) {
        peakRss = std::max(peakRss, sample.second.rssKb);
        peakHwm = std::max(peakHwm, sample.second.hwmKb);
    }
    printf("MEMORY samples=%zu rss_first_kb=%ld rss_last_kb=%ld rss_max_kb=%ld vmhwm_kb=%ld growth_kb=%ld\n",
           samples.size(), first.rssKb, last.rssKb, peakRss, peakHwm, last.rssKb - first.rssKb);
    printf("MEMORY-SERIES");
    for (size_t i = 0; i < samples.size(); i += std::max<size_t>(1, samples.size() / 12)) {
        printf(" %.0fs:%ld", samples[i].first, samples[i].second.rssKb);
    }
    printf(" end:%ld\n", last.rssKb);
    return ExitStatus(status) == 0 ? 0 : 1;
}

// The click: after a lead-in of silence long enough for both captures to attach, 2 ms at 0.9 of
// full scale. 16-bit stereo at 48 kHz, fed to the player in real time, 10 ms at a time, so that the
// moment the click is written is close to the moment it enters the server (the player's 10 ms
// buffer and the pipe's one page at most) rather than whenever the server chose to read ahead.
constexpr int kLeadChunks = 100;  // 1 s
constexpr int kTailChunks = 30;
constexpr size_t kChunkFrames = 480;

// Plays the click; returns when the click's chunk was written.
Clock::time_point FeedClick(int fd, Clock::time_point start)
{
    std::vector<int16_t> silence(kChunkFrames * 2, 0), click(kChunkFrames * 2, 0);
    for (size_t i = 0; i < 96 * 2; ++i) {
        click[i] = 29491;
    }
    Clock::time_point clicked{};
    for (int chunk = 0; chunk < kLeadChunks + 1 + kTailChunks; ++chunk) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * chunk));
        const std::vector<int16_t>& samples = chunk == kLeadChunks ? click : silence;
        if (write(fd, samples.data(), samples.size() * 2) != static_cast<ssize_t>(samples.size() * 2)) {
            break;
        }
        // Taken once the write has returned: the click is then in the player's hands or in the
        // one-page pipe ahead of it, no further back.
        if (chunk == kLeadChunks) {
            clicked = Clock::now();
        }
    }
    return clicked;
}

// The sink input that the PulseAudio server made for a playback process, or -1.
long SinkInputOf(pid_t pid)
{
    FILE* list = popen("pactl list sink-inputs 2>/dev/null", "r");
    if (list == nullptr) {
        return -1;
    }
    long index = -1, found = -1;
    char line[1024];
    const std::string wanted = "application.process.id = \"" + std::to_string(pid) + "\"";
    while (fgets(line, sizeof line, list) != nullptr) {
        if (strncmp(line, "Sink Input #", 12) == 0) {
            index = std::atol(line + 12);
        } else if (strstr(line, wanted.c_str()) != nullptr) {
            found = index;
        }
    }
    pclose(list);
    return found;
}

// Reads a stream of 32-bit float samples to its end and notes when the first one above the
// threshold arrived.
class ClickWatcher {
public:
    explicit ClickWatcher(int fd) : thread_([this, fd] {
        std::vector<char> buffer(1 << 16);
        std::string carry;
        for (;;) {
            const ssize_t got = read(fd, buffer.data(), buffer.size());
            if (got <= 0) {
                break;
            }
            const Clock::time_point now = Clock::now();
            bytes_ += static_cast<uint64_t>(got);
            if (seen_) {
                continue;
            }
            carry.append(buffer.data(), static_cast<size_t>(got));
            size_t i = 0;
            for (; i + 4 <= carry.size(); i += 4) {
                float sample;
                memcpy(&sample, carry.data() + i, 4);
                if (sample > 0.25f || sample < -0.25f) {
                    arrived_ = now;
                    seen_ = true;
                    break;
                }
            }
            carry.erase(0, i - i % 4);
        }
        close(fd);
    })
    {
    }
    void Join() { thread_.join(); }
    bool Seen() const { return seen_; }
    Clock::time_point Arrived() const { return arrived_; }
    uint64_t Bytes() const { return bytes_; }

private:
    bool seen_ = false;
    Clock::time_point arrived_;
    uint64_t bytes_ = 0;
    std::thread thread_;
};

int Click(const std::string& binary, int runs)
{
    std::vector<double> tool, parec, difference;
    int misses = 0;
    for (int run = 0; run < runs; ++run) {
        int feed[2];
        if (pipe2(feed, O_CLOEXEC) != 0) {
            perror("pipe");
            return 1;
        }
        // One page (about 21 ms of audio), so a player that reads late cannot hide a backlog in it.
        fcntl(feed[1], F_SETPIPE_SZ, 4096);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, feed[0], 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> args = {"paplay", "--raw", "--format=s16le", "--rate=48000", "--channels=2",
                                         "--latency-msec=10"};
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        Child player;
        if (posix_spawnp(&player.pid, "paplay", &actions, nullptr, argv.data(), environ) != 0) {
            perror("paplay");
            return 1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(feed[0]);
        const Clock::time_point started = Clock::now();
        Clock::time_point clicked{};
        std::thread feeder([&] {
            clicked = FeedClick(feed[1], started);
            close(feed[1]);
        });
        long sinkInput = -1;
        while (sinkInput < 0 && Clock::now() - started < std::chrono::milliseconds(800)) {
            sinkInput = SinkInputOf(player.pid);
            if (sinkInput < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        if (sinkInput < 0) {
            fprintf(stderr, "click: paplay %d has no sink input\n", player.pid);
            feeder.join();
            waitpid(player.pid, nullptr, 0);
            return 1;
        }
        Child capture = SpawnArgs({binary, std::to_string(player.pid), "include"}, true, true);
        Child monitor = SpawnArgs({"parec", "--monitor-stream=" + std::to_string(sinkInput), "--format=float32le",
                                   "--rate=48000", "--channels=2", "--raw"},
                                  true, false);
        ClickWatcher toolWatch(capture.out), parecWatch(monitor.out);
        const bool formatSeen = AwaitFormatLine(capture.err);
        std::thread errDrain([fd = capture.err] { Drain(fd); });
        feeder.join();
        waitpid(player.pid, nullptr, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        kill(capture.pid, SIGINT);
        kill(monitor.pid, SIGINT);
        waitpid(capture.pid, nullptr, 0);
        waitpid(monitor.pid, nullptr, 0);
        toolWatch.Join();
        parecWatch.Join();
        errDrain.join();
        const Clock::time_point due = clicked;
        if (!formatSeen || !toolWatch.Seen() || !parecWatch.Seen()) {
            fprintf(stderr, "click run %d: format=%d harkwire saw=%d (%llu bytes) parec saw=%d (%llu bytes)\n", run,
                    formatSeen, toolWatch.Seen(), static_cast<unsigned long long>(toolWatch.Bytes()),
                    parecWatch.Seen(), static_cast<unsigned long long>(parecWatch.Bytes()));
            ++misses;
            continue;
        }
        tool.push_back(Milliseconds(toolWatch.Arrived() - due));
        parec.push_back(Milliseconds(parecWatch.Arrived() - due));
        difference.push_back(tool.back() - parec.back());
    }
    if (tool.empty()) {
        printf("PULSE-LATENCY not measured: no run saw the click in both captures (misses=%d)\n", misses);
        return 1;
    }
    char extra[64];
    snprintf(extra, sizeof extra, " misses=%d", misses);
    PrintDistribution("PULSE-LATENCY harkwire click-to-stdout", tool, extra);
    PrintDistribution("PULSE-LATENCY parec click-to-stdout", parec, extra);
    PrintDistribution("PULSE-LATENCY harkwire-minus-parec", difference, extra);
    return misses == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (argc == 4 && mode == "start") {
        return Start(argv[2], std::atoi(argv[3]));
    }
    if (argc == 5 && mode == "stop") {
        return Stop(argv[2], std::atoi(argv[3]), std::string(argv[4]) == "draining");
    }
    if (argc == 4 && mode == "capture") {
        return Capture(argv[2], std::atoi(argv[3]));
    }
    if (argc == 4 && mode == "click") {
        return Click(argv[2], std::atoi(argv[3]));
    }
    fprintf(stderr, "usage: bench_process start BINARY RUNS | stop BINARY RUNS idle|draining | capture BINARY SECONDS | click BINARY RUNS\n");
    return 2;
}
