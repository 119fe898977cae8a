#include "framework/basepin.h"

#include <new>

#include <vfwmsgs.h>

#include "framework/basefilter.h"
#include "framework/widestring.h"

// Refusals that only say "not this type": the search goes on and does not report them.
static bool IsTypeRefusal(HRESULT hr)
{
    return hr == E_FAIL || hr == E_INVALIDARG || hr == VFW_E_TYPE_NOT_ACCEPTED;
}

// A CheckMediaType answer other than S_OK, as the connection reports it.
static HRESULT TypeRefusal(HRESULT hr)
{
    return SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG ? VFW_E_TYPE_NOT_ACCEPTED : hr;
}

CBasePin::CBasePin(LPCTSTR pObjectName, CBaseFilter *pFilter, CCritSec *pLock, HRESULT *,
                   LPCWSTR pName, PIN_DIRECTION dir)
    : CUnknown(pObjectName, nullptr),
      m_pName(DuplicateWideString(pName)),
      m_Connected(nullptr),
      m_dir(dir),
      m_pLock(pLock),
      m_bRunTimeError(false),
      m_bCanReconnectWhenActive(false),
      m_bTryMyTypesFirst(false),
      m_pFilter(pFilter),
      m_pQSink(nullptr),
      m_TypeVersion(1),
      m_tStart(0),
      m_tStop(0x7FFFFFFFFFFFFFFFLL),
      m_dRate(1.0)
{
}

CBasePin::~CBasePin()
{
    // A pin destroyed while connected must not leak its peer.
    if (m_Connected)
        m_Connected->Release();
    delete[] m_pName;
}

