// Movies of several tracks and tracks the path must resample: the pins a movie gets on each path
// and what each of them delivers.
#include <windows.h>
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstring>

#include "frame_check.h"
#include "pin_graph.h"
#include "stream_checks.h"

namespace {

// Both video pins show the whole movie at their own times: the first track with the second,
// a later track of the same layer, drawn over it at the box's top left.
TEST(TwoVideoTracks, EachPinDrawsTheMovieAtItsOwnTime)
{
    if (ScreenBits() != 32)
        GTEST_SKIP() << "the references are 32-bit frames";
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open("twovideo.mov", &where), S_OK) << where;
    ASSERT_EQ(graph.PinCount(), 2u);
    ASSERT_TRUE(graph.IsVideo(0) && graph.IsVideo(1));
    // The second pin starts later, so that the two pins draw at different times throughout.
    ComPtr<IMediaSeeking> seeking = graph.Seeking(1);
    ASSERT_TRUE(seeking);
    LONGLONG start = 2000000;
    ASSERT_EQ(seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr,
                                    AM_SEEKING_NoPositioning), S_OK);
    ASSERT_TRUE(graph.Play());

    const VideoGrid back = ReadGrid("twovideo.mov", 0), front = ReadGrid("twovideo.mov", 1);
    const std::vector<uint8_t> backFrames = ReadMedia("twovideo.mov.v0.bgr0");
    const std::vector<uint8_t> frontFrames = ReadMedia("twovideo.mov.v1.bgr0");
    ASSERT_TRUE(back.valid() && front.valid());
    ASSERT_EQ(backFrames.size(), size_t(back.width * back.height * 4 * back.frames));
    ASSERT_EQ(frontFrames.size(), size_t(front.width * front.height * 4 * front.frames));
    for (size_t pin = 0; pin < 2; pin++) {
        const auto records = graph.Sink(pin)->Records();
        std::vector<PlacedSample> pass;
        ASSERT_NO_FATAL_FAILURE(ExpectOnePass(graph.Sink(pin), records, &pass));
        EXPECT_EQ(pass[0].position, pin ? start : 0);
        for (size_t n = 0; n < pass.size(); n++) {
            const PlacedSample &s = pass[n];
            SCOPED_TRACE("pin " + std::to_string(pin) + " sample " + std::to_string(n));
            const size_t backRow = size_t(back.width) * 4, frontRow = size_t(front.width) * 4;
            const uint8_t *b = backFrames.data() + size_t(back.FrameAt(s.position)) * backRow * back.height;
            const uint8_t *f = frontFrames.data() + size_t(front.FrameAt(s.position)) * frontRow * front.height;
            ASSERT_EQ(s.record->bytes.size(), backRow * size_t(back.height));
            for (long y = 0; y < back.height; y++) {
                for (long x = 0; x < back.width; x++) {
                    const bool inFront = x < front.width && y < front.height;
                    const uint8_t *want = inFront ? f + y * frontRow + x * 4 : b + y * backRow + x * 4;
                    const uint8_t *got = s.record->bytes.data() + y * backRow + x * 4;
                    if (std::memcmp(got, want, 3) != 0 || got[3] != 0) {
                        ADD_FAILURE() << "pixel " << x << "," << y << " differs";
                        return;
                    }
                }
            }
        }
    }
}

