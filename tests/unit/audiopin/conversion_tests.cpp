// The per-track path: reads of the track's samples, the sound converter's output, the units
// of both, the bounded retry and what the pin leaves behind.
#include "audio_harness.h"
#include "converter_intercept.h"

using namespace audiotest;
using fakeqt::TrackModel;

namespace {

class ConversionTest : public AudioPinTest {
protected:
    std::vector<TimeValue> ReadTimes()
    {
        std::vector<TimeValue> times;
        for (const fakeqt::Call &call : m_pQt->CallsTo(kQTSel_GetMediaSample))
            times.push_back(TimeValue(call.args[4]));
        return times;
    }
    // A variable-bit-rate track at 44,100 Hz stereo: packets of 1024 frames, bytesPerPacket
    // bytes each.
    static TrackModel VariableTrack(long bytesPerPacket, long packets)
    {
        TrackModel track = TrackModel::Sound(2, 44100, 16, QTFourCC("mp4a"), 44100, 1024 * packets, -2);
        track.sampleDuration = 1024;
        track.sampleCount = packets;
        track.sampleSize = bytesPerPacket;
        return track;
    }
};

}  // namespace

TEST_F(ConversionTest, FullReadOfUncompressedSound)
{
    ASSERT_TRUE(Open(SoundMovie(TrackModel::Sound(2, 44100, 16, QTFourCC("twos"), 44100, 132300), 1800),
                     kQuickTime704));
    Filled first = Fill(352800);
    EXPECT_EQ(first.hr, S_OK);
    EXPECT_EQ(first.lActual, 176400);
    EXPECT_EQ(first.tStart, 0);
    EXPECT_EQ(first.tStop, 10000000);
    // The bytes pass through the converter untouched: media sample i is bytes of i.
    ASSERT_EQ(first.bytes.size(), 176400u);
    EXPECT_EQ(first.bytes[0], 0);
    EXPECT_EQ(first.bytes[4], 1);
    EXPECT_EQ(first.bytes[4 * 300], 300 & 0xFF);
    const std::vector<fakeqt::Call> reads = m_pQt->CallsTo(kQTSel_GetMediaSample);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(long(reads[0].args[2]), 176400) << "at most one second's bytes";

    Filled second = Fill(352800);
    EXPECT_EQ(second.hr, S_OK);
    EXPECT_EQ(second.tStart, 10000000);
    EXPECT_EQ(ReadTimes(), (std::vector<TimeValue>{0, 44100}));
    EXPECT_EQ(Fill(352800).hr, S_OK);
    EXPECT_EQ(Fill(352800).hr, S_FALSE) << "the stop position is reached";
    EXPECT_EQ(m_pQt->CountOf(kQTSel_GetMediaSample), 3u);
}

TEST_F(ConversionTest, CompressedInputNeverOutgrowsTheSample)
{
    // IMA 4:1, stereo: packets of 64 frames in 68 bytes expand to 256 bytes.
    TrackModel track = TrackModel::Sound(2, 44100, 16, QTFourCC("ima4"), 44100, 64 * 5000);
    track.sampleDuration = 64;
    track.sampleCount = 5000;
    track.sampleSize = 68;
    ASSERT_TRUE(Open(SoundMovie(track, 4354), kQuickTime704));
    ConverterIntercept converter({68, 64, 1, 4});
    Filled filled = Fill(352800);
    EXPECT_EQ(filled.hr, S_OK);
    // 176,392 input bytes would give 664,064: the read is cut to what fits 352,800.
    EXPECT_EQ(converter.LastFrames(), 1378u);
    EXPECT_EQ(filled.lActual, 1378 * 256);
    EXPECT_LE(converter.MostBytesWritten(), 352800u);
    EXPECT_EQ(filled.tStop - filled.tStart, LONGLONG(1378) * 64 * 10000000 / 44100);
    // The next read starts right after the packets converted.
    EXPECT_EQ(ReadTimes(), (std::vector<TimeValue>{0}));
    EXPECT_EQ(Fill(352800).hr, S_OK);
    EXPECT_EQ(ReadTimes(), (std::vector<TimeValue>{0, 1378 * 64}));
}

TEST_F(ConversionTest, SlowTrackIsRaisedTo44100)
{
    // 6,000 Hz mono: pin units of 1/44,100 s, media units of 1/6,000 s.
    ASSERT_TRUE(Open(SoundMovie(TrackModel::Sound(1, 6000, 16, QTFourCC("twos"), 6000, 12000), 1200),
                     kQuickTime704));
    ConverterIntercept converter({2, 44100, 6000, 2});
    // Half a second per sample: 3,000 source frames become 22,050 output frames.
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        Filled filled = Fill(44100);
        EXPECT_EQ(filled.hr, S_OK);
        EXPECT_EQ(filled.lActual, 44100);
        EXPECT_EQ(filled.tStart, LONGLONG(i) * 5000000);
        EXPECT_EQ(filled.tStop, LONGLONG(i + 1) * 5000000);
        EXPECT_EQ(converter.LastFrames(), 3000u);
    }
    EXPECT_EQ(ReadTimes(), (std::vector<TimeValue>{0, 3000, 6000, 9000}));
    EXPECT_EQ(Fill(44100).hr, S_FALSE);
    EXPECT_LE(converter.MostBytesWritten(), 44100u);
}

