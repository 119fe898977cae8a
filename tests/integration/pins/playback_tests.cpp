// Whole passes through the graph: every frame and every byte of sound a pin delivers against
// ffmpeg's decoding of the same movie, the stream's order, and a second pass after a stop.
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <mmreg.h>

#include <fstream>

#include "frame_check.h"
#include "moviewriter.h"
#include "pin_graph.h"
#include "stream_checks.h"

namespace {

// A run on a display of a given depth says so (PIN_SCREEN_BITS); its cases would otherwise all
// skip unnoticed when the display is not what the run set up.
TEST(Screen, HasTheDepthTheRunAsksFor)
{
    const char *wanted = std::getenv("PIN_SCREEN_BITS");
    if (!wanted)
        GTEST_SKIP() << "no depth asked for";
    EXPECT_EQ(ScreenBits(), std::atoi(wanted));
}

struct VideoCase {
    const char *movie;
    int bits;  // the screen depth the case needs
    const char *format;
    FrameReference kind;
};

void PrintTo(const VideoCase &c, std::ostream *os) { *os << c.movie << " at " << c.bits << " bits"; }

class VideoPlayback : public ::testing::TestWithParam<VideoCase> {};

TEST_P(VideoPlayback, EveryFrameIsFfmpegsFrameAtItsOwnTime)
{
    const VideoCase &c = GetParam();
    if (ScreenBits() != c.bits)
        GTEST_SKIP() << "needs a " << c.bits << "-bit screen; this one has " << ScreenBits();
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open(c.movie, &where), S_OK) << where;
    ASSERT_GE(graph.PinCount(), 1u);
    ASSERT_TRUE(graph.IsVideo(0));
    ASSERT_TRUE(graph.Play());
    const std::vector<testsupport::SinkRecord> records = graph.Sink(0)->Records();
    const VideoGrid grid = ReadGrid(c.movie, 0);
    std::vector<PlacedSample> pass;
    ASSERT_NO_FATAL_FAILURE(ExpectFramesAtTheirTimes(graph.Sink(0), records, grid, &pass));
    const FrameCheck check{c.movie, 0, c.format, c.kind};
    EXPECT_EQ(ExpectFramesMatch(graph, 0, check), pass.size());
}

