"""Leak checks in the manner of CPython's refleak runs: every method, on its
successful and its failing paths, runs a few warm-up rounds, then measured
rounds with a garbage collection after each. Across the measured rounds the
interpreter's allocated blocks, the bytes in use in the C heap, the open file
descriptors, the lines of /proc/self/maps (code mappings), the mapped size
and resident memory must stay put. benchmarks/leak_check.py runs the same
table with 100,000 calls per step."""

import array
import ctypes
import gc
import io
import json
import os
import resource
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel
import quorvel_lab

MEMORY = 10 * 1024 * 1024
GOOD = "mov rax, 6\nmov rbx, 7\nimul rax, rbx\nloop: ;; dec rbx ;; jne loop\n"
PAGE_KIB = resource.getpagesize() // 1024


class Files:
    """Scratch files for the methods that read and write them."""

    def __init__(self, directory):
        directory = Path(directory)
        self.program = str(directory / "program.s")
        Path(self.program).write_text(GOOD)
        self.blob = str(directory / "blob.bin")
        Path(self.blob).write_bytes(bytes(range(256)) * 16)
        self.bad_text = str(directory / "latin1.s")
        Path(self.bad_text).write_bytes(b"mov rax, 1 ; caf\xe9\n")
        self.out = str(directory / "out.bin")
        self.missing = str(directory / "no-such-directory" / "file")


TESTS = Path(__file__).resolve().parent
_PROCESS = ctypes.CDLL(None)
# Present when the ASan runtime is loaded (tests/run_sanitized.sh).
_SANITIZER_COUNT = getattr(_PROCESS, "__sanitizer_get_current_allocated_bytes", None)
SANITIZED = _SANITIZER_COUNT is not None


def _prepare_nothing(q):
    pass


def _prepare_code(q):
    q.asm(GOOD)
    q.execute()


def _asm_then_clear(q, text, file=None):
    q.asm(text, file=file)
    q.clear()


def _run(q, program):
    q.clear()
    q.asm(program)
    q.execute()


class _ClaimsMore:
    """A sequence whose __len__ claims far more items than it yields."""

    def __len__(self):
        return 2**62

    def __getitem__(self, index):
        raise IndexError(index)

    def __iter__(self):
        return iter((1, 2, 3))


class _IteratesOtherItems(bytes):
    def __iter__(self):
        return iter((7, 8, 9))


def _named(qualname):
    cls = type("Named", (), {})
    cls.__qualname__ = qualname
    return cls()


def _alloc_when_full(q):
    q.alloc(MEMORY)
    try:
        q.alloc(0)
    finally:
        q.free(0)


