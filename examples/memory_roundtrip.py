"""Fill allocated memory with results of generated code, save it to a file, load it back.

Generated code cannot reach the engine's flat memory (no instruction has a
memory operand), so Python moves the values: it runs factorial.s once per n,
stores each rax in an allocated table, writes the table to a file and loads
the file into a second engine.

    python examples/memory_roundtrip.py
"""

import sys
import tempfile
from pathlib import Path

import quorvel

HERE = Path(__file__).resolve().parent
WORD = 8  # bytes per table entry


def factorials(count: int) -> list[int]:
    """n! for n = 0 .. count-1, each one computed by running factorial.s."""
    engine = quorvel.Quorvel()
    engine.load_file(str(HERE / "factorial.s"))
    results = []
    for n in range(count):
        engine.mov("rcx", n)
        engine.execute()
        results.append(engine.get("rax"))
    return results


def store(engine: quorvel.Quorvel, values: list[int]) -> int:
    """Allocate a table, write the values little-endian and return its offset."""
    table = engine.alloc(WORD * len(values))
    for i, value in enumerate(values):
        engine.write_mem(table + WORD * i, value, WORD)
    return table


def round_trip(values: list[int], directory: Path) -> list[int]:
    """Save the stored table to a file and read it back through a fresh engine."""
    source = quorvel.Quorvel()
    source.alloc(16)  # something in front, so the table does not start at offset 0
    table = store(source, values)
    path = directory / "table.bin"
    source.save_memory_to_file(str(path), table, WORD * len(values))

    target = quorvel.Quorvel()
    landing = target.alloc(WORD * len(values))
    loaded = target.load_binary_file(str(path), landing)
    assert loaded == WORD * len(values)
    return [target.read_mem(landing + WORD * i, WORD) for i in range(len(values))]


def main() -> int:
    values = factorials(21)
    with tempfile.TemporaryDirectory() as directory:
        restored = round_trip(values, Path(directory))
    if restored != values:
        print("round trip changed the table", file=sys.stderr)
        return 1
    engine = quorvel.Quorvel()
    store(engine, values)
    used, free, blocks = engine.memory_stats()
    print(f"table of {len(values)} values: {used} bytes used, {free} free, {blocks} blocks")
    print(f"saved and loaded back unchanged; 20! = {restored[20]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
