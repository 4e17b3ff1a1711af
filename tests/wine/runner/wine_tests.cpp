// The Windows binary under Wine, compared byte for byte: standard error is in text mode there (every
// line ends CR LF), standard output is binary. Two audio stacks: Wine's own mmdevapi, which has the
// entry point but no process loopback, and the scripted engine built as a test Mmdevapi.dll beside a
// copy of harkwire.exe, chosen with WINEDLLOVERRIDES=mmdevapi=n (Wine loads its builtin first
// otherwise).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/cases/argument_table.h"
#include "tests/cases/failure_table.h"
#include "tests/support/process.h"
#include "tests/support/utf8.h"

namespace {

using namespace std::chrono_literals;

const std::string kUsage = "Usage: harkwire.exe <PID> [include|exclude]\r\n";
const std::string kCom = "[com] CoInitializeEx(MTA): 0x00000000\r\n";
const std::string kDllPattern = R"(\[dll\] ActivateAudioInterfaceAsync proc: [0-9A-F]{16}\r\n)";
const std::string kFtm = "[ftm] CoCreateFreeThreadedMarshaler: 0x00000000\r\n";
const std::string kQiAgile = "[qi] asked for {94EA2B94-E9CC-49E0-C0FF-EE64CA8F5B90}\r\n";
const std::string kCb = "[cb] ActivateCompleted fired\r\n";
const std::string kFormat = "FORMAT 48000 2 32\r\n";
const std::string kAny = R"([\s\S]*)"; // any text, line ends included

std::string Act(const std::string& pid, const std::string& mode)
{
    return "[act] activating pid=" + pid + " mode=" + mode + "\r\n";
}

std::string Crlf(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string Escape(const std::string& text)
{
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

// Whole-text match, so nothing before or after the expected lines slips through.
bool Matches(const std::string& text, const std::string& pattern)
{
    return std::regex_match(text, std::regex(pattern));
}

uint64_t Fnv1a(const std::string& bytes)
{
    uint64_t hash = 0xCBF29CE484222325ull;
    for (unsigned char b : bytes) hash = (hash ^ b) * 0x100000001B3ull;
    return hash;
}

std::string Hex16(uint64_t value)
{
    char text[24];
    snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::string DeliveredLine(const std::string& out)
{
    return "delivered packets=\\d+ frames=\\d+ bytes=" + std::to_string(out.size()) + " checksum=" + Hex16(Fnv1a(out));
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& pattern)
{
    const std::regex re(pattern);
    for (const auto& line : lines) {
        if (std::regex_match(line, re)) return true;
    }
    return false;
}

std::map<std::string, std::string> WineEnv()
{
    return {{"WINEPREFIX", HARKWIRE_WINE_PREFIX},
            {"WINEDEBUG", "-all"},
            {"WINEDLLOVERRIDES", "mscoree,mshtml,winemenubuilder.exe="},
            {"DISPLAY", ""},
            {"WAYLAND_DISPLAY", ""},
            // Wine turns the UTF-8 argv into the wide command line by the locale's character set.
            {"LC_ALL", "C.UTF-8"}};
}

// The Windows path of a Linux file, as the DLL's C run time opens it.
std::string WinPath(const std::string& path)
{
    return "Z:" + path;
}

// Runs a Windows program under Wine. Now and then (a few times in a thousand runs here) Wine fails
// around the program rather than in it: wine64 ends with status 1 without starting it (both streams
// empty; the tool's first act is a line on standard error), or wine64 itself is ended by a Unix
// signal after the program has finished (a fault in the program would end it with the exception's
// code instead). Such a run is started again, at most twice, and said on the test's output so that
// it is never silent. A run the test sends signals to is not retried for a signal.
bool WineFailedAroundTheProgram(const ProcessResult& result, const ProcessSpec& launch)
{
    if (result.timedOut) {
        return false;
    }
    const bool neverStarted = result.status == 1 && result.err.empty() && result.out.empty();
    const bool wineKilled = result.signal != 0 && !launch.whileRunning;
    return neverStarted || wineKilled;
}

ProcessResult RunUnderWine(const ProcessSpec& launch)
{
    ProcessResult result = RunProcess(launch);
    for (int again = 0; again < 2 && WineFailedAroundTheProgram(result, launch); ++again) {
        std::printf("wine ended with status %d, signal %d, %zu bytes on standard error; starting the run again\n",
                    result.status, result.signal, result.err.size());
        ::testing::Test::RecordProperty("wine_restarts", again + 1);
        result = RunProcess(launch);
    }
    return result;
}

ProcessResult RunOwnStack(const std::vector<std::string>& args)
{
    ProcessSpec launch;
    launch.argv = {HARKWIRE_WINE, HARKWIRE_EXE};
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    launch.env = WineEnv();
    launch.timeout = 15s;
    return RunUnderWine(launch);
}

// A run over the scripted engine: the script goes to a file, the record comes back.
class EngineRun {
public:
    explicit EngineRun(const std::string& script) : dir_(MakeTempDir("wine"))
    {
        WriteFile(dir_ + "/script.txt", script);
        launch.argv = {HARKWIRE_WINE, std::string(HARKWIRE_ENGINE_APP) + "/harkwire.exe", "1234"};
        launch.env = WineEnv();
        launch.env["WINEDLLOVERRIDES"] = "mscoree,mshtml,winemenubuilder.exe=;mmdevapi=n";
        launch.env["HARKWIRE_ENGINE_SCRIPT"] = WinPath(dir_ + "/script.txt");
        launch.env["HARKWIRE_ENGINE_RECORD"] = WinPath(dir_ + "/record.txt");
        launch.timeout = 20s;
    }
    ~EngineRun() { std::filesystem::remove_all(dir_); }

    ProcessResult Run()
    {
        const auto start = std::chrono::steady_clock::now();
        ProcessResult result = RunUnderWine(launch);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // The DLL's C run time writes the record in text mode.
        std::string text = ReadFile(dir_ + "/record.txt");
        std::erase(text, '\r');
        record = Lines(text);
        return result;
    }

    ProcessSpec launch;
    std::vector<std::string> record;
    double seconds = 0;

private:
    std::string dir_;
};

std::string RecordText(const std::vector<std::string>& record)
{
    std::string text;
    for (const auto& line : record) text += line + "\n";
    return text;
}

// ---- Wine's own audio stack --------------------------------------------------------------------

TEST(WineOwnStack, NoArgumentsGivesTheUsageLineAlone)
{
    const ProcessResult r = RunOwnStack({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out, "");
}

TEST(WineOwnStack, TrailEndsWhereWineRefusesProcessLoopback)
{
    const ProcessResult r = RunOwnStack({"1234"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    // Wine 8.0 answers the request, then the activation result is ERROR_FILE_NOT_FOUND.
    const std::string trail = Escape(kCom) + kDllPattern + Escape(kFtm) + Escape(Act("1234", "include")) +
                              R"((\[qi\] asked for \{[0-9A-F-]{36}\}\r\n)*)" + Escape(kCb) +
                              R"((\[qi\] asked for \{[0-9A-F-]{36}\}\r\n)*)" +
                              Escape("[err] GetActivateResult: hr=0x00000000 result=0x80070002\r\n");
    EXPECT_TRUE(Matches(r.err, trail)) << r.err;
    EXPECT_EQ(r.err.find("[dll] ActivateAudioInterfaceAsync proc: 0000000000000000"), std::string::npos);
}

class WineArguments : public ::testing::TestWithParam<ArgumentCase> {};

std::string ExpectedAct(const ArgumentCase& c)
{
    return Act(std::to_string(c.processId), c.exclude ? "exclude" : "include");
}

std::vector<std::string> Utf8Args(const ArgumentCase& c)
{
    std::vector<std::string> args;
    for (const auto& a : c.args) args.push_back(Utf8(a));
    return args;
}

// The Windows C run time's reading of the command line, as Wine gives it from a UTF-8 argv.
TEST_P(WineArguments, ActLineAsTheWindowsRunTimeReadsTheCommandLine)
{
    const ArgumentCase& c = GetParam();
    const ProcessResult r = RunOwnStack(Utf8Args(c));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    const std::string prefix = Escape(kCom) + kDllPattern + Escape(kFtm) + Escape(ExpectedAct(c)) + kAny;
    EXPECT_TRUE(Matches(r.err, prefix)) << r.err;
}

// The host layer's conversion must agree with the Windows one on the same UTF-8 argv.
TEST_P(WineArguments, HostBinaryReadsTheSameCommandLine)
{
    const std::string host = std::string(HARKWIRE_HOST_DIR) + "/harkwire_scripted";
    if (!std::filesystem::exists(host)) {
        GTEST_SKIP() << host << " is not built";
    }
    const ArgumentCase& c = GetParam();
    const std::string dir = MakeTempDir("wine-host");
    WriteFile(dir + "/script.txt", "activate refuse 0x80070005\n");
    ProcessSpec launch;
    launch.argv = {host};
    for (const auto& a : Utf8Args(c)) launch.argv.push_back(a);
    launch.env = {{"HARKWIRE_ENGINE_SCRIPT", dir + "/script.txt"}};
    launch.timeout = 10s;
    const ProcessResult r = RunProcess(launch);
    std::filesystem::remove_all(dir);
    EXPECT_EQ(r.status, 1);
    std::string act = ExpectedAct(c);
    act.erase(act.size() - 2, 1); // the host has no text mode
    EXPECT_NE(r.err.find("\n" + act), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Table, WineArguments, ::testing::ValuesIn(ArgumentCases()),
                         [](const ::testing::TestParamInfo<ArgumentCase>& info) { return info.param.name; });

// ---- The scripted engine as Mmdevapi.dll -------------------------------------------------------

// Everything a successful set-up writes, in order, up to the format line.
std::string SetUpTrail(const std::string& act = Act("1234", "include"))
{
    return Escape(kCom) + kDllPattern + Escape(kFtm) + Escape(act) + Escape(kQiAgile) + Escape(kCb) + Escape(kFormat);
}

TEST(WineEngine, FullCaptureWritesEveryByteInOrderAfterTheFormatLine)
{
    // Packets: explicit bytes with CR and LF in them, a silent one whose buffer is not zero, the
    // engine's pattern, a packet that turns out empty, a discontinuity flag; then the service fails.
    EngineRun run("packet 2 bytes 0A0D0A0D0D0A0A0A0D0D0D0D1A000A0D\n"
                  "packet 480 silent fill 0x0a\n"
                  "packet 3 flags 0x1 bytes 0D0A0D0A0D0A0D0A0D0A0D0A0D0A0D0A0D0A0D0A0D0A0D0A\n"
                  "packet 0\n"
                  "packet 480 x 3\n"
                  "packet 8193 silent\n"
                  "packet 7\n"
                  "end fail 0x88890004\n");
    // Both streams into one pipe: the bytes keep the order in which they were written.
    run.launch.mergeErrIntoOut = true;
    const ProcessResult r = run.Run();
    EXPECT_EQ(r.status, 0);
    const std::string& all = r.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(all, m, std::regex("^" + SetUpTrail()))) << all.substr(0, 400);
    const std::string samples = all.substr(static_cast<size_t>(m.length(0)));

    std::string expected;
    expected += std::string("\x0A\x0D\x0A\x0D\x0D\x0A\x0A\x0A\x0D\x0D\x0D\x0D\x1A\x00\x0A\x0D", 16);
    expected += std::string(480 * 8, '\0');
    for (int i = 0; i < 12; ++i) expected += "\x0D\x0A";
    ASSERT_GE(samples.size(), expected.size());
    EXPECT_EQ(samples.substr(0, expected.size()), expected);
    // The pattern packets are what the engine says it handed out; silence is zeros.
    const size_t patterned = 480 * 3 * 8;
    EXPECT_EQ(samples.size(), expected.size() + patterned + 8193 * 8 + 7 * 8);
    EXPECT_EQ(samples.substr(expected.size() + patterned, 8193 * 8), std::string(8193 * 8, '\0'));
    EXPECT_TRUE(HasLine(run.record, DeliveredLine(samples))) << RecordText(run.record);
    EXPECT_NE(samples.find('\n', expected.size()), std::string::npos);
    // No [err] line: a capture-service failure ends the run normally, through teardown.
    EXPECT_EQ(all.find("[err]"), std::string::npos);
    const std::string record = RecordText(run.record);
    EXPECT_TRUE(Matches(record, kAny + "\nStop\n" + kAny + "\nRelease capture-client 0\n" + kAny + "Release audio-client 1\n" + kAny)) << record;
    EXPECT_TRUE(HasLine(run.record, "ReleaseBuffer 0")) << record;
}

TEST(WineEngine, ActivationParametersNameTheProcessAndTheMode)
{
    EngineRun run("activate refuse 0x80070005\n");
    run.launch.argv = {HARKWIRE_WINE, std::string(HARKWIRE_ENGINE_APP) + "/harkwire.exe", "77", "Exclude"};
    const ProcessResult r = run.Run();
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(HasLine(run.record, R"(activate path=VAD\\Process_Loopback iid=\{1CB9AD4C-DBFA-4C32-B178-C2F568A703B2\} )"
                                    R"(vt=65 size=12 type=1 pid=77 mode=1)"))
        << RecordText(run.record);
    EXPECT_NE(r.err.find(Act("77", "exclude")), std::string::npos) << r.err;
}

// Where each failure's lines start in the trail of a successful set-up.
size_t LinesBefore(const std::string& trailEnd)
{
    static const std::vector<std::pair<std::string, size_t>> starts = {
        {"[err] LoadLibrary", 1}, {"[dll]", 1}, {"[err] API not available", 2}, {"[act]", 3},
        {"[err] ActivateAudioInterfaceAsync failed", 4}, {"[cb]", 5}, {"[err] GetActivateResult", 6},
        {"[err] QI(IAudioClient)", 6}, {"[err] IAudioClient::Initialize", 6}, {"[err] GetService", 6},
        {"FORMAT", 6}, {"[err] IAudioClient::Start", 7}};
    for (const auto& [start, count] : starts) {
        if (trailEnd.rfind(start, 0) == 0) return count;
    }
    ADD_FAILURE() << "no place in the trail for " << trailEnd;
    return 0;
}

class WineFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(WineFailures, ExactTrailAndStatus)
{
    const FailureCase& c = GetParam();
    if (c.hostOnly) {
        GTEST_SKIP() << "provoked through the host layer only";
    }
    EngineRun run(c.script);
    if (std::string(c.script).find("library absent") != std::string::npos) {
        // A disabled DLL: LoadLibraryW fails as for a missing file.
        run.launch.env["WINEDLLOVERRIDES"] = "mscoree,mshtml,winemenubuilder.exe=;mmdevapi=d";
    }
    if (std::string(c.script).find("entry absent") != std::string::npos) {
        run.launch.argv[1] = std::string(HARKWIRE_NO_ENTRY_APP) + "/harkwire.exe";
    }
    const ProcessResult r = run.Run();
    const std::vector<std::string> trail = {Escape(kCom), kDllPattern, Escape(kFtm), Escape(Act("1234", "include")),
                                            Escape(kQiAgile), Escape(kCb), Escape(kFormat)};
    std::string pattern;
    for (size_t i = 0; i < LinesBefore(c.trailEnd); ++i) pattern += trail[i];
    pattern += Escape(Crlf(c.trailEnd));
    EXPECT_TRUE(Matches(r.err, pattern)) << r.err;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(Table, WineFailures, ::testing::ValuesIn(FailureCases()),
                         [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

struct ServiceFailure {
    const char* name;
    const char* script;
    size_t packetsWritten;
};

class WineServiceFailures : public ::testing::TestWithParam<ServiceFailure> {};

// A failing capture service ends the run normally: teardown, status 0, no [err] line, and what was
// handed out before the failure is all on standard output.
TEST_P(WineServiceFailures, EndWithStatusZeroAndNoErrorLine)
{
    const ServiceFailure& c = GetParam();
    EngineRun run(std::string("packet 480 x 3\n") + c.script);
    const ProcessResult r = run.Run();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Matches(r.err, SetUpTrail())) << r.err;
    EXPECT_EQ(r.out.size(), c.packetsWritten * 480 * 8);
    EXPECT_TRUE(HasLine(run.record, DeliveredLine(r.out))) << RecordText(run.record);
    EXPECT_TRUE(HasLine(run.record, "Release audio-client 1")) << RecordText(run.record);
}

INSTANTIATE_TEST_SUITE_P(Table, WineServiceFailures,
                         ::testing::Values(ServiceFailure{"GetNextPacketSize", "fail GetNextPacketSize 3 0x88890004\n", 2},
                                           ServiceFailure{"GetBuffer", "fail GetBuffer 2 0x88890004\n", 1},
                                           ServiceFailure{"ReleaseBuffer", "fail ReleaseBuffer 2 0x88890004\n", 2},
                                           ServiceFailure{"AfterTheLastPacket", "end fail 0x88890004\n", 3}),
                         [](const ::testing::TestParamInfo<ServiceFailure>& info) { return info.param.name; });

// Wine turns SIGINT into CTRL_C_EVENT for the process's control handlers, with no console needed.
TEST(WineStop, SigintWhilePacketsFlowFlushesEveryByte)
{
    EngineRun run("pace realtime\nquiet\npacket 480 x 100000\n");
    std::chrono::steady_clock::time_point sent;
    run.launch.whileRunning = [&](pid_t pid, const std::function<std::string()>&, const std::function<size_t()>& outBytes) {
        if (WaitFor([&] { return outBytes() >= 20 * 3840; }, 15s)) {
            sent = std::chrono::steady_clock::now();
            kill(pid, SIGINT);
            std::this_thread::sleep_for(20ms);
            kill(pid, SIGINT); // pressed twice: the same as once
        }
    };
    const ProcessResult r = run.Run();
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.timedOut);
    EXPECT_TRUE(Matches(r.err, SetUpTrail())) << r.err;
    EXPECT_GE(r.out.size(), 20u * 3840);
    EXPECT_EQ(r.out.size() % 3840, 0u);
    EXPECT_TRUE(HasLine(run.record, DeliveredLine(r.out))) << RecordText(run.record);
    const std::string record = RecordText(run.record);
    EXPECT_TRUE(Matches(record, kAny + "\nStop\n" + kAny + "Release capture-client 0\n" + kAny + "Release audio-client 1\n" + kAny)) << record;
    EXPECT_LT(std::chrono::duration<double>(r.endedAt - sent).count(), 2.0);
}

TEST(WineStop, SigintDuringTheActivationWaitStillSetsUpThenStops)
{
    EngineRun run("complete-after 800\npacket 480 x 10\n");
    run.launch.whileRunning = [&](pid_t pid, const std::function<std::string()>& err, const std::function<size_t()>&) {
        if (WaitFor([&] { return err().find("[qi]") != std::string::npos; }, 15s)) {
            kill(pid, SIGINT);
        }
    };
    const ProcessResult r = run.Run();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Matches(r.err, SetUpTrail())) << r.err;
    EXPECT_EQ(r.out, "");
    const std::string record = RecordText(run.record);
    EXPECT_TRUE(Matches(record, kAny + "\nInitialize " + kAny + "\nStart\nStop\ndelivered packets=0 " + kAny + "Release audio-client 1\n" + kAny))
        << record;
}

// The reader of standard output goes away: the failed write ends the capture, status 0, at once.
TEST(WineStop, ReaderGoneEndsTheCapturePromptly)
{
    EngineRun run("quiet\npacket 480 x 10000000\n");
    run.launch.closeOutAfter = 4 * 3840;
    const ProcessResult r = run.Run();
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.timedOut);
    EXPECT_TRUE(Matches(r.err, SetUpTrail())) << r.err;
    EXPECT_LT(run.seconds, 5.0);
    EXPECT_TRUE(HasLine(run.record, "Release audio-client 1")) << RecordText(run.record);
}

} // namespace
