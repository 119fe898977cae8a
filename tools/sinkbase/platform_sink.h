#pragma once
// A sink filter with one input pin ("In"), written on the platform's interfaces alone, that
// joins a graph as a renderer. It does the IBaseFilter and IPin plumbing: state, clock, graph
// membership, the connection and its media type, the notified allocator. What a sink does
// with the stream is its own: it answers the virtual hooks, which run under the filter's lock
// unless they say otherwise. It starts with one reference, its creator's; the pin's
// references are the filter's.

#include <windows.h>
#include <dshow.h>

#include <string>

namespace platformsink {

class ScopedLock {
public:
    explicit ScopedLock(CRITICAL_SECTION &cs) : m_cs(cs) { EnterCriticalSection(&m_cs); }
    ~ScopedLock() { LeaveCriticalSection(&m_cs); }
    ScopedLock(const ScopedLock &) = delete;
    ScopedLock &operator=(const ScopedLock &) = delete;

private:
    CRITICAL_SECTION &m_cs;
};

void FreeType(AM_MEDIA_TYPE &mt);
HRESULT CopyType(AM_MEDIA_TYPE &dst, const AM_MEDIA_TYPE &src); // dst is overwritten
bool SameType(const AM_MEDIA_TYPE &a, const AM_MEDIA_TYPE &b);

class PlatformSink : public IBaseFilter, public IAMFilterMiscFlags {
public:
    IBaseFilter *Filter() { return this; }
    IPin *Pin();
    IMemInputPin *MemInputPin();
    ULONG RefCount() const { return static_cast<ULONG>(m_cRef); } // for leak checks

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IPersist, IMediaFilter, IBaseFilter
    STDMETHODIMP GetClassID(CLSID *pClsid) override;
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME tStart) override;
    STDMETHODIMP GetState(DWORD dwMilliSecsTimeout, FILTER_STATE *pState) override;
    STDMETHODIMP SetSyncSource(IReferenceClock *pClock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock **ppClock) override;
    STDMETHODIMP EnumPins(IEnumPins **ppEnum) override;
    STDMETHODIMP FindPin(LPCWSTR Id, IPin **ppPin) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO *pInfo) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph *pGraph, LPCWSTR pName) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR *pVendorInfo) override;
    // IAMFilterMiscFlags
    STDMETHODIMP_(ULONG) GetMiscFlags() override;

protected:
    // pName is the filter's name whenever a graph gives it none.
    PlatformSink(const CLSID &clsid, const wchar_t *pName);
    virtual ~PlatformSink();
    PlatformSink(const PlatformSink &) = delete;
    PlatformSink &operator=(const PlatformSink &) = delete;

    bool HasPin() const { return m_pPin != nullptr; } // false: construction failed

    // Hooks. The connection is refused unless CheckConnection succeeds; its default
    // accepts what Accepts does.
    virtual bool Accepts(const AM_MEDIA_TYPE *pmt) = 0;
    virtual HRESULT CheckConnection(IPin *pConnector, const AM_MEDIA_TYPE *pmt);
    virtual HRESULT EnumTypes(IEnumMediaTypes **ppEnum); // default: none proposed (E_NOTIMPL)
    virtual bool OffersTransport() { return true; } // outside the lock: the pin is IMemInputPin
    // Called before the state becomes newState; true: send EC_COMPLETE once the lock is left.
    virtual bool OnStateChange(FILTER_STATE newState) = 0;
    virtual HRESULT OnGetAllocator(IMemAllocator **ppAllocator); // default: VFW_E_NO_ALLOCATOR
    virtual void OnNotifyAllocator(IMemAllocator *, BOOL) {}
    virtual HRESULT OnGetAllocatorRequirements(ALLOCATOR_PROPERTIES *) { return E_NOTIMPL; }
    virtual bool CanBlockInReceive() = 0; // outside the lock
    // The stream hooks run outside the lock, on the caller's thread; pSample is not null.
    virtual HRESULT OnReceive(IMediaSample *pSample) = 0;
    virtual HRESULT OnEndOfStream() = 0;
    virtual HRESULT OnBeginFlush() = 0;
    virtual HRESULT OnEndFlush() = 0;
    virtual HRESULT OnNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) = 0;

    // For the hooks; the "Locked" ones expect the caller to hold FilterLock().
    CRITICAL_SECTION &FilterLock() { return m_lock; }
    FILTER_STATE StateLocked() const { return m_state; }
    bool IsConnectedLocked() const { return m_pConnected != nullptr; }
    const AM_MEDIA_TYPE &ConnectionTypeLocked() const { return m_mt; }
    IMemAllocator *AllocatorLocked() const { return m_pAllocator; }
    BOOL ReadOnlyLocked() const { return m_bReadOnly; }
    IMediaEventSink *EventSinkLocked() const { return m_pEventSink; }
    // A one-type enumerator (none when pmt is null) for EnumTypes.
    HRESULT NewTypeEnum(const AM_MEDIA_TYPE *pmt, IEnumMediaTypes **ppEnum);
    // Sends EC_COMPLETE to the graph, if any; call without the lock.
    void NotifyComplete();

private:
    class InputPin;
    friend class InputPin;

    HRESULT ChangeState(FILTER_STATE newState);

    LONG m_cRef = 1;
    const CLSID m_clsid;
    const std::wstring m_defaultName;
    InputPin *m_pPin = nullptr;

    CRITICAL_SECTION m_lock; // everything below
    FILTER_STATE m_state = State_Stopped;
    IReferenceClock *m_pClock = nullptr;     // holds a reference
    IFilterGraph *m_pGraph = nullptr;        // the graph holds us: no reference back
    IMediaEventSink *m_pEventSink = nullptr; // likewise
    std::wstring m_name;
    IPin *m_pConnected = nullptr;          // holds a reference
    AM_MEDIA_TYPE m_mt{};                  // owns its format block
    IMemAllocator *m_pAllocator = nullptr; // notified; holds a reference
    BOOL m_bReadOnly = FALSE;
};

} // namespace platformsink
