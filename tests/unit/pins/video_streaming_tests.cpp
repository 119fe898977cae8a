// The video pin streaming through Wine's filter graph into the test sink: each frame at its own
// time (constant and variable rates, fine rates in coarse movie time scales, edits, empty edits,
// late first frames, video shorter than its movie), time stamps and flags, the end of the
// stream, seeks, quality and rate calls while delivering, stops and restarts, two pins on one
// movie; and the fill step and render target called directly.
#include "pins_rig.h"

#include <algorithm>
#include <cstring>

#include <uuids.h>


namespace pinstest {
namespace {

using fakeqt::Call;

// What the fake QuickTime draws for movie time t: every byte t & 0xFF.
BYTE Pattern(LONG t)
{
    return BYTE(t & 0xFF);
}

REFERENCE_TIME Reference(LONGLONG units, LONG scale)
{
    return REFERENCE_TIME(double(units) / double(scale) * 10000000.0);
}

// The earliest reference time that converts back to units (conversions truncate both ways).
LONGLONG SeekTime(LONGLONG units, LONG scale)
{
    return (units * 10000000 + scale - 1) / scale;
}

class VideoStreamingTest : public PinsTest {
protected:
    // Checks a pass that began at start: one segment, frame k at k * step, all sync points,
    // only the first a discontinuity, each frame's bytes drawn at its own movie time.
    void ExpectEvenFrames(const std::vector<SinkRecord> &samples, size_t count, LONG start,
                          LONG step, LONG scale, long frameBytes)
    {
        std::vector<LONG> starts;
        for (size_t k = 0; k <= count; ++k)
            starts.push_back(start + LONG(k) * step);
        ExpectFrames(samples, starts, start, scale, frameBytes);
    }

    // Frame k drawn at starts[k] and lasting until starts[k + 1] (the last entry only ends the
    // last frame), stamped from the segment's start.
    void ExpectFrames(const std::vector<SinkRecord> &samples, const std::vector<LONG> &starts,
                      LONG segment, LONG scale, long frameBytes)
    {
        ASSERT_EQ(samples.size() + 1, starts.size());
        for (size_t k = 0; k < samples.size(); ++k) {
            const SinkRecord &r = samples[k];
            ASSERT_EQ(r.timeResult, S_OK);
            ASSERT_EQ(r.tStart, Reference(starts[k] - segment, scale)) << "frame " << k;
            ASSERT_EQ(r.tStop - r.tStart, LONG(Reference(starts[k + 1] - starts[k], scale)))
                << "frame " << k;
            ASSERT_TRUE(r.bSyncPoint) << "frame " << k;
            ASSERT_EQ(r.bDiscontinuity, k == 0) << "frame " << k;
            ASSERT_EQ(r.lActual, frameBytes);
            if (!r.bytes.empty()) {
                const BYTE expected = Pattern(starts[k]);
                ASSERT_TRUE(std::all_of(r.bytes.begin(), r.bytes.end(),
                                        [&](BYTE b) { return b == expected; }))
                    << "frame " << k << " not drawn at its own time";
            }
        }
    }

    // Streams the first pin's whole pass with the frames' bytes.
    std::vector<SinkRecord> Pass(const MovieModel &movie, int nScreenBits = 32)
    {
        Load(movie, nScreenBits);
        TestSink *pSink = ConnectToSink(VideoPin(0));
        if (!pSink)
            return {};
        pSink->SetKeepBytes(true);
        EXPECT_TRUE(PauseAndWaitForEnd(pSink)) << "no end of stream";
        EXPECT_EQ(pSink->Records().back().kind, SinkRecord::kEndOfStream);
        return pSink->Samples();
    }

    static std::vector<SinkRecord> Segments(TestSink *pSink)
    {
        std::vector<SinkRecord> segments;
        for (const SinkRecord &r : pSink->Records())
            if (r.kind == SinkRecord::kNewSegment)
                segments.push_back(r);
        return segments;
    }

