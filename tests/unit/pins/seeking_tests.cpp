// IMediaSeeking on a pin: formats, capabilities, the position arithmetic and its edges, the
// snapping of the stop to media samples, frames counted through their own times, returned
// times, rate, and quality messages.
#include "pins_rig.h"

#include <uuids.h>


namespace pinstest {
namespace {

const LONGLONG kPoison = 0x0badf00d0badf00dLL;

class SeekingTest : public PinsTest {
protected:
    // One video pin at 25 frames per second: 250 frames over 10 s.
    IMediaSeeking *Pin25(TimeScale scale = 600)
    {
        Load(VideoMovie(16, 16, scale, 10 * scale, 250));
        m_pPin = VideoPin(0);
        return m_pPin ? Seeking(m_pPin) : nullptr;
    }

    void ExpectPositions(IMediaSeeking *p, LONGLONG current, LONGLONG stop)
    {
        LONGLONG c = kPoison, s = kPoison;
        EXPECT_EQ(p->GetPositions(&c, &s), S_OK);
        EXPECT_EQ(c, current) << "read position";
        EXPECT_EQ(s, stop) << "stop position";
    }

    CMovieVideoPin *m_pPin = nullptr;
};

TEST_F(SeekingTest, CapabilitiesAndFormats)
{
    IMediaSeeking *p = Pin25();
    ASSERT_NE(p, nullptr);
    DWORD caps = 0xdeadbeef;
    EXPECT_EQ(p->GetCapabilities(&caps), S_OK);
    EXPECT_EQ(caps, 0x3Fu);
    caps = 0x3F;
    EXPECT_EQ(p->CheckCapabilities(&caps), S_OK);
    caps = 0x40;
    EXPECT_EQ(p->CheckCapabilities(&caps), S_FALSE);
    EXPECT_EQ(caps, 0x40u) << "left unchanged";
    EXPECT_EQ(p->GetCapabilities(nullptr), E_POINTER);
    EXPECT_EQ(p->CheckCapabilities(nullptr), E_POINTER);

    EXPECT_EQ(p->IsFormatSupported(&TIME_FORMAT_MEDIA_TIME), S_OK);
    EXPECT_EQ(p->IsFormatSupported(&TIME_FORMAT_FRAME), S_OK);
    EXPECT_EQ(p->IsFormatSupported(&TIME_FORMAT_SAMPLE), S_FALSE);
    EXPECT_EQ(p->IsFormatSupported(nullptr), E_POINTER);
    GUID format = GUID_NULL;
    EXPECT_EQ(p->QueryPreferredFormat(&format), S_OK);
    EXPECT_TRUE(IsEqualGUID(format, TIME_FORMAT_MEDIA_TIME));
    EXPECT_EQ(p->GetTimeFormat(&format), S_OK);
    EXPECT_TRUE(IsEqualGUID(format, TIME_FORMAT_MEDIA_TIME));
    EXPECT_EQ(p->IsUsingTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    EXPECT_EQ(p->SetTimeFormat(&TIME_FORMAT_SAMPLE), E_INVALIDARG);
    EXPECT_EQ(p->SetTimeFormat(nullptr), E_POINTER);
    EXPECT_EQ(p->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    EXPECT_EQ(p->GetTimeFormat(&format), S_OK);
    EXPECT_TRUE(IsEqualGUID(format, TIME_FORMAT_FRAME));

    // The read position, in the current format (frames here).
    LONGLONG ll = kPoison;
    EXPECT_EQ(p->GetCurrentPosition(&ll), S_OK);
    EXPECT_EQ(ll, 0);
    EXPECT_EQ(p->GetCurrentPosition(nullptr), E_POINTER);
    EXPECT_EQ(p->GetPreroll(&ll), S_OK);
    EXPECT_EQ(ll, 0);
    double d = 0;
    EXPECT_EQ(p->GetRate(&d), S_OK);
    EXPECT_EQ(d, 1.0);
    EXPECT_EQ(p->SetRate(2.0), E_INVALIDARG);
    EXPECT_EQ(p->SetRate(0.5), E_INVALIDARG);
    EXPECT_EQ(p->SetRate(-1.0), E_INVALIDARG);
    EXPECT_EQ(p->SetRate(1.0), S_OK);
}

TEST_F(SeekingTest, DurationInMediaTimeAndFrames)
{
    IMediaSeeking *p = Pin25();
    ASSERT_NE(p, nullptr);
    LONGLONG ll = kPoison;
    EXPECT_EQ(p->GetDuration(&ll), S_OK);
    EXPECT_EQ(ll, 100000000);
    ExpectPositions(p, 0, 100000000);
    ASSERT_EQ(p->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    EXPECT_EQ(p->GetDuration(&ll), S_OK);
    EXPECT_EQ(ll, 250);
    EXPECT_EQ(p->GetStopPosition(&ll), S_OK);
    EXPECT_EQ(ll, 250);
    ExpectPositions(p, 0, 250);
    LONGLONG earliest = kPoison, latest = kPoison;
    EXPECT_EQ(p->GetAvailable(&earliest, &latest), S_OK);
    EXPECT_EQ(earliest, 0);
    EXPECT_EQ(latest, 100000000) << "reference time whatever the format";
    EXPECT_EQ(p->GetAvailable(nullptr, nullptr), S_OK);

    // Frame 125 is 5 s in.
    LONGLONG frame = 125;
    EXPECT_EQ(p->SetPositions(&frame, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
    ExpectPositions(p, 125, 250);
    ASSERT_EQ(p->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME), S_OK);
    ExpectPositions(p, 50000000, 100000000);
}

TEST_F(SeekingTest, AbsoluteStartAndIncrementalStop)
{
    IMediaSeeking *p = Pin25();
    ASSERT_NE(p, nullptr);
    LONGLONG start = 50000000, stop = 20000000;
    m_fake->ClearCalls();
    EXPECT_EQ(p->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                              AM_SEEKING_IncrementalPositioning),
              S_OK);
    EXPECT_EQ(start, 50000000) << "not written back unless asked";
    EXPECT_EQ(stop, 20000000);
    // The stop, 3000 + 1200, moves to the start of the track's sample holding it: a backward
    // search in the track's time that counts a sample starting there. The start stays where
    // asked (the frame there is shown from it).
    const auto calls = m_fake->CallsTo(kQTSel_GetTrackNextInterestingTime);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(TimeValue(calls[0].args[2]), 4200);
    EXPECT_EQ(calls[0].args[1], 0x4001u) << "next media sample, the edge included";
    EXPECT_EQ(Fixed(calls[0].args[3]), -0x10000) << "backwards";
    EXPECT_TRUE(m_fake->CallsTo(kQTSel_GetMediaNextInterestingTime).empty());
    ExpectPositions(p, 50000000, 70000000);

    // Relative to the previous start and stop.
    start = -10000000;
    stop = 10000000;
    EXPECT_EQ(p->SetPositions(&start, AM_SEEKING_RelativePositioning, &stop,
                              AM_SEEKING_RelativePositioning),
              S_OK);
    ExpectPositions(p, 40000000, 80000000);
    LONGLONG converted = kPoison;
    EXPECT_EQ(p->ConvertTimeFormat(&converted, nullptr, 0, nullptr), S_OK);
    EXPECT_EQ(converted, 40000000) << "Source 0 converts the read position";
    EXPECT_EQ(p->ConvertTimeFormat(&converted, &TIME_FORMAT_MEDIA_TIME, 1234, nullptr), S_OK);
    EXPECT_EQ(converted, 1234);
    EXPECT_EQ(p->ConvertTimeFormat(&converted, &TIME_FORMAT_FRAME, 1,
                                   &TIME_FORMAT_MEDIA_TIME),
              E_INVALIDARG);
    EXPECT_EQ(p->ConvertTimeFormat(nullptr, nullptr, 0, nullptr), E_POINTER);
}

TEST_F(SeekingTest, TheStopSnapsToItsFrameTheStartStaysWhereAsked)
{
    IMediaSeeking *p = Pin25();
    ASSERT_NE(p, nullptr);
    // 5.03 s lies in frame 125 (5.00 to 5.04 s); the stop at 7.01 s in frame 175.
    LONGLONG start = 50300000, stop = 70100000;
    EXPECT_EQ(p->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                              AM_SEEKING_AbsolutePositioning),
              S_OK);
    ExpectPositions(p, 50300000, 70000000);
}

// Movie and media count at different rates (1000 and 12800, as ffmpeg writes): the movie's time
// is counted at 64000 a second so that every frame has its exact time, and the stop search runs
// in that time.
TEST_F(SeekingTest, SnappingInTheMoviesFinerTime)
{
    Load(VideoMovie(16, 16, 1000, 10000, 250, 12800, 128000));
    CMovieVideoPin *pPin = VideoPin(0);
    ASSERT_NE(pPin, nullptr);
    IMediaSeeking *p = Seeking(pPin);
    m_fake->ClearCalls();
    LONGLONG start = 50200000, stop = 80100000;
    EXPECT_EQ(p->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                              AM_SEEKING_AbsolutePositioning),
              S_OK);
    const auto calls = m_fake->CallsTo(kQTSel_GetTrackNextInterestingTime);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(TimeValue(calls[0].args[2]), 512640);
    // 5.02 s is 321280 units; reported as every pin time is, dividing first.
    ExpectPositions(p, LONGLONG(321280.0 / 64000 * 10000000), 80000000);
}

// What the graph manager passes on with every seek: the times are written back, in the current
// format; alone, the flag asks for them without moving anything.
TEST_F(SeekingTest, ReturningTheTimes)
{
    IMediaSeeking *p = Pin25();
    ASSERT_NE(p, nullptr);
    LONGLONG start = 50000000, stop = 70100000;
    EXPECT_EQ(p->SetPositions(&start, AM_SEEKING_AbsolutePositioning | AM_SEEKING_ReturnTime,
                              &stop, AM_SEEKING_AbsolutePositioning | AM_SEEKING_ReturnTime),
              S_OK);
    EXPECT_EQ(start, 50000000);
    EXPECT_EQ(stop, 70000000) << "the stop as it snapped";
    ExpectPositions(p, 50000000, 70000000);

    ASSERT_EQ(p->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    LONGLONG ll = kPoison;
    ASSERT_EQ(p->GetDuration(&ll), S_OK);  // the frames are counted once, here
    start = kPoison;
    stop = kPoison;
    m_fake->ClearCalls();
    EXPECT_EQ(p->SetPositions(&start, AM_SEEKING_ReturnTime, &stop, AM_SEEKING_ReturnTime), S_OK);
    EXPECT_EQ(start, 125);
    EXPECT_EQ(stop, 175);
    EXPECT_EQ(m_fake->CountOf(kQTSel_GetTrackNextInterestingTime), 0u) << "nothing moved";
    ExpectPositions(p, 125, 175);
    EXPECT_EQ(p->SetPositions(nullptr, AM_SEEKING_ReturnTime, nullptr, 0), E_POINTER);
}

// A variable-rate track counted in frames: frame n is the n-th frame shown, whatever its
// length, and positions convert through the frames' own times both ways.
TEST_F(SeekingTest, FramesOfAVariableRateTrack)
{
    MovieModel movie = VideoMovie(16, 16, 600, 150, 6);
    movie.tracks[0].sampleDurations = {20, 40, 10, 30, 20, 30};
    Load(movie);
    IMediaSeeking *p = Seeking(VideoPin(0));
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(p->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    LONGLONG ll = kPoison;
    EXPECT_EQ(p->GetDuration(&ll), S_OK);
    EXPECT_EQ(ll, 6);
    // Frame 3 starts at 70/600 s.
    LONGLONG frame = 3;
    EXPECT_EQ(p->SetPositions(&frame, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
    ExpectPositions(p, 3, 6);
    ASSERT_EQ(p->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME), S_OK);
    ExpectPositions(p, 1166666, 2500000);
    // 65/600 s is inside frame 2 (60 to 70): read back as frame 2.
    LONGLONG time = 1083333;
    EXPECT_EQ(p->SetPositions(&time, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
    ASSERT_EQ(p->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    ExpectPositions(p, 2, 6);
}

// A search that finds nothing keeps the converted position; the largest reference time (the
// host's "to the end") saturates instead of wrapping and ends at the material's end.
TEST_F(SeekingTest, EdgesOfTheSearchAndOfTheRange)
{
    IMediaSeeking *p = Pin25();
    ASSERT_NE(p, nullptr);
    LONGLONG stop = MAXLONGLONG;
    EXPECT_EQ(p->SetPositions(nullptr, 0, &stop, AM_SEEKING_AbsolutePositioning), S_OK);
    ExpectPositions(p, 0, 100000000);

    LONGLONG start = -MAXLONGLONG;
    EXPECT_EQ(p->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
    LONGLONG current = kPoison;
    EXPECT_EQ(p->GetPositions(&current, nullptr), S_OK);
    EXPECT_LT(current, 0) << "a huge negative start must not wrap to a positive one";

    // Past the last frame: nothing found, the position stays as converted.
    start = 120000000;
    EXPECT_EQ(p->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
    ExpectPositions(p, 120000000, 100000000);
}

// A stop that comes with a new start snaps even where the old read position has passed it.
TEST_F(SeekingTest, StopWithANewStartSnapsWhereverTheReadPositionWas)
{
    IMediaSeeking *p = Pin25();
    ASSERT_NE(p, nullptr);
    Quality q = {Flood, 1000, 80000000, 0};
    ASSERT_EQ(m_pPin->Notify(m_pFilter, q), S_OK);
    LONGLONG start = 10000000, stop = 30100000;
    EXPECT_EQ(p->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                              AM_SEEKING_AbsolutePositioning),
              S_OK);
    ExpectPositions(p, 10000000, 30000000);
    // Alone, a stop behind the read position stays as set.
    ASSERT_EQ(m_pPin->Notify(m_pFilter, q), S_OK);
    stop = 50100000;
    EXPECT_EQ(p->SetPositions(nullptr, 0, &stop, AM_SEEKING_AbsolutePositioning), S_OK);
    ExpectPositions(p, 90000000, 50100000);
}

TEST_F(SeekingTest, RefusedFlagsChangeNothing)
{
    IMediaSeeking *p = Pin25();
    ASSERT_NE(p, nullptr);
    LONGLONG value = 20000000;
    EXPECT_EQ(p->SetPositions(nullptr, 0, &value, AM_SEEKING_AbsolutePositioning |
                                                      AM_SEEKING_SeekToKeyFrame),
              E_INVALIDARG);
    EXPECT_EQ(p->SetPositions(nullptr, 0, nullptr, AM_SEEKING_AbsolutePositioning), E_POINTER);
    EXPECT_EQ(p->SetPositions(nullptr, AM_SEEKING_AbsolutePositioning, nullptr, 0), E_POINTER);
    EXPECT_EQ(p->SetPositions(&value, AM_SEEKING_IncrementalPositioning, nullptr, 0),
              E_INVALIDARG);
    EXPECT_EQ(p->SetPositions(&value, AM_SEEKING_NoFlush, nullptr, 0), E_INVALIDARG);
    ExpectPositions(p, 0, 100000000);
    // Other bits of the current flags are ignored.
    EXPECT_EQ(p->SetPositions(&value, AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame,
                              nullptr, 0),
              S_OK);
    ExpectPositions(p, 20000000, 100000000);
}

// Time scales whose frames do not fall on whole units: 2997 at 30 frames per second.
TEST_F(SeekingTest, FrameFormatAtAnOddTimeScale)
{
    Load(VideoMovie(16, 16, 2997, 29970, 300));
    IMediaSeeking *p = Seeking(VideoPin(0));
    ASSERT_EQ(p->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    LONGLONG frame = 100;
    EXPECT_EQ(p->SetPositions(&frame, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
    // The track's samples lie 99 units apart: frame 100 is the one shown from 9900 (3.3033 s).
    ExpectPositions(p, 100, 300);
    ASSERT_EQ(p->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME), S_OK);
    ExpectPositions(p, 33033033, 100000000);
}

// Lateness moves the read position and the output clock; early reports move them back.
TEST_F(SeekingTest, QualityMessagesMoveTheReadPosition)
{
    IMediaSeeking *p = Pin25();
    ASSERT_NE(p, nullptr);
    IQualityControl *pQuality = nullptr;
    ASSERT_EQ(m_pPin->QueryInterface(IID_IQualityControl, reinterpret_cast<void **>(&pQuality)),
              S_OK);
    Quality q = {Famine, 1000, 2000000, 0};
    EXPECT_EQ(pQuality->Notify(m_pFilter, q), S_OK);
    ExpectPositions(p, 2000000, 100000000);
    q.Late = 0;
    EXPECT_EQ(pQuality->Notify(m_pFilter, q), S_OK);
    ExpectPositions(p, 2000000, 100000000);
    // Early: back by the lateness, but never before the end of the last delivered sample (none
    // was delivered: the segment's start), so that time stamps never go backwards.
    q.Late = -4000000;
    EXPECT_EQ(pQuality->Notify(m_pFilter, q), S_OK);
    ExpectPositions(p, 0, 100000000);
    q.Late = MAXLONGLONG;
    EXPECT_EQ(pQuality->Notify(m_pFilter, q), S_OK);
    LONGLONG current = 0;
    p->GetPositions(&current, nullptr);
    EXPECT_GT(current, 100000000) << "saturated, not wrapped";
    EXPECT_EQ(pQuality->SetSink(nullptr), S_OK);
    pQuality->Release();
}

}  // namespace
}  // namespace pinstest

namespace pinstest {
namespace {

// The per-track audio path (QuickTime before 7.1) counts sound slower than 8000 Hz in 1/44100 s.
class TrackAudioUnitsTest : public PinsTest {
protected:
    IMediaSeeking *AudioPin(TimeScale mediaScale, TimeValue mediaDuration)
    {
        m_fake->SetGestalt(noErr, 0x07048000);
        MovieModel movie;
        movie.timeScale = 600;
        movie.duration = 1500;
        movie.tracks.push_back(TrackModel::Sound(1, 4000, 16, QTFourCC("twos"), mediaScale,
                                                 mediaDuration));
        Load(movie);
        if (m_pFilter->GetPinCount() != 1)
            return nullptr;
        return Seeking(m_pFilter->GetPin(0));
    }
};

// 10,003 units at 4000 per second are 110,283 at 44100, not whole seconds' 88,200.
TEST_F(TrackAudioUnitsTest, SlowSoundIsRescaledExactly)
{
    IMediaSeeking *p = AudioPin(4000, 10003);
    ASSERT_NE(p, nullptr);
    LONGLONG duration = kPoison;
    EXPECT_EQ(p->GetDuration(&duration), S_OK);
    EXPECT_EQ(duration, LONGLONG(110283.0 / 44100 * 10000000));
}

TEST_F(TrackAudioUnitsTest, TimeScaleOfZeroServesNothing)
{
    IMediaSeeking *p = AudioPin(0, 10003);
    ASSERT_NE(p, nullptr);
    LONGLONG duration = kPoison, stop = kPoison;
    EXPECT_EQ(p->GetDuration(&duration), S_OK);
    EXPECT_EQ(duration, 0);
    EXPECT_EQ(p->GetStopPosition(&stop), S_OK);
    EXPECT_EQ(stop, 0);
}

}  // namespace
}  // namespace pinstest
