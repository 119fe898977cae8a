#include "writersink.h"

#include <cstring>
#include <new>

namespace {

// {8E0F5C31-6A2D-4B7E-A1C9-52D4E7F03B18}: the dumper's sink, never registered.
const CLSID CLSID_WriterSink = {
    0x8e0f5c31, 0x6a2d, 0x4b7e, {0xa1, 0xc9, 0x52, 0xd4, 0xe7, 0xf0, 0x3b, 0x18}};

class Lock {
public:
    explicit Lock(CRITICAL_SECTION &cs) : m_cs(cs) { EnterCriticalSection(&m_cs); }
    ~Lock() { LeaveCriticalSection(&m_cs); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

private:
    CRITICAL_SECTION &m_cs;
};

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

// The one-pin enumerator of EnumPins.
class PinEnum final : public IEnumPins {
public:
    PinEnum(IPin *pPin, ULONG pos) : m_pPin(pPin), m_pos(pos) { m_pPin->AddRef(); }
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IEnumPins) {
            *ppv = static_cast<IEnumPins *>(this);
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
        if (c == 0)
            delete this;
        return c;
    }
    STDMETHODIMP Next(ULONG cPins, IPin **ppPins, ULONG *pcFetched) override
    {
        if (!ppPins || (cPins != 1 && !pcFetched))
            return E_POINTER;
        ULONG fetched = 0;
        if (cPins > 0 && m_pos == 0) {
            ppPins[0] = m_pPin;
            m_pPin->AddRef();
            fetched = 1;
            m_pos = 1;
        }
        if (pcFetched)
            *pcFetched = fetched;
        return fetched == cPins ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG cPins) override
    {
        const ULONG left = 1 - m_pos;
        m_pos = cPins >= left ? 1 : m_pos + cPins;
        return cPins <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override
    {
        m_pos = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumPins **ppEnum) override
    {
        if (!ppEnum)
            return E_POINTER;
        *ppEnum = new (std::nothrow) PinEnum(m_pPin, m_pos);
        return *ppEnum ? S_OK : E_OUTOFMEMORY;
    }

private:
    ~PinEnum() { m_pPin->Release(); }
    LONG m_cRef = 1;
    IPin *m_pPin;
    ULONG m_pos;
};

} // namespace

// The input pin: its references are the filter's.
class WriterSink::InputPin final : public IPin, public IMemInputPin {
public:
    explicit InputPin(WriterSink *pOwner) : m_pOwner(pOwner) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPin)
            *ppv = static_cast<IPin *>(this);
        else if (riid == IID_IMemInputPin)
            *ppv = static_cast<IMemInputPin *>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return m_pOwner->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_pOwner->Release(); }

    // IPin
    STDMETHODIMP Connect(IPin *, const AM_MEDIA_TYPE *) override { return E_UNEXPECTED; }
    STDMETHODIMP ReceiveConnection(IPin *pConnector, const AM_MEDIA_TYPE *pmt) override
    {
        if (!pConnector || !pmt)
            return E_POINTER;
        Lock lock(m_pOwner->m_lock);
        if (m_pOwner->m_pConnected)
            return VFW_E_ALREADY_CONNECTED;
        if (m_pOwner->m_state != State_Stopped)
            return VFW_E_NOT_STOPPED;
        if (pmt->majortype != m_pOwner->m_majorType)
            return VFW_E_TYPE_NOT_ACCEPTED;
        const HRESULT hr = CopyType(m_pOwner->m_mt, *pmt);
        if (FAILED(hr))
            return hr;
        m_pOwner->m_pConnected = pConnector;
        pConnector->AddRef();
        return S_OK;
    }
    STDMETHODIMP Disconnect() override
    {
        Lock lock(m_pOwner->m_lock);
        if (m_pOwner->m_state != State_Stopped)
            return VFW_E_NOT_STOPPED;
        if (!m_pOwner->m_pConnected)
            return S_FALSE;
        m_pOwner->m_pConnected->Release();
        m_pOwner->m_pConnected = nullptr;
        FreeType(m_pOwner->m_mt);
        if (m_pOwner->m_pAllocator) {
            m_pOwner->m_pAllocator->Release();
            m_pOwner->m_pAllocator = nullptr;
        }
        return S_OK;
    }
    STDMETHODIMP ConnectedTo(IPin **ppPin) override
    {
        if (!ppPin)
            return E_POINTER;
        Lock lock(m_pOwner->m_lock);
        *ppPin = m_pOwner->m_pConnected;
        if (!*ppPin)
            return VFW_E_NOT_CONNECTED;
        (*ppPin)->AddRef();
        return S_OK;
    }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE *pmt) override
    {
        if (!pmt)
            return E_POINTER;
        Lock lock(m_pOwner->m_lock);
        if (!m_pOwner->m_pConnected) {
            *pmt = AM_MEDIA_TYPE{};
            return VFW_E_NOT_CONNECTED;
        }
        return CopyType(*pmt, m_pOwner->m_mt);
    }
    STDMETHODIMP QueryPinInfo(PIN_INFO *pInfo) override
    {
        if (!pInfo)
            return E_POINTER;
        pInfo->pFilter = m_pOwner;
        m_pOwner->AddRef();
        pInfo->dir = PINDIR_INPUT;
        lstrcpynW(pInfo->achName, L"In", MAX_PIN_NAME);
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
        *pId = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof L"In"));
        if (!*pId)
            return E_OUTOFMEMORY;
        memcpy(*pId, L"In", sizeof L"In");
        return S_OK;
    }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE *pmt) override
    {
        if (!pmt)
            return E_POINTER;
        return pmt->majortype == m_pOwner->m_majorType ? S_OK : S_FALSE;
    }
    // The pin proposes no types of its own: the source's are the ones written.
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes **ppEnum) override
    {
        if (!ppEnum)
            return E_POINTER;
        *ppEnum = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP QueryInternalConnections(IPin **, ULONG *) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override
    {
        m_pOwner->EndOfStream();
        return S_OK;
    }
    STDMETHODIMP BeginFlush() override
    {
        Lock lock(m_pOwner->m_lock);
        m_pOwner->m_bFlushing = true;
        return S_OK;
    }
    STDMETHODIMP EndFlush() override
    {
        Lock lock(m_pOwner->m_lock);
        m_pOwner->m_bFlushing = false;
        return S_OK;
    }
    STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override
    {
        Lock lock(m_pOwner->m_lock);
        const bool bBounded = tStop > tStart && tStop < (LONGLONG(1) << 62) && dRate > 0;
        m_pOwner->m_tSegmentLength = bBounded ? REFERENCE_TIME(double(tStop - tStart) / dRate) : 0;
        m_pOwner->m_cbSegment = 0;
        return S_OK;
    }

    // IMemInputPin
    STDMETHODIMP GetAllocator(IMemAllocator **ppAllocator) override
    {
        if (!ppAllocator)
            return E_POINTER;
        *ppAllocator = nullptr;
        return VFW_E_NO_ALLOCATOR;
    }
    STDMETHODIMP NotifyAllocator(IMemAllocator *pAllocator, BOOL) override
    {
        if (!pAllocator)
            return E_POINTER;
        Lock lock(m_pOwner->m_lock);
        pAllocator->AddRef();
        if (m_pOwner->m_pAllocator)
            m_pOwner->m_pAllocator->Release();
        m_pOwner->m_pAllocator = pAllocator;
        return S_OK;
    }
    STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES *) override { return E_NOTIMPL; }
    STDMETHODIMP Receive(IMediaSample *pSample) override
    {
        return m_pOwner->ReceiveSample(pSample);
    }
    STDMETHODIMP ReceiveMultiple(IMediaSample **pSamples, long nSamples, long *nProcessed) override
    {
        if (!pSamples || !nProcessed)
            return E_POINTER;
        *nProcessed = 0;
        HRESULT hr = S_OK;
        for (long i = 0; i < nSamples && hr == S_OK; ++i) {
            hr = m_pOwner->ReceiveSample(pSamples[i]);
            if (hr == S_OK)
                ++*nProcessed;
        }
        return hr;
    }
    STDMETHODIMP ReceiveCanBlock() override { return S_FALSE; }

