// The stand-in's Memory Manager. A handle is a pointer to a master pointer, which points at
// the data. Unlocked handles may move when they grow; a locked handle never moves, and
// growing it past the capacity it was allocated with fails with memFullErr. Every routine
// sets the calling thread's MemError. Handles are checked against the live set, so a
// disposed or foreign handle gives nilHandleErr instead of touching freed memory.
//
// For the stand-in's other routines: resizing a handle with the error returned directly.
#pragma once

#include "quicktime/QuickTime.h"

OSErr QtsResizeHandle(Handle h, Size newSize);
