"""Memory throughput and allocator latency, each beside a plain-Python baseline from the same run."""

import os
import statistics
import tempfile
import time

import quorvel

MEM = 10485760
LIVE_BLOCKS = 10_000


def paired(native, baseline, repeat, setup=None):
    """Median seconds of native() and baseline(), interleaved with the order
    swapped every round so that both see the same machine conditions and
    neither always pays for the other's leftovers (page cache, allocator).
    setup() runs untimed before each."""
    samples = ([], [])
    for round_number in range(repeat):
        pairs = list(zip((native, baseline), samples))
        if round_number % 2:
            pairs.reverse()
        for action, times in pairs:
            if setup is not None:
                setup()
            start = time.perf_counter()
            action()
            times.append(time.perf_counter() - start)
    return statistics.median(samples[0]), statistics.median(samples[1])


def python_first_fit(blocks, size):
    for i, (start, block_size, used) in enumerate(blocks):
        if not used and block_size >= size:
            if block_size > size:
                blocks.insert(i + 1, [start + size, block_size - size, False])
            blocks[i] = [start, size, True]
            return start
    return 0


def python_free(blocks, address):
    for i, (start, _, used) in enumerate(blocks):
        if start == address and used:
            blocks[i][2] = False
            if i + 1 < len(blocks) and not blocks[i + 1][2]:
                blocks[i][1] += blocks.pop(i + 1)[1]
            if i > 0 and not blocks[i - 1][2]:
                blocks[i - 1][1] += blocks.pop(i)[1]
            return True
    return False


def measure(directory):
    q = quorvel.Quorvel()
    data = bytes(range(256)) * (MEM // 256)
    target = bytearray(MEM)
    path = os.path.join(directory, "image.bin")
    python_path = os.path.join(directory, "python.bin")
    rows = []

    def gbps(seconds):
        return f"{MEM / seconds / 1e9:.2f} GB/s"

    def ms(seconds):
        return f"{seconds * 1e3:.2f} ms"

    q.write_bytes(0, data)

    def slice_assign():
        target[0:MEM] = data

    native, baseline = paired(lambda: q.write_bytes(0, data), slice_assign, 20)
    rows.append(("write_bytes(0, 10 MiB bytes)", gbps(native), "bytearray slice assignment", gbps(baseline)))

    native, baseline = paired(lambda: q.read_bytes(0, MEM), lambda: list(data), 5)
    rows.append(("read_bytes(0, 10 MiB)", ms(native), "list(bytes of 10 MiB)", ms(baseline)))

    def python_write():
        with open(python_path, "wb") as f:
            f.write(data)

    def python_read():
        with open(python_path, "rb") as f:
            f.read()

    native, baseline = paired(lambda: q.save_memory_to_file(path, 0, MEM), python_write, 20)
    rows.append(("save_memory_to_file 10 MiB", ms(native), "open(..., 'wb').write", ms(baseline)))

    native, baseline = paired(lambda: q.load_binary_file(path, 0), python_read, 30)
    rows.append(("load_binary_file 10 MiB", ms(native), "open(..., 'rb').read", ms(baseline)))

    zeros = bytes(MEM)

    def touch_4k():
        q.write_bytes(8192, data[:4096])
        target[8192:12288] = data[:4096]

    def python_clear():
        target[0:MEM] = zeros

    native, baseline = paired(q.clear_memory, python_clear, 50, setup=touch_4k)
    rows.append(("clear_memory() after 4 KiB touched", f"{native * 1e6:.1f} µs",
                 "bytearray zeroing by slice", f"{baseline * 1e6:.1f} µs"))

    q.clear_memory()
    blocks = [[0, MEM, False]]
    for _ in range(LIVE_BLOCKS):
        q.alloc(64)
        python_first_fit(blocks, 64)
    native_rounds, python_rounds = 2000, 100

    def native_pairs():
        for _ in range(native_rounds):
            q.free(q.alloc(64))

    def python_pairs():
        for _ in range(python_rounds):
            python_free(blocks, python_first_fit(blocks, 64))

    native, baseline = paired(native_pairs, python_pairs, 3)
    rows.append((f"alloc+free, {LIVE_BLOCKS} live blocks", f"{native / (2 * native_rounds) * 1e6:.2f} µs/op",
                 "pure-Python first fit", f"{baseline / (2 * python_rounds) * 1e6:.2f} µs/op"))
    return rows


def main():
    with tempfile.TemporaryDirectory() as directory:
        rows = measure(directory)
    headers = ("operation", "quorvel", "baseline", "baseline figure")
    widths = [max(len(str(row[i])) for row in rows + [headers]) for i in range(4)]
    for row in [headers] + rows:
        print("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)))


if __name__ == "__main__":
    main()
