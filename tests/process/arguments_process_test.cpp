// The command line through the host binary: the "[act]" line and the activation request for every
// row of the argument table, and the usage line.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cases/argument_table.h"
#include "tests/process/scripted_run.h"

namespace {

// A refused request ends the run right after the "[act]" line and the engine's record of it.
const char kRefuse[] = "activate refuse 0x80070005\n";

class ArgumentsThroughTheBinary : public testing::TestWithParam<ArgumentCase> {};

TEST_P(ArgumentsThroughTheBinary, ReachTheActivationLineAndRequest)
{
    const ArgumentCase& c = GetParam();
    ProcessSpec launch;
    launch.argv.clear();
    for (const std::wstring& arg : c.args) {
        launch.argv.push_back(Utf8(arg));
    }
    // RunScripted puts "1234" in for an empty list; every row has at least the PID argument.
    ASSERT_FALSE(launch.argv.empty());
    const ScriptedRun run = RunScripted(kRefuse, launch);

    const std::string mode = c.exclude ? "exclude" : "include";
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(run.result.out, "");
    EXPECT_EQ(run.trail, "[com] CoInitializeEx(MTA): 0x00000000\n"
                         "[dll] ActivateAudioInterfaceAsync proc: <addr>\n"
                         "[ftm] CoCreateFreeThreadedMarshaler: 0x00000000\n"
                         "[act] activating pid=" + std::to_string(c.processId) + " mode=" + mode + "\n"
                         "[err] ActivateAudioInterfaceAsync failed: 0x80070005\n");
    ASSERT_EQ(run.record.size(), 1u);
    EXPECT_EQ(run.record[0], "activate path=VAD\\Process_Loopback iid={1CB9AD4C-DBFA-4C32-B178-C2F568A703B2} vt=65 "
                             "size=12 type=1 pid=" + std::to_string(c.processId) +
                                 " mode=" + (c.exclude ? "1" : "0"));
}

INSTANTIATE_TEST_SUITE_P(Table, ArgumentsThroughTheBinary, testing::ValuesIn(ArgumentCases()),
                         [](const testing::TestParamInfo<ArgumentCase>& info) { return info.param.name; });

ProcessResult RunBare(const char* binary, std::vector<std::string> args, const std::string& record)
{
    ProcessSpec launch;
    launch.argv = {binary};
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    launch.env["HARKWIRE_ENGINE_RECORD"] = record;
    SetToolSanitizerOptions(launch);
    launch.timeout = std::chrono::milliseconds(10000);
    return RunProcess(launch);
}

TEST(Usage, NoArgumentsGiveTheUsageLineAndNothingElse)
{
    const std::string dir = MakeTempDir("usage");
    for (const char* binary : {kScriptedBinary, kProductionBinary}) {
        SCOPED_TRACE(binary);
        const ProcessResult result = RunBare(binary, {}, dir + "/record");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "Usage: harkwire.exe <PID> [include|exclude]\n");
        EXPECT_EQ(result.out, "");
    }
    // The scripted engine opened its record before main, and nothing was asked of it.
    EXPECT_EQ(ReadFile(dir + "/record"), "");
    std::filesystem::remove_all(dir);
}

} // namespace