    // The segment start announced after each flush; each is followed by a discontinuity
    // stamped 0.
    static std::vector<REFERENCE_TIME> RestartsAfterFlushes(TestSink *pSink)
    {
        std::vector<REFERENCE_TIME> starts;
        const auto records = pSink->Records();
        for (size_t i = 0; i + 2 < records.size(); ++i) {
            if (records[i].kind != SinkRecord::kEndFlush)
                continue;
            EXPECT_EQ(records[i + 1].kind, SinkRecord::kNewSegment);
            EXPECT_EQ(records[i + 2].kind, SinkRecord::kSample);
            EXPECT_TRUE(records[i + 2].bDiscontinuity);
            EXPECT_EQ(records[i + 2].tStart, 0);
            starts.push_back(records[i + 1].tStart);
        }
        return starts;
    }

    // Time stamps within each segment never go backwards.
    static void ExpectMonotonicSegments(TestSink *pSink)
    {
        REFERENCE_TIME last = -1;
        for (const SinkRecord &r : pSink->Records()) {
            if (r.kind == SinkRecord::kNewSegment)
                last = -1;
            else if (r.kind == SinkRecord::kSample) {
                ASSERT_GE(r.tStart, last);
                last = r.tStart;
            }
        }
    }
};

TEST_F(VideoStreamingTest, FramesOfAConstantRateTrack)
{
    Load(VideoMovie(8, 8, 600, 6000, 300));
    TestSink *pSink = ConnectToSink(VideoPin(0));
    ASSERT_NE(pSink, nullptr);
    pSink->SetKeepBytes(true);
    ASSERT_TRUE(PauseAndWaitForEnd(pSink)) << "no end of stream";
    ExpectEvenFrames(pSink->Samples(), 300, 0, 20, 600, 8 * 8 * 4);
    const auto segments = Segments(pSink);
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_EQ(segments[0].tStart, 0);
    EXPECT_EQ(segments[0].tStop, 100000000);
    EXPECT_EQ(segments[0].dRate, 1.0);
    EXPECT_EQ(pSink->Records().back().kind, SinkRecord::kEndOfStream);
    EXPECT_EQ(m_fake->CountOf(kQTSel_SetMovieTimeScale), 0u) << "600 counts every frame";
}

// 30000/1001 frames a second in a movie counting milliseconds (as most encoders write): the
// movie's time is counted at the media's 30000 a second, and every frame comes once, at its
// own time; a grid of 33 units would show one frame twice every 30.
TEST_F(VideoStreamingTest, NtscRateInAMovieCountingMilliseconds)
{
    const auto frames = Pass(VideoMovie(8, 8, 1000, 10010, 300, 30000, 300300));
    const auto scaled = m_fake->CallsTo(kQTSel_SetMovieTimeScale);
    ASSERT_EQ(scaled.size(), 1u);
    EXPECT_EQ(TimeScale(scaled[0].args[1]), 30000);
    ExpectEvenFrames(frames, 300, 0, 1001, 30000, 8 * 8 * 4);
}

TEST_F(VideoStreamingTest, NtscRateAtTimeScale600OnASixteenBitScreen)
{
    const auto frames = Pass(VideoMovie(8, 8, 600, 6006, 300, 30000, 300300), 16);
    ExpectEvenFrames(frames, 300, 0, 1001, 30000, 8 * 2 * 8);
}

// A movie too long to be counted finely within the pins' positions keeps its scale: a frame
// that falls between two of its units is not shown, and time still moves on to the end.
TEST_F(VideoStreamingTest, FramesBetweenTheUnitsOfAVeryLongMovie)
{
    MovieModel movie = VideoMovie(8, 8, 10, 200000000, 30, 300, 30);
    const auto frames = Pass(movie);
    EXPECT_EQ(m_fake->CountOf(kQTSel_SetMovieTimeScale), 0u);
    // Frame 0 holds unit 0; the other 29 all fall inside unit 1's first tenth.
    ExpectFrames(frames, {0, 1}, 0, 10, 8 * 8 * 4);
}

// Variable frame durations, as phones record: each frame at its own time for its own length, on
// a 24-bit screen too.
TEST_F(VideoStreamingTest, VariableFrameDurations)
{
    MovieModel movie = VideoMovie(8, 8, 600, 150, 6);
    movie.tracks[0].sampleDurations = {20, 40, 10, 30, 20, 30};
    const auto frames = Pass(movie, 24);
    ExpectFrames(frames, {0, 20, 60, 70, 100, 120, 150}, 0, 600, 8 * 3 * 8);
}

// Quality messages skip late frames onto frame boundaries: the next frame is the one shown at the
// new position, stamped with its own time (not the position's), and the frames after it keep
// theirs; an early report never brings back a frame already delivered.
TEST_F(VideoStreamingTest, QualityJumpsLandOnFramesWithTheirOwnTimes)
{
    MovieModel movie = VideoMovie(8, 8, 600, 150, 6);
    movie.tracks[0].sampleDurations = {20, 40, 10, 30, 20, 30};  // frames at 0 20 60 70 100 120
    Load(movie);
    CMovieVideoPin *pPin = VideoPin(0);
    ASSERT_NE(pPin, nullptr);
    ASSERT_EQ(pPin->OnThreadCreate(), S_OK);
    ASSERT_EQ(pPin->OnThreadStartPlay(), S_OK);
    const long frame = 8 * 8 * 4;
    auto fill = [&](LONG start, LONG stop) {
        TestSample sample(frame);
        ASSERT_EQ(pPin->FillBuffer(&sample), S_OK);
        EXPECT_EQ(sample.tStart, Reference(start, 600)) << "frame from " << start;
        EXPECT_EQ(sample.tStop, sample.tStart + LONG(Reference(stop - start, 600)));
        EXPECT_EQ(sample.buffer[0], Pattern(start)) << "drawn at its own time";
    };
    fill(0, 20);
    // 25 units late from 20: position 45, inside the frame shown from 20 to 60.
    Quality q = {Famine, 1000, Reference(25, 600), 0};
    ASSERT_EQ(pPin->Notify(m_pFilter, q), S_OK);
    fill(20, 60);
    fill(60, 70);
    // 35 late from 70: 105, inside the frame from 100.
    q.Late = Reference(35, 600) + 1;
    ASSERT_EQ(pPin->Notify(m_pFilter, q), S_OK);
    fill(100, 120);
    // Early, back into the frame just delivered: the next one comes, never that one again.
    q.Late = -Reference(10, 600);
    ASSERT_EQ(pPin->Notify(m_pFilter, q), S_OK);
    fill(120, 150);
    TestSample end(frame);
    EXPECT_EQ(pPin->FillBuffer(&end), S_FALSE);
}

// An empty edit first, then the media from its second frame: nothing is delivered for the empty
// span, the first frame comes at the edit's start, and the stream ends with the last edit, not
// with the movie.
TEST_F(VideoStreamingTest, EmptyEditAndEditedMedia)
{
    MovieModel movie = VideoMovie(8, 8, 600, 600, 10, 600, 200);
    movie.tracks[0].edits = {{100, -1}, {150, 30}};
    const auto frames = Pass(movie);
    // Media 30..180 from movie time 100: frame 1 (20..40) from 100, then 2..8 at 20 each; the
    // edit ends at 250 inside frame 8.
    ExpectFrames(frames, {100, 110, 130, 150, 170, 190, 210, 230, 250}, 0, 600, 8 * 8 * 4);
}

// A first frame shown late (its composition offset, without an edit): nothing before it, then
// every frame at its own time; a video shorter than the movie ends the stream at its end.
TEST_F(VideoStreamingTest, LateFirstFrameAndVideoShorterThanTheMovie)
{
    MovieModel movie = VideoMovie(8, 8, 600, 1200, 5, 600, 100);
    movie.tracks[0].displayOffset = 48;
    const auto frames = Pass(movie);
    ExpectFrames(frames, {48, 68, 88, 108, 128, 148}, 0, 600, 8 * 8 * 4);
}

// A pin whose track cannot be found fills nothing: end of stream at once, never a sample.
TEST_F(VideoStreamingTest, PinWithoutMediaEndsTheStream)
{
    Load(VideoMovie(8, 8, 600, 6000, 300));
    HRESULT hr = E_FAIL;
    CMovieVideoPin *pOrphan = new CMovieVideoPin(&hr, m_pFilter, L"orphan", m_pFilter->m_movie, 7,
                                                 8, 8, 32, QTFourCC("raw "));
    ASSERT_EQ(hr, S_OK);
    TestSink *pSink = ConnectToSink(pOrphan);
    ASSERT_NE(pSink, nullptr);
    ASSERT_TRUE(PauseAndWaitForEnd(pSink)) << "no end of stream";
    EXPECT_EQ(pSink->SampleCount(), 0u);
    ASSERT_TRUE(FinishesWithin(kWaitMs, [this] { m_pControl->Stop(); }));
    EXPECT_EQ(m_pGraph->Disconnect(pOrphan), S_OK);
    EXPECT_EQ(m_pGraph->Disconnect(pSink->Pin()), S_OK);
    delete pOrphan;
}

// A frame QuickTime cannot draw (its data cannot be read) ends the stream where it stands:
// the frames before it, then the end, and no frame after.
TEST_F(VideoStreamingTest, AFrameThatCannotBeDrawnEndsTheStream)
{
    Load(VideoMovie(8, 8, 600, 6000, 300));
    TestSink *pSink = ConnectToSink(VideoPin(0));
    ASSERT_NE(pSink, nullptr);
    m_fake->Fail(kQTSel_MoviesTask, invalidMedia);
    ASSERT_TRUE(PauseAndWaitForEnd(pSink)) << "no end of stream";
    EXPECT_EQ(pSink->SampleCount(), 0u);
    EXPECT_EQ(pSink->Records().back().kind, SinkRecord::kEndOfStream);
    EXPECT_EQ(m_fake->CallsTo(kQTSel_MoviesTask).size(), 1u) << "no retry";
}

// A segment that starts at its stop delivers nothing.
TEST_F(VideoStreamingTest, StartAtTheStopDeliversNothing)
{
    Load(VideoMovie(8, 8, 600, 6000, 300));
    IMediaSeeking *p = Seeking(VideoPin(0));
    LONGLONG start = 100000000;
    ASSERT_EQ(p->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
    TestSink *pSink = ConnectToSink(VideoPin(0));
    ASSERT_NE(pSink, nullptr);
    ASSERT_TRUE(PauseAndWaitForEnd(pSink)) << "no end of stream";
    EXPECT_EQ(pSink->SampleCount(), 0u);
}

// Stopping and pausing again reuses the render target and restarts from the start position.
TEST_F(VideoStreamingTest, RestartReusesTheRenderTarget)
{
    Load(VideoMovie(8, 8, 600, 1200, 60));
    IMediaSeeking *p = Seeking(VideoPin(0));
    LONGLONG start = 10000000;
    ASSERT_EQ(p->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
    TestSink *pSink = ConnectToSink(VideoPin(0));
    ASSERT_NE(pSink, nullptr);
    pSink->SetKeepBytes(true);
    for (int pass = 0; pass < 3; ++pass) {
        ASSERT_TRUE(PauseAndWaitForEnd(pSink)) << "pass " << pass;
        ExpectEvenFrames(pSink->Samples(), 30, 600, 20, 600, 8 * 8 * 4);
        ASSERT_TRUE(FinishesWithin(kWaitMs, [this] { m_pControl->Stop(); }));
        pSink->ClearRecords();
    }
    EXPECT_EQ(m_fake->CountOf(kQTSel_NewGWorldFromHBITMAP), 1u);
}

// Seeks from another thread while the pin delivers: each one flushes, starts a segment where
// asked whose first frame (begun before) is a discontinuity stamped 0, and nothing hangs.
TEST_F(VideoStreamingTest, SeeksWhileDelivering)
{
    Load(VideoMovie(8, 8, 600, 600000, 30000));
    CMovieVideoPin *pPin = VideoPin(0);
    IMediaSeeking *p = Seeking(pPin);
    TestSink *pSink = ConnectToSink(pPin);
    ASSERT_NE(pSink, nullptr);
    HRESULT hr = E_FAIL;
    ASSERT_TRUE(FinishesWithin(kWaitMs, [&] { hr = m_pControl->Pause(); }));
    ASSERT_TRUE(SUCCEEDED(hr));
    for (int i = 1; i <= 20; ++i) {
        ASSERT_TRUE(pSink->WaitForSamples(pSink->SampleCount() + 3, kWaitMs)) << "seek " << i;
        LONGLONG start = LONGLONG(i) * 10000000 + 100000;  // just after second i
        ASSERT_TRUE(FinishesWithin(kWaitMs, [&] {
            hr = p->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, 0);
        })) << "seek " << i << " hung";
        ASSERT_EQ(hr, S_OK);
    }
    ASSERT_TRUE(pSink->WaitForSamples(pSink->SampleCount() + 3, kWaitMs));
    ASSERT_TRUE(FinishesWithin(kWaitMs, [this] { m_pControl->Stop(); }));

    // After each flush: a segment from the asked start, then a discontinuity at 0.
    const auto starts = RestartsAfterFlushes(pSink);
    ASSERT_EQ(starts.size(), 20u);
    for (size_t i = 0; i < starts.size(); ++i)
        EXPECT_EQ(starts[i], Reference(LONGLONG(i + 1) * 600 + 6, 600));
    size_t discontinuities = 0;
    for (const SinkRecord &r : pSink->Samples())
        discontinuities += r.bDiscontinuity;
    EXPECT_EQ(discontinuities, 21u) << "one per pass";
    ExpectMonotonicSegments(pSink);
}

// A rate call restarts a delivering pin the way a seek does; other threads' quality messages
// and stop changes do not disturb it.
TEST_F(VideoStreamingTest, RateAndQualityCallsWhileDelivering)
{
    Load(VideoMovie(8, 8, 600, 600000, 30000));
    CMovieVideoPin *pPin = VideoPin(0);
    IMediaSeeking *p = Seeking(pPin);
    TestSink *pSink = ConnectToSink(pPin);
    ASSERT_NE(pSink, nullptr);
    HRESULT hr = E_FAIL;
    ASSERT_TRUE(FinishesWithin(kWaitMs, [&] { hr = m_pControl->Pause(); }));
    ASSERT_TRUE(pSink->WaitForSamples(5, kWaitMs));
    ASSERT_TRUE(FinishesWithin(kWaitMs, [&] { hr = p->SetRate(1.0); })) << "SetRate hung";
    EXPECT_EQ(hr, S_OK);
    ASSERT_TRUE(pSink->WaitForSamples(pSink->SampleCount() + 5, kWaitMs));
    Quality q = {Famine, 1000, 2000000, 0};
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(FinishesWithin(kWaitMs, [&] { pPin->Notify(m_pFilter, q); }));
    // A stop a little ahead of the read position ends the pass.
    LONGLONG current = 0;
    p->GetPositions(&current, nullptr);
    LONGLONG stop = current + 20000000;
    ASSERT_EQ(p->SetPositions(nullptr, 0, &stop, AM_SEEKING_AbsolutePositioning), S_OK);
    ASSERT_EQ(WaitForSingleObject(pSink->EndOfStreamEvent(), kWaitMs), WAIT_OBJECT_0);
    ASSERT_TRUE(FinishesWithin(kWaitMs, [this] { m_pControl->Stop(); }));

    // The rate call restarted the pass from the start position.
    const auto starts = RestartsAfterFlushes(pSink);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0], 0);
    EXPECT_EQ(Segments(pSink).size(), 2u);
    ExpectMonotonicSegments(pSink);
}

// Pause and Stop from a second thread, many times, while frames flow.
TEST_F(VideoStreamingTest, StateChangesFromAnotherThread)
{
    Load(VideoMovie(8, 8, 600, 600000, 30000));
    TestSink *pSink = ConnectToSink(VideoPin(0));
    ASSERT_NE(pSink, nullptr);
    for (int i = 0; i < 15; ++i) {
        HRESULT hr = E_FAIL;
        ASSERT_TRUE(FinishesWithin(kWaitMs, [&] { hr = m_pControl->Pause(); })) << i;
        ASSERT_TRUE(SUCCEEDED(hr));
        ASSERT_TRUE(pSink->WaitForSamples(pSink->SampleCount() + 2, kWaitMs)) << i;
        if (i % 3 == 0) {
            ASSERT_TRUE(FinishesWithin(kWaitMs, [&] { m_pControl->Run(); })) << i;
        }
        ASSERT_TRUE(FinishesWithin(kWaitMs, [&] { m_pControl->Stop(); })) << i;
    }
    EXPECT_EQ(Segments(pSink).size(), 15u);
    ExpectMonotonicSegments(pSink);
}

// Seeks on one thread while another pauses and stops the graph: neither waits for ever, and
// after the storm the pin still streams a whole pass from its last start.
TEST_F(VideoStreamingTest, SeeksRaceStateChanges)
{
    Load(VideoMovie(8, 8, 600, 600000, 30000));
    CMovieVideoPin *pPin = VideoPin(0);
    IMediaSeeking *p = Seeking(pPin);
    TestSink *pSink = ConnectToSink(pPin);
    ASSERT_NE(pSink, nullptr);
    volatile LONG lStop = 0;
    HANDLE hSeeker = nullptr;
    struct Seeker {
        IMediaSeeking *p;
        volatile LONG *pStop;
        static DWORD WINAPI Run(LPVOID pv)
        {
            Seeker *s = static_cast<Seeker *>(pv);
            for (LONGLONG i = 0; !*s->pStop; i = (i + 1) % 900) {
                LONGLONG start = i * 10000000;
                s->p->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, 0);
                // A host seeks now and then; back to back, seeks could starve the Stop of the
                // state lock they share.
                Sleep(1);
            }
            return 0;
        }
    } seeker = {p, &lStop};
    hSeeker = CreateThread(nullptr, 0, Seeker::Run, &seeker, 0, nullptr);
    ASSERT_NE(hSeeker, nullptr);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(FinishesWithin(kWaitMs, [&] { m_pControl->Pause(); })) << i;
        Sleep(2);
        ASSERT_TRUE(FinishesWithin(kWaitMs, [&] { m_pControl->Stop(); })) << i;
    }
    InterlockedExchange(&lStop, 1);
    ASSERT_EQ(WaitForSingleObject(hSeeker, kWaitMs), WAIT_OBJECT_0) << "a seek hung";
    CloseHandle(hSeeker);

    LONGLONG start = 9990 * 10000000LL / 1000, stop = 20000000;
    ASSERT_EQ(p->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                              AM_SEEKING_IncrementalPositioning),
              S_OK);
    pSink->ClearRecords();
    ASSERT_TRUE(PauseAndWaitForEnd(pSink));
    EXPECT_EQ(pSink->SampleCount(), 60u);
    ExpectMonotonicSegments(pSink);
}

