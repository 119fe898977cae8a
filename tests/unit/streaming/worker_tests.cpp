// The source pin's worker: the commands it obeys in each state, and how a delivery pass ends.
#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include "streaming_rig.h"

namespace streamingtest {
namespace {

using Worker = StreamingTest;

PatternConfig Endless()
{
    PatternConfig config;
    config.cSamples = -1;
    config.dwFillDelayMs = 1;
    return config;
}

DWORD Code(HRESULT hr)
{
    return static_cast<DWORD>(hr);
}

TEST_F(Worker, PauseStartsOneWorkerThatDeliversTheStream)
{
    CPatternStream *pStream = AddStream(PatternConfig());
    TestSink *pSink = AddSink();
    Connect(pStream, pSink);

    EXPECT_EQ(PauseAll(), S_OK);
    EXPECT_TRUE(pStream->ThreadExists());
    ASSERT_EQ(WaitForSingleObject(pSink->EndOfStreamEvent(), kWaitMs), WAIT_OBJECT_0);

    std::vector<SinkRecord> records = pSink->Records();
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records[0].kind, SinkRecord::kNewSegment);
    EXPECT_EQ(records[0].dRate, 1.0);
    for (LONG k = 0; k < 4; k++) {
        const SinkRecord &r = records[1 + k];
        ASSERT_EQ(r.kind, SinkRecord::kSample);
        EXPECT_EQ(r.timeResult, S_OK);
        EXPECT_EQ(r.tStart, k * 400000);
        EXPECT_EQ(r.tStop, (k + 1) * 400000);
        EXPECT_EQ(r.lActual, 256);
        EXPECT_EQ(r.hash, PatternHash(k, 256)) << "sample " << k;
        EXPECT_TRUE(r.bSyncPoint);
        EXPECT_EQ(r.bDiscontinuity, k == 0);
    }
    EXPECT_EQ(records[5].kind, SinkRecord::kEndOfStream);
    EXPECT_EQ(pStream->ThreadCreates(), 1);
    EXPECT_EQ(pStream->StartPlays(), 1);

