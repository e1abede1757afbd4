"""Failures inside the extension's C++ code reach Python as exceptions and
change nothing. Each case runs in a child process: before the barrier
existed, a C++ exception ended the interpreter with std::terminate."""

import os
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent("""
    import itertools, resource
    import quorvel

    MEM = 10485760
    PATTERN = bytes(range(256)) * 16

    class Items:
        '''A sequence whose length says `claimed` and whose iteration gives `items`.'''
        def __init__(self, claimed, items):
            self.claimed, self.items = claimed, items
        def __len__(self):
            return self.claimed
        def __getitem__(self, index):
            raise IndexError(index)
        def __iter__(self):
            return iter(self.items)

    def limit_address_space(headroom):
        with open("/proc/self/statm") as statm:
            mapped = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (mapped + headroom, resource.RLIM_INFINITY))

    q = quorvel.Quorvel()
    q.write_bytes(0, PATTERN)
    {setup}
    try:
        {call}
        print("returned")
    except BaseException as error:
        print("raised", type(error).__name__, error)
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    print("unchanged" if bytes(q.read_bytes(0, len(PATTERN))) == PATTERN else "changed")
    print("head", q.read_bytes(0, 4))
    q.write_bytes(0, [7])  # the borrow was given back
    print("after", q.read_mem(0, 1), q.memory_stats())
""")


def run_child(call, setup=""):
    code = CHILD.format(call=call, setup=setup)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[-1] == "after 7 (0, 10485760, 1)", done.stdout
    return lines[0], lines[1], lines[2]


@pytest.mark.parametrize("claimed", [2**62, sys.maxsize])
@pytest.mark.parametrize("method", ["write_bytes", "load_bytes_to_memory"])
def test_a_lying_length_does_not_decide_the_reservation(method, claimed):
    call = (f"q.write_bytes(0, Items({claimed}, [1, 2, 3]))" if method == "write_bytes"
            else f"q.load_bytes_to_memory(Items({claimed}, [1, 2, 3]), 0)")
    outcome, memory, head = run_child(call)
    assert (outcome, memory, head) == ("returned", "changed", "head [1, 2, 3, 3]")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator ends the process when the address space runs out")
@pytest.mark.parametrize(
    "setup, data",
    [
        # The items themselves outgrow the address space while being converted.
        ("limit_address_space(48 << 20)", "Items(0, itertools.repeat(9, 1 << 40))"),
        # The reservation for a claimed length alone does not fit.
        ("limit_address_space(2 << 20)", "Items(2**62, [1, 2, 3])"),
    ],
    ids=["items", "reservation"],
)
@pytest.mark.parametrize("method", ["write_bytes", "load_bytes_to_memory"])
def test_running_out_of_memory_raises_memory_error_and_writes_nothing(method, setup, data):
    call = f"q.write_bytes(0, {data})" if method == "write_bytes" else f"q.load_bytes_to_memory({data}, 0)"
    outcome, memory, _ = run_child(call, setup)
    assert (outcome, memory) == ("raised MemoryError ", "unchanged")
