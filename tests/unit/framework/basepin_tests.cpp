// CBasePin connection negotiation between test pins, pin information, and the media type
// enumerator.
#include <windows.h>
#include <strmif.h>
#include <uuids.h>
#include <vfwmsgs.h>

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_objects.h"

namespace {

bool SameGuids(const std::vector<GUID> &a, const std::vector<GUID> &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (!IsEqualGUID(a[i], b[i]))
            return false;
    }
    return true;
}

// Refuses the listed subtypes with the given answer; accepts everything else.
std::function<HRESULT(const CMediaType *)> Refusing(std::vector<GUID> refused, HRESULT hr)
{
    return [refused, hr](const CMediaType *pmt) {
        for (const GUID &g : refused) {
            if (IsEqualGUID(pmt->subtype, g))
                return hr;
        }
        return S_OK;
    };
}

// A source filter with two output pins and a sink filter with one input pin.
class Pins : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_src = CTestFilter::Create({PINDIR_OUTPUT, PINDIR_OUTPUT});
        m_dst = CTestFilter::Create({PINDIR_INPUT});
        m_t1 = MakeType(TestGuid(1));
        m_t2 = MakeType(TestGuid(2));
        m_t3 = MakeType(TestGuid(3));
    }
    void TearDown() override
    {
        m_src->Stop();
        m_dst->Stop();
        Out()->Disconnect();
        In()->Disconnect();
        EXPECT_EQ(RefCount(m_src->Filter()), 1u);
        EXPECT_EQ(RefCount(m_dst->Filter()), 1u);
        m_src->Filter()->Release();
        m_dst->Filter()->Release();
        EXPECT_EQ(m_unk.m_cRef, 1);   // the pins' connection types let go of pUnk
    }

    CTestPin *Out() { return m_src->Pin(0); }
    CTestPin *In() { return m_dst->Pin(0); }
    IPin *InI() { return m_dst->PinI(0); }
    IPin *OutI() { return m_src->PinI(0); }

    GUID ConnectedSubtype(IPin *pPin)
    {
        AM_MEDIA_TYPE mt;
        EXPECT_EQ(pPin->ConnectionMediaType(&mt), S_OK);
        GUID g = mt.subtype;
        FreeMediaType(mt);
        return g;
    }
    void ExpectUnconnected(IPin *pPin)
    {
        IPin *pPeer = reinterpret_cast<IPin *>(0xdeadbeef);
        EXPECT_EQ(pPin->ConnectedTo(&pPeer), VFW_E_NOT_CONNECTED);
        EXPECT_EQ(pPeer, nullptr);
    }

    CCountingUnknown m_unk;   // outlives the pins, whose connection types may hold it
    CTestFilter *m_src = nullptr;
    CTestFilter *m_dst = nullptr;
    CMediaType m_t1, m_t2, m_t3;
};

} // namespace

TEST_F(Pins, FullySpecifiedTypeIsTriedAlone)
{
    In()->m_offered = {m_t1, m_t2};
    Out()->m_offered = {m_t1};
    ASSERT_FALSE(m_t3.IsPartiallySpecified());

    EXPECT_EQ(OutI()->Connect(InI(), &m_t3), S_OK);
    EXPECT_TRUE(SameGuids(Out()->m_tried, {TestGuid(3)}));
    EXPECT_TRUE(SameGuids(In()->m_tried, {TestGuid(3)}));
    EXPECT_TRUE(IsEqualGUID(ConnectedSubtype(OutI()), TestGuid(3)));
    EXPECT_TRUE(IsEqualGUID(ConnectedSubtype(InI()), TestGuid(3)));
    EXPECT_EQ(Out()->m_cComplete, 1);
    EXPECT_EQ(In()->m_cComplete, 1);
    EXPECT_EQ(Out()->GetConnected(), InI());
    EXPECT_EQ(In()->GetConnected(), OutI());
    EXPECT_EQ(Out()->CurrentMediaType(), m_t3);
}

