// Seeking a pin through IMediaSeeking by media time and by frames, and playing again after a
// stop: each pass starts at its position and shows ffmpeg's frames and sound from there.
#include <windows.h>
#include <gtest/gtest.h>

#include "allocation_counter.h"
#include "frame_check.h"
#include "pin_graph.h"
#include "stream_checks.h"

namespace {

const REFERENCE_TIME kSecond = 10000000;

struct SeekCase {
    const char *movie;  // video first; movie and media time scales differ
    REFERENCE_TIME target;
    const char *format;  // of the reference
    FrameReference kind;
};

void PrintTo(const SeekCase &c, std::ostream *os) { *os << c.movie << " to " << c.target; }

class SeekByMediaTime : public ::testing::TestWithParam<SeekCase> {};

// The pass starts at the target (to the nearest unit of the movie's time), and the frame shown
// there comes first, stamped 0.
TEST_P(SeekByMediaTime, StartsWithTheFrameShownAtTheTarget)
{
    const SeekCase &c = GetParam();
    if (ScreenBits() != 32)
        GTEST_SKIP() << "the references are 32-bit frames";
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open(c.movie, &where), S_OK) << where;
    ASSERT_TRUE(graph.IsVideo(0));
    ComPtr<IMediaSeeking> seeking = graph.Seeking(0);
    ASSERT_TRUE(seeking);
    LONGLONG start = c.target;
    ASSERT_EQ(seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr,
                                    AM_SEEKING_NoPositioning), S_OK);
    LONGLONG current = -1, stop = -1;
    ASSERT_EQ(seeking->GetPositions(&current, &stop), S_OK);
    const VideoGrid grid = ReadGrid(c.movie, 0);
    ASSERT_TRUE(grid.valid());
    EXPECT_LT(llabs(current - c.target), kSecond / 1000) << "moved to " << current;

    ASSERT_TRUE(graph.Play());
    const std::vector<testsupport::SinkRecord> records = graph.Sink(0)->Records();
    std::vector<PlacedSample> pass;
    ASSERT_NO_FATAL_FAILURE(ExpectOnePass(graph.Sink(0), records, &pass));
    EXPECT_EQ(pass[0].position, current);
    EXPECT_EQ(FrameIndices(pass, grid).front(), grid.FrameAt(current));
    EXPECT_EQ(ExpectFramesMatch(graph, 0, {c.movie, 0, c.format, c.kind}), pass.size());
    EXPECT_EQ(EndOfStreamCount(records), 1u);
}

// Movie scale 1000 against media scales of 600 (rle24), 30000 at 29.97 frames per second
// (rle16, whose frames do not fall on whole milliseconds) and 12800 (ffmpeg's default).
const FrameReference kSame = FrameReference::kSameFormat;
INSTANTIATE_TEST_SUITE_P(
    Movies, SeekByMediaTime,
    ::testing::Values(SeekCase{"rle24.mov", 2100000, "bgr0", kSame},
                      SeekCase{"rle24.mov", 3999999, "bgr0", kSame},
                      SeekCase{"raw24.mov", 1200000, "bgr0", kSame},
                      SeekCase{"grid12800.mov", 2100000, "bgr0", kSame},
                      SeekCase{"grid12800.mov", 5990000, "bgr0", kSame},
                      SeekCase{"rle16.mov", 2100000, "rgb555le", FrameReference::kFiveBitSource},
                      SeekCase{"rle16.mov", 6999000, "rgb555le", FrameReference::kFiveBitSource},
                      // H.264: jumps into a group of pictures, with B-frames, and past an edit.
                      SeekCase{"h264.mp4", 13300000, "nv12", FrameReference::kBt601Source},
                      SeekCase{"h264.mp4", 4100000, "nv12", FrameReference::kBt601Source},
                      SeekCase{"h264cut.mp4", 7000000, "nv12", FrameReference::kBt601Source},
                      // Variable frame durations (20, 40, 10, 30 ms): on a frame's start and
                      // inside the longest one.
                      SeekCase{"vfr.mp4", 7000000, "nv12", FrameReference::kBt601Source},
                      SeekCase{"vfr.mp4", 7400000, "nv12", FrameReference::kBt601Source},
                      // Fragments from 10 s on: the fragments' times hold for seeking.
                      SeekCase{"late10.mp4", 110000000, "nv12", FrameReference::kBt601Source}));

