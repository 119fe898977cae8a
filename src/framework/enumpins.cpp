#include "framework/basefilter.h"

#include <new>
#include <string.h>

#include <vfwmsgs.h>

#include "framework/basepin.h"

CEnumPins::CEnumPins(CBaseFilter *pFilter, const CEnumPins *pEnumPins, HRESULT *phr)
    : m_Position(0),
      m_PinCount(0),
      m_pFilter(pFilter),
      m_Version(0),
      m_cRef(1),
      m_PinCache(nullptr),
      m_cCached(0),
      m_cCacheSize(0)
{
    m_pFilter->AddRef();
    if (!pEnumPins) {
        m_Version = m_pFilter->GetPinVersion();
        m_PinCount = m_pFilter->GetPinCount();
        return;
    }
    m_Position = pEnumPins->m_Position;
    m_PinCount = pEnumPins->m_PinCount;
    m_Version = pEnumPins->m_Version;
    if (pEnumPins->m_cCached == 0)
        return;
    if (!ReserveCache(pEnumPins->m_cCached)) {
        if (phr)
            *phr = E_OUTOFMEMORY;
        return;
    }
    memcpy(m_PinCache, pEnumPins->m_PinCache, pEnumPins->m_cCached * sizeof(CBasePin *));
    m_cCached = pEnumPins->m_cCached;
}

CEnumPins::~CEnumPins()
{
    delete[] m_PinCache;
    m_pFilter->Release();
}

STDMETHODIMP CEnumPins::QueryInterface(REFIID riid, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IEnumPins) || IsEqualIID(riid, IID_IUnknown))
        return GetInterface(static_cast<IEnumPins *>(this), ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CEnumPins::AddRef()
{
    return ULONG(InterlockedIncrement(&m_cRef));
}

STDMETHODIMP_(ULONG) CEnumPins::Release()
{
    LONG lRef = InterlockedDecrement(&m_cRef);
    if (lRef == 0)
        delete this;
    return ULONG(lRef);
}

BOOL CEnumPins::AreWeOutOfSync()
{
    return m_pFilter->GetPinVersion() != m_Version;
}

BOOL CEnumPins::InCache(const CBasePin *pPin) const
{
    for (ULONG i = 0; i < m_cCached; i++) {
        if (m_PinCache[i] == pPin)
            return TRUE;
    }
    return FALSE;
}

// Makes room for cExtra more cached pins, so that Next cannot fail half-way.
BOOL CEnumPins::ReserveCache(ULONG cExtra)
{
    if (m_cCached + cExtra <= m_cCacheSize)
        return TRUE;
    ULONG cNew = m_cCached + cExtra;
    CBasePin **pNew = new (std::nothrow) CBasePin *[cNew];
    if (!pNew)
        return FALSE;
    if (m_cCached)
        memcpy(pNew, m_PinCache, m_cCached * sizeof(CBasePin *));
    delete[] m_PinCache;
    m_PinCache = pNew;
    m_cCacheSize = cNew;
    return TRUE;
}

STDMETHODIMP CEnumPins::Next(ULONG cPins, IPin **ppPins, ULONG *pcFetched)
{
    if (!ppPins)
        return E_POINTER;
    if (pcFetched)
        *pcFetched = 0;
    else if (cPins > 1)
        return E_INVALIDARG;

    if (AreWeOutOfSync()) {
        // The cache stays: pins already handed out are not handed out again.
        m_Version = m_pFilter->GetPinVersion();
        m_PinCount = m_pFilter->GetPinCount();
        m_Position = 0;
    }

    ULONG cRemaining = m_PinCount > m_Position ? ULONG(m_PinCount - m_Position) : 0;
    ULONG cWanted = cPins < cRemaining ? cPins : cRemaining;
    if (cWanted == 0)
        return S_FALSE;
    if (!ReserveCache(cWanted))
        return E_OUTOFMEMORY;

    ULONG cFetched = 0;
    while (cFetched < cWanted && m_Position < m_PinCount) {
        CBasePin *pPin = m_pFilter->GetPin(m_Position++);
        if (!pPin) {
            // The filter has fewer pins than it said: hand back nothing of this call.
            for (ULONG i = 0; i < cFetched; i++) {
                ppPins[i]->Release();
                ppPins[i] = nullptr;
            }
            m_cCached -= cFetched;
            return VFW_E_ENUM_OUT_OF_SYNC;
        }
        if (InCache(pPin))
            continue;
        m_PinCache[m_cCached++] = pPin;
        ppPins[cFetched] = pPin;
        pPin->AddRef();
        cFetched++;
    }
    if (pcFetched)
        *pcFetched = cFetched;
    return cFetched == cPins ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumPins::Skip(ULONG cPins)
{
    if (AreWeOutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    ULONG cRemaining = m_PinCount > m_Position ? ULONG(m_PinCount - m_Position) : 0;
    if (cPins > cRemaining)
        return S_FALSE;
    m_Position += int(cPins);
    return S_OK;
}

STDMETHODIMP CEnumPins::Reset()
{
    m_Version = m_pFilter->GetPinVersion();
    m_PinCount = m_pFilter->GetPinCount();
    m_Position = 0;
    m_cCached = 0;
    return S_OK;
}

STDMETHODIMP CEnumPins::Clone(IEnumPins **ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = nullptr;
    if (AreWeOutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    HRESULT hr = S_OK;
    CEnumPins *pEnum = new (std::nothrow) CEnumPins(m_pFilter, this, &hr);
    if (!pEnum)
        return E_OUTOFMEMORY;
    if (FAILED(hr)) {
        pEnum->Release();
        return hr;
    }
    *ppEnum = pEnum;
    return S_OK;
}