INSTANTIATE_TEST_SUITE_P(
    Screen32, VideoPlayback,
    ::testing::Values(VideoCase{"raw24.mov", 32, "bgr0", FrameReference::kSameFormat},
                      VideoCase{"raw32.mov", 32, "bgr0", FrameReference::kSameFormat},
                      VideoCase{"rle24.mov", 32, "bgr0", FrameReference::kSameFormat},
                      VideoCase{"rle32.mov", 32, "bgr0", FrameReference::kSameFormat},
                      VideoCase{"raw16.mov", 32, "rgb555le", FrameReference::kFiveBitSource},
                      VideoCase{"rle16.mov", 32, "rgb555le", FrameReference::kFiveBitSource},
                      VideoCase{"h264.mp4", 32, "nv12", FrameReference::kBt601Source},
                      VideoCase{"h264nob.mov", 32, "nv12", FrameReference::kBt601Source},
                      VideoCase{"h264cut.mp4", 32, "nv12", FrameReference::kBt601Source},
                      VideoCase{"h264full.mp4", 32, "nv12", FrameReference::kBt709FullSource},
                      VideoCase{"jpeg.mov", 32, "bgr0", FrameReference::kJpegSource},
                      // Frames at their own times: video shorter than its sound, fragments
                      // whose first frame is late, the same cut short, 29.97 in coarse movie
                      // time scales, variable durations, an empty edit.
                      VideoCase{"av25.mp4", 32, "nv12", FrameReference::kBt601Source},
                      VideoCase{"frag.mp4", 32, "nv12", FrameReference::kBt601Source},
                      VideoCase{"fragcut.mp4", 32, "nv12", FrameReference::kBt601Source},
                      VideoCase{"ntsc1000.mp4", 32, "nv12", FrameReference::kBt601Source},
                      VideoCase{"ntsc600.mov", 32, "bgr0", FrameReference::kSameFormat},
                      VideoCase{"vfr.mp4", 32, "nv12", FrameReference::kBt601Source},
                      VideoCase{"emptyedit.mov", 32, "bgr0", FrameReference::kSameFormat},
                      // Frames 0.1 ms apart after an empty edit (a phone's slow motion).
                      VideoCase{"slowmo.mp4", 32, "nv12", FrameReference::kBt601Source},
                      // Fragments from 10 s on (a live stream joined late): nothing before.
                      VideoCase{"late10.mp4", 32, "nv12", FrameReference::kBt601Source},
                      VideoCase{"baseline30.mp4", 32, "nv12", FrameReference::kBt601Source},
                      // A movie of each family the runtime's decoder library takes.
                      VideoCase{"video/hevc-main10.mov", 32, "yuv420p10le", FrameReference::kPlanarBt601Source},
                      VideoCase{"video/av1.mp4", 32, "yuv420p", FrameReference::kPlanarBt601Source},
                      VideoCase{"video/vp9.mp4", 32, "yuv420p", FrameReference::kPlanarBt601Source},
                      VideoCase{"video/prores-4.mov", 32, "yuv444p12le", FrameReference::kPlanarBt601Source},
                      VideoCase{"video/mpeg4.mp4", 32, "yuv420p", FrameReference::kPlanarBt601Source},
                      VideoCase{"video/h263.3gp", 32, "yuv420p", FrameReference::kPlanarBt601Source},
                      VideoCase{"video/dv-ntsc.mov", 32, "yuv411p", FrameReference::kPlanarBt601Source},
                      VideoCase{"video/svq1.mov", 32, "yuv410p", FrameReference::kPlanarBt601Source},
                      VideoCase{"video/jpeg.mov", 32, "yuvj420p", FrameReference::kPlanarBt601Source},
                      VideoCase{"video/png-rgb24.mov", 32, "bgr0", FrameReference::kSameFormat},
                      VideoCase{"video/cinepak.mov", 32, "bgr0", FrameReference::kSameFormat},
                      VideoCase{"video/smc.mov", 32, "bgr0", FrameReference::kSameFormat},
                      VideoCase{"video/rpza.mov", 32, "rgb555le", FrameReference::kFiveBitSource}));
INSTANTIATE_TEST_SUITE_P(
    Screen16, VideoPlayback,
    ::testing::Values(VideoCase{"raw16.mov", 16, "rgb555le", FrameReference::kSameFormat},
                      VideoCase{"rle16.mov", 16, "rgb555le", FrameReference::kSameFormat},
                      VideoCase{"raw24.mov", 16, "bgr0", FrameReference::kEightBitSource},
                      VideoCase{"rle24.mov", 16, "bgr0", FrameReference::kEightBitSource},
                      VideoCase{"ntsc600.mov", 16, "bgr0", FrameReference::kEightBitSource},
                      VideoCase{"emptyedit.mov", 16, "bgr0", FrameReference::kEightBitSource}));

