#include "platform_sink.h"

#include <cstring>
#include <new>

namespace platformsink {

void FreeType(AM_MEDIA_TYPE &mt)
{
    if (mt.pbFormat)
        CoTaskMemFree(mt.pbFormat);
    if (mt.pUnk)
        mt.pUnk->Release();
    mt = AM_MEDIA_TYPE{};
}

HRESULT CopyType(AM_MEDIA_TYPE &dst, const AM_MEDIA_TYPE &src)
{
    dst = src;
    dst.pbFormat = nullptr;
    if (src.cbFormat) {
        dst.pbFormat = static_cast<BYTE *>(CoTaskMemAlloc(src.cbFormat));
        if (!dst.pbFormat) {
            dst = AM_MEDIA_TYPE{};
            return E_OUTOFMEMORY;
        }
        memcpy(dst.pbFormat, src.pbFormat, src.cbFormat);
    }
    if (dst.pUnk)
        dst.pUnk->AddRef();
    return S_OK;
}

bool SameType(const AM_MEDIA_TYPE &a, const AM_MEDIA_TYPE &b)
{
    return IsEqualGUID(a.majortype, b.majortype) && IsEqualGUID(a.subtype, b.subtype) &&
           IsEqualGUID(a.formattype, b.formattype) && a.cbFormat == b.cbFormat &&
           (a.cbFormat == 0 || memcmp(a.pbFormat, b.pbFormat, a.cbFormat) == 0);
}

namespace {

const wchar_t kPinId[] = L"In";

// The IUnknown part of the enumerators: a count of their own.
template <class Interface, const IID &kIid> class Enumerator : public Interface {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, kIid)) {
            *ppv = static_cast<Interface *>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_cRef); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG c = InterlockedDecrement(&m_cRef);
        if (!c)
            delete this;
        return c;
    }

protected:
    virtual ~Enumerator() = default;

private:
    LONG m_cRef = 1;
};

