// float KelvraCallShifted(void* fn, const uint32_t frame[8], uint32_t shift,
//                         uint32_t* report)
//
// Calls an export of the common call frame (eight argument words: text,
// value as two words, buf1, size1, buf2, size2, context) with ESP at the call
// instruction equal to 16k - shift: with shift 4, 8 or 12 the stack is only
// 4-byte aligned, as an MSVC-built host may leave it. Afterwards report[0] is
// 0 when ESP came back where cdecl leaves it and EBX, ESI, EDI survived, and
// report[1] holds the x87 status word (its TOP field tells how many x87
// registers the float result left in use).

__asm__(R"(
        .text
        .globl _KelvraCallShifted
_KelvraCallShifted:
        pushl   %ebp
        movl    %esp, %ebp
        pushl   %ebx
        pushl   %esi
        pushl   %edi
        movl    12(%ebp), %esi          /* frame words */
        movl    %esp, %eax
        andl    $-16, %eax
        subl    16(%ebp), %eax          /* aligned down, then shifted */
        subl    $32, %eax
        movl    %eax, %esp
        movl    0(%esi), %ecx;  movl %ecx, 0(%esp)
        movl    4(%esi), %ecx;  movl %ecx, 4(%esp)
        movl    8(%esi), %ecx;  movl %ecx, 8(%esp)
        movl    12(%esi), %ecx; movl %ecx, 12(%esp)
        movl    16(%esi), %ecx; movl %ecx, 16(%esp)
        movl    20(%esi), %ecx; movl %ecx, 20(%esp)
        movl    24(%esi), %ecx; movl %ecx, 24(%esp)
        movl    28(%esi), %ecx; movl %ecx, 28(%esp)
        movl    %esp, %ebx              /* callee-saved: checks EBX too */
        movl    $0x5A5A5A5A, %edi
        call    *8(%ebp)
        xorl    %ecx, %ecx
        cmpl    %esp, %ebx
        setne   %cl
        cmpl    $0x5A5A5A5A, %edi
        setne   %dl
        orb     %dl, %cl
        cmpl    12(%ebp), %esi
        setne   %dl
        orb     %dl, %cl
        movl    20(%ebp), %edx
        movl    %ecx, 0(%edx)
        fnstsw  %ax
        movzwl  %ax, %eax
        movl    %eax, 4(%edx)
        leal    -12(%ebp), %esp
        popl    %edi
        popl    %esi
        popl    %ebx
        popl    %ebp
        ret
)");
