// CMovieOutputPin's IMediaSeeking: positions in pin units, reference time and frames; the stop,
// start and rate changes; snapping to media samples.
#include "pins/movieoutputpin.h"

#include <cmath>

#include <uuids.h>

#include "framework/source.h"
#include "pins/pinarithmetic.h"
#include "quicktime/QuickTime.h"

namespace {

constexpr double kUnitsPerSecond = 10000000.0;
constexpr SInt16 kNextTimeMediaSample = 1;
constexpr SInt16 kNextTimeEdgeOK = 0x4000;
constexpr Fixed kForward = 0x00010000;  // rate 1.0: search forwards
constexpr Fixed kBackward = -0x00010000;

bool IsMediaTime(const GUID *pFormat)
{
    return !pFormat || IsEqualGUID(*pFormat, TIME_FORMAT_MEDIA_TIME);
}

bool IsFrameFormat(const GUID *pFormat)
{
    return !pFormat || IsEqualGUID(*pFormat, TIME_FORMAT_FRAME);
}

bool IsSupportedFormat(const GUID &format)
{
    return IsEqualGUID(format, TIME_FORMAT_MEDIA_TIME) || IsEqualGUID(format, TIME_FORMAT_FRAME);
}

}  // namespace

// --- conversions ------------------------------------------------------------------------

REFERENCE_TIME CMovieOutputPin::ToReference(LONGLONG llPinUnits) const
{
    return TruncateToLongLong(double(llPinUnits) / double(m_lTimeScale) * kUnitsPerSecond);
}

LONG CMovieOutputPin::ToPinUnits(REFERENCE_TIME rt) const
{
    const LONGLONG llProduct = SaturatingProduct(rt, m_lTimeScale);
    if (m_bFrameTimed) {
        // ToReference truncates: rounding to the nearest unit brings a reported time back to
        // its own unit (a frame's), where truncating would land one unit before it.
        const LONGLONG llUnits = llProduct / 10000000, llRest = llProduct % 10000000;
        return SaturateToLong(llUnits + (llRest >= 5000000 ? 1 : llRest <= -5000000 ? -1 : 0));
    }
    return SaturateToLong(TruncateToLongLong(double(llProduct) / kUnitsPerSecond));
}

LONGLONG CMovieOutputPin::ToCurrentFormat(REFERENCE_TIME rt) const
{
    if (!IsEqualGUID(m_TimeFormat, TIME_FORMAT_FRAME))
        return rt;
    return SamplesAt(rt);
}

REFERENCE_TIME CMovieOutputPin::FromCurrentFormat(LONGLONG llValue) const
{
    if (!IsEqualGUID(m_TimeFormat, TIME_FORMAT_FRAME))
        return llValue;
    return SampleStart(llValue);
}

LONGLONG CMovieOutputPin::SamplesAt(REFERENCE_TIME rt) const
{
    return TruncateToLongLong(double(rt) * m_dFrameRate / kUnitsPerSecond);
}

REFERENCE_TIME CMovieOutputPin::SampleStart(LONGLONG llSample) const
{
    if (!(m_dFrameRate > 0.0))
        return 0;
    return TruncateToLongLong(double(SaturatingProduct(llSample, 10000000)) / m_dFrameRate);
}

double CMovieOutputPin::SampleInterval() const
{
    if (!std::isfinite(m_dFrameRate) || !(m_dFrameRate > 0.0))
        return 0.0;
    return double(m_lTimeScale) / m_dFrameRate;
}