def _write_with_little_address_space(q):
    """write_bytes() whose reservation cannot be had: MemoryError."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm", "rb") as statm:
        mapped = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (mapped + (2 << 20), hard))
    try:
        q.write_bytes(0, _ClaimsMore())
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


_EMPTY = quorvel.Quorvel()

# method -> (prepare, steps). A step is (call, None) when it must succeed, or
# (call, exception type) when it must fail that way.
CASES = {
    "setup": (_prepare_nothing, [
        (lambda q, f: q.setup("aarch64"), None),
        (lambda q, f: q.setup(arch=None), None),
        (lambda q, f: q.setup(5), TypeError),
    ]),
    "asm": (_prepare_nothing, [
        (lambda q, f: _asm_then_clear(q, GOOD), None),
        (lambda q, f: _asm_then_clear(q, "nop", io.BytesIO(b"ret\n")), None),
        (lambda q, f: q.asm("", file=io.BytesIO(b"\xff\xfe")), ValueError),
        (lambda q, f: q.asm("", file=io.StringIO("nop")), TypeError),
        (lambda q, f: q.asm(5), TypeError),
    ]),
    "load_file": (_prepare_nothing, [
        (lambda q, f: (q.load_file(f.program), q.clear()), None),
        (lambda q, f: q.load_file(f.missing), ValueError),
        (lambda q, f: q.load_file(f.bad_text), ValueError),
    ]),
    "load_binary_file": (_prepare_nothing, [
        (lambda q, f: q.load_binary_file(f.blob, 4096), None),
        (lambda q, f: q.load_binary_file(f.missing, 0), ValueError),
        (lambda q, f: q.load_binary_file(f.blob, MEMORY - 1), ValueError),
        (lambda q, f: q.load_binary_file(f.blob, 2**64), OverflowError),
    ]),
    "load_bytes_to_memory": (_prepare_nothing, [
        (lambda q, f: q.load_bytes_to_memory(b"\x01" * 300, 64), None),
        (lambda q, f: q.load_bytes_to_memory([1, 2, 3], address=8), None),
        (lambda q, f: q.load_bytes_to_memory(b"abc", MEMORY - 1), ValueError),
        (lambda q, f: q.load_bytes_to_memory([256], 0), OverflowError),
    ]),
    "write_bytes": (_prepare_nothing, [
        (lambda q, f: q.write_bytes(0, bytes(64)), None),
        (lambda q, f: q.write_bytes(100, bytearray(b"xyz")), None),
        (lambda q, f: q.write_bytes(address=200, data=list(range(100))), None),
        (lambda q, f: q.write_bytes(MEMORY - 1, b"ab"), ValueError),
        (lambda q, f: q.write_bytes(0, [1, -1]), OverflowError),
        (lambda q, f: q.write_bytes(0, "text"), TypeError),
        (lambda q, f: q.write_bytes(0, _ClaimsMore()), None),
        (lambda q, f: q.write_bytes(0, _IteratesOtherItems(b"abc")), None),
        (lambda q, f: q.write_bytes(0, _named("No\x00Sequence")), TypeError),
    ]),
    "read_bytes": (_prepare_nothing, [
        (lambda q, f: q.read_bytes(0, 300), None),
        (lambda q, f: q.read_bytes(address=MEMORY - 4, size=4), None),
        (lambda q, f: q.read_bytes(MEMORY, 1), ValueError),
        (lambda q, f: q.read_bytes(0, size=1, extra=2), TypeError),
    ]),
    "clear_memory": (_prepare_nothing, [
        (lambda q, f: q.clear_memory(0, 4096), None),
        (lambda q, f: q.clear_memory(size=1), None),
        (lambda q, f: q.clear_memory("x"), TypeError),
    ]),
    "save_memory_to_file": (_prepare_nothing, [
        (lambda q, f: q.save_memory_to_file(f.out, 0, 4096), None),
        (lambda q, f: q.save_memory_to_file(f.missing, 0, 1), ValueError),
        (lambda q, f: q.save_memory_to_file(f.out, 0, MEMORY + 1), ValueError),
    ]),
    "memory_size": (_prepare_nothing, [
        (lambda q, f: q.memory_size(), None),
        (lambda q, f: q.memory_size(1), TypeError),
    ]),
    "alloc": (_prepare_nothing, [
        (lambda q, f: q.free(q.alloc(64)), None),
        (lambda q, f: q.alloc(2 * MEMORY), ValueError),
        (lambda q, f: _alloc_when_full(q), ValueError),
        (lambda q, f: q.alloc(-1), OverflowError),
    ]),
    "free": (_prepare_nothing, [
        (lambda q, f: q.free(q.alloc(32)), None),
        (lambda q, f: q.free(12345), None),
        (lambda q, f: q.free(-1), OverflowError),
    ]),
    "memory_stats": (_prepare_nothing, [
        (lambda q, f: q.memory_stats(), None),
        (lambda q, f: q.memory_stats(1), TypeError),
    ]),
    "mov": (_prepare_nothing, [
        (lambda q, f: q.mov("rax", 2**64 - 1), None),
        (lambda q, f: q.mov("X30", value=7), None),
        (lambda q, f: q.mov("zz", 1), ValueError),
        (lambda q, f: q.mov("r\x00ax", 1), ValueError),
        (lambda q, f: q.mov("rax", 2**64), OverflowError),
    ]),
    "get": (_prepare_nothing, [
        (lambda q, f: q.get(), None),
        (lambda q, f: q.get(reg="R15"), None),
        (lambda q, f: q.get("nonsense"), None),
        (lambda q, f: q.get(5), TypeError),
    ]),
    "write_mem": (_prepare_nothing, [
        (lambda q, f: q.write_mem(0, 2**64 - 1, 8), None),
        (lambda q, f: q.write_mem(0, 1, 3), ValueError),
        (lambda q, f: q.write_mem(MEMORY - 4, 1, 8), ValueError),
    ]),
    "read_mem": (_prepare_nothing, [
        (lambda q, f: q.read_mem(0, 8), None),
        (lambda q, f: q.read_mem(0, 3), ValueError),
        (lambda q, f: q.read_mem(MEMORY - 1, 2), ValueError),
    ]),
    "get_memory_ptr": (_prepare_nothing, [
        (lambda q, f: q.get_memory_ptr(), None),
        (lambda q, f: q.get_memory_ptr(1), TypeError),
    ]),
    "get_arch": (_prepare_nothing, [
        (lambda q, f: q.get_arch(), None),
        (lambda q, f: q.get_arch(1), TypeError),
    ]),
    "execute": (_prepare_nothing, [
        (lambda q, f: _run(q, GOOD), None),
        (lambda q, f: _run(q, "push r11"), ValueError),
        (lambda q, f: _run(q, "mov rax,"), ValueError),
        (lambda q, f: _run(q, "f\x00oo"), ValueError),
        (lambda q, f: _run(q, "jmp nowhere"), ValueError),
        (lambda q, f: _run(q, "mov rcx, 0 ;; div rcx"), ValueError),
        (lambda q, f: _run(q, "mov rbp, 16"), ValueError),
    ]),
    # The kept code: the same text again, with the same or other registers.
    "execute again": (_prepare_code, [
        (lambda q, f: q.execute(), None),
        (lambda q, f: (q.mov("rcx", 3), q.execute()), None),
    ]),
    "install": (_prepare_code, [
        (lambda q, f: q.install(f.out), None),
        (lambda q, f: q.install(f.missing), ValueError),
        (lambda q, f: _EMPTY.install(f.out), ValueError),
    ]),
    "clear": (_prepare_nothing, [
        (lambda q, f: (q.asm(GOOD), q.execute(), q.clear()), None),
        (lambda q, f: q.clear(1), TypeError),
    ]),
    "dump_regs": (_prepare_nothing, [
        (lambda q, f: q.dump_regs(), None),
        (lambda q, f: q.dump_regs(1), TypeError),
    ]),
    "dump_regs_x86": (_prepare_nothing, [
        (lambda q, f: q.dump_regs_x86(), None),
        (lambda q, f: q.dump_regs_x86(1), TypeError),
    ]),
    "dump_regs_arm": (_prepare_nothing, [
        (lambda q, f: q.dump_regs_arm(), None),
        (lambda q, f: q.dump_regs_arm(1), TypeError),
    ]),
    "is_valid_register": (_prepare_nothing, [
        (lambda q, f: q.is_valid_register("w29"), None),
        (lambda q, f: q.is_valid_register("r99"), None),
        (lambda q, f: q.is_valid_register(1), TypeError),
    ]),
    "quorvel_lab": (_prepare_nothing, [
        (lambda q, f: quorvel_lab.listing(GOOD, {"rax": 5}), None),
        (lambda q, f: quorvel_lab.listing("push r11"), ValueError),
        (lambda q, f: quorvel_lab.check(GOOD + "push r11\nfoo\nadd rax, 5000000000\na:\na:"), None),
        (lambda q, f: quorvel_lab.trace(GOOD, {"rbx": 3}), None),
        (lambda q, f: quorvel_lab.trace("spin:\njmp spin", max_steps=50), None),
        (lambda q, f: quorvel_lab.trace("mov rcx, 0\ndiv rcx"), None),
        (lambda q, f: quorvel_lab.trace(GOOD, {"xmm0": 1}), ValueError),
    ]),
    # Objects themselves: the 10 MiB memory, and the code stack of a first run.
    "Quorvel()": (_prepare_nothing, [
        (lambda q, f: quorvel.Quorvel().write_mem(MEMORY - 8, 1, 8), None),
        (lambda q, f: _run(quorvel.Quorvel(), GOOD), None),
        (lambda q, f: quorvel.Quorvel(1), TypeError),
    ]),
}

# Paths that only show when the C heap has no room to spare: each is
# measured in a child process of its own, whose allocator has not yet kept
# big blocks around that would let the failing allocation succeed. ASan's
# allocator ends the process instead of failing, so the sanitized run has none.
ISOLATED_CASES = {} if SANITIZED else {
    "write_bytes out of memory": (_prepare_nothing, [
        (lambda q, f: _write_with_little_address_space(q), MemoryError),
    ]),
}


def _native_heap_meter():
    """Bytes the C allocator has handed out and not had back: the sanitizer's
    count when its runtime is loaded, else glibc's mallinfo2."""
    if SANITIZED:
        _SANITIZER_COUNT.restype = ctypes.c_size_t
        return _SANITIZER_COUNT

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
            "keepcost")]

    mallinfo2 = _PROCESS.mallinfo2
    mallinfo2.restype = MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


