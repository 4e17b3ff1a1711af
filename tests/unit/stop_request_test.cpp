// The console control routine, each event in a child process of its own so that a set stop flag
// stays there.
#include <gtest/gtest.h>

#include <unistd.h>

#include "app/stop_request.h"

namespace {

struct ControlCase {
    const char* name;
    DWORD type;
    bool handled;
};

class ControlEvent : public testing::TestWithParam<ControlCase> {};

// The child's exit code: 1 = flag set afterwards, 2 = handled, 4 = flag was already set before.
int CallInChild(DWORD type)
{
    const bool before = g_stop.load();
    const BOOL handled = ConsoleCtrlHandler(type);
    return (before ? 4 : 0) | (handled == TRUE ? 2 : 0) | (handled != TRUE && handled != FALSE ? 8 : 0) |
           (g_stop.load() ? 1 : 0);
}

TEST_P(ControlEvent, IsHandledWithTheFlagOrPassedOnWithout)
{
    const ControlCase& c = GetParam();
    const int expected = c.handled ? 3 : 0;
    EXPECT_EXIT(_exit(CallInChild(c.type)), testing::ExitedWithCode(expected), "");
}

INSTANTIATE_TEST_SUITE_P(Table, ControlEvent,
                         testing::Values(ControlCase{"CtrlC", CTRL_C_EVENT, true},
                                         ControlCase{"CtrlBreak", CTRL_BREAK_EVENT, true},
                                         ControlCase{"Close", CTRL_CLOSE_EVENT, true},
                                         ControlCase{"Logoff", CTRL_LOGOFF_EVENT, false},
                                         ControlCase{"Shutdown", CTRL_SHUTDOWN_EVENT, false},
                                         ControlCase{"UnusedThree", 3, false},
                                         ControlCase{"UnusedFour", 4, false}),
                         [](const testing::TestParamInfo<ControlCase>& info) { return info.param.name; });

TEST(ControlEventRepeat, SecondStopRequestIsTheSame)
{
    EXPECT_EXIT(
        {
            const BOOL first = ConsoleCtrlHandler(CTRL_C_EVENT);
            const BOOL second = ConsoleCtrlHandler(CTRL_C_EVENT);
            const BOOL logoff = ConsoleCtrlHandler(CTRL_LOGOFF_EVENT);
            // A declined event after a stop request leaves the flag as it was: set.
            _exit(first == TRUE && second == TRUE && logoff == FALSE && g_stop.load() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

} // namespace
