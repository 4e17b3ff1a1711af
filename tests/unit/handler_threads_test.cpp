// The completion handler called from several threads at once, as the platform may: the count
// stays exact, lines stay whole, and a wait ends when another thread completes.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>
#include <vector>

#include "activation/completion_handler.h"
#include "tests/support/stderr_capture.h"

namespace {

CompletionHandler* MakeHandler()
{
    StderrCapture capture;
    return new CompletionHandler();
}

// Starts `threads` threads together on `body`, then joins them.
template <typename Body>
void RunTogether(int threads, Body body)
{
    std::atomic<int> ready{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            ready.fetch_add(1);
            while (ready.load() < threads) {
            }
            body();
        });
    }
    for (std::thread& thread : pool) {
        thread.join();
    }
}

TEST(CompletionHandlerThreads, ConcurrentAddRefAndReleaseKeepTheCountExact)
{
    CompletionHandler* handler = MakeHandler();
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::atomic<bool> belowOne{false};
    RunTogether(kThreads, [&] {
        for (int i = 0; i < kRounds; ++i) {
            handler->AddRef();
            handler->AddRef();
            if (handler->Release() < 1u || handler->Release() < 1u) {
                belowOne.store(true);
            }
        }
    });
    EXPECT_FALSE(belowOne.load());
    EXPECT_EQ(handler->AddRef(), 2u);
    EXPECT_EQ(handler->Release(), 1u);
    EXPECT_EQ(handler->Release(), 0u);
}

TEST(CompletionHandlerThreads, ConcurrentQueriesWriteWholeLinesAndBalance)
{
    CompletionHandler* handler = MakeHandler();
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::atomic<int> wrong{0};
    StderrCapture capture;
    RunTogether(kThreads, [&] {
        for (int i = 0; i < kRounds; ++i) {
            void* object = nullptr;
            const GUID& iid = i % 2 == 0 ? kIidAgileObject : kIidMarshal;
            if (handler->QueryInterface(iid, &object) != S_OK || object == nullptr) {
                wrong.fetch_add(1);
                continue;
            }
            static_cast<IUnknown*>(object)->Release();
        }
    });
    const std::string log = capture.Finish();
    EXPECT_EQ(wrong.load(), 0);
    std::istringstream lines(log);
    int agile = 0, marshal = 0, other = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line == "[qi] asked for {94EA2B94-E9CC-49E0-C0FF-EE64CA8F5B90}") {
            ++agile;
        } else if (line == "[qi] asked for {00000003-0000-0000-C000-000000000046}") {
            ++marshal;
        } else {
            ++other;
        }
    }
    EXPECT_EQ(agile, kThreads * kRounds / 2);
    EXPECT_EQ(marshal, kThreads * kRounds / 2);
    EXPECT_EQ(other, 0);
    EXPECT_EQ(handler->Release(), 0u);
}

TEST(CompletionHandlerThreads, WaitEndsWhenAnotherThreadCompletes)
{
    CompletionHandler* handler = MakeHandler();
    std::atomic<bool> completed{false};
    StderrCapture capture;
    std::thread platform([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        completed.store(true);
        handler->ActivateCompleted(nullptr);
    });
    EXPECT_EQ(WaitForSingleObject(handler->GetEvent(), INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(completed.load());
    platform.join();
    EXPECT_EQ(capture.Finish(), "[cb] ActivateCompleted fired\n");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(WaitForSingleObject(handler->GetEvent(), 0), WAIT_OBJECT_0);
    }
    EXPECT_EQ(handler->Release(), 0u);
}

} // namespace