native_heap_bytes = _native_heap_meter()


FIGURES = ("blocks", "heap", "fds", "maps", "vm_kib", "rss_kib")
# blocks:  sys.getallocatedblocks(), Python objects and buffers
# heap:    bytes in use in the C heap
# fds:     entries of /proc/self/fd
# maps:    lines of /proc/self/maps
# vm_kib:  size of all mappings: neighbouring private mappings with the same
#          protection share a line of /proc/self/maps, so a leaked code
#          buffer may show only here
# rss_kib: resident memory


def record_figures(record, row):
    """Stores the figures into row `row` of `record` (an array.array of
    int64): the values go straight into preallocated storage, so recording
    creates no Python object that outlives the call."""
    base = row * len(FIGURES)
    record[base] = sys.getallocatedblocks()
    record[base + 1] = native_heap_bytes()
    record[base + 2] = len(os.listdir("/proc/self/fd"))
    with open("/proc/self/maps", "rb") as maps:
        record[base + 3] = maps.read().count(b"\n")
    with open("/proc/self/statm", "rb") as statm:
        pages = statm.read().split()
    record[base + 4] = int(pages[0]) * PAGE_KIB
    record[base + 5] = int(pages[1]) * PAGE_KIB


def current_figures():
    record = array.array("q", bytes(8 * len(FIGURES)))
    record_figures(record, 0)
    return dict(zip(FIGURES, record))


