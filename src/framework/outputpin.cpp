#include "framework/outputpin.h"

#include <uuids.h>
#include <vfwmsgs.h>

CBaseOutputPin::CBaseOutputPin(LPCTSTR pObjectName, CBaseFilter *pFilter, CCritSec *pLock,
                               HRESULT *phr, LPCWSTR pName)
    : CBasePin(pObjectName, pFilter, pLock, phr, pName, PINDIR_OUTPUT),
      m_pAllocator(nullptr),
      m_pInputPin(nullptr)
{
}

CBaseOutputPin::~CBaseOutputPin()
{
    // A pin destroyed while still connected must not leak the transport's references.
    if (m_pAllocator)
        m_pAllocator->Release();
    if (m_pInputPin)
        m_pInputPin->Release();
}

HRESULT CBaseOutputPin::CheckConnect(IPin *pPin)
{
    HRESULT hr = CBasePin::CheckConnect(pPin);
    if (FAILED(hr))
        return hr;
    if (m_pInputPin) {
        m_pInputPin->Release();
        m_pInputPin = nullptr;
    }
    return pPin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void **>(&m_pInputPin));
}

HRESULT CBaseOutputPin::CompleteConnect(IPin *)
{
    return DecideAllocator(m_pInputPin, &m_pAllocator);
}

HRESULT CBaseOutputPin::TryAllocator(IMemInputPin *pPin, IMemAllocator *pAlloc,
                                     const ALLOCATOR_PROPERTIES &props)
{
    // Each attempt starts from the downstream request, not from what an earlier one changed.
    ALLOCATOR_PROPERTIES request = props;
    HRESULT hr = DecideBufferSize(pAlloc, &request);
    if (FAILED(hr))
        return hr;
    return pPin->NotifyAllocator(pAlloc, FALSE);
}

HRESULT CBaseOutputPin::DecideAllocator(IMemInputPin *pPin, IMemAllocator **ppAlloc)
{
    if (!ppAlloc)
        return E_POINTER;
    *ppAlloc = nullptr;
    if (!pPin)
        return VFW_E_NOT_CONNECTED;

    ALLOCATOR_PROPERTIES props = {};
    pPin->GetAllocatorRequirements(&props);
    // The memory allocator refuses an alignment of 0.
    if (props.cbAlign == 0)
        props.cbAlign = 1;

    HRESULT hr = pPin->GetAllocator(ppAlloc);
    if (SUCCEEDED(hr) && *ppAlloc) {
        hr = TryAllocator(pPin, *ppAlloc, props);
        if (SUCCEEDED(hr))
            return S_OK;
    }
    if (*ppAlloc) {
        (*ppAlloc)->Release();
        *ppAlloc = nullptr;
    }

    hr = InitAllocator(ppAlloc);
    if (SUCCEEDED(hr) && *ppAlloc) {
        hr = TryAllocator(pPin, *ppAlloc, props);
        if (SUCCEEDED(hr))
            return S_OK;
    } else if (SUCCEEDED(hr)) {
        hr = E_FAIL;
    }
    if (*ppAlloc) {
        (*ppAlloc)->Release();
        *ppAlloc = nullptr;
    }
    return hr;
}

HRESULT CBaseOutputPin::InitAllocator(IMemAllocator **ppAlloc)
{
    return CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                            IID_IMemAllocator, reinterpret_cast<void **>(ppAlloc));
}

HRESULT CBaseOutputPin::GetDeliveryBuffer(IMediaSample **ppSample, REFERENCE_TIME *pStartTime,
                                          REFERENCE_TIME *pEndTime, DWORD dwFlags)
{
    if (!m_pAllocator)
        return E_NOINTERFACE;
    return m_pAllocator->GetBuffer(ppSample, pStartTime, pEndTime, dwFlags);
}

HRESULT CBaseOutputPin::Deliver(IMediaSample *pSample)
{
    if (!m_pInputPin)
        return VFW_E_NOT_CONNECTED;
    return m_pInputPin->Receive(pSample);
}

HRESULT CBaseOutputPin::DeliverEndOfStream()
{
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    return m_Connected->EndOfStream();
}

HRESULT CBaseOutputPin::DeliverBeginFlush()
{
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    return m_Connected->BeginFlush();
}

HRESULT CBaseOutputPin::DeliverEndFlush()
{
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    return m_Connected->EndFlush();
}

HRESULT CBaseOutputPin::DeliverNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop,
                                          double dRate)
{
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    return m_Connected->NewSegment(tStart, tStop, dRate);
}

HRESULT CBaseOutputPin::BreakConnect()
{
    if (m_pAllocator) {
        HRESULT hr = m_pAllocator->Decommit();
        if (FAILED(hr))
            return hr;
        m_pAllocator->Release();
        m_pAllocator = nullptr;
    }
    if (m_pInputPin) {
        m_pInputPin->Release();
        m_pInputPin = nullptr;
    }
    return S_OK;
}

HRESULT CBaseOutputPin::Active()
{
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Commit();
}

HRESULT CBaseOutputPin::Inactive()
{
    m_bRunTimeError = false;
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Decommit();
}

STDMETHODIMP CBaseOutputPin::EndOfStream()
{
    return E_UNEXPECTED;
}

STDMETHODIMP CBaseOutputPin::BeginFlush()
{
    return E_UNEXPECTED;
}

STDMETHODIMP CBaseOutputPin::EndFlush()
{
    return E_UNEXPECTED;
}
