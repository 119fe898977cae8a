// The video pin's one media type, its buffer negotiation and its information interface.
#include "pins_rig.h"

#include <cstring>

#include <amvideo.h>
#include <uuids.h>

#include "framework/mediatype.h"

namespace pinstest {
namespace {

class VideoMediaTypeTest : public PinsTest {
protected:
    // Loads a one-track movie and returns its pin's type at position 0.
    CMediaType TypeOf(SInt16 width, SInt16 height, int nScreenBits, TimeScale scale = 600,
                      TimeValue duration = 6000, long samples = 300)
    {
        Load(VideoMovie(width, height, scale, duration, samples), nScreenBits);
        CMediaType mt;
        CMovieVideoPin *pPin = VideoPin(0);
        EXPECT_NE(pPin, nullptr);
        if (pPin) {
            EXPECT_EQ(pPin->GetMediaType(0, &mt), S_OK);
        }
        return mt;
    }

    static const VIDEOINFOHEADER &Header(const CMediaType &mt)
    {
        return *reinterpret_cast<const VIDEOINFOHEADER *>(mt.Format());
    }
};

TEST_F(VideoMediaTypeTest, Rgb32FrameOf320By240)
{
    const CMediaType mt = TypeOf(320, 240, 32);
    EXPECT_TRUE(IsEqualGUID(mt.majortype, MEDIATYPE_Video));
    EXPECT_TRUE(IsEqualGUID(mt.subtype, MEDIASUBTYPE_RGB32));
    EXPECT_TRUE(IsEqualGUID(mt.formattype, FORMAT_VideoInfo));
    EXPECT_TRUE(mt.bFixedSizeSamples);
    EXPECT_FALSE(mt.bTemporalCompression);
    EXPECT_EQ(mt.lSampleSize, 307200u);
    ASSERT_EQ(mt.cbFormat, 1128u);

    const VIDEOINFOHEADER &vih = Header(mt);
    EXPECT_EQ(vih.bmiHeader.biSize, 40u);
    EXPECT_EQ(vih.bmiHeader.biWidth, 320);
    EXPECT_EQ(vih.bmiHeader.biHeight, -240);
    EXPECT_EQ(vih.bmiHeader.biPlanes, 1);
    EXPECT_EQ(vih.bmiHeader.biBitCount, 32);
    EXPECT_EQ(vih.bmiHeader.biCompression, DWORD(BI_RGB));
    EXPECT_EQ(vih.bmiHeader.biSizeImage, 307200u);
    EXPECT_EQ(vih.AvgTimePerFrame, 333333);  // 30 frames per second
    EXPECT_TRUE(IsRectEmpty(&vih.rcSource));
    EXPECT_TRUE(IsRectEmpty(&vih.rcTarget));
    EXPECT_EQ(vih.dwBitRate, 0u);
    // Everything after the header, the colour table and masks included, is zero.
    const BYTE *p = mt.Format() + sizeof(VIDEOINFOHEADER);
    for (ULONG i = sizeof(VIDEOINFOHEADER); i < mt.cbFormat; ++i, ++p)
        ASSERT_EQ(*p, 0) << "byte " << i;
}

TEST_F(VideoMediaTypeTest, RowsArePaddedToFourBytes)
{
    const CMediaType mt = TypeOf(321, 10, 24);
    EXPECT_TRUE(IsEqualGUID(mt.subtype, MEDIASUBTYPE_RGB24));
    EXPECT_EQ(Header(mt).bmiHeader.biSizeImage, 964u * 10);
    EXPECT_EQ(mt.lSampleSize, 964u * 10);
}

TEST_F(VideoMediaTypeTest, ScreensBelowSixteenBitsGiveRgb555)
{
    const CMediaType mt = TypeOf(64, 48, 8);
    EXPECT_TRUE(IsEqualGUID(mt.subtype, MEDIASUBTYPE_RGB555));
    EXPECT_EQ(Header(mt).bmiHeader.biBitCount, 16);
    EXPECT_EQ(Header(mt).bmiHeader.biCompression, DWORD(BI_RGB));
    EXPECT_EQ(Header(mt).bmiHeader.biSizeImage, 64u * 2 * 48);
}

TEST_F(VideoMediaTypeTest, AverageFrameTimeFollowsTheFrameRate)
{
    // 30000/1001 frames per second: 300 frames over 10.01 s at 30000 units per second;
    // 333,666.67 rounds to the nearest 100 ns.
    CMediaType mt = TypeOf(16, 16, 32, 30000, 300300, 300);
    EXPECT_EQ(Header(mt).AvgTimePerFrame, 333667);

    IMovieVideoInfo *pInfo = nullptr;
    ASSERT_EQ(VideoPin(0)->QueryInterface(IID_IMovieVideoInfo, reinterpret_cast<void **>(&pInfo)),
              S_OK);
    LONG lFps = -1;
    EXPECT_EQ(pInfo->GetFramesPerSecond(&lFps), S_OK);
    EXPECT_EQ(lFps, 29);
    DWORD dwCode = 0xdeadbeef;
    EXPECT_EQ(pInfo->GetSourceFormat(&dwCode), S_OK);
    EXPECT_EQ(dwCode, QTFourCC("raw "));
    dwCode = 0xdeadbeef;
    EXPECT_EQ(pInfo->GetOutputFormat(&dwCode), S_OK);
    EXPECT_EQ(dwCode, QTFourCC("raw "));
    EXPECT_EQ(pInfo->GetFramesPerSecond(nullptr), E_POINTER);
    pInfo->Release();
}

TEST_F(VideoMediaTypeTest, TwentyFiveFramesPerSecond)
{
    const CMediaType mt = TypeOf(16, 16, 32, 600, 6000, 250);
    EXPECT_EQ(Header(mt).AvgTimePerFrame, 400000);
}

TEST_F(VideoMediaTypeTest, OneTypeOnly)
{
    Load(VideoMovie(32, 32, 600, 6000, 300));
    CMovieVideoPin *pPin = VideoPin(0);
    ASSERT_NE(pPin, nullptr);
    CMediaType mt;
    EXPECT_EQ(pPin->GetMediaType(1, &mt), VFW_S_NO_MORE_ITEMS);
    EXPECT_EQ(pPin->GetMediaType(-1, &mt), E_INVALIDARG);
    EXPECT_EQ(mt.cbFormat, 0u) << "a refused position filled the type";

    ASSERT_EQ(pPin->GetMediaType(0, &mt), S_OK);
    EXPECT_EQ(pPin->CheckMediaType(&mt), S_OK);
    reinterpret_cast<VIDEOINFOHEADER *>(mt.Format())->rcTarget = {0, 0, 32, 32};
    EXPECT_EQ(pPin->CheckMediaType(&mt), E_FAIL);
}

TEST_F(VideoMediaTypeTest, InterfacesOfTheVideoPin)
{
    Load(VideoMovie(32, 32, 600, 6000, 300));
    CMovieVideoPin *pPin = VideoPin(0);
    ASSERT_NE(pPin, nullptr);
    const ULONG cBefore = RefCount(static_cast<IBaseFilter *>(m_pFilter));
    for (const IID *piid : {&IID_IMovieVideoInfo, &IID_IMovieStreamInfo, &IID_IMediaSeeking,
                            &IID_IPin, &IID_IQualityControl}) {
        IUnknown *p = reinterpret_cast<IUnknown *>(0xdeadbeef);
        ASSERT_EQ(pPin->QueryInterface(*piid, reinterpret_cast<void **>(&p)), S_OK);
        EXPECT_EQ(RefCount(static_cast<IBaseFilter *>(m_pFilter)), cBefore + 1) << "pins count on their filter";
        // Every interface answers for the same object.
        IUnknown *pPinUnknown = nullptr;
        p->QueryInterface(IID_IPin, reinterpret_cast<void **>(&pPinUnknown));
        EXPECT_EQ(pPinUnknown, static_cast<IPin *>(pPin));
        pPinUnknown->Release();
        p->Release();
    }
    EXPECT_EQ(pPin->NonDelegatingQueryInterface(IID_IMovieVideoInfo, nullptr), E_POINTER);
    EXPECT_EQ(pPin->NonDelegatingQueryInterface(IID_IMediaSeeking, nullptr), E_POINTER);
    EXPECT_EQ(RefCount(static_cast<IBaseFilter *>(m_pFilter)), cBefore);

    double dRate = -1;
    EXPECT_EQ(pPin->GetFrameRate(&dRate), S_OK);
    EXPECT_EQ(dRate, 30.0);
}

// The rate is the track's own: 250 frames over its media's 10 s, however long the movie (its
// sound may go on for 20 s).
TEST_F(VideoMediaTypeTest, FrameRateIsTheTracksNotTheMovies)
{
    Load(VideoMovie(16, 16, 600, 12000, 250, 12800, 128000));
    CMovieVideoPin *pPin = VideoPin(0);
    ASSERT_NE(pPin, nullptr);
    CMediaType mt;
    ASSERT_EQ(pPin->GetMediaType(0, &mt), S_OK);
    EXPECT_EQ(Header(mt).AvgTimePerFrame, 400000);
    double dRate = 0;
    EXPECT_EQ(pPin->GetFrameRate(&dRate), S_OK);
    EXPECT_EQ(dRate, 25.0);
}

// A track without samples has no frame rate (nothing divides by it) and shows no frame: the
// stream ends at once.
TEST_F(VideoMediaTypeTest, NoFrameRate)
{
    Load(VideoMovie(8, 8, 600, 6000, 0));
    ASSERT_EQ(m_pFilter->GetPinCount(), 0) << "the filter serves no such track";
    HRESULT hr = E_FAIL;
    CMovieVideoPin *pPin = new CMovieVideoPin(&hr, m_pFilter, L"still", m_pFilter->m_movie, 1, 8,
                                              8, 32, QTFourCC("raw "));
    ASSERT_EQ(hr, S_OK);
    CMediaType mt;
    ASSERT_EQ(pPin->GetMediaType(0, &mt), S_OK);
    EXPECT_EQ(Header(mt).AvgTimePerFrame, 0);
    double dRate = -1;
    EXPECT_EQ(pPin->GetFrameRate(&dRate), S_OK);
    EXPECT_EQ(dRate, 0.0);

    ASSERT_EQ(pPin->OnThreadCreate(), S_OK);
    TestSample sample(8 * 8 * 4);
    EXPECT_EQ(pPin->FillBuffer(&sample), S_FALSE);
    EXPECT_FALSE(sample.bTimeSet);
    delete pPin;
}

// Three buffers of one frame are asked for; an allocator that grants less is refused.
TEST_F(VideoMediaTypeTest, BuffersOfOneFrame)
{
    Load(VideoMovie(320, 240, 600, 6000, 300));
    CMovieVideoPin *pPin = VideoPin(0);
    ASSERT_NE(pPin, nullptr);
    TestSink *pSink = ConnectToSink(pPin);
    ASSERT_NE(pSink, nullptr);
    const ALLOCATOR_PROPERTIES props = pSink->NotifiedProperties();
    EXPECT_EQ(props.cBuffers, 3);
    EXPECT_EQ(props.cbBuffer, 307200);

    IMemAllocator *pInner = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IMemAllocator, reinterpret_cast<void **>(&pInner)),
              S_OK);
    ShortAllocator shortBy1(pInner, 1);
    ALLOCATOR_PROPERTIES request = {1, 1, 1, 0};
    EXPECT_EQ(pPin->DecideBufferSize(&shortBy1, &request), E_FAIL);
    EXPECT_EQ(shortBy1.lastRequest.cBuffers, 3);
    EXPECT_EQ(shortBy1.lastRequest.cbBuffer, 307200);
    EXPECT_EQ(shortBy1.lastRequest.cbAlign, 1) << "alignment is the caller's";

