#include "test_sink.h"

#include <cstring>
#include <new>

namespace testsupport {
namespace {

// {6B1C4E2A-93D1-4F0E-9C55-3A7E21D0B8F4}: a class identifier of the test sink's own.
const CLSID CLSID_TestSink = {
    0x6b1c4e2a, 0x93d1, 0x4f0e, {0x9c, 0x55, 0x3a, 0x7e, 0x21, 0xd0, 0xb8, 0xf4}};

const DWORD kBlockSafetyMs = 10000;

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
            dst.cbFormat = 0;
            dst.pUnk = nullptr;
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

// The IUnknown part of the sink's enumerators: a count of their own.
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
        LONG c = InterlockedDecrement(&m_cRef);
        if (!c)
            delete this;
        return c;
    }

protected:
    virtual ~Enumerator() = default;

private:
    LONG m_cRef = 1;
};

// Enumerates at most one media type: the one the sink accepts exactly.
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
    IPin *m_pPin;
    ULONG m_pos;
};

} // namespace

uint32_t Fnv1a(const BYTE *data, size_t size)
{
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; ++i) {
        h ^= data[i];
        h *= 16777619u;
    }
    return h;
}

// The input pin: its references are the filter's; its state lives in the filter, under the
// filter's lock.
class TestSink::InputPin : public IPin, public IMemInputPin {
public:
    explicit InputPin(TestSink *filter) : m_pFilter(filter) {}
    virtual ~InputPin() = default;

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
        Lock lock(m_pFilter->m_lock);
        if (m_pFilter->m_pConnected)
            return VFW_E_ALREADY_CONNECTED;
        if (m_pFilter->m_State != State_Stopped)
            return VFW_E_NOT_STOPPED;
        PIN_DIRECTION dir = PINDIR_INPUT;
        if (FAILED(pConnector->QueryDirection(&dir)) || dir != PINDIR_OUTPUT)
            return VFW_E_INVALID_DIRECTION;
        if (!m_pFilter->Accepts(pmt))
            return VFW_E_TYPE_NOT_ACCEPTED;
        HRESULT hr = CopyType(m_pFilter->m_connectionType, *pmt);
        if (FAILED(hr))
            return hr;
        m_pFilter->m_pConnected = pConnector;
        pConnector->AddRef();
        return S_OK;
    }
    STDMETHODIMP Disconnect() override
    {
        Lock lock(m_pFilter->m_lock);
        if (m_pFilter->m_State != State_Stopped)
            return VFW_E_NOT_STOPPED;
        if (!m_pFilter->m_pConnected)
            return S_FALSE;
        m_pFilter->m_pConnected->Release();
        m_pFilter->m_pConnected = nullptr;
        FreeType(m_pFilter->m_connectionType);
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
        Lock lock(m_pFilter->m_lock);
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
        Lock lock(m_pFilter->m_lock);
        if (!m_pFilter->m_pConnected) {
            *pmt = AM_MEDIA_TYPE{};
            return VFW_E_NOT_CONNECTED;
        }
        return CopyType(*pmt, m_pFilter->m_connectionType);
    }
    STDMETHODIMP QueryPinInfo(PIN_INFO *pInfo) override
    {
        if (!pInfo)
            return E_POINTER;
        pInfo->pFilter = m_pFilter;
        m_pFilter->AddRef();
        wcscpy(pInfo->achName, L"In");
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
        *pId = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof(L"In")));
        if (!*pId)
            return E_OUTOFMEMORY;
        wcscpy(*pId, L"In");
        return S_OK;
    }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE *pmt) override
    {
        if (!pmt)
            return E_POINTER;
        Lock lock(m_pFilter->m_lock);
        return m_pFilter->Accepts(pmt) ? S_OK : S_FALSE;
    }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes **ppEnum) override
    {
        if (!ppEnum)
            return E_POINTER;
        Lock lock(m_pFilter->m_lock);
        const bool exact = !m_pFilter->m_bAcceptMajorOnly &&
                           !IsEqualGUID(m_pFilter->m_accept.majortype, GUID_NULL);
        *ppEnum = new (std::nothrow) TypeEnum(this, exact ? &m_pFilter->m_accept : nullptr, 0);
        return *ppEnum ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP QueryInternalConnections(IPin **, ULONG *) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override
    {
        bool complete = false;
        {
            Lock lock(m_pFilter->m_lock);
            if (m_pFilter->m_bEndOfStream)
                m_pFilter->Violation("EndOfStream twice");
            if (m_pFilter->m_bFlushing)
                m_pFilter->Violation("EndOfStream while flushing");
            m_pFilter->m_bEndOfStream = true;
            SinkRecord r(SinkRecord::kEndOfStream);
            m_pFilter->Record(std::move(r));
            SetEvent(m_pFilter->m_hEndOfStream);
            if (m_pFilter->m_State == State_Running)
                complete = true;
            else
                m_pFilter->m_bCompletePending = true;
        }
        if (complete)
            m_pFilter->NotifyComplete();
        return S_OK;
    }
    STDMETHODIMP BeginFlush() override
    {
        Lock lock(m_pFilter->m_lock);
        if (m_pFilter->m_bFlushing)
            m_pFilter->Violation("BeginFlush twice");
        m_pFilter->m_bFlushing = true;
        SinkRecord r(SinkRecord::kBeginFlush);
        m_pFilter->Record(std::move(r));
        SetEvent(m_pFilter->m_hReceiveRelease);
        return S_OK;
    }
    STDMETHODIMP EndFlush() override
    {
        Lock lock(m_pFilter->m_lock);
        if (!m_pFilter->m_bFlushing)
            m_pFilter->Violation("EndFlush without BeginFlush");
        m_pFilter->m_bFlushing = false;
        m_pFilter->m_bEndOfStream = false;
        m_pFilter->m_bCompletePending = false;
        m_pFilter->m_bSegment = false;
        ResetEvent(m_pFilter->m_hEndOfStream);
        if (m_pFilter->m_bBlockReceive)
            ResetEvent(m_pFilter->m_hReceiveRelease);
        SinkRecord r(SinkRecord::kEndFlush);
        m_pFilter->Record(std::move(r));
        return S_OK;
    }
    STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override
    {
        Lock lock(m_pFilter->m_lock);
        m_pFilter->m_bSegment = true;
        SinkRecord r(SinkRecord::kNewSegment);
        r.tStart = tStart;
        r.tStop = tStop;
        r.dRate = dRate;
        m_pFilter->Record(std::move(r));
        return S_OK;
    }

    // IMemInputPin
    STDMETHODIMP GetAllocator(IMemAllocator **ppAllocator) override
    {
        if (!ppAllocator)
            return E_POINTER;
        *ppAllocator = nullptr;
        Lock lock(m_pFilter->m_lock);
        if (m_pFilter->m_allocatorKind == SinkAllocator::kNone)
            return VFW_E_NO_ALLOCATOR;
        if (!m_pFilter->m_pOwnAllocator) {
            IMemAllocator *alloc = nullptr;
            HRESULT hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_IMemAllocator, reinterpret_cast<void **>(&alloc));
            if (FAILED(hr))
                return hr;
            if (m_pFilter->m_allocatorKind == SinkAllocator::kCommitted) {
                ALLOCATOR_PROPERTIES want = {1, 16, 1, 0}, got{};
                hr = alloc->SetProperties(&want, &got);
                if (SUCCEEDED(hr))
                    hr = alloc->Commit();
                if (FAILED(hr)) {
                    alloc->Release();
                    return hr;
                }
            }
            m_pFilter->m_pOwnAllocator = alloc;
        }
        *ppAllocator = m_pFilter->m_pOwnAllocator;
        (*ppAllocator)->AddRef();
        return S_OK;
    }
    STDMETHODIMP NotifyAllocator(IMemAllocator *pAllocator, BOOL bReadOnly) override
    {
        if (!pAllocator)
            return E_POINTER;
        Lock lock(m_pFilter->m_lock);
        pAllocator->AddRef();
        if (m_pFilter->m_pAllocator)
            m_pFilter->m_pAllocator->Release();
        m_pFilter->m_pAllocator = pAllocator;
        m_pFilter->m_bReadOnly = bReadOnly;
        m_pFilter->m_notifiedProps = ALLOCATOR_PROPERTIES{};
        pAllocator->GetProperties(&m_pFilter->m_notifiedProps);
        return S_OK;
    }
    STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES *pProps) override
    {
        if (!pProps)
            return E_POINTER;
        Lock lock(m_pFilter->m_lock);
        if (!m_pFilter->m_bHaveRequirements)
            return E_NOTIMPL;
        *pProps = m_pFilter->m_requirements;
        return S_OK;
    }
    STDMETHODIMP Receive(IMediaSample *pSample) override
    {
        if (!pSample)
            return E_POINTER;
        HRESULT hr;
        bool block;
        {
            Lock lock(m_pFilter->m_lock);
            if (m_pFilter->m_State == State_Stopped) {
                ++m_pFilter->m_cWrongState;
                return VFW_E_WRONG_STATE;
            }
            if (m_pFilter->m_bFlushing)
                return S_FALSE;
            if (!m_pFilter->m_bSegment)
                m_pFilter->Violation("Receive before NewSegment");
            if (m_pFilter->m_bEndOfStream)
                m_pFilter->Violation("sample after EndOfStream");
            SinkRecord r(SinkRecord::kSample);
            r.timeResult = pSample->GetTime(&r.tStart, &r.tStop);
            r.bSyncPoint = pSample->IsSyncPoint() == S_OK;
            r.bDiscontinuity = pSample->IsDiscontinuity() == S_OK;
            r.lActual = pSample->GetActualDataLength();
            BYTE *data = nullptr;
            if (SUCCEEDED(pSample->GetPointer(&data)) && data && r.lActual > 0) {
                r.hash = Fnv1a(data, static_cast<size_t>(r.lActual));
                if (m_pFilter->m_bKeepBytes)
                    r.bytes.assign(data, data + r.lActual);
            }
            m_pFilter->Record(std::move(r));
            ++m_pFilter->m_cSamples;
            if (m_pFilter->m_cSamples >= m_pFilter->m_cSampleTarget)
                SetEvent(m_pFilter->m_hSamples);
            hr = m_pFilter->m_receiveResult;
            block = m_pFilter->m_bBlockReceive;
            if (block)
                SetEvent(m_pFilter->m_hReceiveEntered);
        }
        if (block) {
            if (WaitForSingleObject(m_pFilter->m_hReceiveRelease, kBlockSafetyMs) !=
                WAIT_OBJECT_0) {
                Lock lock(m_pFilter->m_lock);
                m_pFilter->Violation("Receive blocked past its safety time-out");
            }
            Lock lock(m_pFilter->m_lock);
            ResetEvent(m_pFilter->m_hReceiveEntered);
        }
        return hr;
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
    STDMETHODIMP ReceiveCanBlock() override { return S_OK; }

private:
    TestSink *m_pFilter;
};

