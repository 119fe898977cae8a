// CMediaType and the AM_MEDIA_TYPE functions: ownership of the format block and pUnk, the
// comparisons, and the format buffer operations including their failure paths.
#include <windows.h>
#include <strmif.h>
#include <uuids.h>

#include <string.h>

#include <gtest/gtest.h>

#include "allocation_failure.h"
#include "framework/mediatype.h"
#include "test_objects.h"

namespace {

// A format block the heap is made to refuse (LargeAllocationFailure): a 64-bit heap would
// grant this many bytes.
const ULONG kHuge = 0xFFFFFF00u;

bool IsFresh(const AM_MEDIA_TYPE &mt)
{
    return IsEqualGUID(mt.majortype, GUID_NULL) && IsEqualGUID(mt.subtype, GUID_NULL) &&
           mt.bFixedSizeSamples == TRUE && mt.bTemporalCompression == FALSE &&
           mt.lSampleSize == 1 && IsEqualGUID(mt.formattype, GUID_NULL) && !mt.pUnk &&
           mt.cbFormat == 0 && !mt.pbFormat;
}

} // namespace

TEST(MediaType, FreshTypes)
{
    CMediaType mt;
    EXPECT_TRUE(IsFresh(mt));
    EXPECT_FALSE(mt.IsValid());
    EXPECT_TRUE(mt.IsPartiallySpecified());

    CMediaType audio(&MEDIATYPE_Audio);
    EXPECT_TRUE(IsEqualGUID(*audio.Type(), MEDIATYPE_Audio));
    EXPECT_TRUE(audio.IsValid());
    audio.majortype = GUID_NULL;
    EXPECT_TRUE(IsFresh(audio));

    // A sample size of 0 means variable-sized samples.
    audio.SetSampleSize(0);
    EXPECT_FALSE(audio.IsFixedSize());
    EXPECT_EQ(audio.GetSampleSize(), 0u);
}

TEST(MediaType, CopiesOwnTheirFormatAndReferencePUnk)
{
    CCountingUnknown unk;
    {
        CMediaType a = MakeType(MEDIASUBTYPE_RGB32, MEDIATYPE_Video, FORMAT_VideoInfo, 0x5A, 12);
        a.pUnk = &unk;
        unk.AddRef();
        a.SetSampleSize(640 * 480 * 4);
        a.SetTemporalCompression(TRUE);

        CMediaType b(a);
        EXPECT_EQ(unk.m_cRef, 3);
        ASSERT_EQ(b.FormatLength(), 12u);
        EXPECT_NE(b.Format(), a.Format());
        EXPECT_EQ(memcmp(b.Format(), a.Format(), 12), 0);
        EXPECT_EQ(b.GetSampleSize(), 640u * 480u * 4u);
        EXPECT_TRUE(b.IsTemporalCompressed());
        EXPECT_TRUE(b == a);

        CMediaType c;
        c = a;
        EXPECT_EQ(unk.m_cRef, 4);
        EXPECT_TRUE(c == a);
        c = c;   // self-assignment keeps everything
        EXPECT_EQ(unk.m_cRef, 4);
        EXPECT_EQ(c.FormatLength(), 12u);

        // Assigning over a type drops what it owned.
        c = CMediaType(&MEDIATYPE_Audio);
        EXPECT_EQ(unk.m_cRef, 3);
        EXPECT_EQ(c.FormatLength(), 0u);
        EXPECT_EQ(c.Format(), nullptr);

        HRESULT hr = E_FAIL;
        CMediaType d(static_cast<const AM_MEDIA_TYPE &>(a), &hr);
        EXPECT_EQ(hr, E_FAIL);   // only a failure is stored
        EXPECT_EQ(d.Set(a), S_OK);
        EXPECT_EQ(unk.m_cRef, 4);
    }
    EXPECT_EQ(unk.m_cRef, 1);
}

