// The audio pin in Wine's filter graph, connected to the test sink: buffer negotiation, time
// stamps and flags of a whole pass, and the rate of a connection.
#include <windows.h>
#include <mmreg.h>

#include "audio_harness.h"
#include "test_sink.h"

using namespace audiotest;
using fakeqt::TrackModel;

namespace {

// An allocator that grants a fixed buffer size, whatever it is asked.
class GrantingAllocator : public IMemAllocator {
public:
    explicit GrantingAllocator(long cbGranted) : m_cbGranted(cbGranted) {}
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IMemAllocator) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(++m_cRef); }
    STDMETHODIMP_(ULONG) Release() override { return ULONG(--m_cRef); }
    STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES *pRequest, ALLOCATOR_PROPERTIES *pActual) override
    {
        m_requested = *pRequest;
        *pActual = *pRequest;
        pActual->cbBuffer = m_cbGranted;
        return S_OK;
    }
    STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES *) override { return E_NOTIMPL; }
    STDMETHODIMP Commit() override { return E_NOTIMPL; }
    STDMETHODIMP Decommit() override { return E_NOTIMPL; }
    STDMETHODIMP GetBuffer(IMediaSample **, REFERENCE_TIME *, REFERENCE_TIME *, DWORD) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP ReleaseBuffer(IMediaSample *) override { return E_NOTIMPL; }

    long m_cRef = 1;
    long m_cbGranted;
    ALLOCATOR_PROPERTIES m_requested = {};
};

class AudioGraphTest : public AudioPinTest {
protected:
    void TearDown() override
    {
        if (m_pControl) {
            m_pControl->Stop();
            m_pControl->Release();
            m_pControl = nullptr;
        }
        if (m_pGraph) {
            EXPECT_EQ(m_pGraph->Release(), 0u);
            m_pGraph = nullptr;
        }
        if (m_pSink) {
            EXPECT_EQ(m_pSink->Release(), 0u);
            m_pSink = nullptr;
        }
        AudioPinTest::TearDown();
    }

    void Connect()
    {
        m_pSink = testsupport::TestSink::Create();
        ASSERT_NE(m_pSink, nullptr);
        m_pSink->AcceptMajorType(MEDIATYPE_Audio);
        m_pSink->SetAllocator(testsupport::SinkAllocator::kOwn);
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                   reinterpret_cast<void **>(&m_pGraph)),
                  S_OK);
        ASSERT_EQ(m_pGraph->AddFilter(m_pFilter, L"source"), S_OK);
        ASSERT_EQ(m_pGraph->AddFilter(m_pSink->Filter(), L"sink"), S_OK);
        ASSERT_EQ(m_pGraph->ConnectDirect(m_pPin, m_pSink->Pin(), nullptr), S_OK);
        ASSERT_EQ(m_pGraph->QueryInterface(IID_IMediaControl, reinterpret_cast<void **>(&m_pControl)), S_OK);
    }

    void RunToTheEnd()
    {
        ASSERT_TRUE(SUCCEEDED(m_pControl->Run()));
        ASSERT_EQ(WaitForSingleObject(m_pSink->EndOfStreamEvent(), 10000), WAIT_OBJECT_0)
            << "no end of stream";
        EXPECT_EQ(m_pControl->Stop(), S_OK);
    }

    IGraphBuilder *m_pGraph = nullptr;
    IMediaControl *m_pControl = nullptr;
    testsupport::TestSink *m_pSink = nullptr;
};

}  // namespace

