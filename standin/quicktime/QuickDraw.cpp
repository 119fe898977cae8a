// QuickDraw's rectangle arithmetic.
#include "RectMath.h"
#include "RoutineTable.h"

extern "C" void MacOffsetRect(Rect *r, SInt16 dh, SInt16 dv)
{
    QtsOffsetRect(r, dh, dv);
}

namespace {
const QtsRoutine kQuickDrawRoutines[] = {
    QTS_ROUTINE(MacOffsetRect),
};
QTS_REGISTER_ROUTINES(kQuickDrawRoutines);
}  // namespace
