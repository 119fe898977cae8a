// The filter as an object: creation, QuickTime's start-up count across filters, its
// interfaces and the two forwarded ones, the file name it hands out, and what its
// destruction gives back to QuickTime.
#include "test_filter.h"

#include <algorithm>
#include <cstring>
#include <uuids.h>

#include "framework/combase.h"
#include "pins/movieinterfaces.h"
#include "pins/movieoutputpin.h"

using namespace filtertest;

namespace {

typedef std::vector<std::wstring> Names;

class Lifetime : public FilterTest {};

DWORD WINAPI BuildAndDestroyFilters(void *)
{
    for (int i = 0; i < 200; i++) {
        FilterRef filter(new TestFilter);
        const LONG n = CMovieSourceFilter::QuickTimeInitCount();
        if (n < 1 || n > 2)
            return 1;
    }
    return 0;
}

TEST_F(Lifetime, CreateInstanceGivesAFilterWithItsInterfaces)
{
    HRESULT hr = E_UNEXPECTED;
    CUnknown *pObject = CMovieSourceFilter::CreateInstance(nullptr, &hr);
    ASSERT_NE(pObject, nullptr);
    EXPECT_EQ(hr, E_UNEXPECTED) << "the constructor writes no status";
    IUnknown *pUnk = nullptr;
    ASSERT_EQ(pObject->NonDelegatingQueryInterface(IID_IUnknown, reinterpret_cast<void **>(&pUnk)),
              S_OK);
    EXPECT_EQ(RefCount(pUnk), 1);

    IBaseFilter *pBase = nullptr;
    IFileSourceFilter *pSource = nullptr;
    IPersist *pPersist = nullptr;
    IAMovieSetup *pSetup = nullptr;
    ASSERT_EQ(pUnk->QueryInterface(IID_IBaseFilter, reinterpret_cast<void **>(&pBase)), S_OK);
    ASSERT_EQ(pUnk->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void **>(&pSource)),
              S_OK);
    ASSERT_EQ(pUnk->QueryInterface(IID_IPersist, reinterpret_cast<void **>(&pPersist)), S_OK);
    ASSERT_EQ(pUnk->QueryInterface(IID_IAMovieSetup, reinterpret_cast<void **>(&pSetup)), S_OK);
    EXPECT_EQ(RefCount(pUnk), 5);
    EXPECT_EQ(pUnk->QueryInterface(IID_IFileSourceFilter, nullptr), E_POINTER);

    CLSID clsid = GUID_NULL;
    EXPECT_EQ(pPersist->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_MovieSourceFilter));
    // The module registers the filter; the object itself has nothing to register.
    EXPECT_EQ(pSetup->Register(), S_FALSE);

    pSetup->Release();
    pPersist->Release();
    pSource->Release();
    pBase->Release();
    EXPECT_EQ(pUnk->Release(), 0u);
}

TEST_F(Lifetime, QuickTimeStartsForTheFirstTwoFiltersOnly)
{
    // Earlier tests of this process may have left the first start-up in place.
    const LONG nStart = CMovieSourceFilter::QuickTimeInitCount();
    ASSERT_LE(nStart, 1);
    {
        FilterRef first(new TestFilter);
        FilterRef second(new TestFilter);
        FilterRef third(new TestFilter);
        EXPECT_EQ(CMovieSourceFilter::QuickTimeInitCount(), 2);
        EXPECT_EQ(m_fake.CountOf(kSelEnterMovies), size_t(2 - nStart));
        EXPECT_EQ(QuickTimeBinding.initCount, 1 + 2 - nStart);

        // Destroyed at 2, a filter undoes one start-up; the others find 1 and leave it.
        second.Reset();
        EXPECT_EQ(CMovieSourceFilter::QuickTimeInitCount(), 1);
        EXPECT_EQ(m_fake.CountOf(kSelExitMovies), 1u);
        third.Reset();
        EXPECT_EQ(CMovieSourceFilter::QuickTimeInitCount(), 1);
        EXPECT_EQ(m_fake.CountOf(kSelExitMovies), 1u);

        // The next filter starts QuickTime again.
        FilterRef fourth(new TestFilter);
        EXPECT_EQ(CMovieSourceFilter::QuickTimeInitCount(), 2);
        EXPECT_EQ(m_fake.CountOf(kSelEnterMovies), size_t(3 - nStart));
    }
    EXPECT_EQ(CMovieSourceFilter::QuickTimeInitCount(), 1);
    EXPECT_EQ(m_fake.CountOf(kSelExitMovies), 2u);
    EXPECT_EQ(QuickTimeBinding.initCount, 2 - nStart);
}