TestSink *TestSink::Create()
{
    TestSink *sink = new (std::nothrow) TestSink();
    if (!sink)
        return nullptr;
    if (!sink->m_pPin || !sink->m_hEndOfStream || !sink->m_hSamples || !sink->m_hReceiveEntered ||
        !sink->m_hReceiveRelease) {
        delete sink;
        return nullptr;
    }
    return sink;
}

TestSink::TestSink()
{
    InitializeCriticalSection(&m_lock);
    m_pPin = new (std::nothrow) InputPin(this);
    m_hEndOfStream = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hSamples = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hReceiveEntered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hReceiveRelease = CreateEventW(nullptr, TRUE, TRUE, nullptr);
}

TestSink::~TestSink()
{
    if (m_pConnected)
        m_pConnected->Release();
    if (m_pAllocator)
        m_pAllocator->Release();
    if (m_pOwnAllocator) {
        m_pOwnAllocator->Decommit();
        m_pOwnAllocator->Release();
    }
    if (m_pClock)
        m_pClock->Release();
    FreeType(m_accept);
    FreeType(m_connectionType);
    delete m_pPin;
    for (HANDLE h : {m_hEndOfStream, m_hSamples, m_hReceiveEntered, m_hReceiveRelease})
        if (h)
            CloseHandle(h);
    DeleteCriticalSection(&m_lock);
}

