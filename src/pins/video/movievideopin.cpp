// CMovieVideoPin: the RGB media type, buffer sizes, render target and per-frame fill.
#include "pins/video/movievideopin.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <amvideo.h>
#include <uuids.h>

#include "filter/moviesourcefilter.h"
#include "pins/pinarithmetic.h"
#include "quicktime/QuickTime.h"

namespace {

// A VIDEOINFO: the header followed by room for a colour table or bit masks.
constexpr ULONG kVideoInfoBytes = 1128;
static_assert(kVideoInfoBytes == sizeof(VIDEOINFO), "VIDEOINFO layout");
constexpr long kBuffers = 3;

// The header together with the 256 colour entries of a DIB section's BITMAPINFO.
struct DIBSectionInfo {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[256];
};

const GUID &SubtypeForDepth(WORD wBitCount)
{
    switch (wBitCount) {
    case 16:
        return MEDIASUBTYPE_RGB555;
    case 24:
        return MEDIASUBTYPE_RGB24;
    case 32:
        return MEDIASUBTYPE_RGB32;
    default:
        return GUID_NULL;
    }
}

}  // namespace

CMovieVideoPin::CMovieVideoPin(HRESULT *phr, CMovieSourceFilter *pFilter, LPCWSTR pPinName,
                               Movie movie, long lTrackIndex, long lHeight, long lWidth,
                               long lBitCount, DWORD dwDataFormat)
    : CMovieOutputPin(nullptr, phr, pFilter, pPinName, movie, lTrackIndex, MEDIATYPE_Video,
                      MEDIASUBTYPE_RGB32, FORMAT_VideoInfo, dwDataFormat, dwDataFormat),
      m_VideoInfo(this),
      m_frames(m_Track),
      m_nWidth(lWidth),
      m_nHeight(lHeight),
      m_nBitCount(lBitCount),
      m_gWorld(nullptr),
      m_pDIBBits(nullptr),
      m_hMemDC(nullptr),
      m_hDIBSection(nullptr),
      m_hOldBitmap(nullptr)
{
    CAutoLock lock(&m_PinLock);
    m_bFrameTimed = true;
    // The track's own rate, not the movie's length: a track shorter than its movie, or a
    // 29.97 rate in a coarse movie time scale, keeps its rate.
    m_dFrameRate = 0.0;
    if (m_Media) {
        const double dSamples = GetMediaSampleCount(m_Media);
        const double dSeconds = double(GetMediaDuration(m_Media)) / double(GetMediaTimeScale(m_Media));
        if (dSamples > 0 && std::isfinite(dSeconds) && dSeconds > 0)
            m_dFrameRate = dSamples / dSeconds;
    }
}

CMovieVideoPin::~CMovieVideoPin()
{
    ReleaseRenderTarget();
}

STDMETHODIMP CMovieVideoPin::NonDelegatingQueryInterface(REFIID riid, void **ppv)
{
    if (IsEqualIID(riid, IID_IMovieVideoInfo)) {
        if (!ppv)
            return E_POINTER;
        return GetInterface(static_cast<IMovieVideoInfo *>(&m_VideoInfo), ppv);
    }
    return CMovieOutputPin::NonDelegatingQueryInterface(riid, ppv);
}

long CMovieVideoPin::FrameBytes() const
{
    if (m_nWidth <= 0 || m_nHeight <= 0 || m_nBitCount <= 0)
        return 0;
    const LONGLONG llStride = (LONGLONG(m_nWidth) * m_nBitCount + 31) / 32 * 4;
    return SaturateToLong(llStride * m_nHeight);
}

HRESULT CMovieVideoPin::BuildMediaType()
{
    BYTE *pFormat = m_mtOutput.AllocFormatBuffer(kVideoInfoBytes);
    if (!pFormat)
        return E_OUTOFMEMORY;
    std::memset(pFormat, 0, kVideoInfoBytes);

    VIDEOINFOHEADER *pvi = reinterpret_cast<VIDEOINFOHEADER *>(pFormat);
    if (std::isfinite(m_dFrameRate) && m_dFrameRate > 0.0)
        pvi->AvgTimePerFrame = TruncateToLongLong(10000000.0 / m_dFrameRate + 0.5);
    BITMAPINFOHEADER &bmi = pvi->bmiHeader;
    bmi.biSize = sizeof(BITMAPINFOHEADER);
    bmi.biWidth = m_nWidth;
    bmi.biHeight = -m_nHeight;
    bmi.biPlanes = 1;
    bmi.biBitCount = WORD(m_nBitCount);
    bmi.biCompression = BI_RGB;
    bmi.biSizeImage = DWORD(FrameBytes());

    m_mtOutput.SetSubtype(&SubtypeForDepth(bmi.biBitCount));
    m_mtOutput.SetSampleSize(bmi.biSizeImage);
    return S_OK;
}

