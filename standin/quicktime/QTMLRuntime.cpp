// Start-up and termination of the runtime and of the Movie Toolbox, the query the binding's
// lazy path asks, and Gestalt. The 'qtim' answer comes from this library's own file
// version, so the default and the legacy builds differ only by their version resource.
#include <windows.h>

#include <atomic>

#include "RoutineTable.h"
#include "quicktime/QuickTimeFileVersion.h"

namespace {

std::atomic<long> g_qtmlStarts{0};
std::atomic<long> g_movieToolboxStarts{0};

void Decrement(std::atomic<long> &count)
{
    long value = count.load();
    while (value > 0 && !count.compare_exchange_weak(value, value - 1)) {
    }
}

// a.b.c gives (a << 24) | (b << 20) | (c << 16) | 0x8000 (release stage final); 0: unknown.
long ReadOwnQuickTimeVersion()
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&ReadOwnQuickTimeVersion), &self))
        return 0;
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(self, path, sizeof path);
    QuickTimeFileVersion version;
    if (length == 0 || length >= sizeof path || !ReadQuickTimeFileVersion(path, &version))
        return 0;
    const DWORD major = HIWORD(version.mostSignificant) & 0xFF;
    const DWORD minor = LOWORD(version.mostSignificant) & 0xF;
    const DWORD bugFix = HIWORD(version.leastSignificant) & 0xF;
    return long((major << 24) | (minor << 20) | (bugFix << 16) | 0x8000);
}

}  // namespace

extern "C" {

OSErr QTDispatch_InitializeQTML(long)
{
    ++g_qtmlStarts;
    return noErr;
}

void QTDispatch_TerminateQTML(void)
{
    Decrement(g_qtmlStarts);
}

Boolean QTDispatch_IsQTMLInitialized(void)
{
    return g_qtmlStarts.load() > 0;
}

OSErr EnterMovies(void)
{
    ++g_movieToolboxStarts;
    return noErr;
}

void ExitMovies(void)
{
    Decrement(g_movieToolboxStarts);
}

OSErr Gestalt(OSType selector, long *response)
{
    if (!response)
        return paramErr;
    if (selector != QTFourCC("qtim"))
        return gestaltUndefSelectorErr;
    static const long version = ReadOwnQuickTimeVersion();
    if (version == 0)
        return gestaltUndefSelectorErr;
    *response = version;
    return noErr;
}

}  // extern "C"

namespace {
const QtsRoutine kRuntimeRoutines[] = {
    QTS_INTERNAL_ROUTINE(InitializeQTML), QTS_INTERNAL_ROUTINE(TerminateQTML),
    QTS_INTERNAL_ROUTINE(IsQTMLInitialized), QTS_ROUTINE(EnterMovies),
    QTS_ROUTINE(ExitMovies), QTS_ROUTINE(Gestalt),
};
QTS_REGISTER_ROUTINES(kRuntimeRoutines);
}  // namespace
