; What `quorvel check` finds: every error, not only the first, the dialect's
; silent traps, and hints for the mistakes a learner makes first.
;   quorvel check examples/risky.s -> examples/risky.s: 4 errors, 8 warnings
mov rax, 0x10
add rax, 5000000000
shl rax, 4
mov eax, 1
mov rbx, rcx
.L1:
foo
mov rbp, 5
pop rbx
