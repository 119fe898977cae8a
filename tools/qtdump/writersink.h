#pragma once
// The sink filter at the end of each of the dumper's pins: one input pin that takes any media
// type of one major type, hands every sample's bytes to a StreamWriter on the streaming
// thread, and keeps the counts the progress line and the summary show. It joins the graph as
// a renderer (so the graph manager expects EC_COMPLETE from it) and sends EC_COMPLETE at
// end-of-stream, or once it has taken the number of samples it was limited to. Like a
// renderer it plays only the segment it was given: video frames that start at or after the
// segment's stop, and PCM past it, are counted but not written.
//
// The filter and pin plumbing is the shared platform sink's (the tests' sink derives from it
// too); a shipped program does not link test support code.

#include "platform_sink.h"

#include <windows.h>
#include <dshow.h>

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

class WriterSink : public platformsink::PlatformSink {
public:
    // One reference, the caller's; null on failure.
    static WriterSink *Create(const GUID &majorType, const wchar_t *pName);

    // Set before running; the writer must outlive the streaming.
    void SetWriter(StreamWriter *pWriter);
    void SetSampleLimit(LONGLONG cLimit); // 0: no limit
    // The connection's media type (a shallow view: valid while connected).
    const AM_MEDIA_TYPE &ConnectionType() const { return ConnectionTypeLocked(); }
    SinkCounts Counts();
    HANDLE EndOfStreamEvent() const { return m_hEndOfStream; }

private:
    WriterSink(const GUID &majorType, const wchar_t *pName);
    ~WriterSink() override;

    // PlatformSink
    bool Accepts(const AM_MEDIA_TYPE *pmt) override;
    bool OnStateChange(FILTER_STATE newState) override;
    bool CanBlockInReceive() override { return false; }
    HRESULT OnReceive(IMediaSample *pSample) override;
    HRESULT OnEndOfStream() override;
    HRESULT OnBeginFlush() override;
    HRESULT OnEndFlush() override;
    HRESULT OnNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

    long ClipToSegment(IMediaSample *pSample, long cb); // under the lock
    void Complete();                                    // under the lock

    const GUID m_majorType;

    // Everything below is guarded by the filter's lock.
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
