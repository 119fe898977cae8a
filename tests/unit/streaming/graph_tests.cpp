// The source filter in Wine's filter graph manager: states driven through IMediaControl and
// the stream's end or abort reported through IMediaEvent.
#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include "streaming_rig.h"

namespace streamingtest {
namespace {

class Graph : public StreamingTest {
protected:
    void SetUp() override
    {
        StreamingTest::SetUp();
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGraphBuilder, reinterpret_cast<void **>(&m_pGraph)),
                  S_OK);
        ASSERT_EQ(
            m_pGraph->QueryInterface(IID_IMediaControl, reinterpret_cast<void **>(&m_pControl)),
            S_OK);
        ASSERT_EQ(m_pGraph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void **>(&m_pEvent)),
                  S_OK);
    }
    void TearDown() override
    {
        // Releasing the graph stops it and removes (and disconnects) its filters.
        if (m_pEvent)
            m_pEvent->Release();
        if (m_pControl)
            m_pControl->Release();
        if (m_pGraph) {
            EXPECT_TRUE(FinishesWithin(kWaitMs, [this] { EXPECT_EQ(m_pGraph->Release(), 0u); }));
        }
        StreamingTest::TearDown();
    }

    // The source and a sink in the graph, the stream connected through the graph.
    void Build(CPatternStream *pStream, TestSink *pSink)
    {
        ASSERT_EQ(m_pGraph->AddFilter(m_pSource->Filter(), L"source"), S_OK);
        ASSERT_EQ(m_pGraph->AddFilter(pSink->Filter(), L"sink"), S_OK);
        ASSERT_EQ(m_pGraph->ConnectDirect(pStream, pSink->Pin(), nullptr), S_OK);
    }

    // The next EC_COMPLETE or EC_ERRORABORT (others are skipped); 0 after timeoutMs.
    long NextEvent(LONG_PTR *pParam1, DWORD timeoutMs)
    {
        const DWORD dwStart = GetTickCount();
        for (;;) {
            const DWORD dwElapsed = GetTickCount() - dwStart;
            if (dwElapsed > timeoutMs)
                return 0;
            long lCode = 0;
            LONG_PTR lParam1 = 0, lParam2 = 0;
            // E_ABORT also comes at once when the queue's event was still set but it is empty.
            HRESULT hr = m_pEvent->GetEvent(&lCode, &lParam1, &lParam2,
                                            static_cast<long>(timeoutMs - dwElapsed));
            if (hr != S_OK)
                continue;
            m_pEvent->FreeEventParams(lCode, lParam1, lParam2);
            if (lCode == EC_COMPLETE || lCode == EC_ERRORABORT) {
                *pParam1 = lParam1;
                return lCode;
            }
        }
    }

    FILTER_STATE SourceState()
    {
        FILTER_STATE state = static_cast<FILTER_STATE>(-1);
        EXPECT_EQ(m_pSource->Filter()->GetState(0, &state), S_OK);
        return state;
    }

    IGraphBuilder *m_pGraph = nullptr;
    IMediaControl *m_pControl = nullptr;
    IMediaEvent *m_pEvent = nullptr;
};

TEST_F(Graph, RunDeliversTheStreamAndCompletes)
{
    CPatternStream *pStream = AddStream(PatternConfig());
    TestSink *pSink = AddSink();
    Build(pStream, pSink);
    EXPECT_TRUE(pSink->IsConnected());

    ASSERT_EQ(m_pControl->Run(), S_OK);
    EXPECT_EQ(SourceState(), State_Running);
    LONG_PTR lParam1 = -1;
    EXPECT_EQ(NextEvent(&lParam1, kWaitMs), EC_COMPLETE);
    EXPECT_EQ(lParam1, S_OK);

    std::vector<SinkRecord> samples = pSink->Samples();
    ASSERT_EQ(samples.size(), 4u);
    for (LONG k = 0; k < 4; k++)
        EXPECT_EQ(samples[k].hash, PatternHash(k, 256)) << "sample " << k;

    ASSERT_EQ(m_pControl->Stop(), S_OK);
    EXPECT_EQ(SourceState(), State_Stopped);
    EXPECT_FALSE(pStream->ThreadExists());
}

