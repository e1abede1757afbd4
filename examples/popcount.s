; Number of set bits in rbx, one bit per step with shr.
;   quorvel run examples/popcount.s --reg rbx=0xF0F0      -> rax = 8
; The count lives in rsi and is moved to rax at the end, because rax is the
; only register execute() reads back. shr by 1 uses the short form, which
; leaves rcx alone (other counts load cl first).

    mov rsi, 0
bit:
    cmp rbx, 0
    je done
    test rbx, 1         ; ZF = lowest bit is clear
    je shift
    inc rsi
shift:
    shr rbx, 1
    jmp bit
done:
    mov rax, rsi
