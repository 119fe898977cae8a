// CMovieVideoPin: the RGB media type, buffer sizes, render target and per-frame fill.
#include "pins/video/movievideopin.h"

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
      m_nWidth(lWidth),
      m_nHeight(lHeight),
      m_nBitCount(lBitCount),
      m_gWorld(nullptr),
      m_pDIBBits(nullptr),
      m_hMemDC(nullptr),
      m_hDIBSection(nullptr),
      m_hOldBitmap(nullptr)
{
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
        pvi->AvgTimePerFrame = TruncateToLongLong(10000000.0 / m_dFrameRate);
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

HRESULT CMovieVideoPin::FillFromTrack(IMediaSample *, BYTE *pBuffer, long lSize)
{
    if (!m_Movie || !m_Media || !m_gWorld || !m_pDIBBits || !pBuffer)
        return S_FALSE;
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
    // A frame rate at or above the time scale would otherwise give a step of 0.
    const LONG lStep = SaturateToLong(TruncateToLongLong(SampleInterval()));
    m_lChunkDuration = lStep > 0 ? lStep : 1;
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

// --- IMovieVideoInfo --------------------------------------------------------------------

STDMETHODIMP CMovieVideoPin::CVideoInfo::GetFramesPerSecond(LONG *pFramesPerSecond)
{
    if (!pFramesPerSecond)
        return E_POINTER;
    *pFramesPerSecond = SaturateToLong(TruncateToLongLong(m_pPin->m_dFrameRate));
    return S_OK;
}
