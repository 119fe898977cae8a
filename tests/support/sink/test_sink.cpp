#include "test_sink.h"

#include <new>

namespace testsupport {
namespace {

using platformsink::CopyType;
using platformsink::FreeType;
using platformsink::SameType;
using Lock = platformsink::ScopedLock;

// {6B1C4E2A-93D1-4F0E-9C55-3A7E21D0B8F4}: a class identifier of the test sink's own.
const CLSID CLSID_TestSink = {
    0x6b1c4e2a, 0x93d1, 0x4f0e, {0x9c, 0x55, 0x3a, 0x7e, 0x21, 0xd0, 0xb8, 0xf4}};

const DWORD kBlockSafetyMs = 10000;

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

TestSink *TestSink::Create()
{
    TestSink *sink = new (std::nothrow) TestSink();
    if (!sink)
        return nullptr;
    if (!sink->HasPin() || !sink->m_hEndOfStream || !sink->m_hSamples || !sink->m_hReceiveEntered ||
        !sink->m_hReceiveRelease) {
        delete sink;
        return nullptr;
    }
    return sink;
}

TestSink::TestSink() : PlatformSink(CLSID_TestSink, L"")
{
    m_hEndOfStream = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hSamples = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hReceiveEntered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hReceiveRelease = CreateEventW(nullptr, TRUE, TRUE, nullptr);
}

TestSink::~TestSink()
{
    if (m_pOwnAllocator) {
        m_pOwnAllocator->Decommit();
        m_pOwnAllocator->Release();
    }
    FreeType(m_accept);
    for (HANDLE h : {m_hEndOfStream, m_hSamples, m_hReceiveEntered, m_hReceiveRelease})
        if (h)
            CloseHandle(h);
}

void TestSink::AcceptExact(const AM_MEDIA_TYPE &mt)
{
    Lock lock(FilterLock());
    FreeType(m_accept);
    CopyType(m_accept, mt);
    m_bAcceptMajorOnly = false;
}

void TestSink::AcceptMajorType(const GUID &major)
{
    Lock lock(FilterLock());
    FreeType(m_accept);
    m_accept.majortype = major;
    m_bAcceptMajorOnly = true;
}

void TestSink::SetAllocator(SinkAllocator kind)
{
    Lock lock(FilterLock());
    m_allocatorKind = kind;
}

void TestSink::SetRequirements(const ALLOCATOR_PROPERTIES *props)
{
    Lock lock(FilterLock());
    m_bHaveRequirements = props != nullptr;
    if (props)
        m_requirements = *props;
}

void TestSink::SetReceiveResult(HRESULT hr)
{
    Lock lock(FilterLock());
    m_receiveResult = hr;
}

void TestSink::SetOfferTransport(bool offer)
{
    Lock lock(FilterLock());
    m_bOfferTransport = offer;
}

bool TestSink::OffersTransport()
{
    Lock lock(FilterLock());
    return m_bOfferTransport;
}

void TestSink::SetKeepBytes(bool keep)
{
    Lock lock(FilterLock());
    m_bKeepBytes = keep;
}

void TestSink::SetHashBytes(bool hash)
{
    Lock lock(FilterLock());
    m_bHashBytes = hash;
}

void TestSink::SetBlockReceive(bool block)
{
    Lock lock(FilterLock());
    m_bBlockReceive = block;
    if (block)
        ResetEvent(m_hReceiveRelease);
    else
        SetEvent(m_hReceiveRelease);
}

void TestSink::ReleaseReceive()
{
    Lock lock(FilterLock());
    SetEvent(m_hReceiveRelease);
}

HANDLE TestSink::SamplesEvent(size_t count)
{
    Lock lock(FilterLock());
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
    Lock lock(FilterLock());
    return m_records;
}

std::vector<SinkRecord> TestSink::Samples()
{
    Lock lock(FilterLock());
    std::vector<SinkRecord> out;
    for (const SinkRecord &r : m_records)
        if (r.kind == SinkRecord::kSample)
            out.push_back(r);
    return out;
}

size_t TestSink::SampleCount()
{
    Lock lock(FilterLock());
    return m_cSamples;
}

std::vector<std::string> TestSink::Violations()
{
    Lock lock(FilterLock());
    return m_violations;
}

LONG TestSink::WrongStateReceives()
{
    Lock lock(FilterLock());
    return m_cWrongState;
}

void TestSink::ClearRecords()
{
    Lock lock(FilterLock());
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
    Lock lock(FilterLock());
    return IsConnectedLocked();
}

AM_MEDIA_TYPE TestSink::ConnectionType()
{
    Lock lock(FilterLock());
    return ConnectionTypeLocked();
}

IMemAllocator *TestSink::NotifiedAllocator()
{
    Lock lock(FilterLock());
    return AllocatorLocked();
}

bool TestSink::NotifiedOwnAllocator()
{
    Lock lock(FilterLock());
    return AllocatorLocked() && AllocatorLocked() == m_pOwnAllocator;
}

BOOL TestSink::NotifiedReadOnly()
{
    Lock lock(FilterLock());
    return ReadOnlyLocked();
}

ALLOCATOR_PROPERTIES TestSink::NotifiedProperties()
{
    Lock lock(FilterLock());
    return m_notifiedProps;
}

FILTER_STATE TestSink::State()
{
    Lock lock(FilterLock());
    return StateLocked();
}

void TestSink::Violation(const char *what)
{
    m_violations.emplace_back(what);
}

void TestSink::Record(SinkRecord &&record)
{
    m_records.push_back(std::move(record));
}

bool TestSink::Accepts(const AM_MEDIA_TYPE *pmt)
{
    if (IsEqualGUID(m_accept.majortype, GUID_NULL))
        return false;
    if (m_bAcceptMajorOnly)
        return IsEqualGUID(pmt->majortype, m_accept.majortype);
    return SameType(*pmt, m_accept);
}

HRESULT TestSink::CheckConnection(IPin *pConnector, const AM_MEDIA_TYPE *pmt)
{
    PIN_DIRECTION dir = PINDIR_INPUT;
    if (FAILED(pConnector->QueryDirection(&dir)) || dir != PINDIR_OUTPUT)
        return VFW_E_INVALID_DIRECTION;
    return Accepts(pmt) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT TestSink::EnumTypes(IEnumMediaTypes **ppEnum)
{
    const bool exact = !m_bAcceptMajorOnly && !IsEqualGUID(m_accept.majortype, GUID_NULL);
    return NewTypeEnum(exact ? &m_accept : nullptr, ppEnum);
}

bool TestSink::OnStateChange(FILTER_STATE newState)
{
    if (newState == State_Stopped) {
        m_bSegment = false;
        m_bEndOfStream = false;
        m_bCompletePending = false;
        // A renderer's stop releases a sample it holds, or the upstream worker could never stop.
        SetEvent(m_hReceiveRelease);
        return false;
    }
    if (StateLocked() == State_Stopped) {
        // An end-of-stream that reached the stopped sink was the old pass's (the graph stops
        // renderers before sources): the new pass starts without it, as a renderer's does.
        m_bEndOfStream = false;
        m_bCompletePending = false;
        if (m_bBlockReceive)
            ResetEvent(m_hReceiveRelease);
    }
    if (newState != State_Running)
        return false;
    const bool complete = m_bCompletePending;
    m_bCompletePending = false;
    return complete;
}

HRESULT TestSink::OnGetAllocator(IMemAllocator **ppAllocator)
{
    if (m_allocatorKind == SinkAllocator::kNone)
        return VFW_E_NO_ALLOCATOR;
    if (!m_pOwnAllocator) {
        IMemAllocator *alloc = nullptr;
        HRESULT hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IMemAllocator, reinterpret_cast<void **>(&alloc));
        if (FAILED(hr))
            return hr;
        if (m_allocatorKind == SinkAllocator::kCommitted) {
            ALLOCATOR_PROPERTIES want = {1, 16, 1, 0}, got{};
            hr = alloc->SetProperties(&want, &got);
            if (SUCCEEDED(hr))
                hr = alloc->Commit();
            if (FAILED(hr)) {
                alloc->Release();
                return hr;
            }
        }
        m_pOwnAllocator = alloc;
    }
    *ppAllocator = m_pOwnAllocator;
    (*ppAllocator)->AddRef();
    return S_OK;
}

void TestSink::OnNotifyAllocator(IMemAllocator *pAllocator, BOOL)
{
    m_notifiedProps = ALLOCATOR_PROPERTIES{};
    pAllocator->GetProperties(&m_notifiedProps);
}

HRESULT TestSink::OnGetAllocatorRequirements(ALLOCATOR_PROPERTIES *pProps)
{
    if (!m_bHaveRequirements)
        return E_NOTIMPL;
    *pProps = m_requirements;
    return S_OK;
}

HRESULT TestSink::OnReceive(IMediaSample *pSample)
{
    HRESULT hr;
    bool block;
    {
        Lock lock(FilterLock());
        if (StateLocked() == State_Stopped) {
            ++m_cWrongState;
            return VFW_E_WRONG_STATE;
        }
        if (m_bFlushing)
            return S_FALSE;
        if (!m_bSegment)
            Violation("Receive before NewSegment");
        if (m_bEndOfStream)
            Violation("sample after EndOfStream");
        SinkRecord r(SinkRecord::kSample);
        r.timeResult = pSample->GetTime(&r.tStart, &r.tStop);
        r.bSyncPoint = pSample->IsSyncPoint() == S_OK;
        r.bDiscontinuity = pSample->IsDiscontinuity() == S_OK;
        r.lActual = pSample->GetActualDataLength();
        BYTE *data = nullptr;
        if (SUCCEEDED(pSample->GetPointer(&data)) && data && r.lActual > 0) {
            if (m_bHashBytes)
                r.hash = Fnv1a(data, static_cast<size_t>(r.lActual));
            if (m_bKeepBytes)
                r.bytes.assign(data, data + r.lActual);
        }
        Record(std::move(r));
        ++m_cSamples;
        if (m_cSamples >= m_cSampleTarget)
            SetEvent(m_hSamples);
        hr = m_receiveResult;
        block = m_bBlockReceive;
        if (block)
            SetEvent(m_hReceiveEntered);
    }
    if (block) {
        if (WaitForSingleObject(m_hReceiveRelease, kBlockSafetyMs) != WAIT_OBJECT_0) {
            Lock lock(FilterLock());
            Violation("Receive blocked past its safety time-out");
        }
        Lock lock(FilterLock());
        ResetEvent(m_hReceiveEntered);
    }
    return hr;
}

HRESULT TestSink::OnEndOfStream()
{
    bool complete = false;
    {
        Lock lock(FilterLock());
        if (m_bEndOfStream)
            Violation("EndOfStream twice");
        if (m_bFlushing)
            Violation("EndOfStream while flushing");
        m_bEndOfStream = true;
        Record(SinkRecord(SinkRecord::kEndOfStream));
        SetEvent(m_hEndOfStream);
        if (StateLocked() == State_Running)
            complete = true;
        else
            m_bCompletePending = true;
    }
    if (complete)
        NotifyComplete();
    return S_OK;
}

HRESULT TestSink::OnBeginFlush()
{
    Lock lock(FilterLock());
    if (m_bFlushing)
        Violation("BeginFlush twice");
    m_bFlushing = true;
    Record(SinkRecord(SinkRecord::kBeginFlush));
    SetEvent(m_hReceiveRelease);
    return S_OK;
}

HRESULT TestSink::OnEndFlush()
{
    Lock lock(FilterLock());
    if (!m_bFlushing)
        Violation("EndFlush without BeginFlush");
    m_bFlushing = false;
    m_bEndOfStream = false;
    m_bCompletePending = false;
    m_bSegment = false;
    ResetEvent(m_hEndOfStream);
    if (m_bBlockReceive)
        ResetEvent(m_hReceiveRelease);
    Record(SinkRecord(SinkRecord::kEndFlush));
    return S_OK;
}

HRESULT TestSink::OnNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    Lock lock(FilterLock());
    m_bSegment = true;
    SinkRecord r(SinkRecord::kNewSegment);
    r.tStart = tStart;
    r.tStop = tStop;
    r.dRate = dRate;
    Record(std::move(r));
    return S_OK;
}

} // namespace testsupport
