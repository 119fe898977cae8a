// The fake's start-up, Gestalt, Memory Manager, fixed-point and rectangle routines. Memory
// and arithmetic are the stand-in's own; only faults and records are the fake's.
#include <cstring>

#include "FakeQuickTimeState.h"
#include "FixedPointMath.h"
#include "HandleHeap.h"
#include "RectMath.h"
#include "RoutineTable.h"

using namespace fakeqt;

namespace {

OSErr FakeInitializeQTML(long flags)
{
    FAKE_ROUTINE(InitializeQTML, Arg(flags));
    return fault;
}

void FakeTerminateQTML()
{
    FAKE_ROUTINE(TerminateQTML);
}

Boolean FakeIsQTMLInitialized()
{
    FAKE_ROUTINE(IsQTMLInitialized);
    return fault == noErr;
}

OSErr FakeEnterMovies()
{
    FAKE_ROUTINE(EnterMovies);
    return fault;
}

void FakeExitMovies()
{
    FAKE_ROUTINE(ExitMovies);
}

OSErr FakeGestalt(OSType selector, long *response)
{
    FAKE_ROUTINE(Gestalt, Arg(selector), Arg(response));
    if (fault != noErr)
        return fault;
    if (!response)
        return paramErr;
    if (selector != QTFourCC("qtim"))
        return gestaltUndefSelectorErr;
    if (state.gestaltError != noErr)
        return state.gestaltError;
    *response = state.gestaltVersion;
    return noErr;
}

// Handles and pointer blocks alike: recorded, faulted, then taken from the handle heap.
template <typename Block>
Block AllocateWith(uint32_t selector, Size size, bool clear, Block (*allocate)(Size, bool, OSErr *))
{
    fakeqt::FakeQuickTime::State &state = fakeqt::FakeQuickTime::Installed();
    std::lock_guard<std::recursive_mutex> stateLock(state.lock);
    state.Record(selector, {Arg(size)});
    if (const OSErr fault = state.TakeFault(selector)) {
        SetMemoryError(fault);
        return nullptr;
    }
    OSErr err;
    Block block = allocate(size, clear, &err);
    SetMemoryError(err);
    return block;
}

Handle FakeNewHandle(Size size) { return AllocateWith(kQTSel_NewHandle, size, false, &QtsNewHandle); }
Handle FakeNewHandleClear(Size size) { return AllocateWith(kQTSel_NewHandleClear, size, true, &QtsNewHandle); }
void FakeDisposeHandle(Handle h)
{
    FAKE_ROUTINE(DisposeHandle, Arg(h));
    SetMemoryError(fault ? fault : QtsDisposeHandle(h));
}

Size FakeGetHandleSize(Handle h)
{
    FAKE_ROUTINE(GetHandleSize, Arg(h));
    Size size = 0;
    SetMemoryError(fault ? fault : QtsGetHandleSize(h, &size));
    return size;
}

void FakeSetHandleSize(Handle h, Size size)
{
    FAKE_ROUTINE(SetHandleSize, Arg(h), Arg(size));
    SetMemoryError(fault ? fault : QtsResizeHandle(h, size));
}

void FakeHLock(Handle h)
{
    FAKE_ROUTINE(HLock, Arg(h));
    SetMemoryError(fault ? fault : QtsSetHandleLocked(h, true));
}

void FakeHUnlock(Handle h)
{
    FAKE_ROUTINE(HUnlock, Arg(h));
    SetMemoryError(fault ? fault : QtsSetHandleLocked(h, false));
}

void FakeMoveHHi(Handle h)
{
    FAKE_ROUTINE(MoveHHi, Arg(h));
    SetMemoryError(fault ? fault : QtsMoveHandleHigh(h));
}

Ptr FakeNewPtr(Size size) { return AllocateWith(kQTSel_NewPtr, size, false, &QtsNewPtr); }
Ptr FakeNewPtrClear(Size size) { return AllocateWith(kQTSel_NewPtrClear, size, true, &QtsNewPtr); }

void FakeDisposePtr(Ptr p)
{
    FAKE_ROUTINE(DisposePtr, Arg(p));
    QtsDisposePtr(p);
    SetMemoryError(fault);
}

Size FakeGetPtrSize(Ptr p)
{
    FAKE_ROUTINE(GetPtrSize, Arg(p));
    Size size = 0;
    SetMemoryError(fault ? fault : QtsGetPtrSize(p, &size));
    return size;
}

void FakeBlockMove(const void *source, void *destination, Size size)
{
    FAKE_ROUTINE(BlockMove, Arg(source), Arg(destination), Arg(size));
    if (source && destination && size > 0)
        std::memmove(destination, source, size_t(size));
    SetMemoryError(fault);
}

OSErr FakeMemError()
{
    return MemoryError();
}

void FakeX2Fix(Fixed *result, const double *x)
{
    FAKE_ROUTINE(X2Fix, Arg(result), Arg(x));
    if (result && x && fault == noErr)
        *result = QtsDoubleToFixed(*x);
}

void FakeFix2X(double *result, const Fixed *x)
{
    FAKE_ROUTINE(Fix2X, Arg(result), Arg(x));
    if (result && x && fault == noErr)
        *result = *x / 65536.0;
}

SInt16 FakeFixRound(Fixed x)
{
    FAKE_ROUTINE(FixRound, Arg(x));
    return QtsRoundFixed(x);
}

void FakeMacOffsetRect(Rect *r, SInt16 dh, SInt16 dv)
{
    FAKE_ROUTINE(MacOffsetRect, Arg(r), Arg(dh), Arg(dv));
    QtsOffsetRect(r, dh, dv);
}

const QtsRoutine kFakeRuntimeRoutines[] = {
    QTS_ROUTINE_AS(InitializeQTML, FakeInitializeQTML),
    QTS_ROUTINE_AS(TerminateQTML, FakeTerminateQTML),
    QTS_ROUTINE_AS(IsQTMLInitialized, FakeIsQTMLInitialized),
    QTS_ROUTINE_AS(EnterMovies, FakeEnterMovies),
    QTS_ROUTINE_AS(ExitMovies, FakeExitMovies),
    QTS_ROUTINE_AS(Gestalt, FakeGestalt),
    QTS_ROUTINE_AS(NewHandle, FakeNewHandle),
    QTS_ROUTINE_AS(NewHandleClear, FakeNewHandleClear),
    QTS_ROUTINE_AS(DisposeHandle, FakeDisposeHandle),
    QTS_ROUTINE_AS(GetHandleSize, FakeGetHandleSize),
    QTS_ROUTINE_AS(SetHandleSize, FakeSetHandleSize),
    QTS_ROUTINE_AS(HLock, FakeHLock),
    QTS_ROUTINE_AS(HUnlock, FakeHUnlock),
    QTS_ROUTINE_AS(MoveHHi, FakeMoveHHi),
    QTS_ROUTINE_AS(NewPtr, FakeNewPtr),
    QTS_ROUTINE_AS(NewPtrClear, FakeNewPtrClear),
    QTS_ROUTINE_AS(DisposePtr, FakeDisposePtr),
    QTS_ROUTINE_AS(GetPtrSize, FakeGetPtrSize),
    QTS_ROUTINE_AS(BlockMove, FakeBlockMove),
    QTS_ROUTINE_AS(BlockMoveData, FakeBlockMove),
    QTS_ROUTINE_AS(MemError, FakeMemError),
    QTS_ROUTINE_AS(X2Fix, FakeX2Fix),
    QTS_ROUTINE_AS(Fix2X, FakeFix2X),
    QTS_ROUTINE_AS(FixRound, FakeFixRound),
    QTS_ROUTINE_AS(MacOffsetRect, FakeMacOffsetRect),
};
QTS_REGISTER_ROUTINES(kFakeRuntimeRoutines);

}  // namespace