TEST_F(AudioGraphTest, DeliversAPassWithContiguousStamps)
{
    // Two and a half seconds at 44,100 Hz stereo on the per-track path.
    ASSERT_TRUE(Open(SoundMovie(TrackModel::Sound(2, 44100, 16, QTFourCC("twos"), 44100, 110250), 1500),
                     kQuickTime704));
    ASSERT_NO_FATAL_FAILURE(Connect());
    const ALLOCATOR_PROPERTIES props = m_pSink->NotifiedProperties();
    EXPECT_EQ(props.cBuffers, 1);
    EXPECT_EQ(props.cbBuffer, 352800);

    ASSERT_NO_FATAL_FAILURE(RunToTheEnd());
    const std::vector<testsupport::SinkRecord> samples = m_pSink->Samples();
    ASSERT_EQ(samples.size(), 3u);
    const long lengths[] = {176400, 176400, 88200};
    const REFERENCE_TIME stamps[] = {0, 10000000, 20000000, 25000000};
    for (size_t i = 0; i < samples.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(samples[i].lActual, lengths[i]);
        EXPECT_EQ(samples[i].timeResult, S_OK);
        EXPECT_EQ(samples[i].tStart, stamps[i]);
        EXPECT_EQ(samples[i].tStop, stamps[i + 1]);
        EXPECT_TRUE(samples[i].bSyncPoint);
        EXPECT_EQ(samples[i].bDiscontinuity, i == 0);
    }
    EXPECT_TRUE(m_pSink->Violations().empty());
}

TEST_F(AudioGraphTest, MovieLevelPassEndsOnce)
{
    fakeqt::ExtractionModel extraction;
    extraction.totalFrames = 66150;  // 1.5 s
    m_pQt->SetExtraction(extraction);
    ASSERT_TRUE(Open(SoundMovie(TrackModel::Sound(2, 44100, 16, QTFourCC("twos"), 44100, 132300), 1800),
                     kQuickTime779));
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(RunToTheEnd());
    const std::vector<testsupport::SinkRecord> samples = m_pSink->Samples();
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[0].tStop, 10000000);
    EXPECT_EQ(samples[1].tStart, 10000000);
    EXPECT_EQ(samples[1].tStop, 15000000);
    EXPECT_EQ(samples[1].lActual, 88200);
    size_t ends = 0;
    for (const testsupport::SinkRecord &record : m_pSink->Records())
        ends += record.kind == testsupport::SinkRecord::kEndOfStream;
    EXPECT_EQ(ends, 1u);
    EXPECT_TRUE(m_pSink->Violations().empty());
}

TEST_F(AudioGraphTest, RefusesAnAllocatorGrantingLessThanTwoSeconds)
{
    ASSERT_TRUE(Open(SoundMovie(TrackModel::Sound(2, 44100, 16, QTFourCC("twos"), 44100, 88200), 1200),
                     kQuickTime704));
    ASSERT_NO_FATAL_FAILURE(Connect());
    GrantingAllocator tooSmall(352799);
    ALLOCATOR_PROPERTIES props = {4, 1000, 1, 0};
    EXPECT_EQ(m_pAudio->DecideBufferSize(&tooSmall, &props), E_FAIL);
    EXPECT_EQ(tooSmall.m_requested.cBuffers, 1);
    EXPECT_EQ(tooSmall.m_requested.cbBuffer, 352800);
    GrantingAllocator enough(400000);
    EXPECT_EQ(m_pAudio->DecideBufferSize(&enough, &props), S_OK);
    EXPECT_EQ(enough.m_cRef, 1);
    EXPECT_EQ(tooSmall.m_cRef, 1);
}

