#include "pins_rig.h"

#include <cstring>
#include <cwchar>

#include <uuids.h>

#include "framework/combase.h"

// The framework's entry points are linked but never used here: no classes.
CFactoryTemplate g_Templates[1] = {};
int g_cTemplates = 0;

namespace pinstest {

namespace {

struct PendingCall {
    std::function<void()> fn;
};

DWORD WINAPI RunCall(LPVOID pv)
{
    PendingCall *pCall = static_cast<PendingCall *>(pv);
    pCall->fn();
    delete pCall;
    return 0;
}

}  // namespace

bool FinishesWithin(DWORD timeoutMs, std::function<void()> fn)
{
    PendingCall *pCall = new PendingCall{std::move(fn)};
    HANDLE hThread = CreateThread(nullptr, 0, RunCall, pCall, 0, nullptr);
    if (!hThread) {
        delete pCall;
        return false;
    }
    const bool bDone = WaitForSingleObject(hThread, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(hThread);
    return bDone;
}

MovieModel VideoMovie(SInt16 width, SInt16 height, TimeScale movieScale, TimeValue movieDuration,
                      long samples, TimeScale mediaScale, TimeValue mediaDuration)
{
    MovieModel movie;
    movie.timeScale = movieScale;
    movie.duration = movieDuration;
    movie.box = {0, 0, height, width};
    movie.tracks.push_back(TrackModel::Video(width, height, QTFourCC("raw "),
                                             mediaScale ? mediaScale : movieScale,
                                             mediaDuration ? mediaDuration : movieDuration,
                                             samples));
    return movie;
}

// --- TestSample -------------------------------------------------------------------------

TestSample::TestSample(long cbBuffer, BYTE poison) : buffer(size_t(cbBuffer), poison) {}

STDMETHODIMP TestSample::QueryInterface(REFIID riid, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMediaSample)) {
        *ppv = static_cast<IMediaSample *>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP TestSample::GetPointer(BYTE **ppBuffer)
{
    *ppBuffer = SUCCEEDED(hrPointer) ? buffer.data() : nullptr;
    return hrPointer;
}

STDMETHODIMP TestSample::GetTime(REFERENCE_TIME *pStart, REFERENCE_TIME *pEnd)
{
    if (!bTimeSet)
        return VFW_E_SAMPLE_TIME_NOT_SET;
    *pStart = tStart;
    *pEnd = tStop;
    return S_OK;
}

STDMETHODIMP TestSample::SetTime(REFERENCE_TIME *pStart, REFERENCE_TIME *pEnd)
{
    bTimeSet = pStart && pEnd;
    if (pStart)
        tStart = *pStart;
    if (pEnd)
        tStop = *pEnd;
    return S_OK;
}

STDMETHODIMP TestSample::GetMediaType(AM_MEDIA_TYPE **ppType)
{
    *ppType = nullptr;
    return S_FALSE;
}

// --- ShortAllocator ---------------------------------------------------------------------

STDMETHODIMP ShortAllocator::QueryInterface(REFIID riid, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMemAllocator)) {
        *ppv = static_cast<IMemAllocator *>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP ShortAllocator::SetProperties(ALLOCATOR_PROPERTIES *pRequest,
                                           ALLOCATOR_PROPERTIES *pActual)
{
    lastRequest = *pRequest;
    ALLOCATOR_PROPERTIES request = *pRequest;
    request.cbBuffer -= m_cbShort;
    return m_pInner->SetProperties(&request, pActual);
}

// --- PinsTest ---------------------------------------------------------------------------

void PinsTest::SetUp()
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    m_cObjects = CBaseObject::ObjectsActive();
    m_fake = std::make_unique<FakeQuickTime>();
}

void PinsTest::TearDown()
{
    if (m_pControl) {
        EXPECT_TRUE(FinishesWithin(kWaitMs, [this] { m_pControl->Stop(); })) << "Stop hung";
        m_pControl->Release();
        m_pControl = nullptr;
    }
    for (IUnknown *p : m_borrowed)
        p->Release();
    m_borrowed.clear();
    if (m_pGraph) {
        EXPECT_EQ(m_pGraph->Release(), 0u);
        m_pGraph = nullptr;
    }
    for (TestSink *pSink : m_sinks) {
        EXPECT_TRUE(pSink->Violations().empty()) << pSink->Violations().front();
        EXPECT_EQ(pSink->Release(), 0u);
    }
    m_sinks.clear();
    if (m_pFilter) {
        EXPECT_EQ(m_pFilter->Release(), 0u);
        m_pFilter = nullptr;
    }
    EXPECT_EQ(CBaseObject::ObjectsActive(), m_cObjects) << "objects left behind";
    m_fake.reset();
    CoUninitialize();
}

TestMovieFilter *PinsTest::Load(const MovieModel &movie, int nScreenBits)
{
    m_fake->SetMovie(movie);
    HRESULT hr = S_OK;
    TestMovieFilter *pFilter = new TestMovieFilter(nScreenBits, &hr);
    pFilter->NonDelegatingAddRef();
    m_pFilter = pFilter;
    hr = pFilter->Load(L"Z:\\media\\test.mov", nullptr);
    EXPECT_EQ(hr, S_OK);
    return pFilter;
}

CMovieVideoPin *PinsTest::VideoPin(int n)
{
    return m_pFilter ? dynamic_cast<CMovieVideoPin *>(m_pFilter->GetPin(n)) : nullptr;
}

IMediaSeeking *PinsTest::Seeking(CBasePin *pPin)
{
    IMediaSeeking *pSeeking = nullptr;
    if (FAILED(pPin->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void **>(&pSeeking))))
        return nullptr;
    m_borrowed.push_back(pSeeking);
    return pSeeking;
}

TestSink *PinsTest::ConnectToSink(CBasePin *pPin)
{
    if (!m_pGraph) {
        if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IGraphBuilder, reinterpret_cast<void **>(&m_pGraph))))
            return nullptr;
        m_pGraph->QueryInterface(IID_IMediaControl, reinterpret_cast<void **>(&m_pControl));
        if (FAILED(m_pGraph->AddFilter(m_pFilter, L"movie")))
            return nullptr;
    }
    TestSink *pSink = TestSink::Create();
    if (!pSink)
        return nullptr;
    m_sinks.push_back(pSink);
    pSink->AcceptMajorType(MEDIATYPE_Video);
    WCHAR wszName[32];
    swprintf(wszName, 32, L"sink %d", int(m_sinks.size()));
    if (FAILED(m_pGraph->AddFilter(pSink->Filter(), wszName)))
        return nullptr;
    const HRESULT hr = m_pGraph->ConnectDirect(pPin, pSink->Pin(), nullptr);
    EXPECT_EQ(hr, S_OK) << "connection";
    return SUCCEEDED(hr) ? pSink : nullptr;
}

bool PinsTest::PauseAndWaitForEnd(TestSink *pSink)
{
    HRESULT hr = E_FAIL;
    if (!FinishesWithin(kWaitMs, [&] { hr = m_pControl->Pause(); }))
        return false;
    if (FAILED(hr))
        return false;
    return WaitForSingleObject(pSink->EndOfStreamEvent(), kWaitMs) == WAIT_OBJECT_0;
}

}  // namespace pinstest
