// Compressed sound (AAC, MP3) through the operating system's decoders, on both paths, against
// ffmpeg's decoding: the movie-level path through the edit list (AAC as the 32-bit integers of
// ffmpeg's float, bit for bit), the per-track path the media whole at 16 bits. A sound no
// decoder takes here plays as silence.
#include <windows.h>
#include <mmreg.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "frame_check.h"
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
    size_t decoderSkips = 0;  // media frames ffmpeg's decoder drops itself (Opus's pre-skip)
    bool libraryOnly = false;  // Wine's own decoder fails it: not run with the system's first
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

// AAC's float from the runtime's decoder library (a MinGW build of ffmpeg's decoder) and from
// Wine's 32-bit decoder is within a few units in the last place of ffmpeg's own: up to 128 in a
// few of the 32-bit integers made from it (6e-8 of full scale, 1/512 of a 16-bit step).
constexpr long long kAacFloat = 256;

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
    const char *order = std::getenv("QUORVEX_DECODERS");
    if (c.libraryOnly && order && std::strcmp(order, "system") == 0)
        GTEST_SKIP() << "Wine's decoder for it fails: the library plays it when it comes first";
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
        ExpectWithin(got, c.decoderSkips * c.channels, ReadMedia(Codec(c.movie) + ".a0.media.s16le"), 0,
                     (frames - c.decoderSkips) * c.channels, 16, c.tolerance16);
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
                      CompressedCase{"mp3-44.mov", 2, 44100, 16, 2},
                      // The decoder library's alone: AC-3 5.1 (no edit list) and Opus (its
                      // pre-skip trimmed by the edit list), and the lossless formats and AMR at
                      // their 16 bits.
                      CompressedCase{"ac3-51-whole.mp4", 6, 48000, 32, 1},
                      CompressedCase{"opus-stereo.mp4", 2, 48000, 32, 1, false, 312},
                      CompressedCase{"flac.mp4", 2, 44100, 16, 0},
                      CompressedCase{"alac-16.m4a", 2, 44100, 16, 0},
                      CompressedCase{"amr-nb.amr", 1, 8000, 16, 1},
                      // And GSM, and MPEG-2 layer III (which Wine's MP3 decoder leaves silent
                      // after two frames), both 16-bit sound.
                      CompressedCase{"gsm.mov", 1, 8000, 16, 1},
                      CompressedCase{"mp3-24.mov", 1, 24000, 16, 2, false, 0, true}));

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

// ---- Where each channel goes ----------------------------------------------------------------

// 32-bit PCM from a WAV file, with the speakers its channel mask names.
struct Wave {
    WORD channels = 0;
    DWORD mask = 0;
    std::vector<int32_t> samples;
};

bool ParseWave(const std::vector<uint8_t> &b, Wave *w)
{
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) || std::memcmp(b.data() + 8, "WAVE", 4))
        return false;
    for (size_t at = 12; at + 8 <= b.size();) {
        DWORD size = 0;
        std::memcpy(&size, &b[at + 4], 4);
        const size_t body = at + 8, left = b.size() - body;
        if (!std::memcmp(&b[at], "fmt ", 4) && size >= sizeof(WAVEFORMATEXTENSIBLE) && left >= size) {
            WAVEFORMATEXTENSIBLE f;
            std::memcpy(&f, &b[body], sizeof f);
            if (f.Format.wFormatTag != WAVE_FORMAT_EXTENSIBLE || f.Format.wBitsPerSample != 32)
                return false;
            w->channels = f.Format.nChannels;
            w->mask = f.dwChannelMask;
        } else if (!std::memcmp(&b[at], "data", 4)) {
            w->samples.resize(std::min<size_t>(size, left) / 4);
            std::memcpy(w->samples.data(), &b[body], w->samples.size() * 4);
            return w->channels != 0;
        }
        at = body + size + (size & 1);
    }
    return false;
}

// The speakers of a mask, lowest first: the order of a WAVE format's channels.
std::vector<DWORD> Speakers(DWORD mask)
{
    std::vector<DWORD> speakers;
    for (DWORD bit = 1; bit && bit <= mask; bit <<= 1)
        if (mask & bit)
            speakers.push_back(bit);
    return speakers;
}

