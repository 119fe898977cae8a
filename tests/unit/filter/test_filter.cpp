#include "test_filter.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "framework/combase.h"
#include "framework/setupdata.h"
#include "pins/audio/movieaudiopin.h"
#include "pins/video/movievideopin.h"

// The class table of the test executable: the filter alone, with no registration data.
CFactoryTemplate g_Templates[] = {
    {L"Quorvex Tavrolin Filter", &CLSID_MovieSourceFilter, CMovieSourceFilter::CreateInstance,
     nullptr, nullptr},
};
int g_cTemplates = 1;

namespace {
std::atomic<size_t> g_cbFailNext{0};
}

// Every nothrow array allocation of the process comes here, so a test can refuse one.
void *operator new[](size_t cb, const std::nothrow_t &) noexcept
{
    size_t cbArmed = cb;
    if (cb != 0 && g_cbFailNext.compare_exchange_strong(cbArmed, 0))
        return nullptr;
    return std::malloc(cb ? cb : 1);
}

void operator delete[](void *p) noexcept
{
    std::free(p);
}

void operator delete[](void *p, size_t) noexcept
{
    std::free(p);
}

namespace filtertest {

const wchar_t kMoviePath[] = L"C:\\movies\\clip.mov";

CMovieOutputPin *TestFilter::CreateVideoPin(HRESULT *phr, LPCWSTR pName, int iTrack,
                                            int nHeight, int nWidth, int nBits, DWORD dwCodec)
{
    CMovieOutputPin *pPin =
        bRefuseVideoPins
            ? nullptr
            : CMovieSourceFilter::CreateVideoPin(phr, pName, iTrack, nHeight, nWidth, nBits,
                                                 dwCodec);
    made.push_back({true, pName, iTrack, nHeight, nWidth, nBits, dwCodec, pPin});
    return pPin;
}

CMovieOutputPin *TestFilter::CreateAudioPin(HRESULT *phr, LPCWSTR pName, int iTrack,
                                            int nChannels, int nRate, int nBits, DWORD dwFormat)
{
    CMovieOutputPin *pPin =
        CMovieSourceFilter::CreateAudioPin(phr, pName, iTrack, nChannels, nRate, nBits, dwFormat);
    made.push_back({false, pName, iTrack, nChannels, nRate, nBits, dwFormat, pPin});
    return pPin;
}

void FailNextArrayAllocationOf(size_t cb)
{
    g_cbFailNext = cb;
}

LONG RefCount(IUnknown *p)
{
    p->AddRef();
    return LONG(p->Release());
}

fakeqt::TrackModel Video(SInt16 width, SInt16 height, long samples)
{
    return fakeqt::TrackModel::Video(width, height, QTFourCC("raw "), 600, 6000, samples);
}

fakeqt::TrackModel Sound(SInt16 channels, UInt32 rate, SInt16 bits)
{
    return fakeqt::TrackModel::Sound(channels, rate, bits, QTFourCC("twos"), TimeScale(rate),
                                     TimeValue(rate));
}

fakeqt::MovieModel MovieOf(std::vector<fakeqt::TrackModel> tracks)
{
    fakeqt::MovieModel movie;
    movie.timeScale = 600;
    movie.duration = 6000;
    movie.box = {0, 0, 240, 320};
    movie.tracks = std::move(tracks);
    return movie;
}

std::string PathGiven(const fakeqt::FakeQuickTime &fake, int n)
{
    // The fake's FSSpec records carry the path's number.
    FSSpec spec = {};
    spec.parID = n;
    return fake.PathOf(spec);
}

std::vector<std::wstring> MadeNames(const TestFilter &filter)
{
    std::vector<std::wstring> names;
    for (const PinArgs &args : filter.made)
        names.push_back(args.name);
    return names;
}

void FilterTest::SetUp()
{
    m_fake.SetGestalt(noErr, kQuickTime779);
    m_nObjectsBefore = CBaseObject::ObjectsActive();
}

void FilterTest::TearDown()
{
    EXPECT_EQ(CBaseObject::ObjectsActive(), m_nObjectsBefore) << "objects left alive";
}

}  // namespace filtertest

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    // The pins' workers enter the multithreaded apartment; the host thread does too.
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 2;
    const int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
