#include "writersink.h"

#include <new>

namespace {

using Lock = platformsink::ScopedLock;

// {8E0F5C31-6A2D-4B7E-A1C9-52D4E7F03B18}: the dumper's sink, never registered.
const CLSID CLSID_WriterSink = {
    0x8e0f5c31, 0x6a2d, 0x4b7e, {0xa1, 0xc9, 0x52, 0xd4, 0xe7, 0xf0, 0x3b, 0x18}};

} // namespace

WriterSink *WriterSink::Create(const GUID &majorType, const wchar_t *pName)
{
    WriterSink *pSink = new (std::nothrow) WriterSink(majorType, pName);
    if (!pSink)
        return nullptr;
    if (!pSink->HasPin() || !pSink->m_hEndOfStream) {
        pSink->Release();
        return nullptr;
    }
    return pSink;
}

WriterSink::WriterSink(const GUID &majorType, const wchar_t *pName)
    : PlatformSink(CLSID_WriterSink, pName), m_majorType(majorType)
{
    m_hEndOfStream = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

WriterSink::~WriterSink()
{
    if (m_hEndOfStream)
        CloseHandle(m_hEndOfStream);
}

void WriterSink::SetWriter(StreamWriter *pWriter)
{
    Lock lock(FilterLock());
    m_pWriter = pWriter;
}

void WriterSink::SetSampleLimit(LONGLONG cLimit)
{
    Lock lock(FilterLock());
    m_cLimit = cLimit;
}

SinkCounts WriterSink::Counts()
{
    Lock lock(FilterLock());
    return m_counts;
}

bool WriterSink::Accepts(const AM_MEDIA_TYPE *pmt)
{
    return pmt->majortype == m_majorType;
}

bool WriterSink::OnStateChange(FILTER_STATE newState)
{
    if (newState == State_Stopped) {
        m_bCompletePending = false;
        return false;
    }
    if (StateLocked() == State_Stopped) {
        // A new run: the counts start again.
        m_counts = SinkCounts{};
        m_bCompleteSent = false;
        ResetEvent(m_hEndOfStream);
        if (newState == State_Paused)
            m_bCompletePending = false;
    }
    if (newState != State_Running || !m_bCompletePending || m_bCompleteSent ||
        !EventSinkLocked())
        return false;
    m_bCompletePending = false;
    m_bCompleteSent = true;
    return true;
}

HRESULT WriterSink::OnReceive(IMediaSample *pSample)
{
    Lock lock(FilterLock());
    if (StateLocked() == State_Stopped)
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
    const AM_MEDIA_TYPE &mt = ConnectionTypeLocked();
    if (mt.formattype == FORMAT_WaveFormatEx && mt.cbFormat >= sizeof(WAVEFORMATEX)) {
        const WAVEFORMATEX *pwfx = reinterpret_cast<const WAVEFORMATEX *>(mt.pbFormat);
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

HRESULT WriterSink::OnEndOfStream()
{
    Lock lock(FilterLock());
    if (!m_bFlushing)
        Complete();
    return S_OK;
}

HRESULT WriterSink::OnBeginFlush()
{
    Lock lock(FilterLock());
    m_bFlushing = true;
    return S_OK;
}

HRESULT WriterSink::OnEndFlush()
{
    Lock lock(FilterLock());
    m_bFlushing = false;
    return S_OK;
}

HRESULT WriterSink::OnNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    Lock lock(FilterLock());
    const bool bBounded = tStop > tStart && tStop < (LONGLONG(1) << 62) && dRate > 0;
    m_tSegmentLength = bBounded ? REFERENCE_TIME(double(tStop - tStart) / dRate) : 0;
    m_cbSegment = 0;
    return S_OK;
}

void WriterSink::Complete()
{
    m_counts.bEndOfStream = true;
    SetEvent(m_hEndOfStream);
    const FILTER_STATE state = StateLocked();
    IMediaEventSink *pEventSink = EventSinkLocked();
    if (state == State_Running && !m_bCompleteSent && pEventSink) {
        m_bCompleteSent = true;
        pEventSink->Notify(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(Filter()));
    } else if (state != State_Running) {
        m_bCompletePending = true;
    }
}
