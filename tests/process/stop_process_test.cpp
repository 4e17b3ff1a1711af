// Stop requests through real signals, and the reader of the sample stream going away: each ends the
// run through teardown with status 0 and every byte handed out written.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <thread>

#include "tests/process/scripted_run.h"

namespace {

using std::chrono::milliseconds;

// Packets come at 48 kHz for far longer than any test waits.
const char kFlowing[] = "pace realtime\npacket 480 x 100000\n";
constexpr size_t kPacketBytes = 480 * 8;

void ExpectStoppedAfterTeardown(const ScriptedRun& run)
{
    EXPECT_FALSE(run.result.timedOut);
    EXPECT_EQ(run.result.signal, 0);
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.trail, kTrailToFormat);
    const std::vector<std::string> calls = WithoutTotals(run.record);
    const std::vector<std::string> teardown = {"Stop", "Release capture-client 0", "Release audio-client 1",
                                              "CoUninitialize"};
    ASSERT_GE(calls.size(), teardown.size());
    EXPECT_EQ(std::vector<std::string>(calls.end() - 4, calls.end()), teardown);
}

void ExpectEveryDeliveredByte(const ScriptedRun& run)
{
    DeliveredTotals totals;
    ASSERT_TRUE(LastDelivered(run.record, &totals));
    EXPECT_EQ(run.result.out.size(), totals.bytes);
    EXPECT_EQ(ChecksumOf(run.result.out), totals.checksum);
}

// Once `packets` packets are out, sends each signal of `signals` in turn.
ProcessSpec SignalWhileFlowing(std::vector<int> signals, size_t packets)
{
    ProcessSpec launch;
    launch.timeout = milliseconds(10000);
    launch.whileRunning = [signals, packets](pid_t pid, const std::function<std::string()>&,
                                           const std::function<size_t()>& outBytes) {
        if (!WaitFor([&] { return outBytes() >= packets * kPacketBytes; }, milliseconds(5000))) {
            return;
        }
        for (const int s : signals) {
            kill(pid, s);
        }
    };
    return launch;
}

struct SignalCase {
    const char* name;
    std::vector<int> signals;
};

class StopSignal : public testing::TestWithParam<SignalCase> {};

TEST_P(StopSignal, WhilePacketsFlowEndsWithEveryByteFlushed)
{
    const ScriptedRun run = RunScripted(kFlowing, SignalWhileFlowing(GetParam().signals, 3));
    ExpectStoppedAfterTeardown(run);
    EXPECT_GE(run.result.out.size(), 3 * kPacketBytes);
    EXPECT_EQ(run.result.out.size() % kPacketBytes, 0u);
    ExpectEveryDeliveredByte(run);
}

INSTANTIATE_TEST_SUITE_P(Table, StopSignal,
                         testing::Values(SignalCase{"Interrupt", {SIGINT}}, SignalCase{"Quit", {SIGQUIT}},
                                         SignalCase{"Terminate", {SIGTERM}}, SignalCase{"Hangup", {SIGHUP}},
                                         SignalCase{"InterruptFiveTimes", {SIGINT, SIGINT, SIGINT, SIGINT, SIGINT}},
                                         SignalCase{"EverySignalOnce", {SIGINT, SIGQUIT, SIGTERM, SIGHUP}}),
                         [](const testing::TestParamInfo<SignalCase>& info) { return info.param.name; });

// A shell starts a background job with SIGINT and SIGQUIT ignored, and nohup ignores SIGHUP; the
// child inherits that. The tool still takes each as a stop request.
TEST(StopSignal, InheritedIgnoredSignalsStillStopTheRun)
{
    for (const int signal : {SIGINT, SIGQUIT, SIGHUP}) {
        SCOPED_TRACE(signal);
        ProcessSpec launch = SignalWhileFlowing({signal}, 3);
        launch.ignoredSignals = {signal};
        const ScriptedRun run = RunScripted(kFlowing, launch);
        ExpectStoppedAfterTeardown(run);
        EXPECT_GE(run.result.out.size(), 3 * kPacketBytes);
        ExpectEveryDeliveredByte(run);
    }
}

TEST(StopSignalDuringActivation, SetUpCompletesAndThePumpEndsAtOnce)
{
    // Packets are queued from the start: a pump that missed the request would write them.
    ProcessSpec launch;
    launch.timeout = milliseconds(10000);
    bool sentInWait = false;
    launch.whileRunning = [&sentInWait](pid_t pid, const std::function<std::string()>& err,
                                      const std::function<size_t()>&) {
        if (!WaitFor([&] { return err().find("[act] ") != std::string::npos; }, milliseconds(5000))) {
            return;
        }
        kill(pid, SIGINT);
        std::this_thread::sleep_for(milliseconds(50));
        kill(pid, SIGINT);
        sentInWait = err().find("[cb] ") == std::string::npos;
    };
    const ScriptedRun run = RunScripted("complete-after 500\npacket 480 x 10\n", launch);
    EXPECT_TRUE(sentInWait) << "the signals came after the completion";
    ExpectStoppedAfterTeardown(run);
    EXPECT_EQ(run.result.out, "");
    EXPECT_NE(std::find(run.record.begin(), run.record.end(), "Start"), run.record.end());
    EXPECT_EQ(std::count_if(run.record.begin(), run.record.end(),
                            [](const std::string& line) { return line.rfind("ReleaseBuffer", 0) == 0; }),
              0);
}

TEST(ReaderGone, ToolEndsByItselfSoonAfter)
{
    ProcessSpec launch;
    launch.timeout = milliseconds(10000);
    launch.closeOutAfter = 4 * kPacketBytes;
    const ScriptedRun run = RunScripted(kFlowing, launch);
    ExpectStoppedAfterTeardown(run);
    ASSERT_NE(run.result.outClosedAt.time_since_epoch().count(), 0);
    ASSERT_NE(run.result.endedAt.time_since_epoch().count(), 0);
    const auto after = std::chrono::duration_cast<milliseconds>(run.result.endedAt - run.result.outClosedAt);
    EXPECT_LT(after.count(), 300) << "the tool went on " << after.count() << " ms after its reader had gone";
    DeliveredTotals totals;
    ASSERT_TRUE(LastDelivered(run.record, &totals));
    // It stopped within a few packets of the close, not at the end of the script.
    EXPECT_LT(totals.packets, 30u);
}

} // namespace