// Enumerates at most one media type.
class TypeEnum : public Enumerator<IEnumMediaTypes, IID_IEnumMediaTypes> {
public:
    TypeEnum(IPin *owner, const AM_MEDIA_TYPE *mt, ULONG pos) : m_pOwner(owner), m_pos(pos)
    {
        m_pOwner->AddRef();
        if (mt && SUCCEEDED(CopyType(m_mt, *mt)))
            m_bHave = true;
    }
    ~TypeEnum() override
    {
        FreeType(m_mt);
        m_pOwner->Release();
    }
    STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE **out, ULONG *fetched) override
    {
        if (!out)
            return E_POINTER;
        if (!fetched && count > 1)
            return E_INVALIDARG;
        ULONG n = 0;
        while (n < count && m_bHave && m_pos == 0) {
            AM_MEDIA_TYPE *mt = static_cast<AM_MEDIA_TYPE *>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
            if (!mt)
                break;
            if (FAILED(CopyType(*mt, m_mt))) {
                CoTaskMemFree(mt);
                break;
            }
            out[n++] = mt;
            ++m_pos;
        }
        if (fetched)
            *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override
    {
        m_pos += count;
        return m_pos <= (m_bHave ? 1u : 0u) ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override
    {
        m_pos = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumMediaTypes **out) override
    {
        if (!out)
            return E_POINTER;
        *out = new (std::nothrow) TypeEnum(m_pOwner, m_bHave ? &m_mt : nullptr, m_pos);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

private:
    IPin *m_pOwner; // holds a reference (on the filter)
    AM_MEDIA_TYPE m_mt{};
    bool m_bHave = false;
    ULONG m_pos;
};

class PinEnum : public Enumerator<IEnumPins, IID_IEnumPins> {
public:
    PinEnum(IPin *pin, ULONG pos) : m_pPin(pin), m_pos(pos) { m_pPin->AddRef(); }
    ~PinEnum() override { m_pPin->Release(); }
    STDMETHODIMP Next(ULONG count, IPin **out, ULONG *fetched) override
    {
        if (!out)
            return E_POINTER;
        if (!fetched && count > 1)
            return E_INVALIDARG;
        ULONG n = 0;
        if (count && m_pos == 0) {
            out[n++] = m_pPin;
            m_pPin->AddRef();
            ++m_pos;
        }
        if (fetched)
            *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override
    {
        if (m_pos + count > 1)
            return S_FALSE;
        m_pos += count;
        return S_OK;
    }
    STDMETHODIMP Reset() override
    {
        m_pos = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumPins **out) override
    {
        if (!out)
            return E_POINTER;
        *out = new (std::nothrow) PinEnum(m_pPin, m_pos);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

private:
    IPin *m_pPin; // holds a reference (on the filter)
    ULONG m_pos;
};

} // namespace

// The input pin: its references are the filter's; its state lives in the filter, under the
// filter's lock.
class PlatformSink::InputPin final : public IPin, public IMemInputPin {
public:
    explicit InputPin(PlatformSink *filter) : m_pFilter(filter) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IPin)) {
            *ppv = static_cast<IPin *>(this);
        } else if (IsEqualGUID(riid, IID_IMemInputPin) && m_pFilter->OffersTransport()) {
            *ppv = static_cast<IMemInputPin *>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return m_pFilter->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_pFilter->Release(); }

    // IPin
    STDMETHODIMP Connect(IPin *, const AM_MEDIA_TYPE *) override { return E_UNEXPECTED; }
    STDMETHODIMP ReceiveConnection(IPin *pConnector, const AM_MEDIA_TYPE *pmt) override
    {
        if (!pConnector || !pmt)
            return E_POINTER;
        ScopedLock lock(m_pFilter->m_lock);
        if (m_pFilter->m_pConnected)
            return VFW_E_ALREADY_CONNECTED;
        if (m_pFilter->m_state != State_Stopped)
            return VFW_E_NOT_STOPPED;
        HRESULT hr = m_pFilter->CheckConnection(pConnector, pmt);
        if (FAILED(hr))
            return hr;
        hr = CopyType(m_pFilter->m_mt, *pmt);
        if (FAILED(hr))
            return hr;
        m_pFilter->m_pConnected = pConnector;
        pConnector->AddRef();
        return S_OK;
    }
    STDMETHODIMP Disconnect() override
    {
        ScopedLock lock(m_pFilter->m_lock);
        if (m_pFilter->m_state != State_Stopped)
            return VFW_E_NOT_STOPPED;
        if (!m_pFilter->m_pConnected)
            return S_FALSE;
        m_pFilter->m_pConnected->Release();
        m_pFilter->m_pConnected = nullptr;
        FreeType(m_pFilter->m_mt);
        if (m_pFilter->m_pAllocator) {
            m_pFilter->m_pAllocator->Release();
            m_pFilter->m_pAllocator = nullptr;
        }
        return S_OK;
    }
    STDMETHODIMP ConnectedTo(IPin **ppPin) override
    {
        if (!ppPin)
            return E_POINTER;
        ScopedLock lock(m_pFilter->m_lock);
        *ppPin = m_pFilter->m_pConnected;
        if (!*ppPin)
            return VFW_E_NOT_CONNECTED;
        (*ppPin)->AddRef();
        return S_OK;
    }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE *pmt) override
    {
        if (!pmt)
            return E_POINTER;
        ScopedLock lock(m_pFilter->m_lock);
        if (!m_pFilter->m_pConnected) {
            *pmt = AM_MEDIA_TYPE{};
            return VFW_E_NOT_CONNECTED;
        }
        return CopyType(*pmt, m_pFilter->m_mt);
    }
    STDMETHODIMP QueryPinInfo(PIN_INFO *pInfo) override
    {
        if (!pInfo)
            return E_POINTER;
        pInfo->pFilter = m_pFilter;
        m_pFilter->AddRef();
        lstrcpynW(pInfo->achName, kPinId, MAX_PIN_NAME);
        pInfo->dir = PINDIR_INPUT;
        return S_OK;
    }
    STDMETHODIMP QueryDirection(PIN_DIRECTION *pDir) override
    {
        if (!pDir)
            return E_POINTER;
        *pDir = PINDIR_INPUT;
        return S_OK;
    }
    STDMETHODIMP QueryId(LPWSTR *pId) override
    {
        if (!pId)
            return E_POINTER;
        *pId = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof kPinId));
        if (!*pId)
            return E_OUTOFMEMORY;
        memcpy(*pId, kPinId, sizeof kPinId);
        return S_OK;
    }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE *pmt) override
    {
        if (!pmt)
            return E_POINTER;
        ScopedLock lock(m_pFilter->m_lock);
        return m_pFilter->Accepts(pmt) ? S_OK : S_FALSE;
    }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes **ppEnum) override
    {
        if (!ppEnum)
            return E_POINTER;
        *ppEnum = nullptr;
        ScopedLock lock(m_pFilter->m_lock);
        return m_pFilter->EnumTypes(ppEnum);
    }
    STDMETHODIMP QueryInternalConnections(IPin **, ULONG *) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return m_pFilter->OnEndOfStream(); }
    STDMETHODIMP BeginFlush() override { return m_pFilter->OnBeginFlush(); }
    STDMETHODIMP EndFlush() override { return m_pFilter->OnEndFlush(); }
    STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override
    {
        return m_pFilter->OnNewSegment(tStart, tStop, dRate);
    }

    // IMemInputPin
    STDMETHODIMP GetAllocator(IMemAllocator **ppAllocator) override
    {
        if (!ppAllocator)
            return E_POINTER;
        *ppAllocator = nullptr;
        ScopedLock lock(m_pFilter->m_lock);
        return m_pFilter->OnGetAllocator(ppAllocator);
    }
    STDMETHODIMP NotifyAllocator(IMemAllocator *pAllocator, BOOL bReadOnly) override
    {
        if (!pAllocator)
            return E_POINTER;
        ScopedLock lock(m_pFilter->m_lock);
        pAllocator->AddRef();
        if (m_pFilter->m_pAllocator)
            m_pFilter->m_pAllocator->Release();
        m_pFilter->m_pAllocator = pAllocator;
        m_pFilter->m_bReadOnly = bReadOnly;
        m_pFilter->OnNotifyAllocator(pAllocator, bReadOnly);
        return S_OK;
    }
    STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES *pProps) override
    {
        if (!pProps)
            return E_POINTER;
        ScopedLock lock(m_pFilter->m_lock);
        return m_pFilter->OnGetAllocatorRequirements(pProps);
    }
    STDMETHODIMP Receive(IMediaSample *pSample) override
    {
        if (!pSample)
            return E_POINTER;
        return m_pFilter->OnReceive(pSample);
    }
    STDMETHODIMP ReceiveMultiple(IMediaSample **pSamples, long nSamples, long *nProcessed) override
    {
        if (!pSamples || !nProcessed)
            return E_POINTER;
        *nProcessed = 0;
        HRESULT hr = S_OK;
        for (long i = 0; i < nSamples && hr == S_OK; ++i) {
            hr = Receive(pSamples[i]);
            if (hr == S_OK)
                ++*nProcessed;
        }
        return hr;
    }
    STDMETHODIMP ReceiveCanBlock() override
    {
        return m_pFilter->CanBlockInReceive() ? S_OK : S_FALSE;
    }

