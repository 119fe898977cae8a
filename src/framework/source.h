// CSource: the base of a source filter, which owns a list of source pins (CSourceStream) and
// the filter's state lock. Pins add themselves to the list when they are built and remove
// themselves when they are destroyed; the filter's destruction destroys the pins left.
//
// Locks: m_cStateLock is the filter lock (CBaseFilter's m_pLock). It guards the pin list while
// it grows; the list shrinks only while pins are destroyed, when nothing else can reach it.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "framework/basefilter.h"
#include "framework/critsec.h"

class CSourceStream;

class CSource : public CBaseFilter {
public:
    CSource(LPCTSTR pName, LPUNKNOWN lpunk, CLSID clsid);
    ~CSource() override;

    int GetPinCount() override;
    CBasePin *GetPin(int n) override;

    // Appends a pin; E_OUTOFMEMORY leaves the list as it was.
    HRESULT AddPin(CSourceStream *pStream);
    // S_FALSE when the pin is not in the list.
    HRESULT RemovePin(CSourceStream *pStream);
    // The 0-based position of the pin, or -1.
    int FindPinNumber(IPin *iPin);

    // Pins are found by their QueryId text: the decimal 1-based position.
    STDMETHODIMP FindPin(LPCWSTR Id, IPin **ppPin) override;

    CCritSec *pStateLock() { return &m_cStateLock; }

protected:
    int m_iPins;
    CSourceStream **m_paStreams;  // m_iPins entries (new[]); null when empty
    CCritSec m_cStateLock;
};
