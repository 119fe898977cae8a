// QuickDraw's rectangle offset (16-bit coordinates, wrapping as QuickDraw's do); shared by
// the stand-in and the tests' fake QuickTime.
#pragma once

#include "quicktime/QuickTimeTypes.h"

inline void QtsOffsetRect(Rect *r, SInt16 dh, SInt16 dv)
{
    if (!r)
        return;
    r->left = SInt16(r->left + dh);
    r->right = SInt16(r->right + dh);
    r->top = SInt16(r->top + dv);
    r->bottom = SInt16(r->bottom + dv);
}
