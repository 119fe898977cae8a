// The movie-level path: fills from movie audio extraction through the audio component, the end
// of the sound, repositioning and what the pin leaves behind.
#include <cstring>

#include "allocation_failure.h"
#include "audio_harness.h"

using namespace audiotest;
using fakeqt::TrackModel;

namespace {

class ExtractionTest : public AudioPinTest {
protected:
    // 44,100 Hz stereo, 'mssz' 16, a movie of three seconds whose sound lasts two and a half.
    bool OpenMovie(const fakeqt::ExtractionModel &extraction)
    {
        m_pQt->SetExtraction(extraction);
        return Open(SoundMovie(TrackModel::Sound(2, 44100, 16, QTFourCC("twos"), 44100, 132300), 1800),
                    kQuickTime779);
    }
    static fakeqt::ExtractionModel TwoAndAHalfSeconds()
    {
        fakeqt::ExtractionModel extraction;
        extraction.totalFrames = 110250;
        return extraction;
    }
};

size_t CountSetProperty(const fakeqt::FakeQuickTime &qt, OSType id)
{
    size_t n = 0;
    for (const fakeqt::Call &call : qt.CallsTo(kQTSel_MovieAudioExtractionSetProperty))
        n += call.args[2] == id;
    return n;
}

}  // namespace

TEST_F(ExtractionTest, EachFillCarriesOneSecondUntilTheSoundEnds)
{
    ASSERT_TRUE(OpenMovie(TwoAndAHalfSeconds()));
    Filled first = Fill(352800);
    EXPECT_EQ(first.hr, S_OK);
    EXPECT_EQ(first.lActual, 176400);
    EXPECT_EQ(first.tStart, 0);
    EXPECT_EQ(first.tStop, 10000000);
    const std::vector<fakeqt::Call> fills = m_pQt->CallsTo(kQTSel_MovieAudioExtractionFillBuffer);
    ASSERT_EQ(fills.size(), 1u);

    Filled second = Fill(352800);
    EXPECT_EQ(second.hr, S_OK);
    EXPECT_EQ(second.lActual, 176400);
    EXPECT_EQ(second.tStart, 10000000);
    EXPECT_EQ(second.tStop, 20000000);

    // The extraction completes inside this fill: what it produced is still delivered.
    Filled third = Fill(352800);
    EXPECT_EQ(third.hr, S_OK);
    EXPECT_EQ(third.lActual, 88200);
    EXPECT_EQ(third.tStart, 20000000);
    EXPECT_EQ(third.tStop, 25000000);

    // Then the stream ends without asking QuickTime again.
    const size_t componentFills = m_pQt->CountOf(kQTSel_CallComponentDispatch);
    Filled fourth = Fill(352800);
    EXPECT_EQ(fourth.hr, S_FALSE);
    EXPECT_EQ(fourth.lActual, 0);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_CallComponentDispatch), componentFills);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_MovieAudioExtractionFillBuffer), 3u);
}

TEST_F(ExtractionTest, SmallBuffersCarryWholeFrames)
{
    ASSERT_TRUE(OpenMovie(TwoAndAHalfSeconds()));
    Filled filled = Fill(1003);
    EXPECT_EQ(filled.hr, S_OK);
    EXPECT_EQ(filled.lActual, 1000);
    // 250 frames at 44,100 Hz in movie units of 1/600 s: 3.4 units, truncated.
    EXPECT_EQ(filled.tStop - filled.tStart, 50000);
}

TEST_F(ExtractionTest, AFillThatProducesNothingEndsTheStream)
{
    fakeqt::ExtractionModel extraction;
    extraction.totalFrames = 0;
    ASSERT_TRUE(OpenMovie(extraction));
    Filled filled = Fill(352800);
    EXPECT_EQ(filled.hr, S_FALSE);
    EXPECT_EQ(filled.lActual, 0);
    const size_t extractions = m_pQt->CountOf(kQTSel_MovieAudioExtractionFillBuffer);
    EXPECT_EQ(Fill(352800).hr, S_FALSE);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_MovieAudioExtractionFillBuffer), extractions);
}

