// CMediaType: an AM_MEDIA_TYPE with value semantics, and the AM_MEDIA_TYPE helper functions.
//
// A media type owns its format block (CoTaskMemAlloc) and a reference on its pUnk; copies
// duplicate the block and add a reference. A fresh type is all zero except for fixed-size
// samples of size 1. Copying can fail for want of memory: the copy constructor reports it
// through its status pointer, Set through its result; assignment leaves cbFormat 0 then.
#pragma once

#include <windows.h>
#include <strmif.h>

class CMediaType : public AM_MEDIA_TYPE {
public:
    CMediaType();
    explicit CMediaType(const GUID *majortype);
    CMediaType(const AM_MEDIA_TYPE &rt, HRESULT *phr = nullptr);
    CMediaType(const CMediaType &rt);
    ~CMediaType();

    CMediaType &operator=(const CMediaType &rt);
    CMediaType &operator=(const AM_MEDIA_TYPE &rt);
    HRESULT Set(const CMediaType &rt);
    HRESULT Set(const AM_MEDIA_TYPE &rt);

    // Same major type, subtype, format type and format block.
    bool operator==(const CMediaType &rt) const;
    bool operator!=(const CMediaType &rt) const;

    BOOL IsValid() const;

    const GUID *Type() const { return &majortype; }
    void SetType(const GUID *ptype);
    const GUID *Subtype() const { return &subtype; }
    void SetSubtype(const GUID *ptype);
    const GUID *FormatType() const { return &formattype; }
    void SetFormatType(const GUID *pformattype);

    BOOL IsFixedSize() const { return bFixedSizeSamples; }
    BOOL IsTemporalCompressed() const { return bTemporalCompression; }
    ULONG GetSampleSize() const;
    void SetSampleSize(ULONG sz);
    void SetVariableSize();
    void SetTemporalCompression(BOOL bCompressed);

    BYTE *Format() const { return pbFormat; }
    ULONG FormatLength() const { return cbFormat; }
    // A block of exactly length bytes, or null (the type keeps a larger block it already had).
    BYTE *AllocFormatBuffer(ULONG length);
    // As AllocFormatBuffer, keeping the leading bytes of the old block.
    BYTE *ReallocFormatBuffer(ULONG length);
    BOOL SetFormat(const BYTE *pFormat, ULONG length);
    void ResetFormatBuffer();

    // Major type or format type left open.
    BOOL IsPartiallySpecified() const;
    // Every field the partial type gives (non-null GUIDs, and the format with its format type).
    BOOL MatchesPartial(const CMediaType *ppartial) const;

private:
    void InitMediaType();
};

// Frees the format block and releases pUnk, leaving the type without them.
void WINAPI FreeMediaType(AM_MEDIA_TYPE &mt);
// FreeMediaType, then frees the structure itself (CoTaskMemFree); null is ignored.
void WINAPI DeleteMediaType(AM_MEDIA_TYPE *pmt);
// Every field copied, the format block duplicated, pUnk referenced. On failure cbFormat is 0.
HRESULT WINAPI CopyMediaType(AM_MEDIA_TYPE *pmtTarget, const AM_MEDIA_TYPE *pmtSource);
// A CoTaskMemAlloc'd copy, or null.
AM_MEDIA_TYPE *WINAPI CreateMediaType(const AM_MEDIA_TYPE *pSrc);
