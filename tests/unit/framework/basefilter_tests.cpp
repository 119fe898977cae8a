// CBaseFilter state changes over test pins, clock and stream time, graph membership and
// events, and the pin enumerator.
#include <windows.h>
#include <strmif.h>
#include <uuids.h>
#include <evcode.h>
#include <vfwmsgs.h>

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_objects.h"

namespace {

using Log = std::vector<std::string>;

// A reference clock that tells a programmed time.
class CFakeClock : public IReferenceClock {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IReferenceClock))
            return E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(++m_cRef); }
    STDMETHODIMP_(ULONG) Release() override { return ULONG(--m_cRef); }
    STDMETHODIMP GetTime(REFERENCE_TIME *pTime) override
    {
        *pTime = m_time;
        return m_hr;
    }
    STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR *) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR *) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP Unadvise(DWORD_PTR) override { return E_NOTIMPL; }

    LONG m_cRef = 1;
    REFERENCE_TIME m_time = 0;
    HRESULT m_hr = S_OK;
};

// A filter of three output pins; the pins in `connected` are connected to a sink filter.
class Filter : public ::testing::Test {
protected:
    void Build(const std::vector<int> &connected)
    {
        m_filter = CTestFilter::Create({PINDIR_OUTPUT, PINDIR_OUTPUT, PINDIR_OUTPUT});
        m_sink = CTestFilter::Create({PINDIR_INPUT, PINDIR_INPUT, PINDIR_INPUT});
        CMediaType mt = MakeType(TestGuid(1));
        for (int n : connected)
            ASSERT_EQ(m_filter->PinI(n)->Connect(m_sink->PinI(n), &mt), S_OK);
        m_filter->m_log.clear();
    }
    void TearDown() override
    {
        if (!m_filter)
            return;
        m_filter->Stop();
        for (int n = 0; n < 3; n++) {
            m_filter->PinI(n)->Disconnect();
            m_sink->PinI(n)->Disconnect();
        }
        EXPECT_EQ(RefCount(m_filter->Filter()), 1u);
        EXPECT_EQ(RefCount(m_sink->Filter()), 1u);
        m_filter->Filter()->Release();
        m_sink->Filter()->Release();
    }
    FILTER_STATE State()
    {
        FILTER_STATE fs = FILTER_STATE(99);
        EXPECT_EQ(m_filter->GetState(0, &fs), S_OK);
        return fs;
    }

    CTestFilter *m_filter = nullptr;
    CTestFilter *m_sink = nullptr;
};

// The platform clock answers S_FALSE when the time has not moved since the last call.
REFERENCE_TIME ClockNow(IReferenceClock *pClock)
{
    REFERENCE_TIME t = 0;
    HRESULT hr = pClock->GetTime(&t);
    EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
    return t;
}

} // namespace

TEST_F(Filter, PauseActivatesEachConnectedPinOnce)
{
    Build({0, 2});
    EXPECT_EQ(State(), State_Stopped);
    EXPECT_EQ(m_filter->Pause(), S_OK);
    EXPECT_EQ(m_filter->m_log, (Log{"P", "A0", "A2"}));
    EXPECT_EQ(State(), State_Paused);
    EXPECT_EQ(m_filter->Pause(), S_OK);
    EXPECT_EQ(m_filter->m_log, (Log{"P", "A0", "A2", "P"}));
    EXPECT_EQ(m_filter->Pin(1)->m_cActive, 0);
}

TEST_F(Filter, RunFromStoppedPausesFirst)
{
    Build({0, 2});
    EXPECT_EQ(m_filter->Run(1234), S_OK);
    EXPECT_EQ(m_filter->m_log, (Log{"P", "A0", "A2", "R0", "R2"}));
    EXPECT_EQ(m_filter->Pin(0)->m_tRun, 1234);
    EXPECT_EQ(m_filter->Pin(2)->m_tRun, 1234);
    EXPECT_EQ(State(), State_Running);

    m_filter->m_log.clear();
    EXPECT_EQ(m_filter->Run(5), S_OK);   // already running: no pin is called
    EXPECT_TRUE(m_filter->m_log.empty());
    EXPECT_EQ(m_filter->Pause(), S_OK);  // from running: no pin is called
    EXPECT_EQ(m_filter->m_log, (Log{"P"}));
    EXPECT_EQ(State(), State_Paused);
    EXPECT_EQ(m_filter->Run(99), S_OK);
    EXPECT_EQ(m_filter->m_log, (Log{"P", "R0", "R2"}));
    EXPECT_EQ(m_filter->Pin(0)->m_tRun, 99);
    EXPECT_EQ(m_filter->Pin(1)->m_cRun, 0);
}

