#include "platform/engines/pulse/pulse_session.h"

#include <cstdlib>

namespace {

// Small fragments keep the added latency low; the server converts to this format.
constexpr uint32_t kFragmentFrames = 240; // 5 ms
const pa_sample_spec kTapSpec = {PA_SAMPLE_FLOAT32LE, kMixRate, kMixChannels};
// A sink with no low-latency reader may render in blocks of seconds, and a tap would see nothing
// until the block ends. A cheap low-latency reader on every sink's monitor keeps the blocks short.
const pa_sample_spec kPacerSpec = {PA_SAMPLE_U8, 8000, 1};
constexpr uint32_t kPacerFragmentBytes = 40; // 5 ms
constexpr pa_usec_t kPacingWaitUsec = 2500000; // longest block a sink renders, and a little more

pa_buffer_attr RecordAttr(uint32_t fragment)
{
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = fragment;
    return attr;
}

} // namespace

std::unique_ptr<PulseSession> PulseSession::Connect(pid_t target, bool exclude)
{
    std::unique_ptr<PulseSession> session(new PulseSession(target, exclude));
    session->mainloop_ = pa_threaded_mainloop_new();
    if (session->mainloop_ == nullptr) {
        return nullptr;
    }
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "harkwire");
    session->context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(session->mainloop_), "harkwire", props);
    pa_proplist_free(props);
    if (session->context_ == nullptr) {
        return nullptr;
    }
    pa_context_set_state_callback(session->context_, &PulseSession::OnContextState, session.get());
    if (pa_context_connect(session->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return nullptr;
    }
    pa_threaded_mainloop_lock(session->mainloop_);
    if (pa_threaded_mainloop_start(session->mainloop_) < 0) {
        pa_threaded_mainloop_unlock(session->mainloop_);
        return nullptr;
    }
    pa_context_state_t state;
    while ((state = pa_context_get_state(session->context_)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state)) {
        pa_threaded_mainloop_wait(session->mainloop_);
    }
    if (state != PA_CONTEXT_READY) {
        pa_threaded_mainloop_unlock(session->mainloop_);
        return nullptr;
    }
    // Before the capture's clock starts, the sinks are made to render in short blocks.
    session->OpenPacers();
    const pa_usec_t deadline = pa_rtclock_now() + kPacingWaitUsec;
    while (!session->Paced() && !session->lost_.load() && pa_rtclock_now() < deadline) {
        pa_threaded_mainloop_unlock(session->mainloop_);
        pa_msleep(5);
        pa_threaded_mainloop_lock(session->mainloop_);
    }
    const bool lost = session->lost_.load();
    pa_threaded_mainloop_unlock(session->mainloop_);
    return lost ? nullptr : std::move(session);
}

PulseSession::~PulseSession()
{
    if (mainloop_ == nullptr) {
        return;
    }
    pa_threaded_mainloop_lock(mainloop_);
    while (!taps_.empty()) {
        CloseTap(taps_.begin()->first);
    }
    for (pa_stream* pacer : pacers_) {
        pa_stream_set_read_callback(pacer, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(pacer))) {
            pa_stream_disconnect(pacer);
        }
        pa_stream_unref(pacer);
    }
    pacers_.clear();
    if (context_ != nullptr) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }
    pa_threaded_mainloop_unlock(mainloop_);
    pa_threaded_mainloop_stop(mainloop_);
    pa_threaded_mainloop_free(mainloop_);
}

void PulseSession::StartTapping()
{
    pa_threaded_mainloop_lock(mainloop_);
    tree_.Refresh();
    pa_context_set_subscribe_callback(context_, &PulseSession::OnSubscription, this);
    pa_operation* op = pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr);
    if (op != nullptr) {
        pa_operation_unref(op);
    }
    Scan();
    pa_threaded_mainloop_unlock(mainloop_);
}

void PulseSession::OpenPacers()
{
    pa_operation* op = pa_context_get_sink_info_list(context_, &PulseSession::OnPacerSinkInfo, this);
    if (op == nullptr) {
        pacersListed_ = true; // nothing to wait for
        return;
    }
    pa_operation_unref(op);
}

void PulseSession::OnPacerSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self)
{
    PulseSession* session = static_cast<PulseSession*>(self);
    if (eol != 0) {
        session->pacersListed_ = true;
        return;
    }
    if (info->monitor_source_name == nullptr) {
        return;
    }
    pa_stream* pacer = pa_stream_new(context, "harkwire pacer", &kPacerSpec, nullptr);
    if (pacer == nullptr) {
        return;
    }
    pa_stream_set_read_callback(pacer, &PulseSession::OnPacerRead, session);
    const pa_buffer_attr attr = RecordAttr(kPacerFragmentBytes);
    if (pa_stream_connect_record(pacer, info->monitor_source_name, &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
        pa_stream_set_read_callback(pacer, nullptr, nullptr);
        pa_stream_unref(pacer);
        return;
    }
    session->pacers_.push_back(pacer);
}

void PulseSession::OnPacerRead(pa_stream* stream, size_t, void* self)
{
    while (pa_stream_readable_size(stream) > 0) {
        const void* bytes = nullptr;
        size_t length = 0;
        if (pa_stream_peek(stream, &bytes, &length) < 0 || length == 0) {
            break;
        }
        pa_stream_drop(stream);
    }
    static_cast<PulseSession*>(self)->pacersHeard_.insert(stream);
}

void PulseSession::OnContextState(pa_context* context, void* self)
{
    PulseSession* session = static_cast<PulseSession*>(self);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
        session->lost_.store(true);
    }
    pa_threaded_mainloop_signal(session->mainloop_, 0);
}