TEST(MediaType, EqualityComparesTypesAndFormatOnly)
{
    const CMediaType a = MakeType(MEDIASUBTYPE_RGB24);
    CMediaType b = a;
    b.SetSampleSize(99);
    b.SetTemporalCompression(TRUE);
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a != b);

    CMediaType c = a;
    c.SetType(&MEDIATYPE_Audio);
    EXPECT_TRUE(a != c);
    c = a;
    c.SetSubtype(&MEDIASUBTYPE_RGB32);
    EXPECT_TRUE(a != c);
    c = a;
    c.SetFormatType(&FORMAT_WaveFormatEx);
    EXPECT_TRUE(a != c);
    c = a;
    c.Format()[7] ^= 1;
    EXPECT_TRUE(a != c);
    c = a;
    c.ReallocFormatBuffer(9);
    EXPECT_TRUE(a != c);

    // Without a format block the pointers do not matter.
    CMediaType d = MakeType(MEDIASUBTYPE_RGB24, MEDIATYPE_Video, FORMAT_VideoInfo, 0, 0);
    CMediaType e = d;
    EXPECT_TRUE(d == e);
}

TEST(MediaType, PartialMatching)
{
    const CMediaType full = MakeType(MEDIASUBTYPE_RGB24, MEDIATYPE_Video, FORMAT_VideoInfo, 7);
    EXPECT_FALSE(full.IsPartiallySpecified());

    CMediaType partial;
    EXPECT_TRUE(full.MatchesPartial(&partial));   // nothing given
    partial.SetType(&MEDIATYPE_Video);
    EXPECT_TRUE(partial.IsPartiallySpecified());
    EXPECT_TRUE(full.MatchesPartial(&partial));
    partial.SetSubtype(&MEDIASUBTYPE_RGB32);
    EXPECT_FALSE(full.MatchesPartial(&partial));
    partial.SetSubtype(&GUID_NULL);
    partial.SetType(&MEDIATYPE_Audio);
    EXPECT_FALSE(full.MatchesPartial(&partial));

    // A given format type brings its format block into the match.
    CMediaType withFormat;
    withFormat.SetFormatType(&FORMAT_VideoInfo);
    EXPECT_TRUE(withFormat.IsPartiallySpecified());
    EXPECT_FALSE(full.MatchesPartial(&withFormat));
    withFormat.SetFormat(full.Format(), full.FormatLength());
    EXPECT_TRUE(full.MatchesPartial(&withFormat));
    withFormat.Format()[0] = 8;
    EXPECT_FALSE(full.MatchesPartial(&withFormat));
    withFormat.SetFormatType(&FORMAT_WaveFormatEx);
    withFormat.SetFormat(full.Format(), full.FormatLength());
    EXPECT_FALSE(full.MatchesPartial(&withFormat));
}

TEST(MediaType, FormatBuffers)
{
    CMediaType mt;
    BYTE *p = mt.AllocFormatBuffer(16);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(mt.FormatLength(), 16u);
    for (int i = 0; i < 16; i++)
        p[i] = BYTE(i);
    EXPECT_EQ(mt.AllocFormatBuffer(16), p);   // same size: same block

    BYTE *q = mt.ReallocFormatBuffer(32);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(mt.FormatLength(), 32u);
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(q[i], i);
    q = mt.ReallocFormatBuffer(4);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(mt.FormatLength(), 4u);
    EXPECT_EQ(q[3], 3);

    const BYTE bytes[3] = {9, 8, 7};
    EXPECT_TRUE(mt.SetFormat(bytes, 3));
    EXPECT_EQ(mt.FormatLength(), 3u);
    EXPECT_EQ(memcmp(mt.Format(), bytes, 3), 0);

    mt.ResetFormatBuffer();
    EXPECT_EQ(mt.FormatLength(), 0u);
    EXPECT_EQ(mt.Format(), nullptr);
}

