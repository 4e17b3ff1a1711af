// The command line parsed in-process: process id and mode for every row of the argument table.
#include <gtest/gtest.h>

#include "app/command_line.h"
#include "tests/cases/argument_table.h"

namespace {

class CommandLine : public testing::TestWithParam<ArgumentCase> {};

TEST_P(CommandLine, GivesProcessIdAndMode)
{
    const ArgumentCase& c = GetParam();
    std::vector<std::wstring> storage = {L"harkwire.exe"};
    storage.insert(storage.end(), c.args.begin(), c.args.end());
    std::vector<wchar_t*> argv;
    for (std::wstring& arg : storage) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(storage.size());

    EXPECT_EQ(ParseProcessId(argv[1]), c.processId);
    EXPECT_EQ(ParseExcludeMode(argc, argv.data()), c.exclude);
}

INSTANTIATE_TEST_SUITE_P(Table, CommandLine, testing::ValuesIn(ArgumentCases()),
                         [](const testing::TestParamInfo<ArgumentCase>& info) { return info.param.name; });

TEST(CommandLineMode, NeedsTheSecondArgumentToBeThere)
{
    // argc says the word is not an argument, whatever the vector holds past it.
    wchar_t program[] = L"harkwire.exe", pid[] = L"1234", word[] = L"exclude";
    wchar_t* argv[] = {program, pid, word, nullptr};
    EXPECT_FALSE(ParseExcludeMode(2, argv));
    EXPECT_TRUE(ParseExcludeMode(3, argv));
}

} // namespace
