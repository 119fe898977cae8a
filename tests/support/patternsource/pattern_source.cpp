#include "pattern_source.h"

#include <amvideo.h>
#include <uuids.h>
#include <vfwmsgs.h>

#include <new>

namespace testsupport {

// {9E3F61B2-4C0A-4D7B-8E21-5B6C3D9A0F17}
const CLSID CLSID_PatternSource = {
    0x9e3f61b2, 0x4c0a, 0x4d7b, {0x8e, 0x21, 0x5b, 0x6c, 0x3d, 0x9a, 0x0f, 0x17}};

PatternConfig::PatternConfig()
    : mediaType(&MEDIATYPE_Video), cSamples(4), cbSample(8 * 8 * 4), cBuffers(2), cbAlign(-1),
      rtDuration(400000), dwFillDelayMs(0), iFailSample(-1), hrFill(S_OK), cThreadCreateFailures(0),
      hrThreadCreate(E_FAIL)
{
    mediaType.SetSubtype(&MEDIASUBTYPE_RGB32);
    mediaType.SetFormatType(&FORMAT_VideoInfo);
    mediaType.SetSampleSize(8 * 8 * 4);
    VIDEOINFOHEADER vih = {};
    vih.AvgTimePerFrame = 400000;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = 8;
    vih.bmiHeader.biHeight = -8;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 32;
    vih.bmiHeader.biSizeImage = 8 * 8 * 4;
    mediaType.SetFormat(reinterpret_cast<const BYTE *>(&vih), sizeof(vih));
}

CPatternStream::CPatternStream(HRESULT *phr, CSource *pFilter, LPCWSTR pName,
                               const PatternConfig &config)
    : CSourceStream(TEXT("pattern stream"), phr, pFilter, pName), m_config(config), m_iNext(0),
      m_bDiscontinuity(true), m_cCreateFailuresLeft(config.cThreadCreateFailures), m_offered(),
      m_cThreadCreate(0), m_cThreadDestroy(0), m_cStartPlay(0)
{
}

ALLOCATOR_PROPERTIES CPatternStream::OfferedProperties()
{
    CAutoLock lock(&m_csPattern);
    return m_offered;
}

LONG CPatternStream::NextSample()
{
    CAutoLock lock(&m_csPattern);
    return m_iNext;
}

STDMETHODIMP CPatternStream::Notify(IBaseFilter *, Quality)
{
    return E_NOTIMPL;
}

STDMETHODIMP CPatternStream::SetSink(IQualityControl *piqc)
{
    m_pQSink = piqc;
    return S_OK;
}

HRESULT CPatternStream::FillBuffer(IMediaSample *pSample)
{
    if (m_config.dwFillDelayMs)
        Sleep(m_config.dwFillDelayMs);

    CAutoLock lock(&m_csPattern);
    if (m_config.cSamples >= 0 && m_iNext >= m_config.cSamples)
        return S_FALSE;
    if (m_iNext == m_config.iFailSample) {
        m_iNext++;
        return m_config.hrFill;
    }

    BYTE *pData = nullptr;
    HRESULT hr = pSample->GetPointer(&pData);
    if (FAILED(hr))
        return hr;
    LONG cb = m_config.cbSample < pSample->GetSize() ? m_config.cbSample : pSample->GetSize();
    for (LONG i = 0; i < cb; i++)
        pData[i] = PatternByte(m_iNext, i);
    pSample->SetActualDataLength(cb);

    REFERENCE_TIME tStart = m_iNext * m_config.rtDuration;
    REFERENCE_TIME tStop = tStart + m_config.rtDuration;
    pSample->SetTime(&tStart, &tStop);
    pSample->SetSyncPoint(TRUE);
    pSample->SetDiscontinuity(m_bDiscontinuity ? TRUE : FALSE);
    m_bDiscontinuity = false;
    m_iNext++;
    return S_OK;
}

HRESULT CPatternStream::OnThreadCreate()
{
    InterlockedIncrement(&m_cThreadCreate);
    CAutoLock lock(&m_csPattern);
    if (m_cCreateFailuresLeft > 0) {
        m_cCreateFailuresLeft--;
        return m_config.hrThreadCreate;
    }
    m_iNext = 0;
    return S_OK;
}

HRESULT CPatternStream::OnThreadDestroy()
{
    InterlockedIncrement(&m_cThreadDestroy);
    return S_OK;
}

HRESULT CPatternStream::OnThreadStartPlay()
{
    InterlockedIncrement(&m_cStartPlay);
    {
        CAutoLock lock(&m_csPattern);
        m_bDiscontinuity = true;
    }
    return DeliverNewSegment(0, MAXLONGLONG, 1.0);
}

HRESULT CPatternStream::GetMediaType(CMediaType *pMediaType)
{
    if (!pMediaType)
        return E_POINTER;
    return pMediaType->Set(m_config.mediaType);
}

HRESULT CPatternStream::DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *pProps)
{
    {
        CAutoLock lock(&m_csPattern);
        m_offered = *pProps;
    }
    ALLOCATOR_PROPERTIES want = *pProps;
    if (want.cBuffers < m_config.cBuffers)
        want.cBuffers = m_config.cBuffers;
    if (want.cbBuffer < m_config.cbSample)
        want.cbBuffer = m_config.cbSample;
    if (m_config.cbAlign >= 0)
        want.cbAlign = m_config.cbAlign;

    ALLOCATOR_PROPERTIES actual = {};
    HRESULT hr = pAlloc->SetProperties(&want, &actual);
    if (FAILED(hr))
        return hr;
    if (actual.cbBuffer < want.cbBuffer || actual.cBuffers < want.cBuffers)
        return E_FAIL;
    return S_OK;
}

CPatternSource::CPatternSource() : CSource(TEXT("pattern source"), nullptr, CLSID_PatternSource) {}

CPatternSource *CPatternSource::Create()
{
    CPatternSource *pFilter = new (std::nothrow) CPatternSource();
    if (pFilter)
        pFilter->NonDelegatingAddRef();
    return pFilter;
}

HRESULT CPatternSource::AddStream(const PatternConfig &config, LPCWSTR pName,
                                  CPatternStream **ppStream)
{
    if (ppStream)
        *ppStream = nullptr;
    HRESULT hr = S_OK;
    CPatternStream *pStream = new (std::nothrow) CPatternStream(&hr, this, pName, config);
    if (!pStream)
        return E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete pStream;
        return hr;
    }
    if (ppStream)
        *ppStream = pStream;
    return S_OK;
}

CUnknown *CALLBACK CPatternSource::CreateInstance(LPUNKNOWN pUnkOuter, HRESULT *phr)
{
    if (pUnkOuter) {
        if (phr)
            *phr = CLASS_E_NOAGGREGATION;
        return nullptr;
    }
    CPatternSource *pFilter = new (std::nothrow) CPatternSource();
    if (!pFilter && phr)
        *phr = E_OUTOFMEMORY;
    return pFilter;
}

} // namespace testsupport
