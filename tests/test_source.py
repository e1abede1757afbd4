import io

import pytest


def program_of(q):
    """The stored text, observed through the error a bad statement produces."""
    q.asm("bogus_marker")
    with pytest.raises(ValueError) as info:
        q.execute()
    return str(info.value)


def test_asm_appends_with_line_feeds(q):
    q.mov("rax", 5)
    q.asm("mov rax, 1")
    q.asm("add rax, 2")
    q.execute()
    assert q.get() == 3


def test_asm_with_binary_file(q):
    q.asm("mov rax, 1", file=io.BytesIO(b"add rax, 2\nadd rax, 3"))
    q.execute()
    assert q.get() == 6
    q.asm("add rax, 10", None)
    q.execute()
    assert q.get() == 16


def test_asm_with_text_file_keeps_code_only(q):
    with pytest.raises(TypeError) as info:
        q.asm("mov rax, 7", io.StringIO("add rax, 1"))
    assert str(info.value) == "Can't extract `str` to `Vec`"
    q.execute()
    assert q.get() == 7


@pytest.mark.parametrize(
    ("content", "exc", "message"),
    [
        (b"\xff", ValueError, "ASM file not UTF-8"),
        (b"\xed\xa0\x80", ValueError, "ASM file not UTF-8"),
        (b"\xc0\xaf", ValueError, "ASM file not UTF-8"),
        (42, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ([300], OverflowError, "out of range integral type conversion attempted"),
    ],
)
def test_asm_file_content_errors(q, content, exc, message):
    class Reader:
        def read(self):
            return content

    with pytest.raises(exc) as info:
        q.asm("mov rax, 9", Reader())
    assert str(info.value) == message
    q.execute()
    assert q.get() == 9


def test_asm_read_exception_propagates(q):
    class Reader:
        def read(self):
            raise KeyError("gone")

    with pytest.raises(KeyError):
        q.asm("nop", Reader())
    assert "Line 2:" in program_of(q)


def test_asm_list_of_ints_is_bytes(q):
    class Reader:
        def read(self):
            return list(b"mov rax, 4")

    q.asm("", Reader())
    q.execute()
    assert q.get() == 4


def test_empty_asm_adds_a_blank_line(q):
    q.asm("")
    assert program_of(q) == "Line 1: Unknown instruction: bogus_marker"


def test_load_file(q, tmp_path):
    path = tmp_path / "prog.s"
    path.write_text("mov rax, 11\nadd rax, 1", encoding="utf-8")
    q.load_file(str(path))
    q.execute()
    assert q.get() == 12


def test_load_file_failures_append_nothing(q, tmp_path):
    with pytest.raises(ValueError) as info:
        q.load_file(str(tmp_path / "missing.s"))
    assert str(info.value) == "File not found: No such file or directory (os error 2)"
    with pytest.raises(ValueError) as info:
        q.load_file(str(tmp_path))
    assert str(info.value) == "File not found: Is a directory (os error 21)"
    with pytest.raises(ValueError) as info:
        q.load_file(str(tmp_path / "a\0b"))
    assert str(info.value).startswith("File not found: ")
    bad = tmp_path / "bad.s"
    bad.write_bytes(b"nop\n\xff")
    with pytest.raises(ValueError) as info:
        q.load_file(str(bad))
    assert str(info.value) == "Failed to read file: stream did not contain valid UTF-8"
    assert program_of(q) == "Line 1: Unknown instruction: bogus_marker"


def test_clear_drops_text(q):
    q.asm("syntax error here")
    q.clear()
    q.execute()
    with pytest.raises(ValueError, match="^No executable buffer available$"):
        q.clear() or q.install("/dev/null")
