// The capture pump through the host binary: what reaches standard output for silent, empty and
// patterned packets, the format line's place, the quiet end on a capture-service failure, and the
// teardown order.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/engines/scripted/engine_script.h"
#include "tests/process/scripted_run.h"

namespace {

// Ends the run by itself once the packets are out: the capture service fails, status 0.
const char kEnd[] = "end fail 0x88890004\n";

const std::vector<std::string> kTeardown = {"Stop", "Release capture-client 0", "Release audio-client 1",
                                           "CoUninitialize"};

// The record ends with the teardown, in order, after everything else the run did.
void ExpectTeardownLast(const std::vector<std::string>& record)
{
    const std::vector<std::string> calls = WithoutTotals(record);
    ASSERT_GE(calls.size(), kTeardown.size());
    EXPECT_EQ(std::vector<std::string>(calls.end() - static_cast<long>(kTeardown.size()), calls.end()), kTeardown);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Stop"), 1);
}

// Standard output holds exactly what the engine handed out, in order.
void ExpectEveryDeliveredByte(const ScriptedRun& run)
{
    DeliveredTotals totals;
    ASSERT_TRUE(LastDelivered(run.record, &totals));
    EXPECT_EQ(run.result.out.size(), totals.bytes);
    EXPECT_EQ(ChecksumOf(run.result.out), totals.checksum);
}

struct SilentCase {
    const char* name;
    unsigned frames;
};

class SilentPacket : public testing::TestWithParam<SilentCase> {};

TEST_P(SilentPacket, BecomesZeroBytesOfItsLength)
{
    const unsigned frames = GetParam().frames;
    const ScriptedRun run = RunScripted("packet " + std::to_string(frames) + " silent\n" + kEnd);
    EXPECT_EQ(run.result.status, 0);
    ASSERT_EQ(run.result.out.size(), frames * 8u);
    EXPECT_EQ(std::count(run.result.out.begin(), run.result.out.end(), '\0'), static_cast<long>(frames * 8u));
    ExpectEveryDeliveredByte(run);
}

INSTANTIATE_TEST_SUITE_P(Table, SilentPacket,
                         testing::Values(SilentCase{"OnePeriod", 480}, SilentCase{"OneWholePiece", 8192},
                                         SilentCase{"TwoWholePieces", 16384}, SilentCase{"PieceAndOneFrame", 8193}),
                         [](const testing::TestParamInfo<SilentCase>& info) { return info.param.name; });

TEST(Pump, PatternContentsArriveInOrderAndMatchTheEngineChecksum)
{
    const ScriptedRun run = RunScripted(std::string("packet 480 x 20\npacket 7 flags 0x5\npacket 4096 x 3\n") + kEnd);
    EXPECT_EQ(run.result.status, 0);
    const size_t bytes = (480 * 20 + 7 + 4096 * 3) * 8;
    ASSERT_EQ(run.result.out.size(), bytes);
    for (size_t i = 0; i < bytes; ++i) {
        ASSERT_EQ(static_cast<uint8_t>(run.result.out[i]), PatternByte(i)) << "at byte " << i;
    }
    ExpectEveryDeliveredByte(run);
}

TEST(Pump, SilenceBetweenDataKeepsItsPlace)
{
    const ScriptedRun run = RunScripted(std::string("packet 2 fill 0x11\npacket 3 silent flags 0x1\n"
                                                    "packet 1 fill 0x22\n") + kEnd);
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.result.out, std::string(16, '\x11') + std::string(24, '\0') + std::string(8, '\x22'));
}

TEST(Pump, ZeroFramePacketWritesNothingAndIsReleasedWithZero)
{
    const ScriptedRun run = RunScripted(std::string("packet 1 fill 0x33\npacket 0\npacket 1 fill 0x44\n") + kEnd);
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.result.out, std::string(8, '\x33') + std::string(8, '\x44'));
    const std::vector<std::string> releases = [&] {
        std::vector<std::string> found;
        for (const std::string& line : run.record) {
            if (line.rfind("ReleaseBuffer", 0) == 0) found.push_back(line);
        }
        return found;
    }();
    EXPECT_EQ(releases, (std::vector<std::string>{"ReleaseBuffer 1", "ReleaseBuffer 0", "ReleaseBuffer 1"}));
}

