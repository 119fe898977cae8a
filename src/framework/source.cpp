#include "framework/source.h"

#include <cwchar>
#include <new>

#include <vfwmsgs.h>

#include "framework/sourcestream.h"

CSource::CSource(LPCTSTR pName, LPUNKNOWN lpunk, CLSID clsid)
    : CBaseFilter(pName, lpunk, &m_cStateLock, clsid), m_iPins(0), m_paStreams(nullptr)
{
}

CSource::~CSource()
{
    // Each pin's destructor takes itself out of the list.
    while (m_iPins != 0)
        delete m_paStreams[m_iPins - 1];
}

int CSource::GetPinCount()
{
    CAutoLock lock(&m_cStateLock);
    return m_iPins;
}

CBasePin *CSource::GetPin(int n)
{
    CAutoLock lock(&m_cStateLock);
    if (n < 0 || n >= m_iPins)
        return nullptr;
    return m_paStreams[n];
}

HRESULT CSource::AddPin(CSourceStream *pStream)
{
    CAutoLock lock(&m_cStateLock);
    CSourceStream **paStreams = new (std::nothrow) CSourceStream *[m_iPins + 1];
    if (!paStreams)
        return E_OUTOFMEMORY;
    for (int i = 0; i < m_iPins; i++)
        paStreams[i] = m_paStreams[i];
    paStreams[m_iPins] = pStream;
    delete[] m_paStreams;
    m_paStreams = paStreams;
    m_iPins++;
    return S_OK;
}

HRESULT CSource::RemovePin(CSourceStream *pStream)
{
    for (int i = 0; i < m_iPins; i++) {
        if (m_paStreams[i] != pStream)
            continue;
        if (m_iPins == 1) {
            delete[] m_paStreams;
            m_paStreams = nullptr;
        } else {
            for (int j = i + 1; j < m_iPins; j++)
                m_paStreams[j - 1] = m_paStreams[j];
        }
        m_iPins--;
        return S_OK;
    }
    return S_FALSE;
}

int CSource::FindPinNumber(IPin *iPin)
{
    for (int i = 0; i < m_iPins; i++) {
        if (static_cast<IPin *>(m_paStreams[i]) == iPin)
            return i;
    }
    return -1;
}

STDMETHODIMP CSource::FindPin(LPCWSTR Id, IPin **ppPin)
{
    if (!ppPin)
        return E_POINTER;
    *ppPin = nullptr;
    if (!Id)
        return E_POINTER;
    // Leading blanks and a sign are accepted; text that is no number gives 0, no pin.
    long lNumber = wcstol(Id, nullptr, 10);
    CBasePin *pPin = lNumber > 0 && lNumber <= GetPinCount() ? GetPin(int(lNumber - 1)) : nullptr;
    if (!pPin)
        return VFW_E_NOT_FOUND;
    *ppPin = pPin;
    pPin->AddRef();
    return S_OK;
}
