// The mixer's timeline: each tap's frames come out in order and sample-exact, taps are summed frame
// by frame, a tap is held back until primed, a dry tap is padded only by what it lacks, a full queue
// keeps the newest frames, and a standing backlog is cut back to the spare margin.
#include <gtest/gtest.h>

#include <vector>

#include "platform/engines/pulse/tap_mixer.h"

namespace {

// Frames whose left sample is `first + i` and right sample its negation: any shift, loss or
// channel swap shows in the value.
std::vector<float> Ramp(float first, size_t frames)
{
    std::vector<float> samples;
    for (size_t i = 0; i < frames; ++i) {
        samples.push_back(first + static_cast<float>(i));
        samples.push_back(-(first + static_cast<float>(i)));
    }
    return samples;
}

std::vector<float> MixPacket(TapMixer& mixer, bool* contributed = nullptr, size_t frames = kPacketFrames)
{
    std::vector<float> out(frames * kMixChannels, 123.0f);
    const bool any = mixer.Mix(out.data(), frames);
    if (contributed != nullptr) {
        *contributed = any;
    }
    return out;
}

TEST(TapMixer, OneTapComesOutInOrderAcrossManyRingTurns)
{
    TapMixer mixer;
    const uint64_t tap = mixer.AddTap();
    // 30 s of 10 ms deliveries: the ring (200 ms) turns 150 times.
    for (int packet = 0; packet < 3000; ++packet) {
        const std::vector<float> in = Ramp(static_cast<float>(packet % 7) * 1000.0f, kPacketFrames);
        mixer.Push(tap, in.data(), kPacketFrames);
        bool contributed = false;
        const std::vector<float> out = MixPacket(mixer, &contributed);
        ASSERT_TRUE(contributed) << packet;
        ASSERT_EQ(out, in) << "packet " << packet;
    }
}

TEST(TapMixer, TwoTapsAreSummedFrameByFrame)
{
    TapMixer mixer;
    const uint64_t a = mixer.AddTap();
    const uint64_t b = mixer.AddTap();
    const std::vector<float> inA = Ramp(0.0f, kPacketFrames);
    const std::vector<float> inB = Ramp(10000.0f, kPacketFrames);
    mixer.Push(a, inA.data(), kPacketFrames);
    mixer.Push(b, inB.data(), kPacketFrames);
    const std::vector<float> out = MixPacket(mixer);
    for (size_t i = 0; i < out.size(); ++i) {
        ASSERT_EQ(out[i], inA[i] + inB[i]) << "sample " << i;
    }
}

TEST(TapMixer, ATapIsHeldBackUntilPrimedThenPlaysFromItsFirstFrame)
{
    TapMixer mixer;
    bool contributed = true;
    std::vector<float> out = MixPacket(mixer, &contributed);
    EXPECT_FALSE(contributed) << "no tap at all";
    EXPECT_EQ(out, std::vector<float>(kPacketFrames * kMixChannels, 0.0f));

    // Deliveries of 300 frames: it plays once it holds one packet plus its largest later delivery
    // (780 frames), i.e. after the third.
    const uint64_t tap = mixer.AddTap();
    const std::vector<float> in = Ramp(1.0f, 900);
    for (int delivery = 0; delivery < 3; ++delivery) {
        SCOPED_TRACE(delivery);
        mixer.Push(tap, in.data() + delivery * 300 * kMixChannels, 300);
        out = MixPacket(mixer, &contributed);
        if (delivery < 2) {
            EXPECT_FALSE(contributed);
            EXPECT_EQ(out, std::vector<float>(kPacketFrames * kMixChannels, 0.0f));
        } else {
            EXPECT_TRUE(contributed);
            EXPECT_EQ(out, std::vector<float>(in.begin(), in.begin() + kPacketFrames * kMixChannels));
        }
    }
}

TEST(TapMixer, ADryTapIsPaddedOnlyByTheFramesItLacks)
{
    TapMixer mixer;
    const uint64_t tap = mixer.AddTap();
    const std::vector<float> in = Ramp(1.0f, kPacketFrames + 300);
    mixer.Push(tap, in.data(), kPacketFrames + 300);
    const std::vector<float> full = MixPacket(mixer);
    EXPECT_EQ(full, std::vector<float>(in.begin(), in.begin() + kPacketFrames * kMixChannels));
    bool contributed = false;
    const std::vector<float> partial = MixPacket(mixer, &contributed);
    EXPECT_TRUE(contributed);
    for (size_t frame = 0; frame < kPacketFrames; ++frame) {
        const float expected = frame < 300 ? in[(kPacketFrames + frame) * kMixChannels] : 0.0f;
        ASSERT_EQ(partial[frame * kMixChannels], expected) << "frame " << frame;
    }
    // Once primed, it keeps playing what comes, without priming again.
    const std::vector<float> more = Ramp(5000.0f, 100);
    mixer.Push(tap, more.data(), 100);
    const std::vector<float> after = MixPacket(mixer, &contributed);
    EXPECT_TRUE(contributed);
    EXPECT_EQ(after[0], 5000.0f);
    EXPECT_EQ(after[99 * kMixChannels], 5099.0f);
    EXPECT_EQ(after[100 * kMixChannels], 0.0f);
}

TEST(TapMixer, AHoleIsSilenceThatStillCountsAsTheTapPlaying)
{
    TapMixer mixer;
    const uint64_t tap = mixer.AddTap();
    mixer.Push(tap, nullptr, kPacketFrames);
    bool contributed = false;
    const std::vector<float> out = MixPacket(mixer, &contributed);
    EXPECT_TRUE(contributed);
    EXPECT_EQ(out, std::vector<float>(kPacketFrames * kMixChannels, 0.0f));
}

TEST(TapMixer, AFullQueueKeepsTheNewestFrames)
{
    struct Case {
        const char* name;
        std::vector<size_t> pushes; // frames per delivery, before any mix
    };
    const Case cases[] = {
        {"one delivery larger than the queue", {kTapCapacityFrames + 1000}},
        {"many deliveries past the queue", std::vector<size_t>(30, 480)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TapMixer mixer;
        const uint64_t tap = mixer.AddTap();
        size_t total = 0;
        for (const size_t frames : c.pushes) {
            const std::vector<float> in = Ramp(static_cast<float>(total), frames);
            mixer.Push(tap, in.data(), frames);
            total += frames;
        }
        ASSERT_GT(total, kTapCapacityFrames);
        const std::vector<float> out = MixPacket(mixer);
        EXPECT_EQ(out[0], static_cast<float>(total - kTapCapacityFrames));
        EXPECT_EQ(out[(kPacketFrames - 1) * kMixChannels], static_cast<float>(total - kTapCapacityFrames + kPacketFrames - 1));
    }
}

TEST(TapMixer, AStandingBacklogIsCutBackToTheSpareMargin)
{
    TapMixer mixer;
    const uint64_t tap = mixer.AddTap();
    // 100 ms arrive at once, then one packet per packet: 100 ms of delay the jitter never needs.
    float next = 0.0f;
    const std::vector<float> backlog = Ramp(next, 4800);
    mixer.Push(tap, backlog.data(), 4800);
    next += 4800.0f;
    float expected = 0.0f;
    size_t jumps = 0;
    for (uint32_t packet = 0; packet < 3 * kTrimWindowPackets; ++packet) {
        const std::vector<float> in = Ramp(next, kPacketFrames);
        mixer.Push(tap, in.data(), kPacketFrames);
        next += static_cast<float>(kPacketFrames);
        const std::vector<float> out = MixPacket(mixer);
        if (out[0] != expected) {
            ++jumps;
            // After the first window, the queue holds the spare margin plus what was just mixed.
            EXPECT_EQ(packet, kTrimWindowPackets) << "cut at the wrong packet";
            EXPECT_EQ(next - out[0], static_cast<float>(kSpareFrames + kPacketFrames));
        }
        for (size_t frame = 1; frame < kPacketFrames; ++frame) {
            ASSERT_EQ(out[frame * kMixChannels], out[0] + static_cast<float>(frame)) << "packet " << packet;
        }
        expected = out[0] + static_cast<float>(kPacketFrames);
    }
    EXPECT_EQ(jumps, 1u);
}

TEST(TapMixer, ARemovedTapNoLongerPlaysAndUnknownTapsAreIgnored)
{
    TapMixer mixer;
    const uint64_t a = mixer.AddTap();
    const uint64_t b = mixer.AddTap();
    EXPECT_NE(a, b);
    EXPECT_EQ(mixer.TapCount(), 2u);
    const std::vector<float> in = Ramp(1.0f, 2 * kPacketFrames);
    mixer.Push(a, in.data(), 2 * kPacketFrames);
    mixer.Push(b, in.data(), 2 * kPacketFrames);
    mixer.RemoveTap(b);
    mixer.Push(b, in.data(), kPacketFrames);
    mixer.Push(999, in.data(), kPacketFrames);
    EXPECT_EQ(mixer.TapCount(), 1u);
    const std::vector<float> out = MixPacket(mixer);
    EXPECT_EQ(out, std::vector<float>(in.begin(), in.begin() + kPacketFrames * kMixChannels));
    // A new tap gets a fresh id, not the removed one's.
    EXPECT_NE(mixer.AddTap(), b);
}

} // namespace
