// Opening a movie: which tracks get pins, in which order and with which arguments, and every
// way a load can fail.
#include "test_filter.h"

#include <cstring>

using namespace filtertest;
using fakeqt::TrackModel;

namespace {

typedef std::vector<std::wstring> Names;

class Opening : public FilterTest {
protected:
    // Loads `movie` into a new filter with QuickTime `version`; the pins' names as enumerated.
    Names LoadWith(long version, const fakeqt::MovieModel &movie, HRESULT hrExpected = S_OK)
    {
        m_fake.SetGestalt(noErr, version);
        m_fake.SetMovie(movie);
        FilterRef filter(new TestFilter);
        EXPECT_EQ(filter->Load(kMoviePath, nullptr), hrExpected);
        Names names = PinNames(filter.Base());
        EXPECT_EQ(MadeNames(*filter.get()), names);
        return names;
    }
};

TEST_F(Opening, PinsFollowTheTracksByTypeRelativeIndex)
{
    EXPECT_EQ(LoadWith(kQuickTime779, MovieOf({Video(), Sound()})),
              (Names{L"Video Out 1", L"Audio Out 1"}));
    EXPECT_EQ(LoadWith(kQuickTime704, MovieOf({Sound(), Video()})),
              (Names{L"Video Out 1", L"Audio Out 1"}));
    EXPECT_EQ(LoadWith(kQuickTime779, MovieOf({Video()})), (Names{L"Video Out 1"}));
    EXPECT_EQ(LoadWith(kQuickTime704, MovieOf({Sound()})), (Names{L"Audio Out 1"}));
}

TEST_F(Opening, OneAudioPinCarriesEverySoundTrackFromQuickTime71)
{
    EXPECT_EQ(LoadWith(kQuickTime779, MovieOf({Sound(), Sound()})), (Names{L"Audio Out 1"}));
    EXPECT_EQ(LoadWith(kQuickTime704, MovieOf({Sound(), Sound()})),
              (Names{L"Audio Out 1", L"Audio Out 2"}));
    EXPECT_EQ(LoadWith(kQuickTime704, MovieOf({Video(), Sound(), Video(), Sound()})),
              (Names{L"Video Out 1", L"Audio Out 1", L"Video Out 2", L"Audio Out 2"}));
    EXPECT_EQ(LoadWith(kQuickTime779, MovieOf({Video(), Sound(), Video(), Sound()})),
              (Names{L"Video Out 1", L"Audio Out 1", L"Video Out 2"}));
}

TEST_F(Opening, VersionBoundaryAndGestaltError)
{
    struct Case {
        OSErr err;
        long version;
        bool bQuickTime71;
    } cases[] = {
        {noErr, 0x07100000, true},
        {noErr, 0x070FFFFF, false},
        {noErr, kQuickTime779, true},
        {gestaltUndefSelectorErr, kQuickTime779, false},
        {noErr, long(0x80000000u), false},  // compared as a signed number
    };
    for (const Case &c : cases) {
        m_fake.SetGestalt(c.err, c.version);
        FilterRef filter(new TestFilter);
        EXPECT_EQ(filter->m_bQuickTime71, c.bQuickTime71) << std::hex << c.version;
    }
}

TEST_F(Opening, PinsGetTheTracksDescriptions)
{
    m_fake.SetMovie(MovieOf({Video(176, 144), Sound(1, 22050, 8)}));
    m_fake.SetGestalt(noErr, kQuickTime704);
    FilterRef filter(new TestFilter);
    ASSERT_EQ(filter->Load(kMoviePath, nullptr), S_OK);
    ASSERT_EQ(filter->made.size(), 2u);
    const PinArgs &video = filter->made[0];
    EXPECT_TRUE(video.bVideo);
    EXPECT_EQ(video.lTrack, 1);
    // The box, not the description, gives the size.
    EXPECT_EQ(video.n6, 240);
    EXPECT_EQ(video.n7, 320);
    EXPECT_EQ(video.n8, 32);
    EXPECT_EQ(video.dwCode, QTFourCC("raw "));
    const PinArgs &audio = filter->made[1];
    EXPECT_FALSE(audio.bVideo);
    EXPECT_EQ(audio.lTrack, 1);
    EXPECT_EQ(audio.n6, 1);
    EXPECT_EQ(audio.n7, 22050);
    EXPECT_EQ(audio.n8, 8);
    EXPECT_EQ(audio.dwCode, QTFourCC("twos"));
}

TEST_F(Opening, VersionTwoSoundDescriptionsGiveTheirOwnFields)
{
    // Version 2: the version-0 fields read 3 channels, 16 bits, 1 Hz; the real values follow.
    TrackModel sound = Sound();
    std::vector<uint8_t> &desc = sound.description;
    desc.assign(72, 0);
    SoundDescription v0 = {};
    v0.descSize = 72;
    v0.dataFormat = QTFourCC("lpcm");
    v0.dataRefIndex = 1;
    v0.version = 2;
    v0.numChannels = 3;
    v0.sampleSize = 16;
    v0.compressionID = -2;
    v0.sampleRate = 0x00010000;
    std::memcpy(desc.data(), &v0, sizeof(v0));
    const double dRate = 192000.0;
    const UInt32 nChannels = 6, nBits = 24;
    std::memcpy(&desc[40], &dRate, sizeof(dRate));
    std::memcpy(&desc[48], &nChannels, sizeof(nChannels));
    std::memcpy(&desc[56], &nBits, sizeof(nBits));

    m_fake.SetMovie(MovieOf({sound}));
    m_fake.SetGestalt(noErr, kQuickTime704);
    FilterRef filter(new TestFilter);
    ASSERT_EQ(filter->Load(kMoviePath, nullptr), S_OK);
    ASSERT_EQ(filter->made.size(), 1u);
    EXPECT_EQ(filter->made[0].n6, 6);
    EXPECT_EQ(filter->made[0].n7, 192000);
    EXPECT_EQ(filter->made[0].n8, 24);
    EXPECT_EQ(filter->made[0].dwCode, QTFourCC("lpcm"));

    // A version-2 description cut short is not read past its end.
    desc.resize(60);
    m_fake.SetMovie(MovieOf({sound}));
    FilterRef shortDesc(new TestFilter);
    EXPECT_EQ(shortDesc->Load(kMoviePath, nullptr), E_FAIL);
    EXPECT_TRUE(shortDesc->made.empty());
}

TEST_F(Opening, ScreenDepthBelowSixteenBecomesSixteen)
{
    const int depths[][2] = {{8, 16}, {15, 16}, {16, 16}, {24, 24}, {32, 32}};
    for (const auto &depth : depths) {
        m_fake.SetMovie(MovieOf({Video()}));
        FilterRef filter(new TestFilter(depth[0]));
        ASSERT_EQ(filter->Load(kMoviePath, nullptr), S_OK);
        ASSERT_EQ(filter->made.size(), 1u);
        EXPECT_EQ(filter->made[0].n8, depth[1]) << "screen at " << depth[0];
    }
}

TEST_F(Opening, TheBoxMovesToTheOrigin)
{
    fakeqt::MovieModel movie = MovieOf({Video()});
    movie.box = {-10, 30, 110, 190};  // top, left, bottom, right
    m_fake.SetMovie(movie);
    FilterRef filter(new TestFilter);
    ASSERT_EQ(filter->Load(kMoviePath, nullptr), S_OK);

    const auto calls = m_fake.CallsTo(kSelSetMovieBox);
    ASSERT_EQ(calls.size(), 1u);
    Rect box = {1, 1, 1, 1};
    GetMovieBox(filter->m_movie, &box);
    EXPECT_EQ(box.top, 0);
    EXPECT_EQ(box.left, 0);
    EXPECT_EQ(box.bottom, 120);
    EXPECT_EQ(box.right, 160);
    ASSERT_EQ(filter->made.size(), 1u);
    EXPECT_EQ(filter->made[0].n6, 120);
    EXPECT_EQ(filter->made[0].n7, 160);
}

TEST_F(Opening, VideoWithoutSamplesGetsNoPinButItsSoundDoes)
{
    EXPECT_EQ(LoadWith(kQuickTime779, MovieOf({Video(320, 240, 0), Sound()})),
              (Names{L"Audio Out 1"}));
    // A zero-length movie makes the quotient infinite, which is a usable rate.
    fakeqt::MovieModel empty = MovieOf({Video()});
    empty.duration = 0;
    EXPECT_EQ(LoadWith(kQuickTime779, empty), (Names{L"Video Out 1"}));
    // Under one frame per second still counts.
    EXPECT_EQ(LoadWith(kQuickTime779, MovieOf({Video(320, 240, 3)})), (Names{L"Video Out 1"}));
}

TEST_F(Opening, AReadOnlyFileOpensOnTheSecondAttempt)
{
    fakeqt::MovieModel movie = MovieOf({Video()});
    movie.readOnlyFile = true;
    EXPECT_EQ(LoadWith(kQuickTime779, movie), (Names{L"Video Out 1"}));
    const auto opens = m_fake.CallsTo(kSelOpenMovieFile);
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(SInt8(opens[0].args[2]), 3);
    EXPECT_EQ(SInt8(opens[1].args[2]), 1);
    EXPECT_EQ(m_fake.CountOf(kSelCloseMovieFile), 1u);
}

TEST_F(Opening, FilesAndMoviesThatDoNotOpen)
{
    fakeqt::MovieModel unopenable = MovieOf({Video()});
    unopenable.openError = fnfErr;
    EXPECT_EQ(LoadWith(kQuickTime779, unopenable, E_FAIL), Names{});
    EXPECT_EQ(m_fake.CountOf(kSelOpenMovieFile), 2u);
    EXPECT_EQ(m_fake.CountOf(kSelNewMovieFromFile), 0u);
    EXPECT_EQ(m_fake.CountOf(kSelCloseMovieFile), 0u);

    m_fake.ClearCalls();
    fakeqt::MovieModel noMovie = MovieOf({Video()});
    noMovie.newMovieError = noMovieFound;
    EXPECT_EQ(LoadWith(kQuickTime779, noMovie, E_FAIL), Names{});
    EXPECT_EQ(m_fake.CountOf(kSelCloseMovieFile), 1u);
    EXPECT_EQ(m_fake.CountOf(kSelDisposeMovie), 0u);

    // An error reported together with a movie: the movie goes again.
    m_fake.ClearCalls();
    fakeqt::MovieModel damaged = MovieOf({Video()});
    damaged.newMovieError = invalidTrack;
    damaged.movieDespiteError = true;
    EXPECT_EQ(LoadWith(kQuickTime779, damaged, E_FAIL), Names{});
    EXPECT_EQ(m_fake.CountOf(kSelDisposeMovie), 1u);
    EXPECT_EQ(m_fake.CountOf(kSelGetMovieTrackCount), 0u);
}

TEST_F(Opening, FlashRefusedBeforeAnyPinAndLoadMayBeRetried)
{
    m_fake.SetMovie(MovieOf({Video(), Sound(), TrackModel::Flash()}));
    FilterRef filter(new TestFilter);
    EXPECT_EQ(filter->Load(kMoviePath, nullptr), E_FAIL);
    EXPECT_TRUE(filter->made.empty());
    EXPECT_EQ(filter->GetPinCount(), 0);
    EXPECT_EQ(filter->m_movie, nullptr);
    EXPECT_EQ(m_fake.CountOf(kSelDisposeMovie), 1u);
    LPOLESTR pszName = reinterpret_cast<LPOLESTR>(0xdeadbeef);
    EXPECT_EQ(filter->GetCurFile(&pszName, nullptr), S_OK);
    EXPECT_EQ(pszName, nullptr);

    m_fake.SetMovie(MovieOf({Video(), Sound()}));
    EXPECT_EQ(filter->Load(kMoviePath, nullptr), S_OK);
    EXPECT_EQ(PinNames(filter.Base()), (Names{L"Video Out 1", L"Audio Out 1"}));
}

TEST_F(Opening, AFailedLoadLeavesNoPinsBehind)
{
    // The second sound track's description cannot be read, after two pins were made.
    TrackModel broken = Sound();
    broken.description.clear();
    m_fake.SetGestalt(noErr, kQuickTime704);
    m_fake.SetMovie(MovieOf({Video(), Sound(), Video(), broken}));
    FilterRef filter(new TestFilter);
    EXPECT_EQ(filter->Load(kMoviePath, nullptr), E_FAIL);
    EXPECT_EQ(MadeNames(*filter.get()), (Names{L"Video Out 1", L"Audio Out 1", L"Video Out 2"}));
    EXPECT_EQ(filter->GetPinCount(), 0);
    EXPECT_EQ(PinNames(filter.Base()), Names{});
    EXPECT_EQ(filter->m_movie, nullptr);

    // The pins gave back their tracks before the movie went.
    const auto calls = m_fake.Calls();
    size_t nTrackDisposals = 0, iMovieDisposal = 0;
    for (size_t i = 0; i < calls.size(); i++) {
        if (calls[i].selector == kSelDisposeMovieTrack)
            nTrackDisposals++;
        if (calls[i].selector == kSelDisposeMovie)
            iMovieDisposal = i;
        if (calls[i].selector == kSelDisposeMovieTrack) {
            EXPECT_EQ(iMovieDisposal, 0u) << "a track disposed after its movie";
        }
    }
    EXPECT_EQ(nTrackDisposals, 3u);
    EXPECT_EQ(m_fake.CountOf(kSelDisposeMovie), 1u);

    LPOLESTR pszName = reinterpret_cast<LPOLESTR>(0xdeadbeef);
    EXPECT_EQ(filter->GetCurFile(&pszName, nullptr), S_OK);
    EXPECT_EQ(pszName, nullptr);

    // A new load starts from an empty table.
    m_fake.SetMovie(MovieOf({Sound()}));
    EXPECT_EQ(filter->Load(kMoviePath, nullptr), S_OK);
    EXPECT_EQ(PinNames(filter.Base()), (Names{L"Audio Out 1"}));
}

TEST_F(Opening, NoMoreThanSixteenPins)
{
    std::vector<TrackModel> tracks;
    for (int i = 0; i < 10; i++) {
        tracks.push_back(Video(32, 16));
        tracks.push_back(Sound());
    }
    Names expected;
    for (int i = 1; i <= 8; i++) {
        expected.push_back(L"Video Out " + std::to_wstring(i));
        expected.push_back(L"Audio Out " + std::to_wstring(i));
    }
    EXPECT_EQ(LoadWith(kQuickTime704, MovieOf(tracks)), expected);

    // The cap falls between a video pin and its sound track's: the first video track has no
    // samples, so "Audio Out 1" comes alone and the sixteenth pin is "Video Out 9".
    tracks.assign(1, Video(32, 16, 0));
    for (int i = 0; i < 9; i++) {
        tracks.push_back(Video(32, 16));
        tracks.push_back(Sound());
    }
    Names shifted{L"Audio Out 1"};
    for (int i = 2; i <= 8; i++) {
        shifted.push_back(L"Video Out " + std::to_wstring(i));
        shifted.push_back(L"Audio Out " + std::to_wstring(i));
    }
    shifted.push_back(L"Video Out 9");
    EXPECT_EQ(LoadWith(kQuickTime704, MovieOf(tracks)), shifted);
}

TEST_F(Opening, LoadArgumentsAndASecondLoad)
{
    m_fake.SetMovie(MovieOf({Video(), Sound()}));
    FilterRef filter(new TestFilter);
    EXPECT_EQ(filter->Load(nullptr, nullptr), E_POINTER);
    EXPECT_EQ(m_fake.CountOf(kSelOpenMovieFile), 0u);
    ASSERT_EQ(filter->Load(kMoviePath, nullptr), S_OK);
    const Movie movie = filter->m_movie;

    EXPECT_EQ(filter->Load(L"C:\\movies\\other.mov", nullptr), E_FAIL);
    EXPECT_EQ(filter->Load(nullptr, nullptr), E_FAIL);
    EXPECT_EQ(m_fake.CountOf(kSelNewMovieFromFile), 1u);
    EXPECT_EQ(filter->m_movie, movie);
    EXPECT_EQ(PinNames(filter.Base()), (Names{L"Video Out 1", L"Audio Out 1"}));
    LPOLESTR pszName = nullptr;
    ASSERT_EQ(filter->GetCurFile(&pszName, nullptr), S_OK);
    ASSERT_NE(pszName, nullptr);
    EXPECT_STREQ(pszName, kMoviePath);
    CoTaskMemFree(pszName);
}

TEST_F(Opening, NamesTheCodePageCannotHoldOpenThroughTheirShortPath)
{
    if (GetACP() == CP_UTF8)
        GTEST_SKIP() << "every name converts exactly in UTF-8";

    WCHAR szTemp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, szTemp), 0u);
    const std::wstring dir = std::wstring(szTemp) + L"quorvex filter \x4e2d\x6587";
    const std::wstring file = dir + L"\\\x5f71\x7247 clip.mov";
    CreateDirectoryW(dir.c_str(), nullptr);
    HANDLE hFile = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(hFile, INVALID_HANDLE_VALUE);
    CloseHandle(hFile);

    m_fake.SetMovie(MovieOf({Video()}));
    {
        FilterRef filter(new TestFilter);
        WCHAR szShort[MAX_PATH];
        const bool bHasShort = GetShortPathNameW(file.c_str(), szShort, MAX_PATH) > 0 &&
                               std::wstring(szShort).find(L'\x4e2d') == std::wstring::npos;
        const HRESULT hr = filter->Load(file.c_str(), nullptr);
        if (bHasShort) {
            ASSERT_EQ(hr, S_OK);
            ASSERT_EQ(m_fake.CountOf(kSelNativePathNameToFSSpec), 1u);
            const std::string path = PathGiven(m_fake, 1);
            EXPECT_EQ(path.find('?'), std::string::npos) << path;
            EXPECT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES) << path;
            // The host gets back the name it gave.
            LPOLESTR pszName = nullptr;
            ASSERT_EQ(filter->GetCurFile(&pszName, nullptr), S_OK);
            EXPECT_EQ(std::wstring(pszName), file);
            CoTaskMemFree(pszName);
        } else {
            EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION));
        }
    }
    DeleteFileW(file.c_str());
    RemoveDirectoryW(dir.c_str());

    // No file, so no short path: the load fails before QuickTime sees a mangled name.
    m_fake.ClearCalls();
    FilterRef missing(new TestFilter);
    EXPECT_EQ(missing->Load(L"C:\\nowhere\\\x5f71\x7247.mov", nullptr),
              HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(m_fake.CountOf(kSelNativePathNameToFSSpec), 0u);
    EXPECT_EQ(missing->m_movie, nullptr);
}

}  // namespace
