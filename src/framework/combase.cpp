#include "framework/combase.h"

volatile LONG CBaseObject::m_cObjects = 0;

CBaseObject::CBaseObject()
{
    InterlockedIncrement(&m_cObjects);
}

CBaseObject::~CBaseObject()
{
    InterlockedDecrement(&m_cObjects);
}

LONG CBaseObject::ObjectsActive()
{
    return InterlockedCompareExchange(&m_cObjects, 0, 0);
}

// The non-delegating interface has IUnknown's layout, so it can stand for the object itself.
static LPUNKNOWN AsUnknown(INonDelegatingUnknown *p)
{
    return reinterpret_cast<LPUNKNOWN>(p);
}

CUnknown::CUnknown(LPCTSTR, LPUNKNOWN pUnkOuter)
    : m_pUnknown(pUnkOuter ? pUnkOuter : AsUnknown(static_cast<INonDelegatingUnknown *>(this))),
      m_cRef(0)
{
}

STDMETHODIMP CUnknown::NonDelegatingQueryInterface(REFIID riid, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown))
        return GetInterface(AsUnknown(static_cast<INonDelegatingUnknown *>(this)), ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef()
{
    LONG lRef = InterlockedIncrement(&m_cRef);
    return lRef > 1 ? ULONG(lRef) : 1;
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease()
{
    LONG lRef = InterlockedDecrement(&m_cRef);
    if (lRef == 0) {
        // A reference taken and dropped during destruction must not destroy us again.
        m_cRef = 1;
        delete this;
        return 0;
    }
    return lRef > 1 ? ULONG(lRef) : 1;
}

HRESULT GetInterface(LPUNKNOWN pUnk, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = pUnk;
    pUnk->AddRef();
    return S_OK;
}