TEST_F(Filter, StopDeactivatesEveryPinAndReportsTheFirstFailure)
{
    Build({0, 1, 2});
    ASSERT_EQ(m_filter->Run(0), S_OK);
    m_filter->m_log.clear();
    m_filter->Pin(0)->m_hrInactive = E_UNEXPECTED;
    m_filter->Pin(2)->m_hrInactive = E_ABORT;
    EXPECT_EQ(m_filter->Stop(), E_UNEXPECTED);
    EXPECT_EQ(m_filter->m_log, (Log{"I0", "I1", "I2"}));
    EXPECT_EQ(State(), State_Stopped);

    EXPECT_EQ(m_filter->Stop(), S_OK);   // already stopped: no pin is called
    EXPECT_EQ(m_filter->m_log.size(), 3u);
}

TEST_F(Filter, FailedPauseTakesBackThePinsItActivated)
{
    Build({0, 1, 2});
    m_filter->Pin(2)->m_hrActive = VFW_E_NO_ALLOCATOR;
    EXPECT_EQ(m_filter->Pause(), VFW_E_NO_ALLOCATOR);
    EXPECT_EQ(m_filter->m_log, (Log{"P", "A0", "A1", "A2", "I0", "I1"}));
    EXPECT_EQ(State(), State_Stopped);

    // Stopped really means no active pin: Stop has nothing to undo.
    m_filter->m_log.clear();
    EXPECT_EQ(m_filter->Stop(), S_OK);
    EXPECT_TRUE(m_filter->m_log.empty());

    // Through Run as well, and Run reaches no pin.
    EXPECT_EQ(m_filter->Run(10), VFW_E_NO_ALLOCATOR);
    EXPECT_EQ(m_filter->m_log, (Log{"P", "A0", "A1", "A2", "I0", "I1"}));
    EXPECT_EQ(State(), State_Stopped);

    m_filter->Pin(2)->m_hrActive = S_OK;
    m_filter->m_log.clear();
    EXPECT_EQ(m_filter->Pause(), S_OK);
    EXPECT_EQ(m_filter->Stop(), S_OK);
    EXPECT_EQ(m_filter->m_log, (Log{"P", "A0", "A1", "A2", "I0", "I1", "I2"}));
}

TEST_F(Filter, FailedPauseOnTheFirstPinTouchesNoOther)
{
    Build({0, 2});
    m_filter->Pin(0)->m_hrActive = E_OUTOFMEMORY;
    EXPECT_EQ(m_filter->Pause(), E_OUTOFMEMORY);
    EXPECT_EQ(m_filter->m_log, (Log{"P", "A0"}));
    EXPECT_EQ(State(), State_Stopped);
}

TEST_F(Filter, FailedRunStaysPaused)
{
    Build({0, 2});
    ASSERT_EQ(m_filter->Pause(), S_OK);
    m_filter->Pin(0)->m_hrRun = E_FAIL;
    m_filter->m_log.clear();
    EXPECT_EQ(m_filter->Run(0), E_FAIL);
    EXPECT_EQ(m_filter->m_log, (Log{"R0"}));
    EXPECT_EQ(State(), State_Paused);
}

TEST_F(Filter, GetStateAnswersAtOnce)
{
    Build({});
    EXPECT_EQ(m_filter->GetState(INFINITE, nullptr), E_POINTER);
    ASSERT_EQ(m_filter->Pause(), S_OK);
    DWORD dwStart = GetTickCount();
    FILTER_STATE fs = FILTER_STATE(99);
    EXPECT_EQ(m_filter->GetState(INFINITE, &fs), S_OK);
    EXPECT_EQ(fs, State_Paused);
    EXPECT_LT(GetTickCount() - dwStart, 1000u);
}

