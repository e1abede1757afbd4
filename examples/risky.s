; What `quorvel check` finds: every error, not only the first, and the
; dialect's silent traps. Nothing here is meant to run.
;   quorvel check examples/risky.s -> examples/risky.s: 2 errors, 3 warnings
    mov rax, 1
    add rax, 5000000000     ; the immediate is encoded in 32 bits
    shl rax, 4              ; a count other than 1 goes through cl
    push r11                ; r11 is not one of the 14 encodable registers
.L1:                        ; a directive, not a label
    foo
