// Opening movies: missing, foreign, read-only and damaged files, host arguments, and the
// per-thread movie error.
#include <gtest/gtest.h>

#include <cstring>

#include "harness.h"
#include "moviewriter.h"

namespace mw = moviewriter;

namespace {

OSErr OpenWith(const std::string &path, SInt8 permission, SInt16 *ref)
{
    std::string copy = path;
    FSSpec spec;
    NativePathNameToFSSpec(&copy[0], &spec, 0);
    return OpenMovieFile(&spec, ref, permission);
}

// A 4x4 'raw ' 24-bit track of `frames` solid frames.
mw::Track SolidTrack(uint32_t frames)
{
    mw::Track t;
    t.description = mw::videoDescription("raw ", 4, 4, 24);
    t.stts = {{frames, 60}};
    t.constantSize = 48;
    mw::Chunk chunk;
    chunk.data.assign(48 * frames, 0x40);
    chunk.samples = frames;
    t.chunks.push_back(chunk);
    t.width = 4;
    t.height = 4;
    return t;
}

std::string Save(const std::string &name, const mw::Bytes &bytes)
{
    const std::string path = MediaPath(name);
    return mw::save(path, bytes) ? name : std::string();
}

}  // namespace

TEST(Opening, MissingFileIsNotFound)
{
    std::string path = MediaPath("no-such-movie.mov");
    FSSpec spec;
    EXPECT_EQ(NativePathNameToFSSpec(&path[0], &spec, 0), fnfErr);
    SInt16 ref = 0x5A5A;
    EXPECT_EQ(OpenMovieFile(&spec, &ref, 1), fnfErr);
    EXPECT_EQ(ref, 0);
    EXPECT_EQ(GetMoviesError(), fnfErr);
}

TEST(Opening, AFileThatIsNoMovieGivesNoMovieFound)
{
    ScopedMovie movie("notamovie.mov");
    EXPECT_EQ(movie.error(), noMovieFound);
    EXPECT_EQ(movie.get(), nullptr);
}

TEST(Opening, ReadOnlyFileRefusesWriteAccessAndOpensForReading)
{
    const std::string path = MediaPath("readonly-copy.mov");
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(CopyFileA(MediaPath("raw24.mov").c_str(), path.c_str(), FALSE));
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    SInt16 ref = 0x5A5A;
    EXPECT_EQ(OpenWith(path, 3, &ref), permErr);
    EXPECT_EQ(ref, 0);
    ASSERT_EQ(OpenWith(path, 1, &ref), noErr);
    EXPECT_NE(ref, 0);
    Movie movie = nullptr;
    EXPECT_EQ(NewMovieFromFile(&movie, ref, nullptr, nullptr, 1, nullptr), noErr);
    EXPECT_EQ(CloseMovieFile(ref), noErr);
    EXPECT_EQ(CloseMovieFile(ref), paramErr) << "a file reference is closed once";
    ASSERT_NE(movie, nullptr);
    EXPECT_EQ(GetMovieTrackCount(movie), 1);
    DisposeMovie(movie);
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
}

TEST(Opening, DamagedFilesGiveTheirErrors)
{
    mw::Movie good;
    good.tracks.push_back(SolidTrack(3));
    const mw::Bytes bytes = mw::write(good);

    const mw::Bytes noMoov(bytes.begin(), bytes.begin() + 20);
    ScopedMovie withoutMoov(Save("damaged-nomoov.mov", noMoov));
    EXPECT_EQ(withoutMoov.error(), noMovieFound);
    EXPECT_EQ(withoutMoov.get(), nullptr);

    mw::Bytes badHeader = bytes;
    for (size_t i = 0; i + 8 < badHeader.size(); ++i) {
        if (std::memcmp(&badHeader[i + 4], "mvhd", 4) == 0) {
            std::memcpy(&badHeader[i + 4], "xxxx", 4);
            break;
        }
    }
    ScopedMovie withBadHeader(Save("damaged-header.mov", badHeader));
    EXPECT_EQ(withBadHeader.error(), noErr) << "the tracks stand in for a damaged movie header";
    ASSERT_NE(withBadHeader.get(), nullptr);
    EXPECT_EQ(GetMovieTimeScale(withBadHeader.get()), 600);
    EXPECT_EQ(GetMovieDuration(withBadHeader.get()), 3 * 60);

    mw::Movie twoTracks = good;
    mw::Track bad = SolidTrack(3);
    bad.damageStsc = true;
    twoTracks.tracks.push_back(bad);
    ScopedMovie withBadTrack(Save("damaged-track.mov", mw::write(twoTracks)));
    EXPECT_EQ(withBadTrack.error(), invalidTrack) << "the dropped track is reported";
    ASSERT_NE(withBadTrack.get(), nullptr) << "together with the movie";
    EXPECT_EQ(GetMovieTrackCount(withBadTrack.get()), 1);
}

