#include "framework/sourcestream.h"

#include <cstdio>

#include <evcode.h>
#include <vfwmsgs.h>

#include "framework/source.h"

CSourceStream::CSourceStream(LPCTSTR pObjectName, HRESULT *phr, CSource *pms, LPCWSTR pName)
    : CAMThread(),
      CBaseOutputPin(pObjectName, pms, pms->pStateLock(), phr, pName),
      m_pFilter(pms)
{
    HRESULT hr = m_pFilter->AddPin(this);
    if (phr)
        *phr = hr;
}

CSourceStream::~CSourceStream()
{
    m_pFilter->RemovePin(this);
}

void CSourceStream::ShutDownWorker()
{
    // A worker that has ended already answers nothing; CallWorker then returns at once.
    CallWorker(CMD_STOP);
    CallWorker(CMD_EXIT);
    Close();
}

HRESULT CSourceStream::Active()
{
    CAutoLock lock(m_pFilter->pStateLock());
    if (m_pFilter->IsActive())
        return S_FALSE;
    // An unconnected pin of a source filter is allowed; it just gets no worker.
    if (!IsConnected())
        return S_OK;

    HRESULT hr = CBaseOutputPin::Active();
    if (FAILED(hr))
        return hr;
    if (!Create()) {
        CBaseOutputPin::Inactive();
        return E_FAIL;
    }
    // A failed set-up (OnThreadCreate) ends the worker by itself.
    hr = static_cast<HRESULT>(CallWorker(CMD_INIT));
    if (SUCCEEDED(hr))
        hr = static_cast<HRESULT>(CallWorker(CMD_PAUSE));
    if (FAILED(hr)) {
        // Join the worker and undo the commit, so that the next Pause starts afresh instead
        // of finding a dead thread.
        ShutDownWorker();
        CBaseOutputPin::Inactive();
    }
    return hr;
}

HRESULT CSourceStream::Inactive()
{
    CAutoLock lock(m_pFilter->pStateLock());
    if (!IsConnected())
        return S_OK;

    // Decommit first: a worker waiting in GetBuffer is released and can take the Stop.
    HRESULT hr = CBaseOutputPin::Inactive();
    if (FAILED(hr))
        return hr;
    if (ThreadExists()) {
        hr = static_cast<HRESULT>(CallWorker(CMD_STOP));
        if (FAILED(hr))
            return hr;
        hr = static_cast<HRESULT>(CallWorker(CMD_EXIT));
        if (FAILED(hr))
            return hr;
        Close();
    }
    return S_OK;
}

DWORD CSourceStream::ThreadProc()
{
    for (;;) {
        DWORD dwRequest = GetRequest();
        if (dwRequest == CMD_INIT)
            break;
        Reply(static_cast<DWORD>(E_UNEXPECTED));
    }

    HRESULT hr = OnThreadCreate();
    if (FAILED(hr)) {
        OnThreadDestroy();
        Reply(static_cast<DWORD>(hr));
        return 1;
    }
    Reply(S_OK);

    for (bool bExit = false; !bExit;) {
        DWORD dwRequest = GetRequest();
        switch (dwRequest) {
        case CMD_PAUSE:
        case CMD_RUN:
            Reply(S_OK);
            DoBufferProcessingLoop();
            break;
        case CMD_STOP:
            Reply(S_OK);
            break;
        case CMD_EXIT:
            Reply(S_OK);
            bExit = true;
            break;
        default:
            Reply(static_cast<DWORD>(E_NOTIMPL));
            break;
        }
    }

    return FAILED(OnThreadDestroy()) ? 1 : 0;
}

HRESULT CSourceStream::DoBufferProcessingLoop()
{
    OnThreadStartPlay();

    for (;;) {
        DWORD dwRequest;
        while (!CheckRequest(&dwRequest)) {
            IMediaSample *pSample = nullptr;
            HRESULT hr = GetDeliveryBuffer(&pSample, nullptr, nullptr, 0);
            if (FAILED(hr) || !pSample) {
                // A decommitted allocator: wait for the Stop that follows.
                Sleep(1);
                continue;
            }

            hr = FillBuffer(pSample);
            if (hr == S_OK) {
                hr = Deliver(pSample);
                pSample->Release();
                // Downstream refuses more data, or failed: stop quietly.
                if (hr != S_OK)
                    return S_OK;
                continue;
            }
            pSample->Release();
            DeliverEndOfStream();
            if (hr == S_FALSE)
                return S_OK;
            m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
            return hr;
        }

        switch (dwRequest) {
        case CMD_PAUSE:
        case CMD_RUN:
            Reply(S_OK);
            break;
        case CMD_STOP:
            // Left pending: ThreadProc takes it and replies.
            return S_FALSE;
        default:
            Reply(static_cast<DWORD>(E_UNEXPECTED));
            break;
        }
    }
}

HRESULT CSourceStream::CheckMediaType(const CMediaType *pMediaType)
{
    if (!pMediaType)
        return E_POINTER;
    CAutoLock lock(m_pFilter->pStateLock());
    CMediaType mt;
    GetMediaType(&mt);
    return mt == *pMediaType ? S_OK : E_FAIL;
}

HRESULT CSourceStream::GetMediaType(int iPosition, CMediaType *pMediaType)
{
    CAutoLock lock(m_pFilter->pStateLock());
    if (iPosition < 0)
        return E_INVALIDARG;
    if (iPosition > 0)
        return VFW_S_NO_MORE_ITEMS;
    return GetMediaType(pMediaType);
}

STDMETHODIMP CSourceStream::QueryId(LPWSTR *Id)
{
    if (!Id)
        return E_POINTER;
    *Id = nullptr;
    int iPosition = m_pFilter->FindPinNumber(this);
    if (iPosition < 0)
        return VFW_E_NOT_FOUND;

    char szNumber[16];
    int cch = snprintf(szNumber, sizeof(szNumber), "%d", iPosition + 1);
    // Sized to the number, so that any pin count fits.
    LPWSTR pId = static_cast<LPWSTR>(CoTaskMemAlloc((cch + 1) * sizeof(WCHAR)));
    if (!pId)
        return E_OUTOFMEMORY;
    MultiByteToWideChar(CP_ACP, 0, szNumber, -1, pId, cch + 1);
    *Id = pId;
    return S_OK;
}
