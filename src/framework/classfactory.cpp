#include "framework/combase.h"

#include <new>

LONG CClassFactory::m_cLocked = 0;

CClassFactory::CClassFactory(const CFactoryTemplate *pTemplate) : m_pTemplate(pTemplate), m_cRef(0)
{
}

STDMETHODIMP CClassFactory::QueryInterface(REFIID riid, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory))
        return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory *>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CClassFactory::AddRef()
{
    return ++m_cRef;
}

STDMETHODIMP_(ULONG) CClassFactory::Release()
{
    if (--m_cRef == 0) {
        delete this;
        return 0;
    }
    return m_cRef;
}

STDMETHODIMP CClassFactory::CreateInstance(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    // An aggregated object can only be handed out through its non-delegating IUnknown.
    if (pUnkOuter && !IsEqualIID(riid, IID_IUnknown))
        return E_NOINTERFACE;

    HRESULT hr = S_OK;
    CUnknown *pObj = m_pTemplate->CreateInstance(pUnkOuter, &hr);
    if (!pObj)
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete pObj;
        return hr;
    }

    // Born with 0 references: this pair leaves exactly the one handed out, or destroys it.
    pObj->NonDelegatingAddRef();
    hr = pObj->NonDelegatingQueryInterface(riid, ppv);
    pObj->NonDelegatingRelease();
    return hr;
}

STDMETHODIMP CClassFactory::LockServer(BOOL fLock)
{
    if (fLock)
        ++m_cLocked;
    else
        --m_cLocked;
    return S_OK;
}
