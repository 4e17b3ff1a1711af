// Every row of the failure table through the host binary: the whole trail, the status, an empty
// sample stream, and from the engine's record what the run did and did not release.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/cases/failure_table.h"
#include "tests/process/scripted_run.h"

namespace {

const std::string kCom = "[com] CoInitializeEx(MTA): 0x00000000\n";
const std::string kDll = "[dll] ActivateAudioInterfaceAsync proc: <addr>\n";
const std::string kFtm = "[ftm] CoCreateFreeThreadedMarshaler: 0x00000000\n";
const std::string kAct = "[act] activating pid=1234 mode=include\n";
const std::string kQiAgile = "[qi] asked for {94EA2B94-E9CC-49E0-C0FF-EE64CA8F5B90}\n";
const std::string kCb = "[cb] ActivateCompleted fired\n";
const std::string kActivated = kCom + kDll + kFtm + kAct + kQiAgile + kCb;

const std::string kActivateRecord = "activate path=VAD\\Process_Loopback iid={1CB9AD4C-DBFA-4C32-B178-C2F568A703B2} "
                                    "vt=65 size=12 type=1 pid=1234 mode=0";
const std::string kInitializeRecord = "Initialize share=0 flags=0x88020000 duration=0 periodicity=0 session=null tag=3 "
                                      "channels=2 rate=48000 bytes=384000 align=8 bits=32 cb=0";
const std::string kGetServiceRecord = "GetService {C8ADBD64-E71E-48A0-A4DE-185C395CD317}";

struct Expected {
    std::string trail;
    std::vector<std::string> record;
};

// What each row leaves: the trail in full, and the engine's record in full. The activated object's
// reference is the only one a failed run gives back ("Release audio-client 2": the operation and
// the audio client keep theirs).
const std::map<std::string, Expected>& ExpectedByCase()
{
    static const std::map<std::string, Expected> expected = {
        {"CoInitializeFails", {"[com] CoInitializeEx(MTA): 0x80010106\n", {}}},
        {"LibraryMissing", {kCom + "[err] LoadLibrary(Mmdevapi.dll) failed: 126\n", {}}},
        {"EntryPointMissing",
         {kCom + "[dll] ActivateAudioInterfaceAsync proc: 0000000000000000\n"
                 "[err] API not available on this Windows build\n",
          {}}},
        {"ActivationRefused",
         {kCom + kDll + kFtm + kAct + "[err] ActivateAudioInterfaceAsync failed: 0x80070005\n", {kActivateRecord}}},
        {"ActivationResultNegative",
         {kActivated + "[err] GetActivateResult: hr=0x00000000 result=0x88890004\n", {kActivateRecord}}},
        {"GetActivateResultFails",
         {kActivated + "[err] GetActivateResult: hr=0x8000ffff result=0x00000000\n", {kActivateRecord}}},
        {"NoAudioClient",
         {kActivated + "[err] QI(IAudioClient): 0x80004002\n", {kActivateRecord, "Release audio-client 1"}}},
        {"NoActivatedObject", {kActivated + "[err] QI(IAudioClient): 0x80004002\n", {kActivateRecord}}},
        {"InitializeFails",
         {kActivated + "[err] IAudioClient::Initialize: 0x88890008\n",
          {kActivateRecord, "Release audio-client 2", kInitializeRecord}}},
        {"GetServiceFails",
         {kActivated + "[err] GetService(IAudioCaptureClient): 0x88890004\n",
          {kActivateRecord, "Release audio-client 2", kInitializeRecord, kGetServiceRecord}}},
        {"StartFails",
         {kActivated + "FORMAT 48000 2 32\n[err] IAudioClient::Start: 0x88890004\n",
          {kActivateRecord, "Release audio-client 2", kInitializeRecord, kGetServiceRecord, "Start"}}},
    };
    return expected;
}

class FailureThroughTheBinary : public testing::TestWithParam<FailureCase> {};

TEST_P(FailureThroughTheBinary, LeavesItsTrailStatusAndRecord)
{
    const FailureCase& c = GetParam();
    const auto found = ExpectedByCase().find(c.name);
    ASSERT_NE(found, ExpectedByCase().end()) << "no expected trail for the row " << c.name;
    const Expected& expected = found->second;
    // The shared table's ending and the full trail here agree.
    ASSERT_GE(expected.trail.size(), std::string(c.trailEnd).size());
    ASSERT_EQ(expected.trail.substr(expected.trail.size() - std::string(c.trailEnd).size()), c.trailEnd);

    const ScriptedRun run = RunScripted(c.script);
    EXPECT_EQ(run.result.status, c.status);
    EXPECT_EQ(run.result.signal, 0);
    EXPECT_EQ(run.result.out, "");
    EXPECT_TRUE(run.addressWellFormed) << run.result.err;
    EXPECT_EQ(run.trail, expected.trail);
    EXPECT_EQ(run.record, expected.record);
    EXPECT_EQ(std::count(run.record.begin(), run.record.end(), "CoUninitialize"), 0);
    EXPECT_EQ(std::count(run.record.begin(), run.record.end(), "Stop"), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, FailureThroughTheBinary, testing::ValuesIn(FailureCases()),
                         [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

} // namespace
