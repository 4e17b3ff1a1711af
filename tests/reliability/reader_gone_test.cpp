// The reader of standard output goes away after a few packets: the tool notices at its next write,
// ends quietly with status 0 within about one poll, and burns no CPU on the way, whether it was
// idling between paced packets, draining as fast as it can, or writing silence.
#include <gtest/gtest.h>

#include "tests/reliability/scripted_run.h"

namespace {

using std::chrono::milliseconds;

struct GoneCase {
    const char* name;
    const char* script;
    long long closeAfter;  // bytes the reader takes before it closes
};

const GoneCase kCases[] = {
    {"PacedPattern", "pace realtime\npacket 480 x 100000\n", 30 * 3840},
    {"PacedSilent", "pace realtime\npacket 480 silent x 100000\n", 30 * 3840},
    {"PacedOddSizes", "pace realtime\npacket 441 x 3\npacket 7\npacket 960 silent\npacket 100 x 100000\n", 9000},
    {"DrainingPattern", "pace fast\nquiet\npacket 480 x 100000000\n", 256 * 1024},
    {"DrainingSilent", "pace fast\nquiet\npacket 8193 silent x 100000000\n", 256 * 1024},
    {"DrainingMidBuffer", "pace fast\nquiet\npacket 1 x 100000000\n", 4097},
};

class ReaderGone : public testing::TestWithParam<GoneCase> {};

TEST_P(ReaderGone, EndsQuietlyAtOnceWithoutSpinning)
{
    const GoneCase& c = GetParam();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ProcessSpec launch;
        launch.timeout = milliseconds(10000);
        launch.closeOutAfter = c.closeAfter;
        const ScriptedRun run = RunScripted(c.script, launch);
        ASSERT_FALSE(run.result.timedOut) << "still running 10 s after its reader went";
        EXPECT_EQ(run.result.signal, 0);
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(run.result.err.find("[err]"), std::string::npos) << run.result.err;
        EXPECT_EQ(run.out.bytes, static_cast<uint64_t>(c.closeAfter));
        ASSERT_NE(run.result.outClosedAt, std::chrono::steady_clock::time_point{});
        // The next packet is due within 10 ms; allow for a loaded machine but not for a second poll
        // cycle of any length.
        EXPECT_LT(run.result.endedAt - run.result.outClosedAt, milliseconds(150));
        // A paced run lasts over 300 ms: a tool that spun would spend about that much CPU time.
        EXPECT_LT(run.result.cpuMicros, UnderSanitizer() ? 150000 : 50000) << "CPU time " << run.result.cpuMicros << " us";
        printf("%s: ended %lld us after the reader went, CPU %lld us\n", c.name,
               static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          run.result.endedAt - run.result.outClosedAt)
                                          .count()),
               run.result.cpuMicros);
        // The tool stopped the stream and released it, as after any other end of the capture.
        const std::vector<std::string> lines = RecordLines(run.record);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "CoUninitialize");
        EXPECT_GE(LastDelivered(run.record).bytes, static_cast<uint64_t>(c.closeAfter));
    }
}

INSTANTIATE_TEST_SUITE_P(AfterAFewPackets, ReaderGone, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<GoneCase>& info) { return std::string(info.param.name); });

} // namespace
