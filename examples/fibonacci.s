; The rcx-th Fibonacci number: F(0) = 0, F(1) = 1, F(n) = F(n-1) + F(n-2).
;   quorvel run examples/fibonacci.s --reg rcx=50      -> rax = 12586269025
; rax holds F(i) and rbx F(i+1); values wrap modulo 2**64 past F(93).

    mov rax, 0
    mov rbx, 1
again:
    cmp rcx, 0
    je done
    push rbx            ; keep F(i+1)
    add rbx, rax        ; rbx = F(i+1) + F(i) = F(i+2)
    pop rax             ; rax = F(i+1)
    dec rcx
    jmp again
done:
