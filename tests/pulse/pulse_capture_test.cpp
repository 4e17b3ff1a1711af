// harkwire against a real audio server: which streams a capture carries, how it runs on as a
// clock, and how it ends. The server is private to the run (PulseAudio, or PipeWire's PulseAudio
// server when HARKWIRE_TEST_SERVER=pipewire); tones come from tone_player processes.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>
#include <unistd.h>

#include "tests/pulse/audio_server.h"
#include "tests/support/process.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr double kRate = 48000.0;
constexpr size_t kPacketFrames = 480;
// The byte count may trail the clock by one packet. The measurement samples (elapsed since the
// FORMAT line was seen, bytes read) every 20 ms over the last 0.5 s of the run and keeps the
// sample nearest the clock: a reader
// that is late only ever lowers the count, so the best sample is the honest one. Slack on top of
// the packet: 480 frames (10 ms) for the pump's 5 ms idle poll and the ~2 ms polls that see the
// FORMAT line and read the pipe. Under ThreadSanitizer everything runs many times slower: 100 ms.
#if defined(__SANITIZE_THREAD__)
constexpr double kClockSlackFrames = 4800;
#else
constexpr double kClockSlackFrames = 480;
#endif
const char kNoServerLine[] = "[err] GetActivateResult: hr=0x00000000 result=0x88890010\n";

ServerKind Kind()
{
    const char* kind = std::getenv("HARKWIRE_TEST_SERVER");
    return kind != nullptr && std::strcmp(kind, "pipewire") == 0 ? ServerKind::PipeWire : ServerKind::PulseAudio;
}

std::string Player() { return HARKWIRE_TONE_PLAYER; }

// The left channel of the capture, from `from` seconds to `to` seconds.
std::vector<float> Left(const std::string& bytes, double from, double to)
{
    const size_t frames = bytes.size() / 8;
    const size_t first = std::min(frames, static_cast<size_t>(from * kRate));
    const size_t last = std::min(frames, static_cast<size_t>(to * kRate));
    std::vector<float> left;
    for (size_t i = first; i < last; ++i) {
        float value;
        std::memcpy(&value, bytes.data() + i * 8, sizeof value);
        left.push_back(value);
    }
    return left;
}

// Goertzel over Hann-windowed blocks of 40 ms, powers summed: the power of one frequency in dB
// (relative; -300 for none). Summing per block keeps a phase jump (a padded gap) from cancelling
// the tone, and the window keeps a neighbouring tone's leakage far below the 30 dB margins.
constexpr size_t kBlock = 1920;

double PowerDb(const std::vector<float>& samples, double frequency)
{
    const double coefficient = 2.0 * std::cos(2.0 * M_PI * frequency / kRate);
    double total = 0;
    for (size_t start = 0; start + kBlock <= samples.size(); start += kBlock) {
        double s1 = 0, s2 = 0;
        for (size_t i = 0; i < kBlock; ++i) {
            const double hann = 0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) / (kBlock - 1));
            const double s0 = samples[start + i] * hann + coefficient * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        total += s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    }
    return total > 1e-30 ? 10.0 * std::log10(total) : -300.0;
}

// The same measure for a steady tone of amplitude 0.3 (the players' level) over the window.
double ReferenceDb(size_t samples)
{
    const double perBlock = 0.3 * static_cast<double>(kBlock) / 4.0; // amplitude x N/2 x Hann's gain 1/2
    return 10.0 * std::log10(static_cast<double>(samples / kBlock) * perBlock * perBlock);
}

struct Capture {
    ProcessResult result;
    bool sawFormat = false;
    // Best of the samples of frames read minus 48,000 x seconds since the FORMAT line.
    double clockOffsetFrames = -1e18;
    long rssStartKb = 0, rssEndKb = 0;
};

long RssKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

// Runs harkwire on `pid` for `seconds` after its FORMAT line, then sends `stopSignal`.
Capture RunCapture(pid_t target, const char* mode, double seconds, int stopSignal = SIGINT,
                   std::function<void()> afterFormat = nullptr)
{
    Capture capture;
    ProcessSpec launch;
    launch.argv = {HARKWIRE_BINARY, std::to_string(target), mode};
    launch.timeout = milliseconds(20000);
    launch.whileRunning = [&](pid_t pid, const std::function<std::string()>& err, const std::function<size_t()>& outBytes) {
        capture.sawFormat = WaitFor([&] { return err().find("FORMAT 48000 2 32\n") != std::string::npos; }, milliseconds(8000));
        const auto formatSeen = Clock::now();
        if (!capture.sawFormat) {
            kill(pid, SIGKILL);
            return;
        }
        if (afterFormat) {
            afterFormat();
        }
        std::this_thread::sleep_for(milliseconds(300));
        capture.rssStartKb = RssKb(pid);
        const auto end = formatSeen + milliseconds(static_cast<long>(seconds * 1000));
        while (Clock::now() < end) {
            const double frames = static_cast<double>(outBytes()) / 8.0;
            const double elapsed = std::chrono::duration<double>(Clock::now() - formatSeen).count();
            if (elapsed >= seconds - 0.5) { // late in the run, where a drift has added up
                capture.clockOffsetFrames = std::max(capture.clockOffsetFrames, frames - kRate * elapsed);
            }
            std::this_thread::sleep_for(milliseconds(20));
        }
        capture.rssEndKb = RssKb(pid);
        kill(pid, stopSignal);
    };
    capture.result = RunProcess(launch);
    return capture;
}

// Frames written = 48,000 x seconds captured, within one packet (plus the measurement's slack).
void ExpectOnClock(const Capture& capture)
{
    EXPECT_GE(capture.clockOffsetFrames, -(kPacketFrames + kClockSlackFrames));
    // Ahead of the clock only by how late the FORMAT line was seen: up to 24 ms was seen on this
    // loaded two-core machine, so 30 ms.
    EXPECT_LE(capture.clockOffsetFrames, kClockSlackFrames + 1440);
}

class PulseCapture : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server_ = new AudioServer(Kind(), MakeTempDir("pulse-server"));
        ready_ = server_->Start();
        if (ready_ && Kind() == ServerKind::PulseAudio) {
            // The null sink renders in blocks of up to 2 s while no reader asks for less; a
            // low-latency reader for the whole suite spares each capture the wait for the block's end.
            keeper_ = Spawn({"parec", "--latency-msec=5", "--format=u8", "--rate=8000", "--channels=1", "-d", "null.monitor"});
            std::this_thread::sleep_for(milliseconds(2200));
        }
    }
    static void TearDownTestSuite()
    {
        if (keeper_ > 0) {
            kill(keeper_, SIGTERM);
            Reap(keeper_);
        }
        delete server_;
    }
    void SetUp() override
    {
        ASSERT_TRUE(ready_) << server_->Why();
        server_->Export();
    }
    void TearDown() override
    {
        for (pid_t pid : players_) {
            kill(pid, SIGTERM);
            Reap(pid);
        }
    }
    pid_t Play(std::vector<std::string> argv)
    {
        const pid_t pid = Spawn(argv);
        players_.push_back(pid);
        return pid;
    }
    pid_t Tone(double hz, double seconds) { return Play({Player(), std::to_string(hz), std::to_string(seconds)}); }
    // A shell that starts players as its children (not exec'd in its place: the `wait`).
    pid_t Shell(const std::string& script) { return Play({"/bin/sh", "-c", script + "; wait"}); }
    // A shell that runs `script` only once Go() is called: once the capture runs, however slow
    // harkwire is to start (as under a sanitizer).
    pid_t ShellOnGo(const std::string& script)
    {
        static int count = 0; // the directory outlives each test: every shell gets a fresh name
        go_ = server_->Dir() + "/go-" + std::to_string(++count);
        return Shell("while [ ! -e " + go_ + " ]; do sleep 0.01; done; " + script);
    }
    std::function<void()> Go()
    {
        return [this] { WriteFile(go_, ""); };
    }
    std::string Tp() const { return Player(); }
    std::string go_;

    static AudioServer* server_;
    static bool ready_;
    static pid_t keeper_;
    std::vector<pid_t> players_;
};
AudioServer* PulseCapture::server_ = nullptr;
bool PulseCapture::ready_ = false;
pid_t PulseCapture::keeper_ = -1;

// Include on A carries A's tone and not B's; exclude on A the reverse.
TEST_F(PulseCapture, ModeSelectsTheTargetTreeOrEverythingElse)
{
    struct Case {
        const char* mode;
        double wanted, unwanted;
    };
    for (const Case& c : {Case{"include", 440, 1000}, Case{"exclude", 1000, 440}}) {
        SCOPED_TRACE(c.mode);
        const pid_t a = Tone(440, 2.5);
        Tone(1000, 2.5);
        std::this_thread::sleep_for(milliseconds(150));
        Capture capture = RunCapture(a, c.mode, 1.2);
        ASSERT_TRUE(capture.sawFormat) << capture.result.err;
        EXPECT_EQ(capture.result.status, 0) << capture.result.err;
        const std::vector<float> window = Left(capture.result.out, 0.3, 1.1);
        ASSERT_GT(window.size(), 30000u);
        const double wanted = PowerDb(window, c.wanted), unwanted = PowerDb(window, c.unwanted);
        EXPECT_GT(wanted, ReferenceDb(window.size()) - 3.0) << "the selected tone is there at full level";
        EXPECT_GE(wanted - unwanted, 30.0) << "wanted " << wanted << " dB, unwanted " << unwanted << " dB";
        TearDown();
        players_.clear();
    }
}

// The target is a shell; its child starts playing after the capture has begun and is caught.
TEST_F(PulseCapture, ChildStartedLaterIsCaptured)
{
    Tone(3000, 2.5); // not of the tree; far from 700 Hz, so a gap's splatter is not taken for it
    const pid_t shell = ShellOnGo("sleep 0.4; " + Tp() + " 700 1.5");
    Capture capture = RunCapture(shell, "include", 1.6, SIGINT, Go());
    ASSERT_TRUE(capture.sawFormat) << capture.result.err;
    const std::vector<float> late = Left(capture.result.out, 0.9, 1.5);
    EXPECT_GT(PowerDb(late, 700), ReferenceDb(late.size()) - 3.0);
    EXPECT_GE(PowerDb(late, 700) - PowerDb(late, 3000), 30.0);
}

// Two streams of the tree are summed sample by sample; the second joins while the capture runs.
TEST_F(PulseCapture, StreamsOfTheTreeAreSummedAndJoinLater)
{
    const pid_t shell = ShellOnGo(Tp() + " 500 2.5 & sleep 0.8; " + Tp() + " 2500 1.5");
    Capture capture = RunCapture(shell, "include", 2.0, SIGINT, Go());
    ASSERT_TRUE(capture.sawFormat) << capture.result.err;
    const std::vector<float> early = Left(capture.result.out, 0.3, 0.7);
    const std::vector<float> both = Left(capture.result.out, 1.3, 1.9);
    EXPECT_GT(PowerDb(early, 500), ReferenceDb(early.size()) - 3.0);
    EXPECT_GE(PowerDb(early, 500) - PowerDb(early, 2500), 30.0) << "the second stream has not started yet";
    EXPECT_GT(PowerDb(both, 500), ReferenceDb(both.size()) - 3.0);
    EXPECT_GT(PowerDb(both, 2500), ReferenceDb(both.size()) - 3.0);
    // Both at full level at once: summed, not averaged (each would be 6 dB down) nor one
    // stream written over the other.
}

// When the target ends, the capture goes on as silence at the real-time rate. The target (a
// shell) plays only once the capture runs, so a slow start of harkwire cannot miss the tone.
TEST_F(PulseCapture, TargetExitingLeavesSilenceThatRuns)
{
    const pid_t target = ShellOnGo(Tp() + " 600 0.6");
    Capture capture = RunCapture(target, "include", 1.8, SIGINT, Go());
    ASSERT_TRUE(capture.sawFormat) << capture.result.err;
    EXPECT_EQ(capture.result.status, 0);
    const std::vector<float> start = Left(capture.result.out, 0.2, 0.5);
    EXPECT_GT(PowerDb(start, 600), ReferenceDb(start.size()) - 3.0);
    const std::vector<float> after = Left(capture.result.out, 1.0, 1.7);
    ASSERT_GT(after.size(), 30000u);
    for (float x : after) {
        ASSERT_EQ(x, 0.0f);
    }
    ExpectOnClock(capture);
}

// SIGINT and SIGTERM end the run with status 0 and every byte written; the byte count follows the
// clock (see kClockSlackFrames).
TEST_F(PulseCapture, StopBySignalFlushesAndKeepsTime)
{
    for (int stopSignal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(stopSignal));
        const pid_t target = Tone(800, 3.0);
        Capture capture = RunCapture(target, "include", 2.0, stopSignal);
        ASSERT_TRUE(capture.sawFormat) << capture.result.err;
        EXPECT_EQ(capture.result.status, 0) << capture.result.err;
        EXPECT_EQ(capture.result.out.size() % 8, 0u);
        EXPECT_EQ(capture.result.err.find("[err]"), std::string::npos) << capture.result.err;
        ExpectOnClock(capture);
        // Nothing is kept per packet: the resident size stays flat over 1.7 s of packets.
#if !defined(__SANITIZE_THREAD__) // its shadow memory grows with every access, not with ours
        EXPECT_LT(capture.rssEndKb - capture.rssStartKb, 512) << capture.rssStartKb << " -> " << capture.rssEndKb;
#endif
        TearDown();
        players_.clear();
    }
}

// The user sends the target's stream to another output while it is captured: it stays in the
// capture, at full level, after a gap of no more than a moment.
TEST_F(PulseCapture, StreamMovedToAnotherSinkStaysCaptured)
{
    const ProcessResult loaded = server_->Pactl({"load-module", "module-null-sink", "sink_name=second"});
    ASSERT_EQ(loaded.status, 0) << loaded.err;
    const std::string module = loaded.out.substr(0, loaded.out.find('\n'));
    // The tone starts once the capture runs (the new sink can make the activation slow to finish).
    const pid_t target = ShellOnGo(Tp() + " 900 3");
    const std::function<void()> go = Go();
    ProcessResult listed, moved;
    Capture capture = RunCapture(target, "include", 2.2, SIGINT, [&] {
        go();
        std::this_thread::sleep_for(milliseconds(700));
        listed = server_->Pactl({"list", "short", "sink-inputs"});
        moved = server_->Pactl({"move-sink-input", listed.out.substr(0, listed.out.find('\t')), "second"});
    });
    server_->Pactl({"unload-module", module});
    ASSERT_TRUE(capture.sawFormat) << capture.result.err;
    ASSERT_EQ(moved.status, 0) << listed.out << moved.err;
    EXPECT_EQ(capture.result.status, 0) << capture.result.err;
    const std::vector<float> before = Left(capture.result.out, 0.3, 0.65);
    const std::vector<float> after = Left(capture.result.out, 1.3, 2.1);
    ASSERT_GT(after.size(), 30000u);
    EXPECT_GT(PowerDb(before, 900), ReferenceDb(before.size()) - 3.0);
    EXPECT_GT(PowerDb(after, 900), ReferenceDb(after.size()) - 3.0) << "the moved stream left the capture";
    ExpectOnClock(capture);
}