private:
    PlatformSink *m_pFilter;
};

PlatformSink::PlatformSink(const CLSID &clsid, const wchar_t *pName)
    : m_clsid(clsid), m_defaultName(pName ? pName : L""), m_name(m_defaultName)
{
    InitializeCriticalSection(&m_lock);
    m_pPin = new (std::nothrow) InputPin(this);
}

PlatformSink::~PlatformSink()
{
    if (m_pConnected)
        m_pConnected->Release();
    if (m_pAllocator)
        m_pAllocator->Release();
    if (m_pClock)
        m_pClock->Release();
    FreeType(m_mt);
    delete m_pPin;
    DeleteCriticalSection(&m_lock);
}

IPin *PlatformSink::Pin()
{
    return m_pPin;
}

IMemInputPin *PlatformSink::MemInputPin()
{
    return m_pPin;
}

HRESULT PlatformSink::CheckConnection(IPin *, const AM_MEDIA_TYPE *pmt)
{
    return Accepts(pmt) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT PlatformSink::EnumTypes(IEnumMediaTypes **)
{
    return E_NOTIMPL;
}

HRESULT PlatformSink::OnGetAllocator(IMemAllocator **)
{
    return VFW_E_NO_ALLOCATOR;
}

HRESULT PlatformSink::NewTypeEnum(const AM_MEDIA_TYPE *pmt, IEnumMediaTypes **ppEnum)
{
    *ppEnum = new (std::nothrow) TypeEnum(m_pPin, pmt, 0);
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

void PlatformSink::NotifyComplete()
{
    IMediaEventSink *sink;
    {
        ScopedLock lock(m_lock);
        sink = m_pEventSink;
    }
    if (sink)
        sink->Notify(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(Filter()));
}

STDMETHODIMP PlatformSink::QueryInterface(REFIID riid, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IPersist) ||
        IsEqualGUID(riid, IID_IMediaFilter) || IsEqualGUID(riid, IID_IBaseFilter)) {
        *ppv = static_cast<IBaseFilter *>(this);
    } else if (IsEqualGUID(riid, IID_IAMFilterMiscFlags)) {
        *ppv = static_cast<IAMFilterMiscFlags *>(this);
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) PlatformSink::AddRef()
{
    return InterlockedIncrement(&m_cRef);
}

STDMETHODIMP_(ULONG) PlatformSink::Release()
{
    const LONG c = InterlockedDecrement(&m_cRef);
    if (!c)
        delete this;
    return c;
}

STDMETHODIMP PlatformSink::GetClassID(CLSID *pClsid)
{
    if (!pClsid)
        return E_POINTER;
    *pClsid = m_clsid;
    return S_OK;
}

HRESULT PlatformSink::ChangeState(FILTER_STATE newState)
{
    bool complete;
    {
        ScopedLock lock(m_lock);
        complete = OnStateChange(newState);
        m_state = newState;
    }
    if (complete)
        NotifyComplete();
    return S_OK;
}

STDMETHODIMP PlatformSink::Stop()
{
    return ChangeState(State_Stopped);
}

STDMETHODIMP PlatformSink::Pause()
{
    return ChangeState(State_Paused);
}

STDMETHODIMP PlatformSink::Run(REFERENCE_TIME)
{
    return ChangeState(State_Running);
}

STDMETHODIMP PlatformSink::GetState(DWORD, FILTER_STATE *pState)
{
    if (!pState)
        return E_POINTER;
    ScopedLock lock(m_lock);
    *pState = m_state;
    return S_OK;
}

STDMETHODIMP PlatformSink::SetSyncSource(IReferenceClock *pClock)
{
    ScopedLock lock(m_lock);
    if (pClock)
        pClock->AddRef();
    if (m_pClock)
        m_pClock->Release();
    m_pClock = pClock;
    return S_OK;
}

STDMETHODIMP PlatformSink::GetSyncSource(IReferenceClock **ppClock)
{
    if (!ppClock)
        return E_POINTER;
    ScopedLock lock(m_lock);
    *ppClock = m_pClock;
    if (m_pClock)
        m_pClock->AddRef();
    return S_OK;
}

STDMETHODIMP PlatformSink::EnumPins(IEnumPins **ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = new (std::nothrow) PinEnum(m_pPin, 0);
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP PlatformSink::FindPin(LPCWSTR Id, IPin **ppPin)
{
    if (!Id || !ppPin)
        return E_POINTER;
    *ppPin = nullptr;
    if (lstrcmpW(Id, kPinId) != 0)
        return VFW_E_NOT_FOUND;
    *ppPin = m_pPin;
    m_pPin->AddRef();
    return S_OK;
}

STDMETHODIMP PlatformSink::QueryFilterInfo(FILTER_INFO *pInfo)
{
    if (!pInfo)
        return E_POINTER;
    ScopedLock lock(m_lock);
    lstrcpynW(pInfo->achName, m_name.c_str(), MAX_FILTER_NAME);
    pInfo->pGraph = m_pGraph;
    if (m_pGraph)
        m_pGraph->AddRef();
    return S_OK;
}

STDMETHODIMP PlatformSink::JoinFilterGraph(IFilterGraph *pGraph, LPCWSTR pName)
{
    ScopedLock lock(m_lock);
    m_pGraph = pGraph;
    m_pEventSink = nullptr;
    IMediaEventSink *pSink = nullptr;
    if (pGraph && SUCCEEDED(pGraph->QueryInterface(IID_IMediaEventSink,
                                                   reinterpret_cast<void **>(&pSink)))) {
        m_pEventSink = pSink;
        pSink->Release(); // the graph outlives its membership: keep no reference
    }
    m_name = pName ? pName : m_defaultName;
    return S_OK;
}

STDMETHODIMP PlatformSink::QueryVendorInfo(LPWSTR *pVendorInfo)
{
    if (pVendorInfo)
        *pVendorInfo = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP_(ULONG) PlatformSink::GetMiscFlags()
{
    return AM_FILTER_MISC_FLAGS_IS_RENDERER;
}

} // namespace platformsink
