// Allocator negotiation at connection: the downstream pin's allocator first, else our own
// memory allocator; the properties offered to DecideBufferSize; refusals.
#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include "streaming_rig.h"

namespace streamingtest {
namespace {

using Allocator = StreamingTest;

TEST_F(Allocator, TheSinksOwnAllocatorIsTakenFirst)
{
    CPatternStream *pStream = AddStream(PatternConfig());
    TestSink *pSink = AddSink();
    pSink->SetAllocator(testsupport::SinkAllocator::kOwn);
    Connect(pStream, pSink);

    ASSERT_NE(pStream->Allocator(), nullptr);
    EXPECT_TRUE(pSink->NotifiedOwnAllocator());
    EXPECT_EQ(pSink->NotifiedAllocator(), pStream->Allocator());
    EXPECT_EQ(pSink->NotifiedReadOnly(), FALSE);
    ALLOCATOR_PROPERTIES props = pSink->NotifiedProperties();
    EXPECT_EQ(props.cBuffers, 2);
    EXPECT_EQ(props.cbBuffer, 256);
}

TEST_F(Allocator, WithoutOneFromTheSinkThePinMakesAMemoryAllocator)
{
    CPatternStream *pStream = AddStream(PatternConfig());
    TestSink *pSink = AddSink();
    Connect(pStream, pSink);

    IMemAllocator *pAlloc = pStream->Allocator();
    ASSERT_NE(pAlloc, nullptr);
    EXPECT_EQ(pSink->NotifiedAllocator(), pAlloc);
    EXPECT_FALSE(pSink->NotifiedOwnAllocator());
    EXPECT_EQ(RefCount(pAlloc), 2u) << "held by the pin and by the sink it was notified to";
    ALLOCATOR_PROPERTIES props = {};
    ASSERT_EQ(pAlloc->GetProperties(&props), S_OK);
    EXPECT_EQ(props.cBuffers, 2);
    EXPECT_EQ(props.cbBuffer, 256);
    EXPECT_EQ(props.cbAlign, 1);
}

TEST_F(Allocator, AnAllocatorThatRefusesTheSizeFallsBackToOurOwn)
{
    CPatternStream *pStream = AddStream(PatternConfig());
    TestSink *pSink = AddSink();
    // Committed already, so it refuses SetProperties.
    pSink->SetAllocator(testsupport::SinkAllocator::kCommitted);
    Connect(pStream, pSink);

    ASSERT_NE(pStream->Allocator(), nullptr);
    EXPECT_FALSE(pSink->NotifiedOwnAllocator());
    EXPECT_EQ(pSink->NotifiedAllocator(), pStream->Allocator());
    EXPECT_EQ(pSink->NotifiedProperties().cbBuffer, 256);
}

TEST_F(Allocator, AlignmentIsRaisedToOneWhenTheSinkStatesNoRequirements)
{
    CPatternStream *pStream = AddStream(PatternConfig());
    TestSink *pSink = AddSink();
    Connect(pStream, pSink);
    ALLOCATOR_PROPERTIES offered = pStream->OfferedProperties();
    EXPECT_EQ(offered.cBuffers, 0);
    EXPECT_EQ(offered.cbBuffer, 0);
    EXPECT_EQ(offered.cbAlign, 1);
    EXPECT_EQ(offered.cbPrefix, 0);
}

TEST_F(Allocator, TheSinksRequirementsReachDecideBufferSize)
{
    CPatternStream *pFirst = AddStream(PatternConfig());
    CPatternStream *pSecond = AddStream(PatternConfig());
    TestSink *pZeroAlign = AddSink();
    TestSink *pAligned = AddSink();
    ALLOCATOR_PROPERTIES req = {5, 1000, 0, 16};
    pZeroAlign->SetRequirements(&req);
    req.cbAlign = 32;
    pAligned->SetRequirements(&req);
    Connect(pFirst, pZeroAlign);
    Connect(pSecond, pAligned);

    ALLOCATOR_PROPERTIES offered = pFirst->OfferedProperties();
    EXPECT_EQ(offered.cBuffers, 5);
    EXPECT_EQ(offered.cbBuffer, 1000);
    EXPECT_EQ(offered.cbAlign, 1);
    EXPECT_EQ(offered.cbPrefix, 16);
    EXPECT_EQ(pSecond->OfferedProperties().cbAlign, 32);
    EXPECT_EQ(pAligned->NotifiedProperties().cBuffers, 5);
    EXPECT_EQ(pAligned->NotifiedProperties().cbBuffer, 1000);
}

TEST_F(Allocator, ARefusedBufferLayoutFailsTheConnection)
{
    PatternConfig config;
    config.cbAlign = 0; // the memory allocator refuses it
    CPatternStream *pStream = AddStream(config);
    TestSink *pSink = AddSink();
    pSink->SetAllocator(testsupport::SinkAllocator::kOwn);
    ULONG cSinkRef = pSink->RefCount();

    EXPECT_EQ(pStream->Connect(pSink->Pin(), nullptr), VFW_E_BADALIGN);
    EXPECT_EQ(pStream->Allocator(), nullptr);
    EXPECT_FALSE(pStream->IsConnected());
    IPin *pPeer = reinterpret_cast<IPin *>(0xdeadbeef);
    EXPECT_EQ(pSink->Pin()->ConnectedTo(&pPeer), VFW_E_NOT_CONNECTED)
        << "the sink's half of the connection must be undone";
    EXPECT_EQ(pPeer, nullptr);
    EXPECT_EQ(pSink->RefCount(), cSinkRef) << "no reference on the sink may remain";
}

TEST_F(Allocator, AnInputPinWithoutTransportIsRefusedBeforeItIsAsked)
{
    CPatternStream *pStream = AddStream(PatternConfig());
    TestSink *pSink = AddSink();
    pSink->SetOfferTransport(false);
    EXPECT_EQ(pStream->Connect(pSink->Pin(), nullptr), E_NOINTERFACE);
    EXPECT_FALSE(pStream->IsConnected());
    EXPECT_FALSE(pSink->IsConnected()) << "refused before ReceiveConnection";
    EXPECT_EQ(pStream->Allocator(), nullptr);
    EXPECT_EQ(pSink->RefCount(), 1u);
}

} // namespace
} // namespace streamingtest