void PulseSession::OnSubscription(pa_context*, pa_subscription_event_type_t, uint32_t, void* self)
{
    // New, changed (moved to another sink) or removed: look at every stream again.
    static_cast<PulseSession*>(self)->Scan();
}

// A scan lists the sinks (for their monitors), then the sink inputs, then applies the result.
// Events during a scan ask for one more scan after it.
void PulseSession::Scan()
{
    if (scanning_) {
        rescan_ = true;
        return;
    }
    scanning_ = true;
    monitors_.clear();
    candidates_.clear();
    pa_operation* op = pa_context_get_sink_info_list(context_, &PulseSession::OnSinkInfo, this);
    if (op == nullptr) {
        scanning_ = false;
        return;
    }
    pa_operation_unref(op);
}

void PulseSession::OnSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self)
{
    PulseSession* session = static_cast<PulseSession*>(self);
    if (eol < 0) {
        session->scanning_ = false;
        return;
    }
    if (eol == 0) {
        if (info->monitor_source_name != nullptr) {
            session->monitors_[info->index] = info->monitor_source_name;
        }
        return;
    }
    pa_operation* op = pa_context_get_sink_input_info_list(context, &PulseSession::OnSinkInputInfo, self);
    if (op == nullptr) {
        session->scanning_ = false;
        return;
    }
    pa_operation_unref(op);
}

void PulseSession::OnSinkInputInfo(pa_context*, const pa_sink_input_info* info, int eol, void* self)
{
    PulseSession* session = static_cast<PulseSession*>(self);
    if (eol < 0) {
        session->scanning_ = false;
        return;
    }
    if (eol == 0) {
        pid_t pid = -1;
        const char* text = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
        if (text != nullptr) {
            char* end = nullptr;
            const long value = std::strtol(text, &end, 10);
            if (end != text && *end == 0 && value > 0) {
                pid = static_cast<pid_t>(value);
            }
        }
        session->candidates_.push_back({info->index, info->sink, pid});
        return;
    }
    session->ApplyScan();
}

bool PulseSession::Selected(pid_t pid) const
{
    const bool inTree = pid > 0 && tree_.Contains(pid);
    return exclude_ ? !inTree : inTree;
}

void PulseSession::ApplyScan()
{
    // A stream that has just appeared may belong to a process started since the last look.
    tree_.Refresh();
    std::map<uint32_t, const Candidate*> wanted;
    for (const Candidate& candidate : candidates_) {
        if (Selected(candidate.pid) && monitors_.count(candidate.sink) != 0) {
            wanted[candidate.index] = &candidate;
        }
    }
    std::vector<uint32_t> leaving;
    for (const auto& entry : taps_) {
        const auto found = wanted.find(entry.first);
        if (found == wanted.end() || found->second->sink != entry.second->sink) {
            leaving.push_back(entry.first);
        }
    }
    for (uint32_t index : leaving) {
        CloseTap(index);
    }
    for (const auto& entry : wanted) {
        if (taps_.count(entry.first) == 0) {
            OpenTap(*entry.second, monitors_[entry.second->sink]);
        }
    }
    scanning_ = false;
    if (rescan_) {
        rescan_ = false;
        Scan();
    }
}

void PulseSession::OpenTap(const Candidate& candidate, const std::string& monitor)
{
    pa_stream* stream = pa_stream_new(context_, "harkwire tap", &kTapSpec, nullptr);
    if (stream == nullptr) {
        return;
    }
    auto tap = std::make_unique<Tap>(Tap{this, candidate.index, candidate.sink, mixer_.AddTap(), stream});
    pa_stream_set_monitor_stream(stream, candidate.index);
    pa_stream_set_state_callback(stream, &PulseSession::OnTapState, tap.get());
    pa_stream_set_read_callback(stream, &PulseSession::OnTapRead, tap.get());
    const pa_buffer_attr attr = RecordAttr(kFragmentFrames * kMixChannels * sizeof(float));
    if (pa_stream_connect_record(stream, monitor.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
        mixer_.RemoveTap(tap->mixerTap);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_unref(stream);
        return;
    }
    taps_[candidate.index] = std::move(tap);
}

void PulseSession::CloseTap(uint32_t sinkInput)
{
    const auto found = taps_.find(sinkInput);
    if (found == taps_.end()) {
        return;
    }
    Tap& tap = *found->second;
    pa_stream_set_state_callback(tap.stream, nullptr, nullptr);
    pa_stream_set_read_callback(tap.stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(tap.stream))) {
        pa_stream_disconnect(tap.stream);
    }
    pa_stream_unref(tap.stream);
    mixer_.RemoveTap(tap.mixerTap);
    taps_.erase(found);
}

void PulseSession::OnTapState(pa_stream* stream, void* data)
{
    Tap* tap = static_cast<Tap*>(data);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        // The stream it watched has ended (or moved): the tap leaves the mix.
        tap->session->CloseTap(tap->sinkInput);
    }
}

void PulseSession::OnTapRead(pa_stream* stream, size_t, void* data)
{
    Tap* tap = static_cast<Tap*>(data);
    const size_t frameBytes = kMixChannels * sizeof(float);
    while (pa_stream_readable_size(stream) > 0) {
        const void* bytes = nullptr;
        size_t length = 0;
        if (pa_stream_peek(stream, &bytes, &length) < 0 || length == 0) {
            return;
        }
        // A hole (no data but a length) is silence on the timeline.
        tap->session->mixer_.Push(tap->mixerTap, static_cast<const float*>(bytes), length / frameBytes);
        pa_stream_drop(stream);
    }
}