private:
    WriterSink *m_pOwner;
};

WriterSink *WriterSink::Create(const GUID &majorType, const wchar_t *pName)
{
    WriterSink *pSink = new (std::nothrow) WriterSink(majorType, pName);
    if (!pSink)
        return nullptr;
    if (!pSink->m_pPin || !pSink->m_hEndOfStream) {
        pSink->Release();
        return nullptr;
    }
    return pSink;
}

WriterSink::WriterSink(const GUID &majorType, const wchar_t *pName)
    : m_majorType(majorType), m_name(pName ? pName : L"")
{
    InitializeCriticalSection(&m_lock);
    m_pPin = new (std::nothrow) InputPin(this);
    m_hEndOfStream = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

WriterSink::~WriterSink()
{
    if (m_pConnected)
        m_pConnected->Release();
    if (m_pAllocator)
        m_pAllocator->Release();
    if (m_pClock)
        m_pClock->Release();
    FreeType(m_mt);
    delete m_pPin;
    if (m_hEndOfStream)
        CloseHandle(m_hEndOfStream);
    DeleteCriticalSection(&m_lock);
}

IPin *WriterSink::Pin()
{
    return m_pPin;
}

void WriterSink::SetWriter(StreamWriter *pWriter)
{
    Lock lock(m_lock);
    m_pWriter = pWriter;
}

void WriterSink::SetSampleLimit(LONGLONG cLimit)
{
    Lock lock(m_lock);
    m_cLimit = cLimit;
}

SinkCounts WriterSink::Counts()
{
    Lock lock(m_lock);
    return m_counts;
}

HRESULT WriterSink::ReceiveSample(IMediaSample *pSample)
{
    if (!pSample)
        return E_POINTER;
    Lock lock(m_lock);
    if (m_state == State_Stopped)
        return VFW_E_WRONG_STATE;
    if (m_bFlushing || m_counts.bEndOfStream)
        return S_FALSE;
    BYTE *pData = nullptr;
    HRESULT hr = pSample->GetPointer(&pData);
    if (FAILED(hr))
        return hr;
    const long cbActual = pSample->GetActualDataLength();
    const long cb = ClipToSegment(pSample, cbActual);
    m_counts.cbClipped += cbActual - cb;
    if (cb > 0 && m_pWriter && SUCCEEDED(m_counts.hrWrite)) {
        hr = m_pWriter->Write(pData, cb);
        if (FAILED(hr))
            m_counts.hrWrite = hr;
    }
    if (cb > 0 || cbActual == 0)
        ++m_counts.cSamples;
    m_counts.cBytes += cb;
    if (pSample->IsDiscontinuity() == S_OK)
        ++m_counts.cDiscontinuities;
    REFERENCE_TIME tStart = 0, tStop = 0;
    if (SUCCEEDED(pSample->GetTime(&tStart, &tStop)))
        m_counts.tLastStop = tStop;
    if (FAILED(m_counts.hrWrite) || (m_cLimit > 0 && m_counts.cSamples >= m_cLimit)) {
        Complete();
        return S_FALSE;
    }
    return S_OK;
}

long WriterSink::ClipToSegment(IMediaSample *pSample, long cb)
{
    if (m_tSegmentLength <= 0 || cb <= 0)
        return cb;
    if (m_mt.formattype == FORMAT_WaveFormatEx && m_mt.cbFormat >= sizeof(WAVEFORMATEX)) {
        const WAVEFORMATEX *pwfx = reinterpret_cast<const WAVEFORMATEX *>(m_mt.pbFormat);
        if (!pwfx->nBlockAlign || !pwfx->nSamplesPerSec)
            return cb;
        // Whole sample frames up to the stop, rounded as the pins snap: to the nearest.
        const LONGLONG frames = LONGLONG(double(m_tSegmentLength) * pwfx->nSamplesPerSec / 1e7 + 0.5);
        const LONGLONG room = frames * pwfx->nBlockAlign - m_cbSegment;
        const long kept = room <= 0 ? 0 : room < cb ? long(room) : cb;
        m_cbSegment += kept;
        return kept;
    }
    REFERENCE_TIME tStart = 0, tStop = 0;
    if (FAILED(pSample->GetTime(&tStart, &tStop)))
        return cb;
    return tStart >= m_tSegmentLength ? 0 : cb;
}

void WriterSink::EndOfStream()
{
    Lock lock(m_lock);
    if (m_bFlushing)
        return;
    Complete();
}

void WriterSink::Complete()
{
    m_counts.bEndOfStream = true;
    SetEvent(m_hEndOfStream);
    if (m_state == State_Running && !m_bCompleteSent && m_pEventSink) {
        m_bCompleteSent = true;
        m_pEventSink->Notify(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(this));
    } else if (m_state != State_Running) {
        m_bCompletePending = true;
    }
}

STDMETHODIMP WriterSink::QueryInterface(REFIID riid, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter ||
        riid == IID_IBaseFilter)
        *ppv = static_cast<IBaseFilter *>(this);
    else if (riid == IID_IAMFilterMiscFlags)
        *ppv = static_cast<IAMFilterMiscFlags *>(this);
    else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) WriterSink::AddRef()
{
    return InterlockedIncrement(&m_cRef);
}