// Frames of a variable-rate movie by number: frame n is the n-th frame shown, at its own time.
TEST(SeekByFrames, VariableRateFramesByNumber)
{
    if (ScreenBits() != 32)
        GTEST_SKIP() << "the references are 32-bit frames";
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open("vfr.mp4", &where), S_OK) << where;
    ComPtr<IMediaSeeking> seeking = graph.Seeking(0);
    ASSERT_TRUE(seeking);
    const VideoGrid grid = ReadGrid("vfr.mp4", 0);
    ASSERT_TRUE(grid.valid());
    ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    LONGLONG frames = 0;
    ASSERT_EQ(seeking->GetDuration(&frames), S_OK);
    EXPECT_EQ(frames, grid.frames);
    LONGLONG start = 13, stop = 22;
    ASSERT_EQ(seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                                    AM_SEEKING_AbsolutePositioning), S_OK);
    ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME), S_OK);
    LONGLONG current = -1, end = -1;
    ASSERT_EQ(seeking->GetPositions(&current, &end), S_OK);
    EXPECT_LE(llabs(current - grid.Start(13)), 1);
    EXPECT_LE(llabs(end - grid.Start(22)), 1);

    ASSERT_TRUE(graph.Play());
    const auto records = graph.Sink(0)->Records();
    std::vector<PlacedSample> pass;
    ASSERT_NO_FATAL_FAILURE(ExpectOnePass(graph.Sink(0), records, &pass));
    ASSERT_EQ(pass.size(), 9u);
    for (size_t n = 0; n < pass.size(); n++)
        EXPECT_LE(llabs(pass[n].position - grid.Start(LONGLONG(13 + n))), 2) << n;
    EXPECT_EQ(FrameIndices(pass, grid).front(), 13);
    EXPECT_EQ(ExpectFramesMatch(graph, 0, {"vfr.mp4", 0, "nv12", FrameReference::kBt601Source}),
              pass.size());
}

TEST(SeekByFrames, DeliversTheFramesFromStartToStop)
{
    if (ScreenBits() != 32)
        GTEST_SKIP() << "the references are 32-bit frames";
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open("rle24.mov", &where), S_OK) << where;
    ComPtr<IMediaSeeking> seeking = graph.Seeking(0);
    ASSERT_TRUE(seeking);
    ASSERT_EQ(seeking->IsFormatSupported(&TIME_FORMAT_FRAME), S_OK);
    ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    LONGLONG start = 7, stop = 15;
    ASSERT_EQ(seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                                    AM_SEEKING_AbsolutePositioning), S_OK);
    LONGLONG current = -1, end = -1;
    ASSERT_EQ(seeking->GetPositions(&current, &end), S_OK);
    EXPECT_EQ(current, 7);
    EXPECT_EQ(end, 15);

    ASSERT_TRUE(graph.Play());
    const auto records = graph.Sink(0)->Records();
    std::vector<PlacedSample> pass;
    ASSERT_NO_FATAL_FAILURE(ExpectOnePass(graph.Sink(0), records, &pass));
    const std::vector<LONGLONG> frames = FrameIndices(pass, ReadGrid("rle24.mov", 0));
    ASSERT_EQ(frames.size(), 8u);
    for (size_t n = 0; n < frames.size(); n++)
        EXPECT_EQ(frames[n], LONGLONG(7 + n));
    EXPECT_EQ(ExpectFramesMatch(graph, 0, {"rle24.mov", 0, "bgr0", FrameReference::kSameFormat}),
              frames.size());
    EXPECT_EQ(EndOfStreamCount(records), 1u);
}

