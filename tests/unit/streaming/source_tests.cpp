// The source filter's pin list as a host sees it: enumeration, FindPin and pin identifiers,
// and the one media type each source pin offers.
#include <windows.h>
#include <dshow.h>

#include <string>

#include <gtest/gtest.h>

#include "streaming_rig.h"

namespace streamingtest {
namespace {

using SourcePins = StreamingTest;

TEST_F(SourcePins, EnumPinsHandsOutEachPinOnceInListOrder)
{
    CPatternStream *apStream[3] = {AddStream(PatternConfig()), AddStream(PatternConfig()),
                                   AddStream(PatternConfig())};
    ASSERT_EQ(m_pSource->GetPinCount(), 3);

    IEnumPins *pEnum = nullptr;
    ASSERT_EQ(m_pSource->Filter()->EnumPins(&pEnum), S_OK);
    IPin *apPin[4] = {};
    ULONG cFetched = 99;
    EXPECT_EQ(pEnum->Next(4, apPin, &cFetched), S_FALSE);
    ASSERT_EQ(cFetched, 3u);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(apPin[i], static_cast<IPin *>(apStream[i]));
        apPin[i]->Release();
    }
    cFetched = 99;
    EXPECT_EQ(pEnum->Next(1, apPin, &cFetched), S_FALSE);
    EXPECT_EQ(cFetched, 0u);
    EXPECT_EQ(pEnum->Release(), 0u);
}

TEST_F(SourcePins, FindPinParsesTheIdentifierAsANumber)
{
    CPatternStream *pFirst = AddStream(PatternConfig());
    CPatternStream *pSecond = AddStream(PatternConfig());
    IBaseFilter *pFilter = m_pSource->Filter();
    ULONG cRef = RefCount(pFilter);

    IPin *pPin = reinterpret_cast<IPin *>(0xdeadbeef);
    EXPECT_EQ(pFilter->FindPin(L"1", &pPin), S_OK);
    EXPECT_EQ(pPin, static_cast<IPin *>(pFirst));
    EXPECT_EQ(RefCount(pFilter), cRef + 1) << "the pin is handed out with a reference";
    pPin->Release();

    pPin = reinterpret_cast<IPin *>(0xdeadbeef);
    EXPECT_EQ(pFilter->FindPin(L" 2", &pPin), S_OK);
    EXPECT_EQ(pPin, static_cast<IPin *>(pSecond));
    pPin->Release();

    for (const wchar_t *pszId : {L"0", L"abc", L"3", L"-1", L""}) {
        pPin = reinterpret_cast<IPin *>(0xdeadbeef);
        EXPECT_EQ(pFilter->FindPin(pszId, &pPin), VFW_E_NOT_FOUND) << "id \"" << pszId << '"';
        EXPECT_EQ(pPin, nullptr);
    }
    EXPECT_EQ(pFilter->FindPin(L"1", nullptr), E_POINTER);
    pPin = reinterpret_cast<IPin *>(0xdeadbeef);
    EXPECT_EQ(pFilter->FindPin(nullptr, &pPin), E_POINTER);
    EXPECT_EQ(pPin, nullptr);
    EXPECT_EQ(RefCount(pFilter), cRef);
}

TEST_F(SourcePins, QueryIdGivesThePositionAndFindPinTakesItBack)
{
    AddStream(PatternConfig());
    CPatternStream *pSecond = AddStream(PatternConfig());

    LPWSTR pszId = reinterpret_cast<LPWSTR>(0xdeadbeef);
    ASSERT_EQ(pSecond->QueryId(&pszId), S_OK);
    EXPECT_EQ(std::wstring(pszId), L"2");
    IPin *pPin = nullptr;
    EXPECT_EQ(m_pSource->Filter()->FindPin(pszId, &pPin), S_OK);
    EXPECT_EQ(pPin, static_cast<IPin *>(pSecond));
    pPin->Release();
    CoTaskMemFree(pszId);
    EXPECT_EQ(pSecond->QueryId(nullptr), E_POINTER);
}

TEST_F(SourcePins, QueryIdOfAPinBeyond999HoldsAllItsDigits)
{
    CPatternStream *pLast = nullptr;
    for (int i = 0; i < 1000; i++)
        pLast = AddStream(PatternConfig());
    ASSERT_EQ(m_pSource->GetPinCount(), 1000);
    LPWSTR pszId = nullptr;
    ASSERT_EQ(pLast->QueryId(&pszId), S_OK);
    EXPECT_EQ(std::wstring(pszId), L"1000");
    IMalloc *pMalloc = nullptr;
    ASSERT_EQ(CoGetMalloc(1, &pMalloc), S_OK);
    EXPECT_GE(pMalloc->GetSize(pszId), sizeof(L"1000")) << "the identifier overran its buffer";
    pMalloc->Release();
    CoTaskMemFree(pszId);
}

TEST_F(SourcePins, DestroyingAPinTakesItOutOfTheList)
{
    AddStream(PatternConfig());
    CPatternStream *pSecond = AddStream(PatternConfig());
    CPatternStream *pThird = AddStream(PatternConfig());
    delete pSecond;
    ASSERT_EQ(m_pSource->GetPinCount(), 2);
    EXPECT_EQ(m_pSource->GetPin(1), static_cast<CBasePin *>(pThird));
    EXPECT_EQ(m_pSource->GetPin(2), nullptr);
    EXPECT_EQ(m_pSource->FindPinNumber(pThird), 1);
    EXPECT_EQ(m_pSource->RemovePin(pSecond), S_FALSE) << "already gone";
    LPWSTR pszId = nullptr;
    ASSERT_EQ(pThird->QueryId(&pszId), S_OK);
    EXPECT_EQ(std::wstring(pszId), L"2");
    CoTaskMemFree(pszId);
}

TEST_F(SourcePins, DestroyingAConnectedPinReleasesItsPeerAndTransport)
{
    CPatternStream *pStream = AddStream(PatternConfig());
    TestSink *pSink = AddSink();
    Connect(pStream, pSink);
    IMemAllocator *pAlloc = pStream->Allocator();
    pAlloc->AddRef();
    // The sink lets go first, as when its filter is taken out of a graph.
    ASSERT_EQ(pSink->Pin()->Disconnect(), S_OK);
    ASSERT_GT(pSink->RefCount(), 1u);

    delete pStream;
    EXPECT_EQ(pSink->RefCount(), 1u) << "the pin's references on the sink must go with it";
    EXPECT_EQ(pAlloc->Release(), 0u) << "and so must its allocator";
}

TEST_F(SourcePins, OfferExactlyOneMediaType)
{
    PatternConfig config;
    CPatternStream *pStream = AddStream(config);

    CMediaType mt;
    EXPECT_EQ(pStream->GetMediaType(0, &mt), S_OK);
    EXPECT_TRUE(mt == config.mediaType);
    EXPECT_EQ(pStream->GetMediaType(1, &mt), VFW_S_NO_MORE_ITEMS);
    EXPECT_EQ(pStream->GetMediaType(-1, &mt), E_INVALIDARG);

    EXPECT_EQ(pStream->CheckMediaType(&config.mediaType), S_OK);
    CMediaType other(config.mediaType);
    other.SetSubtype(&MEDIASUBTYPE_RGB24);
    EXPECT_EQ(pStream->CheckMediaType(&other), E_FAIL);
    EXPECT_EQ(pStream->QueryAccept(&other), S_FALSE);

    IEnumMediaTypes *pEnum = nullptr;
    ASSERT_EQ(pStream->EnumMediaTypes(&pEnum), S_OK);
    AM_MEDIA_TYPE *apmt[2] = {};
    ULONG cFetched = 99;
    EXPECT_EQ(pEnum->Next(2, apmt, &cFetched), S_FALSE);
    ASSERT_EQ(cFetched, 1u);
    EXPECT_TRUE(CMediaType(*apmt[0]) == config.mediaType);
    DeleteMediaType(apmt[0]);
    EXPECT_EQ(pEnum->Release(), 0u);
}

TEST_F(SourcePins, OutputPinsRefuseStreamCallsFromUpstream)
{
    CPatternStream *pStream = AddStream(PatternConfig());
    EXPECT_EQ(pStream->EndOfStream(), E_UNEXPECTED);
    EXPECT_EQ(pStream->BeginFlush(), E_UNEXPECTED);
    EXPECT_EQ(pStream->EndFlush(), E_UNEXPECTED);
    EXPECT_EQ(pStream->DeliverEndOfStream(), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(pStream->DeliverNewSegment(0, 1, 1.0), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(pStream->Deliver(nullptr), VFW_E_NOT_CONNECTED);
    IMediaSample *pSample = reinterpret_cast<IMediaSample *>(0xdeadbeef);
    EXPECT_EQ(pStream->GetDeliveryBuffer(&pSample, nullptr, nullptr, 0), E_NOINTERFACE);
}

} // namespace
} // namespace streamingtest
