#include "filter/moviesourcefilter.h"

#include <new>
#include <stdio.h>
#include <string.h>

#include <uuids.h>

#include "filter/ansipath.h"
#include "framework/widestring.h"
#include "pins/audio/movieaudiopin.h"
#include "pins/movieinterfaces.h"
#include "pins/video/movievideopin.h"
#include "quicktime/QuickTime.h"
#include "quicktime/QuickTimeHandle.h"

namespace {

// The QuickTime start-up count is shared by every filter of the process, so is its lock
// (innermost of all: taken inside a filter's QuickTime lock).
CCritSec g_csQuickTimeInits;
LONG g_cQuickTimeInits = 0;

const OSType kFlashType = QTFourCC("flsh");
const OSType kVideoType = QTFourCC("vide");
const OSType kSoundType = QTFourCC("soun");
const OSType kQuickTimeVersion = QTFourCC("qtim");
const long kQuickTime71 = 0x07100000;
// QuickTime's opening flags.
const SInt8 kReadWritePermission = 3;  // fsRdWrPerm
const SInt8 kReadPermission = 1;       // fsRdPerm
const SInt16 kNewMovieActive = 1;      // newMovieActive
const long kTrackMediaType = 1;        // movieTrackMediaType

// QuickTime's version-2 sound description: rates above 65535 Hz, among others, are only
// in the version-2 fields (the version-0 ones then read 3 channels, 16 bits, 1 Hz).
#pragma pack(push, 2)
struct SoundDescriptionV2 {
    SoundDescription desc;  // version 2
    UInt32 sizeOfStructOnly;
    Float64 audioSampleRate;
    UInt32 numAudioChannels;
    SInt32 always7F000000;
    UInt32 constBitsPerChannel;
    UInt32 formatSpecificFlags;
    UInt32 constBytesPerAudioPacket;
    UInt32 constLPCMFramesPerAudioPacket;
};
#pragma pack(pop)
static_assert(sizeof(SoundDescriptionV2) == 72, "SoundDescriptionV2");

// "Video Out 3": formatted in ANSI, widened with the ANSI code page.
void FormatPinName(const char *pszKind, int iTrack, WCHAR (&wszName)[128])
{
    char szName[128];
    snprintf(szName, sizeof(szName), "%s Out %d", pszKind, iTrack);
    if (!MultiByteToWideChar(CP_ACP, 0, szName, -1, wszName, 128))
        wszName[0] = L'\0';
}

// Frames per second from the sample count over the movie's length; 0 means the track has no
// samples. A zero duration gives an infinite or undefined quotient, which is not 0.
bool HasUsableFrameRate(Media media, Movie movie)
{
    const double dFps = double(GetMediaSampleCount(media)) * double(GetMovieTimeScale(movie)) /
                        double(GetMovieDuration(movie));
    double dRate = FixRound(X2Fix(dFps));
    if (dRate == 0 && dFps != 0)
        dRate = dFps;
    return dRate != 0;
}

}  // namespace

CUnknown *WINAPI CMovieSourceFilter::CreateInstance(LPUNKNOWN pUnk, HRESULT *phr)
{
    CMovieSourceFilter *pFilter = new (std::nothrow) CMovieSourceFilter(pUnk, phr);
    if (!pFilter && phr)
        *phr = E_OUTOFMEMORY;
    return pFilter;
}

CMovieSourceFilter::CMovieSourceFilter(LPUNKNOWN pUnk, HRESULT *)
    : CSource(nullptr, pUnk, CLSID_MovieSourceFilter),
      m_pFileName(nullptr),
      m_apPins(),
      m_nPins(0),
      m_movie(nullptr),
      m_bQuickTime71(false),
      m_renderWorld(nullptr)
{
    CAutoLock cAutoLock(&m_cStateLock);
    CAutoLock qtLock(&m_csQuickTime);
    {
        CAutoLock initsLock(&g_csQuickTimeInits);
        // The first two filters start QuickTime; the results are QuickTime's to report later.
        if (g_cQuickTimeInits <= 1) {
            InitializeQTML(0);
            EnterMovies();
            g_cQuickTimeInits++;
        }
    }
    long lVersion = 0;
    if (Gestalt(kQuickTimeVersion, &lVersion) == noErr && lVersion >= kQuickTime71)
        m_bQuickTime71 = true;
}

