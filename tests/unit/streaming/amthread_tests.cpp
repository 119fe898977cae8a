// The worker thread's request/reply handshake, on its own.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include "framework/amthread.h"
#include "streaming_rig.h"

namespace streamingtest {
namespace {

// Answers each command with twice its value until it gets 0; records how COM stood.
class EchoThread : public CAMThread {
public:
    DWORD ThreadProc() override
    {
        // Already in the multithreaded apartment: asking for a single-threaded one must fail.
        m_hrApartment = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(m_hrApartment))
            CoUninitialize();
        for (;;) {
            DWORD dw = GetRequest();
            DWORD dwPending = 0xdeadbeef;
            m_bStillPending = CheckRequest(&dwPending) && dwPending == dw;
            Reply(dw * 2);
            if (dw == 0)
                return 7;
        }
    }
    HRESULT m_hrApartment = E_FAIL;
    BOOL m_bStillPending = FALSE;
};

// Ends at once, answering nothing, like a worker whose set-up failed.
class DyingThread : public CAMThread {
public:
    DWORD ThreadProc() override { return 1; }
};

TEST(AMThread, RepliesToEachRequestAndEndsWithItsResult)
{
    EchoThread thread;
    EXPECT_FALSE(thread.ThreadExists());
    EXPECT_EQ(thread.CallWorker(5), static_cast<DWORD>(E_FAIL)) << "no worker yet";

    ASSERT_TRUE(thread.Create());
    EXPECT_TRUE(thread.ThreadExists());
    EXPECT_FALSE(thread.Create()) << "one worker at a time";
    EXPECT_EQ(thread.CallWorker(21), 42u);
    EXPECT_TRUE(thread.m_bStillPending) << "CheckRequest must leave the request pending";
    EXPECT_EQ(thread.m_hrApartment, RPC_E_CHANGED_MODE)
        << "the worker should have joined the multithreaded apartment";
    EXPECT_EQ(thread.CallWorker(0), 0u);

    thread.Close();
    EXPECT_FALSE(thread.ThreadExists());
    thread.Close(); // a second Close finds nothing to join
    EXPECT_EQ(thread.CallWorker(1), static_cast<DWORD>(E_FAIL));
}

TEST(AMThread, CallToAWorkerThatEndedFailsInsteadOfWaiting)
{
    DyingThread thread;
    ASSERT_TRUE(thread.Create());
    DWORD dwReply = 0;
    ASSERT_TRUE(FinishesWithin(kWaitMs, [&] { dwReply = thread.CallWorker(3); }))
        << "CallWorker waited for a thread that no longer exists";
    EXPECT_EQ(dwReply, static_cast<DWORD>(E_FAIL));
    EXPECT_TRUE(thread.ThreadExists()) << "the handle stays until Close";
    thread.Close();
    EXPECT_FALSE(thread.ThreadExists());
}

} // namespace
} // namespace streamingtest
