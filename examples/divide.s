; A fault: the trace stops at the division and names its statement.
;   quorvel run examples/divide.s -> in statement 4: div rcx
mov rax, 7
push rax
mov rcx, 0
div rcx
