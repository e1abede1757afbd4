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
