// The Memory Manager routines: the handle heap, with each routine's error kept as the
// calling thread's MemError.
#include <cstring>

#include "HandleHeap.h"
#include "RoutineTable.h"

namespace {

thread_local OSErr t_memError = noErr;

OSErr SetMemError(OSErr err)
{
    t_memError = err;
    return err;
}

}  // namespace

extern "C" {

Handle NewHandle(Size byteCount)
{
    OSErr err;
    Handle h = QtsNewHandle(byteCount, false, &err);
    SetMemError(err);
    return h;
}

Handle NewHandleClear(Size byteCount)
{
    OSErr err;
    Handle h = QtsNewHandle(byteCount, true, &err);
    SetMemError(err);
    return h;
}

void DisposeHandle(Handle h)
{
    SetMemError(QtsDisposeHandle(h));
}

Size GetHandleSize(Handle h)
{
    Size size;
    SetMemError(QtsGetHandleSize(h, &size));
    return size;
}

void SetHandleSize(Handle h, Size newSize)
{
    SetMemError(QtsResizeHandle(h, newSize));
}

void HLock(Handle h)
{
    SetMemError(QtsSetHandleLocked(h, true));
}

void HUnlock(Handle h)
{
    SetMemError(QtsSetHandleLocked(h, false));
}

void MoveHHi(Handle h)
{
    SetMemError(QtsMoveHandleHigh(h));
}

Ptr NewPtr(Size byteCount)
{
    OSErr err;
    Ptr p = QtsNewPtr(byteCount, false, &err);
    SetMemError(err);
    return p;
}

Ptr NewPtrClear(Size byteCount)
{
    OSErr err;
    Ptr p = QtsNewPtr(byteCount, true, &err);
    SetMemError(err);
    return p;
}

void DisposePtr(Ptr p)
{
    QtsDisposePtr(p);
    SetMemError(noErr);
}

Size GetPtrSize(Ptr p)
{
    Size size;
    SetMemError(QtsGetPtrSize(p, &size));
    return size;
}

void BlockMove(const void *srcPtr, void *destPtr, Size byteCount)
{
    if (srcPtr && destPtr && byteCount > 0)
        std::memmove(destPtr, srcPtr, size_t(byteCount));
    SetMemError(noErr);
}

void BlockMoveData(const void *srcPtr, void *destPtr, Size byteCount)
{
    BlockMove(srcPtr, destPtr, byteCount);
}

OSErr MemError(void)
{
    return t_memError;
}

}  // extern "C"

namespace {
const QtsRoutine kMemoryRoutines[] = {
    QTS_ROUTINE(NewHandle),     QTS_ROUTINE(NewHandleClear), QTS_ROUTINE(DisposeHandle),
    QTS_ROUTINE(GetHandleSize), QTS_ROUTINE(SetHandleSize),  QTS_ROUTINE(HLock),
    QTS_ROUTINE(HUnlock),       QTS_ROUTINE(MoveHHi),        QTS_ROUTINE(NewPtr),
    QTS_ROUTINE(NewPtrClear),   QTS_ROUTINE(DisposePtr),     QTS_ROUTINE(GetPtrSize),
    QTS_ROUTINE(BlockMove),     QTS_ROUTINE(BlockMoveData),  QTS_ROUTINE(MemError),
};
QTS_REGISTER_ROUTINES(kMemoryRoutines);
}  // namespace
