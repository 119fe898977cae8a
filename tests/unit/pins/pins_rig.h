// Shared pieces of the pin tests: the fake QuickTime with a movie loaded into the real filter
// (its screen depth a seam), a filter graph that joins one pin to a test sink, a test sample for
// calling a pin's fill step directly, an allocator that grants less than asked, and a watchdog
// that turns a hang into a failure. Every test ends with the framework's objects gone.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <functional>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "FakeQuickTime.h"
#include "filter/moviesourcefilter.h"
#include "pins/video/movievideopin.h"
#include "test_sink.h"

namespace pinstest {

using fakeqt::FakeQuickTime;
using fakeqt::MovieModel;
using fakeqt::TrackModel;
using testsupport::SinkRecord;
using testsupport::TestSink;

const DWORD kWaitMs = 5000;

inline ULONG RefCount(IUnknown *p)
{
    p->AddRef();
    return p->Release();
}

// False when fn has not returned within timeoutMs (the call is then abandoned).
bool FinishesWithin(DWORD timeoutMs, std::function<void()> fn);

// A movie of one video track ('raw '), media and movie sharing a time scale unless told.
MovieModel VideoMovie(SInt16 width, SInt16 height, TimeScale movieScale, TimeValue movieDuration,
                      long samples, TimeScale mediaScale = 0, TimeValue mediaDuration = 0);

// The filter with the screen depth the test chooses.
class TestMovieFilter : public CMovieSourceFilter {
public:
    TestMovieFilter(int nScreenBits, HRESULT *phr)
        : CMovieSourceFilter(nullptr, phr), m_nScreenBits(nScreenBits)
    {
    }
    int ScreenBitsPerPixel() override { return m_nScreenBits; }

private:
    const int m_nScreenBits;
};

// A media sample of its own memory that records what the pin stores in it.
class TestSample : public IMediaSample {
public:
    explicit TestSample(long cbBuffer, BYTE poison = 0xCD);
    std::vector<BYTE> buffer;
    bool bTimeSet = false;
    REFERENCE_TIME tStart = -1, tStop = -1;
    long lActual = -1;
    BOOL bSync = FALSE, bDiscontinuity = FALSE;
    HRESULT hrPointer = S_OK;

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetPointer(BYTE **ppBuffer) override;
    STDMETHODIMP_(long) GetSize() override { return long(buffer.size()); }
    STDMETHODIMP GetTime(REFERENCE_TIME *pStart, REFERENCE_TIME *pEnd) override;
    STDMETHODIMP SetTime(REFERENCE_TIME *pStart, REFERENCE_TIME *pEnd) override;
    STDMETHODIMP IsSyncPoint() override { return bSync ? S_OK : S_FALSE; }
    STDMETHODIMP SetSyncPoint(BOOL b) override { bSync = b; return S_OK; }
    STDMETHODIMP IsPreroll() override { return S_FALSE; }
    STDMETHODIMP SetPreroll(BOOL) override { return S_OK; }
    STDMETHODIMP_(long) GetActualDataLength() override { return lActual; }
    STDMETHODIMP SetActualDataLength(long l) override { lActual = l; return S_OK; }
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE **ppType) override;
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE *) override { return S_OK; }
    STDMETHODIMP IsDiscontinuity() override { return bDiscontinuity ? S_OK : S_FALSE; }
    STDMETHODIMP SetDiscontinuity(BOOL b) override { bDiscontinuity = b; return S_OK; }
    STDMETHODIMP GetMediaTime(LONGLONG *, LONGLONG *) override { return VFW_E_MEDIA_TIME_NOT_SET; }
    STDMETHODIMP SetMediaTime(LONGLONG *, LONGLONG *) override { return S_OK; }
};

// Passes everything to a real memory allocator but grants cbShort bytes less than asked.
class ShortAllocator : public IMemAllocator {
public:
    ShortAllocator(IMemAllocator *pInner, long cbShort) : m_pInner(pInner), m_cbShort(cbShort) {}
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES *pRequest,
                               ALLOCATOR_PROPERTIES *pActual) override;
    STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES *p) override { return m_pInner->GetProperties(p); }
    STDMETHODIMP Commit() override { return m_pInner->Commit(); }
    STDMETHODIMP Decommit() override { return m_pInner->Decommit(); }
    STDMETHODIMP GetBuffer(IMediaSample **pp, REFERENCE_TIME *s, REFERENCE_TIME *e,
                           DWORD f) override
    {
        return m_pInner->GetBuffer(pp, s, e, f);
    }
    STDMETHODIMP ReleaseBuffer(IMediaSample *p) override { return m_pInner->ReleaseBuffer(p); }
    ALLOCATOR_PROPERTIES lastRequest = {};

private:
    IMemAllocator *m_pInner;
    long m_cbShort;
};

class PinsTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the model into a new filter; the test's reference is released at the end.
    TestMovieFilter *Load(const MovieModel &movie, int nScreenBits = 32);
    // The filter's n-th pin (0-based) as a video pin; null when it is not one.
    CMovieVideoPin *VideoPin(int n);
    IMediaSeeking *Seeking(CBasePin *pPin);  // borrowed: released at the end

    // A graph holding the filter and a sink that accepts any video type, with pPin connected.
    TestSink *ConnectToSink(CBasePin *pPin);
    IMediaControl *Control() { return m_pControl; }
    // Pauses (sources deliver while paused) and waits for end-of-stream.
    bool PauseAndWaitForEnd(TestSink *pSink);

    std::unique_ptr<FakeQuickTime> m_fake;
    TestMovieFilter *m_pFilter = nullptr;
    IGraphBuilder *m_pGraph = nullptr;
    IMediaControl *m_pControl = nullptr;
    std::vector<TestSink *> m_sinks;
    std::vector<IUnknown *> m_borrowed;
    LONG m_cObjects = 0;
};

}  // namespace pinstest
