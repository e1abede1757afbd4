"""The flat memory, its first-fit allocator and the transfer methods, driven from Python."""

import ctypes
import random

import pytest

import quorvel

MEM = 10485760
MAX = 2**64 - 1


@pytest.fixture
def q():
    return quorvel.Quorvel()


class FirstFitModel:
    """Block list kept the plain way: first fit, split, forward-then-backward merge."""

    def __init__(self):
        self.reset()

    def reset(self):
        self.blocks = [[0, MEM, False]]

    def alloc(self, size):
        for i, (start, block_size, used) in enumerate(self.blocks):
            if not used and block_size >= size:
                if block_size > size:
                    self.blocks.insert(i + 1, [start + size, block_size - size, False])
                self.blocks[i] = [start, size, True]
                return start
        return None

    def free(self, address):
        for i, (start, _, used) in enumerate(self.blocks):
            if start == address and used:
                break
        else:
            return False
        self.blocks[i][2] = False
        if i + 1 < len(self.blocks) and not self.blocks[i + 1][2]:
            self.blocks[i][1] += self.blocks.pop(i + 1)[1]
        if i > 0 and not self.blocks[i - 1][2]:
            self.blocks[i - 1][1] += self.blocks.pop(i)[1]
        return True

    def stats(self):
        used = sum(size for _, size, in_use in self.blocks if in_use)
        return (used, MEM - used, len(self.blocks))


def out_of_memory(size):
    return f"Out of memory: cannot allocate {size} bytes"


def alloc_or_refusal(q, size):
    """The offset alloc() returns, or None when it refuses for lack of room."""
    try:
        return q.alloc(size)
    except ValueError as error:
        assert str(error) == out_of_memory(size)
        return None


def test_random_operations_match_first_fit_model(q):
    model = FirstFitModel()
    rng = random.Random(1234)
    live = []
    sizes = [0, 1, 3, 8, 100, 4096, 65536, 1 << 20, 3 << 20]
    for step in range(3000):
        roll = rng.random()
        if roll < 0.5:
            size = rng.choice(sizes) + rng.randrange(3)
            used_before = model.stats()[0]
            address = alloc_or_refusal(q, size)
            assert address == model.alloc(size), step
            if address is None:
                continue
            if model.stats()[0] > used_before:
                # Reused ranges come back zeroed; mark this one for the next reuse.
                assert q.read_mem(address, 1) == 0, step
                q.write_mem(address, 0xFF, 1)
            live.append(address)
        elif roll < 0.9:
            address = rng.choice(live) if live and rng.random() < 0.9 else rng.randrange(MEM + 2)
            assert q.free(address) == model.free(address), step
        elif roll < 0.97:
            q.clear_memory(rng.randrange(MEM), rng.randrange(1 << 16))
        else:
            form = rng.choice([(), (rng.randrange(MEM),), (None, 5), (None, None)])
            q.clear_memory(*form)
            model.reset()
            live.clear()
        assert q.memory_stats() == model.stats(), step


# In `results`, None stands for alloc() refusing with "Out of memory".
@pytest.mark.parametrize(
    "ops, results, stats",
    [
        ([("alloc", 16), ("alloc", 16)], [0, 16], (32, MEM - 32, 3)),
        ([("alloc", MEM), ("alloc", 1)], [0, None], (MEM, 0, 1)),
        ([("alloc", MEM), ("alloc", 0)], [0, None], (MEM, 0, 1)),
        ([("alloc", MEM + 1), ("alloc", MAX)], [None, None], (0, MEM, 1)),
        # Fragmented: 8 bytes free in two holes of 4; nothing larger fits.
        ([("alloc", 4), ("alloc", MEM - 8), ("alloc", 4), ("free", 0), ("free", MEM - 4), ("alloc", 5),
          ("alloc", 4), ("alloc", 0), ("alloc", 4), ("alloc", 0)],
         [0, 4, MEM - 4, True, True, None, 0, MEM - 4, MEM - 4, None], (MEM, 0, 4)),
        ([("alloc", 0)], [0], (0, MEM, 2)),
        ([("alloc", 0), ("free", 0)], [0, True], (0, MEM, 1)),
        ([("alloc", 8), ("free", 0), ("free", 0)], [0, True, False], (0, MEM, 1)),
        ([("alloc", 8), ("free", 1), ("free", 8), ("free", MEM), ("free", MAX)],
         [0, False, False, False, False], (8, MEM - 8, 2)),
        ([("alloc", 8), ("alloc", 8), ("alloc", 8), ("free", 8)], [0, 8, 16, True], (16, MEM - 16, 4)),
        ([("alloc", 8), ("alloc", 8), ("alloc", 8), ("free", 8), ("free", 0)],
         [0, 8, 16, True, True], (8, MEM - 8, 3)),
        ([("alloc", 8), ("alloc", 8), ("alloc", 8), ("free", 8), ("free", 0), ("free", 16)],
         [0, 8, 16, True, True, True], (0, MEM, 1)),
        ([("alloc", 8), ("alloc", 8), ("free", 0), ("alloc", 4), ("alloc", 4), ("alloc", 1)],
         [0, 8, True, 0, 4, 16], (17, MEM - 17, 5)),
    ],
)
def test_allocator_sequences(q, ops, results, stats):
    calls = {"alloc": lambda size: alloc_or_refusal(q, size), "free": q.free}
    assert [calls[name](arg) for name, arg in ops] == results
    assert q.memory_stats() == stats


