"""Print quorvel's benchmark table.

    python benchmarks/run.py            # Python-level rows, then the C++ benchmarks
    python benchmarks/run.py --no-cpp   # Python-level rows only

Figures are the best of several rounds on this machine; compare rows from the
same run only.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import timeit
from pathlib import Path

import quorvel

ROOT = Path(__file__).resolve().parent.parent


def ns_per_call(statement, number=200_000, repeat=7):
    return min(timeit.repeat(statement, number=number, repeat=repeat)) / number * 1e9


def row(label, value, unit):
    print(f"{label:<52} {value:>12.1f} {unit}")


def python_rows():
    q = quorvel.Quorvel()
    row("Quorvel() create + drop", ns_per_call(quorvel.Quorvel, number=20_000) / 1000, "µs")
    row("memory_size()  (no-argument call)", ns_per_call(q.memory_size), "ns")
    row("read_mem(0, 8)  (two-argument call)", ns_per_call(lambda: q.read_mem(0, 8)) - ns_per_call(lambda: None), "ns")
    row("get('rax')", ns_per_call(lambda: q.get("rax")) - ns_per_call(lambda: None), "ns")
    row("mov('rax', 1)", ns_per_call(lambda: q.mov("rax", 1)) - ns_per_call(lambda: None), "ns")
    row("is_valid_register('xmm15')", ns_per_call(lambda: q.is_valid_register("xmm15")) - ns_per_call(lambda: None),
        "ns")
    q.clear()
    row("execute() of the empty program", ns_per_call(q.execute, number=5_000) / 1000, "µs")
    row("  floor in this process: mmap + mprotect + munmap", mmap_floor_ns() / 1000, "µs")


def mmap_floor_ns():
    """One mmap + mprotect + munmap through ctypes (includes ctypes' own call cost)."""
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    libc.mmap.restype = ctypes.c_void_p
    libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_long]
    libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    read_write, read_exec, private_anonymous = 3, 5, 0x22

    def cycle():
        page = libc.mmap(None, 4096, read_write, private_anonymous, -1, 0)
        libc.mprotect(page, 4096, read_exec)
        libc.munmap(page, 4096)

    return ns_per_call(cycle, number=5_000)


def cpp_rows():
    build = ROOT / "build" / "bench"
    configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DQUORVEL_BUILD_BENCHMARKS=ON",
                 f"-DPython_EXECUTABLE={sys.executable}"]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "-j", str(os.cpu_count() or 2)], check=True,
                   stdout=subprocess.DEVNULL)
    for source in sorted((ROOT / "benchmarks" / "cpp").glob("*.cpp")):
        print(f"-- {source.stem}")
        subprocess.run([str(build / source.stem)], check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--no-cpp", action="store_true", help="skip building and running the C++ benchmarks")
    args = parser.parse_args()
    print("-- Python surface")
    python_rows()
    print("-- memory")
    sys.path.insert(0, str(Path(__file__).parent))
    import bench_memory

    bench_memory.main()
    if not args.no_cpp:
        cpp_rows()


if __name__ == "__main__":
    main()
