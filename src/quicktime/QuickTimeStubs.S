/* The dispatch stubs: one entry per QuickTime routine, all alike but for the selector.
 * A stub runs the binding's pre-call hook while one is set, loads its selector into EAX and
 * jumps through the binding's dispatcher, so the caller's return address and arguments are
 * exactly what the runtime sees and the result comes straight back to the caller.
 * The hook is compiled C, entered from any caller: it is called on a 16-byte aligned stack,
 * and on x86-64 with 32 bytes of shadow space and the argument registers kept around it.
 */
#include "quicktime/QuickTimeArgumentRegisters.h"
#include "quicktime/QuickTimeBinding.h"
#include "quicktime/QuickTimeSelectors.h"

        .text

#if defined(__i386__)

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
        jmp     *(_QuickTimeBinding + QT_BINDING_DISPATCHER)

#define QT_JUMP_THROUGH(field) jmp *(_QuickTimeBinding + field)
#define QT_SYMBOL(name) _##name

#elif defined(__x86_64__)

/* RAX: the hook. The caller's arguments are live in RCX, RDX, R8, R9 and XMM0-XMM3 (the rest
 * lie above the stub's return address, untouched): they are kept in this frame across the
 * hook. The frame pointer carries the unwind data, so that an exception thrown by the hook
 * unwinds through here and through the stub to the caller's handlers. */
        .p2align 4
        .def    QuickTimeRunHook; .scl 3; .type 32; .endef
        .seh_proc QuickTimeRunHook
QuickTimeRunHook:
        pushq   %rbp
        .seh_pushreg %rbp
        movq    %rsp, %rbp
        .seh_setframe %rbp, 0
        .seh_endprologue
        andq    $-16, %rsp
        subq    $(32 + QT_ARGUMENT_SAVE_BYTES), %rsp  /* shadow space, then the arguments */
        QT_SAVE_ARGUMENTS(32)
        call    *%rax
        QT_RESTORE_ARGUMENTS(32)
        leaq    0(%rbp), %rsp
        popq    %rbp
        ret
        .seh_endproc

/* A stub changes no register the unwinder restores and leaves its return address on top:
 * its unwind data says so (an empty prologue), for the calls it makes to the hook runner. */
#define QT_ENTRY(symbol, target)                                \
        .globl  symbol;                                         \
        .def    symbol; .scl 2; .type 32; .endef;               \
        .p2align 4;                                             \
        .seh_proc symbol;                                       \
symbol:                                                         \
        .seh_endprologue;                                       \
        movq    QuickTimeBinding(%rip), %rax;                   \
        testq   %rax, %rax;                                     \
        jz      1f;                                             \
        call    QuickTimeRunHook;                               \
1:                                                              \
        target;                                                 \
        .seh_endproc;

#define QT_DISPATCH(selector)                                   \
        movl    $selector, %eax;                                \
        jmp     *(QuickTimeBinding + QT_BINDING_DISPATCHER)(%rip)

#define QT_JUMP_THROUGH(field) jmp *(QuickTimeBinding + field)(%rip)
#define QT_SYMBOL(name) name

#endif

#define QT_PUBLIC_STUB(name, selector) QT_ENTRY(QT_SYMBOL(name), QT_DISPATCH(selector))
#define QT_INTERNAL_STUB(name, selector) QT_ENTRY(QT_SYMBOL(QTDispatch_##name), QT_DISPATCH(selector))

QT_PUBLIC_ROUTINES(QT_PUBLIC_STUB)
QT_INTERNAL_ROUTINES(QT_INTERNAL_STUB)

/* The component entries: the same, without a selector. */
QT_ENTRY(QT_SYMBOL(CallComponent), QT_JUMP_THROUGH(QT_BINDING_CALL_COMPONENT))
QT_ENTRY(QT_SYMBOL(CallComponentFunctionWithStorage),
         QT_JUMP_THROUGH(QT_BINDING_CALL_COMPONENT_WITH_STORAGE))

/* Unbound: no effect; the selector's group stays in the high half of the result. */
        .globl  QT_SYMBOL(QuickTimeNotBound)
        .def    QT_SYMBOL(QuickTimeNotBound); .scl 2; .type 32; .endef
        .p2align 4
#if defined(__x86_64__)
        .seh_proc QuickTimeNotBound
#endif
QT_SYMBOL(QuickTimeNotBound):
#if defined(__x86_64__)
        .seh_endprologue
#endif
        andl    $0xFFFF0000, %eax
        orl     $0xF7D1, %eax
        ret
#if defined(__x86_64__)
        .seh_endproc
#endif