// The sound from the snapped start: the sample stamps say where it is, and the bytes are the
// reference's from there. Sound goes out in whole buffers, so the last one may run past the stop
// (a renderer keeps to the segment's stop), but none starts at or after it.
TEST(SeekSound, DeliversTheSoundFromTheTarget)
{
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open("twos.mov", &where), S_OK) << where;
    ComPtr<IMediaSeeking> seeking = graph.Seeking(0);
    ASSERT_TRUE(seeking);
    LONGLONG start = kSecond / 2, stop = kSecond * 3 / 4;
    ASSERT_EQ(seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                                    AM_SEEKING_AbsolutePositioning), S_OK);
    ASSERT_TRUE(graph.Play());
    const auto records = graph.Sink(0)->Records();
    std::vector<PlacedSample> pass;
    ASSERT_NO_FATAL_FAILURE(ExpectOnePass(graph.Sink(0), records, &pass));
    const REFERENCE_TIME first = pass[0].position;
    EXPECT_LE(first, start);
    EXPECT_GT(first, start - kSecond / 100) << "snapped more than 10 ms early";
    EXPECT_LT(pass.back().position, stop);
    const std::vector<uint8_t> got = Concatenated(records);
    const size_t from = size_t((first * 44100 + kSecond / 2) / kSecond);
    const size_t to = size_t(stop * 44100 / kSecond);
    ASSERT_GE(got.size(), (to - from) * 4);
    const std::vector<uint8_t> all = ReadMedia("twos.mov.a0.s16le");
    ASSERT_EQ(all.size(), 44100u * 4);
    const std::vector<uint8_t> want(all.begin() + from * 4, all.begin() + to * 4);
    ExpectSoundMatches({got.begin(), got.begin() + (to - from) * 4}, want, 4, 44100, false);
}

// A sound pin seeked to the movie's start starts there: its first sample holds time 0.
TEST(SeekSound, ToTheStartStartsThere)
{
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open("twos.mov", &where), S_OK) << where;
    ComPtr<IMediaSeeking> seeking = graph.Seeking(0);
    ASSERT_TRUE(seeking);
    LONGLONG start = 0;
    ASSERT_EQ(seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr,
                                    AM_SEEKING_NoPositioning), S_OK);
    LONGLONG current = -1;
    ASSERT_EQ(seeking->GetPositions(&current, nullptr), S_OK);
    EXPECT_EQ(current, 0);
    ASSERT_TRUE(graph.Play());
    std::vector<PlacedSample> pass;
    ASSERT_NO_FATAL_FAILURE(ExpectOnePass(graph.Sink(0), graph.Sink(0)->Records(), &pass));
    EXPECT_EQ(pass[0].position, 0);
    ExpectSoundMatches(Concatenated(graph.Sink(0)->Records()), ReadMedia("twos.mov.a0.s16le"), 4,
                       44100, false);
}

// Every pin of a movie with video and two sound tracks seeked to one time: each starts at its
// own position and delivers from there, the video where asked, the sound at most 10 ms early.
TEST(SeekAllPins, EveryPinStartsWhereItsSnappedPositionSays)
{
    if (ScreenBits() != 32)
        GTEST_SKIP() << "the references are 32-bit frames";
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open("av2snd.mov", &where), S_OK) << where;
    const LONGLONG target = 3300000;
    for (size_t i = 0; i < graph.PinCount(); i++) {
        ComPtr<IMediaSeeking> seeking = graph.Seeking(i);
        ASSERT_TRUE(seeking);
        LONGLONG start = target;
        ASSERT_EQ(seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr,
                                        AM_SEEKING_NoPositioning), S_OK);
    }
    ASSERT_TRUE(graph.Play());
    const VideoGrid grid = ReadGrid("av2snd.mov", 0);
    for (size_t i = 0; i < graph.PinCount(); i++) {
        SCOPED_TRACE("pin " + std::to_string(i));
        const auto records = graph.Sink(i)->Records();
        std::vector<PlacedSample> pass;
        ASSERT_NO_FATAL_FAILURE(ExpectOnePass(graph.Sink(i), records, &pass));
        const REFERENCE_TIME first = pass[0].position;
        EXPECT_LE(first, target);
        if (graph.IsVideo(i)) {
            EXPECT_EQ(first, target);
            EXPECT_EQ(FrameIndices(pass, grid).front(), grid.FrameAt(target));
            EXPECT_EQ(ExpectFramesMatch(graph, i, {"av2snd.mov", 0, "bgr0", FrameReference::kSameFormat}),
                      pass.size());
            continue;
        }
        EXPECT_GT(first, target - kSecond / 100) << "snapped more than 10 ms early";
        if (!g_config.legacy)
            continue;  // the mix is checked whole in the tracks' tests
        const WAVEFORMATEX &wfx = *reinterpret_cast<const WAVEFORMATEX *>(graph.Type(i).pbFormat);
        const std::vector<uint8_t> all = ReadMedia("av2snd.mov.a" + std::to_string(i - 1) + ".s16le");
        const size_t offset =
            size_t((first * wfx.nSamplesPerSec + kSecond / 2) / kSecond) * wfx.nBlockAlign;
        ASSERT_LT(offset, all.size());
        ExpectSoundMatches(Concatenated(records), {all.begin() + offset, all.end()},
                           wfx.nBlockAlign, wfx.nSamplesPerSec, false);
    }
}