STDMETHODIMP_(ULONG) WriterSink::Release()
{
    const LONG c = InterlockedDecrement(&m_cRef);
    if (c == 0)
        delete this;
    return c;
}

STDMETHODIMP WriterSink::GetClassID(CLSID *pClsid)
{
    if (!pClsid)
        return E_POINTER;
    *pClsid = CLSID_WriterSink;
    return S_OK;
}

STDMETHODIMP WriterSink::Stop()
{
    Lock lock(m_lock);
    m_state = State_Stopped;
    m_bCompletePending = false;
    return S_OK;
}

STDMETHODIMP WriterSink::Pause()
{
    Lock lock(m_lock);
    if (m_state == State_Stopped) {
        // A new run: the counts start again.
        m_counts = SinkCounts{};
        m_bCompleteSent = false;
        m_bCompletePending = false;
        ResetEvent(m_hEndOfStream);
    }
    m_state = State_Paused;
    return S_OK;
}

STDMETHODIMP WriterSink::Run(REFERENCE_TIME)
{
    Lock lock(m_lock);
    if (m_state == State_Stopped) {
        m_counts = SinkCounts{};
        m_bCompleteSent = false;
        ResetEvent(m_hEndOfStream);
    }
    m_state = State_Running;
    if (m_bCompletePending && !m_bCompleteSent && m_pEventSink) {
        m_bCompletePending = false;
        m_bCompleteSent = true;
        m_pEventSink->Notify(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(this));
    }
    return S_OK;
}