def run_round(q, files, steps, repeat):
    for _ in range(repeat):
        for call, error in steps:
            if error is None:
                call(q, files)
                continue
            try:
                call(q, files)
            except error:
                pass
            else:
                raise AssertionError(f"a call expected to raise {error.__name__} returned")


def settle():
    # As CPython's refleak runs do: the type attribute cache keeps the name
    # object of each recent lookup alive, and a method looked up by a C string
    # (obj.read() called from the extension) brings a new name every call.
    sys._clear_type_cache()
    gc.collect()


def measure(case, files, repeat, warmup=3, rounds=4):
    """For each figure, its values after the last warm-up round and after each
    measured round."""
    prepare, steps = case
    q = quorvel.Quorvel()
    prepare(q)
    record = array.array("q", bytes(8 * len(FIGURES) * (rounds + 1)))
    for index in range(warmup + rounds):
        run_round(q, files, steps, repeat)
        settle()
        if index >= warmup - 1:
            record_figures(record, index - warmup + 1)
    return {figure: record[i::len(FIGURES)].tolist() for i, figure in enumerate(FIGURES)}


# Drift the measured rounds may show without a leak, whatever the number of
# calls: glibc counts the chunks parked in its per-thread caches as in use,
# and without pymalloc (PYTHONMALLOC=malloc, as in the sanitizer run) every
# Python object passes through the C heap and its caches too.
PYMALLOC = sys.getallocatedblocks() > 0
HEAP_SLACK = 8 * 1024 if PYMALLOC else 32 * 1024
# The C heap grows in steps of 132 KiB and mappings come and go with it.
MEMORY_SLACK_KIB = 1024


