import gc
import sys
import threading

import pytest

import quorvel


def raises(exc, call):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    return str(info.value)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda q: q.get("rax", "rbx"), "Quorvel.get() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda q: q.mov("rax", 1, 2), "Quorvel.mov() takes 2 positional arguments but 3 were given"),
        (lambda q: q.alloc(1, 2), "Quorvel.alloc() takes 1 positional arguments but 2 were given"),
        (lambda q: q.setup("a", "b"), "Quorvel.setup() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda q: q.mov("rbx", register="rcx"), "Quorvel.mov() got multiple values for argument 'register'"),
        (lambda q: q.mov("rbx", 1, bogus=2), "Quorvel.mov() got an unexpected keyword argument 'bogus'"),
        (lambda q: q.mov(), "Quorvel.mov() missing 2 required positional arguments: 'register' and 'value'"),
        (lambda q: q.mov("rax"), "Quorvel.mov() missing 1 required positional argument: 'value'"),
        (lambda q: q.save_memory_to_file(),
         "Quorvel.save_memory_to_file() missing 3 required positional arguments: 'filename', 'address' and 'size'"),
        (lambda q: q.write_mem(1, size=1),
         "Quorvel.write_mem() missing 1 required positional argument: 'value'"),
        (lambda q: q.get(1), "argument 'reg': 'int' object cannot be converted to 'PyString'"),
        (lambda q: q.mov(None, 1), "argument 'register': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda q: q.write_bytes(0, "ab"), "argument 'data': Can't extract `str` to `Vec`"),
        (lambda q: q.write_bytes(0, 5), "argument 'data': 'int' object cannot be converted to 'Sequence'"),
        (lambda q: q.write_bytes(0, {1: 2}), "argument 'data': 'dict' object cannot be converted to 'Sequence'"),
    ],
)
def test_binding_type_errors(q, call, message):
    assert raises(TypeError, lambda: call(q)) == message


def test_noargs_methods_use_the_interpreter_message(q):
    assert raises(TypeError, lambda: q.memory_size(1)) == "Quorvel.memory_size() takes no arguments (1 given)"


def test_keyword_binding(q):
    q.mov(value=5, register="rbx")
    assert q.get(reg="rbx") == 5
    q.write_mem(size=2, value=0x1234, address=8)
    assert q.read_mem(size=2, address=8) == 0x1234