LONG CMovieOutputPin::SnapToSample(LONG lPosition) const
{
    if (m_bMovieTimeUnits) {
        // The pin counts the movie's time: the track's edits say which media sample shows at
        // a time, so the search runs backwards from the position in the track's own time. A
        // position at or past the end stays: it makes an empty segment, not the last sample.
        if (!m_Track || lPosition < 0 || lPosition >= m_lDuration)
            return lPosition;
        TimeValue found = -1, foundDuration = 0;
        GetTrackNextInterestingTime(m_Track, kNextTimeMediaSample | kNextTimeEdgeOK, lPosition,
                                    kBackward, &found, &foundDuration);
        return found > 0 && found <= lPosition ? found : lPosition;
    }
    if (!m_Media || m_lMediaTimeScale <= 0 || m_lTimeScale <= 0)
        return lPosition;
    // The search starts one media sample before the position, counted in the media's own
    // units: the movie-time interval of a sound sample is far below one pin unit, and the
    // frame rate of a sound pin is counted against the movie's scale, so neither can say
    // where the sample holding the position begins.
    const LONG lSamples = GetMediaSampleCount(m_Media);
    const TimeValue mediaDuration = GetMediaDuration(m_Media);
    const double dInterval = lSamples > 0 && mediaDuration > 0
                                 ? double(mediaDuration) / double(lSamples)
                                 : SampleInterval() * m_lMediaTimeScale / m_lTimeScale;
    // Pin units to media units, rounded down so that the sample holding the time is found.
    const LONGLONG llMediaPos = SaturatingProduct(lPosition, m_lMediaTimeScale) / m_lTimeScale;
    const LONGLONG llMediaFrom = TruncateToLongLong(double(llMediaPos) - dInterval);
    TimeValue found = 0, foundDuration = 0;
    GetMediaNextInterestingTime(m_Media, kNextTimeMediaSample, SaturateToLong(llMediaFrom),
                                kForward, &found, &foundDuration);
    if (found <= 0)
        return lPosition;
    // Back to pin units rounded up: a time inside the sample, never the one before it.
    const LONGLONG llScaled = LONGLONG(found) * m_lTimeScale;
    return SaturateToLong((llScaled + m_lMediaTimeScale - 1) / m_lMediaTimeScale);
}

// --- changes ----------------------------------------------------------------------------

HRESULT CMovieOutputPin::ChangeStop(bool bStartFollows)
{
    CAutoLock lock(&m_PinLock);
    // The old read position says nothing about a stop that comes with a new start.
    if (!bStartFollows && m_lCurrent >= m_lStop)
        return S_OK;
    m_lStop = SnapToSample(m_lStop);
    return S_OK;
}

HRESULT CMovieOutputPin::ChangeStart()
{
    // The worker is stopped before the positions move and told to run again afterwards. The
    // state lock keeps a Stop from another thread out of the exchange (a Run after its Stop
    // would leave a worker delivering into a stopped graph); the worker never takes it.
    CAutoLock stateLock(m_pFilter->pStateLock());
    const bool bRestart = ThreadExists();
    if (bRestart) {
        DeliverBeginFlush();
        CallWorker(CMD_STOP);
    }
    {
        CAutoLock lock(&m_PinLock);
        m_lElapsed = 0;
        m_lDelivered = 0;
        // A frame-timed pin starts the segment where asked: the frame shown there is shown
        // from the segment's start, in step with the other pins' sound.
        if (!m_bFrameTimed)
            m_lStart = SnapToSample(m_lStart);
        m_lCurrent = m_lStart;
        OnStartRepositioned();
    }
    if (bRestart) {
        DeliverEndFlush();
        CallWorker(CMD_RUN);
    }
    return S_OK;
}

HRESULT CMovieOutputPin::RestartAfterChange()
{
    CAutoLock stateLock(m_pFilter->pStateLock());
    if (!ThreadExists())
        return S_OK;
    DeliverBeginFlush();
    CallWorker(CMD_STOP);
    DeliverEndFlush();
    CallWorker(CMD_RUN);
    return S_OK;
}

// --- IMediaSeeking ----------------------------------------------------------------------

STDMETHODIMP CMovieOutputPin::GetCapabilities(DWORD *pCapabilities)
{
    if (!pCapabilities)
        return E_POINTER;
    *pCapabilities = m_dwSeekingCaps;
    return S_OK;
}

STDMETHODIMP CMovieOutputPin::CheckCapabilities(DWORD *pCapabilities)
{
    if (!pCapabilities)
        return E_POINTER;
    return (*pCapabilities & ~m_dwSeekingCaps) ? S_FALSE : S_OK;
}

STDMETHODIMP CMovieOutputPin::IsFormatSupported(const GUID *pFormat)
{
    if (!pFormat)
        return E_POINTER;
    return IsSupportedFormat(*pFormat) ? S_OK : S_FALSE;
}

STDMETHODIMP CMovieOutputPin::QueryPreferredFormat(GUID *pFormat)
{
    if (!pFormat)
        return E_POINTER;
    *pFormat = TIME_FORMAT_MEDIA_TIME;
    return S_OK;
}

STDMETHODIMP CMovieOutputPin::GetTimeFormat(GUID *pFormat)
{
    if (!pFormat)
        return E_POINTER;
    CAutoLock lock(&m_PinLock);
    *pFormat = m_TimeFormat;
    return S_OK;
}

// Either supported format counts as in use; GetTimeFormat says which one is current.
STDMETHODIMP CMovieOutputPin::IsUsingTimeFormat(const GUID *pFormat)
{
    return IsFormatSupported(pFormat);
}

STDMETHODIMP CMovieOutputPin::SetTimeFormat(const GUID *pFormat)
{
    if (!pFormat)
        return E_POINTER;
    if (!IsSupportedFormat(*pFormat))
        return E_INVALIDARG;
    CAutoLock lock(&m_PinLock);
    m_TimeFormat = *pFormat;
    return S_OK;
}

STDMETHODIMP CMovieOutputPin::GetDuration(LONGLONG *pDuration)
{
    if (!pDuration)
        return E_POINTER;
    CAutoLock lock(&m_PinLock);
    *pDuration = ToCurrentFormat(ToReference(m_lDuration));
    return S_OK;
}

STDMETHODIMP CMovieOutputPin::GetStopPosition(LONGLONG *pStop)
{
    if (!pStop)
        return E_POINTER;
    CAutoLock lock(&m_PinLock);
    *pStop = ToCurrentFormat(ToReference(m_lStop));
    return S_OK;
}

// The read position: where the next sample is taken from, in movie (or media) time.
STDMETHODIMP CMovieOutputPin::GetCurrentPosition(LONGLONG *pCurrent)
{
    if (!pCurrent)
        return E_POINTER;
    CAutoLock lock(&m_PinLock);
    *pCurrent = ToCurrentFormat(ToReference(m_lCurrent));
    return S_OK;
}

STDMETHODIMP CMovieOutputPin::ConvertTimeFormat(LONGLONG *pTarget, const GUID *pTargetFormat,
                                                LONGLONG Source, const GUID *pSourceFormat)
{
    if (!pTarget)
        return E_POINTER;
    CAutoLock lock(&m_PinLock);
    if (IsMediaTime(pTargetFormat) && IsMediaTime(pSourceFormat)) {
        *pTarget = ToCurrentFormat(Source == 0 ? ToReference(m_lCurrent) : Source);
        return S_OK;
    }
    if (IsFrameFormat(pTargetFormat) && IsFrameFormat(pSourceFormat)) {
        *pTarget = ToCurrentFormat(Source);
        return S_OK;
    }
    return E_INVALIDARG;
}

