// The library refuses to load with an inconsistent selector table (a selector registered
// twice), so a clash shows up as a failed load instead of a silently shadowed routine.
#include <windows.h>

#include "RoutineTable.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        return QtsRoutineTableIsConsistent() ? TRUE : FALSE;
    return TRUE;
}
