#include "platform/engines/pulse/tap_mixer.h"

#include <algorithm>

uint64_t TapMixer::AddTap()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t id = nextId_++;
    taps_[id] = std::make_unique<Tap>();
    return id;
}

void TapMixer::RemoveTap(uint64_t tap)
{
    std::lock_guard<std::mutex> lock(mutex_);
    taps_.erase(tap);
}

size_t TapMixer::TapCount()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return taps_.size();
}

void TapMixer::Push(uint64_t id, const float* frames, size_t count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = taps_.find(id);
    if (found == taps_.end()) {
        return;
    }
    Tap& tap = *found->second;
    if (tap.pushes++ > 0) {
        tap.burst = std::max(tap.burst, std::min<size_t>(count, kMaxPrimeFrames));
    }
    if (count > kTapCapacityFrames) { // keep the newest
        if (frames != nullptr) {
            frames += (count - kTapCapacityFrames) * kMixChannels;
        }
        count = kTapCapacityFrames;
    }
    if (tap.queued + count > kTapCapacityFrames) { // full: the oldest go
        const size_t drop = tap.queued + count - kTapCapacityFrames;
        tap.head = (tap.head + drop) % kTapCapacityFrames;
        tap.queued -= drop;
    }
    size_t tail = (tap.head + tap.queued) % kTapCapacityFrames;
    for (size_t done = 0; done < count;) {
        const size_t piece = std::min(count - done, kTapCapacityFrames - tail);
        float* to = tap.ring.data() + tail * kMixChannels;
        if (frames != nullptr) {
            std::copy(frames + done * kMixChannels, frames + (done + piece) * kMixChannels, to);
        } else {
            std::fill(to, to + piece * kMixChannels, 0.0f);
        }
        done += piece;
        tail = (tail + piece) % kTapCapacityFrames;
    }
    tap.queued += count;
}

bool TapMixer::Mix(float* out, size_t count)
{
    std::fill(out, out + count * kMixChannels, 0.0f);
    std::lock_guard<std::mutex> lock(mutex_);
    bool contributed = false;
    for (auto& entry : taps_) {
        Tap& tap = *entry.second;
        if (!tap.primed) {
            if (tap.queued < tap.Prime()) {
                continue;
            }
            tap.primed = true;
        }
        const size_t take = std::min(count, tap.queued);
        for (size_t done = 0; done < take;) {
            const size_t piece = std::min(take - done, kTapCapacityFrames - tap.head);
            const float* from = tap.ring.data() + tap.head * kMixChannels;
            float* to = out + done * kMixChannels;
            for (size_t i = 0; i < piece * kMixChannels; ++i) {
                to[i] += from[i];
            }
            done += piece;
            tap.head = (tap.head + piece) % kTapCapacityFrames;
        }
        tap.queued -= take;
        contributed = contributed || take > 0;
        // Ran dry: only the missing frames are padded (they stay silence in `out`).
        tap.lowWater = take < count ? 0 : std::min(tap.lowWater, tap.queued);
        if (++tap.packets == kTrimWindowPackets) {
            if (tap.lowWater > kSpareFrames) { // more delay than the jitter needs: the oldest go
                const size_t drop = tap.lowWater - kSpareFrames;
                tap.head = (tap.head + drop) % kTapCapacityFrames;
                tap.queued -= drop;
            }
            tap.packets = 0;
            tap.lowWater = SIZE_MAX;
        }
    }
    return contributed;
}
