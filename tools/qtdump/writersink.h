#pragma once
// The sink filter at the end of each of the dumper's pins: one input pin that takes any media
// type of one major type, hands every sample's bytes to a StreamWriter on the streaming
// thread, and keeps the counts the progress line and the summary show. It joins the graph as
// a renderer (so the graph manager expects EC_COMPLETE from it) and sends EC_COMPLETE at
// end-of-stream, or once it has taken the number of samples it was limited to. Like a
// renderer it plays only the segment it was given: video frames that start at or after the
// segment's stop, and PCM past it, are counted but not written.
//
// The tests' sink is not used here: it keeps every sample in memory and cannot be derived
// from, and a shipped program does not link test support code.

#include <windows.h>
#include <dshow.h>

#include <string>

// Where a sink's bytes go; called on the streaming thread, one call at a time.
class StreamWriter {
public:
    virtual ~StreamWriter() = default;
    virtual HRESULT Write(const BYTE *pData, long cbData) = 0;
};

struct SinkCounts {
    LONGLONG cSamples = 0; // samples written (frames for video, buffers for sound)
    LONGLONG cBytes = 0;   // bytes written
    LONGLONG cDiscontinuities = 0;
    LONGLONG cbClipped = 0;       // delivered past the segment's stop and not written
    REFERENCE_TIME tLastStop = 0; // stream time of the end of the last sample
    bool bEndOfStream = false;    // end-of-stream arrived, or the sample limit was reached
    HRESULT hrWrite = S_OK;       // the first failure of the writer
};

class WriterSink : public IBaseFilter, public IAMFilterMiscFlags {
public:
    // One reference, the caller's; null on failure.
    static WriterSink *Create(const GUID &majorType, const wchar_t *pName);

    IPin *Pin();
    // Set before running; the writer must outlive the streaming.
    void SetWriter(StreamWriter *pWriter);
    void SetSampleLimit(LONGLONG cLimit); // 0: no limit
    // The connection's media type (a shallow view: valid while connected).
    const AM_MEDIA_TYPE &ConnectionType() const { return m_mt; }
    SinkCounts Counts();
    HANDLE EndOfStreamEvent() const { return m_hEndOfStream; }

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

private:
    class InputPin;
    friend class InputPin;

    WriterSink(const GUID &majorType, const wchar_t *pName);
    virtual ~WriterSink();
    WriterSink(const WriterSink &) = delete;
    WriterSink &operator=(const WriterSink &) = delete;

    HRESULT ReceiveSample(IMediaSample *pSample);
    long ClipToSegment(IMediaSample *pSample, long cb); // under m_lock
    void EndOfStream();
    void Complete(); // under m_lock

    LONG m_cRef = 1;
    InputPin *m_pPin = nullptr;
    GUID m_majorType;
    std::wstring m_name;

    CRITICAL_SECTION m_lock; // everything below
    FILTER_STATE m_state = State_Stopped;
    IFilterGraph *m_pGraph = nullptr;        // the graph holds us: no reference back
    IMediaEventSink *m_pEventSink = nullptr; // likewise
    IReferenceClock *m_pClock = nullptr;     // holds a reference
    IPin *m_pConnected = nullptr;            // holds a reference
    AM_MEDIA_TYPE m_mt{};                    // owns its format block
    IMemAllocator *m_pAllocator = nullptr;   // holds a reference
    StreamWriter *m_pWriter = nullptr;
    LONGLONG m_cLimit = 0;
    REFERENCE_TIME m_tSegmentLength = 0; // from NewSegment; 0 when the segment has no stop
    LONGLONG m_cbSegment = 0;            // PCM bytes written in this segment
    bool m_bFlushing = false;
    bool m_bCompleteSent = false;
    bool m_bCompletePending = false; // end-of-stream while paused
    SinkCounts m_counts;
    HANDLE m_hEndOfStream = nullptr; // manual reset
};