IPin *TestSink::Pin()
{
    return m_pPin;
}
IMemInputPin *TestSink::MemInputPin()
{
    return m_pPin;
}

void TestSink::AcceptExact(const AM_MEDIA_TYPE &mt)
{
    Lock lock(m_lock);
    FreeType(m_accept);
    CopyType(m_accept, mt);
    m_bAcceptMajorOnly = false;
}

void TestSink::AcceptMajorType(const GUID &major)
{
    Lock lock(m_lock);
    FreeType(m_accept);
    m_accept.majortype = major;
    m_bAcceptMajorOnly = true;
}

void TestSink::SetAllocator(SinkAllocator kind)
{
    Lock lock(m_lock);
    m_allocatorKind = kind;
}

void TestSink::SetRequirements(const ALLOCATOR_PROPERTIES *props)
{
    Lock lock(m_lock);
    m_bHaveRequirements = props != nullptr;
    if (props)
        m_requirements = *props;
}

void TestSink::SetReceiveResult(HRESULT hr)
{
    Lock lock(m_lock);
    m_receiveResult = hr;
}

void TestSink::SetOfferTransport(bool offer)
{
    Lock lock(m_lock);
    m_bOfferTransport = offer;
}

bool TestSink::OffersTransport()
{
    Lock lock(m_lock);
    return m_bOfferTransport;
}

