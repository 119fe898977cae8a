// Compressed sound (AAC, MP3) through the operating system's decoders, on both paths, against
// ffmpeg's decoding: the movie-level path through the edit list (AAC as the 32-bit integers of
// ffmpeg's float, bit for bit), the per-track path the media whole at 16 bits. A sound no
// decoder takes here plays as silence.
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "moviewriter.h"
#include "pin_graph.h"
#include "stream_checks.h"

namespace {

struct CompressedCase {
    const char *movie;  // in codec/
    WORD channels;
    DWORD rate;
    WORD bitsMovieLevel;  // 32: AAC's float as integers; 16: MPEG audio
    int tolerance16;      // the per-track path's 16 bits against ffmpeg's
    bool fromInside = false;  // the edit starts inside the media: decoding starts there
};

// A decoder started inside an AAC stream that uses noise substitution draws other noise than
// one that ran from the stream's start (ffmpeg's own -ss does too), loudest in the encoder's
// last packets: within eight 16-bit steps (a frame out of place is thousands of steps off).
constexpr long long kNoiseSteps32 = 8 << 16;
constexpr long long kNoiseSteps16 = 8;
// Sound goes out in whole buffers: the per-track path's last one holds the last packet whole.
constexpr size_t kLastPacketFrames = 1152;

void PrintTo(const CompressedCase &c, std::ostream *os) { *os << c.movie; }

std::string Codec(const std::string &name) { return "codec/" + name; }

size_t ReadCount(const std::string &name)
{
    const std::vector<uint8_t> text = ReadMedia(name);
    return size_t(std::strtoull(std::string(text.begin(), text.end()).c_str(), nullptr, 10));
}

// The pin of the movie's sound (an H.264 movie has a video pin first).
size_t SoundPin(const PinGraph &graph)
{
    for (size_t i = 0; i < graph.PinCount(); i++)
        if (!graph.IsVideo(i))
            return i;
    return graph.PinCount();
}

// AAC's float is bit for bit ffmpeg's from Wine's 64-bit decoder; the 32-bit one (another build
// of the same decoder) is off by up to 128 in a few of the 32-bit integers made from its float
// (6e-8 of full scale, 1/512 of a 16-bit step).
constexpr long long kAacFloat = sizeof(void *) == 8 ? 0 : 256;

// The delivered samples, little-endian of `bits`, against the reference's from `from` on, each
// within `tolerance`.
void ExpectWithin(const std::vector<uint8_t> &got, size_t gotFrom, const std::vector<uint8_t> &want,
                  size_t wantFrom, size_t values, WORD bits, long long tolerance)
{
    const size_t bytes = bits / 8;
    ASSERT_GE(got.size(), (gotFrom + values) * bytes);
    ASSERT_GE(want.size(), (wantFrom + values) * bytes);
    for (size_t i = 0; i < values; i++) {
        long long a = 0, b = 0;
        if (bits == 16) {
            int16_t x, y;
            std::memcpy(&x, &got[(gotFrom + i) * 2], 2);
            std::memcpy(&y, &want[(wantFrom + i) * 2], 2);
            a = x, b = y;
        } else {
            int32_t x, y;
            std::memcpy(&x, &got[(gotFrom + i) * 4], 4);
            std::memcpy(&y, &want[(wantFrom + i) * 4], 4);
            a = x, b = y;
        }
        if (std::llabs(a - b) > tolerance) {
            ADD_FAILURE() << "value " << i << " is " << a << ", not " << b;
            return;
        }
    }
}

class CompressedPlayback : public ::testing::TestWithParam<CompressedCase> {};

// Movie level: the edit list's count of frames (ffprobe's; ffmpeg's decoding runs on to the end
// of the last packet), each ffmpeg's. Per track: the media from its start, priming included, for
// as long as the track's edits last. Both pins last as long as the track's edits.
TEST_P(CompressedPlayback, TheSoundIsFfmpegsDecoding)
{
    const CompressedCase &c = GetParam();
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open(Codec(c.movie), &where), S_OK) << where;
    const size_t pin = SoundPin(graph);
    ASSERT_LT(pin, graph.PinCount());
    const WORD bits = g_config.legacy ? 16 : c.bitsMovieLevel;
    ExpectWaveFormat(graph.Type(pin), c.channels, bits, c.rate);
    const size_t edited = ReadCount(Codec(c.movie) + ".a0.count");
    ComPtr<IMediaSeeking> seeking = graph.Seeking(pin);
    ASSERT_TRUE(seeking);
    LONGLONG duration = 0;
    ASSERT_EQ(seeking->GetDuration(&duration), S_OK);
    // To within one unit of the movie's time (milliseconds) on the movie-level path.
    EXPECT_LE(llabs(duration - LONGLONG(edited) * 10000000 / c.rate), 10000) << duration;
    ASSERT_TRUE(graph.Play());
    const auto records = graph.Sink(pin)->Records();
    std::vector<PlacedSample> pass;
    ASSERT_NO_FATAL_FAILURE(ExpectOnePass(graph.Sink(pin), records, &pass));
    const std::vector<uint8_t> got = Concatenated(records);
    const size_t frameBytes = size_t(c.channels) * bits / 8;
    if (g_config.legacy) {
        const size_t frames = edited;
        ASSERT_GE(got.size(), frames * frameBytes);
        EXPECT_LE(got.size() - frames * frameBytes, kLastPacketFrames * frameBytes);
        ExpectWithin(got, 0, ReadMedia(Codec(c.movie) + ".a0.media.s16le"), 0, frames * c.channels, 16,
                     c.tolerance16);
    } else {
        const size_t frames = edited;
        EXPECT_EQ(got.size(), frames * frameBytes);
        const char *format = c.bitsMovieLevel == 32 ? ".a0.s32le" : ".a0.s16le";
        const long long tolerance = c.bitsMovieLevel == 16 ? 2 : c.fromInside ? kNoiseSteps32 : kAacFloat;
        ExpectWithin(got, 0, ReadMedia(Codec(c.movie) + format), 0,
                     std::min(got.size() / (bits / 8), frames * c.channels), bits, tolerance);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Wine, CompressedPlayback,
    ::testing::Values(CompressedCase{"aac-mono-44.mp4", 1, 44100, 32, 1},
                      CompressedCase{"aac-mono-48.mov", 1, 48000, 32, 1},
                      CompressedCase{"aac-stereo-44.mov", 2, 44100, 32, 1},
                      CompressedCase{"aac-stereo-48.mp4", 2, 48000, 32, 1},
                      CompressedCase{"aac-stereo-44.m4a", 2, 44100, 32, 1},
                      CompressedCase{"aac-51-48.mp4", 6, 48000, 32, 1},
                      CompressedCase{"aac-51-44.mov", 6, 44100, 32, 1},
                      // A tone of its own in each channel: ffmpeg's order, FL FR FC LFE BL BR.
                      CompressedCase{"aac-51-tones.mp4", 6, 48000, 32, 1},
                      // Cut by stream copy: the sound's edit starts inside its media.
                      CompressedCase{"h264-aac-cut.mp4", 1, 48000, 32, 1, true},
                      CompressedCase{"mp3-44.mp4", 2, 44100, 16, 2},
                      CompressedCase{"mp3-44.mov", 2, 44100, 16, 2}));

// A seek: the first sample's stamp says where the sound starts, and from there it is ffmpeg's
// decoding of the movie (the sound that ffmpeg -ss gives within its own noise). The
// movie-level path decodes from a packet ahead of the target, so its first frames are right
// too; the per-track path starts its decoder at the target's packet, whose own frames lack the
// packet before and are left out.
TEST(CompressedSeek, LandsWhereTheStampSays)
{
    const char *movie = "aac-stereo-48.mp4";
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open(Codec(movie), &where), S_OK) << where;
    ComPtr<IMediaSeeking> seeking = graph.Seeking(0);
    ASSERT_TRUE(seeking);
    const LONGLONG second = 10000000;
    LONGLONG start = second / 10;
    ASSERT_EQ(seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr,
                                    AM_SEEKING_NoPositioning), S_OK);
    ASSERT_TRUE(graph.Play());
    const auto records = graph.Sink(0)->Records();
    std::vector<PlacedSample> pass;
    ASSERT_NO_FATAL_FAILURE(ExpectOnePass(graph.Sink(0), records, &pass));
    const REFERENCE_TIME first = pass[0].position;
    EXPECT_LE(first, start);
    EXPECT_GT(first, start - second / 40) << "snapped more than a packet early";
    const std::vector<uint8_t> got = Concatenated(records);
    const size_t from = size_t((first * 48000 + second / 2) / second);
    if (g_config.legacy) {
        // The media from the stamp to the track's end (its edits' length).
        const size_t frames = ReadCount(Codec(movie) + ".a0.count");
        ASSERT_GE(got.size(), (frames - from) * 4);
        EXPECT_LE(got.size() - (frames - from) * 4, kLastPacketFrames * 4);
        ExpectWithin(got, 1024 * 2, ReadMedia(Codec(movie) + ".a0.media.s16le"), (from + 1024) * 2,
                     (frames - from - 1024) * 2, 16, kNoiseSteps16);
    } else {
        const size_t frames = ReadCount(Codec(movie) + ".a0.count");
        ASSERT_EQ(got.size(), (frames - from) * 8);
        ExpectWithin(got, 0, ReadMedia(Codec(movie) + ".a0.s32le"), from * 2, (frames - from) * 2, 32,
                     kNoiseSteps32);
    }
}

