// One connection to the PulseAudio server for one capture: it watches the playback streams (sink
// inputs), opens a tap on the monitor of each one the capture selects, and feeds the taps' frames
// to the mixer. Runs on its own pa_threaded_mainloop thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

#include <pulse/pulseaudio.h>

#include "platform/engines/pulse/process_tree.h"
#include "platform/engines/pulse/tap_mixer.h"

class PulseSession {
public:
    // Connects; null when no server can be reached.
    static std::unique_ptr<PulseSession> Connect(pid_t target, bool exclude);
    ~PulseSession();
    PulseSession(const PulseSession&) = delete;
    PulseSession& operator=(const PulseSession&) = delete;

    // Starts watching and tapping the selected streams.
    void StartTapping();
    // The server has gone (or the connection failed): the capture cannot go on.
    bool Lost() const { return lost_.load(); }
    TapMixer& Mixer() { return mixer_; }

private:
    PulseSession(pid_t target, bool exclude) : tree_(target), exclude_(exclude) {}

    struct Tap {
        PulseSession* session;
        uint32_t sinkInput;
        uint32_t sink;
        uint64_t mixerTap;
        pa_stream* stream;
    };
    struct Candidate {
        uint32_t index;
        uint32_t sink;
        pid_t pid; // -1 when the stream names no process
    };

    static void OnContextState(pa_context* context, void* self);
    static void OnSubscription(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* self);
    static void OnSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self);
    static void OnSinkInputInfo(pa_context* context, const pa_sink_input_info* info, int eol, void* self);
    static void OnTapState(pa_stream* stream, void* tap);
    static void OnTapRead(pa_stream* stream, size_t bytes, void* tap);
    static void OnPacerRead(pa_stream* stream, size_t bytes, void* self);
    static void OnPacerSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self);

    void OpenPacers();
    void Scan();
    void ApplyScan();
    bool Selected(pid_t pid) const;
    void OpenTap(const Candidate& candidate, const std::string& monitor);
    void CloseTap(uint32_t sinkInput);

    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    std::atomic<bool> lost_{false};
    TapMixer mixer_;

    // Mainloop thread only (or under the mainloop lock).
    ProcessTree tree_;
    bool exclude_;
    bool scanning_ = false;
    bool rescan_ = false;
    std::map<uint32_t, std::string> monitors_; // sink index -> its monitor source
    std::vector<Candidate> candidates_;
    std::map<uint32_t, std::unique_ptr<Tap>> taps_; // by sink input index
    std::vector<pa_stream*> pacers_;
    std::set<pa_stream*> pacersHeard_; // pacers that have delivered at least once
    bool pacersListed_ = false;        // every sink has its pacer (or none can be had)
    // A sink still in a long block when its pacer connected delivers only at the block's end; the
    // capture waits for every sink, so that none starts it seconds behind.
    bool Paced() const { return pacersListed_ && pacersHeard_.size() == pacers_.size(); }
};
