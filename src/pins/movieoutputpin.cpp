// CMovieOutputPin: binding to the track, the delivery step, quality messages, the format codes.
#include "pins/movieoutputpin.h"

#include <algorithm>
#include <cstring>

#include <uuids.h>
#include <vfwmsgs.h>

#include "filter/moviesourcefilter.h"
#include "pins/pinarithmetic.h"
#include "quicktime/QuickTime.h"

namespace {

// Sound media slower than this are served at 44100 units per second on the per-track path.
constexpr long kMinimumSoundTimeScale = 8000;
constexpr long kRaisedSoundTimeScale = 44100;

}  // namespace

CMovieOutputPin::CMovieOutputPin(LPCTSTR pObjectName, HRESULT *phr, CMovieSourceFilter *pFilter,
                                 LPCWSTR pPinName, Movie movie, long lTrackIndex,
                                 GUID majorType, GUID subType, GUID formatType,
                                 DWORD dwSourceFormat, DWORD dwOutputFormat)
    : CSourceStream(pObjectName, phr, pFilter, pPinName),
      m_dPlaybackRate(1.0),
      m_dwSeekingCaps(AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards |
                      AM_SEEKING_CanSeekBackwards | AM_SEEKING_CanGetCurrentPos |
                      AM_SEEKING_CanGetStopPos | AM_SEEKING_CanGetDuration),
      m_TimeFormat(TIME_FORMAT_MEDIA_TIME),
      m_bDiscontinuity(FALSE),
      m_lTimeScale(0),
      m_lDuration(0),
      m_lCurrent(0),
      m_lStart(0),
      m_lStop(0),
      m_lElapsed(0),
      m_lDelivered(0),
      m_lChunkDuration(0),
      m_lChunkBytes(0),
      m_Movie(movie),
      m_Media(nullptr),
      m_Track(nullptr),
      m_dFrameRate(0.0),
      m_dwSourceFormat(dwSourceFormat),
      m_dwOutputFormat(dwOutputFormat),
      m_pMovieFilter(pFilter),
      m_lMediaTimeScale(0),
      m_bMovieTimeUnits(false),
      m_bFrameTimed(false)
{
    CAutoLock lock(&m_PinLock);
    m_mtOutput.SetType(&majorType);
    m_mtOutput.SetSubtype(&subType);
    m_mtOutput.SetFormatType(&formatType);
    m_mtOutput.SetTemporalCompression(FALSE);

    const bool bVideo = IsEqualGUID(majorType, MEDIATYPE_Video) != FALSE;
    const bool bAudio = IsEqualGUID(majorType, MEDIATYPE_Audio) != FALSE;
    if (!movie || (!bVideo && !bAudio))
        return;

    m_Track = GetMovieIndTrackType(movie, lTrackIndex, bVideo ? QTFourCC("vide") : QTFourCC("soun"),
                                   1);
    m_Media = m_Track ? GetTrackMedia(m_Track) : nullptr;
    if (m_Media)
        m_lMediaTimeScale = GetMediaTimeScale(m_Media);

    const long lMovieTimeScale = GetMovieTimeScale(movie);
    if (bVideo || pFilter->m_bQuickTime71) {
        m_bMovieTimeUnits = true;
        m_lTimeScale = lMovieTimeScale;
        m_lDuration = GetMovieDuration(movie);
    } else if (m_Media) {
        m_lTimeScale = m_lMediaTimeScale;
        m_lDuration = GetMediaDuration(m_Media);
        if (m_lTimeScale < kMinimumSoundTimeScale) {
            // Rescaled exactly: whole seconds would drop up to a second at the end.
            const LONGLONG llDuration =
                m_lTimeScale > 0 ? LONGLONG(m_lDuration) * kRaisedSoundTimeScale / m_lTimeScale
                                 : 0;
            m_lDuration = SaturateToLong(llDuration);
            m_lTimeScale = kRaisedSoundTimeScale;
        }
    }
    // A movie or track without a usable scale serves an empty stream; no arithmetic divides
    // by it.
    if (m_lTimeScale <= 0) {
        m_lTimeScale = 1;
        m_lDuration = 0;
    }
    if (m_lDuration < 0)
        m_lDuration = 0;

    if (m_Media && m_lDuration > 0 && lMovieTimeScale > 0)
        m_dFrameRate = double(GetMediaSampleCount(m_Media)) * double(lMovieTimeScale) /
                       double(m_lDuration);
    if (!m_bMovieTimeUnits && m_lDuration > 0 && lMovieTimeScale > 0) {
        // The track's edits may show less of its media than there is (an AAC track's priming):
        // the stream lasts no longer than the track, or the graph never reaches its end.
        const LONGLONG llTrack = GetTrackDuration(m_Track);
        const LONGLONG llEdited =
            (llTrack * m_lTimeScale + lMovieTimeScale - 1) / lMovieTimeScale;
        if (llTrack > 0 && llEdited < m_lDuration)
            m_lDuration = long(llEdited);
    }
    m_lStop = m_lDuration;
}

CMovieOutputPin::~CMovieOutputPin()
{
    CAutoLock lock(&m_PinLock);
    CAutoLock qtLock(&m_pMovieFilter->m_csQuickTime);
    if (m_Media) {
        DisposeTrackMedia(m_Media);
        m_Media = nullptr;
    }
    if (m_Track) {
        DisposeMovieTrack(m_Track);
        m_Track = nullptr;
    }
}