HRESULT CMovieVideoPin::DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *pProps)
{
    if (!pAlloc || !pProps)
        return E_POINTER;
    CAutoLock lock(m_pFilter->pStateLock());
    if (m_mt.FormatLength() < sizeof(VIDEOINFOHEADER) || !m_mt.Format())
        return E_FAIL;
    const VIDEOINFOHEADER *pvi = reinterpret_cast<const VIDEOINFOHEADER *>(m_mt.Format());
    pProps->cBuffers = kBuffers;
    pProps->cbBuffer = LONG(pvi->bmiHeader.biSizeImage);

    ALLOCATOR_PROPERTIES actual = {};
    const HRESULT hr = pAlloc->SetProperties(pProps, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cbBuffer < pProps->cbBuffer ? E_FAIL : S_OK;
}

void CMovieVideoPin::ReleaseRenderTarget()
{
    // The movie must stop drawing into the world before it goes, and the DIB section must be
    // out of the DC before either is deleted.
    CAutoLock renderLock(&m_pMovieFilter->m_csRender);
    if (m_gWorld) {
        if (m_Movie)
            SetMovieGWorld(m_Movie, nullptr, nullptr);
        m_pMovieFilter->m_renderWorld = nullptr;
        DisposeGWorld(m_gWorld);
        m_gWorld = nullptr;
    }
    if (m_hMemDC) {
        if (m_hOldBitmap)
            SelectObject(m_hMemDC, m_hOldBitmap);
        DeleteDC(m_hMemDC);
        m_hMemDC = nullptr;
        m_hOldBitmap = nullptr;
    }
    if (m_hDIBSection) {
        DeleteObject(m_hDIBSection);
        m_hDIBSection = nullptr;
        m_pDIBBits = nullptr;
    }
}

HRESULT CMovieVideoPin::PrepareTrackStreaming()
{
    if (m_gWorld)
        return S_OK;
    // What an earlier failed attempt left.
    ReleaseRenderTarget();

    DIBSectionInfo info;
    std::memset(&info, 0, sizeof info);
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = m_nWidth;
    info.bmiHeader.biHeight = -m_nHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = WORD(m_nBitCount);
    info.bmiHeader.biCompression = BI_RGB;

    void *pBits = nullptr;
    m_hDIBSection = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO *>(&info),
                                     DIB_RGB_COLORS, &pBits, nullptr, 0);
    if (!m_hDIBSection || !pBits)
        return E_FAIL;
    m_pDIBBits = static_cast<BYTE *>(pBits);

    HDC hScreen = GetDC(nullptr);
    if (!hScreen)
        return E_FAIL;
    m_hMemDC = CreateCompatibleDC(hScreen);
    if (m_hMemDC)
        SetMapMode(m_hMemDC, GetMapMode(hScreen));
    ReleaseDC(nullptr, hScreen);
    if (!m_hMemDC)
        return E_FAIL;
    m_hOldBitmap = SelectObject(m_hMemDC, m_hDIBSection);

    GWorldPtr world = nullptr;
    if (NewGWorldFromHBITMAP(&world, nullptr, nullptr, 0, m_hDIBSection, m_hMemDC) != noErr ||
        !world)
        return E_FAIL;
    CAutoLock renderLock(&m_pMovieFilter->m_csRender);
    m_gWorld = world;
    SetMovieGWorld(m_Movie, m_gWorld, GetGWorldDevice(m_gWorld));
    m_pMovieFilter->m_renderWorld = m_gWorld;
    return S_OK;
}

HRESULT CMovieVideoPin::PrepareMovieStreaming()
{
    return PrepareTrackStreaming();
}

bool CMovieVideoPin::FindFrame()
{
    LONG lFrom = m_frames.ShownAt(m_lCurrent);
    // Already delivered in this segment (an early quality report moved back into it), or not
    // shown at all: the next frame is the one that starts next.
    const LONG lDeliveredEnd = m_lStart + m_lDelivered;
    if (lFrom < 0 || (m_lDelivered > 0 && lFrom < lDeliveredEnd)) {
        lFrom = m_frames.NextFrame(m_lCurrent);
        if (lFrom < 0 || lFrom >= m_lStop)
            return false;
    }
    // A frame begun before the segment is shown from its start.
    if (lFrom < m_lStart)
        lFrom = m_lStart;
    // The output clock counts movie time from the segment's start, so it moves with the read
    // position: skipped spans are not delivered, and a frame found behind a jump keeps its time.
    m_lElapsed = SaturateToLong(LONGLONG(m_lElapsed) + lFrom - m_lCurrent);
    m_lCurrent = lFrom;
    return true;
}

