// A source filter on the framework (CSource) whose pins (CSourceStream) deliver a known byte
// pattern, so that tests can drive the framework through real graphs and check what arrived.
//
// Each pin is configured on creation: the media type it offers, the number of samples of a
// stream, the sample and buffer sizes, a sample at which FillBuffer answers a given result,
// and a number of first OnThreadCreate calls that fail. Sample k of a stream holds
// PatternByte(k, i) at byte i and spans [k, k + 1) sample durations; the first sample of each
// delivery pass is a discontinuity, and every pass begins with a NewSegment. A pass that ends
// early (downstream refused a sample) resumes with the next sample on the next pass.
//
// The filter is created with one reference; its pins' references are the filter's.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "framework/mediatype.h"
#include "framework/source.h"
#include "framework/sourcestream.h"

namespace testsupport {

extern const CLSID CLSID_PatternSource;

inline BYTE PatternByte(LONG lSample, LONG lOffset)
{
    return static_cast<BYTE>(lSample * 31 + lOffset * 7 + 1);
}

struct PatternConfig {
    PatternConfig();

    CMediaType mediaType;      // the one type offered (default: 8x8 RGB32 video)
    LONG cSamples;             // samples per stream; -1 for endless
    LONG cbSample;             // bytes written into each sample
    LONG cBuffers;             // buffers asked of the allocator (at least the request)
    LONG cbAlign;              // alignment asked; -1 keeps what the pin was offered
    REFERENCE_TIME rtDuration; // of one sample
    DWORD dwFillDelayMs;       // a pause in each FillBuffer, to pace endless streams
    LONG iFailSample;          // sample at which FillBuffer answers hrFill; -1 for none
    HRESULT hrFill;
    LONG cThreadCreateFailures; // first OnThreadCreate calls that answer hrThreadCreate
    HRESULT hrThreadCreate;
};

class CPatternStream : public CSourceStream {
public:
    CPatternStream(HRESULT *phr, CSource *pFilter, LPCWSTR pName, const PatternConfig &config);
    using CSourceStream::GetMediaType;

    // What the framework did to the pin.
    ALLOCATOR_PROPERTIES OfferedProperties(); // the request DecideBufferSize last received
    LONG ThreadCreates() const { return m_cThreadCreate; }
    LONG ThreadDestroys() const { return m_cThreadDestroy; }
    LONG StartPlays() const { return m_cStartPlay; }
    LONG NextSample();

    // IQualityControl: quality messages are not the framework's business.
    STDMETHODIMP Notify(IBaseFilter *pSelf, Quality q) override;
    STDMETHODIMP SetSink(IQualityControl *piqc) override;

protected:
    HRESULT FillBuffer(IMediaSample *pSample) override;
    HRESULT OnThreadCreate() override;
    HRESULT OnThreadDestroy() override;
    HRESULT OnThreadStartPlay() override;
    HRESULT GetMediaType(CMediaType *pMediaType) override;
    HRESULT DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *pProps) override;

private:
    PatternConfig m_config;
    // Guards the stream position and the counters below; taken on the worker only briefly.
    CCritSec m_csPattern;
    LONG m_iNext;          // next sample of the stream
    bool m_bDiscontinuity; // the next sample starts a pass
    LONG m_cCreateFailuresLeft;
    ALLOCATOR_PROPERTIES m_offered;
    volatile LONG m_cThreadCreate;
    volatile LONG m_cThreadDestroy;
    volatile LONG m_cStartPlay;
};

class CPatternSource : public CSource {
public:
    // A filter with one reference and no pins; null for want of memory.
    static CPatternSource *Create();
    // Adds a pin named pName; it belongs to the filter.
    HRESULT AddStream(const PatternConfig &config, LPCWSTR pName, CPatternStream **ppStream);

    CPatternStream *Stream(int n) { return static_cast<CPatternStream *>(GetPin(n)); }
    IBaseFilter *Filter() { return this; }

    // Creation function for a class table (with a count of 0; no aggregation).
    static CUnknown *CALLBACK CreateInstance(LPUNKNOWN pUnkOuter, HRESULT *phr);

private:
    CPatternSource();
};

} // namespace testsupport
