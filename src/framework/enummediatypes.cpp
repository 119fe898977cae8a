#include "framework/basepin.h"

#include <new>

#include <vfwmsgs.h>

CEnumMediaTypes::CEnumMediaTypes(CBasePin *pPin, const CEnumMediaTypes *pEnumMediaTypes)
    : m_Position(0), m_pPin(pPin), m_Version(0), m_cRef(1)
{
    m_pPin->AddRef();
    if (pEnumMediaTypes) {
        m_Position = pEnumMediaTypes->m_Position;
        m_Version = pEnumMediaTypes->m_Version;
    } else {
        m_Version = m_pPin->GetMediaTypeVersion();
    }
}

CEnumMediaTypes::~CEnumMediaTypes()
{
    m_pPin->Release();
}

STDMETHODIMP CEnumMediaTypes::QueryInterface(REFIID riid, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IEnumMediaTypes) || IsEqualIID(riid, IID_IUnknown))
        return GetInterface(static_cast<IEnumMediaTypes *>(this), ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CEnumMediaTypes::AddRef()
{
    return ULONG(InterlockedIncrement(&m_cRef));
}

STDMETHODIMP_(ULONG) CEnumMediaTypes::Release()
{
    LONG lRef = InterlockedDecrement(&m_cRef);
    if (lRef == 0)
        delete this;
    return ULONG(lRef);
}

BOOL CEnumMediaTypes::AreWeOutOfSync()
{
    return m_pPin->GetMediaTypeVersion() != m_Version;
}

STDMETHODIMP CEnumMediaTypes::Next(ULONG cMediaTypes, AM_MEDIA_TYPE **ppMediaTypes,
                                   ULONG *pcFetched)
{
    if (!ppMediaTypes)
        return E_POINTER;
    if (AreWeOutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    if (pcFetched)
        *pcFetched = 0;
    else if (cMediaTypes > 1)
        return E_INVALIDARG;

    ULONG cFetched = 0;
    while (cFetched < cMediaTypes) {
        CMediaType mt;
        if (m_pPin->GetMediaType(m_Position++, &mt) != S_OK)
            break;
        AM_MEDIA_TYPE *pmt = static_cast<AM_MEDIA_TYPE *>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        if (!pmt)
            break;
        // The format block and pUnk pass to the caller's structure.
        *pmt = mt;
        mt.cbFormat = 0;
        mt.pbFormat = nullptr;
        mt.pUnk = nullptr;
        ppMediaTypes[cFetched++] = pmt;
    }
    if (pcFetched)
        *pcFetched = cFetched;
    return cFetched == cMediaTypes ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumMediaTypes::Skip(ULONG cMediaTypes)
{
    if (cMediaTypes == 0)
        return S_OK;
    if (AreWeOutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    m_Position += int(cMediaTypes);
    CMediaType mt;
    return m_pPin->GetMediaType(m_Position - 1, &mt) == S_OK ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumMediaTypes::Reset()
{
    m_Position = 0;
    m_Version = m_pPin->GetMediaTypeVersion();
    return S_OK;
}

STDMETHODIMP CEnumMediaTypes::Clone(IEnumMediaTypes **ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = nullptr;
    if (AreWeOutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    *ppEnum = new (std::nothrow) CEnumMediaTypes(m_pPin, this);
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}
