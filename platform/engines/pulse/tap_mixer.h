// Sums the taps (one per captured playback stream) onto one timeline, packet by packet. The
// taps' monitors deliver in bursts (PulseAudio: a few ms; PipeWire: its quantum, often 21 ms);
// each tap has a bounded queue that is primed before it plays (one packet plus its largest
// delivery), padded by what is missing when it runs dry, and cut back when over half a second it
// never fell below a few ms: the output clock never drifts and the tap's delay follows its jitter.
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
inline constexpr uint32_t kSpareFrames = 240;                   // kept above the low-water mark
inline constexpr uint32_t kTrimWindowPackets = 50;              // 0.5 s
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
        size_t burst = 0; // largest delivery after the first (which may carry a backlog)
        size_t lowWater = SIZE_MAX; // the least left after a packet, this window
        size_t packets = 0;         // packets mixed in this window
        size_t Prime() const { return std::min<size_t>(kMaxPrimeFrames, kPacketFrames + burst); }
    };
    std::mutex mutex_;
    uint64_t nextId_ = 1;
    std::map<uint64_t, std::unique_ptr<Tap>> taps_;
};
