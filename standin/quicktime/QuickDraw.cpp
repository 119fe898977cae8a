// QuickDraw's rectangle arithmetic (16-bit coordinates, wrapping as QuickDraw's do).
#include "RoutineTable.h"

extern "C" void MacOffsetRect(Rect *r, SInt16 dh, SInt16 dv)
{
    if (!r)
        return;
    r->left = SInt16(r->left + dh);
    r->right = SInt16(r->right + dh);
    r->top = SInt16(r->top + dv);
    r->bottom = SInt16(r->bottom + dv);
}

namespace {
const QtsRoutine kQuickDrawRoutines[] = {
    QTS_ROUTINE(MacOffsetRect),
};
QTS_REGISTER_ROUTINES(kQuickDrawRoutines);
}  // namespace
