// CSourceStream: a source filter's output pin with a worker thread that delivers its samples.
//
// When the filter leaves the stopped state the pin commits its allocator and starts a worker
// (CMD_INIT runs OnThreadCreate, CMD_PAUSE starts delivering); when it stops, the pin
// decommits the allocator (releasing a worker blocked in GetBuffer) and stops and joins the
// worker. Between commands the worker runs DoBufferProcessingLoop: take a buffer, have the
// derived pin fill it (FillBuffer: S_OK to deliver, S_FALSE at the end of the stream, an error
// to abort), deliver it. The pin offers the one media type GetMediaType(CMediaType*) gives.
//
// Locks: Active and Inactive hold the filter's state lock across the whole exchange with the
// worker, so the code that runs on the worker (OnThreadCreate, OnThreadStartPlay, FillBuffer,
// OnThreadDestroy) must never wait for the state lock; it may take the pin's own locks.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "framework/amthread.h"
#include "framework/outputpin.h"

class CSource;

class CSourceStream : public CAMThread, public CBaseOutputPin {
public:
    // Adds the pin to pms's list and reports that through *phr (E_OUTOFMEMORY when it cannot).
    CSourceStream(LPCTSTR pObjectName, HRESULT *phr, CSource *pms, LPCWSTR pName);

    enum Command { CMD_INIT = 0, CMD_PAUSE = 1, CMD_RUN = 2, CMD_STOP = 3, CMD_EXIT = 4 };

    DWORD ThreadProc() override;
    ~CSourceStream() override;

    virtual HRESULT FillBuffer(IMediaSample *pSample) = 0;
    // Run on the worker: set-up (CMD_INIT; a failure ends the worker), tear-down, and the
    // start of each delivery pass.
    virtual HRESULT OnThreadCreate() { return S_OK; }
    virtual HRESULT OnThreadDestroy() { return S_OK; }
    virtual HRESULT OnThreadStartPlay() { return S_OK; }
    virtual HRESULT DoBufferProcessingLoop();
    // The pin's single media type.
    virtual HRESULT GetMediaType(CMediaType *) { return E_UNEXPECTED; }

    HRESULT Active() override;
    HRESULT Inactive() override;
    HRESULT CheckMediaType(const CMediaType *pMediaType) override;
    HRESULT GetMediaType(int iPosition, CMediaType *pMediaType) override;

    // IPin: the pin's 1-based position in the filter's list, as decimal text.
    STDMETHODIMP QueryId(LPWSTR *Id) override;

protected:
    CSource *m_pFilter;  // the owner; not referenced

private:
    // Stops and joins a worker that may or may not still run.
    void ShutDownWorker();
};