TEST_F(Filter, ClockAndStreamTime)
{
    Build({});
    REFERENCE_TIME rt = 12345;
    EXPECT_EQ(m_filter->StreamTime(rt), VFW_E_NO_CLOCK);
    EXPECT_EQ(m_filter->GetSyncSource(nullptr), E_POINTER);

    CFakeClock clock;
    clock.m_time = 50000000;
    EXPECT_EQ(m_filter->SetSyncSource(&clock), S_OK);
    EXPECT_EQ(clock.m_cRef, 2);
    IReferenceClock *pClock = reinterpret_cast<IReferenceClock *>(0xdeadbeef);
    EXPECT_EQ(m_filter->GetSyncSource(&pClock), S_OK);
    EXPECT_EQ(pClock, &clock);
    EXPECT_EQ(clock.m_cRef, 3);
    pClock->Release();

    ASSERT_EQ(m_filter->Run(20000000), S_OK);
    EXPECT_EQ(m_filter->StreamTime(rt), S_OK);
    EXPECT_EQ(rt, 30000000);
    clock.m_hr = E_UNEXPECTED;
    EXPECT_EQ(m_filter->StreamTime(rt), E_UNEXPECTED);

    EXPECT_EQ(m_filter->SetSyncSource(nullptr), S_OK);
    EXPECT_EQ(clock.m_cRef, 1);
    pClock = reinterpret_cast<IReferenceClock *>(0xdeadbeef);
    EXPECT_EQ(m_filter->GetSyncSource(&pClock), S_OK);
    EXPECT_EQ(pClock, nullptr);
    EXPECT_EQ(m_filter->StreamTime(rt), VFW_E_NO_CLOCK);
}

TEST_F(Filter, StreamTimeFollowsTheSystemClock)
{
    Build({});
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    IReferenceClock *pClock = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IReferenceClock, reinterpret_cast<void **>(&pClock)),
              S_OK);
    EXPECT_EQ(m_filter->SetSyncSource(pClock), S_OK);

    const REFERENCE_TIME tStart = ClockNow(pClock) - 10000000;   // started a second ago
    ASSERT_EQ(m_filter->Run(tStart), S_OK);
    REFERENCE_TIME rt = 0;
    const REFERENCE_TIME tBefore = ClockNow(pClock);
    EXPECT_EQ(m_filter->StreamTime(rt), S_OK);
    const REFERENCE_TIME tAfter = ClockNow(pClock);
    EXPECT_GE(rt, tBefore - tStart);
    EXPECT_LE(rt, tAfter - tStart);
    EXPECT_GE(rt, 10000000);

    EXPECT_EQ(m_filter->SetSyncSource(nullptr), S_OK);
    EXPECT_EQ(pClock->Release(), 0u);
    CoUninitialize();
}