// The stand-in's own export tells why the thread's last opening refused a movie or dropped a
// track; a movie that opens whole leaves no reason.
TEST(Opening, TheReasonOfARefusalIsKeptForTheThread)
{
    typedef long (*ReasonFn)(char *, long);
    const ReasonFn reason = reinterpret_cast<ReasonFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("QuickTime.qts"), "QtsGetMovieOpenReason")));
    ASSERT_NE(reason, nullptr);
    mw::Movie good;
    good.tracks.push_back(SolidTrack(3));
    mw::Track bad = SolidTrack(3);
    bad.damageStsc = true;
    good.tracks.push_back(bad);
    ScopedMovie withBadTrack(Save("damaged-track-reason.mov", mw::write(good)));
    ASSERT_EQ(withBadTrack.error(), invalidTrack);
    const std::string expected = "damaged: track 2: 'stsc' first chunks do not increase from 1";
    char text[128];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(reason(text, sizeof text), long(expected.size()));
    EXPECT_EQ(std::string(text), expected);
    EXPECT_EQ(reason(text, 9), long(expected.size())) << "cut short, still the full length";
    EXPECT_EQ(std::string(text), "damaged:");
    EXPECT_EQ(reason(nullptr, 0), long(expected.size()));

    ScopedMovie fine("raw24.mov");
    ASSERT_EQ(fine.error(), noErr);
    EXPECT_EQ(reason(text, sizeof text), 0);
    EXPECT_EQ(std::string(text), "");
}

// The reason the thread's last opening gave, through the stand-in's own export.
static std::string OpenReason()
{
    typedef long (*ReasonFn)(char *, long);
    const ReasonFn reason = reinterpret_cast<ReasonFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("QuickTime.qts"), "QtsGetMovieOpenReason")));
    char text[128] = {};
    return reason && reason(text, sizeof text) > 0 ? std::string(text) : std::string();
}

// Raw AMR-WB, as .awb and as .amr (make-movies.sh writes 73 and 50 frames): one sound track of
// 20 ms frames at 16 kHz in the format 'sawb', which no decoder takes. Raw AMR of several
// channels is refused, as is a stream of another kind.
TEST(Opening, RawAmrWideBandOpensAndOtherKindsAreUnsupported)
{
    const struct {
        const char *file;
        long frames;
    } wideBand[] = {{"amrwb.awb", 73}, {"amrwb.amr", 50}};
    for (const auto &c : wideBand) {
        SCOPED_TRACE(c.file);
        ScopedMovie movie(c.file);
        ASSERT_EQ(movie.error(), noErr);
        ASSERT_EQ(GetMovieTrackCount(movie.get()), 1);
        const Media media = movie.media(QTFourCC("soun"), 1);
        ASSERT_NE(media, nullptr);
        EXPECT_EQ(GetMediaTimeScale(media), 16000);
        EXPECT_EQ(GetMediaSampleCount(media), c.frames);
        EXPECT_EQ(GetMediaDuration(media), c.frames * 320);
        EXPECT_EQ(GetMovieDuration(movie.get()), c.frames * 320 * GetMovieTimeScale(movie.get()) / 16000);
        ScopedHandle desc(NewHandle(0));
        GetMediaSampleDescription(media, 1, reinterpret_cast<SampleDescriptionHandle>(desc.get()));
        ASSERT_EQ(GetMoviesError(), noErr);
        const auto &sound = *desc.as<SoundDescription>();
        EXPECT_EQ(sound.dataFormat, QTFourCC("sawb"));
        EXPECT_EQ(sound.numChannels, 1);
        EXPECT_EQ(sound.sampleRate, 16000u << 16);
    }
    const struct {
        const char *file;
        OSErr error;
        const char *reason;
    } refused[] = {
        {"amrmc.amr", invalidMovie, "unsupported: multi-channel raw AMR"},
        {"amrwbmc.awb", invalidMovie, "unsupported: multi-channel raw AMR"},
        {"raw.m4v", noMovieFound, "unsupported: not a QuickTime or MPEG-4 movie"},
        {"notamovie.mov", noMovieFound, "unsupported: not a QuickTime or MPEG-4 movie"},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.file);
        ScopedMovie movie(c.file);
        EXPECT_EQ(movie.error(), c.error);
        EXPECT_EQ(movie.get(), nullptr);
        EXPECT_EQ(OpenReason(), c.reason);
    }
}

