// The scripted engine as a fixture: a silent packet's buffer holds no zeros, so a tool that copied it
// instead of writing silence would be caught by the pump tests.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/engines/scripted/scripted_engine.h"

namespace {

TEST(ScriptedEngineFixture, SilentPacketBufferIsNotZero)
{
    EngineScript script;
    std::string error;
    ASSERT_TRUE(ParseEngineScript("packet 480 silent\n", &script, &error)) << error;
    ScriptedEngine engine(script);
    IAudioClient* audioClient = engine.NewAudioClient();
    WAVEFORMATEX format = {WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 384000, 8, 32, 0};
    ASSERT_EQ(audioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, 0x88020000u, 0, 0, &format, nullptr), S_OK);
    IAudioCaptureClient* captureClient = nullptr;
    ASSERT_EQ(audioClient->GetService(kIidAudioCaptureClient, reinterpret_cast<void**>(&captureClient)), S_OK);
    ASSERT_EQ(audioClient->Start(), S_OK);

    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    ASSERT_EQ(captureClient->GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(frames, 480u);
    EXPECT_EQ(flags & AUDCLNT_BUFFERFLAGS_SILENT, static_cast<DWORD>(AUDCLNT_BUFFERFLAGS_SILENT));
    EXPECT_GT(std::count_if(data, data + frames * 8, [](BYTE b) { return b != 0; }), 400);
    EXPECT_EQ(captureClient->ReleaseBuffer(frames), S_OK);

    EXPECT_EQ(captureClient->Release(), 0u);
    EXPECT_EQ(audioClient->Release(), 0u);
}

} // namespace
