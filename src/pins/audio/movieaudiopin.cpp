// The audio pin's construction, destruction, media type, buffers and private interface; the two
// ways of producing PCM are in extractionpath.cpp and conversionpath.cpp.
#include "pins/audio/movieaudiopin.h"

#include <mmreg.h>
#include <uuids.h>

#include "filter/moviesourcefilter.h"
#include "quicktime/QuickTime.h"

namespace {

// Above this an override is taken for garbage and ignored (the 16.16 rate fields of QuickTime
// cannot carry more anyway).
constexpr LONG kMaxOutputRate = 65535;

bool IsExtensible(int nChannels, int nBitsPerSample)
{
    return nBitsPerSample == 32 || nBitsPerSample == 24 || nChannels > 2;
}

}  // namespace

CMovieAudioPin::CMovieAudioPin(HRESULT *phr, CMovieSourceFilter *pFilter, LPCWSTR pPinName,
                               Movie movie, long lTrackIndex, int nChannels, int nSampleRate,
                               int nBitsPerSample, DWORD dwDataFormat)
    : CMovieOutputPin(nullptr, phr, pFilter, pPinName, movie, lTrackIndex, MEDIATYPE_Audio,
                      MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, dwDataFormat, QTFourCC("NONE")),
      m_AudioInfo(this),
      m_nChannels(nChannels),
      m_nSampleRate(nSampleRate),
      m_nBitsPerSample(nBitsPerSample),
      m_nBytesPerSecond(0),
      m_nOutputSampleRate(0),
      m_nConfiguredRate(0),
      m_dwChannelMask(0),
      m_soundConverter(nullptr),
      m_bVariableBitRate(FALSE),
      m_hSourceData(nullptr),
      m_lSourceCapacity(0),
      m_sourceData(),
      m_fillBufferDataProc(nullptr),
      m_nConverterFlags(0),
      m_lReadPosition(0),
      m_lVbrBase(0),
      m_llVbrFrames(0),
      m_lVbrClock(0),
      m_bVbrSynced(false),
      m_stdAudio(nullptr),
      m_extractionFormat(),
      m_extractionSession(nullptr),
      m_nExtractionBufferSize(0),
      m_pExtractionBuffer(nullptr),
      m_bExtractionComplete(false),
      m_bExtractionRead(false)
{
    // Tracks below 8000 Hz are converted to 44,100 Hz, the rate the pin units count in.
    if (nSampleRate < 8000 && !pFilter->m_bQuickTime71)
        m_nOutputSampleRate = 44100;

    // The filter holds its QuickTime lock while it makes pins; nothing else reaches us yet.
    const HRESULT hr = pFilter->m_bQuickTime71 ? PrepareMovieStreaming() : PrepareTrackStreaming();
    if (phr && SUCCEEDED(*phr))
        *phr = hr;
}

CMovieAudioPin::~CMovieAudioPin()
{
    CAutoLock pinLock(&m_PinLock);
    CAutoLock qtLock(&m_pMovieFilter->m_csQuickTime);
    ReleaseConverter();
    if (m_fillBufferDataProc) {
        DisposeSoundConverterFillBufferDataUPP(m_fillBufferDataProc);
        m_fillBufferDataProc = nullptr;
    }
    if (m_hSourceData) {
        HUnlock(m_hSourceData);
        DisposeHandle(m_hSourceData);
        m_hSourceData = nullptr;
    }
    ReleaseExtraction();
}

STDMETHODIMP CMovieAudioPin::NonDelegatingQueryInterface(REFIID riid, void **ppv)
{
    if (IsEqualIID(riid, IID_IMovieAudioInfo)) {
        if (!ppv)
            return E_POINTER;
        return GetInterface(static_cast<IMovieAudioInfo *>(&m_AudioInfo), ppv);
    }
    return CMovieOutputPin::NonDelegatingQueryInterface(riid, ppv);
}

int CMovieAudioPin::RequestedRate() const
{
    const LONG nOverride = m_nOutputSampleRate;
    return nOverride > 0 && nOverride <= kMaxOutputRate ? int(nOverride) : m_nSampleRate;
}

int CMovieAudioPin::WantedOutputRate() const
{
    if (IsConnected() && IsEqualGUID(*m_mt.FormatType(), FORMAT_WaveFormatEx) &&
        m_mt.FormatLength() >= sizeof(WAVEFORMATEX) && m_mt.Format())
        return int(reinterpret_cast<const WAVEFORMATEX *>(m_mt.Format())->nSamplesPerSec);
    return RequestedRate();
}

