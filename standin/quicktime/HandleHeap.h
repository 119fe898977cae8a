// Handles and pointer blocks of the QuickTime Memory Manager, without its per-thread error:
// each operation returns its error. A handle is a pointer to a master pointer, which points
// at the data. Unlocked handles may move when they grow; a locked handle never moves, and
// growing it past the capacity it was allocated with fails with memFullErr. Handles are
// checked against the live set, so a disposed or foreign handle gives nilHandleErr instead
// of touching freed memory. Thread-safe: one lock guards the live set and every block.
//
// Used by the stand-in's Memory Manager routines and by the tests' fake QuickTime.
#pragma once

#include "quicktime/QuickTimeTypes.h"

Handle QtsNewHandle(Size byteCount, bool clear, OSErr *err);
OSErr QtsDisposeHandle(Handle h);  // a null handle is no error
OSErr QtsGetHandleSize(Handle h, Size *size);
OSErr QtsResizeHandle(Handle h, Size newSize);
OSErr QtsSetHandleLocked(Handle h, bool locked);
OSErr QtsMoveHandleHigh(Handle h);  // memLockedErr for a locked handle

Ptr QtsNewPtr(Size byteCount, bool clear, OSErr *err);
void QtsDisposePtr(Ptr p);
OSErr QtsGetPtrSize(Ptr p, Size *size);