TEST_F(Graph, PauseRunAndStopMoveTheWorker)
{
    PatternConfig config;
    config.cSamples = -1;
    config.dwFillDelayMs = 1;
    CPatternStream *pStream = AddStream(config);
    TestSink *pSink = AddSink();
    Build(pStream, pSink);

    ASSERT_EQ(m_pControl->Pause(), S_OK);
    EXPECT_EQ(SourceState(), State_Paused);
    EXPECT_TRUE(pStream->ThreadExists());
    EXPECT_TRUE(pSink->WaitForSamples(2, kWaitMs)) << "a paused source delivers";

    ASSERT_EQ(m_pControl->Run(), S_OK);
    EXPECT_EQ(SourceState(), State_Running);
    EXPECT_EQ(pStream->ThreadCreates(), 1) << "running changes nothing in the pin";
    size_t cSeen = pSink->SampleCount();
    EXPECT_TRUE(pSink->WaitForSamples(cSeen + 2, kWaitMs));

    ASSERT_EQ(m_pControl->Stop(), S_OK);
    EXPECT_EQ(SourceState(), State_Stopped);
    EXPECT_FALSE(pStream->ThreadExists());
    EXPECT_EQ(pStream->ThreadDestroys(), 1);

    // Stopped to running in one step pauses first, with a fresh worker.
    pSink->ClearRecords();
    ASSERT_EQ(m_pControl->Run(), S_OK);
    EXPECT_TRUE(pSink->WaitForSamples(2, kWaitMs));
    EXPECT_EQ(pStream->ThreadCreates(), 2);
    EXPECT_EQ(pSink->Samples()[0].tStart, 0) << "a new worker starts the stream over";
    ASSERT_EQ(m_pControl->Stop(), S_OK);
}

TEST_F(Graph, AFillFailureAbortsTheStreamWithItsResult)
{
    PatternConfig config;
    config.iFailSample = 2;
    config.hrFill = E_OUTOFMEMORY;
    CPatternStream *pStream = AddStream(config);
    TestSink *pSink = AddSink();
    Build(pStream, pSink);

    ASSERT_EQ(m_pControl->Run(), S_OK);
    LONG_PTR lParam1 = 0;
    long lCode = NextEvent(&lParam1, kWaitMs);
    // The sink's EC_COMPLETE for the end-of-stream that precedes the abort may come first.
    if (lCode == EC_COMPLETE)
        lCode = NextEvent(&lParam1, kWaitMs);
    EXPECT_EQ(lCode, EC_ERRORABORT);
    EXPECT_EQ(lParam1, E_OUTOFMEMORY);
    EXPECT_EQ(pSink->SampleCount(), 2u);
    EXPECT_EQ(WaitForSingleObject(pSink->EndOfStreamEvent(), 0), WAIT_OBJECT_0)
        << "the stream is ended downstream before the abort is reported";
    ASSERT_EQ(m_pControl->Stop(), S_OK);
}

// A pin whose set-up fails on the first start and succeeds on the second.
PatternConfig FailsFirstStart()
{
    PatternConfig config;
    config.cThreadCreateFailures = 1;
    config.hrThreadCreate = E_ACCESSDENIED;
    return config;
}

