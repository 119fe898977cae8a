#include "framework/mediatype.h"

#include <string.h>

void WINAPI FreeMediaType(AM_MEDIA_TYPE &mt)
{
    if (mt.cbFormat != 0 || mt.pbFormat) {
        CoTaskMemFree(mt.pbFormat);
        mt.cbFormat = 0;
        mt.pbFormat = nullptr;
    }
    if (mt.pUnk) {
        mt.pUnk->Release();
        mt.pUnk = nullptr;
    }
}

void WINAPI DeleteMediaType(AM_MEDIA_TYPE *pmt)
{
    if (!pmt)
        return;
    FreeMediaType(*pmt);
    CoTaskMemFree(pmt);
}

HRESULT WINAPI CopyMediaType(AM_MEDIA_TYPE *pmtTarget, const AM_MEDIA_TYPE *pmtSource)
{
    *pmtTarget = *pmtSource;
    // The target owns what it holds, even when the format block could not be had.
    if (pmtTarget->pUnk)
        pmtTarget->pUnk->AddRef();
    if (pmtSource->cbFormat == 0) {
        pmtTarget->pbFormat = nullptr;
        return S_OK;
    }
    pmtTarget->pbFormat = static_cast<BYTE *>(CoTaskMemAlloc(pmtSource->cbFormat));
    if (!pmtTarget->pbFormat) {
        pmtTarget->cbFormat = 0;
        return E_OUTOFMEMORY;
    }
    memcpy(pmtTarget->pbFormat, pmtSource->pbFormat, pmtSource->cbFormat);
    return S_OK;
}

AM_MEDIA_TYPE *WINAPI CreateMediaType(const AM_MEDIA_TYPE *pSrc)
{
    AM_MEDIA_TYPE *pmt = static_cast<AM_MEDIA_TYPE *>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!pmt)
        return nullptr;
    if (FAILED(CopyMediaType(pmt, pSrc))) {
        DeleteMediaType(pmt);
        return nullptr;
    }
    return pmt;
}

void CMediaType::InitMediaType()
{
    ZeroMemory(static_cast<AM_MEDIA_TYPE *>(this), sizeof(AM_MEDIA_TYPE));
    bFixedSizeSamples = TRUE;
    lSampleSize = 1;
}

CMediaType::CMediaType()
{
    InitMediaType();
}

CMediaType::CMediaType(const GUID *ptype)
{
    InitMediaType();
    majortype = *ptype;
}

CMediaType::CMediaType(const AM_MEDIA_TYPE &rt, HRESULT *phr)
{
    HRESULT hr = CopyMediaType(this, &rt);
    if (FAILED(hr) && phr)
        *phr = hr;
}

CMediaType::CMediaType(const CMediaType &rt) : CMediaType(static_cast<const AM_MEDIA_TYPE &>(rt))
{
}

CMediaType::~CMediaType()
{
    FreeMediaType(*this);
}

CMediaType &CMediaType::operator=(const CMediaType &rt)
{
    Set(rt);
    return *this;
}

CMediaType &CMediaType::operator=(const AM_MEDIA_TYPE &rt)
{
    Set(rt);
    return *this;
}

HRESULT CMediaType::Set(const CMediaType &rt)
{
    return Set(static_cast<const AM_MEDIA_TYPE &>(rt));
}

HRESULT CMediaType::Set(const AM_MEDIA_TYPE &rt)
{
    if (&rt == this)
        return S_OK;
    FreeMediaType(*this);
    return CopyMediaType(this, &rt);
}

bool CMediaType::operator==(const CMediaType &rt) const
{
    return IsEqualGUID(majortype, rt.majortype) && IsEqualGUID(subtype, rt.subtype) &&
           IsEqualGUID(formattype, rt.formattype) && cbFormat == rt.cbFormat &&
           (cbFormat == 0 || memcmp(pbFormat, rt.pbFormat, cbFormat) == 0);
}

bool CMediaType::operator!=(const CMediaType &rt) const
{
    return !(*this == rt);
}

BOOL CMediaType::IsValid() const
{
    return !IsEqualGUID(majortype, GUID_NULL);
}

void CMediaType::SetType(const GUID *ptype)
{
    majortype = *ptype;
}

void CMediaType::SetSubtype(const GUID *ptype)
{
    subtype = *ptype;
}

void CMediaType::SetFormatType(const GUID *pformattype)
{
    formattype = *pformattype;
}

ULONG CMediaType::GetSampleSize() const
{
    return bFixedSizeSamples ? lSampleSize : 0;
}

void CMediaType::SetSampleSize(ULONG sz)
{
    if (sz == 0) {
        SetVariableSize();
        return;
    }
    bFixedSizeSamples = TRUE;
    lSampleSize = sz;
}

void CMediaType::SetVariableSize()
{
    bFixedSizeSamples = FALSE;
}

void CMediaType::SetTemporalCompression(BOOL bCompressed)
{
    bTemporalCompression = bCompressed;
}

BYTE *CMediaType::AllocFormatBuffer(ULONG length)
{
    if (length == cbFormat && pbFormat)
        return pbFormat;
    BYTE *pNew = static_cast<BYTE *>(CoTaskMemAlloc(length));
    if (!pNew)
        return cbFormat >= length ? pbFormat : nullptr;
    CoTaskMemFree(pbFormat);
    pbFormat = pNew;
    cbFormat = length;
    return pbFormat;
}

BYTE *CMediaType::ReallocFormatBuffer(ULONG length)
{
    if (length == cbFormat && pbFormat)
        return pbFormat;
    BYTE *pNew = static_cast<BYTE *>(CoTaskMemAlloc(length));
    if (!pNew)
        return cbFormat >= length ? pbFormat : nullptr;
    if (pbFormat) {
        memcpy(pNew, pbFormat, cbFormat < length ? cbFormat : length);
        CoTaskMemFree(pbFormat);
    }
    pbFormat = pNew;
    cbFormat = length;
    return pbFormat;
}

BOOL CMediaType::SetFormat(const BYTE *pFormat, ULONG length)
{
    BYTE *pDest = AllocFormatBuffer(length);
    if (!pDest)
        return FALSE;
    memcpy(pDest, pFormat, length);
    return TRUE;
}

void CMediaType::ResetFormatBuffer()
{
    CoTaskMemFree(pbFormat);
    cbFormat = 0;
    pbFormat = nullptr;
}

BOOL CMediaType::IsPartiallySpecified() const
{
    return IsEqualGUID(majortype, GUID_NULL) || IsEqualGUID(formattype, GUID_NULL);
}

BOOL CMediaType::MatchesPartial(const CMediaType *ppartial) const
{
    if (!IsEqualGUID(ppartial->majortype, GUID_NULL) &&
        !IsEqualGUID(majortype, ppartial->majortype))
        return FALSE;
    if (!IsEqualGUID(ppartial->subtype, GUID_NULL) && !IsEqualGUID(subtype, ppartial->subtype))
        return FALSE;
    if (!IsEqualGUID(ppartial->formattype, GUID_NULL)) {
        if (!IsEqualGUID(formattype, ppartial->formattype))
            return FALSE;
        if (cbFormat != ppartial->cbFormat)
            return FALSE;
        if (cbFormat != 0 && memcmp(pbFormat, ppartial->pbFormat, cbFormat) != 0)
            return FALSE;
    }
    return TRUE;
}
