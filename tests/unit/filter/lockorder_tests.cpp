// The filter's locks under a host that calls it from several threads at once: Pause (which
// waits for each worker's set-up, taken under the pin lock and the QuickTime lock), Stop
// (which holds the QuickTime lock while it joins the workers) and repositioning on one filter,
// while other filters of the process are built, loaded and destroyed. A deadlock fails the
// test at the watchdog's time-out instead of hanging the run.
#include "test_filter.h"

#include <cstdio>

#include "pins/movieoutputpin.h"
#include "test_sink.h"

using namespace filtertest;
using testsupport::TestSink;

namespace {

constexpr int kRounds = 1000;
constexpr DWORD kWatchdogMs = 60000;

struct Shared {
    TestFilter *pFilter;
    IMediaSeeking *pSeeking;  // the video pin's
    volatile LONG nFailures;
};

DWORD WINAPI PauseLoop(void *pv)
{
    Shared *pShared = static_cast<Shared *>(pv);
    for (int i = 0; i < kRounds; i++) {
        if (FAILED(pShared->pFilter->Pause()))
            InterlockedIncrement(&pShared->nFailures);
    }
    return 0;
}

DWORD WINAPI StopLoop(void *pv)
{
    Shared *pShared = static_cast<Shared *>(pv);
    for (int i = 0; i < kRounds; i++) {
        if (FAILED(pShared->pFilter->Stop()))
            InterlockedIncrement(&pShared->nFailures);
        Sleep(0);
    }
    return 0;
}

// Repositioning restarts a running worker; it must not wait on a Stop that waits for it.
DWORD WINAPI SeekLoop(void *pv)
{
    Shared *pShared = static_cast<Shared *>(pv);
    for (int i = 0; i < kRounds / 3; i++) {
        LONGLONG llStart = (i % 5) * 10000000LL;
        if (FAILED(pShared->pSeeking->SetPositions(&llStart, AM_SEEKING_AbsolutePositioning,
                                                   nullptr, AM_SEEKING_NoPositioning)))
            InterlockedIncrement(&pShared->nFailures);
    }
    return 0;
}

DWORD WINAPI LoadLoop(void *pv)
{
    Shared *pShared = static_cast<Shared *>(pv);
    for (int i = 0; i < kRounds / 3; i++) {
        FilterRef other(new TestFilter);
        if (other->Load(kMoviePath, nullptr) != S_OK)
            InterlockedIncrement(&pShared->nFailures);
        // Its QuickTime lock and the filter lock, from this thread, while the first filter
        // streams.
        LPOLESTR pszName = nullptr;
        if (SUCCEEDED(other->GetCurFile(&pszName, nullptr)))
            CoTaskMemFree(pszName);
    }
    return 0;
}

class LockOrder : public FilterTest {};

TEST_F(LockOrder, StopPauseAndLoadFromSeveralThreadsNeverDeadlock)
{
    m_fake.SetMovie(MovieOf({Video(64, 48, 50), Sound()}));
    FilterRef filter(new TestFilter);
    ASSERT_EQ(filter->Load(kMoviePath, nullptr), S_OK);
    ASSERT_EQ(filter->made.size(), 2u);

    // Connected pins get workers; paused sinks take what they deliver.
    TestSink *sinks[2] = {TestSink::Create(), TestSink::Create()};
    ASSERT_NE(sinks[0], nullptr);
    ASSERT_NE(sinks[1], nullptr);
    sinks[0]->AcceptMajorType(MEDIATYPE_Video);
    sinks[1]->AcceptMajorType(MEDIATYPE_Audio);
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(filter->made[size_t(i)].pPin->Connect(sinks[i]->Pin(), nullptr), S_OK)
            << "pin " << i;
        sinks[i]->Filter()->Pause();
    }

    IMediaSeeking *pSeeking = nullptr;
    ASSERT_EQ(filter->made[0].pPin->QueryInterface(IID_IMediaSeeking,
                                                   reinterpret_cast<void **>(&pSeeking)), S_OK);
    Shared shared = {filter.get(), pSeeking, 0};
    HANDLE threads[] = {CreateThread(nullptr, 0, PauseLoop, &shared, 0, nullptr),
                        CreateThread(nullptr, 0, StopLoop, &shared, 0, nullptr),
                        CreateThread(nullptr, 0, PauseLoop, &shared, 0, nullptr),
                        CreateThread(nullptr, 0, LoadLoop, &shared, 0, nullptr),
                        CreateThread(nullptr, 0, SeekLoop, &shared, 0, nullptr)};
    for (HANDLE h : threads)
        ASSERT_NE(h, nullptr);
    const DWORD dwWait = WaitForMultipleObjects(5, threads, TRUE, kWatchdogMs);
    if (dwWait != WAIT_OBJECT_0) {
        // The threads hold the locks for ever; nothing can be cleaned up.
        ADD_FAILURE() << "deadlock: the threads did not finish within " << kWatchdogMs << " ms";
        fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    for (HANDLE h : threads)
        CloseHandle(h);
    pSeeking->Release();
    EXPECT_EQ(shared.nFailures, 0);

    // Both workers still answer afterwards: a new pass delivers a sample or, from the end of
    // the track, its end-of-stream.
    EXPECT_EQ(filter->Stop(), S_OK);
    for (TestSink *pSink : sinks)
        pSink->ClearRecords();
    EXPECT_EQ(filter->Pause(), S_OK);
    for (int i = 0; i < 2; i++) {
        HANDLE events[] = {sinks[i]->SamplesEvent(1), sinks[i]->EndOfStreamEvent()};
        EXPECT_LT(WaitForMultipleObjects(2, events, FALSE, 10000), WAIT_OBJECT_0 + 2)
            << "pin " << i << " does not stream";
    }
    EXPECT_EQ(filter->Stop(), S_OK);
    for (int i = 0; i < 2; i++) {
        sinks[i]->Filter()->Stop();
        EXPECT_EQ(filter->made[size_t(i)].pPin->Disconnect(), S_OK);
        EXPECT_EQ(sinks[i]->Pin()->Disconnect(), S_OK);
        sinks[i]->Filter()->Release();
    }
    EXPECT_EQ(RefCount(filter.Base()), 1);
}

}  // namespace
