// Soak: a long stretch of simulated audio as fast as the engine can give it. Every byte arrives, in
// order (checksum streamed by the reader, never stored), the count is exactly the frames x 8 the
// script holds, and the tool's resident memory stays flat over the run.
//
// CI runs HARKWIRE_SOAK_SECONDS simulated seconds (default 300). The full simulated hour:
//   HARKWIRE_SOAK_SECONDS=3600 ctest --test-dir build/host -R Soak --output-on-failure
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/reliability/scripted_run.h"

namespace {

uint64_t SoakSeconds()
{
    const char* text = std::getenv("HARKWIRE_SOAK_SECONDS");
    const unsigned long long seconds = text != nullptr ? std::strtoull(text, nullptr, 10) : 0;
    return seconds > 0 ? seconds : 300;
}

// One simulated second of 48,000 frames in mixed packet sizes: the 10 ms period, odd sizes, silent
// runs (one above the 65,536-byte silence block), flagged packets and an empty one.
void AppendSecond(std::ostringstream& script, uint64_t second)
{
    script << "packet 480 x 40\n"                // 19,200
           << "packet 441 flags 0x1 x 10\n"     //  4,410
           << "packet 960 silent x 10\n"        //  9,600
           << "packet 8960 silent\n"            //  8,960
           << "packet 0\n"
           << "packet " << (1 + second % 7) << "\n" // 1-7 frames and the rest of the second, so packet
                                                       // edges drift against the 4,096-byte writer buffer
           << "packet " << (5829 - second % 7) << "\n";
}

long VmRssKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1; // gone, or a zombie without memory
}

TEST(Soak, SimulatedAudioArrivesExactlyWithFlatMemory)
{
    const uint64_t seconds = SoakSeconds();
    std::ostringstream script;
    script << "pace fast\nquiet\nend fail 0x88890004\n";
    for (uint64_t s = 0; s < seconds; ++s) AppendSecond(script, s);
    const uint64_t expectedFrames = 48000 * seconds;

    std::mutex samplesLock;
    std::vector<long> rss;
    ProcessSpec launch;
    // Generous: the engine, the tool and the checksumming reader share two cores with other builds.
    launch.timeout = std::chrono::milliseconds(static_cast<long long>(seconds) * 200 + 30000);
    launch.whileRunning = [&](pid_t pid, const auto&, const auto& outBytes) {
        // Sample from the first byte on, until the process has ended.
        WaitFor([&] { return outBytes() > 0 || VmRssKb(pid) < 0; }, std::chrono::milliseconds(20000));
        for (long kb; (kb = VmRssKb(pid)) > 0;) {
            std::lock_guard<std::mutex> lock(samplesLock);
            rss.push_back(kb);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    const auto started = std::chrono::steady_clock::now();
    const ScriptedRun run = RunScripted(script.str(), launch);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    RecordProperty("simulated_seconds", std::to_string(seconds));
    RecordProperty("wall_seconds", std::to_string(elapsed));

    ASSERT_FALSE(run.result.timedOut) << "after " << elapsed << " s, " << run.out.bytes << " bytes";
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.result.err.find("[err]"), std::string::npos) << run.result.err;

    const DeliveredLine delivered = LastDelivered(run.record);
    ASSERT_TRUE(delivered.found) << run.record;
    EXPECT_EQ(delivered.frames, expectedFrames);
    EXPECT_EQ(delivered.packets, seconds * 64);
    EXPECT_EQ(run.out.bytes, expectedFrames * 8);
    EXPECT_EQ(run.out.bytes, delivered.bytes);
    EXPECT_EQ(run.out.Hex(), delivered.checksum);

    // Memory: the late samples may not rise above the early ones by more than a small bound. The
    // early window starts after the first tenth, once the first buffers and pages are in.
    std::lock_guard<std::mutex> lock(samplesLock);
    ASSERT_GE(rss.size(), 20u) << "too few samples over " << elapsed << " s";
    const size_t tenth = rss.size() / 10;
    const long early = *std::max_element(rss.begin() + static_cast<long>(tenth), rss.begin() + static_cast<long>(3 * tenth));
    const long late = *std::max_element(rss.end() - static_cast<long>(2 * tenth), rss.end());
    EXPECT_LE(late, early + 1024) << "VmRSS rose from " << early << " kB to " << late << " kB over " << rss.size()
                                  << " samples";
    printf("soak: %llu simulated s, %llu bytes in %.2f s, VmRSS early %ld kB late %ld kB (%zu samples), peak %ld kB\n",
           static_cast<unsigned long long>(seconds), static_cast<unsigned long long>(run.out.bytes), elapsed, early,
           late, rss.size(), run.result.maxRssKb);
}

} // namespace