    ShortAllocator exact(pInner, 0);
    request = {1, 1, 1, 0};
    EXPECT_EQ(pPin->DecideBufferSize(&exact, &request), S_OK);
    EXPECT_EQ(pInner->Release(), 0u);
}

// A sink whose allocator cannot take the properties gets the pin's own allocator instead.
TEST_F(VideoMediaTypeTest, RefusedAllocatorFallsBackToOurs)
{
    Load(VideoMovie(64, 48, 600, 6000, 300));
    CMovieVideoPin *pPin = VideoPin(0);
    ASSERT_NE(pPin, nullptr);
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void **>(&m_pGraph)),
              S_OK);
    ASSERT_EQ(m_pGraph->AddFilter(m_pFilter, L"movie"), S_OK);
    TestSink *pSink = TestSink::Create();
    ASSERT_NE(pSink, nullptr);
    m_sinks.push_back(pSink);
    pSink->AcceptMajorType(MEDIATYPE_Video);
    pSink->SetAllocator(testsupport::SinkAllocator::kCommitted);
    ASSERT_EQ(m_pGraph->AddFilter(pSink->Filter(), L"sink"), S_OK);
    ASSERT_EQ(m_pGraph->ConnectDirect(pPin, pSink->Pin(), nullptr), S_OK);
    EXPECT_FALSE(pSink->NotifiedOwnAllocator());
    EXPECT_EQ(pSink->NotifiedProperties().cbBuffer, 64 * 4 * 48);
}

}  // namespace
}  // namespace pinstest