// Two video tracks share one movie, its time and its world: every frame of each pin is drawn
// at that pin's own time into its own bitmap.
TEST_F(VideoStreamingTest, TwoVideoPinsNeverInterleave)
{
    MovieModel movie = VideoMovie(8, 8, 600, 60000, 3000);
    movie.tracks.push_back(TrackModel::Video(8, 8, QTFourCC("raw "), 600, 60000, 3000));
    Load(movie);
    ASSERT_EQ(m_pFilter->GetPinCount(), 2);
    // The second pin starts 7 units later, so that the two draw different patterns.
    IMediaSeeking *p2 = Seeking(VideoPin(1));
    LONGLONG start = SeekTime(7 * 20, 600);
    ASSERT_EQ(p2->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
    TestSink *pSink1 = ConnectToSink(VideoPin(0));
    TestSink *pSink2 = ConnectToSink(VideoPin(1));
    ASSERT_NE(pSink1, nullptr);
    ASSERT_NE(pSink2, nullptr);
    pSink1->SetKeepBytes(true);
    pSink2->SetKeepBytes(true);
    HRESULT hr = E_FAIL;
    ASSERT_TRUE(FinishesWithin(kWaitMs, [&] { hr = m_pControl->Pause(); }));
    ASSERT_TRUE(SUCCEEDED(hr));
    ASSERT_EQ(WaitForSingleObject(pSink1->EndOfStreamEvent(), 3 * kWaitMs), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(pSink2->EndOfStreamEvent(), 3 * kWaitMs), WAIT_OBJECT_0);
    ExpectEvenFrames(pSink1->Samples(), 3000, 0, 20, 600, 8 * 8 * 4);
    ExpectEvenFrames(pSink2->Samples(), 3000 - 7, 140, 20, 600, 8 * 8 * 4);
}

// The fill step itself: a buffer larger than a frame is zeroed beyond it, the copy stays
// within the DIB section and the data length is the frame's.
TEST_F(VideoStreamingTest, FillCopiesOneFrameIntoLargerBuffers)
{
    Load(VideoMovie(8, 8, 600, 6000, 300));
    CMovieVideoPin *pPin = VideoPin(0);
    ASSERT_NE(pPin, nullptr);
    LONGLONG start = SeekTime(100, 600);
    ASSERT_EQ(Seeking(pPin)->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, 0),
              S_OK);
    ASSERT_EQ(pPin->OnThreadCreate(), S_OK);
    ASSERT_EQ(m_fake->CountOf(kQTSel_NewGWorldFromHBITMAP), 1u);

    const long frame = 8 * 8 * 4;
    TestSample sample(frame + 4096);
    ASSERT_EQ(pPin->FillBuffer(&sample), S_OK);
    EXPECT_EQ(sample.lActual, frame);
    EXPECT_TRUE(std::all_of(sample.buffer.begin(), sample.buffer.begin() + frame,
                            [](BYTE b) { return b == Pattern(100); }));
    EXPECT_TRUE(std::all_of(sample.buffer.begin() + frame, sample.buffer.end(),
                            [](BYTE b) { return b == 0; }))
        << "bytes past the frame are cleared, not copied from beyond the DIB section";
    EXPECT_EQ(sample.tStart, 0);
    EXPECT_EQ(sample.tStop, 333333);
    EXPECT_TRUE(sample.bSync);
    EXPECT_EQ(m_fake->MovieTime(), 100);

    // A second set-up keeps the target; a sample without memory ends the stream.
    ASSERT_EQ(pPin->OnThreadCreate(), S_OK);
    EXPECT_EQ(m_fake->CountOf(kQTSel_NewGWorldFromHBITMAP), 1u);
    TestSample broken(frame);
    broken.hrPointer = E_FAIL;
    EXPECT_EQ(pPin->FillBuffer(&broken), S_FALSE);
    EXPECT_FALSE(broken.bTimeSet);
}

