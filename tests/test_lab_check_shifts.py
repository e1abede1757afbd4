import pytest

import quorvel_lab

LOADED = "the count is loaded into cl first, so rcx's low byte becomes"


@pytest.mark.parametrize(
    ("program", "warning"),
    [
        ("shl rax, 31", f"shl rax, 31: {LOADED} 31"),
        ("sar rbx, 32", f"sar rbx, 32: {LOADED} 32"),
        ("shl rax, 63", f"shl rax, 63: {LOADED} 63"),
        ("shr rdx, 64", f"shr rdx, 64: {LOADED} 64; the processor shifts by 0"),
        ("shl rax, 100", f"shl rax, 100: {LOADED} 100; the processor shifts by 36"),
        ("shl rax, -1", f"shl rax, -1: {LOADED} 255; the processor shifts by 63"),
        ("sal r8, -64", f"sal r8, -64: {LOADED} 192; the processor shifts by 0"),
    ],
)
def test_shift_counts_name_what_the_processor_does(program, warning):
    assert [(d.severity, d.message) for d in quorvel_lab.check(program)] == [("warning", warning)]