HRESULT CMovieVideoPin::FillFromTrack(IMediaSample *, BYTE *pBuffer, long lSize)
{
    if (!m_Movie || !m_Media || !m_gWorld || !m_pDIBBits || !pBuffer)
        return S_FALSE;
    if (!FindFrame())
        return S_FALSE;
    LONG lEnd = m_frames.NextChange(m_lCurrent);
    if (lEnd < 0 || lEnd > m_lStop)
        lEnd = m_lStop;
    // Never more than the frame, whatever the allocator granted.
    const long lFrame = FrameBytes();
    const long lCopy = lSize < lFrame ? lSize : lFrame;
    {
        // The movie's world and time are shared by every video pin of the filter.
        CAutoLock renderLock(&m_pMovieFilter->m_csRender);
        if (m_pMovieFilter->m_renderWorld != m_gWorld) {
            SetMovieGWorld(m_Movie, m_gWorld, GetGWorldDevice(m_gWorld));
            m_pMovieFilter->m_renderWorld = m_gWorld;
        }
        SetMovieTimeValue(m_Movie, m_lCurrent);
        MoviesTask(m_Movie, 0);
        // A frame whose data cannot be read (a file cut short or changed since it was opened)
        // ends the stream rather than repeat the last picture.
        if (GetMoviesError() != noErr)
            return S_FALSE;
        std::memcpy(pBuffer, m_pDIBBits, size_t(lCopy));
    }
    m_lChunkDuration = lEnd > m_lCurrent ? lEnd - m_lCurrent : 1;
    m_lChunkBytes = lCopy;
    return S_OK;
}

HRESULT CMovieVideoPin::FillFromMovie(IMediaSample *pSample, BYTE *pBuffer, long lSize)
{
    return FillFromTrack(pSample, pBuffer, lSize);
}

HRESULT CMovieVideoPin::GetFrameRate(double *pdFrameRate)
{
    if (!pdFrameRate)
        return E_POINTER;
    *pdFrameRate = m_dFrameRate;
    return S_OK;
}

// --- frames as positions -----------------------------------------------------------------

// The frame shown at a time (counted from the movie's start); the number of frames at or past
// the end of the last one. Reference times compare as the pin reports them (truncated).
LONGLONG CMovieVideoPin::SamplesAt(REFERENCE_TIME rt) const
{
    if (!m_frames.Index(m_lDuration))
        return CMovieOutputPin::SamplesAt(rt);
    const std::vector<LONG> &starts = m_frames.Starts();
    if (starts.empty() || rt >= ToReference(m_frames.ShownEnd()))
        return LONGLONG(starts.size());
    const auto after = std::upper_bound(starts.begin(), starts.end(), rt,
        [this](REFERENCE_TIME t, LONG lStart) { return t < ToReference(lStart); });
    return after == starts.begin() ? 0 : LONGLONG(after - starts.begin()) - 1;
}

REFERENCE_TIME CMovieVideoPin::SampleStart(LONGLONG llFrame) const
{
    if (!m_frames.Index(m_lDuration))
        return CMovieOutputPin::SampleStart(llFrame);
    const std::vector<LONG> &starts = m_frames.Starts();
    if (llFrame <= 0)
        return starts.empty() ? 0 : ToReference(starts.front());
    if (ULONGLONG(llFrame) < starts.size())
        return ToReference(starts[size_t(llFrame)]);
    // Past the last frame: its end, then on at the average rate.
    const REFERENCE_TIME rtEnd = ToReference(m_frames.ShownEnd());
    const LONGLONG llBeyond = llFrame - LONGLONG(starts.size());
    if (llBeyond == 0 || !(m_dFrameRate > 0.0))
        return rtEnd;
    return rtEnd + TruncateToLongLong(double(llBeyond) * 10000000.0 / m_dFrameRate);
}

// --- IMovieVideoInfo --------------------------------------------------------------------

STDMETHODIMP CMovieVideoPin::CVideoInfo::GetFramesPerSecond(LONG *pFramesPerSecond)
{
    if (!pFramesPerSecond)
        return E_POINTER;
    *pFramesPerSecond = SaturateToLong(TruncateToLongLong(m_pPin->m_dFrameRate));
    return S_OK;
}