// The movie draws into one world at a time: a fill attaches its pin's world only when another
// pin's is attached, so a lone pin's frames cost no attach each, and two pins still draw each
// frame into their own bitmaps at their own times.
TEST_F(VideoStreamingTest, AFillAttachesItsWorldOnlyWhenAnotherIsAttached)
{
    MovieModel movie = VideoMovie(8, 8, 600, 6000, 300);
    movie.tracks.push_back(TrackModel::Video(8, 8, QTFourCC("raw "), 600, 6000, 300));
    Load(movie);
    CMovieVideoPin *pFirst = VideoPin(0);
    CMovieVideoPin *pSecond = VideoPin(1);
    ASSERT_NE(pFirst, nullptr);
    ASSERT_NE(pSecond, nullptr);
    LONGLONG start = SeekTime(7, 600);
    ASSERT_EQ(Seeking(pSecond)->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, 0),
              S_OK);
    ASSERT_EQ(pFirst->OnThreadCreate(), S_OK);
    ASSERT_EQ(pSecond->OnThreadCreate(), S_OK);
    const std::vector<Call> made = m_fake->CallsTo(kQTSel_SetMovieGWorld);
    ASSERT_EQ(made.size(), 2u);
    const uintptr_t firstWorld = made[0].args[1], secondWorld = made[1].args[1];
    ASSERT_NE(firstWorld, secondWorld);

    const long frame = 8 * 8 * 4;
    auto fill = [&](CMovieVideoPin *pPin, LONG expectedTime) {
        TestSample sample(frame);
        ASSERT_EQ(pPin->FillBuffer(&sample), S_OK);
        EXPECT_TRUE(std::all_of(sample.buffer.begin(), sample.buffer.end(),
                                [&](BYTE b) { return b == Pattern(expectedTime); }))
            << "drawn at " << expectedTime << " into the pin's own bitmap";
    };
    m_fake->ClearCalls();
    // The second pin's segment starts inside frame 0, which it shows from there.
    fill(pSecond, 7);
    fill(pSecond, 20);
    EXPECT_EQ(m_fake->CountOf(kQTSel_SetMovieGWorld), 0u) << "its world is still attached";
    fill(pFirst, 0);
    fill(pFirst, 20);
    std::vector<Call> attached = m_fake->CallsTo(kQTSel_SetMovieGWorld);
    ASSERT_EQ(attached.size(), 1u);
    EXPECT_EQ(attached[0].args[1], firstWorld);
    fill(pSecond, 40);
    attached = m_fake->CallsTo(kQTSel_SetMovieGWorld);
    ASSERT_EQ(attached.size(), 2u);
    EXPECT_EQ(attached[1].args[1], secondWorld);
}