@pytest.mark.parametrize(
    ("value", "exc", "message"),
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (1.0, TypeError, "argument 'value': 'float' object cannot be interpreted as an integer"),
        ("1", TypeError, "argument 'value': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_u64_conversion_failures(q, value, exc, message):
    assert raises(exc, lambda: q.mov("rax", value)) == message
    assert q.get("rax") == 0


def test_u64_accepts_index_protocol(q):
    class Index:
        def __index__(self):
            return 2**64 - 1

    q.mov("rax", True)
    assert q.get() == 1
    q.mov("rax", Index())
    assert q.get() == 2**64 - 1


@pytest.mark.parametrize("size", [256, -1, 2**70])
def test_u8_conversion_range(q, size):
    message = raises(OverflowError, lambda: q.read_mem(0, size))
    if size != 2**70:
        assert message == "out of range integral type conversion attempted"


def test_byte_sequence_item_errors(q):
    assert raises(OverflowError, lambda: q.write_bytes(0, [1, 256])) == "out of range integral type conversion attempted"
    assert raises(TypeError, lambda: q.write_bytes(0, [1, "x"])) == (
        "argument 'data': 'str' object cannot be interpreted as an integer")
    assert q.read_bytes(0, 2) == [0, 0]


def test_conversion_order_and_cause_is_kept(q):
    # The first failing argument is reported; later ones are not looked at.
    assert raises(TypeError, lambda: q.write_mem("a", "b", 300)).startswith("argument 'address': ")

    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as error:
                raise TypeError("outer") from error

    with pytest.raises(TypeError) as info:
        q.alloc(Bad())
    assert str(info.value) == "argument 'size': outer"
    assert isinstance(info.value.__cause__, KeyError)


def test_non_type_errors_pass_through_unwrapped(q):
    class Boom:
        def __index__(self):
            raise ValueError("boom")

    assert raises(ValueError, lambda: q.alloc(Boom())) == "boom"
    assert raises(UnicodeEncodeError, lambda: q.get("\udc80")).startswith("'utf-8' codec")


def test_reentrant_read_meets_the_borrow(q):
    class Reader:
        def __init__(self, call):
            self.call = call
            self.error = None

        def read(self):
            try:
                self.call()
            except RuntimeError as error:
                self.error = str(error)
            return b"nop"

    shared = Reader(q.get)
    q.asm("nop", file=shared)
    assert shared.error == "Already mutably borrowed"
    exclusive = Reader(q.clear)
    q.asm("nop", exclusive)
    assert exclusive.error == "Already borrowed"
    # The borrow is given back after each call.
    q.clear()
    assert q.get() == 0


def test_an_exclusive_borrow_inside_a_shared_one_fails(q):
    class Address:
        def __index__(self):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                q.mov("rax", 5)
            return 0

    q.write_mem(0, 7, 8)
    assert q.read_mem(Address(), 8) == 7
    q.mov("rax", 9)
    assert q.get() == 9


def test_borrow_error_wins_over_conversion_error(q):
    class Reader:
        def read(self):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                q.mov("rax", "not an int")
            with pytest.raises(TypeError, match="missing 1 required"):
                q.mov("rax")
            return b""

    q.asm("", Reader())


def test_foreign_thread_gets_the_panic_exception(q):
    outcome = {}

    def worker():
        try:
            try:
                q.get()
            except Exception:  # must not catch it
                outcome["caught_by_exception"] = True
        except BaseException as error:  # noqa: BLE001
            outcome["error"] = error

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    error = outcome["error"]
    assert "caught_by_exception" not in outcome
    assert type(error).__name__ == "PanicException"
    assert type(error).__module__ == "pyo3_runtime"
    assert not isinstance(error, Exception)
    assert str(error) == "quorvel::Quorvel is unsendable, but sent to another thread"
    assert q.get() == 0  # still usable on its own thread


def named(qualname):
    """An instance of a class whose __qualname__ is `qualname`."""
    cls = type("Named", (), {})
    cls.__qualname__ = qualname
    return cls()


@pytest.mark.parametrize(
    ("call", "exc", "message"),
    [
        (lambda q: q.mov("r\x00ax", 1), ValueError, "Unknown x86 register: r\x00ax"),
        (lambda q: q.mov("\x00", 1), ValueError, "Unknown register: \x00"),
        (lambda q: (q.asm("f\x00oo"), q.execute()), ValueError, "Line 1: Unknown instruction: f\x00oo"),
        (lambda q: q.write_bytes(0, named("No\x00Sequence")), TypeError,
         "argument 'data': 'No\x00Sequence' object cannot be converted to 'Sequence'"),
        (lambda q: q.get(named("No\x00Text")), TypeError,
         "argument 'reg': 'No\x00Text' object cannot be converted to 'PyString'"),
    ],
)
def test_messages_keep_text_after_an_embedded_nul(q, call, exc, message):
    assert raises(exc, lambda: call(q)) == message


class IteratesOtherItems(bytes):
    def __iter__(self):
        return iter([9, 8, 7])


class ByteArrayIteratesOtherItems(bytearray):
    def __iter__(self):
        return iter([6, 5, 4])


class ExportsABuffer:
    """PEP 688: the buffer says 1, 2, 3; the items say 4, 5, 6."""

    def __buffer__(self, flags):
        return memoryview(b"\x01\x02\x03")

    def __len__(self):
        return 3

    def __getitem__(self, index):
        return (4, 5, 6)[index]


@pytest.mark.parametrize(
    ("data", "written"),
    [
        (IteratesOtherItems(b"abc"), [9, 8, 7]),
        (ByteArrayIteratesOtherItems(b"abc"), [6, 5, 4]),
        (ExportsABuffer(), [4, 5, 6]),
        (memoryview(b"\x01\x02\x03\x04\x05\x06")[::2], [1, 3, 5]),
        (memoryview(bytearray(b"\x0a\x0b\x0c")), [10, 11, 12]),
    ],
    ids=["bytes subclass", "bytearray subclass", "__buffer__", "strided memoryview", "memoryview"],
)
@pytest.mark.parametrize("method", ["write_bytes", "load_bytes_to_memory"])
def test_byte_sequences_are_written_as_their_items(q, method, data, written):
    if method == "write_bytes":
        q.write_bytes(0, data)
    else:
        q.load_bytes_to_memory(data, 0)
    assert q.read_bytes(0, 4) == written + [0]


def test_signed_byte_view_is_converted_per_item(q):
    message = raises(OverflowError, lambda: q.write_bytes(0, memoryview(b"\x01\xff").cast("b")))
    assert message == "out of range integral type conversion attempted"
    assert q.read_bytes(0, 2) == [0, 0]


def engine_memory_is_mapped(address):
    with open("/proc/self/maps") as maps:
        for line in maps:
            start, end = (int(part, 16) for part in line.split()[0].split("-"))
            if start <= address and address + 10485760 <= end:
                return True
    return False


def test_thread_identity_is_never_reused():
    """Threads that run one after the other often get the same pthread_t; the
    owner check must tell them apart every time, and a drop on the second
    thread must report itself and leave the engine, its memory included, alone."""
    seen = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda info: seen.append(info.exc_value)
    # A collection on one of the threads below would drop the engines of
    # earlier tests there, each with its own report.
    gc.collect()
    gc.disable()
    try:
        for attempt in range(20):
            holder = []

            def create():
                engine = quorvel.Quorvel()
                holder.append((engine, engine.get_memory_ptr()))

            creator = threading.Thread(target=create)
            creator.start()
            creator.join()
            address = holder[0][1]
            outcome = []

            def use_then_drop():
                for _ in range(3):
                    try:
                        holder[0][0].get_arch()
                        outcome.append("used")
                    except BaseException as error:  # noqa: BLE001
                        outcome.append(type(error).__name__)
                holder.clear()

            user = threading.Thread(target=use_then_drop)
            user.start()
            user.join()
            assert outcome == ["PanicException"] * 3, attempt
            assert [str(error) for error in seen[attempt:]] == [
                "quorvel::Quorvel is unsendable, but is being dropped on another thread"], attempt
            assert type(seen[attempt]) is RuntimeError
            assert engine_memory_is_mapped(address), attempt
    finally:
        gc.enable()
        sys.unraisablehook = old_hook
