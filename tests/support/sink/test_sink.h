#pragma once
// A renderer-like sink filter for streaming tests, written on the platform's interfaces alone
// (no framework code), so that it judges the framework from outside.
//
// It has one input pin. It accepts the media type it is told to (an exact match or any type of
// a major type), records the connection, every sample and every stream notification in arrival
// order, and checks their order ("NewSegment before Receive", "no sample after EndOfStream"),
// keeping each breach as a violation. It can supply an allocator of its own, state allocator
// requirements, refuse samples with S_FALSE or hold them in Receive until released. Events let
// tests wait with time-outs. It joins a filter graph like a renderer: it reports itself as one
// (IAMFilterMiscFlags) and sends EC_COMPLETE when end-of-stream arrives while running.
//
// The filter and pin plumbing is the shared platform sink's; the object starts with one
// reference, held by whoever created it.

#include "platform_sink.h"

#include <windows.h>
#include <dshow.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// FNV-1a over a byte range, the hash kept for every sample.
uint32_t Fnv1a(const BYTE *data, size_t size);

struct SinkRecord {
    enum Kind { kNewSegment, kSample, kBeginFlush, kEndFlush, kEndOfStream };
    explicit SinkRecord(Kind k) : kind(k) {}
    Kind kind;
    // kNewSegment: the segment; kSample: the sample's times (timeResult says which were set).
    REFERENCE_TIME tStart = 0;
    REFERENCE_TIME tStop = 0;
    double dRate = 0.0;
    HRESULT timeResult = S_OK; // IMediaSample::GetTime's answer
    bool bSyncPoint = false;
    bool bDiscontinuity = false;
    long lActual = 0;
    uint32_t hash = 0;
    std::vector<BYTE> bytes; // only when the sink keeps bytes
};

// Where the sink's GetAllocator answer comes from.
enum class SinkAllocator {
    kNone,     // VFW_E_NO_ALLOCATOR: the upstream pin must bring its own
    kOwn,      // a fresh CLSID_MemoryAllocator
    kCommitted // a CLSID_MemoryAllocator already committed, so SetProperties refuses it
};

class TestSink : public platformsink::PlatformSink {
public:
    // Creates a sink with one reference; null on failure.
    static TestSink *Create();

    // Configuration; set before connecting or streaming.
    void AcceptExact(const AM_MEDIA_TYPE &mt); // the one type accepted (and enumerated)
    void AcceptMajorType(const GUID &major);   // any type of this major type
    void SetAllocator(SinkAllocator kind);
    void SetRequirements(const ALLOCATOR_PROPERTIES *props); // null: E_NOTIMPL (none stated)
    void SetReceiveResult(HRESULT hr);
    void SetKeepBytes(bool keep);
    // Whether each sample's bytes are hashed (on by default); a benchmark turns it off so that
    // the sink costs no more per sample than a renderer's hand-off.
    void SetHashBytes(bool hash);
    // Whether the pin answers for IMemInputPin (a pin without it cannot take samples).
    void SetOfferTransport(bool offer);
    // While set, Receive records the sample and then waits until ReleaseReceive, Stop,
    // BeginFlush or a 10 s safety time-out (a violation).
    void SetBlockReceive(bool block);
    void ReleaseReceive();

    // Waiting: manual-reset events.
    HANDLE EndOfStreamEvent() const { return m_hEndOfStream; }
    HANDLE ReceiveEnteredEvent() const { return m_hReceiveEntered; } // a Receive is blocked
    // Set once at least count samples have arrived (one count at a time: each call resets it).
    HANDLE SamplesEvent(size_t count);
    // True once at least count samples have arrived, false after timeoutMs.
    bool WaitForSamples(size_t count, DWORD timeoutMs);

    // What was recorded (copies, taken under the sink's lock).
    std::vector<SinkRecord> Records();
    std::vector<SinkRecord> Samples();
    size_t SampleCount();
    std::vector<std::string> Violations();
    LONG WrongStateReceives(); // samples refused because the sink was stopped
    void ClearRecords();       // records, violations and the end-of-stream event

    bool IsConnected();
    AM_MEDIA_TYPE ConnectionType();     // a shallow copy: do not free the format block
    IMemAllocator *NotifiedAllocator(); // no reference added; null before NotifyAllocator
    bool NotifiedOwnAllocator();        // the notified allocator is the one the sink supplied
    BOOL NotifiedReadOnly();
    ALLOCATOR_PROPERTIES NotifiedProperties(); // the allocator's properties at NotifyAllocator
    FILTER_STATE State();
    // RefCount() comes with the platform sink.

private:
    TestSink();
    ~TestSink() override;

    // PlatformSink
    bool Accepts(const AM_MEDIA_TYPE *pmt) override;
    HRESULT CheckConnection(IPin *pConnector, const AM_MEDIA_TYPE *pmt) override;
    HRESULT EnumTypes(IEnumMediaTypes **ppEnum) override;
    bool OffersTransport() override;
    bool OnStateChange(FILTER_STATE newState) override;
    HRESULT OnGetAllocator(IMemAllocator **ppAllocator) override;
    void OnNotifyAllocator(IMemAllocator *pAllocator, BOOL bReadOnly) override;
    HRESULT OnGetAllocatorRequirements(ALLOCATOR_PROPERTIES *pProps) override;
    bool CanBlockInReceive() override { return true; }
    HRESULT OnReceive(IMediaSample *pSample) override;
    HRESULT OnEndOfStream() override;
    HRESULT OnBeginFlush() override;
    HRESULT OnEndFlush() override;
    HRESULT OnNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

    void Violation(const char *what);
    void Record(SinkRecord &&record);

    // Everything below is guarded by the filter's lock; the events are signalled under it.
    AM_MEDIA_TYPE m_accept{}; // owns its format block
    bool m_bAcceptMajorOnly = false;
    SinkAllocator m_allocatorKind = SinkAllocator::kNone;
    bool m_bHaveRequirements = false;
    ALLOCATOR_PROPERTIES m_requirements{};
    HRESULT m_receiveResult = S_OK;
    bool m_bKeepBytes = false;
    bool m_bHashBytes = true;
    bool m_bOfferTransport = true;
    bool m_bBlockReceive = false;

    IMemAllocator *m_pOwnAllocator = nullptr; // the one handed out; holds a reference
    ALLOCATOR_PROPERTIES m_notifiedProps{};

    // Stream order state.
    bool m_bSegment = false; // a NewSegment arrived since the last stop or flush end
    bool m_bEndOfStream = false;
    bool m_bFlushing = false;
    bool m_bCompletePending = false; // end-of-stream arrived while paused

    std::vector<SinkRecord> m_records;
    size_t m_cSamples = 0;
    std::vector<std::string> m_violations;
    LONG m_cWrongState = 0;

    HANDLE m_hEndOfStream = nullptr;
    HANDLE m_hSamples = nullptr; // manual reset: m_cSampleTarget samples have arrived
    size_t m_cSampleTarget = 0;
    HANDLE m_hReceiveEntered = nullptr;
    HANDLE m_hReceiveRelease = nullptr;
};

} // namespace testsupport