CMovieSourceFilter::~CMovieSourceFilter()
{
    // Each pin disposes its track and media (under the QuickTime lock) before the movie goes.
    DeletePinsFrom(0);

    CAutoLock qtLock(&m_csQuickTime);
    if (m_movie) {
        DisposeMovie(m_movie);
        m_movie = nullptr;
    }
    {
        // The first filter's start-up is never undone: QuickTime stays for the process.
        CAutoLock initsLock(&g_csQuickTimeInits);
        if (g_cQuickTimeInits == 2) {
            ExitMovies();
            TerminateQTML();
            g_cQuickTimeInits--;
        }
    }
    delete[] m_pFileName;
    m_pFileName = nullptr;
}

LONG CMovieSourceFilter::QuickTimeInitCount()
{
    CAutoLock initsLock(&g_csQuickTimeInits);
    return g_cQuickTimeInits;
}

STDMETHODIMP CMovieSourceFilter::NonDelegatingQueryInterface(REFIID riid, void **ppv)
{
    if (IsEqualIID(riid, IID_IFileSourceFilter))
        return GetInterface(static_cast<IFileSourceFilter *>(this), ppv);

    const bool bVideo = IsEqualIID(riid, IID_IMovieVideoInfo);
    if (!bVideo && !IsEqualIID(riid, IID_IMovieAudioInfo))
        return CSource::NonDelegatingQueryInterface(riid, ppv);
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;

    CAutoLock cAutoLock(&m_cStateLock);
    // The pin at the usual position answers when it can (the video pin before the last audio
    // pin); otherwise the first video pin or the last audio pin, whatever the track order.
    const int iUsual = bVideo && m_nPins >= 2 ? m_nPins - 2 : m_nPins - 1;
    if (iUsual >= 0 && m_apPins[iUsual] &&
        SUCCEEDED(m_apPins[iUsual]->NonDelegatingQueryInterface(riid, ppv)))
        return S_OK;
    for (int n = 0; n < m_nPins; n++) {
        const int i = bVideo ? n : m_nPins - 1 - n;
        if (i == iUsual || !m_apPins[i])
            continue;
        if (SUCCEEDED(m_apPins[i]->NonDelegatingQueryInterface(riid, ppv)))
            return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

LPAMOVIESETUP_FILTER CMovieSourceFilter::GetSetupData()
{
    return nullptr;
}

STDMETHODIMP CMovieSourceFilter::Stop()
{
    // Filter lock first, as everywhere: no Pause can then be waiting for a worker's set-up,
    // the only streaming step that takes the QuickTime lock.
    CAutoLock cAutoLock(&m_cStateLock);
    CAutoLock qtLock(&m_csQuickTime);
    return CSource::Stop();
}

STDMETHODIMP CMovieSourceFilter::Pause()
{
    return CSource::Pause();
}

STDMETHODIMP CMovieSourceFilter::Load(LPCOLESTR pszFileName, const AM_MEDIA_TYPE *)
{
    CAutoLock cAutoLock(&m_cStateLock);
    // A movie whose name could not be kept is loaded all the same.
    if (m_pFileName || m_movie)
        return E_FAIL;
    if (!pszFileName)
        return E_POINTER;

    char *pszPath = nullptr;
    const HRESULT hr = AnsiPathFromWide(pszFileName, &pszPath);
    if (FAILED(hr))
        return hr;
    const HRESULT hrOpen = OpenMovie(pszPath);
    delete[] pszPath;
    if (FAILED(hrOpen))
        return E_FAIL;

    m_pFileName = DuplicateWideString(pszFileName);
    return S_OK;
}

STDMETHODIMP CMovieSourceFilter::GetCurFile(LPOLESTR *ppszFileName, AM_MEDIA_TYPE *pmt)
{
    if (!ppszFileName)
        return E_POINTER;
    *ppszFileName = nullptr;
    // The caller frees what the type holds: it must hold nothing.
    if (pmt) {
        memset(pmt, 0, sizeof(*pmt));
        pmt->majortype = MEDIATYPE_Stream;
        pmt->subtype = GUID_NULL;
    }

    CAutoLock cAutoLock(&m_cStateLock);
    if (!m_pFileName)
        return S_OK;
    const size_t cb = (wcslen(m_pFileName) + 1) * sizeof(WCHAR);
    LPOLESTR pszCopy = static_cast<LPOLESTR>(CoTaskMemAlloc(cb));
    if (pszCopy) {
        memcpy(pszCopy, m_pFileName, cb);
        *ppszFileName = pszCopy;
    }
    return S_OK;
}

int CMovieSourceFilter::ScreenBitsPerPixel()
{
    HDC hdc = GetDC(nullptr);
    if (!hdc)
        return 0;
    const int nBits = GetDeviceCaps(hdc, BITSPIXEL);
    ReleaseDC(nullptr, hdc);
    return nBits;
}

CMovieOutputPin *CMovieSourceFilter::CreateVideoPin(HRESULT *phr, LPCWSTR pName, int iTrack,
                                                    int nHeight, int nWidth, int nBitsPerPixel,
                                                    DWORD dwCodec)
{
    return new (std::nothrow)
        CMovieVideoPin(phr, this, pName, m_movie, iTrack, nHeight, nWidth, nBitsPerPixel,
                       dwCodec);
}

CMovieOutputPin *CMovieSourceFilter::CreateAudioPin(HRESULT *phr, LPCWSTR pName, int iTrack,
                                                    int nChannels, int nSampleRate,
                                                    int nBitsPerSample, DWORD dwFormat)
{
    return new (std::nothrow)
        CMovieAudioPin(phr, this, pName, m_movie, iTrack, nChannels, nSampleRate,
                       nBitsPerSample, dwFormat);
}

void CMovieSourceFilter::AddToTable(CMovieOutputPin *pPin)
{
    m_apPins[m_nPins++] = pPin;
}

void CMovieSourceFilter::DeletePinsFrom(int nKeep)
{
    for (int i = nKeep; i < m_nPins; i++) {
        delete m_apPins[i];
        m_apPins[i] = nullptr;
    }
    if (m_nPins > nKeep)
        m_nPins = nKeep;
}

HRESULT CMovieSourceFilter::OpenMovie(const char *pszPath)
{
    CAutoLock qtLock(&m_csQuickTime);
    HRESULT hrPins = S_OK;  // what the pins report; not examined
    SInt16 refNum = 0;
    SInt16 resId = 0;

    FSSpec spec;
    memset(&spec, 0, sizeof(spec));
    NativePathNameToFSSpec(const_cast<char *>(pszPath), &spec, 0);
    // A read-only file opens on the second attempt.
    OSErr err = OpenMovieFile(&spec, &refNum, kReadWritePermission);
    if (err != noErr)
        err = OpenMovieFile(&spec, &refNum, kReadPermission);
    if (err == noErr) {
        err = NewMovieFromFile(&m_movie, refNum, &resId, nullptr, kNewMovieActive, nullptr);
        CloseMovieFile(refNum);
    }
    if (!m_movie)
        return E_FAIL;
    if (err != noErr) {
        DisposeMovie(m_movie);
        m_movie = nullptr;
        return E_FAIL;
    }

    RefineTimeScale();

    // Pins of an earlier failed attempt are gone, so this attempt starts on an empty table.
    const int nFirstPin = m_nPins;
    bool bAudioPinMade = false;
    HRESULT hr = S_OK;
    const long nTracks = GetMovieTrackCount(m_movie);
    for (long i = 1; i <= nTracks && SUCCEEDED(hr); i++) {
        // Tested first with i = 1, so a movie with any Flash track fails before any pin.
        if (GetMovieIndTrackType(m_movie, i, kFlashType, kTrackMediaType)) {
            hr = E_FAIL;
            break;
        }
        if (m_nPins == MAX_PINS)
            break;

        Track video = GetMovieIndTrackType(m_movie, i, kVideoType, kTrackMediaType);
        Media videoMedia = video ? GetTrackMedia(video) : nullptr;
        if (videoMedia)
            hr = OpenVideoTrack(int(i), videoMedia, &hrPins);
        if (FAILED(hr) || m_nPins == MAX_PINS)
            break;

        Track sound = GetMovieIndTrackType(m_movie, i, kSoundType, kTrackMediaType);
        Media soundMedia = sound ? GetTrackMedia(sound) : nullptr;
        // With 7.1 or later the one audio pin extracts the mix of all sound tracks.
        if (soundMedia && (!bAudioPinMade || !m_bQuickTime71)) {
            hr = OpenSoundTrack(int(i), soundMedia, &hrPins);
            bAudioPinMade = SUCCEEDED(hr);
        }
    }
    if (FAILED(hr)) {
        // The pins hold the movie: they go before it does.
        DeletePinsFrom(nFirstPin);
        DisposeMovie(m_movie);
        m_movie = nullptr;
        return E_FAIL;
    }
    return S_OK;
}

void CMovieSourceFilter::RefineTimeScale()
{
    // Positions stay below half the 32-bit range: sums of two of them cannot overflow.
    const LONGLONG llMaxUnits = LONGLONG(1) << 30;
    // Reference times convert back to units exactly at scales up to their own.
    const LONGLONG llMaxScale = 10000000;
    const TimeScale scale = GetMovieTimeScale(m_movie);
    const TimeValue duration = GetMovieDuration(m_movie);
    if (scale <= 0 || duration < 0)
        return;
    LONGLONG llFine = scale;
    for (long i = 1;; i++) {
        const Track track = GetMovieIndTrackType(m_movie, i, kVideoType, kTrackMediaType);
        if (!track)
            break;
        const Media media = GetTrackMedia(track);
        const LONGLONG llMedia = media ? GetMediaTimeScale(media) : 0;
        if (llMedia <= 0)
            continue;
        LONGLONG a = llFine, b = llMedia;
        while (b) {
            const LONGLONG r = a % b;
            a = b;
            b = r;
        }
        const LONGLONG llCandidate = llFine / a * llMedia;
        if (llCandidate <= llMaxScale && LONGLONG(duration) * (llCandidate / scale) <= llMaxUnits)
            llFine = llCandidate;
    }
    if (llFine != scale)
        SetMovieTimeScale(m_movie, TimeScale(llFine));
}

HRESULT CMovieSourceFilter::OpenVideoTrack(int iTrack, Media media, HRESULT *phrPins)
{
    Rect box;
    GetMovieBox(m_movie, &box);
    MacOffsetRect(&box, SInt16(-box.left), SInt16(-box.top));
    SetMovieBox(m_movie, &box);

    CQuickTimeHandle desc(NewHandle(sizeof(SampleDescription)));
    if (!desc.get())
        return S_OK;
    GetMediaSampleDescription(media, 1, desc.As<SampleDescription>());
    const OSErr err = GetMoviesError();
    MoveHHi(desc.get());
    HLock(desc.get());
    // A track whose description cannot be read gets no pin, as one without samples.
    if (err != noErr || GetHandleSize(desc.get()) < Size(offsetof(ImageDescription, cType) +
                                                         sizeof(OSType)))
        return S_OK;

    int nBits = ScreenBitsPerPixel();
    if (!HasUsableFrameRate(media, m_movie))
        return S_OK;
    if (nBits < 16)
        nBits = 16;

    WCHAR wszName[128];
    FormatPinName("Video", iTrack, wszName);
    const ImageDescription *pImage = *desc.As<ImageDescription>();
    AddToTable(CreateVideoPin(phrPins, wszName, iTrack, box.bottom - box.top,
                              box.right - box.left, nBits, pImage->cType));
    return S_OK;
}

HRESULT CMovieSourceFilter::OpenSoundTrack(int iTrack, Media media, HRESULT *phrPins)
{
    CQuickTimeHandle desc(NewHandle(0));
    if (!desc.get())
        return E_FAIL;
    GetMediaSampleDescription(media, 1, desc.As<SampleDescription>());
    if (GetMoviesError() != noErr)
        return E_FAIL;
    const Size cb = GetHandleSize(desc.get());
    if (cb < Size(sizeof(SoundDescription)))
        return E_FAIL;

    const SoundDescription *pSound = *desc.As<SoundDescription>();
    int nChannels = pSound->numChannels;
    int nSampleRate = int(pSound->sampleRate >> 16);
    int nBits = pSound->sampleSize;
    if (pSound->version == 2) {
        if (cb < Size(sizeof(SoundDescriptionV2)))
            return E_FAIL;
        const SoundDescriptionV2 *pV2 = *desc.As<SoundDescriptionV2>();
        if (pV2->audioSampleRate < 0 || !(pV2->audioSampleRate < 2147483648.0) ||
            pV2->numAudioChannels > 0x7FFFFFFF || pV2->constBitsPerChannel > 0x7FFFFFFF)
            return E_FAIL;
        nChannels = int(pV2->numAudioChannels);
        nSampleRate = int(pV2->audioSampleRate);
        nBits = int(pV2->constBitsPerChannel);
    }

    WCHAR wszName[128];
    FormatPinName("Audio", iTrack, wszName);
    AddToTable(CreateAudioPin(phrPins, wszName, iTrack, nChannels, nSampleRate, nBits,
                              pSound->dataFormat));
    return S_OK;
}
