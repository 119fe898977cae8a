// The test sink's own order checks, which every streaming test relies on.
#include <windows.h>
#include <dshow.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "streaming_rig.h"

namespace streamingtest {
namespace {

class SinkOrder : public testing::Test {
protected:
    void SetUp() override
    {
        m_pSink = TestSink::Create();
        ASSERT_NE(m_pSink, nullptr);
        ASSERT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IMemAllocator, reinterpret_cast<void **>(&m_pAlloc)),
                  S_OK);
        ALLOCATOR_PROPERTIES want = {1, 16, 1, 0}, got = {};
        ASSERT_EQ(m_pAlloc->SetProperties(&want, &got), S_OK);
        ASSERT_EQ(m_pAlloc->Commit(), S_OK);
        ASSERT_EQ(m_pAlloc->GetBuffer(&m_pSample, nullptr, nullptr, 0), S_OK);
        m_pSample->SetActualDataLength(4);
        m_pInput = m_pSink->MemInputPin();
    }
    void TearDown() override
    {
        if (m_pSample)
            m_pSample->Release();
        if (m_pAlloc) {
            m_pAlloc->Decommit();
            EXPECT_EQ(m_pAlloc->Release(), 0u);
        }
        if (m_pSink) {
            EXPECT_EQ(m_pSink->Release(), 0u);
        }
    }

    TestSink *m_pSink = nullptr;
    IMemAllocator *m_pAlloc = nullptr;
    IMediaSample *m_pSample = nullptr;
    IMemInputPin *m_pInput = nullptr;
};

TEST_F(SinkOrder, RefusesSamplesWhileStoppedWithoutCallingItAViolation)
{
    EXPECT_EQ(m_pInput->Receive(m_pSample), VFW_E_WRONG_STATE);
    EXPECT_EQ(m_pSink->WrongStateReceives(), 1);
    EXPECT_EQ(m_pSink->SampleCount(), 0u);
    EXPECT_TRUE(m_pSink->Violations().empty());
}

TEST_F(SinkOrder, FlagsSamplesBeforeNewSegmentAndAfterEndOfStream)
{
    IPin *pPin = m_pSink->Pin();
    ASSERT_EQ(m_pSink->Pause(), S_OK);

    EXPECT_EQ(m_pInput->Receive(m_pSample), S_OK);
    EXPECT_EQ(m_pSink->Violations(), std::vector<std::string>{"Receive before NewSegment"});

    m_pSink->ClearRecords();
    EXPECT_EQ(pPin->NewSegment(0, 100, 1.0), S_OK);
    EXPECT_EQ(m_pInput->Receive(m_pSample), S_OK);
    EXPECT_EQ(pPin->EndOfStream(), S_OK);
    EXPECT_TRUE(m_pSink->Violations().empty());
    EXPECT_EQ(WaitForSingleObject(m_pSink->EndOfStreamEvent(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(m_pInput->Receive(m_pSample), S_OK);
    EXPECT_EQ(m_pSink->Violations(), std::vector<std::string>{"sample after EndOfStream"});

    // A flush ends the stream: a new segment may follow.
    m_pSink->ClearRecords();
    EXPECT_EQ(pPin->BeginFlush(), S_OK);
    EXPECT_EQ(m_pInput->Receive(m_pSample), S_FALSE) << "flushing sinks refuse samples";
    EXPECT_EQ(pPin->EndFlush(), S_OK);
    EXPECT_EQ(WaitForSingleObject(m_pSink->EndOfStreamEvent(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(pPin->NewSegment(0, 100, 1.0), S_OK);
    EXPECT_EQ(m_pInput->Receive(m_pSample), S_OK);
    EXPECT_TRUE(m_pSink->Violations().empty());
    EXPECT_EQ(pPin->EndFlush(), S_OK);
    EXPECT_EQ(m_pSink->Violations(), std::vector<std::string>{"EndFlush without BeginFlush"});

    std::vector<SinkRecord> records = m_pSink->Records();
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0].kind, SinkRecord::kBeginFlush);
    EXPECT_EQ(records[1].kind, SinkRecord::kEndFlush);
    EXPECT_EQ(records[2].kind, SinkRecord::kNewSegment);
    EXPECT_EQ(records[2].tStop, 100);
    EXPECT_EQ(records[3].kind, SinkRecord::kSample);
    EXPECT_EQ(records[3].lActual, 4);
    EXPECT_EQ(records[4].kind, SinkRecord::kEndFlush);
    m_pSink->ClearRecords();
    EXPECT_EQ(m_pSink->Stop(), S_OK);
}

TEST_F(SinkOrder, StopReleasesABlockedReceive)
{
    IPin *pPin = m_pSink->Pin();
    ASSERT_EQ(m_pSink->Pause(), S_OK);
    ASSERT_EQ(pPin->NewSegment(0, 100, 1.0), S_OK);
    m_pSink->SetBlockReceive(true);
    m_pSink->SetReceiveResult(S_FALSE);

    HRESULT hr = E_FAIL;
    BackgroundCall receive([&] { hr = m_pInput->Receive(m_pSample); });
    ASSERT_TRUE(receive.Started());
    EXPECT_EQ(WaitForSingleObject(m_pSink->ReceiveEnteredEvent(), kWaitMs), WAIT_OBJECT_0);
    EXPECT_FALSE(receive.Wait(50)) << "Receive should be held";
    EXPECT_EQ(m_pSink->Stop(), S_OK);
    ASSERT_TRUE(receive.Wait(kWaitMs)) << "Stop did not release Receive";
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(m_pSink->SampleCount(), 1u);
    EXPECT_TRUE(m_pSink->Violations().empty());
}

} // namespace
} // namespace streamingtest
