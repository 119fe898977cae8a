// CMovieVideoPin: the output pin of one video track.
//
// The pin offers one uncompressed top-down RGB type whose layout is exactly the DIB section
// QuickTime draws into (the screen's depth at load, at least 16 bits), so frames are copied,
// never converted. At its first start it makes the render target (DIB section, memory DC and a
// GWorld over them, attached to the movie) and keeps it for its whole life.
//
// Each frame the track shows is delivered once, at its own time: each fill finds the frame shown
// at the read position (or the next one, across spans where the track shows nothing), points the
// movie at the pin's world and that time, lets QuickTime draw once and copies the picture, and
// the buffer lasts until the next frame starts or the track stops showing it. Stamps are the
// frame's movie time from the segment's start (a frame begun before the start is stamped 0);
// after a quality message's jump the next frame is the one shown there, with its own time. The
// frame rate is the track's own: its samples over its media's duration. Positions counted in
// frames count the frames shown from the movie's start.
//
// Locks: fills run under m_PinLock and take the filter's m_csRender around the world, time,
// draw and copy step, because all video pins of a filter share one movie (its time and world).
// Attaching the world at set-up (inside m_PinLock and m_csQuickTime) and detaching it at
// destruction take m_csRender too; it is always the innermost lock.
#pragma once

#include <windows.h>

#include "pins/movieinterfaces.h"
#include "pins/movieoutputpin.h"
#include "pins/pininfopart.h"
#include "pins/video/frametimes.h"

class CMovieVideoPin : public CMovieOutputPin {
public:
    // Height and width of the movie box; lBitCount is the screen's depth raised to 16.
    CMovieVideoPin(HRESULT *phr, CMovieSourceFilter *pFilter, LPCWSTR pPinName, Movie movie,
                   long lTrackIndex, long lHeight, long lWidth, long lBitCount,
                   DWORD dwDataFormat);
    ~CMovieVideoPin() override;

    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;

    HRESULT FillFromTrack(IMediaSample *pSample, BYTE *pBuffer, long lSize) override;
    HRESULT FillFromMovie(IMediaSample *pSample, BYTE *pBuffer, long lSize) override;
    HRESULT PrepareTrackStreaming() override;
    HRESULT PrepareMovieStreaming() override;
    HRESULT BuildMediaType() override;
    HRESULT OnStartRepositioned() override { return S_OK; }
    virtual HRESULT GetFrameRate(double *pdFrameRate);

    HRESULT DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *pProps) override;

private:
    // IMovieVideoInfo, answering for the pin's constant members.
    class CVideoInfo : public CPinInfoPart<IMovieVideoInfo, CMovieVideoPin> {
    public:
        explicit CVideoInfo(CMovieVideoPin *pPin) : CPinInfoPart(pPin) {}
        STDMETHODIMP GetFramesPerSecond(LONG *pFramesPerSecond) override;
    };

    // Frames shown from the movie's start, through the track's times.
    LONGLONG SamplesAt(REFERENCE_TIME rt) const override;
    REFERENCE_TIME SampleStart(LONGLONG llFrame) const override;
    // Where the frame to deliver next starts, moving the read position and the output clock
    // onto it; false when no frame is shown before the stop. m_PinLock held.
    bool FindFrame();

    // Bytes of one frame: rows padded to 4 bytes.
    long FrameBytes() const;
    // Detaches the world from the movie and frees the target in the order it depends on.
    void ReleaseRenderTarget();

    CVideoInfo m_VideoInfo;
    mutable CFrameTimes m_frames;  // under m_PinLock
    LONG m_nWidth;
    LONG m_nHeight;
    LONG m_nBitCount;
    // The render target: made on the worker under m_PinLock, read by fills under m_PinLock.
    GWorldPtr m_gWorld;
    BYTE *m_pDIBBits;            // pixels of m_hDIBSection
    HDC m_hMemDC;
    HBITMAP m_hDIBSection;
    HGDIOBJ m_hOldBitmap;        // selected back into m_hMemDC before it goes
};