// Per track: one pin for each sound track, each ffmpeg's decoding of its own track. Movie
// level: one pin, the mix at the highest rate, as long as the movie.
TEST(TwoSoundTracks, PinsFollowThePath)
{
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open("av2snd.mov", &where), S_OK) << where;
    ASSERT_EQ(graph.PinCount(), g_config.legacy ? 3u : 2u);
    ASSERT_TRUE(graph.IsVideo(0));
    ASSERT_TRUE(graph.Play());
    if (!g_config.legacy) {
        // The tracks' channels side by side, in track order: the 22,050 Hz mono track raised to
        // 44,100 by the stand-in's interpolation, then the stereo track as it is; silence where
        // a track has ended; one second in all, as long as the movie.
        ExpectWaveFormat(graph.Type(1), 3, 16, 44100);
        const auto records = graph.Sink(1)->Records();
        std::vector<PlacedSample> pass;
        ASSERT_NO_FATAL_FAILURE(ExpectOnePass(graph.Sink(1), records, &pass));
        const std::vector<uint8_t> bytes = Concatenated(records);
        ASSERT_EQ(bytes.size(), 44100u * 6);
        std::vector<int16_t> mix(bytes.size() / 2);
        std::memcpy(mix.data(), bytes.data(), bytes.size());
        const std::vector<uint8_t> mono = ReadMedia("av2snd.mov.a0.s16le");
        const std::vector<uint8_t> stereo = ReadMedia("av2snd.mov.a1.s16le");
        ASSERT_EQ(mono.size(), 22050u * 2);
        ASSERT_EQ(stereo.size(), 26460u * 4);
        std::vector<int16_t> in(mono.size() / 2), pair(stereo.size() / 2);
        std::memcpy(in.data(), mono.data(), mono.size());
        std::memcpy(pair.data(), stereo.data(), stereo.size());
        // Each output frame needs the input frame after its position: from the last input
        // frame's position on there is nothing to interpolate with, and the mix has silence.
        const size_t reachable = 2 * (in.size() - 1);
        ExpectInterpolated(mix.data(), 3, reachable, in, 0.5);
        for (size_t f = reachable; f < 44100; f++)
            EXPECT_EQ(mix[3 * f], 0) << "mono frame " << f;
        for (size_t f = 0; f < 44100; f++) {
            const int16_t left = f < 26460 ? pair[2 * f] : 0, right = f < 26460 ? pair[2 * f + 1] : 0;
            if (mix[3 * f + 1] != left || mix[3 * f + 2] != right) {
                ADD_FAILURE() << "stereo frame " << f << " is " << mix[3 * f + 1] << ","
                              << mix[3 * f + 2] << ", not " << left << "," << right;
                break;
            }
        }
        return;
    }
    ExpectWaveFormat(graph.Type(1), 1, 16, 22050);
    ExpectWaveFormat(graph.Type(2), 2, 16, 44100);
    for (size_t pin = 1; pin < 3; pin++) {
        SCOPED_TRACE("pin " + std::to_string(pin));
        const auto records = graph.Sink(pin)->Records();
        std::vector<PlacedSample> pass;
        ASSERT_NO_FATAL_FAILURE(ExpectOnePass(graph.Sink(pin), records, &pass));
        const WAVEFORMATEX &wfx = *reinterpret_cast<const WAVEFORMATEX *>(graph.Type(pin).pbFormat);
        ExpectSoundMatches(Concatenated(records),
                           ReadMedia("av2snd.mov.a" + std::to_string(pin - 1) + ".s16le"),
                           wfx.nBlockAlign, wfx.nSamplesPerSec, false);
    }
}

// A 6000 Hz track: the movie-level path extracts at the source rate; the per-track path
// converts below 8000 Hz to 44,100 Hz, which the stand-in does by linear interpolation between
// neighbouring input frames (rounded to nearest). That interpolation of ffmpeg's own decoding
// is the reference, to one step of rounding: the stand-in accumulates the phase in steps of
// 6000/44100 while this computes each position afresh.
TEST(LowRateTrack, IsDeliveredAtThePathsRate)
{
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open("snd6k.mov", &where), S_OK) << where;
    ASSERT_EQ(graph.PinCount(), 1u);
    const DWORD rate = g_config.legacy ? 44100 : 6000;
    ExpectWaveFormat(graph.Type(0), 1, 16, rate);
    ASSERT_TRUE(graph.Play());
    const auto records = graph.Sink(0)->Records();
    std::vector<PlacedSample> pass;
    ASSERT_NO_FATAL_FAILURE(ExpectOnePass(graph.Sink(0), records, &pass));
    const std::vector<uint8_t> source = ReadMedia("snd6k.mov.a0.s16le");
    ASSERT_EQ(source.size(), 12000u);
    const std::vector<uint8_t> got = Concatenated(records);
    if (!g_config.legacy) {
        ExpectSoundMatches(got, source, 2, rate, true);
        return;
    }
    std::vector<int16_t> in(source.size() / 2), out(got.size() / 2);
    std::memcpy(in.data(), source.data(), source.size());
    std::memcpy(out.data(), got.data(), out.size() * 2);
    // The interpolation needs the frame after each position: the last input frame ends it.
    const size_t reachable = (in.size() - 1) * 44100 / 6000 + 1;
    EXPECT_GE(out.size(), reachable - 1);
    EXPECT_LE(out.size(), size_t(44100));
    ExpectInterpolated(out.data(), 1, std::min(out.size(), reachable), in, 6000.0 / 44100.0);
}

}  // namespace
