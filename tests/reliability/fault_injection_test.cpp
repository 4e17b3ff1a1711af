// Capture-service failures at the first, a middle and the last packet: whatever the engine handed out
// before the failure reaches standard output whole, nothing after it, and the run ends quietly with
// status 0.
#include <gtest/gtest.h>

#include "tests/reliability/scripted_run.h"

namespace {

// Ten packets of mixed sizes and kinds (pattern, silent, fixed fill, flagged), drained in one go.
constexpr const char* kPackets =
    "packet 480\n"
    "packet 1024 silent\n"
    "packet 441 fill 0x0a\n"
    "packet 8193 silent\n"
    "packet 480 flags 0x5\n"
    "packet 0\n"
    "packet 7\n"
    "packet 480 silent x 2\n"
    "packet 4096\n";
constexpr uint64_t kPacketFrames[] = {480, 1024, 441, 8193, 480, 0, 7, 480, 480, 4096};

struct FaultCase {
    const char* name;
    const char* directive;
    int packetsWritten; // how many of the ten reach standard output
};

// GetNextPacketSize call 1 is the first idle poll; call k+1 follows packet k. GetBuffer and
// ReleaseBuffer call k belong to packet k; a packet whose ReleaseBuffer fails is already written.
const FaultCase kCases[] = {
    {"NextPacketSizeFirst", "fail GetNextPacketSize 1 0x88890004", 0},
    {"NextPacketSizeMiddle", "fail GetNextPacketSize 6 0x88890004", 5},
    {"NextPacketSizeLast", "fail GetNextPacketSize 10 0x88890004", 9},
    {"NextPacketSizeAfterLast", "fail GetNextPacketSize 11 0x88890004", 10},
    {"GetBufferFirst", "fail GetBuffer 1 0x88890004", 0},
    {"GetBufferMiddle", "fail GetBuffer 6 0x8889000a", 5},
    {"GetBufferLast", "fail GetBuffer 10 0x88890004", 9},
    {"ReleaseBufferFirst", "fail ReleaseBuffer 1 0x88890004", 1},
    {"ReleaseBufferMiddle", "fail ReleaseBuffer 4 0x88890006", 4},
    {"ReleaseBufferLast", "fail ReleaseBuffer 10 0x88890004", 10},
};

class CaptureFailure : public testing::TestWithParam<FaultCase> {};

TEST_P(CaptureFailure, DeliveredBytesArriveWholeAndNothingAfter)
{
    const FaultCase& c = GetParam();
    ProcessSpec launch;
    launch.timeout = std::chrono::milliseconds(10000);
    const ScriptedRun run = RunScripted(std::string("pace fast\n") + c.directive + "\n" + kPackets, launch);

    ASSERT_FALSE(run.result.timedOut) << run.result.err;
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.result.err.find("[err]"), std::string::npos) << run.result.err;
    EXPECT_NE(run.result.err.find("FORMAT 48000 2 32\n"), std::string::npos);

    uint64_t frames = 0;
    for (int i = 0; i < c.packetsWritten; ++i) frames += kPacketFrames[i];
    const DeliveredLine delivered = LastDelivered(run.record);
    ASSERT_TRUE(delivered.found) << run.record;
    EXPECT_EQ(delivered.frames, frames);
    EXPECT_EQ(delivered.bytes, frames * 8);
    EXPECT_EQ(run.out.bytes, delivered.bytes);
    EXPECT_EQ(run.out.Hex(), delivered.checksum);

    // After the failure the engine sees no further capture call, only the teardown.
    const std::vector<std::string> lines = RecordLines(run.record);
    size_t failed = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find(" failed 0x") != std::string::npos) failed = i;
    }
    ASSERT_LT(failed, lines.size()) << run.record;
    std::vector<std::string> after(lines.begin() + static_cast<long>(failed) + 1, lines.end());
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.front(), "Stop");
    EXPECT_EQ(after.back(), "CoUninitialize");
    for (const std::string& line : after) {
        EXPECT_EQ(line.rfind("ReleaseBuffer", 0), std::string::npos) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(FirstMiddleLast, CaptureFailure, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// Paced packets: the failure meets the pump in its idle poll or in a short drain, not in one long
// drain, and the engine's own count is the reference.
TEST(CaptureFailurePaced, FailureWhileIdlePollingKeepsEverythingDelivered)
{
    for (const char* directive : {"fail GetNextPacketSize 12 0x88890004", "fail GetBuffer 7 0x88890004",
                                  "fail ReleaseBuffer 7 0x88890004", "end fail 0x88890004"}) {
        SCOPED_TRACE(directive);
        const ScriptedRun run =
            RunScripted(std::string("pace realtime\n") + directive + "\npacket 480 x 10\npacket 96 silent x 20\n");
        ASSERT_FALSE(run.result.timedOut);
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(run.result.err.find("[err]"), std::string::npos);
        const DeliveredLine delivered = LastDelivered(run.record);
        ASSERT_TRUE(delivered.found);
        EXPECT_GT(delivered.packets, 0u);
        EXPECT_EQ(run.out.bytes, delivered.bytes);
        EXPECT_EQ(run.out.Hex(), delivered.checksum);
    }
}

} // namespace