TEST(Opening, HostArgumentsAreCheckedNotTrusted)
{
    FSSpec spec;
    std::string path = MediaPath("raw24.mov");
    EXPECT_EQ(NativePathNameToFSSpec(nullptr, &spec, 0), paramErr);
    EXPECT_EQ(NativePathNameToFSSpec(&path[0], nullptr, 0), paramErr);
    SInt16 ref = 0;
    EXPECT_EQ(OpenMovieFile(nullptr, &ref, 1), paramErr);
    ASSERT_EQ(NativePathNameToFSSpec(&path[0], &spec, 0), noErr);
    EXPECT_EQ(OpenMovieFile(&spec, nullptr, 1), paramErr);
    EXPECT_EQ(OpenMovieFile(&spec, &ref, 7), paramErr);
    FSSpec forged = spec;
    forged.parID = 0x7FFF0000;
    EXPECT_EQ(OpenMovieFile(&forged, &ref, 1), paramErr);

    Movie movie = reinterpret_cast<Movie>(0x1234);
    EXPECT_EQ(NewMovieFromFile(&movie, 0x3333, nullptr, nullptr, 1, nullptr), paramErr);
    EXPECT_EQ(movie, nullptr);
    EXPECT_EQ(NewMovieFromFile(nullptr, 1, nullptr, nullptr, 1, nullptr), paramErr);

    const Movie bogus = reinterpret_cast<Movie>(0x00A00012);
    EXPECT_EQ(GetMovieTrackCount(bogus), 0);
    EXPECT_EQ(GetMoviesError(), paramErr);
    EXPECT_EQ(GetMovieIndTrackType(nullptr, 1, QTFourCC("vide"), 1), nullptr);
    EXPECT_EQ(GetMoviesError(), paramErr);
    EXPECT_EQ(GetTrackMedia(reinterpret_cast<Track>(&spec)), nullptr);
    EXPECT_EQ(GetMoviesError(), paramErr);
    DisposeMovie(bogus);
    EXPECT_EQ(GetMoviesError(), paramErr);
    MoviesTask(bogus, 0);
    EXPECT_EQ(GetMoviesError(), paramErr);

    // A movie disposed once is gone: its handles answer like forged ones.
    ScopedMovie real("raw24.mov");
    ASSERT_EQ(real.error(), noErr);
    Movie copy = nullptr;
    std::string same = MediaPath("raw24.mov");
    ASSERT_EQ(NativePathNameToFSSpec(&same[0], &spec, 0), noErr);
    ASSERT_EQ(OpenMovieFile(&spec, &ref, 1), noErr);
    ASSERT_EQ(NewMovieFromFile(&copy, ref, nullptr, nullptr, 1, nullptr), noErr);
    CloseMovieFile(ref);
    const Track track = GetMovieIndTrackType(copy, 1, QTFourCC("vide"), 1);
    const Media media = GetTrackMedia(track);
    ASSERT_NE(media, nullptr);
    DisposeMovie(copy);
    EXPECT_EQ(GetMoviesError(), noErr);
    EXPECT_EQ(GetMovieTrackCount(copy), 0);
    EXPECT_EQ(GetMediaSampleCount(media), 0);
    EXPECT_EQ(GetMoviesError(), paramErr);
    EXPECT_EQ(GetMovieTrackCount(real.get()), 1) << "the other movie of the same file stays";
}

namespace {
struct ErrorProbe {
    OSErr seenAtStart = 1;
    OSErr afterOwnError = 1;
};

DWORD WINAPI ReadErrorsOnThread(void *context)
{
    auto *probe = static_cast<ErrorProbe *>(context);
    probe->seenAtStart = GetMoviesError();
    ScopedMovie movie("twos.mov");
    ScopedHandle data(NewHandle(0));
    long size = 0;
    GetMediaSample(movie.media(QTFourCC("soun"), 1), data.get(), 3, &size, 0, nullptr, nullptr,
                   nullptr, nullptr, 0, nullptr, nullptr);
    probe->afterOwnError = GetMoviesError();
    return 0;
}
}  // namespace

TEST(Opening, TheMovieErrorBelongsToTheCallingThread)
{
    EXPECT_EQ(GetMovieTrackCount(nullptr), 0);
    ASSERT_EQ(GetMoviesError(), paramErr);
    ErrorProbe probe;
    ASSERT_TRUE(RunOnThread(ReadErrorsOnThread, &probe, 10000)) << "thread timed out";
    EXPECT_EQ(probe.seenAtStart, noErr);
    EXPECT_EQ(probe.afterOwnError, maxSizeToGrowTooSmall);
    EXPECT_EQ(GetMoviesError(), paramErr) << "another thread's error leaked into this one";
}
