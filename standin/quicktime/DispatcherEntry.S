/* The library's dispatcher: entered by a jump with the selector in EAX and the caller's
 * return address and arguments on the stack. It finds the routine and jumps to it, so the
 * routine returns straight to the caller. An unknown selector answers as an unbound call:
 * the selector's group in the high half, 0xF7D1 in the low half.
 */
        .text
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