def test_fresh_memory_and_pointer(q):
    assert q.memory_size() == MEM
    assert q.memory_stats() == (0, MEM, 1)
    assert q.read_bytes(MEM - 4, 4) == [0, 0, 0, 0]
    ptr = q.get_memory_ptr()
    assert ptr > 0
    q.write_bytes(100, b"\x01\x02\x03")
    assert ctypes.string_at(ptr + 100, 3) == b"\x01\x02\x03"
    q.clear_memory()
    q.clear_memory(0, 10)
    q.clear()
    q.mov("rax", ptr)
    q.asm("nop")
    q.execute()
    assert q.get_memory_ptr() == ptr


def test_freed_range_reads_back_zero(q):
    p = q.alloc(64)
    q.write_bytes(p, [0xAB] * 64)
    assert q.free(p)
    assert q.alloc(64) == p
    assert q.read_bytes(p, 64) == [0] * 64


@pytest.mark.parametrize(
    "args, cleared",
    [
        ((0, 4), range(0, 4)),
        ((6, 2), range(6, 8)),
        ((MEM - 3, MAX), range(MEM - 3, MEM)),
        ((2, MAX), range(2, MEM)),
        ((MEM, 10), range(0)),
        ((MEM + 1, 10), range(0)),
        ((MAX, MAX), range(0)),
    ],
)
def test_clear_memory_range_keeps_allocator(q, args, cleared):
    q.alloc(100)
    q.write_bytes(0, [0x11] * 10)
    q.write_bytes(MEM - 10, [0x22] * 10)
    q.clear_memory(*args)
    head = [0 if i in cleared else 0x11 for i in range(10)]
    tail = [0 if i in cleared else 0x22 for i in range(MEM - 10, MEM)]
    assert q.read_bytes(0, 10) == head
    assert q.read_bytes(MEM - 10, 10) == tail
    assert q.memory_stats() == (100, MEM - 100, 2)


@pytest.mark.parametrize("kwargs", [{}, {"address": 5}, {"size": 5}, {"address": None, "size": None}])
def test_clear_memory_full_forms(q, kwargs):
    q.alloc(100)
    q.alloc(200)
    q.write_bytes(0, [7] * 10)
    q.write_mem(MEM - 8, MAX, 8)
    q.clear_memory(**kwargs)
    assert q.memory_stats() == (0, MEM, 1)
    assert q.read_bytes(0, 10) == [0] * 10
    assert q.read_mem(MEM - 8, 8) == 0


