// Binding and unbinding QuickTime.qts: the counted InitializeQTML/TerminateQTML pair,
// serialised across the process by a named mutex, and the lazy binding of a call that
// arrives before any initialisation.
#include <cstdio>

#include "quicktime/QuickTime.h"
#include "quicktime/QuickTimeBinding.h"
#include "quicktime/QuickTimeFileVersion.h"

extern "C" {
QuickTimeBindingRecord QuickTimeBinding = {
    &LazyBindQuickTime, &QuickTimeNotBound, &QuickTimeNotBound, &QuickTimeNotBound,
    nullptr,            0,                  0,                  0,
};
}

namespace {

const char kLibraryName[] = "QuickTime.qts";

// Held across the whole of InitializeQTML or TerminateQTML; without a mutex both go on
// unguarded.
class QuickTimeInitTermLock {
public:
    QuickTimeInitTermLock()
    {
        char name[64];
        FormatQuickTimeInitMutexName(GetCurrentProcessId(), name, sizeof name);
        m_mutex = CreateMutexA(nullptr, FALSE, name);
        if (m_mutex && WaitForSingleObject(m_mutex, INFINITE) == WAIT_FAILED) {
            CloseHandle(m_mutex);
            m_mutex = nullptr;
        }
    }
    ~QuickTimeInitTermLock()
    {
        if (!m_mutex)
            return;
        ReleaseMutex(m_mutex);
        CloseHandle(m_mutex);
    }
    QuickTimeInitTermLock(const QuickTimeInitTermLock &) = delete;
    QuickTimeInitTermLock &operator=(const QuickTimeInitTermLock &) = delete;

private:
    HANDLE m_mutex = nullptr;
};

// A library loaded only for the version test.
class TemporaryLibrary {
public:
    explicit TemporaryLibrary(HMODULE module) : m_module(module) {}
    ~TemporaryLibrary()
    {
        if (m_module)
            FreeLibrary(m_module);
    }
    TemporaryLibrary(const TemporaryLibrary &) = delete;
    TemporaryLibrary &operator=(const TemporaryLibrary &) = delete;

private:
    HMODULE m_module;
};

// The entries go back to the not-bound one before the library is freed.
void ResetBinding()
{
    QuickTimeBinding.preCallHook = &ResolveQuickTimeEntryPointsHook;
    QuickTimeBinding.dispatcher = &QuickTimeNotBound;
    QuickTimeBinding.callComponent = &QuickTimeNotBound;
    QuickTimeBinding.callComponentWithStorage = &QuickTimeNotBound;
}

void FreeQuickTimeLibrary()
{
    if (QuickTimeBinding.libraryModule)
        FreeLibrary(QuickTimeBinding.libraryModule);
    QuickTimeBinding.libraryModule = nullptr;
}

QuickTimeEntry FindEntry(HMODULE module, const char *name)
{
    if (!module)
        return nullptr;
    return reinterpret_cast<QuickTimeEntry>(GetProcAddress(module, name));
}

}  // namespace

extern "C" {

void FormatQuickTimeInitMutexName(DWORD processId, char *buffer, size_t bufferSize)
{
    std::snprintf(buffer, bufferSize, "QTMLInitTermMutex%lx", static_cast<unsigned long>(processId));
}

OSErr ResolveQuickTimeEntryPoints(void)
{
    const HMODULE module = QuickTimeBinding.libraryModule;
    const QuickTimeEntry withStorage = FindEntry(module, "_CallComponentFunctionWithStorage");
    const QuickTimeEntry callComponent = FindEntry(module, "_CallComponent");
    const QuickTimeEntry dispatcher = FindEntry(module, "theQuickTimeDispatcher");
    // All or nothing: a partly resolved record would send calls into a library that the
    // caller is about to treat as unusable.
    if (!withStorage || !callComponent || !dispatcher)
        return qtmlDllEntryNotFoundErr;
    QuickTimeBinding.callComponentWithStorage = withStorage;
    QuickTimeBinding.callComponent = callComponent;
    QuickTimeBinding.dispatcher = dispatcher;
    QuickTimeBinding.preCallHook = nullptr;
    return noErr;
}

void ResolveQuickTimeEntryPointsHook(void)
{
    ResolveQuickTimeEntryPoints();
}

OSErr InitializeQTML(long flags)
{
    QuickTimeInitTermLock lock;
    if (QuickTimeBinding.initCount > 0) {
        ++QuickTimeBinding.initCount;
        return noErr;
    }
    QuickTimeBinding.libraryModule = LoadQuickTimeLibrary(kLibraryName);
    OSErr err = QuickTimeBinding.libraryModule ? ResolveQuickTimeEntryPoints()
                                                 : OSErr(qtmlDllLoadErr);
    if (err == noErr)
        err = QTDispatch_InitializeQTML(flags);
    if (err != noErr) {
        ResetBinding();
        FreeQuickTimeLibrary();
        return err;
    }
    ++QuickTimeBinding.initCount;
    return noErr;
}

void TerminateQTML(void)
{
    QuickTimeInitTermLock lock;
    if (QuickTimeBinding.initCount <= 0) {
        QuickTimeBinding.initCount = 0;
        return;
    }
    if (--QuickTimeBinding.initCount > 0)
        return;
    QTDispatch_TerminateQTML();
    ResetBinding();
    FreeQuickTimeLibrary();
}

BOOL QuickTimeVersionAtLeast702(void)
{
    if (QuickTimeBinding.versionExamined)
        return QuickTimeBinding.versionAtLeast702 != 0;
    HMODULE module = QuickTimeBinding.libraryModule;
    HMODULE loadedHere = nullptr;
    if (!module) {
        module = loadedHere = LoadQuickTimeLibrary(kLibraryName);
        if (!module)
            return FALSE;
    }
    TemporaryLibrary temporary(loadedHere);
    char path[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameA(module, path, sizeof path);
    QuickTimeFileVersion version;
    if (length > 0 && length < sizeof path && ReadQuickTimeFileVersion(path, &version) &&
        PackQuickTimeFileVersion(version) >= 0x07000200)
        QuickTimeBinding.versionAtLeast702 = 1;
    QuickTimeBinding.versionExamined = 1;
    return QuickTimeBinding.versionAtLeast702 != 0;
}

void LazyBindQuickTime(void)
{
    bool loadedHere = false;
    if (!QuickTimeBinding.libraryModule) {
        QuickTimeBinding.libraryModule = LoadQuickTimeLibrary(kLibraryName);
        if (!QuickTimeBinding.libraryModule)
            return;
        loadedHere = true;
    }
    if (ResolveQuickTimeEntryPoints() != noErr)
        return;
    if (!loadedHere || !QuickTimeVersionAtLeast702())
        return;
    if (!QTDispatch_IsQTMLInitialized())
        return;
    // The library is in use elsewhere in the process, so this hook's reference goes; but
    // the entries just bound point into it and no TerminateQTML will reset them, so the
    // module is pinned first: releasing a reference can never unload it under the binding.
    // Without the pin the reference is kept instead.
    HMODULE pinned = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(QuickTimeBinding.dispatcher), &pinned))
        return;
    FreeQuickTimeLibrary();
}

}  // extern "C"