int CMovieAudioPin::BytesPerSecondAt(int nRate) const
{
    const LONGLONG llBytes = LONGLONG(nRate) * m_nChannels * m_nBitsPerSample / 8;
    return llBytes > 0 && llBytes <= MAXLONG / 2 ? int(llBytes) : 0;
}

HRESULT CMovieAudioPin::BuildMediaType()
{
    const bool bExtensible = IsExtensible(m_nChannels, m_nBitsPerSample);
    const ULONG cbFormat = bExtensible ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX);
    BYTE *pFormat = m_mtOutput.AllocFormatBuffer(cbFormat);
    if (!pFormat || m_mtOutput.FormatLength() != cbFormat)
        return E_OUTOFMEMORY;
    ZeroMemory(pFormat, cbFormat);

    WAVEFORMATEX *pwfx = reinterpret_cast<WAVEFORMATEX *>(pFormat);
    pwfx->wFormatTag = bExtensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
    pwfx->cbSize = bExtensible ? sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX) : 0;
    pwfx->nSamplesPerSec = DWORD(RequestedRate());
    pwfx->wBitsPerSample = WORD(m_nBitsPerSample);
    pwfx->nChannels = WORD(m_nChannels);
    pwfx->nBlockAlign = WORD(pwfx->nChannels * pwfx->wBitsPerSample / 8);
    pwfx->nAvgBytesPerSec = pwfx->nBlockAlign * pwfx->nSamplesPerSec;
    if (bExtensible) {
        WAVEFORMATEXTENSIBLE *pwfxe = reinterpret_cast<WAVEFORMATEXTENSIBLE *>(pFormat);
        pwfxe->Samples.wValidBitsPerSample = pwfx->wBitsPerSample;
        pwfxe->dwChannelMask = m_dwChannelMask ? m_dwChannelMask
                               : pwfx->nChannels >= 32 ? 0xFFFFFFFFu : (1u << pwfx->nChannels) - 1;
        pwfxe->SubFormat = MEDIASUBTYPE_PCM;  // the same GUID as KSDATAFORMAT_SUBTYPE_PCM
    }
    m_mtOutput.SetSubtype(&MEDIASUBTYPE_PCM);
    m_mtOutput.SetSampleSize(pwfx->nBlockAlign);
    return S_OK;
}

HRESULT CMovieAudioPin::DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *pProps)
{
    if (!pAlloc || !pProps)
        return E_POINTER;
    CAutoLock lock(m_pMovieFilter->pStateLock());
    const CMediaType &mt = CurrentMediaType();
    if (!mt.Format() || mt.FormatLength() < sizeof(WAVEFORMATEX))
        return E_FAIL;
    const WAVEFORMATEX *pwfx = reinterpret_cast<const WAVEFORMATEX *>(mt.Format());
    const ULONGLONG cbTwoSeconds =
        ULONGLONG(pwfx->nSamplesPerSec) * 2 * pwfx->nChannels * pwfx->wBitsPerSample / 8;
    if (cbTwoSeconds == 0 || cbTwoSeconds > MAXLONG)
        return E_FAIL;
    pProps->cBuffers = 1;
    pProps->cbBuffer = LONG(cbTwoSeconds);
    ALLOCATOR_PROPERTIES actual = {};
    const HRESULT hr = pAlloc->SetProperties(pProps, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cbBuffer < pProps->cbBuffer ? E_FAIL : S_OK;
}

// --- IMovieAudioInfo -------------------------------------------------------------------

STDMETHODIMP CMovieAudioPin::CAudioInfo::GetSampleRate(LONG *pSampleRate)
{
    if (!pSampleRate)
        return E_POINTER;
    *pSampleRate = m_pPin->m_nSampleRate;
    return S_OK;
}

STDMETHODIMP CMovieAudioPin::CAudioInfo::IsMpeg4Audio()
{
    return m_pPin->m_dwSourceFormat == QTFourCC("mp4a") ? S_OK : S_FALSE;
}

STDMETHODIMP CMovieAudioPin::CAudioInfo::SetOutputSampleRate(BOOL bSet, LONG nSampleRate)
{
    // Read by the next media type and the next set-up; a connected pin keeps its agreed rate.
    if (bSet & 0xFF)
        InterlockedExchange(&m_pPin->m_nOutputSampleRate, nSampleRate);
    return S_OK;
}
