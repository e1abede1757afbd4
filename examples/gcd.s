; Greatest common divisor of rax and rbx (Euclid, with div).
;   quorvel run examples/gcd.s --reg rax=1071 --reg rbx=462      -> rax = 21
; div divides rdx:rax by its operand: quotient to rax, remainder to rdx.
; Register pairs are limited (a move into rbx accepts only rax or rbx as the
; source), so the swap goes through the stack.

step:
    cmp rbx, 0
    je done             ; gcd(a, 0) = a
    xor rdx, rdx        ; the dividend is rdx:rax
    div rbx             ; rdx = a mod b
    push rbx
    push rdx
    pop rbx             ; b <- a mod b
    pop rax             ; a <- b
    jmp step
done:
