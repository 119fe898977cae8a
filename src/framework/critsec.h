// Locks of the framework: a recursive critical section and the scoped lock that takes it.
//
// Every lock of the system is a CCritSec taken through a CAutoLock, so a lock is never left held
// on an early return. The sections are recursive: a thread that holds one may take it again,
// which the filter's state changes rely on (the pins take the filter lock inside Pause and Stop).
#pragma once

#include <windows.h>

class CCritSec {
public:
    CCritSec() { InitializeCriticalSection(&m_cs); }
    ~CCritSec() { DeleteCriticalSection(&m_cs); }
    CCritSec(const CCritSec &) = delete;
    CCritSec &operator=(const CCritSec &) = delete;

    void Lock() { EnterCriticalSection(&m_cs); }
    void Unlock() { LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

class CAutoLock {
public:
    explicit CAutoLock(CCritSec *pLock) : m_pLock(pLock) { m_pLock->Lock(); }
    ~CAutoLock() { m_pLock->Unlock(); }
    CAutoLock(const CAutoLock &) = delete;
    CAutoLock &operator=(const CAutoLock &) = delete;

private:
    CCritSec *const m_pLock;
};
