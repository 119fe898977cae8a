// The module's entry points over the class table that the module defines.
#include "framework/combase.h"

#include <new>

HINSTANCE g_hInst = nullptr;
DWORD g_amPlatform = VER_PLATFORM_WIN32_WINDOWS;
OSVERSIONINFOA g_osInfo;

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void **ppv)
{
    if (!IsEqualIID(riid, IID_IClassFactory) && !IsEqualIID(riid, IID_IUnknown))
        return E_NOINTERFACE;

    const CFactoryTemplate *pTemplate = nullptr;
    for (int i = 0; i < g_cTemplates && !pTemplate; i++) {
        if (g_Templates[i].IsClassID(rclsid))
            pTemplate = &g_Templates[i];
    }
    if (!pTemplate)
        return CLASS_E_CLASSNOTAVAILABLE;
    if (!ppv)
        return E_POINTER;

    CClassFactory *pFactory = new (std::nothrow) CClassFactory(pTemplate);
    *ppv = static_cast<IClassFactory *>(pFactory);
    if (!pFactory)
        return E_OUTOFMEMORY;
    pFactory->AddRef();
    return S_OK;
}

STDAPI DllCanUnloadNow()
{
    if (CClassFactory::IsLocked() || CBaseObject::ObjectsActive() != 0)
        return S_FALSE;
    return S_OK;
}

static void CallInitRoutines(BOOL bLoading)
{
    for (int i = 0; i < g_cTemplates; i++) {
        const CFactoryTemplate &t = g_Templates[i];
        if (t.m_lpfnInit)
            t.m_lpfnInit(bLoading, t.m_ClsID);
    }
}

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE hInstance, ULONG ulReason, LPVOID)
{
    switch (ulReason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(hInstance);
        g_amPlatform = VER_PLATFORM_WIN32_WINDOWS;
        g_osInfo.dwOSVersionInfoSize = sizeof(g_osInfo);
        if (GetVersionExA(&g_osInfo))
            g_amPlatform = g_osInfo.dwPlatformId;
        g_hInst = hInstance;
        CallInitRoutines(TRUE);
        break;
    case DLL_PROCESS_DETACH:
        CallInitRoutines(FALSE);
        break;
    default:
        break;
    }
    return TRUE;
}
