#include "framework/amthread.h"

#include <objbase.h>

CAMThread::CAMThread()
    : m_EventSend(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_EventComplete(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_dwParam(0),
      m_dwReturnVal(0),
      m_hThread(nullptr)
{
}

CAMThread::~CAMThread()
{
    Close();
    if (m_EventSend)
        CloseHandle(m_EventSend);
    if (m_EventComplete)
        CloseHandle(m_EventComplete);
}

BOOL CAMThread::Create()
{
    CAutoLock lock(&m_AccessLock);
    if (m_hThread || !m_EventSend || !m_EventComplete)
        return FALSE;
    DWORD dwThreadId;
    m_hThread = CreateThread(nullptr, 0, InitialThreadProc, this, 0, &dwThreadId);
    return m_hThread != nullptr;
}

DWORD WINAPI CAMThread::InitialThreadProc(LPVOID pv)
{
    // Found by name so that a system without it still runs the worker, without COM.
    typedef HRESULT(WINAPI * PCoInitializeEx)(LPVOID, DWORD);
    HRESULT hrCoInit = E_FAIL;
    HMODULE hOle = GetModuleHandleW(L"ole32.dll");
    if (hOle) {
        PCoInitializeEx pCoInitializeEx = reinterpret_cast<PCoInitializeEx>(
            reinterpret_cast<void *>(GetProcAddress(hOle, "CoInitializeEx")));
        if (pCoInitializeEx)
            hrCoInit = pCoInitializeEx(nullptr, COINIT_DISABLE_OLE1DDE);
    }

    DWORD dwResult = static_cast<CAMThread *>(pv)->ThreadProc();

    if (SUCCEEDED(hrCoInit))
        CoUninitialize();
    return dwResult;
}

DWORD CAMThread::CallWorker(DWORD dwParam)
{
    CAutoLock lock(&m_AccessLock);
    if (!m_hThread)
        return static_cast<DWORD>(E_FAIL);

    m_dwParam = dwParam;
    InterlockedExchange(&m_lPending, 1);
    SetEvent(m_EventSend);
    // The reply comes first: a worker that replies and then ends has still answered.
    HANDLE ahWait[2] = {m_EventComplete, m_hThread};
    if (WaitForMultipleObjects(2, ahWait, FALSE, INFINITE) == WAIT_OBJECT_0)
        return m_dwReturnVal;
    // The worker is gone; nobody will take the request.
    InterlockedExchange(&m_lPending, 0);
    ResetEvent(m_EventSend);
    return static_cast<DWORD>(E_FAIL);
}

DWORD CAMThread::GetRequest()
{
    WaitForSingleObject(m_EventSend, INFINITE);
    return m_dwParam;
}

BOOL CAMThread::CheckRequest(DWORD *pParam)
{
    if (!InterlockedCompareExchange(&m_lPending, 0, 0) || WaitForSingleObject(m_EventSend, 0) != WAIT_OBJECT_0)
        return FALSE;
    if (pParam)
        *pParam = m_dwParam;
    return TRUE;
}

void CAMThread::Reply(DWORD dw)
{
    m_dwReturnVal = dw;
    // Cleared before the caller wakes, so a new request cannot be mistaken for this one.
    InterlockedExchange(&m_lPending, 0);
    ResetEvent(m_EventSend);
    SetEvent(m_EventComplete);
}

void CAMThread::Close()
{
    HANDLE hThread = InterlockedExchangePointer(const_cast<HANDLE *>(&m_hThread), nullptr);
    if (hThread) {
        WaitForSingleObject(hThread, INFINITE);
        CloseHandle(hThread);
    }
}
