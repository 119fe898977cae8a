/* x86-64: the caller's argument registers (RCX, RDX, R8, R9, XMM0-XMM3), kept in a frame across
 * a call into compiled C and put back, by the stubs' hook runner and by the runtime's dispatcher
 * around its routine lookup. The save area is 96 bytes at `at`(%rsp), 16-byte aligned. For the
 * assembler only. */
#ifndef QUORVEX_QUICKTIME_ARGUMENT_REGISTERS_H
#define QUORVEX_QUICKTIME_ARGUMENT_REGISTERS_H

#define QT_ARGUMENT_SAVE_BYTES 96

#define QT_SAVE_ARGUMENTS(at)          \
        movq    %rcx, at(%rsp);        \
        movq    %rdx, at+8(%rsp);      \
        movq    %r8, at+16(%rsp);      \
        movq    %r9, at+24(%rsp);      \
        movdqa  %xmm0, at+32(%rsp);    \
        movdqa  %xmm1, at+48(%rsp);    \
        movdqa  %xmm2, at+64(%rsp);    \
        movdqa  %xmm3, at+80(%rsp)

#define QT_RESTORE_ARGUMENTS(at)       \
        movq    at(%rsp), %rcx;        \
        movq    at+8(%rsp), %rdx;      \
        movq    at+16(%rsp), %r8;      \
        movq    at+24(%rsp), %r9;      \
        movdqa  at+32(%rsp), %xmm0;    \
        movdqa  at+48(%rsp), %xmm1;    \
        movdqa  at+64(%rsp), %xmm2;    \
        movdqa  at+80(%rsp), %xmm3

#endif