# Each row: call, expected result or (exception class, message).
BOUNDS = [
    (("read_mem", MEM - 8, 8), 0),
    (("read_mem", MEM - 7, 8), (ValueError, "Memory address out of bounds")),
    (("read_mem", MEM - 1, 3), (ValueError, "Memory address out of bounds")),
    (("read_mem", MEM, 1), (ValueError, "Memory address out of bounds")),
    (("read_mem", MEM, 0), (ValueError, "Invalid size")),
    (("read_mem", 0, 3), (ValueError, "Invalid size")),
    (("read_mem", MAX, 1), (ValueError, "Memory address out of bounds")),
    (("read_mem", MAX, 0), (ValueError, "Memory address out of bounds")),
    (("read_mem", 0, 256), (OverflowError, "out of range integral type conversion attempted")),
    (("read_mem", 0, -1), (OverflowError, "out of range integral type conversion attempted")),
    (("write_mem", MEM - 8, 1, 8), None),
    (("write_mem", MEM - 1, 1, 2), (ValueError, "Memory address out of bounds")),
    (("write_mem", MEM - 1, 1, 3), (ValueError, "Memory address out of bounds")),
    (("write_mem", MAX, 1, 1), (ValueError, "Memory address out of bounds")),
    (("write_mem", MAX - 7, 1, 8), (ValueError, "Memory address out of bounds")),
    (("write_mem", 0, 1, 3), (ValueError, "Invalid size (1,2,4,8 only)")),
    (("write_mem", MEM, 1, 0), (ValueError, "Invalid size (1,2,4,8 only)")),
    (("read_bytes", MEM, 0), []),
    (("read_bytes", MEM - 2, 2), [0, 0]),
    (("read_bytes", MEM, 1), (ValueError, "Read exceeds memory bounds")),
    (("read_bytes", 0, MEM + 1), (ValueError, "Read exceeds memory bounds")),
    (("read_bytes", MAX, 1), (ValueError, "Read exceeds memory bounds")),
    (("read_bytes", 1, MAX), (ValueError, "Read exceeds memory bounds")),
    (("read_bytes", MAX, 0), (ValueError, "Read exceeds memory bounds")),
    (("write_bytes", MEM, b""), None),
    (("write_bytes", MEM - 2, b"\x01\x02"), None),
    (("write_bytes", MEM - 1, b"\x01\x02"), (ValueError, "Write exceeds memory bounds")),
    (("write_bytes", MAX, b"\x01"), (ValueError, "Write exceeds memory bounds")),
    (("write_bytes", MAX, b""), (ValueError, "Write exceeds memory bounds")),
    (("load_bytes_to_memory", b"", MEM), None),
    (("load_bytes_to_memory", b"\x01", MEM), (ValueError, "Data exceeds memory bounds")),
    (("load_bytes_to_memory", b"\x01\x02", MAX), (ValueError, "Data exceeds memory bounds")),
    (("alloc", MEM + 1), (ValueError, "Out of memory: cannot allocate 10485761 bytes")),
    (("alloc", MAX), (ValueError, "Out of memory: cannot allocate 18446744073709551615 bytes")),
    (("read_bytes", 2**64, 0), (OverflowError, None)),
    (("write_mem", -1, 0, 1), (OverflowError, None)),
    (("write_mem", 0, 2**64, 1), (OverflowError, None)),
]


def fill_pattern(q):
    q.write_bytes(0, bytes(range(256)) * 4)
    q.write_bytes(MEM - 1024, bytes(range(255, -1, -1)) * 4)


def snapshot(q):
    return q.read_bytes(0, 1024) + q.read_bytes(MEM - 1024, 1024)


@pytest.mark.parametrize("call, expected", BOUNDS, ids=[repr(call) for call, _ in BOUNDS])
def test_bounds(q, call, expected):
    name, *args = call
    if isinstance(expected, tuple):
        fill_pattern(q)
        before = snapshot(q)
        error, message = expected
        with pytest.raises(error) as info:
            getattr(q, name)(*args)
        if message is not None:
            assert str(info.value) == message
        assert snapshot(q) == before
    else:
        assert getattr(q, name)(*args) == expected


def test_scalars_are_little_endian(q):
    q.write_mem(0, 0x1122334455667788, 8)
    assert q.read_mem(0, 1) == 0x88
    assert q.read_mem(0, 2) == 0x7788
    assert q.read_mem(0, 4) == 0x55667788
    assert q.read_bytes(0, 8) == [0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11]
    q.write_mem(16, 0x1FF, 1)
    assert q.read_bytes(16, 2) == [0xFF, 0]
    q.write_mem(MEM - 8, MAX, 8)
    assert q.read_mem(MEM - 8, 8) == MAX


DATA = [0, 1, 127, 128, 255, 42]


@pytest.mark.parametrize(
    "data",
    [bytes(DATA), bytearray(DATA), memoryview(bytes(DATA)), list(DATA), tuple(DATA)],
    ids=["bytes", "bytearray", "memoryview", "list", "tuple"],
)
def test_byte_sequence_kinds_are_equivalent(q, data):
    q.write_bytes(10, data)
    q.load_bytes_to_memory(data, 100)
    assert q.read_bytes(10, len(DATA)) == DATA
    assert q.read_bytes(100, len(DATA)) == DATA
    assert q.read_bytes(10 + len(DATA), 1) == [0]


