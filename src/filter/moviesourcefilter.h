// CMovieSourceFilter: the source filter a graph creates for a QuickTime movie. The first two
// filters of a process start QuickTime; Load opens the movie and makes one output pin per
// served track, in track order: "Video Out i" for a video track with a usable frame rate,
// "Audio Out i" for each sound track (only the first one with QuickTime 7.1 or later, whose
// audio pin extracts the mix of all of them), i being the track's index among its type. The
// filter owns the movie and the pins; the pins borrow the movie. Everything else a filter
// does (states, enumeration, clock, graph) is CSource's.
//
// Locks, in the order they are taken (never the other way round):
//   1. m_cStateLock (CSource): the filter lock; the pins' framework lock.
//   2. a pin's own lock.
//   3. m_csQuickTime: the QuickTime work for this filter's movie (opening, disposing, the pins'
//      streaming set-up and destruction, and the whole of Stop).
//   4. the process-wide lock of the QuickTime start-up count (construction, destruction).
// Stop takes the filter lock before the QuickTime lock, so it never holds the QuickTime lock
// while a Pause is waiting for a worker's set-up (which takes the pin lock, then the QuickTime
// lock). m_csRender is a leaf: taken by the video pins (their fills, making and releasing their
// render targets) after whichever of the others they hold, and nothing is taken inside it. No
// fill or reposition takes the QuickTime lock, so Stop, which holds it while it waits for the
// workers, never waits for a worker that waits for it.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "framework/critsec.h"
#include "framework/source.h"
#include "framework/setupdata.h"
#include "quicktime/QuickTimeTypes.h"

class CMovieOutputPin;

// {2D01BA43-D2CB-409B-AA33-E433F02496D3}
inline constexpr CLSID CLSID_MovieSourceFilter =
    {0x2d01ba43, 0xd2cb, 0x409b, {0xaa, 0x33, 0xe4, 0x33, 0xf0, 0x24, 0x96, 0xd3}};

class CMovieSourceFilter : public CSource, public IFileSourceFilter {
public:
    enum { MAX_PINS = 16 };

    // The factory's creation function: E_OUTOFMEMORY in *phr (when given) if it cannot allocate.
    static CUnknown *WINAPI CreateInstance(LPUNKNOWN pUnk, HRESULT *phr);

    // Never writes *phr; QuickTime's start-up results are not examined.
    CMovieSourceFilter(LPUNKNOWN pUnk, HRESULT *phr);
    ~CMovieSourceFilter() override;

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;

    // Null: the module registers the filter, not IAMovieSetup.
    LPAMOVIESETUP_FILTER GetSetupData() override;

    // Holds the filter lock, then the QuickTime lock, around the base Stop.
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;

    // IFileSourceFilter. The media type is ignored by Load; GetCurFile gives an empty one.
    STDMETHODIMP Load(LPCOLESTR pszFileName, const AM_MEDIA_TYPE *pmt) override;
    STDMETHODIMP GetCurFile(LPOLESTR *ppszFileName, AM_MEDIA_TYPE *pmt) override;

    // Number of QuickTime initialisations made by filters of this process (0, 1 or 2).
    static LONG QuickTimeInitCount();

protected:
    // The screen's bits per pixel, read when a video pin is made (a seam for tests).
    virtual int ScreenBitsPerPixel();
    // Make the pins (arguments as the pins' constructors take them); null when out of memory.
    virtual CMovieOutputPin *CreateVideoPin(HRESULT *phr, LPCWSTR pName, int iTrack,
                                            int nHeight, int nWidth, int nBitsPerPixel,
                                            DWORD dwCodec);
    virtual CMovieOutputPin *CreateAudioPin(HRESULT *phr, LPCWSTR pName, int iTrack,
                                            int nChannels, int nSampleRate, int nBitsPerSample,
                                            DWORD dwFormat);

private:
    // Under the filter lock; takes the QuickTime lock. S_OK or E_FAIL; on failure the movie is
    // disposed and the pins this attempt made are gone again.
    HRESULT OpenMovie(const char *pszPath);
    // Counts the movie's time finely enough for every video frame to have its own exact time
    // (29.97 frames a second fall between the units of a movie counting milliseconds), while
    // the movie's length still fits the pins' 32-bit positions with room to spare.
    void RefineTimeScale();
    // One track's pin, if it gets one. A video track without samples or a readable
    // description gets none (S_OK); a sound track whose description cannot be read fails
    // the load.
    HRESULT OpenVideoTrack(int iTrack, Media media, HRESULT *phrPins);
    HRESULT OpenSoundTrack(int iTrack, Media media, HRESULT *phrPins);
    // Deletes the pins from entry nKeep on, in table order (each pin takes the QuickTime lock
    // again in its destructor).
    void DeletePinsFrom(int nKeep);
    void AddToTable(CMovieOutputPin *pPin);

    WCHAR *m_pFileName;                   // new[]; under the filter lock
    CMovieOutputPin *m_apPins[MAX_PINS];  // creation order; null entry = allocation failed
    int m_nPins;                          // under the filter lock

public:
    // What the pins use of the filter (besides pStateLock(), AddPin and RemovePin):
    CCritSec m_csQuickTime;  // the QuickTime lock (order above)
    Movie m_movie;           // written under both the filter and the QuickTime lock
    bool m_bQuickTime71;     // set at construction, read-only afterwards
    // Serialises the per-frame work of this filter's video pins on the shared movie (movie
    // GWorld, time, MoviesTask, copy): a leaf lock (order above).
    CCritSec m_csRender;
    // The world the movie draws into, so that a fill sets its own only when another pin's (or
    // none) is attached. Under m_csRender.
    GWorldPtr m_renderWorld;
};
