// Movies that ffmpeg cannot make, written by the test movie writer: a Flash track, a box
// away from the origin, and a sound track at 6000 Hz converted to 44100 Hz.
#include <gtest/gtest.h>

#include <cstring>

#include "harness.h"
#include "moviewriter.h"

namespace mw = moviewriter;

namespace {

// A 4x4 'raw ' 24-bit track at (x, y) whose pixels are R 0x10, G 0x20, B 0x30.
mw::Track ColouredTrack(int32_t x, int32_t y)
{
    mw::Track t;
    t.description = mw::videoDescription("raw ", 4, 4, 24);
    t.stts = {{2, 300}};
    t.constantSize = 48;
    mw::Chunk chunk;
    for (int i = 0; i < 32; ++i)
        chunk.data.insert(chunk.data.end(), {0x10, 0x20, 0x30});
    chunk.samples = 2;
    t.chunks.push_back(chunk);
    t.width = 4;
    t.height = 4;
    t.x = x;
    t.y = y;
    return t;
}

std::string Write(const std::string &name, const mw::Movie &movie)
{
    return mw::save(MediaPath(name), mw::write(movie)) ? name : std::string();
}

}  // namespace

TEST(WriterMovies, AFlashTrackIsFoundByItsType)
{
    mw::Movie m;
    m.tracks.push_back(ColouredTrack(0, 0));
    mw::Track flash = ColouredTrack(0, 0);
    flash.handler = "flsh";
    m.tracks.push_back(flash);
    ScopedMovie movie(Write("writer-flash.mov", m));
    ASSERT_EQ(movie.error(), noErr);
    EXPECT_EQ(GetMovieTrackCount(movie.get()), 2);
    EXPECT_NE(GetMovieIndTrackType(movie.get(), 1, QTFourCC("flsh"), 1), nullptr);
    EXPECT_EQ(GetMovieIndTrackType(movie.get(), 2, QTFourCC("flsh"), 1), nullptr);
}

TEST(WriterMovies, ABoxAwayFromTheOriginDrawsThereUntilMoved)
{
    mw::Movie m;
    m.tracks.push_back(ColouredTrack(10, 20));
    ScopedMovie movie(Write("writer-offset.mov", m));
    ASSERT_EQ(movie.error(), noErr);
    Rect box = {};
    GetMovieBox(movie.get(), &box);
    EXPECT_EQ(box.top, 20);
    EXPECT_EQ(box.left, 10);
    EXPECT_EQ(box.bottom, 24);
    EXPECT_EQ(box.right, 14);
    ScopedWorld world(32, 32, 24);
    ASSERT_EQ(world.error(), noErr);
    std::memset(world.bits(), 0xEE, world.stride() * 32);
    SetMovieGWorld(movie.get(), world.world(), nullptr);
    SetMovieTimeValue(movie.get(), 0);
    MoviesTask(movie.get(), 0);
    ASSERT_EQ(GetMoviesError(), noErr);
    const uint8_t bgr[3] = {0x30, 0x20, 0x10};
    EXPECT_EQ(std::memcmp(world.row(20) + 10 * 3, bgr, 3), 0);
    EXPECT_EQ(std::memcmp(world.row(23) + 13 * 3, bgr, 3), 0);
    EXPECT_EQ(world.row(20)[9 * 3], 0xEE);
    EXPECT_EQ(world.row(19)[10 * 3], 0xEE);
    EXPECT_EQ(world.row(0)[0], 0xEE);

    // As the filter does: the box moved to the origin draws the picture at 0,0.
    MacOffsetRect(&box, SInt16(-box.left), SInt16(-box.top));
    SetMovieBox(movie.get(), &box);
    MoviesTask(movie.get(), 0);
    EXPECT_EQ(std::memcmp(world.row(0), bgr, 3), 0);
    EXPECT_EQ(std::memcmp(world.row(3) + 3 * 3, bgr, 3), 0);

    // A box starting above and left of the world is not drawn at its old place.
    MacOffsetRect(&box, -2, -2);
    SetMovieBox(movie.get(), &box);
    std::memset(world.bits(), 0xEE, world.stride() * 32);
    MoviesTask(movie.get(), 0);
    EXPECT_EQ(world.row(0)[0], 0xEE);
}

TEST(WriterMovies, A6000HertzTrackConvertsTo44100)
{
    mw::Movie m;
    mw::Track sound;
    sound.handler = "soun";
    sound.timeScale = 6000;
    sound.description = mw::soundDescription("twos", 1, 16, 6000);
    sound.stts = {{6000, 1}};
    sound.constantSize = 2;
    mw::Chunk chunk;
    for (int i = 0; i < 6000; ++i)
        chunk.data.insert(chunk.data.end(), {0x03, 0xE8});  // 1000, big-endian
    chunk.samples = 6000;
    sound.chunks.push_back(chunk);
    m.tracks.push_back(sound);
    ScopedMovie movie(Write("writer-6000.mov", m));
    ASSERT_EQ(movie.error(), noErr);
    const Media media = movie.media(QTFourCC("soun"), 1);
    EXPECT_EQ(GetMediaTimeScale(media), 6000);
    EXPECT_EQ(GetMediaSampleCount(media), 6000);

    SoundComponentData in = {0, QTFourCC("twos"), 1, 16, 6000u << 16, 0, nullptr, 0};
    SoundComponentData out = {0, QTFourCC("NONE"), 1, 16, 44100u << 16, 0, nullptr, 0};
    SoundConverter sc = nullptr;
    ASSERT_EQ(SoundConverterOpen(&in, &out, &sc), noErr);
    ASSERT_EQ(SoundConverterBeginConversion(sc), noErr);
    unsigned long frames = 0, inBytes = 0, outBytes = 0;
    ASSERT_EQ(SoundConverterGetBufferSizes(sc, 12000, &frames, &inBytes, &outBytes), noErr);
    EXPECT_EQ(frames, 6000ul);
    EXPECT_GE(outBytes, 44100ul * 2);
    ScopedHandle data(NewHandle(0));
    long size = 0, count = 0;
    ASSERT_EQ(GetMediaSample(media, data.get(), 12000, &size, 0, nullptr, nullptr, nullptr, nullptr, 0,
                             &count, nullptr), noErr);
    ASSERT_EQ(count, 6000);
    std::vector<int16_t> pcm(outBytes / 2);
    unsigned long made = 0, madeBytes = 0;
    ASSERT_EQ(SoundConverterConvertBuffer(sc, *data.get(), 6000, pcm.data(), &made, &madeBytes), noErr);
    EXPECT_LE(madeBytes, outBytes);
    EXPECT_NEAR(double(made), 44100.0, 8.0);
    size_t off = 0;
    for (unsigned long i = 0; i < made; ++i)
        off += pcm[i] != 1000;
    EXPECT_EQ(off, 0u) << "interpolating a constant gives the constant";
    SoundConverterClose(sc);

    MovieAudioExtractionRef session = nullptr;
    ASSERT_EQ(MovieAudioExtractionBegin(movie.get(), 0, &session), noErr);
    AudioStreamBasicDescription asbd = {};
    EXPECT_EQ(MovieAudioExtractionGetProperty(session, QTFourCC("xaud"), QTFourCC("asbd"), 40, &asbd, nullptr), noErr);
    EXPECT_EQ(asbd.mSampleRate, 6000.0) << "the highest source rate";
    EXPECT_EQ(asbd.mChannelsPerFrame, 1u);
    MovieAudioExtractionEnd(session);
}