struct LayoutCase {
    const char *movie;      // in codec/
    WORD channels;
    DWORD mask;             // the speakers the pin announces
    const char *reference;  // ffmpeg's decoding (.a0.wav); null where ffmpeg does not decode it
    DWORD movedFrom = 0, movedTo = 0;  // a pair of the reference's speakers that the movie puts elsewhere
};

void PrintTo(const LayoutCase &c, std::ostream *os) { *os << (c.movie[0] ? c.movie : "program config element"); }

// The reference's speaker for one of the pin's: a moved pair (a left speaker and the right one,
// the next bit) comes from the reference's pair.
DWORD ReferenceSpeaker(const LayoutCase &c, DWORD speaker)
{
    if (c.movedTo && speaker == c.movedTo)
        return c.movedFrom;
    if (c.movedTo && speaker == c.movedTo << 1)
        return c.movedFrom << 1;
    return speaker;
}

// A 5.1 stream (C, L/R, a pair, LFE) under a program config element that puts its second pair
// at the sides instead of the back.
std::string WriteProgramConfigMovie()
{
    std::vector<uint8_t> asc;
    int bits = 0;
    auto put = [&](uint32_t v, int n) {
        for (int i = n - 1; i >= 0; i--, bits++) {
            if (bits % 8 == 0)
                asc.push_back(0);
            asc.back() |= uint8_t(((v >> i) & 1) << (7 - bits % 8));
        }
    };
    put(2, 5), put(3, 4), put(0, 4), put(0, 3);               // LC, 48 kHz, configuration 0, GA
    put(0, 4), put(1, 2), put(3, 4);                          // the element's tag, LC, 48 kHz
    put(2, 4), put(1, 4), put(0, 4), put(1, 2), put(0, 3), put(0, 4), put(0, 3);  // 2 front, 1 side, 1 LFE
    put(0, 1), put(0, 4), put(1, 1), put(0, 4);               // front: SCE 0, CPE 0
    put(1, 1), put(1, 4);                                     // side: CPE 1
    put(0, 4);                                                // LFE 0
    put(0, (8 - bits % 8) % 8), put(0, 8);                    // byte alignment, no comment
    const auto packets = moviewriter::adtsPackets(ReadMedia("codec/aac-51-tones.adts"));
    const size_t frames = ReadCount("codec/aac-51-tones.mp4.a0.count");
    moviewriter::Movie m;
    m.timeScale = 48000;
    m.duration = uint32_t(frames);
    moviewriter::Track t;
    t.handler = "soun";
    t.timeScale = 48000;
    t.description = moviewriter::aacDescription(6, 48000, asc);
    t.stts = {{uint32_t(packets.size()), 1024}};
    t.edits = {{int64_t(frames), 1024}};  // the priming frames, as ffmpeg's movie trims them
    moviewriter::Chunk chunk;
    chunk.samples = uint32_t(packets.size());
    for (const auto &p : packets) {
        t.sizes.push_back(uint32_t(p.size()));
        chunk.data.insert(chunk.data.end(), p.begin(), p.end());
    }
    t.chunks.push_back(chunk);
    m.tracks.push_back(t);
    const std::string name = g_config.legacy ? "aac-pce-legacy.mp4" : "aac-pce-default.mp4";
    return !packets.empty() && moviewriter::save(MediaPath(name), moviewriter::write(m)) ? name : std::string();
}

class AacLayouts : public ::testing::TestWithParam<LayoutCase> {};