TEST_F(ConversionTest, FailedReadEndsTheStream)
{
    ASSERT_TRUE(Open(SoundMovie(TrackModel::Sound(2, 44100, 16, QTFourCC("twos"), 44100, 132300), 1800),
                     kQuickTime704));
    m_pQt->Fail(kQTSel_GetMediaSample, invalidMedia, 1);
    Filled filled = Fill(352800);
    EXPECT_EQ(filled.hr, S_FALSE);
    EXPECT_EQ(filled.lActual, 0);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_SoundConverterConvertBuffer), 0u);
}

TEST_F(ConversionTest, VariableBitRatePullsChunksThroughTheCallback)
{
    // Reads of two packets (176,400 bytes); each converts to 2,048 frames (8,192 bytes).
    ASSERT_TRUE(Open(SoundMovie(VariableTrack(88200, 200), 4800), kQuickTime704));
    Filled filled = Fill(352800);
    EXPECT_EQ(filled.hr, S_OK);
    EXPECT_EQ(filled.lActual, 176400);
    // 22 chunks pulled (the last one in part); the sample lasts as long as the sound it
    // carries, one second, and the converter keeps the rest.
    EXPECT_EQ(m_pQt->CountOf(kQTSel_GetMediaSample), 22u);
    EXPECT_EQ(filled.tStop, 10000000);
    const std::vector<TimeValue> times = ReadTimes();
    ASSERT_EQ(times.size(), 22u);
    EXPECT_EQ(times[1], 2048);
    EXPECT_EQ(times[21], 21 * 2048);

    Filled second = Fill(352800);
    EXPECT_EQ(second.hr, S_OK);
    EXPECT_EQ(second.tStart, filled.tStop);
    EXPECT_EQ(ReadTimes()[22], 22 * 2048) << "the next fill reads on where the last stopped";
}

TEST_F(ConversionTest, VariableBitRateDeliversWhatTheConverterKeptAtTheEnd)
{
    // 44 packets, 45,056 frames: one read takes them all, the first sample holds 44,100.
    ASSERT_TRUE(Open(SoundMovie(VariableTrack(88200, 44), 4800), kQuickTime704));
    Filled first = Fill(352800);
    ASSERT_EQ(first.hr, S_OK);
    EXPECT_EQ(first.lActual, 176400);
    EXPECT_EQ(first.tStop, 10000000);
    Filled rest = Fill(352800);
    ASSERT_EQ(rest.hr, S_OK) << "the frames the converter kept are not lost at the end";
    EXPECT_EQ(rest.lActual, 956 * 4);
    EXPECT_EQ(rest.tStart, first.tStop);
    EXPECT_EQ(rest.tStop, LONGLONG(45056) * 10000000 / 44100);
    EXPECT_EQ(Fill(352800).hr, S_FALSE);
}

TEST_F(ConversionTest, VariableBitRateClockMovedByAQualityMessageReadsThere)
{
    ASSERT_TRUE(Open(SoundMovie(VariableTrack(88200, 200), 4800), kQuickTime704));
    ASSERT_EQ(Fill(352800).hr, S_OK);
    // Half a second late: the clock skips from 44,100 to 66,150.
    Quality late = {Famine, 1000, 5000000, 0};
    ASSERT_EQ(m_pAudio->Notify(nullptr, late), S_OK);
    m_pQt->ClearCalls();
    Filled after = Fill(352800);
    ASSERT_EQ(after.hr, S_OK);
    const std::vector<TimeValue> times = ReadTimes();
    ASSERT_FALSE(times.empty());
    EXPECT_EQ(times[0], 66150) << "the reads follow the clock, not the old read-ahead";
    EXPECT_EQ(m_pQt->CountOf(kQTSel_SoundConverterBeginConversion), 1u)
        << "what the converter kept from before the skip is dropped";
    EXPECT_EQ(after.lActual, 176400);
}