@pytest.mark.parametrize(
    "data, error, message",
    [
        ("ab", TypeError, "argument 'data': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
        ({1, 2}, TypeError, "argument 'data': 'set' object cannot be converted to 'Sequence'"),
        ([1, 256], OverflowError, "out of range integral type conversion attempted"),
        ([-1], OverflowError, "out of range integral type conversion attempted"),
        ([1, 1.5], TypeError, None),
    ],
)
@pytest.mark.parametrize("method", ["write_bytes", "load_bytes_to_memory"])
def test_byte_sequence_conversion_errors(q, method, data, error, message):
    fill_pattern(q)
    before = snapshot(q)
    call = (lambda: q.write_bytes(0, data)) if method == "write_bytes" else (lambda: q.load_bytes_to_memory(data, 0))
    with pytest.raises(error) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    else:
        assert str(info.value).startswith("argument 'data': ")
    assert snapshot(q) == before


@pytest.fixture
def files(tmp_path):
    (tmp_path / "empty.bin").write_bytes(b"")
    (tmp_path / "two.bin").write_bytes(b"\x09\x08")
    return tmp_path


@pytest.mark.parametrize(
    "name, address, message",
    [
        ("missing.bin", MEM, "File not found: No such file or directory (os error 2)"),
        ("missing.bin", MAX, "File not found: No such file or directory (os error 2)"),
        (".", 0, "File not found: Is a directory (os error 21)"),
        ("empty.bin", MEM, "Address out of bounds"),
        ("empty.bin", MAX, "Address out of bounds"),
        ("two.bin", MEM - 1, "Data exceeds memory bounds"),
        ("two.bin", MAX - 1, "Address out of bounds"),
        ("/dev/zero", 0, "Data exceeds memory bounds"),
    ],
)
def test_load_binary_file_failures_leave_memory(q, files, name, address, message):
    fill_pattern(q)
    before = snapshot(q)
    with pytest.raises(ValueError) as info:
        q.load_binary_file(str(files / name), address)
    assert str(info.value) == message
    assert snapshot(q) == before


def test_load_binary_file_at_the_end(q, files):
    assert q.load_binary_file(str(files / "empty.bin"), MEM - 1) == 0
    assert q.load_binary_file(str(files / "two.bin"), MEM - 2) == 2
    assert q.read_bytes(MEM - 3, 3) == [0, 9, 8]


@pytest.mark.parametrize("address, size", [(MEM, 1), (0, MEM + 1), (MAX, 1), (1, MAX), (MAX, 0)])
def test_save_out_of_bounds_touches_no_file(q, tmp_path, address, size):
    existing = tmp_path / "existing.bin"
    existing.write_bytes(b"keep")
    for path in (existing, tmp_path / "new.bin", tmp_path / "no" / "dir.bin"):
        with pytest.raises(ValueError, match="^Memory range out of bounds$"):
            q.save_memory_to_file(str(path), address, size)
    assert existing.read_bytes() == b"keep"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["existing.bin"]


def test_save_file_system_failures(q, tmp_path):
    with pytest.raises(ValueError) as info:
        q.save_memory_to_file(str(tmp_path / "no" / "dir.bin"), 0, 1)
    assert str(info.value) == "Failed to create file: No such file or directory (os error 2)"
    with pytest.raises(ValueError) as info:
        q.save_memory_to_file("/dev/full", 0, 1)
    assert str(info.value) == "Failed to write file: No space left on device (os error 28)"


def test_save_zero_bytes_truncates(q, tmp_path):
    path = tmp_path / "image.bin"
    path.write_bytes(b"old contents")
    assert q.save_memory_to_file(str(path), MEM, 0) is None
    assert path.read_bytes() == b""


@pytest.mark.parametrize("address, size", [(0, MEM), (12345, 70001), (MEM - 1, 1), (500, 0)])
def test_file_round_trip(q, tmp_path, address, size):
    payload = random.Random(address).randbytes(size)
    q.write_bytes(address, payload)
    path = tmp_path / "image.bin"
    q.save_memory_to_file(str(path), address, size)
    assert path.read_bytes() == payload
    q.clear_memory()
    assert q.load_binary_file(str(path), address) == size
    assert bytes(q.read_bytes(address, size)) == payload
    if address:
        assert q.read_mem(address - 1, 1) == 0
