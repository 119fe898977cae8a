// What the filter tests share: the fake's selectors by name, a filter whose screen depth the
// test picks and which records the arguments of every pin it makes, movies to load, and a
// fixture that installs the fake and checks that every object made is gone at the end.
#pragma once

#include <windows.h>
#include <dshow.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FakeQuickTime.h"
#include "pinnames.h"
#include "filter/moviesourcefilter.h"
#include "quicktime/QuickTimeSelectors.h"

namespace filtertest {

#define FILTERTEST_SELECTOR(name, value) constexpr uint32_t kSel##name = value;
QT_PUBLIC_ROUTINES(FILTERTEST_SELECTOR)
QT_INTERNAL_ROUTINES(FILTERTEST_SELECTOR)
#undef FILTERTEST_SELECTOR

constexpr long kQuickTime779 = 0x07798000;
constexpr long kQuickTime704 = 0x07048000;

struct PinArgs {
    bool bVideo;
    std::wstring name;
    long lTrack;
    int n6, n7, n8;  // height, width, bits / channels, rate, bits
    DWORD dwCode;
    CMovieOutputPin *pPin;
};

class TestFilter : public CMovieSourceFilter {
public:
    explicit TestFilter(int nScreenBits = 32) : CMovieSourceFilter(nullptr, nullptr),
                                                m_nScreenBits(nScreenBits) {}

    std::vector<PinArgs> made;  // every pin made, in order (deleted ones too)
    bool bRefuseVideoPins = false;  // video pins "cannot be allocated"

protected:
    int ScreenBitsPerPixel() override { return m_nScreenBits; }
    CMovieOutputPin *CreateVideoPin(HRESULT *phr, LPCWSTR pName, int iTrack, int nHeight,
                                    int nWidth, int nBits, DWORD dwCodec) override;
    CMovieOutputPin *CreateAudioPin(HRESULT *phr, LPCWSTR pName, int iTrack, int nChannels,
                                    int nRate, int nBits, DWORD dwFormat) override;

private:
    const int m_nScreenBits;
};

// Holds the one reference of a filter built with new; Release deletes it.
class FilterRef {
public:
    explicit FilterRef(TestFilter *p) : m_p(p) { m_p->NonDelegatingAddRef(); }
    ~FilterRef() { Reset(); }
    FilterRef(const FilterRef &) = delete;
    FilterRef &operator=(const FilterRef &) = delete;
    TestFilter *operator->() const { return m_p; }
    TestFilter *get() const { return m_p; }
    IBaseFilter *Base() const { return static_cast<IBaseFilter *>(m_p); }
    void Reset()
    {
        if (m_p)
            m_p->NonDelegatingRelease();
        m_p = nullptr;
    }

private:
    TestFilter *m_p;
};

LONG RefCount(IUnknown *p);

// Makes the next nothrow array allocation of exactly cb bytes fail (0: none).
void FailNextArrayAllocationOf(size_t cb);

// Tracks: video of 10 samples over 10 s, sound of 1 s at 44.1 kHz.
fakeqt::TrackModel Video(SInt16 width = 320, SInt16 height = 240, long samples = 10);
fakeqt::TrackModel Sound(SInt16 channels = 2, UInt32 rate = 44100, SInt16 bits = 16);
// A movie of 10 s at time scale 600 with the box 320x240 at the origin.
fakeqt::MovieModel MovieOf(std::vector<fakeqt::TrackModel> tracks);

// The n-th path (from 1) that QuickTime was given since the fake was installed.
std::string PathGiven(const fakeqt::FakeQuickTime &fake, int n);

// The names of the pins the filter made (through its factory hooks), in order.
std::vector<std::wstring> MadeNames(const TestFilter &filter);

extern const wchar_t kMoviePath[];

class FilterTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    fakeqt::FakeQuickTime m_fake;
    LONG m_nObjectsBefore = 0;
};

}  // namespace filtertest