TEST_F(ConversionTest, VariableBitRateWithAnOverrideReadsInMediaUnits)
{
    ASSERT_TRUE(Open(SoundMovie(VariableTrack(88200, 200), 4800), kQuickTime704));
    IMovieAudioInfo *pInfo = nullptr;
    ASSERT_EQ(m_pPin->QueryInterface(IID_IMovieAudioInfo, reinterpret_cast<void **>(&pInfo)), S_OK);
    EXPECT_EQ(pInfo->SetOutputSampleRate(TRUE, 48000), S_OK);
    pInfo->Release();
    ASSERT_EQ(m_pAudio->PrepareTrackStreaming(), S_OK);
    // One second at 48,000 Hz is 192,000 bytes: 24 chunks of 8,192 (the last in part).
    Filled first = Fill(384000);
    EXPECT_EQ(first.hr, S_OK);
    EXPECT_EQ(first.lActual, 192000);
    EXPECT_EQ(first.tStop, 10000000) << "48,000 frames at 48,000 Hz";
    Filled second = Fill(384000);
    EXPECT_EQ(second.hr, S_OK);
    EXPECT_EQ(second.tStart, first.tStop);
    const std::vector<TimeValue> times = ReadTimes();
    ASSERT_GT(times.size(), 24u);
    EXPECT_EQ(times[24], 24 * 2048) << "read where the delivered duration says";
}

TEST_F(ConversionTest, VariableBitRateSkipsAGap)
{
    ASSERT_TRUE(Open(SoundMovie(VariableTrack(88200, 200), 4800), kQuickTime704));
    // The third read fails: the converter runs dry with what the first two gave.
    m_pQt->Fail(kQTSel_GetMediaSample, invalidTime, 1);
    m_pQt->ClearCalls();
    Filled first = Fill(352800);
    ASSERT_EQ(first.hr, S_FALSE) << "a first read that fails gives nothing to deliver";

    m_pQt->ClearCalls();
    Filled second = Fill(352800);
    // The search found the sample at the read position again, and this time it reads.
    const std::vector<fakeqt::Call> searches = m_pQt->CallsTo(kQTSel_GetMediaNextInterestingTime);
    ASSERT_EQ(searches.size(), 1u);
    EXPECT_EQ(SInt16(searches[0].args[1]), 0x4001);
    EXPECT_EQ(TimeValue(searches[0].args[2]), 0);
    EXPECT_EQ(second.hr, S_OK);
    EXPECT_EQ(second.lActual, 176400);
}

TEST_F(ConversionTest, VariableBitRateEndsWhenTheMediaEnds)
{
    // Three packets in all: one fill takes them, the converter runs dry.
    ASSERT_TRUE(Open(SoundMovie(VariableTrack(88200, 3), 4800), kQuickTime704));
    Filled first = Fill(352800);
    EXPECT_EQ(first.hr, S_OK);
    EXPECT_EQ(first.lActual, 3 * 4096);
    EXPECT_EQ(first.tStop, LONGLONG(3 * 1024) * 10000000 / 44100);
    Filled second = Fill(352800);
    EXPECT_EQ(second.hr, S_FALSE);
    EXPECT_EQ(second.lActual, 0);
}

TEST_F(ConversionTest, OversizedSampleRetryIsBounded)
{
    // One packet larger than four seconds of output: it never fits.
    ASSERT_TRUE(Open(SoundMovie(VariableTrack(176400 * 5, 10), 4800), kQuickTime704));
    Filled filled = Fill(352800);
    EXPECT_EQ(filled.hr, S_FALSE);
    // 176,400, then doubled to 352,800 and to the cap of 705,600.
    const std::vector<fakeqt::Call> reads = m_pQt->CallsTo(kQTSel_GetMediaSample);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(long(reads[0].args[2]), 176400);
    EXPECT_EQ(long(reads[1].args[2]), 352800);
    EXPECT_EQ(long(reads[2].args[2]), 705600);
}

TEST_F(ConversionTest, LargeSampleIsReadAfterGrowing)
{
    // Packets of 1.5 s of output bytes: the source buffer grows once, then stays.
    ASSERT_TRUE(Open(SoundMovie(VariableTrack(264600, 100), 4800), kQuickTime704));
    m_pQt->ClearCalls();
    Filled filled = Fill(352800);
    EXPECT_EQ(filled.hr, S_OK);
    EXPECT_EQ(filled.lActual, 176400);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_NewHandle), 1u);
    // One packet (4,096 bytes of output) per read: 44 reads, after the one refused at 176,400.
    const std::vector<fakeqt::Call> reads = m_pQt->CallsTo(kQTSel_GetMediaSample);
    ASSERT_EQ(reads.size(), 45u);
    EXPECT_EQ(long(reads[0].args[2]), 176400);
    EXPECT_EQ(long(reads[1].args[2]), 352800);
    EXPECT_EQ(long(reads[44].args[2]), 352800) << "the grown buffer is kept";
    EXPECT_EQ(filled.tStop, 10000000);
    EXPECT_EQ(Fill(352800).hr, S_OK);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_NewHandle), 1u) << "no allocation per fill";
}