// Non-square pixels: the 320x240 pictures of a track 426.67 wide (4:3 pixels) are scaled to the
// track's box, 426x240, every frame at its own time, each ffmpeg's picture scaled by its own
// bilinear filter in RGB to within rounding (40 dB; the colour conversions differ by one).
TEST(Anamorphic, PicturesAreScaledToTheTracksBox)
{
    if (ScreenBits() != 32)
        GTEST_SKIP() << "the references are 32-bit frames";
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open("anamorphic.mp4", &where), S_OK) << where;
    ASSERT_EQ(graph.PinCount(), 2u);
    const AM_MEDIA_TYPE mt = graph.Type(0);
    ASSERT_GE(mt.cbFormat, sizeof(VIDEOINFOHEADER));
    const BITMAPINFOHEADER &bmi = reinterpret_cast<const VIDEOINFOHEADER *>(mt.pbFormat)->bmiHeader;
    ASSERT_EQ(bmi.biWidth, 426);
    ASSERT_EQ(bmi.biHeight, -240);
    ASSERT_TRUE(graph.Play());
    const VideoGrid grid = ReadGrid("anamorphic.mp4", 0);
    const std::vector<testsupport::SinkRecord> records = graph.Sink(0)->Records();
    std::vector<PlacedSample> pass;
    ASSERT_NO_FATAL_FAILURE(ExpectFramesAtTheirTimes(graph.Sink(0), records, grid, &pass));
    const std::vector<uint8_t> reference = ReadMedia("anamorphic.mp4.v0.bgr0");
    const size_t frame = 426 * 240 * 4;
    ASSERT_EQ(reference.size(), frame * pass.size());
    for (size_t k = 0; k < pass.size(); k++) {
        const std::vector<BYTE> &got = pass[k].record->bytes;
        ASSERT_EQ(got.size(), frame);
        double sum = 0;
        for (size_t i = 0; i < frame; i++) {
            if (i % 4 == 3)
                continue;
            const double d = double(got[i]) - reference[k * frame + i];
            sum += d * d;
        }
        const double psnr = 10 * std::log10(255.0 * 255.0 * (frame * 3 / 4) / std::max(sum, 1.0));
        EXPECT_GE(psnr, 40.0) << "frame " << k;
    }
    EXPECT_FALSE(Concatenated(graph.Sink(1)->Records()).empty()) << "the sound plays";
}

// An action camera's stream says full-range BT.709 only in the parameter sets it repeats with
// each key frame; its 'avcC' holds sets that say nothing of colour, and there is no 'colr'. The
// pictures are converted as the stream says (decoded planes checked against ffmpeg's).
TEST(CameraColour, TheStreamsOwnParameterSetsSayTheRange)
{
    if (ScreenBits() != 32)
        GTEST_SKIP() << "the references are 32-bit frames";
    moviewriter::Movie m;
    m.timeScale = 1000;
    m.tracks.push_back(moviewriter::h264Track(ReadMedia("cam.h264"), ReadMedia("camplain.h264"), 320,
                                              240, 12800, 512));
    ASSERT_EQ(m.tracks[0].sizes.size(), 25u);
    ASSERT_TRUE(moviewriter::save(MediaPath("cam.mp4"), moviewriter::write(m)));
    // ffmpeg's view of it, as the reference files of the other movies give it.
    std::ofstream(MediaPath("cam.mp4.v0.probe"))
        << "width=320\nheight=240\ntime_base=1/12800\nduration_ts=12800\nnb_frames=25\n";
    std::ofstream times(MediaPath("cam.mp4.v0.times"));
    for (int k = 0; k < 25; k++)
        times << k * 512 << ",512\n";
    times.close();

    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open("cam.mp4", &where), S_OK) << where;
    ASSERT_TRUE(graph.Play());
    const std::vector<testsupport::SinkRecord> records = graph.Sink(0)->Records();
    std::vector<PlacedSample> pass;
    ASSERT_NO_FATAL_FAILURE(ExpectFramesAtTheirTimes(graph.Sink(0), records, ReadGrid("cam.mp4", 0), &pass));
    EXPECT_EQ(ExpectFramesMatch(graph, 0, {"cam.mp4", 0, "nv12", FrameReference::kBt709FullSource}),
              pass.size());
}