// A second pass after a stop starts again at the seek's start, with the same frames, drawn into
// the render target the first pass made.
TEST(StopAndRun, TheSecondPassRepeatsTheFirst)
{
    AllocationCounter counter({GetModuleHandleA("QuorvexTavrolin.ax")});
    ASSERT_GE(counter.Hooked(), 1u);
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open("rle24.mov", &where), S_OK) << where;
    ComPtr<IMediaSeeking> seeking = graph.Seeking(0);
    ASSERT_TRUE(seeking);
    LONGLONG start = 2100000;
    ASSERT_EQ(seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr,
                                    AM_SEEKING_NoPositioning), S_OK);
    AllocationCounter::Reset();
    ASSERT_TRUE(graph.Play());
    EXPECT_EQ(AllocationCounter::DibSections(), 1) << "the first pass makes the render target";
    const auto first = graph.Sink(0)->Records();
    graph.ClearRecords();
    AllocationCounter::Reset();
    ASSERT_TRUE(graph.Play());
    EXPECT_EQ(AllocationCounter::DibSections(), 0) << "the second pass makes another";
    const auto second = graph.Sink(0)->Records();

    const auto a = Segments(first), b = Segments(second);
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    ASSERT_EQ(a[0].size(), b[0].size());
    ASSERT_FALSE(b[0].empty());
    EXPECT_EQ(b[0][0].position, 2100000);
    ExpectContiguous(b[0]);
    for (size_t n = 0; n < a[0].size(); n++) {
        EXPECT_EQ(a[0][n].position, b[0][n].position) << n;
        EXPECT_EQ(a[0][n].record->hash, b[0][n].record->hash) << n;
    }
    EXPECT_EQ(EndOfStreamCount(first), 1u);
    EXPECT_EQ(EndOfStreamCount(second), 1u);
}

// Stopped after a pass that reached the end, and run again without a seek (as a player that
// stops and plays does): every pin, sound and pictures, delivers the same pass again.
TEST(StopAndRun, AfterTheEndEveryPinPlaysAgain)
{
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open("av2snd.mov", &where), S_OK) << where;
    ASSERT_GE(graph.PinCount(), 2u);
    ASSERT_TRUE(graph.Play());
    std::vector<std::vector<uint8_t>> first;
    for (size_t i = 0; i < graph.PinCount(); i++)
        first.push_back(Concatenated(graph.Sink(i)->Records()));
    graph.ClearRecords();
    ASSERT_TRUE(graph.Play());
    for (size_t i = 0; i < graph.PinCount(); i++) {
        SCOPED_TRACE("pin " + std::to_string(i));
        const auto records = graph.Sink(i)->Records();
        EXPECT_FALSE(first[i].empty());
        EXPECT_EQ(Concatenated(records).size(), first[i].size());
        EXPECT_TRUE(Concatenated(records) == first[i]);
        EXPECT_EQ(EndOfStreamCount(records), 1u);
    }
}

}  // namespace