STDMETHODIMP WriterSink::GetState(DWORD, FILTER_STATE *pState)
{
    if (!pState)
        return E_POINTER;
    Lock lock(m_lock);
    *pState = m_state;
    return S_OK;
}

STDMETHODIMP WriterSink::SetSyncSource(IReferenceClock *pClock)
{
    Lock lock(m_lock);
    if (pClock)
        pClock->AddRef();
    if (m_pClock)
        m_pClock->Release();
    m_pClock = pClock;
    return S_OK;
}

STDMETHODIMP WriterSink::GetSyncSource(IReferenceClock **ppClock)
{
    if (!ppClock)
        return E_POINTER;
    Lock lock(m_lock);
    *ppClock = m_pClock;
    if (m_pClock)
        m_pClock->AddRef();
    return S_OK;
}

STDMETHODIMP WriterSink::EnumPins(IEnumPins **ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = new (std::nothrow) PinEnum(m_pPin, 0);
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP WriterSink::FindPin(LPCWSTR Id, IPin **ppPin)
{
    if (!Id || !ppPin)
        return E_POINTER;
    *ppPin = nullptr;
    if (lstrcmpW(Id, L"In") != 0)
        return VFW_E_NOT_FOUND;
    *ppPin = m_pPin;
    m_pPin->AddRef();
    return S_OK;
}

STDMETHODIMP WriterSink::QueryFilterInfo(FILTER_INFO *pInfo)
{
    if (!pInfo)
        return E_POINTER;
    Lock lock(m_lock);
    lstrcpynW(pInfo->achName, m_name.c_str(), MAX_FILTER_NAME);
    pInfo->pGraph = m_pGraph;
    if (m_pGraph)
        m_pGraph->AddRef();
    return S_OK;
}

STDMETHODIMP WriterSink::JoinFilterGraph(IFilterGraph *pGraph, LPCWSTR pName)
{
    Lock lock(m_lock);
    m_pGraph = pGraph;
    m_pEventSink = nullptr;
    if (pGraph) {
        // The graph holds us, so its event sink is borrowed, not held.
        IMediaEventSink *pSink = nullptr;
        if (SUCCEEDED(pGraph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void **>(&pSink)))) {
            m_pEventSink = pSink;
            pSink->Release();
        }
    }
    if (pName)
        m_name = pName;
    return S_OK;
}

STDMETHODIMP WriterSink::QueryVendorInfo(LPWSTR *pVendorInfo)
{
    if (pVendorInfo)
        *pVendorInfo = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP_(ULONG) WriterSink::GetMiscFlags()
{
    return AM_FILTER_MISC_FLAGS_IS_RENDERER;
}
