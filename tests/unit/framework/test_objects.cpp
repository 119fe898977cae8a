#include "test_objects.h"

#include <uuids.h>
#include <vfwmsgs.h>

#include <stdio.h>
#include <string.h>

void CheckInterface(int line, IUnknown *pUnk, REFIID riid, bool bSupported)
{
    IUnknown *pOut = reinterpret_cast<IUnknown *>(0xdeadbeef);
    HRESULT hr = pUnk->QueryInterface(riid, reinterpret_cast<void **>(&pOut));
    if (bSupported) {
        EXPECT_EQ(hr, S_OK) << "interface expected, line " << line;
        if (hr == S_OK && pOut)
            pOut->Release();
    } else {
        EXPECT_EQ(hr, E_NOINTERFACE) << "interface not expected, line " << line;
        EXPECT_EQ(pOut, nullptr) << "line " << line;
    }
}

STDMETHODIMP CCountingUnknown::QueryInterface(REFIID riid, void **ppv)
{
    if (!IsEqualIID(riid, IID_IUnknown)) {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    *ppv = this;
    AddRef();
    return S_OK;
}

GUID TestGuid(int n)
{
    GUID g = {0x6b1c0000u + unsigned(n), 0x1d2e, 0x4f30, {0x91, 0x42, 0, 0, 0, 0, 0, 0}};
    return g;
}

CMediaType MakeType(const GUID &subtype, const GUID &major, const GUID &format, BYTE fill,
                    ULONG cbFormat)
{
    CMediaType mt(&major);
    mt.SetSubtype(&subtype);
    mt.SetFormatType(&format);
    if (cbFormat) {
        BYTE *p = mt.AllocFormatBuffer(cbFormat);
        if (p)
            memset(p, fill, cbFormat);
    }
    return mt;
}

CTestPin::CTestPin(CTestFilter *pFilter, int index, LPCWSTR pName, PIN_DIRECTION dir)
    : CBasePin("test pin", pFilter, pFilter->FilterLock(), nullptr, pName, dir),
      m_pTestFilter(pFilter),
      m_index(index)
{
}

HRESULT CTestPin::CheckMediaType(const CMediaType *pmt)
{
    m_tried.push_back(pmt->subtype);
    return m_check ? m_check(pmt) : S_OK;
}

HRESULT CTestPin::GetMediaType(int iPosition, CMediaType *pmt)
{
    if (iPosition < 0)
        return E_INVALIDARG;
    if (size_t(iPosition) >= m_offered.size())
        return VFW_S_NO_MORE_ITEMS;
    return pmt->Set(m_offered[size_t(iPosition)]);
}

HRESULT CTestPin::Active()
{
    m_cActive++;
    m_pTestFilter->m_log.push_back("A" + std::to_string(m_index));
    return m_hrActive;
}

HRESULT CTestPin::Inactive()
{
    m_cInactive++;
    m_pTestFilter->m_log.push_back("I" + std::to_string(m_index));
    return m_hrInactive;
}

HRESULT CTestPin::Run(REFERENCE_TIME tStart)
{
    m_cRun++;
    m_tRun = tStart;
    m_pTestFilter->m_log.push_back("R" + std::to_string(m_index));
    return m_hrRun;
}

HRESULT CTestPin::CheckConnect(IPin *pPin)
{
    m_cCheckConnect++;
    return CBasePin::CheckConnect(pPin);
}

HRESULT CTestPin::BreakConnect()
{
    m_cBreak++;
    return m_hrBreak;
}

HRESULT CTestPin::CompleteConnect(IPin *)
{
    m_cComplete++;
    return m_hrComplete;
}

STDMETHODIMP CTestPin::QueryId(LPWSTR *Id)
{
    if (!Id)
        return E_POINTER;
    *Id = static_cast<LPWSTR>(CoTaskMemAlloc(16 * sizeof(WCHAR)));
    if (!*Id)
        return E_OUTOFMEMORY;
    swprintf(*Id, 16, L"%d", m_index + 1);
    return S_OK;
}

CTestFilter::CTestFilter() : CBaseFilter("test filter", nullptr, &m_lock, TestGuid(900)) {}

CTestFilter::~CTestFilter()
{
    for (CTestPin *p : m_pins)
        delete p;
}

CTestFilter *CTestFilter::Create(const std::vector<PIN_DIRECTION> &dirs,
                                 const std::vector<std::wstring> &names)
{
    CTestFilter *pFilter = new CTestFilter;
    for (size_t i = 0; i < dirs.size(); i++) {
        std::wstring name = i < names.size() ? names[i] : L"Pin " + std::to_wstring(i);
        LPCWSTR pName = name.empty() ? nullptr : name.c_str();
        pFilter->m_pins.push_back(new CTestPin(pFilter, int(i), pName, dirs[i]));
    }
    pFilter->NonDelegatingAddRef();
    return pFilter;
}

int CTestFilter::GetPinCount()
{
    return m_claimedPins >= 0 ? m_claimedPins : int(m_pins.size());
}

CBasePin *CTestFilter::GetPin(int n)
{
    if (n < 0 || size_t(n) >= m_pins.size())
        return nullptr;
    return m_pins[size_t(n)];
}

STDMETHODIMP CTestFilter::Pause()
{
    m_log.push_back("P");
    return CBaseFilter::Pause();
}

STDMETHODIMP CFakeGraph::QueryInterface(REFIID riid, void **ppv)
{
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IFilterGraph))
        *ppv = static_cast<IFilterGraph *>(this);
    else if (m_bHasSink && IsEqualIID(riid, IID_IMediaEventSink))
        *ppv = static_cast<IMediaEventSink *>(this);
    if (!*ppv)
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP CFakeGraph::Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2)
{
    m_events.push_back({EventCode, EventParam1, EventParam2});
    return m_hrNotify;
}