TEST(MediaType, FormatBufferFailuresKeepTheBlock)
{
    CMediaType mt;
    const BYTE bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(mt.SetFormat(bytes, 8));
    BYTE *pOld = mt.Format();
    LargeAllocationFailure failing(kHuge);
    ASSERT_TRUE(failing.Active());

    EXPECT_EQ(mt.AllocFormatBuffer(kHuge), nullptr);
    EXPECT_EQ(mt.ReallocFormatBuffer(kHuge), nullptr);
    EXPECT_FALSE(mt.SetFormat(bytes, kHuge));
    EXPECT_EQ(mt.Format(), pOld);
    EXPECT_EQ(mt.FormatLength(), 8u);
    EXPECT_EQ(memcmp(mt.Format(), bytes, 8), 0);
    EXPECT_EQ(LargeAllocationFailure::Refused(), 3);
}

TEST(MediaType, CopyFailureLeavesNoFormatButOwnsPUnk)
{
    CCountingUnknown unk;
    // A source that claims more format than can be copied (its bytes are never read).
    BYTE small[4] = {};
    AM_MEDIA_TYPE src = {};
    src.majortype = MEDIATYPE_Video;
    src.pUnk = &unk;
    src.cbFormat = kHuge;
    src.pbFormat = small;
    LargeAllocationFailure failing(kHuge);
    ASSERT_TRUE(failing.Active());

    AM_MEDIA_TYPE dst;
    memset(&dst, 0xcc, sizeof(dst));
    EXPECT_EQ(CopyMediaType(&dst, &src), E_OUTOFMEMORY);
    EXPECT_EQ(dst.cbFormat, 0u);
    EXPECT_EQ(dst.pbFormat, nullptr);
    EXPECT_TRUE(IsEqualGUID(dst.majortype, MEDIATYPE_Video));
    EXPECT_EQ(dst.pUnk, &unk);
    EXPECT_EQ(unk.m_cRef, 2);
    FreeMediaType(dst);
    EXPECT_EQ(unk.m_cRef, 1);

    HRESULT hr = S_OK;
    {
        CMediaType mt(src, &hr);
        EXPECT_EQ(hr, E_OUTOFMEMORY);
        EXPECT_EQ(mt.FormatLength(), 0u);
        EXPECT_EQ(mt.Set(src), E_OUTOFMEMORY);
    }
    EXPECT_EQ(CreateMediaType(&src), nullptr);
    EXPECT_EQ(unk.m_cRef, 1);
}

TEST(MediaType, CreateFreeDelete)
{
    CCountingUnknown unk;
    CMediaType src = MakeType(MEDIASUBTYPE_PCM, MEDIATYPE_Audio, FORMAT_WaveFormatEx, 0x42, 18);
    src.pUnk = &unk;
    unk.AddRef();

    AM_MEDIA_TYPE *pmt = CreateMediaType(&src);
    ASSERT_NE(pmt, nullptr);
    EXPECT_EQ(unk.m_cRef, 3);
    EXPECT_TRUE(IsEqualGUID(pmt->subtype, MEDIASUBTYPE_PCM));
    ASSERT_EQ(pmt->cbFormat, 18u);
    EXPECT_NE(pmt->pbFormat, src.pbFormat);
    EXPECT_EQ(pmt->pbFormat[17], 0x42);

    FreeMediaType(*pmt);
    EXPECT_EQ(unk.m_cRef, 2);
    EXPECT_EQ(pmt->cbFormat, 0u);
    EXPECT_EQ(pmt->pbFormat, nullptr);
    EXPECT_EQ(pmt->pUnk, nullptr);
    FreeMediaType(*pmt);   // nothing left to free
    EXPECT_EQ(unk.m_cRef, 2);
    DeleteMediaType(pmt);

    pmt = CreateMediaType(&src);
    ASSERT_NE(pmt, nullptr);
    DeleteMediaType(pmt);
    EXPECT_EQ(unk.m_cRef, 2);
    DeleteMediaType(nullptr);

    src.ResetFormatBuffer();
    AM_MEDIA_TYPE copy;
    memset(&copy, 0xcc, sizeof(copy));
    EXPECT_EQ(CopyMediaType(&copy, &src), S_OK);
    EXPECT_EQ(copy.pbFormat, nullptr);
    EXPECT_EQ(unk.m_cRef, 3);
    FreeMediaType(copy);
    EXPECT_EQ(unk.m_cRef, 2);
}
