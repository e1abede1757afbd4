"""Assemble a small loop, run it natively and print the registers."""

import quorvel

q = quorvel.Quorvel()
q.mov("rcx", 10)
q.asm("""
    mov rax, 0
loop:
    add rax, rcx        ; rax += rcx
    dec rcx
    cmp rcx, 0
    jne loop
""")
q.execute()
print(q.dump_regs())
print("sum of 1..10 =", q.get("rax"))
