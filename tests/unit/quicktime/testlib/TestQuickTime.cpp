// A stand-in QuickTime.qts for the loader tests: it answers the start-up, termination and
// lazy-binding query selectors, counts the calls, and lets the test read and steer it
// through the exported TestQuickTimeState. Variants differ by build definitions (start-up
// result, query answer) and by their .def (a missing entry point) and version resource.
#include "TestQuickTimeState.h"

#include "quicktime/QuickTimeRuntimeMark.h"
#include "quicktime/QuickTimeSelectors.h"

#ifndef TESTQT_INIT_RESULT
#define TESTQT_INIT_RESULT 0
#endif
#ifndef TESTQT_QUERY_ANSWER
#define TESTQT_QUERY_ANSWER 0
#endif

// The foreign variant stands for another QuickTime.qts (QuickTime for Windows): the same three
// entries, without the project's mark.
#ifndef TESTQT_FOREIGN
extern "C" const QuickTimeRuntimeMark TestRuntimeMark = {
    "Quorvex Tavrolin QuickTime runtime", kQuickTimeRuntimeMachine, kQuickTimeRuntimeInterface};
#endif

namespace {
TestQuickTimeState g_state = {0, 0, 0, 0, 0, TESTQT_INIT_RESULT, TESTQT_QUERY_ANSWER};
}

extern "C" {

TestQuickTimeState *TestQuickTimeStateOf(void)
{
    return &g_state;
}

OSErr TestInitializeQTML(long flags)
{
    ++g_state.initializeCalls;
    g_state.lastInitializeFlags = flags;
    return OSErr(g_state.initializeResult);
}

void TestTerminateQTML(void)
{
    ++g_state.terminateCalls;
}

Boolean TestIsQTMLInitialized(void)
{
    ++g_state.queryCalls;
    return Boolean(g_state.queryAnswer);
}

void TestOtherRoutine(void)
{
    ++g_state.otherCalls;
}

}  // extern "C"

// Selector in EAX; every other selector is counted and answers 0x5EED, a value that no
// unbound call gives.
#if defined(__i386__)
asm(R"(
        .text
        .globl  _TestDispatcher
_TestDispatcher:
        cmpl    $0x1D0008, %eax
        je      _TestInitializeQTML
        cmpl    $0x1D0009, %eax
        je      _TestTerminateQTML
        cmpl    $0x1D0059, %eax
        je      _TestIsQTMLInitialized
        pushl   %eax
        call    _TestOtherRoutine
        popl    %eax
        movl    $0x5EED, %eax
        ret
        .globl  _TestComponentEntry
_TestComponentEntry:
        movl    $-1, %eax
        ret
)");
#else
asm(R"(
        .text
        .globl  TestDispatcher
TestDispatcher:
        cmpl    $0x1D0008, %eax
        je      TestInitializeQTML
        cmpl    $0x1D0009, %eax
        je      TestTerminateQTML
        cmpl    $0x1D0059, %eax
        je      TestIsQTMLInitialized
        subq    $40, %rsp
        call    TestOtherRoutine
        addq    $40, %rsp
        movl    $0x5EED, %eax
        ret
        .globl  TestComponentEntry
TestComponentEntry:
        movl    $-1, %eax
        ret
)");
#endif