TEST_F(Graph, AFailedSetUpLeavesNoWorkerAndTheNextPauseStartsAgain)
{
    CPatternStream *pStream = AddStream(FailsFirstStart());
    TestSink *pSink = AddSink();
    Build(pStream, pSink);

    EXPECT_EQ(m_pControl->Pause(), E_ACCESSDENIED);
    EXPECT_EQ(SourceState(), State_Stopped);
    EXPECT_FALSE(pStream->ThreadExists()) << "the ended worker must be joined and closed";
    EXPECT_EQ(pStream->ThreadDestroys(), 1);
    IMediaSample *pSample = reinterpret_cast<IMediaSample *>(0xdeadbeef);
    EXPECT_EQ(pStream->Allocator()->GetBuffer(&pSample, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED)
        << "the allocator must be decommitted again";
    DWORD dwReply = 0;
    EXPECT_TRUE(FinishesWithin(kWaitMs, [&] {
        dwReply = pStream->CallWorker(CSourceStream::CMD_RUN);
    })) << "a command to the failed worker must not wait forever";
    EXPECT_EQ(dwReply, static_cast<DWORD>(E_FAIL));

    EXPECT_TRUE(FinishesWithin(kWaitMs, [&] { EXPECT_EQ(m_pControl->Stop(), S_OK); }));
    ASSERT_EQ(m_pControl->Pause(), S_OK) << "the second start must succeed";
    EXPECT_TRUE(pStream->ThreadExists());
    ASSERT_EQ(m_pControl->Run(), S_OK);
    LONG_PTR lParam1 = -1;
    EXPECT_EQ(NextEvent(&lParam1, kWaitMs), EC_COMPLETE);
    EXPECT_EQ(pSink->SampleCount(), 4u);
    EXPECT_EQ(pStream->ThreadCreates(), 2);
    EXPECT_TRUE(FinishesWithin(kWaitMs, [&] { EXPECT_EQ(m_pControl->Stop(), S_OK); }));
}

TEST_F(Graph, APauseThatFailsAtTheSecondPinTakesTheFirstPinsWorkerBack)
{
    PatternConfig endless;
    endless.cSamples = -1;
    endless.dwFillDelayMs = 1;
    CPatternStream *pFirst = AddStream(endless);
    CPatternStream *pSecond = AddStream(FailsFirstStart());
    TestSink *pFirstSink = AddSink();
    TestSink *pSecondSink = AddSink();
    Build(pFirst, pFirstSink);
    ASSERT_EQ(m_pGraph->AddFilter(pSecondSink->Filter(), L"second sink"), S_OK);
    ASSERT_EQ(m_pGraph->ConnectDirect(pSecond, pSecondSink->Pin(), nullptr), S_OK);

    EXPECT_EQ(m_pControl->Pause(), E_ACCESSDENIED);
    EXPECT_EQ(SourceState(), State_Stopped);
    EXPECT_EQ(pFirst->ThreadCreates(), 1);
    EXPECT_FALSE(pFirst->ThreadExists()) << "a stopped filter must have no running worker";
    EXPECT_EQ(pFirst->ThreadDestroys(), 1);
    EXPECT_FALSE(pSecond->ThreadExists());
    size_t cDelivered = pFirstSink->SampleCount();
    Sleep(20);
    EXPECT_EQ(pFirstSink->SampleCount(), cDelivered) << "nothing may be delivered while stopped";

    EXPECT_TRUE(FinishesWithin(kWaitMs, [&] { EXPECT_EQ(m_pControl->Stop(), S_OK); }));
    ASSERT_EQ(m_pControl->Pause(), S_OK);
    EXPECT_TRUE(pFirst->ThreadExists());
    EXPECT_TRUE(pSecond->ThreadExists());
    EXPECT_EQ(WaitForSingleObject(pSecondSink->EndOfStreamEvent(), kWaitMs), WAIT_OBJECT_0);
    EXPECT_TRUE(pFirstSink->WaitForSamples(cDelivered + 2, kWaitMs));
    EXPECT_TRUE(FinishesWithin(kWaitMs, [&] { EXPECT_EQ(m_pControl->Stop(), S_OK); }));
    EXPECT_FALSE(pFirst->ThreadExists());
    EXPECT_FALSE(pSecond->ThreadExists());
}

} // namespace
} // namespace streamingtest
