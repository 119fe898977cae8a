#include "framework/basefilter.h"

#include <new>
#include <wchar.h>

#include <evcode.h>
#include <vfwmsgs.h>

#include "framework/basepin.h"
#include "framework/widestring.h"

CBaseFilter::CBaseFilter(LPCTSTR pName, LPUNKNOWN pUnk, CCritSec *pLock, REFCLSID clsid)
    : CUnknown(pName, pUnk),
      m_State(State_Stopped),
      m_pClock(nullptr),
      m_tStart(0),
      m_clsid(clsid),
      m_pLock(pLock),
      m_pName(nullptr),
      m_pGraph(nullptr),
      m_pSink(nullptr),
      m_PinVersion(1)
{
}

CBaseFilter::~CBaseFilter()
{
    delete[] m_pName;
    if (m_pClock)
        m_pClock->Release();
}

STDMETHODIMP CBaseFilter::NonDelegatingQueryInterface(REFIID riid, void **ppv)
{
    if (IsEqualIID(riid, IID_IBaseFilter) || IsEqualIID(riid, IID_IMediaFilter) ||
        IsEqualIID(riid, IID_IPersist))
        return GetInterface(static_cast<IBaseFilter *>(this), ppv);
    if (IsEqualIID(riid, IID_IAMovieSetup))
        return GetInterface(static_cast<IAMovieSetup *>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CBaseFilter::StreamTime(REFERENCE_TIME &rtStream)
{
    if (!m_pClock)
        return VFW_E_NO_CLOCK;
    HRESULT hr = m_pClock->GetTime(&rtStream);
    if (FAILED(hr))
        return hr;
    rtStream -= m_tStart;
    return S_OK;
}

LONG CBaseFilter::GetPinVersion()
{
    return m_PinVersion;
}

LPAMOVIESETUP_FILTER CBaseFilter::GetSetupData()
{
    return nullptr;
}

STDMETHODIMP CBaseFilter::GetClassID(CLSID *pClsID)
{
    if (!pClsID)
        return E_POINTER;
    *pClsID = m_clsid;
    return S_OK;
}

STDMETHODIMP CBaseFilter::Stop()
{
    CAutoLock cObjectLock(m_pLock);
    HRESULT hr = S_OK;
    if (m_State != State_Stopped) {
        int cPins = GetPinCount();
        for (int c = 0; c < cPins; c++) {
            CBasePin *pPin = GetPin(c);
            if (!pPin || !pPin->IsConnected())
                continue;
            HRESULT hrTmp = pPin->Inactive();
            if (FAILED(hrTmp) && SUCCEEDED(hr))
                hr = hrTmp;
        }
    }
    m_State = State_Stopped;
    return hr;
}

STDMETHODIMP CBaseFilter::Pause()
{
    CAutoLock cObjectLock(m_pLock);
    if (m_State == State_Stopped) {
        int cPins = GetPinCount();
        for (int c = 0; c < cPins; c++) {
            CBasePin *pPin = GetPin(c);
            if (!pPin || !pPin->IsConnected())
                continue;
            HRESULT hr = pPin->Active();
            if (FAILED(hr)) {
                // Stopped means no pin is active: take back the ones already started.
                for (int i = 0; i < c; i++) {
                    CBasePin *pDone = GetPin(i);
                    if (pDone && pDone->IsConnected())
                        pDone->Inactive();
                }
                return hr;
            }
        }
    }
    m_State = State_Paused;
    return S_OK;
}

STDMETHODIMP CBaseFilter::Run(REFERENCE_TIME tStart)
{
    CAutoLock cObjectLock(m_pLock);
    m_tStart = tStart;
    if (m_State == State_Stopped) {
        HRESULT hr = Pause();
        if (FAILED(hr))
            return hr;
    }
    if (m_State != State_Running) {
        int cPins = GetPinCount();
        for (int c = 0; c < cPins; c++) {
            CBasePin *pPin = GetPin(c);
            if (!pPin || !pPin->IsConnected())
                continue;
            HRESULT hr = pPin->Run(tStart);
            if (FAILED(hr))
                return hr;
        }
    }
    m_State = State_Running;
    return S_OK;
}

STDMETHODIMP CBaseFilter::GetState(DWORD, FILTER_STATE *State)
{
    if (!State)
        return E_POINTER;
    *State = m_State;
    return S_OK;
}

STDMETHODIMP CBaseFilter::SetSyncSource(IReferenceClock *pClock)
{
    CAutoLock cObjectLock(m_pLock);
    if (pClock)
        pClock->AddRef();
    if (m_pClock)
        m_pClock->Release();
    m_pClock = pClock;
    return S_OK;
}

STDMETHODIMP CBaseFilter::GetSyncSource(IReferenceClock **pClock)
{
    if (!pClock)
        return E_POINTER;
    CAutoLock cObjectLock(m_pLock);
    if (m_pClock)
        m_pClock->AddRef();
    *pClock = m_pClock;
    return S_OK;
}

STDMETHODIMP CBaseFilter::EnumPins(IEnumPins **ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    HRESULT hr = S_OK;
    CEnumPins *pEnum = new (std::nothrow) CEnumPins(this, nullptr, &hr);
    if (pEnum && FAILED(hr)) {
        pEnum->Release();
        pEnum = nullptr;
    }
    *ppEnum = pEnum;
    return pEnum ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CBaseFilter::FindPin(LPCWSTR Id, IPin **ppPin)
{
    if (!ppPin)
        return E_POINTER;
    *ppPin = nullptr;
    if (!Id)
        return E_POINTER;
    CAutoLock cObjectLock(m_pLock);
    int cPins = GetPinCount();
    for (int c = 0; c < cPins; c++) {
        CBasePin *pPin = GetPin(c);
        if (!pPin)
            continue;
        LPWSTR pPinId = nullptr;
        if (FAILED(pPin->QueryId(&pPinId)))
            continue;
        bool bMatch = pPinId && wcscmp(pPinId, Id) == 0;
        CoTaskMemFree(pPinId);
        if (bMatch)
            return GetInterface(static_cast<IPin *>(pPin), reinterpret_cast<void **>(ppPin));
    }
    return VFW_E_NOT_FOUND;
}

STDMETHODIMP CBaseFilter::QueryFilterInfo(FILTER_INFO *pInfo)
{
    if (!pInfo)
        return E_POINTER;
    CopyWideTruncated(pInfo->achName, sizeof(pInfo->achName) / sizeof(pInfo->achName[0]), m_pName);
    pInfo->pGraph = m_pGraph;
    if (m_pGraph)
        m_pGraph->AddRef();
    return S_OK;
}

STDMETHODIMP CBaseFilter::JoinFilterGraph(IFilterGraph *pGraph, LPCWSTR pName)
{
    CAutoLock cObjectLock(m_pLock);
    m_pGraph = pGraph;
    m_pSink = nullptr;
    if (m_pGraph) {
        void *pv = nullptr;
        if (SUCCEEDED(m_pGraph->QueryInterface(IID_IMediaEventSink, &pv))) {
            m_pSink = static_cast<IMediaEventSink *>(pv);
            // The sink is the graph's: holding it would keep the graph alive.
            m_pSink->Release();
        }
    }
    delete[] m_pName;
    m_pName = nullptr;
    // A name that cannot be copied is left null; joining still succeeds.
    m_pName = DuplicateWideString(pName);
    return S_OK;
}

STDMETHODIMP CBaseFilter::QueryVendorInfo(LPWSTR *)
{
    return E_NOTIMPL;
}

STDMETHODIMP CBaseFilter::Register()
{
    if (!GetSetupData())
        return S_FALSE;
    // Filters with setup data register through the module's registration.
    return E_NOTIMPL;
}

STDMETHODIMP CBaseFilter::Unregister()
{
    if (!GetSetupData())
        return S_FALSE;
    return E_NOTIMPL;
}

HRESULT CBaseFilter::NotifyEvent(long EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2)
{
    IMediaEventSink *pSink = m_pSink;
    if (!pSink)
        return E_NOTIMPL;
    if (EventCode == EC_COMPLETE)
        EventParam2 = reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter *>(this));
    return pSink->Notify(EventCode, EventParam1, EventParam2);
}

BOOL CBaseFilter::IsStopped()
{
    CAutoLock cObjectLock(m_pLock);
    return m_State == State_Stopped;
}

BOOL CBaseFilter::IsActive()
{
    CAutoLock cObjectLock(m_pLock);
    return m_State != State_Stopped;
}

FILTER_STATE CBaseFilter::State()
{
    CAutoLock cObjectLock(m_pLock);
    return m_State;
}