STDMETHODIMP CMovieOutputPin::SetPositions(LONGLONG *pCurrent, DWORD dwCurrentFlags,
                                           LONGLONG *pStop, DWORD dwStopFlags)
{
    const DWORD dwCurrentPart = dwCurrentFlags & AM_SEEKING_PositioningBitsMask;
    const DWORD dwStopPart = dwStopFlags & AM_SEEKING_PositioningBitsMask;
    // Returning the times is what the graph manager asks of every seek it passes on; alone it
    // asks for the times without moving anything.
    const DWORD dwKnownStop = AM_SEEKING_PositioningBitsMask | AM_SEEKING_ReturnTime;
    if (dwStopFlags) {
        if (!pStop)
            return E_POINTER;
        if (dwStopFlags & ~dwKnownStop)
            return E_INVALIDARG;
    }
    const bool bNewStart = dwCurrentPart == AM_SEEKING_AbsolutePositioning ||
                           dwCurrentPart == AM_SEEKING_RelativePositioning;
    if (dwCurrentFlags) {
        if (!pCurrent)
            return E_POINTER;
        if (!bNewStart && dwCurrentFlags != AM_SEEKING_ReturnTime)
            return E_INVALIDARG;
    }

    {
        CAutoLock lock(&m_PinLock);
        auto add = [](long lValue, LONG lDelta) {
            return SaturateToLong(LONGLONG(lValue) + lDelta);
        };
        if (bNewStart) {
            const LONG lCurrent = ToPinUnits(FromCurrentFormat(*pCurrent));
            m_lStart = dwCurrentPart == AM_SEEKING_AbsolutePositioning ? lCurrent
                                                                       : add(m_lStart, lCurrent);
        }
        if (dwStopPart != AM_SEEKING_NoPositioning) {
            const LONG lStop = ToPinUnits(FromCurrentFormat(*pStop));
            switch (dwStopPart) {
            case AM_SEEKING_AbsolutePositioning:
                m_lStop = lStop;
                break;
            case AM_SEEKING_RelativePositioning:
                m_lStop = add(m_lStop, lStop);
                break;
            default:  // incremental: from the start just set
                m_lStop = add(m_lStart, lStop);
                break;
            }
            // Past the material there is nothing to deliver: a stop "at the end" (the largest
            // reference time) must not stream the last frame for ever.
            if (m_lStop > m_lDuration)
                m_lStop = m_lDuration;
        }
    }

    HRESULT hr = S_OK;
    if (dwStopPart != AM_SEEKING_NoPositioning)
        hr = ChangeStop(bNewStart);
    if (bNewStart)
        hr = ChangeStart();

    if ((dwCurrentFlags | dwStopFlags) & AM_SEEKING_ReturnTime) {
        CAutoLock lock(&m_PinLock);
        if (dwCurrentFlags & AM_SEEKING_ReturnTime)
            *pCurrent = ToCurrentFormat(ToReference(m_lStart));
        if (dwStopFlags & AM_SEEKING_ReturnTime)
            *pStop = ToCurrentFormat(ToReference(m_lStop));
    }
    return hr;
}

STDMETHODIMP CMovieOutputPin::GetPositions(LONGLONG *pCurrent, LONGLONG *pStop)
{
    CAutoLock lock(&m_PinLock);
    if (pCurrent)
        *pCurrent = ToCurrentFormat(ToReference(m_lCurrent));
    if (pStop)
        *pStop = ToCurrentFormat(ToReference(m_lStop));
    return S_OK;
}

STDMETHODIMP CMovieOutputPin::GetAvailable(LONGLONG *pEarliest, LONGLONG *pLatest)
{
    CAutoLock lock(&m_PinLock);
    if (pEarliest)
        *pEarliest = 0;
    if (pLatest)
        *pLatest = ToReference(m_lDuration);
    return S_OK;
}

STDMETHODIMP CMovieOutputPin::SetRate(double dRate)
{
    if (dRate != 1.0)
        return E_INVALIDARG;
    {
        CAutoLock lock(&m_PinLock);
        m_dPlaybackRate = dRate;
    }
    return RestartAfterChange();
}

STDMETHODIMP CMovieOutputPin::GetRate(double *pdRate)
{
    if (!pdRate)
        return E_POINTER;
    CAutoLock lock(&m_PinLock);
    *pdRate = m_dPlaybackRate;
    return S_OK;
}

STDMETHODIMP CMovieOutputPin::GetPreroll(LONGLONG *pllPreroll)
{
    if (!pllPreroll)
        return E_POINTER;
    *pllPreroll = 0;
    return S_OK;
}
