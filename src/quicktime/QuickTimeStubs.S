/* The dispatch stubs: one entry per QuickTime routine, all alike but for the selector.
 * A stub runs the binding's pre-call hook while one is set, loads its selector into EAX and
 * jumps through the binding's dispatcher, so the caller's return address and arguments are
 * exactly what the runtime sees (cdecl) and the result comes straight back to the caller.
 * The hook is called on a 16-byte aligned stack: it is compiled C, entered from any caller.
 */
#include "quicktime/QuickTimeSelectors.h"

        .text

/* EAX: the hook. Preserves the caller's frame; EAX, ECX, EDX are the hook's to clobber. */
        .p2align 4
QuickTimeRunHook:
        pushl   %ebp
        movl    %esp, %ebp
        andl    $-16, %esp
        call    *%eax
        movl    %ebp, %esp
        popl    %ebp
        ret

#define QT_ENTRY(symbol, target)                                \
        .globl  symbol;                                         \
        .def    symbol; .scl 2; .type 32; .endef;               \
        .p2align 4;                                             \
symbol:                                                         \
        movl    _QuickTimeBinding, %eax;                        \
        testl   %eax, %eax;                                     \
        jz      1f;                                             \
        call    QuickTimeRunHook;                               \
1:                                                              \
        target;

#define QT_DISPATCH(selector)                                   \
        movl    $selector, %eax;                                \
        jmp     *(_QuickTimeBinding + 4)

#define QT_PUBLIC_STUB(name, selector) QT_ENTRY(_##name, QT_DISPATCH(selector))
#define QT_INTERNAL_STUB(name, selector) QT_ENTRY(_QTDispatch_##name, QT_DISPATCH(selector))

QT_PUBLIC_ROUTINES(QT_PUBLIC_STUB)
QT_INTERNAL_ROUTINES(QT_INTERNAL_STUB)

/* The component entries: the same, without a selector. */
QT_ENTRY(_CallComponent, jmp *(_QuickTimeBinding + 8))
QT_ENTRY(_CallComponentFunctionWithStorage, jmp *(_QuickTimeBinding + 12))

/* Unbound: no effect; the selector's group stays in the high half of the result. */
        .globl  _QuickTimeNotBound
        .def    _QuickTimeNotBound; .scl 2; .type 32; .endef
        .p2align 4
_QuickTimeNotBound:
        andl    $0xFFFF0000, %eax
        orl     $0xF7D1, %eax
        ret