# Under ASan the allocator maps and unmaps memory and holds freed blocks in
# its quarantine on a schedule of its own, so mappings and resident memory
# say nothing about the extension there; the sanitizer's exact count of heap
# bytes stands in for them.
CHECKED = ("blocks", "heap", "fds") if SANITIZED else FIGURES


def unstable_figures(figures):
    """The figures that moved like a leak: Python blocks or heap bytes rising
    in every measured round (CPython's rule), any change in the number of
    file descriptors or mappings, or mapped or resident memory growing past
    the slack."""
    found = []
    for name in CHECKED:
        values = figures[name]
        deltas = [b - a for a, b in zip(values, values[1:])]
        growth = values[-1] - values[0]
        if name in ("blocks", "heap"):
            leaked = all(delta > 0 for delta in deltas) and growth > (HEAP_SLACK if name == "heap" else 0)
        elif name in ("vm_kib", "rss_kib"):
            leaked = growth > MEMORY_SLACK_KIB
        else:
            leaked = max(values) != min(values)
        if leaked:
            found.append(f"{name} {values}")
    return found


MEASURE_IN_CHILD = """
import json, sys, tempfile
sys.path.insert(0, {tests!r})
import test_leaks as leaks

with tempfile.TemporaryDirectory() as directory:
    figures = leaks.measure(leaks.ISOLATED_CASES[{name!r}], leaks.Files(directory), {repeat}, {warmup}, {rounds})
print(json.dumps(figures))
"""


def measure_in_child(name, repeat, warmup=3, rounds=4):
    """measure() of ISOLATED_CASES[name], run in a fresh interpreter."""
    code = MEASURE_IN_CHILD.format(tests=str(TESTS), name=name, repeat=repeat, warmup=warmup, rounds=rounds)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def warm_up(files, repeat=100):
    """Runs the whole table once: the first calls in a process fill caches
    (interned names, exception types, allocator pools) that would otherwise
    read as growth in whichever method is measured first."""
    for prepare, steps in CASES.values():
        q = quorvel.Quorvel()
        prepare(q)
        run_round(q, files, steps, repeat)
    settle()


def public_methods():
    return {name for name in vars(quorvel.Quorvel) if not name.startswith("_")}


def test_every_method_is_in_the_table():
    assert set(CASES) - {"Quorvel()", "execute again", "quorvel_lab"} == public_methods()


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    files = Files(tmp_path_factory.mktemp("leaks"))
    warm_up(files)
    return files


@pytest.mark.parametrize("method", sorted(CASES))
def test_repeated_calls_leak_nothing(method, files):
    assert unstable_figures(measure(CASES[method], files, repeat=40)) == []


@pytest.mark.parametrize("case", sorted(ISOLATED_CASES))
def test_paths_measured_in_a_child_leak_nothing(case):
    assert unstable_figures(measure_in_child(case, repeat=40)) == []


def _keep(kept):
    engine = quorvel.Quorvel()
    _run(engine, GOOD)
    kept.append((engine, os.dup(0)))


def test_a_leak_would_be_seen(files):
    kept = []
    try:
        figures = measure((_prepare_nothing, [(lambda q, f: _keep(kept), None)]), files, repeat=40)
    finally:
        for _, fd in kept:
            os.close(fd)
    expected = {"heap", "fds"} | ({"maps", "vm_kib"} & set(CHECKED))
    # Without pymalloc sys.getallocatedblocks() stays 0: the heap figure
    # carries the Python objects.
    if PYMALLOC:
        expected.add("blocks")
    assert {figure.split()[0] for figure in unstable_figures(figures)} >= expected
