// CBasePin: the pin side of the framework: connection negotiation, the connected media type and
// pin information. A pin has no reference count of its own: its AddRef and Release act on the
// owning filter, so it lives as long as the filter. Derived pins supply CheckMediaType,
// GetMediaType (the types they offer), QueryId, the flush and end-of-stream methods and the
// IQualityControl methods. CEnumMediaTypes enumerates the types a pin offers.
//
// Locks: m_pLock is the filter lock; Connect, ReceiveConnection, Disconnect and
// ConnectionMediaType hold it. The connection (m_Connected, m_mt) changes only under it, while
// the filter is stopped.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "framework/combase.h"
#include "framework/critsec.h"
#include "framework/mediatype.h"

class CBaseFilter;

class CBasePin : public CUnknown, public IPin, public IQualityControl {
public:
    // The status is not written; a pin name that cannot be copied is left null.
    CBasePin(LPCTSTR pObjectName, CBaseFilter *pFilter, CCritSec *pLock, HRESULT *phr,
             LPCWSTR pName, PIN_DIRECTION dir);
    ~CBasePin() override;

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

    virtual LONG GetMediaTypeVersion();
    // Called by the filter on its connected pins: leaving stopped, entering stopped, running.
    virtual HRESULT Active();
    virtual HRESULT Inactive();
    virtual HRESULT Run(REFERENCE_TIME tStart);
    // S_OK accepts the type; anything else refuses it.
    virtual HRESULT CheckMediaType(const CMediaType *pmt) = 0;
    virtual HRESULT SetMediaType(const CMediaType *pmt);
    virtual HRESULT CheckConnect(IPin *pPin);
    virtual HRESULT BreakConnect();
    virtual HRESULT CompleteConnect(IPin *pReceivePin);
    // The offered type at iPosition: S_OK, or VFW_S_NO_MORE_ITEMS past the last one.
    virtual HRESULT GetMediaType(int iPosition, CMediaType *pMediaType);

    // IPin
    STDMETHODIMP Connect(IPin *pReceivePin, const AM_MEDIA_TYPE *pmt) override;
    STDMETHODIMP ReceiveConnection(IPin *pConnector, const AM_MEDIA_TYPE *pmt) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin **pPin) override;
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE *pmt) override;
    STDMETHODIMP QueryPinInfo(PIN_INFO *pInfo) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION *pPinDir) override;
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE *pmt) override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes **ppEnum) override;
    STDMETHODIMP QueryInternalConnections(IPin **apPin, ULONG *nPin) override;
    STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

    BOOL IsConnected() const { return m_Connected != nullptr; }
    IPin *GetConnected() const { return m_Connected; }
    // Whether the owning filter is stopped (read under the filter lock; not for worker threads).
    BOOL IsStopped();
    const CMediaType &CurrentMediaType() const { return m_mt; }
    LPCWSTR Name() const { return m_pName; }
    PIN_DIRECTION Direction() const { return m_dir; }
    REFERENCE_TIME CurrentStopTime() const { return m_tStop; }
    REFERENCE_TIME CurrentStartTime() const { return m_tStart; }
    double CurrentRate() const { return m_dRate; }

protected:
    WCHAR *m_pName;                     // owned (new[])
    IPin *m_Connected;                  // referenced; under m_pLock
    PIN_DIRECTION m_dir;
    CCritSec *m_pLock;                  // the filter lock; not owned
    bool m_bRunTimeError;
    bool m_bCanReconnectWhenActive;
    bool m_bTryMyTypesFirst;
    CBaseFilter *m_pFilter;             // owner; not referenced
    IQualityControl *m_pQSink;          // not referenced
    LONG m_TypeVersion;
    CMediaType m_mt;                    // the connection type; under m_pLock
    REFERENCE_TIME m_tStart;            // last NewSegment
    REFERENCE_TIME m_tStop;
    double m_dRate;

private:
    HRESULT AgreeMediaType(IPin *pReceivePin, const CMediaType *pmt);
    HRESULT TryMediaTypes(IPin *pReceivePin, const CMediaType *pmt, IEnumMediaTypes *pEnum);
    HRESULT AttemptConnection(IPin *pReceivePin, const CMediaType *pmt);
    void ClearConnection();
};

// Enumerates the media types a pin offers (CBasePin::GetMediaType), holding a reference on the
// pin (and so on its filter).
class CEnumMediaTypes : public IEnumMediaTypes {
public:
    CEnumMediaTypes(CBasePin *pPin, const CEnumMediaTypes *pEnumMediaTypes);

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // Each type returned is the caller's, to free with DeleteMediaType.
    STDMETHODIMP Next(ULONG cMediaTypes, AM_MEDIA_TYPE **ppMediaTypes, ULONG *pcFetched) override;
    STDMETHODIMP Skip(ULONG cMediaTypes) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumMediaTypes **ppEnum) override;

protected:
    virtual ~CEnumMediaTypes();

private:
    BOOL AreWeOutOfSync();

    int m_Position;
    CBasePin *const m_pPin;
    LONG m_Version;
    volatile LONG m_cRef;
};