STDMETHODIMP CMovieOutputPin::NonDelegatingQueryInterface(REFIID riid, void **ppv)
{
    if (IsEqualIID(riid, IID_IMovieStreamInfo)) {
        if (!ppv)
            return E_POINTER;
        return GetInterface(static_cast<IMovieStreamInfo *>(this), ppv);
    }
    if (IsEqualIID(riid, IID_IMediaSeeking)) {
        if (!ppv)
            return E_POINTER;
        return GetInterface(static_cast<IMediaSeeking *>(this), ppv);
    }
    return CSourceStream::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CMovieOutputPin::GetMediaType(CMediaType *pmt)
{
    if (!pmt)
        return E_POINTER;
    CAutoLock lock(m_pFilter->pStateLock());
    if (FAILED(BuildMediaType()))
        return VFW_S_NO_MORE_ITEMS;
    return pmt->Set(m_mtOutput);
}

HRESULT CMovieOutputPin::OnThreadCreate()
{
    CAutoLock lock(&m_PinLock);
    m_lElapsed = 0;
    m_lDelivered = 0;
    m_lCurrent = m_lStart;
    CAutoLock qtLock(&m_pMovieFilter->m_csQuickTime);
    return m_pMovieFilter->m_bQuickTime71 ? PrepareMovieStreaming() : PrepareTrackStreaming();
}

HRESULT CMovieOutputPin::OnThreadStartPlay()
{
    REFERENCE_TIME rtStart, rtStop;
    double dRate;
    {
        CAutoLock lock(&m_PinLock);
        m_bDiscontinuity = TRUE;
        m_lElapsed = 0;
        m_lDelivered = 0;
        m_lCurrent = m_lStart;
        rtStart = ToReference(m_lStart);
        rtStop = ToReference(m_lStop);
        dRate = m_dPlaybackRate;
    }
    // Downstream is called without the pin lock: a seek waiting for it must not block this.
    DeliverNewSegment(rtStart, rtStop, dRate);
    return S_OK;
}

HRESULT CMovieOutputPin::FillBuffer(IMediaSample *pSample)
{
    if (!pSample)
        return E_POINTER;
    const long lSize = pSample->GetSize();
    BYTE *pBuffer = nullptr;
    const HRESULT hrPointer = pSample->GetPointer(&pBuffer);

    CAutoLock lock(&m_PinLock);
    if (m_lCurrent >= m_lStop)
        return S_FALSE;
    if (FAILED(hrPointer) || !pBuffer || lSize <= 0)
        return S_FALSE;

    m_lChunkDuration = 0;
    m_lChunkBytes = 0;
    const HRESULT hr = m_pMovieFilter->m_bQuickTime71 ? FillFromMovie(pSample, pBuffer, lSize)
                                                      : FillFromTrack(pSample, pBuffer, lSize);
    // A fill that produced nothing would be delivered again and again: end the stream.
    if (hr != S_OK || m_lChunkDuration <= 0 || m_lChunkBytes < 0 || m_lChunkBytes > lSize)
        return S_FALSE;
    // The fill wrote its data; the rest of the buffer is cleared, so that the frame's bytes
    // are written once rather than zeroed and then copied over.
    std::memset(pBuffer + m_lChunkBytes, 0, size_t(lSize - m_lChunkBytes));

    REFERENCE_TIME rtStart = REFERENCE_TIME(double(ToReference(m_lElapsed)) / m_dPlaybackRate);
    const LONG lLength = LONG(double(ToReference(m_lChunkDuration)) / m_dPlaybackRate);
    REFERENCE_TIME rtStop = rtStart + lLength;
    pSample->SetTime(&rtStart, &rtStop);

    m_lElapsed += m_lChunkDuration;
    m_lDelivered = m_lElapsed;
    m_lCurrent += m_lChunkDuration;
    pSample->SetActualDataLength(m_lChunkBytes);
    pSample->SetSyncPoint(TRUE);
    if (m_bDiscontinuity) {
        pSample->SetDiscontinuity(TRUE);
        m_bDiscontinuity = FALSE;
    }
    return S_OK;
}

STDMETHODIMP CMovieOutputPin::Notify(IBaseFilter *, Quality q)
{
    if (q.Late > 0)
        MOVIE_PIN_TRACE("---------------- LATE SAMPLES ----------\n");
    else if (q.Late < 0)
        MOVIE_PIN_TRACE("---------------- EARLY SAMPLES ----------\n");

    CAutoLock lock(&m_PinLock);
    LONGLONG llShift = ToPinUnits(q.Late);
    // An early report moves the clock back, but never before the end of the last delivered
    // sample: time stamps within a segment must neither go backwards nor overlap. So it can
    // take back what late reports skipped, no more.
    if (llShift < 0)
        llShift = std::max<LONGLONG>(llShift, LONGLONG(m_lDelivered) - m_lElapsed);
    m_lCurrent = SaturateToLong(m_lCurrent + llShift);
    m_lElapsed = SaturateToLong(m_lElapsed + llShift);
    return S_OK;
}

STDMETHODIMP CMovieOutputPin::SetSink(IQualityControl *piqc)
{
    // Not referenced: the sink is the graph's, which outlives its pins.
    m_pQSink = piqc;
    return S_OK;
}

STDMETHODIMP CMovieOutputPin::GetSourceFormat(DWORD *pCode)
{
    if (!pCode)
        return E_POINTER;
    *pCode = m_dwSourceFormat;
    return S_OK;
}

STDMETHODIMP CMovieOutputPin::GetOutputFormat(DWORD *pCode)
{
    if (!pCode)
        return E_POINTER;
    *pCode = m_dwOutputFormat;
    return S_OK;
}