STDMETHODIMP CBasePin::NonDelegatingQueryInterface(REFIID riid, void **ppv)
{
    if (IsEqualIID(riid, IID_IPin))
        return GetInterface(static_cast<IPin *>(this), ppv);
    if (IsEqualIID(riid, IID_IQualityControl))
        return GetInterface(static_cast<IQualityControl *>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP_(ULONG) CBasePin::NonDelegatingAddRef()
{
    return m_pFilter->AddRef();
}

STDMETHODIMP_(ULONG) CBasePin::NonDelegatingRelease()
{
    return m_pFilter->Release();
}

LONG CBasePin::GetMediaTypeVersion()
{
    return m_TypeVersion;
}

HRESULT CBasePin::Active()
{
    return S_OK;
}

HRESULT CBasePin::Inactive()
{
    return S_OK;
}

HRESULT CBasePin::Run(REFERENCE_TIME)
{
    return S_OK;
}

HRESULT CBasePin::SetMediaType(const CMediaType *pmt)
{
    return m_mt.Set(*pmt);
}

HRESULT CBasePin::CheckConnect(IPin *pPin)
{
    PIN_DIRECTION pd;
    HRESULT hr = pPin->QueryDirection(&pd);
    if (FAILED(hr))
        return hr;
    return pd == m_dir ? VFW_E_INVALID_DIRECTION : S_OK;
}

HRESULT CBasePin::BreakConnect()
{
    return S_OK;
}

HRESULT CBasePin::CompleteConnect(IPin *)
{
    return S_OK;
}

HRESULT CBasePin::GetMediaType(int, CMediaType *)
{
    return E_UNEXPECTED;
}

BOOL CBasePin::IsStopped()
{
    return m_pFilter->IsStopped();
}

void CBasePin::ClearConnection()
{
    if (m_Connected) {
        m_Connected->Release();
        m_Connected = nullptr;
    }
}

STDMETHODIMP CBasePin::Connect(IPin *pReceivePin, const AM_MEDIA_TYPE *pmt)
{
    if (!pReceivePin)
        return E_POINTER;
    CAutoLock cObjectLock(m_pLock);
    if (m_Connected)
        return VFW_E_ALREADY_CONNECTED;
    if (!IsStopped() && !m_bCanReconnectWhenActive)
        return VFW_E_NOT_STOPPED;

    HRESULT hr = S_OK;
    CMediaType mtGiven;
    if (pmt)
        hr = mtGiven.Set(*pmt);
    if (SUCCEEDED(hr))
        hr = AgreeMediaType(pReceivePin, pmt ? &mtGiven : nullptr);
    if (SUCCEEDED(hr))
        return S_OK;
    BreakConnect();
    return hr;
}

HRESULT CBasePin::AgreeMediaType(IPin *pReceivePin, const CMediaType *pmt)
{
    if (pmt && !pmt->IsPartiallySpecified())
        return AttemptConnection(pReceivePin, pmt);

    HRESULT hrFailure = VFW_E_NO_ACCEPTABLE_TYPES;
    for (int i = 0; i < 2; i++) {
        IEnumMediaTypes *pEnum = nullptr;
        HRESULT hr = i == int(m_bTryMyTypesFirst) ? pReceivePin->EnumMediaTypes(&pEnum)
                                                   : EnumMediaTypes(&pEnum);
        if (FAILED(hr) || !pEnum)
            continue;
        hr = TryMediaTypes(pReceivePin, pmt, pEnum);
        pEnum->Release();
        if (SUCCEEDED(hr))
            return S_OK;
        if (!IsTypeRefusal(hr))
            hrFailure = hr;
    }
    return hrFailure;
}

HRESULT CBasePin::TryMediaTypes(IPin *pReceivePin, const CMediaType *pmt, IEnumMediaTypes *pEnum)
{
    HRESULT hr = pEnum->Reset();
    if (FAILED(hr))
        return hr;

    HRESULT hrFailure = S_OK;
    for (;;) {
        AM_MEDIA_TYPE *pFetched = nullptr;
        ULONG cFetched = 0;
        if (pEnum->Next(1, &pFetched, &cFetched) != S_OK || cFetched != 1 || !pFetched)
            break;
        // The enumerated type passes to a CMediaType that frees it.
        CMediaType mt;
        static_cast<AM_MEDIA_TYPE &>(mt) = *pFetched;
        CoTaskMemFree(pFetched);

        if (pmt && !mt.MatchesPartial(pmt))
            continue;
        hr = AttemptConnection(pReceivePin, &mt);
        // Any success leaves the pin connected, so the search must end there.
        if (SUCCEEDED(hr))
            return S_OK;
        if (!IsTypeRefusal(hr) && hrFailure == S_OK)
            hrFailure = hr;
    }
    return FAILED(hrFailure) ? hrFailure : VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT CBasePin::AttemptConnection(IPin *pReceivePin, const CMediaType *pmt)
{
    HRESULT hr = CheckConnect(pReceivePin);
    if (SUCCEEDED(hr)) {
        hr = CheckMediaType(pmt);
        if (hr == S_OK) {
            m_Connected = pReceivePin;
            m_Connected->AddRef();
            hr = SetMediaType(pmt);
            if (SUCCEEDED(hr))
                hr = pReceivePin->ReceiveConnection(static_cast<IPin *>(this), pmt);
            if (SUCCEEDED(hr)) {
                hr = CompleteConnect(pReceivePin);
                if (SUCCEEDED(hr))
                    return hr;
                pReceivePin->Disconnect();
            }
        } else {
            hr = TypeRefusal(hr);
        }
    }
    BreakConnect();
    ClearConnection();
    return hr;
}

STDMETHODIMP CBasePin::ReceiveConnection(IPin *pConnector, const AM_MEDIA_TYPE *pmt)
{
    if (!pConnector || !pmt)
        return E_POINTER;
    CAutoLock cObjectLock(m_pLock);
    if (m_Connected)
        return VFW_E_ALREADY_CONNECTED;
    if (!IsStopped() && !m_bCanReconnectWhenActive)
        return VFW_E_NOT_STOPPED;

    HRESULT hr = CheckConnect(pConnector);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    CMediaType mt;
    hr = mt.Set(*pmt);
    if (SUCCEEDED(hr)) {
        hr = CheckMediaType(&mt);
        if (hr != S_OK)
            hr = TypeRefusal(hr);
    }
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }

    m_Connected = pConnector;
    m_Connected->AddRef();
    hr = SetMediaType(&mt);
    if (SUCCEEDED(hr))
        hr = CompleteConnect(pConnector);
    if (SUCCEEDED(hr))
        return S_OK;
    ClearConnection();
    BreakConnect();
    return hr;
}

STDMETHODIMP CBasePin::Disconnect()
{
    CAutoLock cObjectLock(m_pLock);
    if (!IsStopped())
        return VFW_E_NOT_STOPPED;
    if (!m_Connected)
        return S_FALSE;
    HRESULT hr = BreakConnect();
    if (FAILED(hr))
        return hr;
    ClearConnection();
    return S_OK;
}

STDMETHODIMP CBasePin::ConnectedTo(IPin **pPin)
{
    if (!pPin)
        return E_POINTER;
    IPin *pConnected = m_Connected;
    *pPin = pConnected;
    if (!pConnected)
        return VFW_E_NOT_CONNECTED;
    pConnected->AddRef();
    return S_OK;
}

STDMETHODIMP CBasePin::ConnectionMediaType(AM_MEDIA_TYPE *pmt)
{
    if (!pmt)
        return E_POINTER;
    CAutoLock cObjectLock(m_pLock);
    if (m_Connected)
        return CopyMediaType(pmt, &m_mt);
    const CMediaType mtFresh;
    *pmt = mtFresh;   // a fresh type owns nothing, so a plain copy is right
    return VFW_E_NOT_CONNECTED;
}

STDMETHODIMP CBasePin::QueryPinInfo(PIN_INFO *pInfo)
{
    if (!pInfo)
        return E_POINTER;
    pInfo->pFilter = static_cast<IBaseFilter *>(m_pFilter);
    pInfo->pFilter->AddRef();
    CopyWideTruncated(pInfo->achName, sizeof(pInfo->achName) / sizeof(pInfo->achName[0]),
                      m_pName);
    pInfo->dir = m_dir;
    return S_OK;
}

STDMETHODIMP CBasePin::QueryDirection(PIN_DIRECTION *pPinDir)
{
    if (!pPinDir)
        return E_POINTER;
    *pPinDir = m_dir;
    return S_OK;
}

STDMETHODIMP CBasePin::QueryAccept(const AM_MEDIA_TYPE *pmt)
{
    if (!pmt)
        return E_POINTER;
    CMediaType mt;
    if (FAILED(mt.Set(*pmt)))
        return S_FALSE;
    HRESULT hr = CheckMediaType(&mt);
    return FAILED(hr) ? S_FALSE : hr;
}

STDMETHODIMP CBasePin::EnumMediaTypes(IEnumMediaTypes **ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = new (std::nothrow) CEnumMediaTypes(this, nullptr);
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CBasePin::QueryInternalConnections(IPin **, ULONG *)
{
    return E_NOTIMPL;
}

STDMETHODIMP CBasePin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    m_tStart = tStart;
    m_tStop = tStop;
    m_dRate = dRate;
    return S_OK;
}