TEST_F(ExtractionTest, AFailingComponentEndsTheStream)
{
    ASSERT_TRUE(OpenMovie(TwoAndAHalfSeconds()));
    m_pQt->Fail(kQTSel_MovieAudioExtractionFillBuffer, -50, 1);
    Filled filled = Fill(352800);
    EXPECT_EQ(filled.hr, S_FALSE);
    EXPECT_EQ(filled.lActual, 0);
}

TEST_F(ExtractionTest, SeekAfterTheEndMakesANewPositionedSession)
{
    ASSERT_TRUE(OpenMovie(TwoAndAHalfSeconds()));
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Fill(352800).hr, S_OK);
    ASSERT_EQ(Fill(352800).hr, S_FALSE);
    ASSERT_EQ(m_pQt->CountOf(kQTSel_MovieAudioExtractionBegin), 1u);

    IMediaSeeking *pSeeking = nullptr;
    ASSERT_EQ(m_pPin->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void **>(&pSeeking)), S_OK);
    LONGLONG llStart = 10000000;  // 1 s
    EXPECT_EQ(pSeeking->SetPositions(&llStart, AM_SEEKING_AbsolutePositioning, nullptr,
                                     AM_SEEKING_NoPositioning),
              S_OK);
    pSeeking->Release();

    // The spent session and component went, new ones came.
    EXPECT_EQ(m_pQt->CountOf(kQTSel_MovieAudioExtractionEnd), 1u);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_CloseComponent), 1u);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_MovieAudioExtractionBegin), 2u);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_OpenADefaultComponent), 2u);
    // The new session was positioned, after it was made.
    const std::vector<fakeqt::Call> calls = m_pQt->CallsTo(kQTSel_MovieAudioExtractionSetProperty);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().args[2], QTFourCC("time"));
    uintptr_t newSession = 0;
    for (const fakeqt::Call &call : calls)
        if (call.args[2] == QTFourCC("disc"))
            newSession = call.args[0];
    EXPECT_EQ(calls.back().args[0], newSession);

    // Sound resumes at 1 s, where the segment's stamps start: frame 44,100 of 110,250.
    Filled first = Fill(352800);
    EXPECT_EQ(first.hr, S_OK);
    EXPECT_EQ(first.lActual, 176400);
    EXPECT_EQ(first.tStart, 0);
    Filled second = Fill(352800);
    EXPECT_EQ(second.hr, S_OK);
    EXPECT_EQ(second.lActual, (110250 - 44100 - 44100) * 4);
}

TEST_F(ExtractionTest, UnknownSampleSizeStillExtractsInterleaved)
{
    fakeqt::ExtractionModel extraction = TwoAndAHalfSeconds();
    extraction.maxSampleSize = 0;  // 32-bit float, non-interleaved as QuickTime reports it
    ASSERT_TRUE(OpenMovie(extraction));
    AM_MEDIA_TYPE *pmt = OfferedType();
    ASSERT_NE(pmt, nullptr);
    ASSERT_EQ(pmt->cbFormat, 40u) << "32-bit output is extensible";
    EXPECT_EQ(reinterpret_cast<WAVEFORMATEX *>(pmt->pbFormat)->wBitsPerSample, 32);
    DeleteMediaType(pmt);
    EXPECT_EQ(CountSetProperty(*m_pQt, QTFourCC("asbd")), 1u);
    // The format read back is interleaved, with whole-frame sizes.
    AudioStreamBasicDescription asbd = {};
    MovieAudioExtractionRef session = nullptr;
    for (const fakeqt::Call &call : m_pQt->CallsTo(kQTSel_MovieAudioExtractionSetProperty))
        session = reinterpret_cast<MovieAudioExtractionRef>(call.args[0]);
    ASSERT_EQ(MovieAudioExtractionGetProperty(session, QTFourCC("xaud"), QTFourCC("asbd"),
                                              sizeof asbd, &asbd, nullptr),
              0);
    EXPECT_EQ(asbd.mFormatFlags & 0x20u, 0u);
    EXPECT_EQ(asbd.mFormatFlags & 0x1u, 0x1u) << "still float: the component converts";
    EXPECT_EQ(asbd.mBytesPerFrame, 8u);
    EXPECT_EQ(asbd.mBytesPerPacket, 8u);
    Filled filled = Fill(352800 * 2);
    EXPECT_EQ(filled.hr, S_OK);
    EXPECT_EQ(filled.lActual, 352800);
}

