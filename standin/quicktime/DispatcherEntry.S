/* The library's dispatcher: entered by a jump with the selector in EAX and the caller's
 * return address and arguments on the stack (and, on x86-64, in RCX, RDX, R8, R9 and
 * XMM0-XMM3). It finds the routine and jumps to it with all of them as they came, so the
 * routine returns straight to the caller. An unknown selector answers as an unbound call:
 * the selector's group in the high half, 0xF7D1 in the low half.
 */
#include "quicktime/QuickTimeArgumentRegisters.h"

        .text

#if defined(__i386__)

        .globl  _QtsDispatcher
        .def    _QtsDispatcher; .scl 2; .type 32; .endef
        .p2align 4
_QtsDispatcher:
        pushl   %eax
        call    _QtsFindRoutine
        popl    %ecx
        testl   %eax, %eax
        jz      1f
        jmp     *%eax
1:
        movl    %ecx, %eax
        andl    $0xFFFF0000, %eax
        orl     $0xF7D1, %eax
        ret

#elif defined(__x86_64__)

/* The lookup is compiled C: it gets a 16-byte aligned stack with 32 bytes of shadow space,
 * and the caller's argument registers are kept in this frame around it. The frame pointer
 * carries the unwind data; the tail after the frame is gone is a region of its own whose
 * unwind data is empty, so a walk from any instruction finds the caller. */
        .globl  QtsDispatcher
        .def    QtsDispatcher; .scl 2; .type 32; .endef
        .p2align 4
        .seh_proc QtsDispatcher
QtsDispatcher:
        pushq   %rbp
        .seh_pushreg %rbp
        movq    %rsp, %rbp
        .seh_setframe %rbp, 0
        .seh_endprologue
        andq    $-16, %rsp
        subq    $(32 + QT_ARGUMENT_SAVE_BYTES + 16), %rsp  /* shadow space, arguments, selector */
        QT_SAVE_ARGUMENTS(32)
        movq    %rax, 32+QT_ARGUMENT_SAVE_BYTES(%rsp)
        movl    %eax, %ecx
        call    QtsFindRoutine
        movq    %rax, %r11
        QT_RESTORE_ARGUMENTS(32)
        movq    32+QT_ARGUMENT_SAVE_BYTES(%rsp), %rax
        leaq    0(%rbp), %rsp
        popq    %rbp
        .seh_endproc

        .def    QtsDispatcherTail; .scl 3; .type 32; .endef
        .seh_proc QtsDispatcherTail
QtsDispatcherTail:
        .seh_endprologue
        testq   %r11, %r11
        jz      1f
        jmp     *%r11
1:
        andl    $0xFFFF0000, %eax
        orl     $0xF7D1, %eax
        ret
        .seh_endproc

#else
#error "the dispatcher entry exists for i386 and x86-64 only"
#endif
