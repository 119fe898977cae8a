// CBaseFilter: the filter side of the framework. It keeps the filter state, the reference clock,
// its graph membership and event sink, and walks its pins on each state change; the derived
// class owns the pins (GetPinCount, GetPin) and the lock. CEnumPins enumerates those pins.
//
// Locks: m_pLock is the filter lock (for a source filter its state lock). It guards the state,
// the clock, the graph and the name, and is held across the state changes, during which the
// pins' Active/Inactive/Run take it again (recursively). Any pin lock and the QuickTime lock are
// taken inside it, never around it. GetState, GetClassID, StreamTime, QueryFilterInfo and
// EnumPins take no lock.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "framework/combase.h"
#include "framework/critsec.h"

class CBasePin;

class CBaseFilter : public CUnknown, public IBaseFilter, public IAMovieSetup {
public:
    CBaseFilter(LPCTSTR pName, LPUNKNOWN pUnk, CCritSec *pLock, REFCLSID clsid);
    ~CBaseFilter() override;

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;

    // Clock time minus the start time given to Run; VFW_E_NO_CLOCK without a clock.
    virtual HRESULT StreamTime(REFERENCE_TIME &rtStream);
    virtual LONG GetPinVersion();
    virtual int GetPinCount() = 0;
    // The pin at index n without a reference added, or null.
    virtual CBasePin *GetPin(int n) = 0;
    virtual LPAMOVIESETUP_FILTER GetSetupData();

    // IPersist
    STDMETHODIMP GetClassID(CLSID *pClsID) override;

    // IMediaFilter
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME tStart) override;
    STDMETHODIMP GetState(DWORD dwMilliSecsTimeout, FILTER_STATE *State) override;
    STDMETHODIMP SetSyncSource(IReferenceClock *pClock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock **pClock) override;

    // IBaseFilter
    STDMETHODIMP EnumPins(IEnumPins **ppEnum) override;
    // Finds a pin by its QueryId text.
    STDMETHODIMP FindPin(LPCWSTR Id, IPin **ppPin) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO *pInfo) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph *pGraph, LPCWSTR pName) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR *pVendorInfo) override;

    // IAMovieSetup: S_FALSE without setup data (filters register through the module).
    STDMETHODIMP Register() override;
    STDMETHODIMP Unregister() override;

    // Sends an event to the graph; EC_COMPLETE carries this filter as its second parameter.
    HRESULT NotifyEvent(long EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2);

    // Filter state, read under the filter lock: not for worker threads, which must never wait
    // for that lock.
    BOOL IsStopped();
    BOOL IsActive();
    FILTER_STATE State();

    IFilterGraph *GetFilterGraph() const { return m_pGraph; }
    CCritSec *FilterLock() const { return m_pLock; }

protected:
    FILTER_STATE m_State;            // under m_pLock
    IReferenceClock *m_pClock;       // referenced; under m_pLock
    REFERENCE_TIME m_tStart;         // stream-time offset given to Run
    CLSID m_clsid;
    CCritSec *m_pLock;               // not owned
    WCHAR *m_pName;                  // owned (new[]); under m_pLock
    // The graph references us, so we cannot also reference the graph (nor its sink).
    IFilterGraph *m_pGraph;
    IMediaEventSink *m_pSink;
    LONG m_PinVersion;
};

// Enumerates a filter's pins by index, holding a reference on the filter. The pins handed out
// since the last Reset are remembered so that none is handed out twice.
class CEnumPins : public IEnumPins {
public:
    // pFilter is referenced; pEnumPins, if given, is copied (position, count, version, cache).
    // A copy whose cache could not be allocated reports E_OUTOFMEMORY through phr.
    CEnumPins(CBaseFilter *pFilter, const CEnumPins *pEnumPins, HRESULT *phr);

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP Next(ULONG cPins, IPin **ppPins, ULONG *pcFetched) override;
    STDMETHODIMP Skip(ULONG cPins) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumPins **ppEnum) override;

protected:
    virtual ~CEnumPins();

private:
    BOOL AreWeOutOfSync();
    BOOL InCache(const CBasePin *pPin) const;
    BOOL ReserveCache(ULONG cExtra);

    int m_Position;
    int m_PinCount;
    CBaseFilter *const m_pFilter;
    LONG m_Version;
    volatile LONG m_cRef;
    CBasePin **m_PinCache;   // owned (new[]); m_cCached used of m_cCacheSize
    ULONG m_cCached;
    ULONG m_cCacheSize;
};
