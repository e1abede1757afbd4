; A program that fails to assemble: push and pop take the 14 encodable
; registers, and r11 is not one of them. The note names the statement.
;   quorvel run examples/broken.s -> in statement 3: push r11
    mov rax, 1
    mov rbx, 2
    push r11
    pop rbx
