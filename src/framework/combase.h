// The COM layer every object of the system stands on.
//
// CBaseObject counts the live objects, which decides whether the module may be unloaded.
// CUnknown is the reference-counted base with a non-delegating IUnknown, so that an object can
// be aggregated: its other interfaces forward QueryInterface/AddRef/Release to the owner
// (DECLARE_IUNKNOWN), which is the outer object when aggregated and the object itself otherwise.
// A CUnknown is born with a count of 0; whoever creates it hands out the first reference.
// CClassFactory creates the classes of the table g_Templates. The table is defined by the
// program that links the framework (the module, or a test executable), never here; the entry
// points that read it (DllGetClassObject, DllCanUnloadNow, DllEntryPoint) live in dllentry.cpp,
// so a program that links those objects must define g_Templates and g_cTemplates.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "framework/setupdata.h"

class CBaseObject {
public:
    CBaseObject();
    ~CBaseObject();
    CBaseObject(const CBaseObject &) = delete;
    CBaseObject &operator=(const CBaseObject &) = delete;

    // Live objects of the process (interlocked; any thread).
    static LONG ObjectsActive();

private:
    static volatile LONG m_cObjects;
};

struct INonDelegatingUnknown {
    virtual STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) = 0;
    virtual STDMETHODIMP_(ULONG) NonDelegatingAddRef() = 0;
    virtual STDMETHODIMP_(ULONG) NonDelegatingRelease() = 0;

protected:
    ~INonDelegatingUnknown() = default;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    // The name is for debugging only and is not kept.
    CUnknown(LPCTSTR pName, LPUNKNOWN pUnkOuter);
    CUnknown(const CUnknown &) = delete;
    CUnknown &operator=(const CUnknown &) = delete;

    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;
    virtual ~CUnknown() = default;

    // The IUnknown that answers for this object (no reference is held on it).
    LPUNKNOWN GetOwner() const { return m_pUnknown; }

private:
    LPUNKNOWN const m_pUnknown;

protected:
    volatile LONG m_cRef;
};

// The IUnknown methods of every interface a CUnknown-derived class implements.
#define DECLARE_IUNKNOWN                                                                      \
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override                             \
    {                                                                                         \
        return GetOwner()->QueryInterface(riid, ppv);                                         \
    }                                                                                         \
    STDMETHODIMP_(ULONG) AddRef() override { return GetOwner()->AddRef(); }                   \
    STDMETHODIMP_(ULONG) Release() override { return GetOwner()->Release(); }

// Stores pUnk in *ppv with a reference added: how every interface is handed out.
HRESULT GetInterface(LPUNKNOWN pUnk, void **ppv);

// Creation function of a class: outer object and status in, new object (count 0) out.
typedef CUnknown *(CALLBACK *LPFNNewCOMObject)(LPUNKNOWN pUnkOuter, HRESULT *phr);
// Optional per-class hook called at module load (bLoading TRUE) and unload.
typedef void(CALLBACK *LPFNInitRoutine)(BOOL bLoading, const CLSID *rclsid);

// One row of the class table.
struct CFactoryTemplate {
    const WCHAR *m_Name;
    const CLSID *m_ClsID;
    LPFNNewCOMObject m_lpfnNew;
    LPFNInitRoutine m_lpfnInit;
    const AMOVIESETUP_FILTER *m_pAMovieSetup_Filter;

    BOOL IsClassID(REFCLSID rclsid) const { return IsEqualCLSID(*m_ClsID, rclsid); }
    CUnknown *CreateInstance(LPUNKNOWN pUnkOuter, HRESULT *phr) const
    {
        return m_lpfnNew(pUnkOuter, phr);
    }
};

extern CFactoryTemplate g_Templates[];
extern int g_cTemplates;

// Used by the host's creating thread only: its count and the server lock are plain integers.
class CClassFactory : public IClassFactory, public CBaseObject {
public:
    explicit CClassFactory(const CFactoryTemplate *pTemplate);

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) override;
    STDMETHODIMP LockServer(BOOL fLock) override;

    static BOOL IsLocked() { return m_cLocked > 0; }

private:
    virtual ~CClassFactory() = default;

    const CFactoryTemplate *const m_pTemplate;
    ULONG m_cRef;
    static LONG m_cLocked;
};

// Module state recorded by the load-time entry.
extern HINSTANCE g_hInst;
extern DWORD g_amPlatform;
extern OSVERSIONINFOA g_osInfo;

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void **ppv);
STDAPI DllCanUnloadNow();
// The module's DllMain calls this with its arguments; it always returns TRUE.
extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE hInstance, ULONG ulReason, LPVOID pReserved);