// AMR-NB: no decoder here takes it. The movie opens with its sound pin, which plays as it
// always did (silence, or an end at once on the per-track path), nothing worse.
TEST(UndecodableSound, OpensAndStaysSilent)
{
    moviewriter::Movie m;
    m.timeScale = 600;
    moviewriter::Track t;
    t.handler = "soun";
    t.timeScale = 8000;
    t.description = moviewriter::soundDescription("samr", 1, 16, 8000);
    const uint32_t packets = 25;  // half a second of 12.2 kbit/s frames of 20 ms
    t.stts = {{packets, 160}};
    t.constantSize = 32;
    moviewriter::Chunk chunk;
    chunk.samples = packets;
    for (uint32_t i = 0; i < packets; i++) {
        chunk.data.push_back(0x3C);  // frame type 7 (12.2), quality bit
        chunk.data.insert(chunk.data.end(), 31, uint8_t(i * 7));
    }
    t.chunks.push_back(chunk);
    m.tracks.push_back(t);
    // One file per flavour: the two runs may go at once.
    const std::string name = g_config.legacy ? "samr-legacy.mov" : "samr-default.mov";
    ASSERT_TRUE(moviewriter::save(MediaPath(name), moviewriter::write(m)));

    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open(name, &where), S_OK) << where;
    ASSERT_EQ(graph.PinCount(), 1u);
    ASSERT_FALSE(graph.IsVideo(0));
    ASSERT_TRUE(graph.Play());
    const auto records = graph.Sink(0)->Records();
    EXPECT_EQ(EndOfStreamCount(records), 1u);
    ExpectOrderly(graph.Sink(0));
    const std::vector<uint8_t> got = Concatenated(records);
    EXPECT_EQ(std::count(got.begin(), got.end(), 0), ptrdiff_t(got.size()));
    if (!g_config.legacy) {
        EXPECT_FALSE(got.empty()) << "the movie-level path sounds the movie's length of silence";
    }
}

}  // namespace