TEST_F(Lifetime, StartUpCountHoldsAcrossThreads)
{
    // Filters built and destroyed on several threads at once: the count stays in 1..2 and
    // the start-ups and undoings balance.
    const LONG nStart = CMovieSourceFilter::QuickTimeInitCount();
    const int kThreads = 4;
    HANDLE threads[kThreads];
    for (HANDLE &h : threads) {
        h = CreateThread(nullptr, 0, BuildAndDestroyFilters, nullptr, 0, nullptr);
        ASSERT_NE(h, nullptr);
    }
    ASSERT_EQ(WaitForMultipleObjects(kThreads, threads, TRUE, 60000), WAIT_OBJECT_0)
        << "filters did not finish";
    for (HANDLE h : threads) {
        DWORD code = 99;
        GetExitCodeThread(h, &code);
        EXPECT_EQ(code, 0u);
        CloseHandle(h);
    }
    const LONG nEnd = CMovieSourceFilter::QuickTimeInitCount();
    EXPECT_EQ(nEnd, 1);
    EXPECT_EQ(LONG(m_fake.CountOf(kSelEnterMovies)) - LONG(m_fake.CountOf(kSelExitMovies)),
              nEnd - nStart);
}

TEST_F(Lifetime, GetCurFileBeforeAndAfterLoad)
{
    m_fake.SetMovie(MovieOf({Video()}));
    FilterRef filter(new TestFilter);
    EXPECT_EQ(filter->GetCurFile(nullptr, nullptr), E_POINTER);

    // The caller frees what the type it gets holds: a stream type with nothing to free, however
    // the struct came in.
    auto expectEmptyType = [](const AM_MEDIA_TYPE &mt) {
        EXPECT_TRUE(IsEqualGUID(mt.majortype, MEDIATYPE_Stream));
        EXPECT_TRUE(IsEqualGUID(mt.subtype, GUID_NULL));
        EXPECT_TRUE(IsEqualGUID(mt.formattype, GUID_NULL));
        EXPECT_EQ(mt.cbFormat, 0u);
        EXPECT_EQ(mt.pbFormat, nullptr);
        EXPECT_EQ(mt.pUnk, nullptr);
    };
    AM_MEDIA_TYPE mt;
    std::memset(&mt, 0xcc, sizeof(mt));
    LPOLESTR pszName = reinterpret_cast<LPOLESTR>(0xdeadbeef);
    EXPECT_EQ(filter->GetCurFile(&pszName, &mt), S_OK);
    EXPECT_EQ(pszName, nullptr);
    expectEmptyType(mt);

    ASSERT_EQ(filter->Load(kMoviePath, &mt), S_OK);
    pszName = reinterpret_cast<LPOLESTR>(0xdeadbeef);
    std::memset(&mt, 0xcc, sizeof(mt));
    EXPECT_EQ(filter->GetCurFile(&pszName, &mt), S_OK);
    ASSERT_NE(pszName, nullptr);
    EXPECT_STREQ(pszName, kMoviePath);
    expectEmptyType(mt);
    // Each call hands out a copy of its own.
    LPOLESTR pszAgain = nullptr;
    EXPECT_EQ(filter->GetCurFile(&pszAgain, nullptr), S_OK);
    EXPECT_NE(pszAgain, pszName);
    CoTaskMemFree(pszAgain);
    CoTaskMemFree(pszName);
}

TEST_F(Lifetime, AMovieLoadedWithoutItsNameIsStillLoaded)
{
    // The kept copy of the name cannot be allocated: the load stands, without a name.
    const std::wstring name = L"C:\\movies\\a name of an unusual length.mov";
    m_fake.SetMovie(MovieOf({Video()}));
    FilterRef filter(new TestFilter);
    FailNextArrayAllocationOf((name.size() + 1) * sizeof(WCHAR));
    EXPECT_EQ(filter->Load(name.c_str(), nullptr), S_OK);
    FailNextArrayAllocationOf(0);
    LPOLESTR pszName = reinterpret_cast<LPOLESTR>(0xdeadbeef);
    EXPECT_EQ(filter->GetCurFile(&pszName, nullptr), S_OK);
    EXPECT_EQ(pszName, nullptr);

    // A second load must not open another movie over the first one.
    EXPECT_EQ(filter->Load(name.c_str(), nullptr), E_FAIL);
    EXPECT_EQ(m_fake.CountOf(kSelNewMovieFromFile), 1u);
    EXPECT_EQ(PinNames(filter.Base()), (Names{L"Video Out 1"}));
}