TEST_F(AudioGraphTest, ConnectionKeepsItsRateUntilReconnected)
{
    ASSERT_TRUE(Open(SoundMovie(TrackModel::Sound(2, 44100, 16, QTFourCC("twos"), 44100, 88200), 1200),
                     kQuickTime704));
    ASSERT_NO_FATAL_FAILURE(Connect());
    IMovieAudioInfo *pInfo = nullptr;
    ASSERT_EQ(m_pPin->QueryInterface(IID_IMovieAudioInfo, reinterpret_cast<void **>(&pInfo)), S_OK);
    EXPECT_EQ(pInfo->SetOutputSampleRate(TRUE, 22050), S_OK);
    pInfo->Release();
    const size_t opened = m_pQt->CountOf(kQTSel_SoundConverterOpen);
    ASSERT_NO_FATAL_FAILURE(RunToTheEnd());
    // Delivered at the agreed 44,100 Hz: no new converter, one second per 176,400 bytes.
    EXPECT_EQ(m_pQt->CountOf(kQTSel_SoundConverterOpen), opened);
    const std::vector<testsupport::SinkRecord> samples = m_pSink->Samples();
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[0].lActual, 176400);
    EXPECT_EQ(samples[0].tStop, 10000000);
    // The type offered now carries the new rate, for the next connection.
    AM_MEDIA_TYPE *pmt = OfferedType();
    ASSERT_NE(pmt, nullptr);
    EXPECT_EQ(reinterpret_cast<WAVEFORMATEX *>(pmt->pbFormat)->nSamplesPerSec, 22050u);
    DeleteMediaType(pmt);
    AM_MEDIA_TYPE connected = {};
    ASSERT_EQ(m_pPin->ConnectionMediaType(&connected), S_OK);
    EXPECT_EQ(reinterpret_cast<WAVEFORMATEX *>(connected.pbFormat)->nSamplesPerSec, 44100u);
    FreeMediaType(connected);
}

TEST_F(AudioGraphTest, SeekWhileDeliveringRestartsTheExtraction)
{
    fakeqt::ExtractionModel extraction;
    extraction.totalFrames = 110250;  // 2.5 s of sound in a movie of 3 s
    m_pQt->SetExtraction(extraction);
    ASSERT_TRUE(Open(SoundMovie(TrackModel::Sound(2, 44100, 16, QTFourCC("twos"), 44100, 132300), 1800),
                     kQuickTime779));
    ASSERT_NO_FATAL_FAILURE(Connect());
    m_pSink->SetBlockReceive(true);
    ASSERT_TRUE(SUCCEEDED(m_pControl->Run()));
    ASSERT_EQ(WaitForSingleObject(m_pSink->ReceiveEnteredEvent(), 5000), WAIT_OBJECT_0);

    IMediaSeeking *pSeeking = nullptr;
    ASSERT_EQ(m_pPin->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void **>(&pSeeking)), S_OK);
    m_pSink->SetBlockReceive(false);
    LONGLONG llStart = 20000000;  // 2 s: half a second of sound is left
    EXPECT_EQ(pSeeking->SetPositions(&llStart, AM_SEEKING_AbsolutePositioning, nullptr,
                                     AM_SEEKING_NoPositioning),
              S_OK);
    pSeeking->Release();
    ASSERT_EQ(WaitForSingleObject(m_pSink->EndOfStreamEvent(), 10000), WAIT_OBJECT_0)
        << "no end of stream after the seek";
    EXPECT_EQ(m_pControl->Stop(), S_OK);

    // The pass after the seek starts at 0 with a discontinuity and carries what is left.
    const std::vector<testsupport::SinkRecord> records = m_pSink->Records();
    size_t lastSegment = records.size();
    for (size_t i = 0; i < records.size(); ++i)
        if (records[i].kind == testsupport::SinkRecord::kNewSegment)
            lastSegment = i;
    ASSERT_LT(lastSegment, records.size());
    EXPECT_EQ(records[lastSegment].tStart, 20000000);
    std::vector<testsupport::SinkRecord> after;
    for (size_t i = lastSegment; i < records.size(); ++i)
        if (records[i].kind == testsupport::SinkRecord::kSample)
            after.push_back(records[i]);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after[0].tStart, 0);
    EXPECT_TRUE(after[0].bDiscontinuity);
    // From 2 s, where the new segment's stamps start: frames 88,200 to the end at 110,250.
    long lTotal = 0;
    for (const testsupport::SinkRecord &sample : after)
        lTotal += sample.lActual;
    EXPECT_EQ(lTotal, (110250 - 88200) * 4);
    EXPECT_TRUE(m_pSink->Violations().empty());
}
