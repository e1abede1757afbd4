import gc
import importlib
import os
import subprocess
import sys
import threading

import pytest

import quorvel


def test_repeated_import_gives_the_same_module():
    first = sys.modules.pop("quorvel")
    try:
        again = importlib.import_module("quorvel")
        assert again is first
    finally:
        sys.modules["quorvel"] = first
    assert quorvel.__all__ == ["Quorvel", "CpuArch", "version"]


def test_module_surface():
    assert quorvel.version() == "0.1.0"
    assert quorvel.version.__module__ == "quorvel"
    assert quorvel.__doc__ == ""
    with pytest.raises(TypeError):
        quorvel.version(1)
    assert quorvel.Quorvel.__module__ == "builtins"
    assert quorvel.Quorvel.__qualname__ == "Quorvel"
    assert quorvel.Quorvel.__text_signature__ == "()"


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: quorvel.Quorvel(1), "Quorvel.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: quorvel.Quorvel(1, 2), "Quorvel.__new__() takes 0 positional arguments but 2 were given"),
        (lambda: quorvel.Quorvel(x=1), "Quorvel.__new__() got an unexpected keyword argument 'x'"),
    ],
)
def test_constructor_takes_no_arguments(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_cpu_arch_members():
    CpuArch = quorvel.CpuArch
    assert [repr(m) for m in (CpuArch.Auto, CpuArch.X86_64, CpuArch.AArch64)] == [
        "CpuArch.Auto", "CpuArch.X86_64", "CpuArch.AArch64"]
    assert str(CpuArch.AArch64) == "CpuArch.AArch64"
    assert [int(m) for m in (CpuArch.Auto, CpuArch.X86_64, CpuArch.AArch64)] == [0, 1, 2]
    assert CpuArch.X86_64 == 1 and CpuArch.Auto != 1 and 2 == CpuArch.AArch64
    assert CpuArch.AArch64 != CpuArch.Auto and CpuArch.Auto == CpuArch.Auto
    assert CpuArch.X86_64 != "x86_64"
    assert CpuArch.X86_64 == True  # noqa: E712 — bool has __index__
    with pytest.raises(TypeError):
        CpuArch.Auto < CpuArch.AArch64
    with pytest.raises(TypeError):
        hash(CpuArch.Auto)
    with pytest.raises(TypeError, match="^No constructor defined$"):
        CpuArch()
    assert CpuArch.__module__ == "builtins"


def test_methods_in_table_order_with_signatures():
    names = [n for n in vars(quorvel.Quorvel) if not n.startswith("__")]
    assert names == [
        "setup", "asm", "load_file", "load_binary_file", "load_bytes_to_memory", "write_bytes",
        "read_bytes", "clear_memory", "save_memory_to_file", "memory_size", "alloc", "free",
        "memory_stats", "mov", "get", "write_mem", "read_mem", "get_memory_ptr", "get_arch",
        "execute", "install", "clear", "dump_regs", "dump_regs_x86", "dump_regs_arm",
        "is_valid_register"]
    Q = quorvel.Quorvel
    assert Q.asm.__text_signature__ == "($self, code, file=None)"
    assert Q.clear_memory.__text_signature__ == "($self, address=None, size=None)"
    assert Q.memory_size.__text_signature__ == "($self)"
    assert Q.is_valid_register.__doc__ == "Validate if a register name is valid for current architecture"


def test_engine_initial_state(q):
    assert q.get_arch() == "auto"
    assert q.memory_size() == 10485760
    assert q.get("rax") == 0
    assert q.memory_stats() == (0, 10485760, 1)
    assert q.dump_regs() == q.dump_regs_x86()


@pytest.mark.parametrize(
    ("arch", "expected"),
    [(None, "x86_64"), ("arm", "aarch64"), ("arm64", "aarch64"), ("aarch64", "aarch64"),
     ("ARM64", "x86_64"), ("AArch64", "x86_64"), ("", "x86_64"), ("mips", "x86_64")],
)
def test_setup(q, arch, expected):
    q.setup(arch)
    assert q.get_arch() == expected


def test_setup_without_argument_and_refusing_non_text(q):
    q.setup("arm")
    q.setup()
    assert q.get_arch() == "x86_64"
    with pytest.raises(TypeError) as info:
        q.setup(quorvel.CpuArch.AArch64)
    assert str(info.value) == "argument 'arch': 'CpuArch' object cannot be converted to 'PyString'"
    assert q.get_arch() == "x86_64"


def test_clear_keeps_registers_memory_and_arch(q):
    q.mov("rbx", 7)
    q.setup("arm64")
    q.write_mem(0, 9, 1)
    q.asm("nop")
    q.clear()
    assert q.get("rbx") == 7
    assert q.get_arch() == "aarch64"
    assert q.read_mem(0, 1) == 9


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's quarantine holds freed memory back; test_leaks covers this build")
def test_creating_and_dropping_many_objects_keeps_memory_flat():
    def rss_kib():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))

    for _ in range(100):
        quorvel.Quorvel()
    gc.collect()
    before = rss_kib()
    for _ in range(10_000):
        quorvel.Quorvel().write_mem(0, 1, 1)
    gc.collect()
    assert rss_kib() - before < 4096


LAZY_MEMORY_CHILD = """
import resource
import quorvel

PAGE = resource.getpagesize()

def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE // 1024

quorvel.Quorvel()
before = resident_kib()
objects = [quorvel.Quorvel() for _ in range(100)]
created = resident_kib()
for address in range(0, objects[0].memory_size(), PAGE):
    objects[0].write_mem(address, 1, 1)
touched = resident_kib()
print(created - before, touched - created)
"""


def test_memory_is_obtained_lazily():
    # In a child, so that what the runner has freed or cached does not blur
    # the figures. Touching one object's memory is the yardstick: it must
    # show as its full 10 MiB while a hundred untouched objects stay small.
    done = subprocess.run([sys.executable, "-c", LAZY_MEMORY_CHILD], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    created_kib, touched_kib = map(int, done.stdout.split())
    assert touched_kib >= 10 * 1024
    assert created_kib < 100 * 64


def test_drop_on_foreign_thread_reports_unraisable():
    holder = [quorvel.Quorvel()]
    seen = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda info: seen.append(info.exc_value)
    gc.collect()  # nothing of earlier tests is left for a collection on the thread
    gc.disable()
    try:
        thread = threading.Thread(target=holder.clear)
        thread.start()
        thread.join()
    finally:
        gc.enable()
        sys.unraisablehook = old_hook
    assert len(seen) == 1
    assert isinstance(seen[0], RuntimeError)
    assert str(seen[0]) == "quorvel::Quorvel is unsendable, but is being dropped on another thread"