TEST_F(Lifetime, DestructionDisposesEachTrackAndMediaThenTheMovie)
{
    m_fake.SetGestalt(noErr, kQuickTime704);
    m_fake.SetMovie(MovieOf({Video(), Sound(), Video()}));
    FilterRef filter(new TestFilter);
    ASSERT_EQ(filter->Load(kMoviePath, nullptr), S_OK);
    const ::Movie movie = m_fake.OpenedMovie();
    ASSERT_EQ(filter->m_movie, movie);
    m_fake.ClearCalls();
    filter.Reset();

    std::vector<uintptr_t> media, tracks;
    size_t nMovies = 0;
    for (const fakeqt::Call &call : m_fake.Calls()) {
        if (call.selector == kSelDisposeTrackMedia) {
            EXPECT_EQ(nMovies, 0u) << "media disposed after the movie";
            media.push_back(call.args[0]);
        } else if (call.selector == kSelDisposeMovieTrack) {
            EXPECT_EQ(nMovies, 0u) << "track disposed after the movie";
            tracks.push_back(call.args[0]);
        } else if (call.selector == kSelDisposeMovie) {
            EXPECT_EQ(call.args[0], reinterpret_cast<uintptr_t>(movie));
            nMovies++;
        }
    }
    EXPECT_EQ(nMovies, 1u);
    // Pins go in table order (video 1, audio 1, video 2: model tracks 0, 1, 2), each giving
    // back its media and its track once.
    std::vector<uintptr_t> expectedMedia, expectedTracks;
    for (size_t i = 0; i < 3; i++) {
        expectedMedia.push_back(reinterpret_cast<uintptr_t>(m_fake.MediaAt(i)));
        expectedTracks.push_back(reinterpret_cast<uintptr_t>(m_fake.TrackAt(i)));
    }
    EXPECT_EQ(media, expectedMedia);
    EXPECT_EQ(tracks, expectedTracks);
}

class ForwardedQueries : public FilterTest {
protected:
    // What the filter answers for riid, compared with the pin that must answer (-1: none).
    void Expect(IBaseFilter *pFilter, REFIID riid, const TestFilter &filter, int iPin)
    {
        void *pv = reinterpret_cast<void *>(0xdeadbeef);
        const HRESULT hr = pFilter->QueryInterface(riid, &pv);
        if (iPin < 0) {
            EXPECT_EQ(hr, E_NOINTERFACE);
            EXPECT_EQ(pv, nullptr);
            return;
        }
        ASSERT_EQ(hr, S_OK);
        void *pvPin = nullptr;
        ASSERT_EQ(filter.made[size_t(iPin)].pPin->NonDelegatingQueryInterface(riid, &pvPin), S_OK);
        EXPECT_EQ(pv, pvPin) << "not the interface of pin " << iPin;
        static_cast<IUnknown *>(pvPin)->Release();
        static_cast<IUnknown *>(pv)->Release();
    }
};

TEST_F(ForwardedQueries, WithoutPinsNothingIsForwarded)
{
    FilterRef filter(new TestFilter);
    Expect(filter.Base(), IID_IMovieVideoInfo, *filter.get(), -1);
    Expect(filter.Base(), IID_IMovieAudioInfo, *filter.get(), -1);
    EXPECT_EQ(filter.Base()->QueryInterface(IID_IMovieAudioInfo, nullptr), E_POINTER);
    EXPECT_EQ(RefCount(filter.Base()), 1);
}

TEST_F(ForwardedQueries, ThePinOfTheRightKindAnswers)
{
    struct Case {
        long version;
        std::vector<fakeqt::TrackModel> tracks;
        int iVideo, iAudio;  // the pins (by position) that must answer
    } cases[] = {
        {kQuickTime779, {Video(), Sound()}, 0, 1},
        {kQuickTime779, {Sound()}, -1, 0},
        {kQuickTime779, {Video()}, 0, -1},
        {kQuickTime779, {Video(), Video()}, 0, -1},
        // V1 A1 V2: the usual positions hold A1 and V2; the first video and last audio answer.
        {kQuickTime704, {Video(), Sound(), Video()}, 0, 1},
        // V1 A1 V2 A2: the usual positions (V2, A2) answer.
        {kQuickTime704, {Video(), Sound(), Video(), Sound()}, 2, 3},
        {kQuickTime704, {Sound(), Sound()}, -1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.tracks.size());
        m_fake.SetGestalt(noErr, c.version);
        m_fake.SetMovie(MovieOf(c.tracks));
        FilterRef filter(new TestFilter);
        ASSERT_EQ(filter->Load(kMoviePath, nullptr), S_OK);
        Expect(filter.Base(), IID_IMovieVideoInfo, *filter.get(), c.iVideo);
        Expect(filter.Base(), IID_IMovieAudioInfo, *filter.get(), c.iAudio);
        EXPECT_EQ(RefCount(filter.Base()), 1);
    }
}

TEST_F(ForwardedQueries, APinThatCouldNotBeMadeIsPassedOver)
{
    // The video pin's allocation fails: its entry is null, the sound track still gets its pin.
    m_fake.SetMovie(MovieOf({Video(), Sound()}));
    FilterRef filter(new TestFilter);
    filter->bRefuseVideoPins = true;
    ASSERT_EQ(filter->Load(kMoviePath, nullptr), S_OK);
    ASSERT_EQ(filter->made.size(), 2u);
    EXPECT_EQ(filter->made[0].pPin, nullptr);
    EXPECT_EQ(PinNames(filter.Base()), (Names{L"Audio Out 1"}));
    Expect(filter.Base(), IID_IMovieVideoInfo, *filter.get(), -1);
    Expect(filter.Base(), IID_IMovieAudioInfo, *filter.get(), 1);
    EXPECT_EQ(RefCount(filter.Base()), 1);
}

}  // namespace