// A track matrix of near-zero scale (a music store's encoder writes one) is taken for the
// identity: the pin has the track's size, and its one picture comes at 59 ms (after an empty
// edit) for its 9 ms, beside a second of sound.
TEST(DegenerateMatrix, TheTrackKeepsItsSizeAndItsPictureShows)
{
    moviewriter::Movie m;
    m.timeScale = 1000;
    moviewriter::Track video;
    video.description = moviewriter::videoDescription("raw ", 32, 16, 24);
    video.stts = {{1, 600}};
    video.constantSize = 32 * 16 * 3;
    video.width = 32, video.height = 16;
    video.matrix = {1, 0, 0, 0, 1, 0, 0, 0, 0x40000000};
    video.edits = {{59, -1}, {9, 0}};
    video.chunks.push_back({moviewriter::Bytes(32 * 16 * 3, 0x80), 1});
    moviewriter::Track sound;
    sound.handler = "soun";
    sound.timeScale = 44100;
    sound.description = moviewriter::soundDescription("twos", 1, 16, 44100);
    sound.stts = {{44100, 1}};
    sound.constantSize = 1;
    sound.chunks.push_back({moviewriter::Bytes(44100 * 2, 1), 44100});
    m.tracks = {video, sound};
    const std::string name = g_config.legacy ? "matrix-legacy.mov" : "matrix-default.mov";
    ASSERT_TRUE(moviewriter::save(MediaPath(name), moviewriter::write(m)));

    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open(name, &where), S_OK) << where;
    ASSERT_EQ(graph.PinCount(), 2u);
    ASSERT_TRUE(graph.IsVideo(0));
    const AM_MEDIA_TYPE mt = graph.Type(0);
    ASSERT_GE(mt.cbFormat, sizeof(VIDEOINFOHEADER));
    const BITMAPINFOHEADER &bmi = reinterpret_cast<const VIDEOINFOHEADER *>(mt.pbFormat)->bmiHeader;
    EXPECT_EQ(bmi.biWidth, 32);
    EXPECT_EQ(bmi.biHeight, -16);
    ASSERT_TRUE(graph.Play());
    const std::vector<testsupport::SinkRecord> records = graph.Sink(0)->Records();
    const auto segments = Segments(records);
    ASSERT_EQ(segments.size(), 1u);
    ASSERT_EQ(segments[0].size(), 1u);
    const testsupport::SinkRecord &frame = *segments[0][0].record;
    EXPECT_EQ(segments[0][0].position, 590000);
    EXPECT_EQ(frame.tStop - frame.tStart, 90000);
    ASSERT_FALSE(frame.bytes.empty());
    EXPECT_EQ(frame.bytes[0], 0x80) << "the picture is drawn";
    EXPECT_EQ(EndOfStreamCount(records), 1u);
    const WAVEFORMATEX &wfx = *reinterpret_cast<const WAVEFORMATEX *>(graph.Type(1).pbFormat);
    EXPECT_EQ(Concatenated(graph.Sink(1)->Records()).size() / wfx.nBlockAlign, 44100u)
        << "a second of sound";
}

// Half an hour at 29.97 frames a second in a movie counting milliseconds: every frame comes, and
// the last one at its own time, with nothing drifted.
TEST(LongMovie, TheLastFrameKeepsItsTime)
{
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open("long30.mov", &where), S_OK) << where;
    graph.Sink(0)->SetKeepBytes(false);
    graph.Sink(0)->SetHashBytes(false);
    ASSERT_TRUE(graph.Play(180000));
    const std::vector<testsupport::SinkRecord> records = graph.Sink(0)->Records();
    std::vector<PlacedSample> pass;
    ASSERT_NO_FATAL_FAILURE(ExpectOnePass(graph.Sink(0), records, &pass));
    const std::vector<uint8_t> last = ReadMedia("long30.mov.last");  // "pts,duration" at 1/30000
    const LONGLONG pts = std::atoll(std::string(last.begin(), last.end()).c_str());
    ASSERT_GT(pts, 0);
    EXPECT_EQ(LONGLONG(pass.size()), pts / 1001 + 1);
    EXPECT_LE(llabs(pass.back().position - pts * 10000000 / 30000), 1);
}

