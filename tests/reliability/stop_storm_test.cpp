// Stop requests in bulk and at awkward moments: a burst of SIGINTs while packets flow, SIGINT
// meeting a capture failure, console-close signals during the activation wait. Every run ends with
// status 0, and standard output holds exactly what the engine handed out.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <thread>

#include "tests/reliability/scripted_run.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

void ExpectQuietEndWithEverythingDelivered(const ScriptedRun& run)
{
    ASSERT_FALSE(run.result.timedOut) << run.result.err;
    EXPECT_EQ(run.result.signal, 0);
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(run.result.err.find("[err]"), std::string::npos) << run.result.err;
    const DeliveredLine delivered = LastDelivered(run.record);
    ASSERT_TRUE(delivered.found) << run.record;
    EXPECT_EQ(run.out.bytes, delivered.bytes);
    EXPECT_EQ(run.out.Hex(), delivered.checksum);
}

struct StormCase {
    const char* name;
    const char* script;
};

const StormCase kStorms[] = {
    {"Paced", "pace realtime\npacket 480 x 100000\n"},
    {"Draining", "pace fast\nquiet\npacket 480 x 100000000\n"},
    {"PacedSilent", "pace realtime\npacket 480 silent x 100000\n"},
};

class SigintStorm : public testing::TestWithParam<StormCase> {};

TEST_P(SigintStorm, HundredSigintsEndTheRunOnceWithNothingLost)
{
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        Clock::time_point firstSent{};
        ProcessSpec launch;
        launch.timeout = milliseconds(10000);
        launch.whileRunning = [&](pid_t pid, const auto&, const auto& outBytes) {
            if (!WaitFor([&] { return outBytes() > static_cast<size_t>(round) * 4000; }, milliseconds(5000))) return;
            firstSent = Clock::now();
            SendBurst(pid, std::vector<int>(100, SIGINT));
        };
        const ScriptedRun run = RunScripted(GetParam().script, launch);
        ExpectQuietEndWithEverythingDelivered(run);
        ASSERT_NE(firstSent, Clock::time_point{}) << "no packet ever arrived";
        EXPECT_GT(run.out.bytes, 0u);
        // The first request ends it; the rest change nothing.
        EXPECT_LT(run.result.endedAt - firstSent, milliseconds(1000));
        const std::vector<std::string> lines = RecordLines(run.record);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "CoUninitialize");
    }
}

INSTANTIATE_TEST_SUITE_P(WhilePacketsFlow, SigintStorm, testing::ValuesIn(kStorms),
                         [](const testing::TestParamInfo<StormCase>& info) { return std::string(info.param.name); });

// The engine fails packet 20's call 200 ms into the stream; SIGINT lands a little before, at or a
// little after that moment. Whichever the pump sees first, the end is the same.
TEST(StopMeetsFailure, SigintAtTheMomentOfACaptureFailure)
{
    // GetNextPacketSize is called by idle polls too, so its failure is placed by the end of the script.
    for (const char* directive : {"fail GetBuffer 20 0x88890004\npacket 480 x 1000",
                                  "fail ReleaseBuffer 20 0x88890004\npacket 480 x 1000",
                                  "end fail 0x88890004\npacket 480 x 20"}) {
        for (int jitterMs : {0, 4, 8, 11, 14}) {
            SCOPED_TRACE(std::string(directive) + " jitter " + std::to_string(jitterMs));
            ProcessSpec launch;
            launch.timeout = milliseconds(10000);
            launch.whileRunning = [&](pid_t pid, const auto&, const auto& outBytes) {
                // 18 packets of 3,840 bytes have arrived: packet 20 is due 10-20 ms from now.
                if (!WaitFor([&] { return outBytes() >= 18 * 3840; }, milliseconds(5000))) return;
                std::this_thread::sleep_for(milliseconds(jitterMs));
                kill(pid, SIGINT);
            };
            const ScriptedRun run =
                RunScripted(std::string("pace realtime\n") + directive + "\n", launch);
            ExpectQuietEndWithEverythingDelivered(run);
            const DeliveredLine delivered = LastDelivered(run.record);
            EXPECT_GE(delivered.packets, 18u);
            EXPECT_LE(delivered.packets, 20u);
        }
    }
}

// Console-close signals while the main thread waits for the activation: the set-up still completes,
// the format line is written, the stream starts and stops, no sample byte is written.
TEST(StopDuringActivation, SigtermAndStormsWhileActivationWaits)
{
    struct Burst {
        const char* name;
        std::vector<int> signals;
    };
    const Burst bursts[] = {
        {"one SIGTERM", {SIGTERM}},
        {"SIGHUP", {SIGHUP}},
        {"mixed storm", {SIGTERM, SIGINT, SIGQUIT, SIGHUP, SIGINT, SIGTERM, SIGINT, SIGINT, SIGQUIT, SIGTERM}},
    };
    for (const Burst& burst : bursts) {
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(std::string(burst.name) + " round " + std::to_string(round));
            Clock::time_point sent{};
            ProcessSpec launch;
            launch.timeout = milliseconds(10000);
            launch.whileRunning = [&](pid_t pid, const auto& err, const auto&) {
                if (!WaitFor([&] { return err().find("[act] ") != std::string::npos; }, milliseconds(5000))) return;
                sent = Clock::now();
                SendBurst(pid, burst.signals);
            };
            const ScriptedRun run = RunScripted("complete-after 500\npace realtime\npacket 480 x 1000\n", launch);
            ExpectQuietEndWithEverythingDelivered(run);
            ASSERT_NE(sent, Clock::time_point{}) << run.result.err;
            EXPECT_NE(run.result.err.find("[cb] ActivateCompleted fired\n"), std::string::npos);
            EXPECT_NE(run.result.err.find("FORMAT 48000 2 32\n"), std::string::npos);
            EXPECT_EQ(run.out.bytes, 0u);
            // The wait is not cut short: the run ends after the activation completes.
            EXPECT_GE(run.result.endedAt - sent, milliseconds(400));
            const std::vector<std::string> lines = RecordLines(run.record);
            const auto start = std::find(lines.begin(), lines.end(), "Start");
            EXPECT_NE(start, lines.end());
            EXPECT_NE(std::find(start, lines.end(), "Stop"), lines.end());
            EXPECT_EQ(LastDelivered(run.record).packets, 0u);
        }
    }
}

} // namespace
