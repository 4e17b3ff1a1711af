// The completion handler in-process: what each query answers and logs, the reference count, the
// marshaler's failure and the completion event.
#include <gtest/gtest.h>

#include "activation/completion_handler.h"
#include "platform/host/layer_hooks.h"
#include "tests/support/stderr_capture.h"

namespace {

const GUID kIidUnlisted = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
void* const kSentinel = reinterpret_cast<void*>(uintptr_t{0x5A5A5A5A});

// The handler's count, read without changing it.
ULONG CountOf(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

// A handler made with standard error caught, so its "[ftm]" line is seen and kept out of the log.
struct Made {
    CompletionHandler* handler = nullptr;
    std::string ftmLine;
};

Made NewHandler()
{
    Made made;
    StderrCapture capture;
    made.handler = new CompletionHandler();
    made.ftmLine = capture.Finish();
    return made;
}

class CompletionHandlerTest : public testing::Test {
protected:
    void TearDown() override
    {
        HostHooks().freeThreadedMarshalerFailure = S_OK;
        // Every test leaves its handler at one reference; the last release frees it.
        if (made_.handler != nullptr) {
            EXPECT_EQ(made_.handler->Release(), 0u);
        }
    }
    CompletionHandler* Make()
    {
        made_ = NewHandler();
        return made_.handler;
    }
    Made made_;
};

TEST_F(CompletionHandlerTest, ConstructionWritesTheMarshalerLineAndStartsAtOne)
{
    CompletionHandler* handler = Make();
    EXPECT_EQ(made_.ftmLine, "[ftm] CoCreateFreeThreadedMarshaler: 0x00000000\n");
    EXPECT_EQ(CountOf(handler), 1u);
}

enum class Answer { kSelf, kMarshaler, kNone };

struct QueryCase {
    const char* name;
    GUID iid;
    const char* line;
    Answer answer;
};

class Query : public CompletionHandlerTest, public testing::WithParamInterface<QueryCase> {};

TEST_P(Query, AnswersAndLogsTheIdentifier)
{
    const QueryCase& c = GetParam();
    CompletionHandler* handler = Make();
    void* object = kSentinel;
    StderrCapture capture;
    const HRESULT result = handler->QueryInterface(c.iid, &object);
    const std::string log = capture.Finish();

    EXPECT_EQ(log, std::string("[qi] asked for ") + c.line + "\n");
    switch (c.answer) {
    case Answer::kSelf:
        EXPECT_EQ(result, S_OK);
        EXPECT_EQ(object, static_cast<IActivateAudioInterfaceCompletionHandler*>(handler));
        EXPECT_EQ(CountOf(handler), 2u);
        EXPECT_EQ(static_cast<IUnknown*>(object)->Release(), 1u);
        break;
    case Answer::kMarshaler: {
        // The aggregated marshaler's IMarshal: another pointer whose IUnknown is the handler's.
        ASSERT_EQ(result, S_OK);
        ASSERT_NE(object, nullptr);
        ASSERT_NE(object, kSentinel);
        auto* marshal = static_cast<IMarshal*>(object);
        EXPECT_NE(static_cast<IUnknown*>(marshal), static_cast<IUnknown*>(handler));
        EXPECT_EQ(CountOf(handler), 2u);
        EXPECT_EQ(marshal->AddRef(), 3u);
        EXPECT_EQ(marshal->Release(), 2u);
        void* back = nullptr;
        StderrCapture again;
        EXPECT_EQ(marshal->QueryInterface(kIidActivateCompletionHandler, &back), S_OK);
        EXPECT_EQ(again.Finish(), "[qi] asked for {41D949AB-9862-444A-80F6-C261334DA5EB}\n");
        EXPECT_EQ(back, static_cast<IActivateAudioInterfaceCompletionHandler*>(handler));
        EXPECT_EQ(static_cast<IUnknown*>(back)->Release(), 2u);
        EXPECT_EQ(marshal->Release(), 1u);
        break;
    }
    case Answer::kNone:
        EXPECT_EQ(result, E_NOINTERFACE);
        EXPECT_EQ(object, nullptr);
        EXPECT_EQ(CountOf(handler), 1u);
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Query,
    testing::Values(QueryCase{"Unknown", kIidUnknown, "{00000000-0000-0000-C000-000000000046}", Answer::kSelf},
                    QueryCase{"CompletionHandler", kIidActivateCompletionHandler,
                              "{41D949AB-9862-444A-80F6-C261334DA5EB}", Answer::kSelf},
                    QueryCase{"AgileObject", kIidAgileObject, "{94EA2B94-E9CC-49E0-C0FF-EE64CA8F5B90}", Answer::kSelf},
                    QueryCase{"Marshal", kIidMarshal, "{00000003-0000-0000-C000-000000000046}", Answer::kMarshaler},
                    QueryCase{"AudioClient", kIidAudioClient, "{1CB9AD4C-DBFA-4C32-B178-C2F568A703B2}", Answer::kNone},
                    QueryCase{"Unlisted", kIidUnlisted, "{12345678-9ABC-DEF0-0123-456789ABCDEF}", Answer::kNone}),
    [](const testing::TestParamInfo<QueryCase>& info) { return info.param.name; });

TEST_F(CompletionHandlerTest, UnknownAndHandlerQueriesGiveOneObjectAndOneReferenceEach)
{
    CompletionHandler* handler = Make();
    void* asUnknown = nullptr;
    void* asHandler = nullptr;
    StderrCapture capture;
    ASSERT_EQ(handler->QueryInterface(kIidUnknown, &asUnknown), S_OK);
    ASSERT_EQ(handler->QueryInterface(kIidActivateCompletionHandler, &asHandler), S_OK);
    capture.Finish();
    EXPECT_EQ(asUnknown, asHandler);
    EXPECT_EQ(CountOf(handler), 3u);
    EXPECT_EQ(static_cast<IUnknown*>(asUnknown)->Release(), 2u);
    EXPECT_EQ(static_cast<IUnknown*>(asHandler)->Release(), 1u);
}

TEST_F(CompletionHandlerTest, MarshalerFailureIsReportedAndLeavesNoIMarshal)
{
    HostHooks().freeThreadedMarshalerFailure = E_OUTOFMEMORY;
    CompletionHandler* handler = Make();
    EXPECT_EQ(made_.ftmLine, "[ftm] CoCreateFreeThreadedMarshaler: 0x8007000e\n");

    void* object = kSentinel;
    StderrCapture capture;
    EXPECT_EQ(handler->QueryInterface(kIidMarshal, &object), E_NOINTERFACE);
    EXPECT_EQ(capture.Finish(), "[qi] asked for {00000003-0000-0000-C000-000000000046}\n");
    EXPECT_EQ(object, nullptr);
    // The rest of the handler works as before.
    object = nullptr;
    StderrCapture quiet;
    EXPECT_EQ(handler->QueryInterface(kIidAgileObject, &object), S_OK);
    quiet.Finish();
    EXPECT_EQ(static_cast<IUnknown*>(object)->Release(), 1u);
}

TEST_F(CompletionHandlerTest, AddRefAndReleaseReturnTheNewCount)
{
    CompletionHandler* handler = Make();
    EXPECT_EQ(handler->AddRef(), 2u);
    EXPECT_EQ(handler->AddRef(), 3u);
    EXPECT_EQ(handler->Release(), 2u);
    EXPECT_EQ(handler->Release(), 1u);
}

TEST(CompletionHandlerLifetime, LastReleaseReturnsZero)
{
    // The event and the marshaler go with the object; the leak checker of the sanitizer build sees
    // whether they did.
    for (const HRESULT ftm : {S_OK, E_FAIL}) {
        HostHooks().freeThreadedMarshalerFailure = ftm;
        StderrCapture capture;
        CompletionHandler* handler = new CompletionHandler();
        capture.Finish();
        EXPECT_EQ(handler->Release(), 0u);
    }
    HostHooks().freeThreadedMarshalerFailure = S_OK;
}

TEST_F(CompletionHandlerTest, ActivateCompletedLogsAndSignalsTheEventForGood)
{
    CompletionHandler* handler = Make();
    ASSERT_NE(handler->GetEvent(), nullptr);
    EXPECT_EQ(WaitForSingleObject(handler->GetEvent(), 0), WAIT_TIMEOUT);

    StderrCapture capture;
    EXPECT_EQ(handler->ActivateCompleted(nullptr), S_OK);
    EXPECT_EQ(capture.Finish(), "[cb] ActivateCompleted fired\n");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(WaitForSingleObject(handler->GetEvent(), 0), WAIT_OBJECT_0);
    }
    EXPECT_EQ(WaitForSingleObject(handler->GetEvent(), INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(CountOf(handler), 1u);
}

} // namespace