// A format no decoder takes (FFV1): the movie opens with its pin, which delivers every frame,
// black, as for any track the runtime cannot draw.
TEST(UndecodedVideo, OpensAndDeliversBlackFrames)
{
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open("ffv1.mov", &where), S_OK) << where;
    ASSERT_EQ(graph.PinCount(), 1u);
    ASSERT_TRUE(graph.IsVideo(0));
    ASSERT_TRUE(graph.Play());
    const std::vector<testsupport::SinkRecord> records = graph.Sink(0)->Records();
    std::vector<PlacedSample> pass;
    ASSERT_NO_FATAL_FAILURE(ExpectOnePass(graph.Sink(0), records, &pass));
    EXPECT_EQ(pass.size(), 25u);
    for (const PlacedSample &s : pass)
        EXPECT_TRUE(std::all_of(s.record->bytes.begin(), s.record->bytes.end(), [](BYTE b) { return b == 0; }));
}

// A sound track and what each path makes of it: the movie-level path delivers at least 16 bits
// (and the movie's whole duration, silence past the track); the per-track path the sample
// size the description states.
struct AudioCase {
    const char *movie;
    WORD channels;
    DWORD rate;
    WORD bitsMovieLevel;
    const char *referenceMovieLevel;
    WORD bitsPerTrack;
    const char *referencePerTrack;
};

void PrintTo(const AudioCase &c, std::ostream *os) { *os << c.movie; }

class AudioPlayback : public ::testing::TestWithParam<AudioCase> {};

TEST_P(AudioPlayback, TheBytesAreFfmpegsDecoding)
{
    const AudioCase &c = GetParam();
    const WORD bits = g_config.legacy ? c.bitsPerTrack : c.bitsMovieLevel;
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open(c.movie, &where), S_OK) << where;
    ASSERT_EQ(graph.PinCount(), 1u);
    ExpectWaveFormat(graph.Type(0), c.channels, bits, c.rate);

    ASSERT_TRUE(graph.Play());
    const std::vector<testsupport::SinkRecord> records = graph.Sink(0)->Records();
    std::vector<PlacedSample> pass;
    ASSERT_NO_FATAL_FAILURE(ExpectOnePass(graph.Sink(0), records, &pass));
    const std::vector<uint8_t> got = Concatenated(records);
    const std::vector<uint8_t> want =
        ReadMedia(g_config.legacy ? c.referencePerTrack : c.referenceMovieLevel);
    ASSERT_FALSE(want.empty());
    ExpectSoundMatches(got, want, c.channels * bits / 8, c.rate, !g_config.legacy);
}

INSTANTIATE_TEST_SUITE_P(
    OneTrack, AudioPlayback,
    ::testing::Values(
        AudioCase{"twos.mov", 2, 44100, 16, "twos.mov.a0.s16le", 16, "twos.mov.a0.s16le"},
        AudioCase{"sowt.mov", 2, 44100, 16, "sowt.mov.a0.s16le", 16, "sowt.mov.a0.s16le"},
        AudioCase{"ulaw.mov", 2, 44100, 16, "ulaw.mov.a0.s16le", 16, "ulaw.mov.a0.s16le"},
        AudioCase{"alaw.mov", 2, 44100, 16, "alaw.mov.a0.s16le", 16, "alaw.mov.a0.s16le"},
        AudioCase{"ima4.mov", 2, 44100, 16, "ima4.mov.a0.s16le", 16, "ima4.mov.a0.s16le"},
        // The description of ffmpeg's in24 says 16 bits; the extraction knows better.
        AudioCase{"in24.mov", 2, 44100, 24, "in24.mov.a0.s24le", 16, "in24.mov.a0.s16le"},
        AudioCase{"raw8.mov", 1, 22050, 16, "raw8.mov.a0.s16le", 8, "raw8.mov.a0.u8"},
        AudioCase{"six.mov", 6, 48000, 16, "six.mov.a0.s16le", 16, "six.mov.a0.s16le"}));

}  // namespace
