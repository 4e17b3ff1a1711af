// A small playback client for the tests: plays a sine tone (after an optional lead of silence)
// and prints "ONSET <CLOCK_MONOTONIC ns>" when the first tone frame is written. The server buffer
// is 50 ms unless given: small enough to start at once, large enough not to run dry on a busy
// machine (a player's own dropouts would show in the capture).
// Usage: tone_player <frequency Hz> <tone seconds> [lead seconds] [buffer ms]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include <pulse/error.h>
#include <pulse/simple.h>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: tone_player <hz> <seconds> [lead seconds]\n");
        return 2;
    }
    const double frequency = std::atof(argv[1]);
    const double seconds = std::atof(argv[2]);
    const double lead = argc > 3 ? std::atof(argv[3]) : 0.0;
    const unsigned bufferMs = argc > 4 ? static_cast<unsigned>(std::atoi(argv[4])) : 50;
    const unsigned rate = 48000;
    const pa_sample_spec sampleSpec = {PA_SAMPLE_FLOAT32LE, rate, 2};
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = bufferMs * 48 * 8; // a write returns about this long before it plays
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "tone_player", PA_STREAM_PLAYBACK, nullptr, "tone", &sampleSpec, nullptr, &attr, &error);
    if (stream == nullptr) {
        std::fprintf(stderr, "tone_player: %s\n", pa_strerror(error));
        return 1;
    }
    const size_t chunk = 240; // 5 ms
    std::vector<float> buffer(chunk * 2);
    const size_t leadFrames = static_cast<size_t>(lead * rate);
    const size_t toneFrames = static_cast<size_t>(seconds * rate);
    for (size_t frame = 0; frame < leadFrames + toneFrames; frame += chunk) {
        for (size_t i = 0; i < chunk; ++i) {
            const size_t n = frame + i;
            const float value = n >= leadFrames && n < leadFrames + toneFrames
                                    ? 0.3f * static_cast<float>(std::sin(2.0 * M_PI * frequency * static_cast<double>(n - leadFrames) / rate))
                                    : 0.0f;
            buffer[2 * i] = value;
            buffer[2 * i + 1] = value;
        }
        if (frame <= leadFrames && leadFrames < frame + chunk) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            std::printf("ONSET %lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
            std::fflush(stdout);
        }
        if (pa_simple_write(stream, buffer.data(), buffer.size() * sizeof(float), &error) < 0) {
            std::fprintf(stderr, "tone_player: %s\n", pa_strerror(error));
            return 1;
        }
    }
    pa_simple_drain(stream, &error);
    pa_simple_free(stream);
    return 0;
}
