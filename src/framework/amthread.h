// CAMThread: a worker thread that takes one command at a time from the threads that own it.
//
// A caller posts a command with CallWorker and blocks until the worker answers it with Reply;
// the worker fetches commands with GetRequest (blocking) or CheckRequest (polling between units
// of work). The worker runs ThreadProc with COM initialised in the multithreaded apartment.
// A worker that ends without answering cannot hang its caller: CallWorker waits on the thread
// as well as on the reply.
//
// Locks: m_AccessLock serialises the callers (one request at a time) and thread creation. A
// caller may hold the filter lock around it (filter lock, then m_AccessLock); the worker never
// takes m_AccessLock, so a caller blocked in CallWorker cannot stop the reply. m_WorkerLock is
// left to derived classes.
#pragma once

#include <windows.h>

#include "framework/critsec.h"

class CAMThread {
public:
    CAMThread();
    CAMThread(const CAMThread &) = delete;
    CAMThread &operator=(const CAMThread &) = delete;

    // The worker's body; its result is the thread's exit code.
    virtual DWORD ThreadProc() = 0;
    virtual ~CAMThread();

    // Starts the worker; FALSE when one exists already or it cannot be started.
    BOOL Create();
    // Posts a command and returns the worker's reply; E_FAIL without a worker, or when the
    // worker ends without replying.
    DWORD CallWorker(DWORD dwParam);
    // Worker side: waits for the next command.
    DWORD GetRequest();
    // Worker side: whether a command is pending (it stays pending), and which.
    BOOL CheckRequest(DWORD *pParam);
    // Worker side: answers the pending command.
    void Reply(DWORD dw);

    BOOL ThreadExists() const { return m_hThread != nullptr; }
    // Waits for the worker to end and closes its handle (once, whoever calls).
    void Close();

private:
    static DWORD WINAPI InitialThreadProc(LPVOID pv);

    HANDLE m_EventSend;      // manual reset: a request is pending until the worker replies
    HANDLE m_EventComplete;  // auto reset: the reply is ready
    // Set from the request's post to its reply: the worker polls it between units of work
    // instead of the event, which would cost a call into the system (a server round trip on
    // Wine) per unit.
    LONG volatile m_lPending = 0;
    DWORD m_dwParam;         // written by the caller under m_AccessLock
    DWORD m_dwReturnVal;     // written by the worker before m_EventComplete
    HANDLE volatile m_hThread;

protected:
    CCritSec m_AccessLock;
    CCritSec m_WorkerLock;
};