TEST_F(ConversionTest, WaveExtensionReachesTheConverterAndIsDisposed)
{
    TrackModel track = TrackModel::Sound(2, 44100, 16, QTFourCC("ima4"), 44100, 88200);
    ASSERT_TRUE(Open(SoundMovie(track, 1200), kQuickTime704));
    std::vector<fakeqt::Call> infos = m_pQt->CallsTo(kQTSel_SoundConverterSetInfo);
    ASSERT_EQ(infos.size(), 1u) << "without the atom only 'cvbr'";
    EXPECT_EQ(infos[0].args[1], QTFourCC("cvbr"));
    EXPECT_EQ(infos[0].args[2], 1u);
    const size_t disposedWithout = m_pQt->CountOf(kQTSel_DisposeHandle);
    Close();
    m_pQt->ClearCalls();

    track.extensions[QTFourCC("wave")] = {1, 2, 3, 4};
    ASSERT_TRUE(Open(SoundMovie(track, 1200), kQuickTime704));
    infos = m_pQt->CallsTo(kQTSel_SoundConverterSetInfo);
    ASSERT_EQ(infos.size(), 2u);
    EXPECT_EQ(infos[1].args[1], QTFourCC("wave"));
    EXPECT_EQ(m_pQt->CountOf(kQTSel_SoundConverterBeginConversion), 1u);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_DisposeHandle), disposedWithout + 1)
        << "the handle that carried the atom is gone after the set-up";
    // The atom list goes as a pointer block of its own size (the converter's bound), and goes.
    const std::vector<fakeqt::Call> blocks = m_pQt->CallsTo(kQTSel_NewPtr);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].args[0], 4u);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_DisposePtr), 1u);
}

TEST_F(ConversionTest, DestructionReleasesConverterAndBuffers)
{
    ASSERT_TRUE(Open(SoundMovie(VariableTrack(88200, 200), 4800), kQuickTime704));
    ASSERT_EQ(Fill(352800).hr, S_OK);
    const size_t disposed = m_pQt->CountOf(kQTSel_DisposeHandle);
    Close();
    EXPECT_EQ(m_pQt->CountOf(kQTSel_SoundConverterClose), 1u);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_DisposeSoundConverterFillBufferDataUPP), 1u);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_DisposeHandle), disposed + 1) << "the source data";
    EXPECT_EQ(m_pQt->CountOf(kQTSel_NewPtr), 0u) << "nothing allocated per fill";
}

TEST_F(ConversionTest, UndecodableTrackEndsAtOnceAndRetriesAtTheNextStart)
{
    m_pQt->Fail(kQTSel_SoundConverterOpen, -50, 1);
    ASSERT_TRUE(Open(SoundMovie(TrackModel::Sound(2, 44100, 16, QTFourCC("twos"), 44100, 88200), 1200),
                     kQuickTime704));
    Filled filled = Fill(352800);
    EXPECT_EQ(filled.hr, S_FALSE);
    EXPECT_EQ(filled.lActual, 0);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_GetMediaSample), 0u);
    // The next set-up (the next start of streaming) makes the converter.
    EXPECT_EQ(m_pAudio->PrepareTrackStreaming(), S_OK);
    EXPECT_EQ(m_pQt->CountOf(kQTSel_SoundConverterOpen), 2u);
    EXPECT_EQ(Fill(352800).lActual, 176400);
}

TEST_F(ConversionTest, SlowVariableTrackReadsWithoutDrift)
{
    // 6,000 Hz mono, packets of 1,024 frames in 6,000 bytes; pin units of 1/44,100 s.
    TrackModel track = TrackModel::Sound(1, 6000, 16, QTFourCC("mp4a"), 6000, 1024 * 400, -2);
    track.sampleDuration = 1024;
    track.sampleCount = 400;
    track.sampleSize = 6000;
    ASSERT_TRUE(Open(SoundMovie(track, 600 * 68), kQuickTime704));
    // Reads of 14 packets (84,000 of 88,200 bytes): 14,336 frames each.
    Filled first = Fill(176400);
    EXPECT_EQ(first.hr, S_OK);
    std::vector<TimeValue> times = ReadTimes();
    ASSERT_EQ(times.size(), 4u);
    EXPECT_EQ(times[1], 14336);
    // The fake converts frame for frame: 44,100 frames at the raised 44,100 Hz are a second.
    EXPECT_EQ(first.tStop, 10000000);
    Filled second = Fill(176400);
    EXPECT_EQ(second.hr, S_OK);
    EXPECT_EQ(second.tStart, first.tStop);
    times = ReadTimes();
    ASSERT_GT(times.size(), 4u);
    EXPECT_EQ(times[4], 4 * 14336) << "the next read starts exactly after the last";
}
