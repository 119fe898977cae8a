// MoviesTask drawing into DIB sections of each depth, against ffmpeg's frames of the same
// movies, straight through, backwards and while another thread extracts the sound.
#include <gtest/gtest.h>

#include <cstring>

#include "harness.h"

namespace {

struct DrawCase {
    const char *movie;
    int bits;
    const char *reference;  // ffmpeg's pixel format
};

std::ostream &operator<<(std::ostream &out, const DrawCase &c)
{
    return out << c.movie << " at " << c.bits << " bits";
}

// The movie time of every sample of the movie's first video track.
std::vector<TimeValue> FrameTimes(Movie movie)
{
    const Track track = GetMovieIndTrackType(movie, 1, QTFourCC("vide"), 1);
    std::vector<TimeValue> times;
    TimeValue t = 0;
    SInt16 flags = 0x4001;
    for (;;) {
        TimeValue found = -1;
        GetTrackNextInterestingTime(track, flags, t, 0x10000, &found, nullptr);
        if (found < 0 || times.size() > 10000)
            break;
        times.push_back(found);
        t = found;
        flags = 1;
    }
    return times;
}

// Compares the world's picture with frame `n` of the reference, row by row; the fourth
// byte of a 32-bit pixel is ffmpeg's own and ours must be 0.
::testing::AssertionResult FrameMatches(const ScopedWorld &world, const std::vector<uint8_t> &ref,
                                        size_t n, int width, int height, int bits)
{
    const size_t rowBytes = size_t(width) * bits / 8;
    const size_t frameBytes = rowBytes * height;
    if (ref.size() < (n + 1) * frameBytes)
        return ::testing::AssertionFailure() << "reference has no frame " << n;
    for (int y = 0; y < height; ++y) {
        const uint8_t *ours = world.row(y);
        const uint8_t *theirs = ref.data() + n * frameBytes + size_t(y) * rowBytes;
        for (size_t x = 0; x < rowBytes; ++x) {
            const bool padding = bits == 32 && x % 4 == 3;
            if (padding ? ours[x] != 0 : ours[x] != theirs[x])
                return ::testing::AssertionFailure()
                       << "frame " << n << " differs at row " << y << " byte " << x << ": "
                       << int(ours[x]) << " vs " << int(theirs[x]);
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

class Drawing : public ::testing::TestWithParam<DrawCase> {};

TEST_P(Drawing, FramesEqualFfmpegsForwardAndBackward)
{
    const DrawCase &c = GetParam();
    ScopedMovie movie(c.movie);
    ASSERT_EQ(movie.error(), noErr);
    Rect box;
    GetMovieBox(movie.get(), &box);
    const int width = box.right - box.left, height = box.bottom - box.top;
    const std::vector<uint8_t> reference = ReadMedia(std::string(c.movie) + "." + c.reference);
    ScopedWorld world(width, height, c.bits);
    ASSERT_EQ(world.error(), noErr);
    SetMovieGWorld(movie.get(), world.world(), GetGWorldDevice(world.world()));
    ASSERT_EQ(GetMoviesError(), noErr);
    const std::vector<TimeValue> times = FrameTimes(movie.get());
    ASSERT_EQ(times.size(), reference.size() / (size_t(width) * height * c.bits / 8));
    for (size_t n = 0; n < times.size(); ++n) {
        SetMovieTimeValue(movie.get(), times[n]);
        MoviesTask(movie.get(), 0);
        ASSERT_EQ(GetMoviesError(), noErr);
        ASSERT_TRUE(FrameMatches(world, reference, n, width, height, c.bits));
    }
    // Backwards, and a time inside a frame: each jump restarts from a sync sample.
    for (size_t n = times.size(); n-- > 0;) {
        SetMovieTimeValue(movie.get(), times[n] + 1);
        MoviesTask(movie.get(), 0);
        ASSERT_TRUE(FrameMatches(world, reference, n, width, height, c.bits));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, Drawing,
    ::testing::Values(DrawCase{"raw24.mov", 24, "bgr24"}, DrawCase{"raw24.mov", 32, "bgr0"},
                      DrawCase{"raw32.mov", 32, "bgr0"}, DrawCase{"raw16.mov", 16, "rgb555le"},
                      DrawCase{"rle24.mov", 24, "bgr24"}, DrawCase{"rle32.mov", 32, "bgr0"},
                      DrawCase{"rle16.mov", 16, "rgb555le"}, DrawCase{"rle16.mov", 24, "bgr24"}));

TEST(DrawingWorld, WorldsWrapOnlyDibSectionsAndOutliveNothing)
{
    GWorldPtr world = reinterpret_cast<GWorldPtr>(0x1);
    EXPECT_EQ(NewGWorldFromHBITMAP(&world, nullptr, nullptr, 0, nullptr, nullptr), paramErr);
    EXPECT_EQ(world, nullptr);
    HBITMAP ddb = CreateBitmap(8, 8, 1, 32, nullptr);  // not a DIB section: no bits of its own
    EXPECT_EQ(NewGWorldFromHBITMAP(&world, nullptr, nullptr, 0, ddb, nullptr), paramErr);
    DeleteObject(ddb);
    EXPECT_EQ(NewGWorldFromHBITMAP(nullptr, nullptr, nullptr, 0, nullptr, nullptr), paramErr);
    EXPECT_EQ(GetGWorldDevice(reinterpret_cast<GWorldPtr>(0x77)), nullptr);

    ScopedMovie movie("raw24.mov");
    ASSERT_EQ(movie.error(), noErr);
    SetMovieGWorld(movie.get(), reinterpret_cast<GWorldPtr>(0x77), nullptr);
    EXPECT_EQ(GetMoviesError(), paramErr);
    {
        ScopedWorld scoped(320, 240, 24);
        ASSERT_EQ(scoped.error(), noErr);
        EXPECT_NE(GetGWorldDevice(scoped.world()), nullptr);
        SetMovieGWorld(movie.get(), scoped.world(), nullptr);
        ASSERT_EQ(GetMoviesError(), noErr);
    }
    // The world and its DIB are gone; drawing must not touch them.
    SetMovieTimeValue(movie.get(), 0);
    MoviesTask(movie.get(), 0);
    EXPECT_EQ(GetMoviesError(), noErr);
}

TEST(DrawingWorld, AMovedBoxDrawsAtItsPlace)
{
    ScopedMovie movie("raw24.mov");
    ASSERT_EQ(movie.error(), noErr);
    const std::vector<uint8_t> reference = ReadMedia("raw24.mov.bgr24");
    ScopedWorld world(330, 250, 24);
    ASSERT_EQ(world.error(), noErr);
    std::memset(world.bits(), 0xEE, world.stride() * 250);
    Rect box = {6, 4, 246, 324};
    SetMovieBox(movie.get(), &box);
    SetMovieGWorld(movie.get(), world.world(), nullptr);
    SetMovieTimeValue(movie.get(), 0);
    MoviesTask(movie.get(), 0);
    ASSERT_EQ(GetMoviesError(), noErr);
    EXPECT_EQ(world.row(5)[12], 0xEE) << "above the box stays as it was";
    EXPECT_EQ(world.row(6)[3 * 3], 0xEE) << "left of the box stays as it was";
    for (int y = 0; y < 240; ++y)
        ASSERT_EQ(std::memcmp(world.row(6 + y) + 4 * 3, reference.data() + size_t(y) * 960, 960), 0)
            << "row " << y;
}

TEST(DrawingWorld, BottomUpSectionsGetTheTopRowLastInMemory)
{
    ScopedMovie movie("raw24.mov");
    ASSERT_EQ(movie.error(), noErr);
    const std::vector<uint8_t> reference = ReadMedia("raw24.mov.bgr24");
    ScopedWorld world(320, 240, 24, false);
    ASSERT_EQ(world.error(), noErr);
    SetMovieGWorld(movie.get(), world.world(), nullptr);
    SetMovieTimeValue(movie.get(), FrameTimes(movie.get()).at(2));
    MoviesTask(movie.get(), 0);
    ASSERT_EQ(GetMoviesError(), noErr);
    EXPECT_TRUE(FrameMatches(world, reference, 2, 320, 240, 24));
}

namespace {

struct SharedMovie {
    Movie movie = nullptr;
    std::vector<uint8_t> firstPass;  // the sound extracted before the threads ran
    bool soundMatched = false;
    int passes = 0;
};

std::vector<uint8_t> ExtractAll(Movie movie)
{
    std::vector<uint8_t> out;
    MovieAudioExtractionRef session = nullptr;
    if (MovieAudioExtractionBegin(movie, 0, &session) != noErr)
        return out;
    AudioStreamBasicDescription asbd;
    MovieAudioExtractionGetProperty(session, QTFourCC("xaud"), QTFourCC("asbd"), sizeof asbd, &asbd, nullptr);
    asbd.mFormatFlags = 0xC;  // signed, packed, interleaved
    asbd.mBitsPerChannel = 16;
    asbd.mBytesPerFrame = asbd.mBytesPerPacket = 2 * asbd.mChannelsPerFrame;
    MovieAudioExtractionSetProperty(session, QTFourCC("xaud"), QTFourCC("asbd"), sizeof asbd, &asbd);
    std::vector<uint8_t> block(4096 * asbd.mBytesPerFrame);
    for (int guard = 0; guard < 10000; ++guard) {
        AudioBufferList list = {1, {{asbd.mChannelsPerFrame, UInt32(block.size()), block.data()}}};
        UInt32 frames = 4096, flags = 0;
        if (MovieAudioExtractionFillBuffer(session, &frames, &list, &flags) != noErr)
            break;
        out.insert(out.end(), block.begin(), block.begin() + frames * asbd.mBytesPerFrame);
        if (flags & 1)
            break;
    }
    MovieAudioExtractionEnd(session);
    return out;
}

DWORD WINAPI ExtractRepeatedly(void *context)
{
    auto *shared = static_cast<SharedMovie *>(context);
    shared->soundMatched = true;
    for (int i = 0; i < 3; ++i) {
        shared->soundMatched = shared->soundMatched && ExtractAll(shared->movie) == shared->firstPass;
        ++shared->passes;
    }
    return 0;
}

}  // namespace

TEST(DrawingThreads, OneThreadDrawsWhileAnotherExtracts)
{
    ScopedMovie movie("av2snd.mov");
    ASSERT_EQ(movie.error(), noErr);
    SharedMovie shared;
    shared.movie = movie.get();
    shared.firstPass = ExtractAll(movie.get());
    ASSERT_GT(shared.firstPass.size(), 40000u);
    const std::vector<uint8_t> reference = ReadMedia("av2snd.mov.bgr24");
    ScopedWorld world(320, 240, 24);
    ASSERT_EQ(world.error(), noErr);
    SetMovieGWorld(movie.get(), world.world(), nullptr);
    const std::vector<TimeValue> times = FrameTimes(movie.get());
    ASSERT_EQ(times.size(), 25u);

    HANDLE extractor = CreateThread(nullptr, 0, ExtractRepeatedly, &shared, 0, nullptr);
    ASSERT_NE(extractor, nullptr);
    bool framesMatched = true;
    for (int round = 0; round < 3; ++round) {
        for (size_t n = 0; n < times.size(); ++n) {
            SetMovieTimeValue(movie.get(), times[n]);
            MoviesTask(movie.get(), 0);
            framesMatched = framesMatched && FrameMatches(world, reference, n, 320, 240, 24);
        }
    }
    ASSERT_EQ(WaitForSingleObject(extractor, 60000), WAIT_OBJECT_0) << "extraction hung";
    CloseHandle(extractor);
    EXPECT_TRUE(framesMatched);
    EXPECT_EQ(shared.passes, 3);
    EXPECT_TRUE(shared.soundMatched) << "the sound changed while the movie was drawn";
}