TEST_F(Pins, RefusedFullySpecifiedTypeIsNotReplaced)
{
    In()->m_offered = {m_t1, m_t2};
    Out()->m_check = Refusing({TestGuid(3)}, E_FAIL);

    EXPECT_EQ(OutI()->Connect(InI(), &m_t3), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_TRUE(SameGuids(Out()->m_tried, {TestGuid(3)}));
    EXPECT_TRUE(In()->m_tried.empty());
    EXPECT_GE(Out()->m_cBreak, 1);
    ExpectUnconnected(OutI());
    ExpectUnconnected(InI());
}

TEST_F(Pins, PartialTypeTriesOnlyMatchingTypes)
{
    CMediaType audio = MakeType(TestGuid(2), MEDIATYPE_Audio, FORMAT_WaveFormatEx);
    In()->m_offered = {m_t1, audio, m_t3};
    Out()->m_check = Refusing({TestGuid(1)}, E_FAIL);

    CMediaType partial(&MEDIATYPE_Video);
    EXPECT_EQ(OutI()->Connect(InI(), &partial), S_OK);
    EXPECT_TRUE(SameGuids(Out()->m_tried, {TestGuid(1), TestGuid(3)}));
    EXPECT_TRUE(IsEqualGUID(ConnectedSubtype(OutI()), TestGuid(3)));
}

TEST_F(Pins, ReceivingPinTypesComeFirst)
{
    In()->m_offered = {m_t1};
    Out()->m_offered = {m_t2};
    EXPECT_EQ(OutI()->Connect(InI(), nullptr), S_OK);
    EXPECT_TRUE(SameGuids(Out()->m_tried, {TestGuid(1)}));
    EXPECT_TRUE(IsEqualGUID(ConnectedSubtype(InI()), TestGuid(1)));
    EXPECT_EQ(OutI()->Disconnect(), S_OK);
    EXPECT_EQ(InI()->Disconnect(), S_OK);

    // Refused types of the receiving pin lead on to the pin's own.
    Out()->m_tried.clear();
    In()->m_tried.clear();
    Out()->m_check = Refusing({TestGuid(1)}, VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(OutI()->Connect(InI(), nullptr), S_OK);
    EXPECT_TRUE(SameGuids(Out()->m_tried, {TestGuid(1), TestGuid(2)}));
    EXPECT_TRUE(SameGuids(In()->m_tried, {TestGuid(2)}));
    EXPECT_TRUE(IsEqualGUID(ConnectedSubtype(InI()), TestGuid(2)));
}

TEST_F(Pins, OwnTypesFirstWhenAsked)
{
    In()->m_offered = {m_t1};
    Out()->m_offered = {m_t2};
    Out()->SetTryMyTypesFirst(true);
    EXPECT_EQ(OutI()->Connect(InI(), nullptr), S_OK);
    EXPECT_TRUE(SameGuids(Out()->m_tried, {TestGuid(2)}));
}

TEST_F(Pins, NoAcceptableTypes)
{
    In()->m_offered = {m_t1};
    Out()->m_offered = {m_t2};
    In()->m_check = Refusing({TestGuid(1), TestGuid(2)}, E_FAIL);

    // The sender accepts both; the receiver refuses each in ReceiveConnection.
    EXPECT_EQ(OutI()->Connect(InI(), nullptr), VFW_E_NO_ACCEPTABLE_TYPES);
    EXPECT_TRUE(SameGuids(Out()->m_tried, {TestGuid(1), TestGuid(2)}));
    EXPECT_TRUE(SameGuids(In()->m_tried, {TestGuid(1), TestGuid(2)}));
    ExpectUnconnected(OutI());
    ExpectUnconnected(InI());
    EXPECT_EQ(RefCount(m_dst->Filter()), 1u);   // no reference left behind
    EXPECT_EQ(In()->m_cComplete, 0);

    // Nothing offered at all.
    In()->m_offered.clear();
    Out()->m_offered.clear();
    EXPECT_EQ(OutI()->Connect(InI(), nullptr), VFW_E_NO_ACCEPTABLE_TYPES);
}

TEST_F(Pins, FailureOtherThanRefusalIsReported)
{
    In()->m_offered = {m_t1, m_t2};
    Out()->m_offered = {m_t3};
    In()->m_hrComplete = E_OUTOFMEMORY;
    EXPECT_EQ(OutI()->Connect(InI(), nullptr), E_OUTOFMEMORY);
    EXPECT_EQ(In()->m_cComplete, 3);
    ExpectUnconnected(OutI());
    ExpectUnconnected(InI());

    // A non-type failure of CheckMediaType passes through unchanged.
    In()->m_hrComplete = S_OK;
    Out()->m_check = Refusing({TestGuid(3)}, E_OUTOFMEMORY);
    EXPECT_EQ(OutI()->Connect(InI(), &m_t3), E_OUTOFMEMORY);
}

TEST_F(Pins, OwnCompleteConnectFailureDisconnectsThePeer)
{
    Out()->m_hrComplete = E_UNEXPECTED;
    EXPECT_EQ(OutI()->Connect(InI(), &m_t1), E_UNEXPECTED);
    EXPECT_EQ(In()->m_cComplete, 1);
    ExpectUnconnected(InI());
    ExpectUnconnected(OutI());
    EXPECT_EQ(RefCount(m_src->Filter()), 1u);
    EXPECT_EQ(RefCount(m_dst->Filter()), 1u);
}

TEST_F(Pins, SameDirectionIsRefused)
{
    IPin *pOther = m_src->PinI(1);
    m_src->Pin(1)->m_offered = {m_t2};
    Out()->m_offered = {m_t3};
    EXPECT_EQ(OutI()->Connect(pOther, &m_t1), VFW_E_INVALID_DIRECTION);
    EXPECT_GE(Out()->m_cBreak, 1);
    EXPECT_TRUE(Out()->m_tried.empty());
    EXPECT_EQ(OutI()->Connect(pOther, nullptr), VFW_E_INVALID_DIRECTION);
    ExpectUnconnected(OutI());

    int cBreak = m_src->Pin(1)->m_cBreak;
    EXPECT_EQ(pOther->ReceiveConnection(OutI(), &m_t1), VFW_E_INVALID_DIRECTION);
    EXPECT_EQ(m_src->Pin(1)->m_cBreak, cBreak + 1);
    ExpectUnconnected(pOther);
}

TEST_F(Pins, AlreadyConnectedAndNotStopped)
{
    ASSERT_EQ(OutI()->Connect(InI(), &m_t1), S_OK);
    EXPECT_EQ(RefCount(m_dst->Filter()), 2u);   // the sender holds the receiver
    EXPECT_EQ(RefCount(m_src->Filter()), 2u);
    EXPECT_EQ(OutI()->Connect(InI(), &m_t1), VFW_E_ALREADY_CONNECTED);
    EXPECT_EQ(InI()->ReceiveConnection(OutI(), &m_t1), VFW_E_ALREADY_CONNECTED);

    ASSERT_EQ(m_src->Pause(), S_OK);
    EXPECT_EQ(OutI()->Disconnect(), VFW_E_NOT_STOPPED);
    EXPECT_EQ(m_src->PinI(1)->Connect(InI(), &m_t1), VFW_E_NOT_STOPPED);
    ASSERT_EQ(m_src->Stop(), S_OK);

    EXPECT_EQ(OutI()->Disconnect(), S_OK);
    EXPECT_EQ(OutI()->Disconnect(), S_FALSE);
    EXPECT_EQ(InI()->Disconnect(), S_OK);
    EXPECT_EQ(RefCount(m_dst->Filter()), 1u);
    EXPECT_EQ(RefCount(m_src->Filter()), 1u);

    ASSERT_EQ(m_dst->Pause(), S_OK);
    EXPECT_EQ(InI()->ReceiveConnection(OutI(), &m_t1), VFW_E_NOT_STOPPED);
    EXPECT_EQ(m_dst->Stop(), S_OK);
}

TEST_F(Pins, DisconnectKeepsConnectionWhenBreakFails)
{
    ASSERT_EQ(OutI()->Connect(InI(), &m_t1), S_OK);
    Out()->m_hrBreak = E_UNEXPECTED;
    EXPECT_EQ(OutI()->Disconnect(), E_UNEXPECTED);
    EXPECT_TRUE(Out()->IsConnected());
    Out()->m_hrBreak = S_OK;
}

TEST_F(Pins, SFalseFromCheckMediaTypeRefusesTheType)
{
    Out()->m_check = Refusing({TestGuid(1)}, S_FALSE);
    EXPECT_EQ(OutI()->Connect(InI(), &m_t1), VFW_E_TYPE_NOT_ACCEPTED);
    ExpectUnconnected(OutI());
    EXPECT_EQ(OutI()->QueryAccept(&m_t1), S_FALSE);
    EXPECT_EQ(OutI()->QueryAccept(&m_t2), S_OK);
    EXPECT_EQ(OutI()->QueryAccept(nullptr), E_POINTER);

    Out()->m_check = Refusing({TestGuid(2)}, E_OUTOFMEMORY);
    EXPECT_EQ(OutI()->QueryAccept(&m_t2), S_FALSE);

    // The receiving side turns S_FALSE into the same refusal.
    In()->m_check = Refusing({TestGuid(3)}, S_FALSE);
    EXPECT_EQ(InI()->ReceiveConnection(OutI(), &m_t3), VFW_E_TYPE_NOT_ACCEPTED);
    ExpectUnconnected(InI());
}

TEST_F(Pins, ConnectionMediaTypeAndConnectedTo)
{
    AM_MEDIA_TYPE mt;
    memset(&mt, 0xcc, sizeof(mt));
    EXPECT_EQ(OutI()->ConnectionMediaType(&mt), VFW_E_NOT_CONNECTED);
    EXPECT_TRUE(IsEqualGUID(mt.majortype, GUID_NULL));
    EXPECT_TRUE(IsEqualGUID(mt.subtype, GUID_NULL));
    EXPECT_TRUE(IsEqualGUID(mt.formattype, GUID_NULL));
    EXPECT_EQ(mt.bFixedSizeSamples, TRUE);
    EXPECT_EQ(mt.bTemporalCompression, FALSE);
    EXPECT_EQ(mt.lSampleSize, 1u);
    EXPECT_EQ(mt.cbFormat, 0u);
    EXPECT_EQ(mt.pbFormat, nullptr);
    EXPECT_EQ(mt.pUnk, nullptr);
    EXPECT_EQ(OutI()->ConnectionMediaType(nullptr), E_POINTER);
    EXPECT_EQ(OutI()->ConnectedTo(nullptr), E_POINTER);

    CCountingUnknown &unk = m_unk;
    CMediaType typed = m_t1;
    typed.pUnk = &unk;
    unk.AddRef();
    ASSERT_EQ(OutI()->Connect(InI(), &typed), S_OK);
    LONG cUnk = unk.m_cRef;

    memset(&mt, 0xcc, sizeof(mt));
    ASSERT_EQ(OutI()->ConnectionMediaType(&mt), S_OK);
    EXPECT_EQ(mt.pUnk, &unk);
    EXPECT_EQ(unk.m_cRef, cUnk + 1);
    ASSERT_EQ(mt.cbFormat, m_t1.cbFormat);
    EXPECT_NE(mt.pbFormat, Out()->CurrentMediaType().pbFormat);
    EXPECT_EQ(memcmp(mt.pbFormat, m_t1.pbFormat, mt.cbFormat), 0);
    FreeMediaType(mt);
    EXPECT_EQ(unk.m_cRef, cUnk);

    IPin *pPeer = nullptr;
    ASSERT_EQ(OutI()->ConnectedTo(&pPeer), S_OK);
    EXPECT_EQ(pPeer, InI());
    EXPECT_EQ(RefCount(m_dst->Filter()), 3u);
    pPeer->Release();
}

TEST_F(Pins, PinReferencesAreTheFilters)
{
    EXPECT_EQ(OutI()->AddRef(), 2u);
    EXPECT_EQ(RefCount(m_src->Filter()), 2u);
    EXPECT_EQ(OutI()->Release(), 1u);
    EXPECT_EQ(RefCount(m_src->Filter()), 1u);

    EXPECT_INTERFACE(OutI(), IID_IPin, true);
    EXPECT_INTERFACE(OutI(), IID_IQualityControl, true);
    EXPECT_INTERFACE(OutI(), IID_IUnknown, true);
    EXPECT_INTERFACE(OutI(), IID_IBaseFilter, false);
    EXPECT_INTERFACE(OutI(), IID_IMemInputPin, false);
}

TEST_F(Pins, PinInformation)
{
    PIN_DIRECTION dir = PIN_DIRECTION(7);
    EXPECT_EQ(InI()->QueryDirection(&dir), S_OK);
    EXPECT_EQ(dir, PINDIR_INPUT);
    EXPECT_EQ(InI()->QueryDirection(nullptr), E_POINTER);
    EXPECT_EQ(InI()->QueryInternalConnections(nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(InI()->NewSegment(10, 20, 0.5), S_OK);
    EXPECT_EQ(In()->CurrentStartTime(), 10);
    EXPECT_EQ(In()->CurrentStopTime(), 20);
    EXPECT_EQ(In()->CurrentRate(), 0.5);

    std::wstring longName(200, L'x');
    longName[126] = L'y';
    longName[127] = L'z';
    CTestFilter *pFilter = CTestFilter::Create({PINDIR_OUTPUT, PINDIR_OUTPUT}, {longName, L""});
    PIN_INFO info;
    memset(&info, 0xcc, sizeof(info));
    ASSERT_EQ(pFilter->PinI(0)->QueryPinInfo(&info), S_OK);
    EXPECT_EQ(info.pFilter, pFilter->Filter());
    EXPECT_EQ(RefCount(pFilter->Filter()), 2u);
    info.pFilter->Release();
    EXPECT_EQ(info.dir, PINDIR_OUTPUT);
    EXPECT_EQ(wcslen(info.achName), 127u);
    EXPECT_EQ(info.achName[126], L'y');

    memset(&info, 0xcc, sizeof(info));
    ASSERT_EQ(pFilter->PinI(1)->QueryPinInfo(&info), S_OK);
    EXPECT_EQ(info.achName[0], L'\0');
    info.pFilter->Release();
    EXPECT_EQ(pFilter->PinI(1)->QueryPinInfo(nullptr), E_POINTER);

    EXPECT_EQ(pFilter->Filter()->Release(), 0u);
}

TEST_F(Pins, MediaTypeEnumeratorWithOneType)
{
    Out()->m_offered = {m_t1};
    IEnumMediaTypes *pEnum = reinterpret_cast<IEnumMediaTypes *>(0xdeadbeef);
    EXPECT_EQ(OutI()->EnumMediaTypes(nullptr), E_POINTER);
    ASSERT_EQ(OutI()->EnumMediaTypes(&pEnum), S_OK);
    EXPECT_EQ(RefCount(m_src->Filter()), 2u);   // the enumerator holds the pin
    EXPECT_INTERFACE(pEnum, IID_IEnumMediaTypes, true);
    EXPECT_INTERFACE(pEnum, IID_IUnknown, true);
    EXPECT_INTERFACE(pEnum, IID_IEnumPins, false);

    AM_MEDIA_TYPE *types[2] = {reinterpret_cast<AM_MEDIA_TYPE *>(0xdeadbeef),
                               reinterpret_cast<AM_MEDIA_TYPE *>(0xdeadbeef)};
    ULONG cFetched = 77;
    EXPECT_EQ(pEnum->Next(2, types, &cFetched), S_FALSE);
    ASSERT_EQ(cFetched, 1u);
    ASSERT_NE(types[0], nullptr);
    EXPECT_EQ(types[1], reinterpret_cast<AM_MEDIA_TYPE *>(0xdeadbeef));
    EXPECT_TRUE(IsEqualGUID(types[0]->subtype, TestGuid(1)));
    ASSERT_EQ(types[0]->cbFormat, m_t1.cbFormat);
    EXPECT_NE(types[0]->pbFormat, Out()->m_offered[0].pbFormat);
    EXPECT_EQ(memcmp(types[0]->pbFormat, m_t1.pbFormat, m_t1.cbFormat), 0);
    DeleteMediaType(types[0]);

    cFetched = 77;
    EXPECT_EQ(pEnum->Next(1, types, &cFetched), S_FALSE);
    EXPECT_EQ(cFetched, 0u);
    EXPECT_EQ(pEnum->Next(2, types, nullptr), E_INVALIDARG);
    EXPECT_EQ(pEnum->Next(1, nullptr, &cFetched), E_POINTER);

    EXPECT_EQ(pEnum->Reset(), S_OK);
    EXPECT_EQ(pEnum->Next(1, types, nullptr), S_OK);
    DeleteMediaType(types[0]);

    EXPECT_EQ(pEnum->AddRef(), 2u);
    EXPECT_EQ(pEnum->Release(), 1u);
    EXPECT_EQ(pEnum->Release(), 0u);
    EXPECT_EQ(RefCount(m_src->Filter()), 1u);
}

TEST_F(Pins, MediaTypeEnumeratorSkipCloneAndSync)
{
    Out()->m_offered = {m_t1, m_t2, m_t3};
    IEnumMediaTypes *pEnum = nullptr;
    ASSERT_EQ(OutI()->EnumMediaTypes(&pEnum), S_OK);

    EXPECT_EQ(pEnum->Skip(0), S_OK);
    EXPECT_EQ(pEnum->Skip(2), S_OK);
    AM_MEDIA_TYPE *pmt = nullptr;
    ASSERT_EQ(pEnum->Next(1, &pmt, nullptr), S_OK);
    EXPECT_TRUE(IsEqualGUID(pmt->subtype, TestGuid(3)));
    DeleteMediaType(pmt);
    EXPECT_EQ(pEnum->Reset(), S_OK);
    EXPECT_EQ(pEnum->Skip(3), S_OK);
    EXPECT_EQ(pEnum->Skip(1), S_FALSE);

    EXPECT_EQ(pEnum->Reset(), S_OK);
    EXPECT_EQ(pEnum->Skip(1), S_OK);
    IEnumMediaTypes *pClone = nullptr;
    EXPECT_EQ(pEnum->Clone(nullptr), E_POINTER);
    ASSERT_EQ(pEnum->Clone(&pClone), S_OK);
    ASSERT_EQ(pClone->Next(1, &pmt, nullptr), S_OK);
    EXPECT_TRUE(IsEqualGUID(pmt->subtype, TestGuid(2)));
    DeleteMediaType(pmt);
    EXPECT_EQ(RefCount(m_src->Filter()), 3u);
    pClone->Release();

    // A changed type list puts the enumerator out of step until Reset.
    Out()->BumpTypeVersion();
    pmt = reinterpret_cast<AM_MEDIA_TYPE *>(0xdeadbeef);
    EXPECT_EQ(pEnum->Next(1, &pmt, nullptr), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(pEnum->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(pEnum->Skip(0), S_OK);
    pClone = reinterpret_cast<IEnumMediaTypes *>(0xdeadbeef);
    EXPECT_EQ(pEnum->Clone(&pClone), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(pClone, nullptr);
    EXPECT_EQ(pEnum->Reset(), S_OK);
    ASSERT_EQ(pEnum->Next(1, &pmt, nullptr), S_OK);
    EXPECT_TRUE(IsEqualGUID(pmt->subtype, TestGuid(1)));
    DeleteMediaType(pmt);

    EXPECT_EQ(pEnum->Release(), 0u);
}