TEST_F(Filter, FilterInfoAndGraphMembership)
{
    Build({});
    FILTER_INFO info;
    memset(&info, 0xcc, sizeof(info));
    EXPECT_EQ(m_filter->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(info.achName[0], L'\0');
    EXPECT_EQ(info.pGraph, nullptr);
    EXPECT_EQ(m_filter->QueryFilterInfo(nullptr), E_POINTER);

    CFakeGraph graph(true);
    std::wstring name(200, L'n');
    name[126] = L'e';
    EXPECT_EQ(m_filter->JoinFilterGraph(&graph, name.c_str()), S_OK);
    EXPECT_EQ(graph.m_cRef, 1);   // the graph holds us; we do not hold it
    memset(&info, 0xcc, sizeof(info));
    EXPECT_EQ(m_filter->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(wcslen(info.achName), 127u);
    EXPECT_EQ(info.achName[126], L'e');
    EXPECT_EQ(info.pGraph, static_cast<IFilterGraph *>(&graph));
    EXPECT_EQ(graph.m_cRef, 2);
    info.pGraph->Release();
    EXPECT_EQ(m_filter->GetFilterGraph(), static_cast<IFilterGraph *>(&graph));

    EXPECT_EQ(m_filter->JoinFilterGraph(nullptr, nullptr), S_OK);
    memset(&info, 0xcc, sizeof(info));
    EXPECT_EQ(m_filter->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(info.achName[0], L'\0');
    EXPECT_EQ(info.pGraph, nullptr);
    EXPECT_EQ(graph.m_cRef, 1);
}

TEST_F(Filter, EventsGoToTheGraphsSink)
{
    Build({});
    EXPECT_EQ(m_filter->NotifyEvent(EC_COMPLETE, S_OK, 0), E_NOTIMPL);

    CFakeGraph graph(true);
    ASSERT_EQ(m_filter->JoinFilterGraph(&graph, L"f"), S_OK);
    EXPECT_EQ(m_filter->NotifyEvent(EC_COMPLETE, 5, 77), S_OK);
    EXPECT_EQ(m_filter->NotifyEvent(EC_ERRORABORT, E_FAIL, 42), S_OK);
    graph.m_hrNotify = E_ABORT;
    EXPECT_EQ(m_filter->NotifyEvent(EC_ERRORABORT, E_FAIL, 0), E_ABORT);
    ASSERT_EQ(graph.m_events.size(), 3u);
    EXPECT_EQ(graph.m_events[0].code, EC_COMPLETE);
    EXPECT_EQ(graph.m_events[0].p1, 5);
    EXPECT_EQ(graph.m_events[0].p2, reinterpret_cast<LONG_PTR>(m_filter->Filter()));
    EXPECT_EQ(graph.m_events[1].code, EC_ERRORABORT);
    EXPECT_EQ(graph.m_events[1].p1, LONG_PTR(E_FAIL));
    EXPECT_EQ(graph.m_events[1].p2, 42);
    EXPECT_EQ(graph.m_cRef, 1);

    EXPECT_EQ(m_filter->JoinFilterGraph(nullptr, nullptr), S_OK);
    EXPECT_EQ(m_filter->NotifyEvent(EC_COMPLETE, S_OK, 0), E_NOTIMPL);

    CFakeGraph graphWithoutSink(false);
    ASSERT_EQ(m_filter->JoinFilterGraph(&graphWithoutSink, nullptr), S_OK);
    EXPECT_EQ(m_filter->NotifyEvent(EC_COMPLETE, S_OK, 0), E_NOTIMPL);
    EXPECT_EQ(graphWithoutSink.m_cRef, 1);
    EXPECT_EQ(m_filter->JoinFilterGraph(nullptr, nullptr), S_OK);
    EXPECT_EQ(graph.m_events.size(), 3u);
}

TEST_F(Filter, InterfacesAndIdentity)
{
    Build({});
    IUnknown *pUnk = m_filter->Filter();
    EXPECT_INTERFACE(pUnk, IID_IBaseFilter, true);
    EXPECT_INTERFACE(pUnk, IID_IMediaFilter, true);
    EXPECT_INTERFACE(pUnk, IID_IPersist, true);
    EXPECT_INTERFACE(pUnk, IID_IAMovieSetup, true);
    EXPECT_INTERFACE(pUnk, IID_IUnknown, true);
    EXPECT_INTERFACE(pUnk, IID_IPin, false);
    EXPECT_INTERFACE(pUnk, IID_IFileSourceFilter, false);

    CLSID clsid = GUID_NULL;
    EXPECT_EQ(m_filter->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, TestGuid(900)));
    EXPECT_EQ(m_filter->GetClassID(nullptr), E_POINTER);
    LPWSTR pVendor = nullptr;
    EXPECT_EQ(m_filter->QueryVendorInfo(&pVendor), E_NOTIMPL);
    EXPECT_EQ(m_filter->Register(), S_FALSE);
    EXPECT_EQ(m_filter->Unregister(), S_FALSE);
    EXPECT_EQ(m_filter->GetPinVersion(), 1);

    IPin *pPin = reinterpret_cast<IPin *>(0xdeadbeef);
    EXPECT_EQ(m_filter->FindPin(L"2", &pPin), S_OK);
    EXPECT_EQ(pPin, m_filter->PinI(1));
    EXPECT_EQ(RefCount(m_filter->Filter()), 2u);
    pPin->Release();
    pPin = reinterpret_cast<IPin *>(0xdeadbeef);
    EXPECT_EQ(m_filter->FindPin(L"7", &pPin), VFW_E_NOT_FOUND);
    EXPECT_EQ(pPin, nullptr);
    EXPECT_EQ(m_filter->FindPin(L"1", nullptr), E_POINTER);
}

TEST_F(Filter, PinEnumerator)
{
    Build({});
    IEnumPins *pEnum = reinterpret_cast<IEnumPins *>(0xdeadbeef);
    EXPECT_EQ(m_filter->EnumPins(nullptr), E_POINTER);
    ASSERT_EQ(m_filter->EnumPins(&pEnum), S_OK);
    EXPECT_EQ(RefCount(m_filter->Filter()), 2u);
    EXPECT_INTERFACE(pEnum, IID_IEnumPins, true);
    EXPECT_INTERFACE(pEnum, IID_IUnknown, true);
    EXPECT_INTERFACE(pEnum, IID_IEnumMediaTypes, false);

    IPin *pins[3] = {};
    ULONG cFetched = 77;
    EXPECT_EQ(pEnum->Next(2, pins, &cFetched), S_OK);
    ASSERT_EQ(cFetched, 2u);
    EXPECT_EQ(pins[0], m_filter->PinI(0));
    EXPECT_EQ(pins[1], m_filter->PinI(1));
    EXPECT_EQ(RefCount(m_filter->Filter()), 4u);
    pins[0]->Release();
    pins[1]->Release();

    pins[1] = reinterpret_cast<IPin *>(0xdeadbeef);
    EXPECT_EQ(pEnum->Next(2, pins, &cFetched), S_FALSE);
    ASSERT_EQ(cFetched, 1u);
    EXPECT_EQ(pins[0], m_filter->PinI(2));
    EXPECT_EQ(pins[1], reinterpret_cast<IPin *>(0xdeadbeef));
    pins[0]->Release();
    cFetched = 77;
    EXPECT_EQ(pEnum->Next(1, pins, &cFetched), S_FALSE);
    EXPECT_EQ(cFetched, 0u);
    EXPECT_EQ(pEnum->Next(2, pins, nullptr), E_INVALIDARG);
    EXPECT_EQ(pEnum->Next(1, nullptr, &cFetched), E_POINTER);

    // Skipping past the end moves nothing.
    EXPECT_EQ(pEnum->Reset(), S_OK);
    EXPECT_EQ(pEnum->Skip(1), S_OK);
    EXPECT_EQ(pEnum->Skip(3), S_FALSE);
    EXPECT_EQ(pEnum->Next(1, pins, nullptr), S_OK);
    EXPECT_EQ(pins[0], m_filter->PinI(1));
    pins[0]->Release();

    // A clone carries on from the same place.
    IEnumPins *pClone = nullptr;
    EXPECT_EQ(pEnum->Clone(nullptr), E_POINTER);
    ASSERT_EQ(pEnum->Clone(&pClone), S_OK);
    EXPECT_EQ(pClone->Next(1, pins, nullptr), S_OK);
    EXPECT_EQ(pins[0], m_filter->PinI(2));
    pins[0]->Release();
    EXPECT_EQ(pClone->Release(), 0u);

    EXPECT_EQ(pEnum->AddRef(), 2u);
    EXPECT_EQ(pEnum->Release(), 1u);
    EXPECT_EQ(pEnum->Release(), 0u);
}

TEST_F(Filter, PinEnumeratorOutOfSync)
{
    Build({});
    IEnumPins *pEnum = nullptr;
    ASSERT_EQ(m_filter->EnumPins(&pEnum), S_OK);
    IPin *pins[4] = {};
    ASSERT_EQ(pEnum->Next(1, pins, nullptr), S_OK);
    pins[0]->Release();

    m_filter->BumpPinVersion();
    EXPECT_EQ(pEnum->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
    IEnumPins *pClone = reinterpret_cast<IEnumPins *>(0xdeadbeef);
    EXPECT_EQ(pEnum->Clone(&pClone), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(pClone, nullptr);

    // Next starts again but does not hand out a pin twice.
    ULONG cFetched = 0;
    EXPECT_EQ(pEnum->Next(3, pins, &cFetched), S_FALSE);
    ASSERT_EQ(cFetched, 2u);
    EXPECT_EQ(pins[0], m_filter->PinI(1));
    EXPECT_EQ(pins[1], m_filter->PinI(2));
    pins[0]->Release();
    pins[1]->Release();

    EXPECT_EQ(pEnum->Reset(), S_OK);
    EXPECT_EQ(pEnum->Next(3, pins, &cFetched), S_OK);
    EXPECT_EQ(cFetched, 3u);
    for (int i = 0; i < 3; i++)
        pins[i]->Release();

    // A filter that has fewer pins than it claims: nothing handed out, nothing leaked.
    m_filter->m_claimedPins = 4;
    EXPECT_EQ(pEnum->Reset(), S_OK);
    cFetched = 77;
    EXPECT_EQ(pEnum->Next(4, pins, &cFetched), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(cFetched, 0u);
    m_filter->m_claimedPins = -1;
    EXPECT_EQ(pEnum->Release(), 0u);
}
