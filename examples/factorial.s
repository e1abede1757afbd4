; n! for n in rcx, by repeated multiplication.
;   quorvel run examples/factorial.s --reg rcx=10      -> rax = 3628800
; mul multiplies rax by its operand into rdx:rax, so rdx is overwritten;
; results above 2**64 - 1 keep their low 64 bits (20! is the last that fits).

    mov rax, 1
    cmp rcx, 0
    je done             ; 0! = 1
next:
    mul rcx             ; rax *= rcx
    dec rcx
    jne next            ; dec sets ZF when rcx reaches 0
done:
