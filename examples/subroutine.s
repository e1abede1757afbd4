; Sum of squares 1*1 + 2*2 + ... + n*n for n in rcx, computed by a subroutine.
;   quorvel run examples/subroutine.s --reg rcx=10      -> rax = 385
;
; In this dialect `ret` does not return to the caller: wherever it stands it
; ends the whole program, jumping to the epilogue that hands rax back to
; Python. A subroutine is therefore the last thing a program calls, and it
; must first drop the return address that `call` pushed, so that the stack
; is as the epilogue expects it.

    mov rsi, 0          ; the subroutine accumulates here
    cmp rcx, 0
    jne work
    mov rax, 0          ; n = 0: nothing to add
    ret                 ; ends the program here
work:
    call sum_squares
    mov rax, 999        ; never reached: the subroutine's ret ends the program

sum_squares:
    pop rdi             ; discard the return address
square:
    mov rax, rcx
    mul rcx             ; rax = rcx * rcx (rdx is overwritten)
    add rsi, rax
    dec rcx
    jne square
    mov rax, rsi
    ret
