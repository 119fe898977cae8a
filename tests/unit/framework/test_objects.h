// Test doubles for the framework core: a filter with test pins whose answers and calls are
// programmable and recorded, a counting IUnknown, a fake graph with an event sink, and the
// reference-count and interface-table checks.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <uuids.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/basefilter.h"
#include "framework/basepin.h"

// The object's reference count, read by an AddRef/Release pair.
template <class T> ULONG RefCount(T *p)
{
    p->AddRef();
    return p->Release();
}

// Checks that QueryInterface for riid succeeds (and hands out a usable reference) or fails
// with E_NOINTERFACE and null stored, reporting the caller's line.
void CheckInterface(int line, IUnknown *pUnk, REFIID riid, bool bSupported);
#define EXPECT_INTERFACE(p, iid, supported) CheckInterface(__LINE__, (p), (iid), (supported))

// An IUnknown that only counts references (a media type's pUnk, an outer object's base).
class CCountingUnknown : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(++m_cRef); }
    STDMETHODIMP_(ULONG) Release() override { return ULONG(--m_cRef); }
    LONG m_cRef = 1;
};

// A media type with the given subtype (major type and format type fixed unless given).
CMediaType MakeType(const GUID &subtype, const GUID &major = MEDIATYPE_Video,
                    const GUID &format = FORMAT_VideoInfo, BYTE fill = 0x11,
                    ULONG cbFormat = 8);

// A test GUID numbered n, distinct for every n.
GUID TestGuid(int n);

class CTestFilter;

class CTestPin : public CBasePin {
public:
    CTestPin(CTestFilter *pFilter, int index, LPCWSTR pName, PIN_DIRECTION dir);

    // Programmable answers.
    std::vector<CMediaType> m_offered;                        // GetMediaType
    std::function<HRESULT(const CMediaType *)> m_check;       // CheckMediaType; null: accept
    HRESULT m_hrActive = S_OK, m_hrInactive = S_OK, m_hrRun = S_OK;
    HRESULT m_hrBreak = S_OK, m_hrComplete = S_OK;
    bool m_bTryMine = false;

    // Recorded calls.
    std::vector<GUID> m_tried;          // subtypes passed to CheckMediaType, in order
    int m_cActive = 0, m_cInactive = 0, m_cRun = 0;
    int m_cBreak = 0, m_cComplete = 0, m_cCheckConnect = 0;
    REFERENCE_TIME m_tRun = -1;

    void BumpTypeVersion() { m_TypeVersion++; }
    void SetTryMyTypesFirst(bool b) { m_bTryMyTypesFirst = b; }

    HRESULT CheckMediaType(const CMediaType *pmt) override;
    HRESULT GetMediaType(int iPosition, CMediaType *pmt) override;
    HRESULT Active() override;
    HRESULT Inactive() override;
    HRESULT Run(REFERENCE_TIME tStart) override;
    HRESULT CheckConnect(IPin *pPin) override;
    HRESULT BreakConnect() override;
    HRESULT CompleteConnect(IPin *pReceivePin) override;

    STDMETHODIMP QueryId(LPWSTR *Id) override;
    STDMETHODIMP EndOfStream() override { return S_OK; }
    STDMETHODIMP BeginFlush() override { return S_OK; }
    STDMETHODIMP EndFlush() override { return S_OK; }
    STDMETHODIMP Notify(IBaseFilter *, Quality) override { return E_NOTIMPL; }
    STDMETHODIMP SetSink(IQualityControl *) override { return E_NOTIMPL; }

private:
    CTestFilter *const m_pTestFilter;
    const int m_index;
};

class CTestFilter : public CBaseFilter {
public:
    // A filter holding one reference, with pins of the given directions named "Pin <n>"
    // unless names are given ("" gives a pin without a name).
    static CTestFilter *Create(const std::vector<PIN_DIRECTION> &dirs,
                               const std::vector<std::wstring> &names = {});

    int GetPinCount() override;
    CBasePin *GetPin(int n) override;
    STDMETHODIMP Pause() override;

    CTestPin *Pin(int n) { return m_pins[size_t(n)]; }
    IPin *PinI(int n) { return static_cast<IPin *>(m_pins[size_t(n)]); }
    IBaseFilter *Filter() { return static_cast<IBaseFilter *>(this); }
    void BumpPinVersion() { m_PinVersion++; }

    // Events of the pins ("A0" Active of pin 0, "I1" Inactive of pin 1, "R2" Run, "P" Pause).
    std::vector<std::string> m_log;
    int m_claimedPins = -1;   // >= 0: GetPinCount claims this many

private:
    CTestFilter();
    ~CTestFilter() override;

    CCritSec m_lock;
    std::vector<CTestPin *> m_pins;
};

// An IFilterGraph that is also an IMediaEventSink (or not), recording the events it gets.
class CFakeGraph : public IFilterGraph, public IMediaEventSink {
public:
    explicit CFakeGraph(bool bHasSink) : m_bHasSink(bHasSink) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(++m_cRef); }
    STDMETHODIMP_(ULONG) Release() override { return ULONG(--m_cRef); }

    STDMETHODIMP AddFilter(IBaseFilter *, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP RemoveFilter(IBaseFilter *) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFilters(IEnumFilters **) override { return E_NOTIMPL; }
    STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter **) override { return E_NOTIMPL; }
    STDMETHODIMP ConnectDirect(IPin *, IPin *, const AM_MEDIA_TYPE *) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP Reconnect(IPin *) override { return E_NOTIMPL; }
    STDMETHODIMP Disconnect(IPin *) override { return E_NOTIMPL; }
    STDMETHODIMP SetDefaultSyncSource() override { return E_NOTIMPL; }

    STDMETHODIMP Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) override;

    struct Event {
        LONG code;
        LONG_PTR p1, p2;
    };
    std::vector<Event> m_events;
    HRESULT m_hrNotify = S_OK;
    LONG m_cRef = 1;

private:
    const bool m_bHasSink;
};
