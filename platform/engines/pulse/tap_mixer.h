// Sums the taps (one per captured playback stream) onto one timeline, packet by packet. The
// taps' monitors deliver in bursts (PulseAudio: a few ms; PipeWire: its quantum, often 21 ms);
// each tap has a bounded queue that is primed before it plays (one packet plus its largest
// delivery), padded when it runs dry and trimmed when it backs up beyond a bound that widens each
// time it ran dry, so the output clock never drifts.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

inline constexpr uint32_t kMixChannels = 2;
inline constexpr uint32_t kMixRate = 48000;
inline constexpr uint32_t kPacketFrames = 480;                  // 10 ms
inline constexpr uint32_t kMaxPrimeFrames = 4800;               // 100 ms
inline constexpr uint32_t kTapCapacityFrames = 48000 / 5;       // 200 ms

class TapMixer {
public:
    uint64_t AddTap();
    void RemoveTap(uint64_t tap);
    // Appends frames to a tap's queue; null `frames` appends silence (a hole in the stream).
    void Push(uint64_t tap, const float* frames, size_t count);
    // Fills `out` with `count` frames (count <= kPacketFrames); false if no tap contributed.
    bool Mix(float* out, size_t count);
    size_t TapCount();

private:
    struct Tap {
        std::vector<float> ring = std::vector<float>(kTapCapacityFrames * kMixChannels);
        size_t head = 0;   // first queued frame
        size_t queued = 0; // frames
        bool primed = false;
        size_t pushes = 0;
        size_t burst = 0;  // largest delivery after the first (which may carry a backlog)
        size_t dryRuns = 0;
        size_t Prime() const { return std::min<size_t>(kMaxPrimeFrames, kPacketFrames * (1 + dryRuns) + burst); }
        size_t TrimAbove() const { return 2 * Prime() + kPacketFrames; }
    };
    std::mutex mutex_;
    uint64_t nextId_ = 1;
    std::map<uint64_t, std::unique_ptr<Tap>> taps_;
};