// A failed world leaves the pin able to try again at the next start.
TEST_F(VideoStreamingTest, FailedWorldIsMadeAgainAtTheNextStart)
{
    Load(VideoMovie(8, 8, 600, 6000, 300));
    CMovieVideoPin *pPin = VideoPin(0);
    ASSERT_NE(pPin, nullptr);
    m_fake->Fail(kQTSel_NewGWorldFromHBITMAP, -108, 1);
    EXPECT_EQ(pPin->OnThreadCreate(), E_FAIL);
    EXPECT_EQ(m_fake->CountOf(kQTSel_SetMovieGWorld), 0u);
    EXPECT_EQ(pPin->OnThreadCreate(), S_OK);
    EXPECT_EQ(m_fake->CountOf(kQTSel_NewGWorldFromHBITMAP), 2u);
    EXPECT_EQ(m_fake->CountOf(kQTSel_SetMovieGWorld), 1u);
}

// Destruction detaches the world from the movie before disposing of it, and disposes of the
// track media and track once.
TEST_F(VideoStreamingTest, DestructionDetachesTheWorldFirst)
{
    Load(VideoMovie(8, 8, 600, 6000, 300));
    CMovieVideoPin *pPin = VideoPin(0);
    ASSERT_NE(pPin, nullptr);
    ASSERT_EQ(pPin->OnThreadCreate(), S_OK);
    const Movie movie = m_fake->OpenedMovie();
    const GWorldPtr world = GWorldPtr(m_fake->CallsTo(kQTSel_SetMovieGWorld).back().args[1]);
    ASSERT_NE(world, nullptr);
    m_fake->ClearCalls();
    EXPECT_EQ(m_pFilter->Release(), 0u);
    m_pFilter = nullptr;

    int detach = -1, dispose = -1, media = -1, track = -1;
    const auto calls = m_fake->Calls();
    for (size_t i = 0; i < calls.size(); ++i) {
        const Call &c = calls[i];
        if (c.selector == kQTSel_SetMovieGWorld && Movie(c.args[0]) == movie && !c.args[1] &&
            detach < 0)
            detach = int(i);
        if (c.selector == kQTSel_DisposeGWorld && GWorldPtr(c.args[0]) == world)
            dispose = int(i);
    }
    EXPECT_GE(detach, 0) << "the world was never detached";
    EXPECT_GT(dispose, detach) << "disposed while the movie still drew into it";
    media = int(m_fake->CountOf(kQTSel_DisposeTrackMedia));
    track = int(m_fake->CountOf(kQTSel_DisposeMovieTrack));
    EXPECT_EQ(media, 1);
    EXPECT_EQ(track, 1);
    EXPECT_EQ(m_fake->CountOf(kQTSel_DisposeGWorld), 1u);
}

}  // namespace
}  // namespace pinstest