// The pin announces the speakers that the movie's channels are for, and each speaker it
// announces carries ffmpeg's decoding of that speaker's channel, sample for sample. The
// per-track path reads no layout: its pins keep naming the first speakers, one per channel.
TEST_P(AacLayouts, EachSpeakerCarriesFfmpegsChannelForIt)
{
    if (g_config.legacy)
        GTEST_SKIP() << "the per-track path reads no channel layout";
    const LayoutCase &c = GetParam();
    const std::string movie = c.movie[0] ? Codec(c.movie) : WriteProgramConfigMovie();
    ASSERT_FALSE(movie.empty());
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open(movie, &where), S_OK) << where;
    ASSERT_EQ(graph.PinCount(), 1u);
    const AM_MEDIA_TYPE type = graph.Type(0);
    ExpectWaveFormat(type, c.channels, 32, 48000);
    ASSERT_GE(type.cbFormat, sizeof(WAVEFORMATEXTENSIBLE));
    EXPECT_EQ(reinterpret_cast<const WAVEFORMATEXTENSIBLE *>(type.pbFormat)->dwChannelMask, c.mask);
    if (!c.reference)
        return;
    Wave want;
    ASSERT_TRUE(ParseWave(ReadMedia(Codec(c.reference)), &want));
    ASSERT_TRUE(graph.Play());
    const std::vector<uint8_t> bytes = Concatenated(graph.Sink(0)->Records());
    std::vector<int32_t> got(bytes.size() / 4);
    std::memcpy(got.data(), bytes.data(), got.size() * 4);
    // ffmpeg's decoding runs on to the end of the last packet, past the edit.
    const size_t frames = got.size() / c.channels;
    ASSERT_EQ(got.size(), frames * c.channels);
    ASSERT_GT(frames, 10000u);
    ASSERT_LE(frames, want.samples.size() / want.channels);
    const std::vector<DWORD> ours = Speakers(c.mask), theirs = Speakers(want.mask);
    for (size_t k = 0; k < ours.size(); k++) {
        const auto j = std::find(theirs.begin(), theirs.end(), ReferenceSpeaker(c, ours[k]));
        ASSERT_NE(j, theirs.end()) << "ffmpeg has no channel for speaker " << std::hex << ReferenceSpeaker(c, ours[k]);
        for (size_t f = 0; f < frames; f++) {
            const int32_t a = got[f * c.channels + k], b = want.samples[f * want.channels + (j - theirs.begin())];
            if (std::llabs(static_cast<long long>(a) - b) > kAacFloat) {
                ADD_FAILURE() << "speaker " << std::hex << ours[k] << std::dec << ", frame " << f << ": " << a
                              << ", not " << b;
                break;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Wine, AacLayouts,
    ::testing::Values(LayoutCase{"aac-30-tones.mp4", 3, 0x7, "aac-30-tones.mp4.a0.wav"},
                      LayoutCase{"aac-40-tones.mp4", 4, 0x107, "aac-40-tones.mp4.a0.wav"},
                      LayoutCase{"aac-50-tones.mp4", 5, 0x37, "aac-50-tones.mp4.a0.wav"},
                      LayoutCase{"aac-51-tones.mp4", 6, 0x3F, "aac-51-tones.mp4.a0.wav"},
                      // Configuration 7: ffmpeg's decoder (Wine's too) gives 7.1 with a side pair.
                      LayoutCase{"aac-71-tones.mp4", 8, 0x63F, "aac-71-tones.mp4.a0.wav"},
                      LayoutCase{"aac-c12-tones.mp4", 8, 0x63F, "aac-c12-tones.mp4.a0.wav"},
                      // Decoded by nothing here (ffmpeg refuses 14; 11's elements are not the stream's).
                      LayoutCase{"aac-c14-tones.mp4", 8, 0x503F, nullptr},
                      LayoutCase{"aac-c11.mp4", 7, 0x13F, nullptr},
                      // A program config element: the back pair of 5.1 at the sides.
                      LayoutCase{"", 6, 0x60F, "aac-51-tones.mp4.a0.wav", SPEAKER_BACK_LEFT, SPEAKER_SIDE_LEFT}));

// Plays a movie of one sound pin that no decoder feeds: its format, and what it delivered, once
// and in order, every byte zero.
void PlayUndecodedSound(const std::string &movie, WAVEFORMATEX *pFormat, std::vector<uint8_t> *pGot)
{
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open(movie, &where), S_OK) << where;
    ASSERT_EQ(graph.PinCount(), 1u);
    ASSERT_FALSE(graph.IsVideo(0));
    const AM_MEDIA_TYPE type = graph.Type(0);
    ASSERT_GE(type.cbFormat, sizeof(WAVEFORMATEX));
    if (pFormat)
        *pFormat = *reinterpret_cast<const WAVEFORMATEX *>(type.pbFormat);
    ASSERT_TRUE(graph.Play());
    const auto records = graph.Sink(0)->Records();
    EXPECT_EQ(EndOfStreamCount(records), 1u);
    ExpectOrderly(graph.Sink(0));
    *pGot = Concatenated(records);
    EXPECT_EQ(std::count(pGot->begin(), pGot->end(), 0), ptrdiff_t(pGot->size()));
}

// A format no decoder has ('nope'): the movie opens with its sound pin, which plays silence (or
// ends at once on the per-track path), nothing worse.
TEST(UndecodableSound, OpensAndStaysSilent)
{
    moviewriter::Movie m;
    m.timeScale = 600;
    moviewriter::Track t;
    t.handler = "soun";
    t.timeScale = 8000;
    t.description = moviewriter::soundDescription("nope", 1, 16, 8000);
    const uint32_t packets = 25;  // half a second of packets of 20 ms
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
    const std::string name = g_config.legacy ? "nope-legacy.mov" : "nope-default.mov";
    ASSERT_TRUE(moviewriter::save(MediaPath(name), moviewriter::write(m)));
    std::vector<uint8_t> got;
    ASSERT_NO_FATAL_FAILURE(PlayUndecodedSound(name, nullptr, &got));
    if (!g_config.legacy) {
        EXPECT_FALSE(got.empty()) << "the movie-level path sounds the movie's length of silence";
    }
}

// Raw AMR-WB (.awb, 73 frames of 20 ms from make-movies.sh) through the filter added by a host:
// one sound pin that sounds. The per-track path takes the track's format (16 kHz mono); the
// movie-level path sounds the movie's 1.46 s in the extraction's format.
TEST(RawAmr, WideBandPlaysOnOnePin)
{
    PinGraph graph;
    std::string where;
    ASSERT_EQ(graph.Open("amrwb.awb", &where), S_OK) << where;
    ASSERT_EQ(graph.PinCount(), 1u);
    ASSERT_FALSE(graph.IsVideo(0));
    const AM_MEDIA_TYPE type = graph.Type(0);
    ASSERT_GE(type.cbFormat, sizeof(WAVEFORMATEX));
    const WAVEFORMATEX wfx = *reinterpret_cast<const WAVEFORMATEX *>(type.pbFormat);
    ASSERT_TRUE(graph.Play());
    const auto records = graph.Sink(0)->Records();
    EXPECT_EQ(EndOfStreamCount(records), 1u);
    ExpectOrderly(graph.Sink(0));
    const std::vector<uint8_t> got = Concatenated(records);
    EXPECT_LT(std::count(got.begin(), got.end(), 0), ptrdiff_t(got.size() / 2)) << "it sounds";
    if (g_config.legacy) {
        EXPECT_EQ(wfx.nChannels, 1);
        EXPECT_EQ(wfx.nSamplesPerSec, 16000u);
    } else {
        EXPECT_EQ(got.size(), size_t(73) * 320 * wfx.nSamplesPerSec / 16000 * wfx.nBlockAlign);
    }
}

// Run by refused-library.sh, with the runtime beside DLLs it must refuse (another
// architecture's, or another DLL under avcodec's name): the chain goes on to the system's
// decoders, which play H.264 as ffmpeg decodes it, and what only the library decodes (AMR)
// opens and stays silent.
TEST(RefusedLibrary, TheSystemsDecodersPlayWhatTheyTake)
{
    const char *library = std::getenv("QUORVEX_TEST_LIBRARY");
    if (!library || std::strcmp(library, "refused") != 0)
        GTEST_SKIP() << "needs a runtime beside a library it refuses (refused-library.sh)";
    {
        PinGraph graph;
        std::string where;
        ASSERT_EQ(graph.Open("h264.mp4", &where), S_OK) << where;
        ASSERT_TRUE(graph.IsVideo(0));
        ASSERT_TRUE(graph.Play());
        const auto records = graph.Sink(0)->Records();
        std::vector<PlacedSample> pass;
        ASSERT_NO_FATAL_FAILURE(ExpectFramesAtTheirTimes(graph.Sink(0), records, ReadGrid("h264.mp4", 0), &pass));
        const FrameCheck check{"h264.mp4", 0, "nv12", FrameReference::kBt601Source};
        EXPECT_EQ(ExpectFramesMatch(graph, 0, check), pass.size());
    }
    std::vector<uint8_t> got;
    ASSERT_NO_FATAL_FAILURE(PlayUndecodedSound("amrwb.awb", nullptr, &got));
}

}  // namespace
