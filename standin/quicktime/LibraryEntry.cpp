// The library refuses to load with an inconsistent selector table (a selector registered
// twice), so a clash shows up as a failed load instead of a silently shadowed routine. It
// carries the mark by which the filter's loader tells it from other QuickTime.qts libraries.
#include <windows.h>

#include "RoutineTable.h"
#include "WindowsDecoders.h"
#include "quicktime/QuickTimeRuntimeMark.h"

extern "C" const QuickTimeRuntimeMark QtsRuntimeMark = {
    "Quorvex Tavrolin QuickTime runtime", kQuickTimeRuntimeMachine, kQuickTimeRuntimeInterface};

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    if (!QtsRoutineTableIsConsistent())
        return FALSE;
    QtsInstallDecoders();
    return TRUE;
}