// From the tone's first frame written to the server to the frame leaving harkwire's clock.
TEST_F(PulseCapture, AddedLatencyIsLow)
{
    int playerOut = -1;
    std::string onsetText;
    Clock::time_point formatSeen;
    ProcessSpec launch;
    launch.argv = {HARKWIRE_BINARY, "0", "include"};
    // The player starts before the capture and plays 0.6 s of silence before its tone.
    const pid_t target = Spawn({Tp(), "800", "0.5", "0.6", "10"}, &playerOut);
    players_.push_back(target);
    launch.argv[1] = std::to_string(target);
    double onsetAfterFormat = 0;
    launch.whileRunning = [&](pid_t pid, const std::function<std::string()>& err, const std::function<size_t()>&) {
        WaitFor([&] { return err().find("FORMAT") != std::string::npos; }, milliseconds(8000));
        formatSeen = Clock::now();
        char buffer[64] = {};
        const ssize_t got = read(playerOut, buffer, sizeof buffer - 1);
        if (got > 0) {
            onsetText.assign(buffer, static_cast<size_t>(got));
        }
        const long long onsetNs = std::atoll(onsetText.c_str() + 6);
        // steady_clock is CLOCK_MONOTONIC on Linux.
        const long long formatNs = std::chrono::duration_cast<std::chrono::nanoseconds>(formatSeen.time_since_epoch()).count();
        onsetAfterFormat = static_cast<double>(onsetNs - formatNs) / 1e9;
        std::this_thread::sleep_for(milliseconds(900));
        kill(pid, SIGINT);
    };
    ProcessResult result = RunProcess(launch);
    close(playerOut);
    ASSERT_EQ(onsetText.rfind("ONSET ", 0), 0u) << onsetText;
    ASSERT_GT(onsetAfterFormat, 0.0) << "the tone must start after the capture";
    const std::vector<float> left = Left(result.out, 0.0, 10.0);
    size_t first = 0;
    while (first < left.size() && std::fabs(left[first]) < 0.05f) {
        ++first;
    }
    ASSERT_LT(first, left.size()) << "the tone was not captured";
    const double latency = static_cast<double>(first) / kRate - onsetAfterFormat;
    RecordProperty("latency_ms", std::to_string(latency * 1000));
    std::printf("added latency: %.1f ms (tone written to the server -> frame on harkwire's clock)\n", latency * 1000);
    EXPECT_GT(latency, -0.005);
    if (Kind() == ServerKind::PipeWire) {
        // pipewire-pulse buffers playback by its own rules (the player's 10 ms request does not
        // bound it), so this measure is not our delay there; the figure is printed above.
        GTEST_SKIP() << "latency under PipeWire measured " << latency * 1000 << " ms, server playback buffering included";
    }
    // 30 ms is the aim; the measure also holds the player's own 10 ms buffer and the ~2 ms poll
    // that sees the FORMAT line.
    EXPECT_LT(latency, 0.045);
}

// A server that goes away mid-capture ends the capture quietly with status 0.
TEST(PulseServerLoss, ServerKilledMidCaptureEndsQuietly)
{
    AudioServer server(Kind(), MakeTempDir("pulse-lost"));
    ASSERT_TRUE(server.Start()) << server.Why();
    ProcessSpec launch;
    launch.argv = {HARKWIRE_BINARY, "1", "exclude"};
    launch.env = server.Env();
    launch.timeout = milliseconds(15000);
    bool sawFormat = false;
    launch.whileRunning = [&](pid_t, const std::function<std::string()>& err, const std::function<size_t()>&) {
        sawFormat = WaitFor([&] { return err().find("FORMAT") != std::string::npos; }, milliseconds(8000));
        std::this_thread::sleep_for(milliseconds(300));
        server.Kill();
    };
    ProcessResult result = RunProcess(launch);
    EXPECT_TRUE(sawFormat) << result.err;
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err.find("[err]"), std::string::npos) << result.err;
    EXPECT_EQ(result.out.size() % 8, 0u);
    EXPECT_GT(result.out.size(), 0u);
}

// No server to reach: the activation fails as the audio service not running.
TEST(PulseServerLoss, NoServerGivesTheActivationResult)
{
    const std::string dir = MakeTempDir("pulse-none");
    ProcessSpec launch;
    launch.argv = {HARKWIRE_BINARY, "1234"};
    launch.env = {{"PULSE_SERVER", "unix:" + dir + "/no-socket"}, {"XDG_RUNTIME_DIR", dir}, {"HOME", dir},
                {"PULSE_RUNTIME_PATH", dir}};
    ProcessResult result = RunProcess(launch);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(kNoServerLine), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("FORMAT"), std::string::npos);
    EXPECT_TRUE(result.out.empty());
}

} // namespace