void TestSink::SetKeepBytes(bool keep)
{
    Lock lock(m_lock);
    m_bKeepBytes = keep;
}

void TestSink::SetBlockReceive(bool block)
{
    Lock lock(m_lock);
    m_bBlockReceive = block;
    if (block)
        ResetEvent(m_hReceiveRelease);
    else
        SetEvent(m_hReceiveRelease);
}

void TestSink::ReleaseReceive()
{
    Lock lock(m_lock);
    SetEvent(m_hReceiveRelease);
}

HANDLE TestSink::SamplesEvent(size_t count)
{
    Lock lock(m_lock);
    m_cSampleTarget = count;
    if (m_cSamples >= count)
        SetEvent(m_hSamples);
    else
        ResetEvent(m_hSamples);
    return m_hSamples;
}

bool TestSink::WaitForSamples(size_t count, DWORD timeoutMs)
{
    return WaitForSingleObject(SamplesEvent(count), timeoutMs) == WAIT_OBJECT_0;
}

std::vector<SinkRecord> TestSink::Records()
{
    Lock lock(m_lock);
    return m_records;
}

std::vector<SinkRecord> TestSink::Samples()
{
    Lock lock(m_lock);
    std::vector<SinkRecord> out;
    for (const SinkRecord &r : m_records)
        if (r.kind == SinkRecord::kSample)
            out.push_back(r);
    return out;
}

size_t TestSink::SampleCount()
{
    Lock lock(m_lock);
    return m_cSamples;
}

std::vector<std::string> TestSink::Violations()
{
    Lock lock(m_lock);
    return m_violations;
}

LONG TestSink::WrongStateReceives()
{
    Lock lock(m_lock);
    return m_cWrongState;
}

void TestSink::ClearRecords()
{
    Lock lock(m_lock);
    m_records.clear();
    m_violations.clear();
    m_cSamples = 0;
    m_cWrongState = 0;
    ResetEvent(m_hEndOfStream);
    if (m_cSampleTarget > 0)
        ResetEvent(m_hSamples);
}

bool TestSink::IsConnected()
{
    Lock lock(m_lock);
    return m_pConnected != nullptr;
}

AM_MEDIA_TYPE TestSink::ConnectionType()
{
    Lock lock(m_lock);
    return m_connectionType;
}

IMemAllocator *TestSink::NotifiedAllocator()
{
    Lock lock(m_lock);
    return m_pAllocator;
}

bool TestSink::NotifiedOwnAllocator()
{
    Lock lock(m_lock);
    return m_pAllocator && m_pAllocator == m_pOwnAllocator;
}

BOOL TestSink::NotifiedReadOnly()
{
    Lock lock(m_lock);
    return m_bReadOnly;
}

ALLOCATOR_PROPERTIES TestSink::NotifiedProperties()
{
    Lock lock(m_lock);
    return m_notifiedProps;
}

FILTER_STATE TestSink::State()
{
    Lock lock(m_lock);
    return m_State;
}

bool TestSink::Accepts(const AM_MEDIA_TYPE *pmt)
{
    if (IsEqualGUID(m_accept.majortype, GUID_NULL))
        return false;
    if (m_bAcceptMajorOnly)
        return IsEqualGUID(pmt->majortype, m_accept.majortype);
    return SameType(*pmt, m_accept);
}

