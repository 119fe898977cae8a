// CMovieOutputPin: the output pin of one movie track, whatever its media.
//
// The pin binds itself to its track and media at construction and keeps every position in its
// own units (1/m_lTimeScale s): the read position, the segment's start and stop, and the output
// clock m_lElapsed from which each sample's time stamps are computed afresh. The worker's
// FillBuffer has the media pin fill a buffer (FillFromTrack or FillFromMovie, chosen by the
// filter's m_bQuickTime71), clears what the fill left past its data, stamps it and advances.
// Seeking (IMediaSeeking), rate and quality messages move the positions of this pin only; a new
// start or rate flushes and restarts the delivery pass, so its first sample is a discontinuity.
//
// A fill that fails, answers S_FALSE or makes no progress (m_lChunkDuration <= 0) ends the
// stream: no sample is ever delivered without moving the clock.
//
// Locks, in the order they nest: the filter's state lock, then m_PinLock, then the filter's
// QuickTime lock m_csQuickTime. m_PinLock guards the positions, rate, time format and every fill
// step. A video fill takes the filter's render lock m_csRender inside m_PinLock (and nothing
// inside that). The start and rate changes talk to the worker holding the state lock only
// (which the worker never takes), so that they cannot interleave with a Stop.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "framework/mediatype.h"
#include "framework/sourcestream.h"
#include "pins/movieinterfaces.h"
#include "quicktime/QuickTimeTypes.h"

class CMovieSourceFilter;

// Debug trace of the pins; compiled out of release builds.
#ifdef NDEBUG
#define MOVIE_PIN_TRACE(text) ((void)0)
#else
#define MOVIE_PIN_TRACE(text) OutputDebugStringA(text)
#endif

class CMovieOutputPin : public CSourceStream, public IMediaSeeking, public IMovieStreamInfo {
public:
    CMovieOutputPin(LPCTSTR pObjectName, HRESULT *phr, CMovieSourceFilter *pFilter,
                    LPCWSTR pPinName, Movie movie, long lTrackIndex, GUID majorType,
                    GUID subType, GUID formatType, DWORD dwSourceFormat, DWORD dwOutputFormat);
    ~CMovieOutputPin() override;

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;

    // CSourceStream
    HRESULT FillBuffer(IMediaSample *pSample) override;
    HRESULT OnThreadCreate() override;
    HRESULT OnThreadStartPlay() override;
    HRESULT GetMediaType(CMediaType *pmt) override;
    using CSourceStream::GetMediaType;

    // The media pin's operations (virtual table order matters to nothing outside, but is kept).
    // Fills run with m_PinLock held; they write their data to the first m_lChunkBytes bytes of
    // the buffer (all of them: the rest is cleared afterwards, and nothing before the fill),
    // set m_lChunkDuration and may move m_lCurrent. Anything but S_OK ends the stream.
    virtual HRESULT FillFromTrack(IMediaSample *pSample, BYTE *pBuffer, long lSize) = 0;
    virtual HRESULT FillFromMovie(IMediaSample *pSample, BYTE *pBuffer, long lSize) = 0;
    // Streaming set-up on the worker, with m_PinLock then m_csQuickTime held.
    virtual HRESULT PrepareTrackStreaming() = 0;
    virtual HRESULT PrepareMovieStreaming() = 0;
    // Completes m_mtOutput (format block, sample size), with the filter's state lock held.
    virtual HRESULT BuildMediaType() = 0;
    // The start position moved (m_PinLock held, worker stopped).
    virtual HRESULT OnStartRepositioned() { return S_OK; }

    // IQualityControl
    STDMETHODIMP Notify(IBaseFilter *pSender, Quality q) override;
    STDMETHODIMP SetSink(IQualityControl *piqc) override;

    // IMovieStreamInfo: constant after construction (the audio set-up may replace them before
    // streaming); no lock.
    STDMETHODIMP GetSourceFormat(DWORD *pCode) override;
    STDMETHODIMP GetOutputFormat(DWORD *pCode) override;

    // IMediaSeeking
    STDMETHODIMP GetCapabilities(DWORD *pCapabilities) override;
    STDMETHODIMP CheckCapabilities(DWORD *pCapabilities) override;
    STDMETHODIMP IsFormatSupported(const GUID *pFormat) override;
    STDMETHODIMP QueryPreferredFormat(GUID *pFormat) override;
    STDMETHODIMP GetTimeFormat(GUID *pFormat) override;
    STDMETHODIMP IsUsingTimeFormat(const GUID *pFormat) override;
    STDMETHODIMP SetTimeFormat(const GUID *pFormat) override;
    STDMETHODIMP GetDuration(LONGLONG *pDuration) override;
    STDMETHODIMP GetStopPosition(LONGLONG *pStop) override;
    STDMETHODIMP GetCurrentPosition(LONGLONG *pCurrent) override;
    STDMETHODIMP ConvertTimeFormat(LONGLONG *pTarget, const GUID *pTargetFormat, LONGLONG Source,
                                   const GUID *pSourceFormat) override;
    STDMETHODIMP SetPositions(LONGLONG *pCurrent, DWORD dwCurrentFlags, LONGLONG *pStop,
                              DWORD dwStopFlags) override;
    STDMETHODIMP GetPositions(LONGLONG *pCurrent, LONGLONG *pStop) override;
    STDMETHODIMP GetAvailable(LONGLONG *pEarliest, LONGLONG *pLatest) override;
    STDMETHODIMP SetRate(double dRate) override;
    STDMETHODIMP GetRate(double *pdRate) override;
    STDMETHODIMP GetPreroll(LONGLONG *pllPreroll) override;

protected:
    // Conversions between pin units, reference time and the current time format. ToPinUnits
    // saturates at the 32-bit range (the host's "to the end" is the largest reference time); a
    // frame-timed pin rounds to the nearest unit, so that the time it reports for a frame
    // converts back to that frame.
    REFERENCE_TIME ToReference(LONGLONG llPinUnits) const;
    LONG ToPinUnits(REFERENCE_TIME rt) const;
    LONGLONG ToCurrentFormat(REFERENCE_TIME rt) const;
    REFERENCE_TIME FromCurrentFormat(LONGLONG llValue) const;
    // Positions counted in samples (TIME_FORMAT_FRAME): by default m_dFrameRate samples a
    // second; a pin that knows its samples' times counts them. m_PinLock held.
    virtual LONGLONG SamplesAt(REFERENCE_TIME rt) const;
    virtual REFERENCE_TIME SampleStart(LONGLONG llSample) const;
    // One sample in pin units; 0 when the frame rate is unknown (0, negative or not finite).
    double SampleInterval() const;

    // The start of the media sample that holds lPosition. A pin counting the movie's time
    // asks for it in the track's time, through the track's edits; the per-track sound path
    // counts media time and searches the media from one sample interval before the position
    // (the answer comes back to pin units rounded up, so it never lands in the sample before).
    // lPosition itself when nothing is found (no media, a time of 0 or less, or a position at
    // or past the duration on the movie's time). Callers hold m_PinLock.
    LONG SnapToSample(LONG lPosition) const;

    // The stop, start and rate changes of seeking, and the flush-and-restart of delivery. A
    // stop the read position has passed stays as set, unless a new start follows.
    HRESULT ChangeStop(bool bStartFollows = false);
    HRESULT ChangeStart();
    HRESULT RestartAfterChange();

    double m_dPlaybackRate;       // under m_PinLock
    DWORD m_dwSeekingCaps;        // constant
    GUID m_TimeFormat;            // under m_PinLock
    CCritSec m_PinLock;           // see the lock order above
    BOOL m_bDiscontinuity;        // worker only (set at each pass, cleared by the first sample)

    // Pin units (1/m_lTimeScale s); under m_PinLock once streaming can run.
    long m_lTimeScale;            // set at construction; never 0 or less for a bound pin
    long m_lDuration;
    long m_lCurrent;
    long m_lStart;
    long m_lStop;
    long m_lElapsed;
    long m_lDelivered;            // m_lElapsed at the end of the segment's last delivered sample
    long m_lChunkDuration;        // written by each fill
    long m_lChunkBytes;           // written by each fill

    Movie m_Movie;                // the filter's; borrowed
    Media m_Media;                // owned: disposed with the pin
    Track m_Track;                // owned: disposed with the pin
    CMediaType m_mtOutput;        // completed by BuildMediaType under the state lock
    double m_dFrameRate;          // samples per second; constant after construction
    DWORD m_dwSourceFormat;
    DWORD m_dwOutputFormat;
    CMovieSourceFilter *m_pMovieFilter;  // the owner; not referenced

    long m_lMediaTimeScale;       // the media's own scale, for SnapToSample; 0 without media
    bool m_bMovieTimeUnits;       // pin units count the movie's time (video, 7.1 sound); constant
    // The pin delivers each sample at its own time (video): a new start is where the segment
    // begins, not moved onto a sample. Set by the media pin's constructor; constant after.
    bool m_bFrameTimed;
};