    EXPECT_EQ(StopAll(), S_OK);
    EXPECT_FALSE(pStream->ThreadExists());
    EXPECT_EQ(pStream->ThreadDestroys(), 1);
    // Stopped: the allocator is decommitted.
    IMediaSample *pSample = reinterpret_cast<IMediaSample *>(0xdeadbeef);
    EXPECT_EQ(pStream->Allocator()->GetBuffer(&pSample, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
}

TEST_F(Worker, AnUnconnectedPinStartsNoWorker)
{
    CPatternStream *pConnected = AddStream(PatternConfig());
    CPatternStream *pLoose = AddStream(PatternConfig());
    TestSink *pSink = AddSink();
    Connect(pConnected, pSink);

    EXPECT_EQ(PauseAll(), S_OK);
    EXPECT_TRUE(pConnected->ThreadExists());
    EXPECT_FALSE(pLoose->ThreadExists());
    EXPECT_EQ(pLoose->ThreadCreates(), 0);
    EXPECT_EQ(pLoose->CallWorker(CSourceStream::CMD_STOP), Code(E_FAIL));
    EXPECT_EQ(StopAll(), S_OK);
    EXPECT_EQ(pLoose->Inactive(), S_OK);
}

TEST_F(Worker, ActiveOnAnActiveFilterSendsNothing)
{
    CPatternStream *pStream = AddStream(PatternConfig());
    TestSink *pSink = AddSink();
    Connect(pStream, pSink);
    ASSERT_EQ(PauseAll(), S_OK);
    ASSERT_EQ(WaitForSingleObject(pSink->EndOfStreamEvent(), kWaitMs), WAIT_OBJECT_0);

    EXPECT_EQ(pStream->Active(), S_FALSE);
    ASSERT_EQ(m_pSource->Run(0), S_OK);
    EXPECT_EQ(pStream->Active(), S_FALSE);
    EXPECT_EQ(pStream->ThreadCreates(), 1);
    EXPECT_EQ(pStream->StartPlays(), 1);
    EXPECT_EQ(pSink->SampleCount(), 4u);
}

TEST_F(Worker, CommandsWhileDeliveringAreAnsweredAndDeliveryGoesOn)
{
    CPatternStream *pStream = AddStream(Endless());
    TestSink *pSink = AddSink();
    Connect(pStream, pSink);
    ASSERT_EQ(PauseAll(), S_OK);
    ASSERT_TRUE(pSink->WaitForSamples(3, kWaitMs));

    EXPECT_EQ(pStream->CallWorker(CSourceStream::CMD_INIT), Code(E_UNEXPECTED));
    EXPECT_EQ(pStream->CallWorker(CSourceStream::CMD_EXIT), Code(E_UNEXPECTED));
    EXPECT_EQ(pStream->CallWorker(CSourceStream::CMD_RUN), Code(S_OK));
    EXPECT_EQ(pStream->CallWorker(CSourceStream::CMD_PAUSE), Code(S_OK));
    size_t cSeen = pSink->SampleCount();
    EXPECT_TRUE(pSink->WaitForSamples(cSeen + 3, kWaitMs)) << "delivery should go on";
    EXPECT_EQ(pStream->StartPlays(), 1) << "still the first pass";
    EXPECT_EQ(WaitForSingleObject(pSink->EndOfStreamEvent(), 0), WAIT_TIMEOUT);

    EXPECT_EQ(StopAll(), S_OK);
    EXPECT_FALSE(pStream->ThreadExists());
}

TEST_F(Worker, CommandsWhileIdleAfterTheEndOfTheStream)
{
    CPatternStream *pStream = AddStream(PatternConfig());
    TestSink *pSink = AddSink();
    Connect(pStream, pSink);
    ASSERT_EQ(PauseAll(), S_OK);
    ASSERT_EQ(WaitForSingleObject(pSink->EndOfStreamEvent(), kWaitMs), WAIT_OBJECT_0);

    EXPECT_EQ(pStream->CallWorker(CSourceStream::CMD_INIT), Code(E_NOTIMPL));
    EXPECT_EQ(pStream->CallWorker(77), Code(E_NOTIMPL));
    EXPECT_EQ(pStream->CallWorker(CSourceStream::CMD_STOP), Code(S_OK));
    EXPECT_EQ(pStream->ThreadDestroys(), 0);
    EXPECT_EQ(pSink->SampleCount(), 4u);
    EXPECT_EQ(StopAll(), S_OK);
    EXPECT_EQ(pStream->ThreadDestroys(), 1);
}

TEST_F(Worker, AWorkerAnswersNothingButInitBeforeItsSetUp)
{
    CPatternStream *pStream = AddStream(PatternConfig());
    ASSERT_TRUE(pStream->Create());
    EXPECT_EQ(pStream->CallWorker(CSourceStream::CMD_PAUSE), Code(E_UNEXPECTED));
    EXPECT_EQ(pStream->CallWorker(CSourceStream::CMD_EXIT), Code(E_UNEXPECTED));
    EXPECT_EQ(pStream->ThreadCreates(), 0);
    EXPECT_EQ(pStream->CallWorker(CSourceStream::CMD_INIT), Code(S_OK));
    EXPECT_EQ(pStream->ThreadCreates(), 1);
    EXPECT_EQ(pStream->CallWorker(CSourceStream::CMD_EXIT), Code(S_OK));
    pStream->Close();
    EXPECT_EQ(pStream->ThreadDestroys(), 1);
}

TEST_F(Worker, DownstreamRefusalEndsThePassQuietlyAndARestartResumes)
{
    PatternConfig config;
    config.cSamples = 5;
    CPatternStream *pStream = AddStream(config);
    TestSink *pSink = AddSink();
    pSink->SetReceiveResult(S_FALSE);
    Connect(pStream, pSink);

    ASSERT_EQ(PauseAll(), S_OK);
    ASSERT_TRUE(pSink->WaitForSamples(1, kWaitMs));
    // The worker is idle once it answers a command as an idle worker does.
    EXPECT_EQ(pStream->CallWorker(CSourceStream::CMD_INIT), Code(E_NOTIMPL));
    EXPECT_EQ(pSink->SampleCount(), 1u);
    EXPECT_EQ(WaitForSingleObject(pSink->EndOfStreamEvent(), 0), WAIT_TIMEOUT)
        << "a refused sample is no end of stream";

    pSink->SetReceiveResult(S_OK);
    EXPECT_EQ(pStream->CallWorker(CSourceStream::CMD_STOP), Code(S_OK));
    EXPECT_EQ(pStream->CallWorker(CSourceStream::CMD_RUN), Code(S_OK));
    ASSERT_EQ(WaitForSingleObject(pSink->EndOfStreamEvent(), kWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(pStream->StartPlays(), 2);

    std::vector<SinkRecord> records = pSink->Records();
    ASSERT_EQ(records.size(), 8u);
    EXPECT_EQ(records[0].kind, SinkRecord::kNewSegment);
    EXPECT_EQ(records[1].hash, PatternHash(0, 256));
    EXPECT_EQ(records[2].kind, SinkRecord::kNewSegment);
    for (LONG k = 1; k < 5; k++) {
        const SinkRecord &r = records[2 + k];
        ASSERT_EQ(r.kind, SinkRecord::kSample);
        EXPECT_EQ(r.tStart, k * 400000) << "the restart resumes with the next sample";
        EXPECT_EQ(r.hash, PatternHash(k, 256));
        EXPECT_EQ(r.bDiscontinuity, k == 1);
    }
    EXPECT_EQ(records[7].kind, SinkRecord::kEndOfStream);
}

TEST_F(Worker, ADecommittedAllocatorIsWaitedOutUntilTheStop)
{
    CPatternStream *pStream = AddStream(Endless());
    TestSink *pSink = AddSink();
    Connect(pStream, pSink);
    ASSERT_EQ(PauseAll(), S_OK);
    ASSERT_TRUE(pSink->WaitForSamples(2, kWaitMs));

    ASSERT_EQ(pStream->Allocator()->Decommit(), S_OK);
    Sleep(30); // let a sample already in the worker's hands arrive
    size_t cStalled = pSink->SampleCount();
    Sleep(100);
    EXPECT_EQ(pSink->SampleCount(), cStalled) << "no buffer, no delivery";
    EXPECT_EQ(WaitForSingleObject(pSink->EndOfStreamEvent(), 0), WAIT_TIMEOUT)
        << "a missing buffer is not the end of the stream";
    EXPECT_EQ(pStream->CallWorker(CSourceStream::CMD_PAUSE), Code(S_OK))
        << "the waiting worker still answers";

    ASSERT_EQ(pStream->Allocator()->Commit(), S_OK);
    EXPECT_TRUE(pSink->WaitForSamples(cStalled + 2, kWaitMs)) << "delivery resumes";
    EXPECT_EQ(pStream->StartPlays(), 1);

    ASSERT_EQ(pStream->Allocator()->Decommit(), S_OK);
    EXPECT_TRUE(FinishesWithin(kWaitMs, [&] { EXPECT_EQ(StopAll(), S_OK); }));
    EXPECT_FALSE(pStream->ThreadExists());
}

TEST_F(Worker, StopReleasesAWorkerWaitingForABuffer)
{
    PatternConfig config = Endless();
    config.cBuffers = 1;
    CPatternStream *pStream = AddStream(config);
    TestSink *pSink = AddSink();
    Connect(pStream, pSink);
    ASSERT_EQ(PauseAll(), S_OK);
    ASSERT_TRUE(pSink->WaitForSamples(1, kWaitMs));

    // Take the only buffer, so that the worker waits in GetBuffer.
    IMediaSample *pHeld = nullptr;
    ASSERT_TRUE(FinishesWithin(kWaitMs, [&] {
        EXPECT_EQ(pStream->Allocator()->GetBuffer(&pHeld, nullptr, nullptr, 0), S_OK);
    }));
    ASSERT_NE(pHeld, nullptr);
    size_t cSeen = pSink->SampleCount();
    Sleep(30);
    EXPECT_LE(pSink->SampleCount(), cSeen + 1) << "the worker should be out of buffers";

    EXPECT_TRUE(FinishesWithin(kWaitMs, [&] { EXPECT_EQ(StopAll(), S_OK); }))
        << "Stop must release a worker blocked in GetBuffer";
    EXPECT_FALSE(pStream->ThreadExists());
    pHeld->Release();
}

TEST_F(Worker, StopAfterTheSinkLetsGoOfABlockedReceive)
{
    PatternConfig config = Endless();
    config.dwFillDelayMs = 0;
    CPatternStream *pStream = AddStream(config);
    TestSink *pSink = AddSink();
    pSink->SetBlockReceive(true);
    Connect(pStream, pSink);
    ASSERT_EQ(PauseAll(), S_OK);
    ASSERT_EQ(WaitForSingleObject(pSink->ReceiveEnteredEvent(), kWaitMs), WAIT_OBJECT_0);

    EXPECT_TRUE(FinishesWithin(kWaitMs, [&] { EXPECT_EQ(StopAll(), S_OK); }));
    EXPECT_FALSE(pStream->ThreadExists());
    EXPECT_EQ(pSink->SampleCount(), 1u);
}

} // namespace
} // namespace streamingtest