void TestSink::Violation(const char *what)
{
    m_violations.emplace_back(what);
}

void TestSink::Record(SinkRecord &&record)
{
    m_records.push_back(std::move(record));
}

void TestSink::NotifyComplete()
{
    IMediaEventSink *sink;
    {
        Lock lock(m_lock);
        sink = m_pEventSink;
    }
    if (sink)
        sink->Notify(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(Filter()));
}

STDMETHODIMP TestSink::QueryInterface(REFIID riid, void **ppv)
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

STDMETHODIMP_(ULONG) TestSink::AddRef()
{
    return InterlockedIncrement(&m_cRef);
}

STDMETHODIMP_(ULONG) TestSink::Release()
{
    LONG c = InterlockedDecrement(&m_cRef);
    if (!c)
        delete this;
    return c;
}

STDMETHODIMP TestSink::GetClassID(CLSID *pClsid)
{
    if (!pClsid)
        return E_POINTER;
    *pClsid = CLSID_TestSink;
    return S_OK;
}

STDMETHODIMP TestSink::Stop()
{
    Lock lock(m_lock);
    m_State = State_Stopped;
    m_bSegment = false;
    m_bEndOfStream = false;
    m_bCompletePending = false;
    // A renderer's stop releases a sample it holds, or the upstream worker could never stop.
    SetEvent(m_hReceiveRelease);
    return S_OK;
}

STDMETHODIMP TestSink::Pause()
{
    Lock lock(m_lock);
    if (m_State == State_Stopped && m_bBlockReceive)
        ResetEvent(m_hReceiveRelease);
    m_State = State_Paused;
    return S_OK;
}

STDMETHODIMP TestSink::Run(REFERENCE_TIME)
{
    bool complete;
    {
        Lock lock(m_lock);
        if (m_State == State_Stopped && m_bBlockReceive)
            ResetEvent(m_hReceiveRelease);
        m_State = State_Running;
        complete = m_bCompletePending;
        m_bCompletePending = false;
    }
    if (complete)
        NotifyComplete();
    return S_OK;
}

STDMETHODIMP TestSink::GetState(DWORD, FILTER_STATE *pState)
{
    if (!pState)
        return E_POINTER;
    Lock lock(m_lock);
    *pState = m_State;
    return S_OK;
}

STDMETHODIMP TestSink::SetSyncSource(IReferenceClock *pClock)
{
    Lock lock(m_lock);
    if (pClock)
        pClock->AddRef();
    if (m_pClock)
        m_pClock->Release();
    m_pClock = pClock;
    return S_OK;
}

STDMETHODIMP TestSink::GetSyncSource(IReferenceClock **ppClock)
{
    if (!ppClock)
        return E_POINTER;
    Lock lock(m_lock);
    *ppClock = m_pClock;
    if (m_pClock)
        m_pClock->AddRef();
    return S_OK;
}

STDMETHODIMP TestSink::EnumPins(IEnumPins **ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = new (std::nothrow) PinEnum(m_pPin, 0);
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP TestSink::FindPin(LPCWSTR Id, IPin **ppPin)
{
    if (!Id || !ppPin)
        return E_POINTER;
    if (wcscmp(Id, L"In") != 0) {
        *ppPin = nullptr;
        return VFW_E_NOT_FOUND;
    }
    *ppPin = m_pPin;
    m_pPin->AddRef();
    return S_OK;
}

STDMETHODIMP TestSink::QueryFilterInfo(FILTER_INFO *pInfo)
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

STDMETHODIMP TestSink::JoinFilterGraph(IFilterGraph *pGraph, LPCWSTR pName)
{
    Lock lock(m_lock);
    m_pGraph = pGraph;
    m_pEventSink = nullptr;
    if (pGraph && SUCCEEDED(pGraph->QueryInterface(IID_IMediaEventSink,
                                                   reinterpret_cast<void **>(&m_pEventSink))))
        m_pEventSink->Release(); // the graph outlives its membership: keep no reference
    m_name = pName ? pName : L"";
    return S_OK;
}

STDMETHODIMP TestSink::QueryVendorInfo(LPWSTR *)
{
    return E_NOTIMPL;
}

STDMETHODIMP_(ULONG) TestSink::GetMiscFlags()
{
    return AM_FILTER_MISC_FLAGS_IS_RENDERER;
}

} // namespace testsupport