TEST(Pump, LineEndBytesPassUnchanged)
{
    const std::string hex = "0a0d0d0a0a0a0d0d0d0a1a00ff0a0d0a";
    const ScriptedRun run = RunScripted("packet 2 bytes " + hex + "\n" + kEnd);
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.result.out, std::string("\x0a\x0d\x0d\x0a\x0a\x0a\x0d\x0d\x0d\x0a\x1a\x00\xff\x0a\x0d\x0a", 16));
}

TEST(Pump, FormatLineComesBeforeTheFirstSampleByte)
{
    // Both streams into one pipe: the bytes keep the order in which the tool wrote them.
    ProcessSpec launch;
    launch.mergeErrIntoOut = true;
    const ScriptedRun run = RunScripted(std::string("packet 480 x 3\n") + kEnd, launch);
    EXPECT_EQ(run.result.status, 0);
    const std::string& both = run.result.out;
    const size_t format = both.find("FORMAT 48000 2 32\n");
    ASSERT_NE(format, std::string::npos);
    const size_t samplesStart = format + std::string("FORMAT 48000 2 32\n").size();
    EXPECT_EQ(both.size() - samplesStart, 480u * 3 * 8);
    EXPECT_EQ(both.substr(0, 6), "[com] ");
    for (size_t i = samplesStart; i < both.size(); ++i) {
        ASSERT_EQ(static_cast<uint8_t>(both[i]), PatternByte(i - samplesStart)) << "at sample byte " << i - samplesStart;
    }
}

TEST(Pump, TeardownStopsReleasesAndLeavesComInThatOrder)
{
    const ScriptedRun run = RunScripted(std::string("packet 480 x 4\n") + kEnd);
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.trail, kTrailToFormat);
    ExpectTeardownLast(run.record);
    ExpectEveryDeliveredByte(run);
}

struct ServiceFailureCase {
    const char* name;
    const char* script;
    size_t bytes; // what the engine has handed out when the failure comes
};

class CaptureServiceFailure : public testing::TestWithParam<ServiceFailureCase> {};

TEST_P(CaptureServiceFailure, EndsQuietlyWithStatusZeroAndEveryByteOut)
{
    const ServiceFailureCase& c = GetParam();
    const ScriptedRun run = RunScripted(std::string("packet 480 x 10\n") + c.script + "packet 480 x 1000\n");
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.trail, kTrailToFormat);
    EXPECT_EQ(run.result.out.size(), c.bytes);
    for (size_t i = 0; i < run.result.out.size(); ++i) {
        ASSERT_EQ(static_cast<uint8_t>(run.result.out[i]), PatternByte(i)) << "at byte " << i;
    }
    ExpectEveryDeliveredByte(run);
    ExpectTeardownLast(run.record);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CaptureServiceFailure,
    testing::Values(
        // The 5th GetBuffer hands out nothing: four packets are out.
        ServiceFailureCase{"GetBuffer", "fail GetBuffer 5 0x88890004\n", 4 * 3840},
        // The packet whose release fails was written before the release.
        ServiceFailureCase{"ReleaseBuffer", "fail ReleaseBuffer 5 0x88890004\n", 5 * 3840},
        // The first call is the idle poll's; the drain's calls follow each release.
        ServiceFailureCase{"GetNextPacketSize", "fail GetNextPacketSize 5 0x88890004\n", 4 * 3840},
        ServiceFailureCase{"FirstIdlePoll", "fail GetNextPacketSize 1 0x88890004\n", 0}),
    [](const testing::TestParamInfo<ServiceFailureCase>& info) { return info.param.name; });

TEST(Pump, ServiceFailureAtTheEndOfThePackets)
{
    const ScriptedRun run = RunScripted(std::string("packet 480 x 3\npacket 100 silent\n") + kEnd);
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.trail, kTrailToFormat);
    EXPECT_EQ(run.result.out.size(), (480u * 3 + 100) * 8);
    ExpectEveryDeliveredByte(run);
    ExpectTeardownLast(run.record);
}

} // namespace
