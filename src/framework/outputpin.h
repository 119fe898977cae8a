// CBaseOutputPin: an output pin that pushes samples through the downstream pin's IMemInputPin.
//
// At connection it agrees an allocator: the downstream pin's own first, else one of ours from
// CLSID_MemoryAllocator; the derived pin sizes the buffers (DecideBufferSize). The allocator is
// committed while the filter is active and decommitted when it stops, which also releases a
// worker blocked in GetBuffer. Samples and stream notifications go to the connected pin.
//
// Locks: the connection members change only under the filter lock while the filter is stopped;
// the streaming thread reads them while it runs, without a lock.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "framework/basepin.h"

class CBaseOutputPin : public CBasePin {
public:
    CBaseOutputPin(LPCTSTR pObjectName, CBaseFilter *pFilter, CCritSec *pLock, HRESULT *phr,
                   LPCWSTR pName);
    ~CBaseOutputPin() override;

    HRESULT CheckConnect(IPin *pPin) override;
    HRESULT CompleteConnect(IPin *pReceivePin) override;
    HRESULT BreakConnect() override;
    HRESULT Active() override;
    HRESULT Inactive() override;

    // Agrees an allocator with pPin and stores it, referenced, in *ppAlloc (null on failure).
    virtual HRESULT DecideAllocator(IMemInputPin *pPin, IMemAllocator **ppAlloc);
    // Sets the buffer properties on pAlloc, starting from the downstream pin's request.
    virtual HRESULT DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *pProps) = 0;
    virtual HRESULT GetDeliveryBuffer(IMediaSample **ppSample, REFERENCE_TIME *pStartTime,
                                      REFERENCE_TIME *pEndTime, DWORD dwFlags);
    virtual HRESULT Deliver(IMediaSample *pSample);
    // Our own allocator, used when the downstream pin has none that suits.
    virtual HRESULT InitAllocator(IMemAllocator **ppAlloc);
    virtual HRESULT DeliverEndOfStream();
    virtual HRESULT DeliverBeginFlush();
    virtual HRESULT DeliverEndFlush();
    virtual HRESULT DeliverNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);

    // IPin: stream notifications flow downstream only.
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;

    IMemAllocator *Allocator() const { return m_pAllocator; }

protected:
    IMemAllocator *m_pAllocator;  // referenced; null when unconnected
    IMemInputPin *m_pInputPin;    // referenced; the connected pin's transport

private:
    HRESULT TryAllocator(IMemInputPin *pPin, IMemAllocator *pAlloc,
                         const ALLOCATOR_PROPERTIES &props);
};