TEST_F(ExtractionTest, InputProcedureFailsCleanlyWithoutMemory)
{
    ASSERT_TRUE(OpenMovie(TwoAndAHalfSeconds()));
    // A pull of nearly 2 GB, which the heap is made to refuse.
    UInt32 packets = 0x1FFFFFF0;
    AudioBufferList list = {1, {{2, 1234, nullptr}}};
    AudioStreamPacketDescription *pDescriptions = nullptr;
    SCAudioInputDataProc proc = nullptr;
    // The procedure the pin hands to the component.
    ASSERT_EQ(Fill(352800).hr, S_OK);
    for (const fakeqt::Call &call : m_pQt->CallsTo(kQTSel_CallComponentDispatch))
        if (call.args.size() > 2 && SInt16(call.args[1]) == kSCAudioFillBufferSelect)
            proc = reinterpret_cast<SCAudioInputDataProc>(call.args[2]);
    ASSERT_NE(proc, nullptr);
    const size_t extractions = m_pQt->CountOf(kQTSel_MovieAudioExtractionFillBuffer);
    OSStatus status = 0;
    {
        LargeAllocationFailure failing(size_t(1) << 30);
        ASSERT_TRUE(failing.Active());
        status = proc(nullptr, &packets, &list, &pDescriptions, m_pAudio);
        EXPECT_EQ(LargeAllocationFailure::Refused(), 1);
    }
    EXPECT_EQ(status, memFullErr);
    EXPECT_EQ(packets, 0u);
    EXPECT_EQ(list.mBuffers[0].mData, nullptr);
    EXPECT_EQ(list.mBuffers[0].mDataByteSize, 0u);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_MovieAudioExtractionFillBuffer), extractions);
    // The pin goes on normally afterwards.
    EXPECT_EQ(Fill(352800).lActual, 176400);
}

TEST_F(ExtractionTest, DestructionReleasesSessionAndComponent)
{
    ASSERT_TRUE(OpenMovie(TwoAndAHalfSeconds()));
    ASSERT_EQ(Fill(352800).hr, S_OK);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_MovieAudioExtractionEnd), 0u);
    Close();
    EXPECT_EQ(m_pQt->CountOf(kQTSel_MovieAudioExtractionEnd), 1u);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_CloseComponent), 1u);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_MovieAudioExtractionBegin), 1u);
}

TEST_F(ExtractionTest, FailedSetUpLeavesNothingHalfMade)
{
    m_pQt->Fail(kQTSel_MovieAudioExtractionBegin, -50, 1);
    ASSERT_TRUE(OpenMovie(TwoAndAHalfSeconds()));
    EXPECT_EQ(m_pQt->CountOf(kQTSel_CloseComponent), 1u) << "the component opened for it";
    EXPECT_EQ(Fill(352800).hr, S_FALSE);
    // The next start of streaming sets up from the beginning.
    EXPECT_EQ(m_pAudio->PrepareMovieStreaming(), S_OK);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_OpenADefaultComponent), 2u);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_MovieAudioExtractionBegin), 2u);
    EXPECT_EQ(Fill(352800).lActual, 176400);
}
