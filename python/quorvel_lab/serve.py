"""The playground: ``quorvel serve`` serves an editor page and a JSON API on this machine.

    POST /api/check    {"source": str}                                   -> as ``quorvel check --json``
    POST /api/listing  {"source": str, "registers": {name: int}}         -> as ``quorvel listing --json``
    POST /api/trace    {"source": ..., "registers": ..., "max_steps": N} -> as ``quorvel trace --json``
    POST /api/run      {"source": ..., "registers": ...}                 -> the run's result
    POST /api/view     the same body as /api/trace                       -> the trace view's document

Every request needs the token the server printed (``Authorization: Bearer
TOKEN`` or ``?token=TOKEN``), since whoever holds it runs native code as the
user who started the server. Programs run in worker processes, one request
at a time each, stopped by a time limit; a worker that dies is replaced. The
HTTP side needs the ``serve`` extra (aiohttp); the workers need only the lab.
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import functools
import getpass
import hmac
import html
import json
import operator
import os
import secrets
import signal
import socket
import struct
import sys
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._native import Stepper
    from .records import Step, Trace

__all__ = [
    "BODY_LIMIT",
    "MAX_STEPS",
    "COMMANDS",
    "BadRequest",
    "Job",
    "parse_job",
    "answer",
    "time_limit_answer",
    "WorkerPool",
    "playground_page",
    "make_app",
    "main",
]

BODY_LIMIT = 1 << 20
"""The largest request body, in bytes."""

MAX_STEPS = 200_000
"""The most steps a request may ask for: what one page of the view holds."""

COMMANDS = ("check", "listing", "trace", "run", "view")

# A worker whose own alarm did not stop it is killed this long after its time limit.
_KILL_GRACE = 10.0

_U64_LIMIT = 1 << 64


class BadRequest(ValueError):
    """A request body that is not what the API takes; its message says what is expected."""


@dataclass(frozen=True)
class Job:
    command: str
    source: str
    registers: dict[str, int]
    max_steps: int


@functools.cache
def _register_probe() -> Any:
    """An engine whose mov() says whether a register name is one the module takes."""
    import quorvel

    return quorvel.Quorvel()


def _check_registers(value: Any) -> dict[str, int]:
    if not isinstance(value, dict):
        raise BadRequest('"registers" must be an object mapping register names to integers')
    registers = {}
    probe = _register_probe()
    for name, number in value.items():
        if isinstance(number, bool) or not isinstance(number, int):
            raise BadRequest(f'register {name!r}: the value must be an integer')
        if not -(_U64_LIMIT >> 1) <= number < _U64_LIMIT:
            raise BadRequest(f"register {name!r}: registers hold 64 bits")
        try:
            probe.mov(name, number % _U64_LIMIT)
        except ValueError as error:
            raise BadRequest(f"register {name!r}: {error}") from None
        registers[name] = number % _U64_LIMIT
    return registers


def parse_job(command: str, body: bytes) -> Job:
    """Read a request body; anything but the fields and types the API takes is a BadRequest."""
    try:
        value = json.loads(body)
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise BadRequest(f"the body is not JSON: {error}") from None
    except RecursionError:
        raise BadRequest("the body is not JSON the API takes: it is nested too deeply") from None
    if not isinstance(value, dict):
        raise BadRequest("the body must be a JSON object")
    unknown = sorted(set(value) - {"source", "registers", "max_steps"})
    if unknown:
        raise BadRequest(f"unknown field {unknown[0]!r}: the fields are source, registers and max_steps")
    source = value.get("source")
    if not isinstance(source, str):
        raise BadRequest('"source" must be a string: the program\'s text')
    max_steps = value.get("max_steps", 100000)
    if isinstance(max_steps, bool) or not isinstance(max_steps, int) or not 0 <= max_steps <= MAX_STEPS:
        raise BadRequest(f'"max_steps" must be a whole number from 0 to {MAX_STEPS}')
    return Job(command, source, _check_registers(value.get("registers", {})), max_steps)


# ---------------------------------------------------------------- worker side

def _limit_text(seconds: float) -> str:
    return f"time limit ({seconds:g} s) reached"


@dataclass
class _Progress:
    """How far a job got: what a request that runs out of time still answers."""

    steps: list[Step] = dataclasses.field(default_factory=list)
    stepper: Stepper | None = None
    start: dict[str, int] | None = None


def time_limit_answer(job: Job, seconds: float, progress: _Progress | None = None) -> tuple[int, Any]:
    """What a request answers when its program ran out of time, with what it did until then."""
    from . import view
    from .records import Trace

    progress = progress or _Progress()
    stopped = _limit_text(seconds)
    trace = Trace(progress.steps, None, stopped)
    if job.command == "trace":
        return 200, _trace_json(trace)
    if job.command == "run":
        return 200, _paused_run(progress, stopped)
    if job.command == "view":
        return 200, view.trace_document(job.source, job.registers, trace=trace)
    return 503, {"error": stopped}


def _paused_run(progress: _Progress, stopped: str) -> dict[str, Any]:
    """The run's record where the time ran out: the statement it was about to run, and its state."""
    import quorvel_lab

    from .cli import to_json
    from .records import Run

    if progress.stepper is None:
        return dict.fromkeys(field.name for field in dataclasses.fields(Run)) | {"stopped": stopped}
    record = quorvel_lab.run_record(progress.stepper, progress.start)
    return dict(to_json(dataclasses.replace(record, stopped=stopped, statement=progress.stepper.statement)))


def _run(job: Job, progress: _Progress) -> Any:
    """``quorvel run --json``: ``run()``, with its stepper kept in `progress` for a run out of time."""
    import quorvel_lab

    from .cli import to_json

    progress.stepper = quorvel_lab.Stepper(job.source, job.registers)
    progress.start = progress.stepper.registers
    progress.stepper.run()
    return to_json(quorvel_lab.run_record(progress.stepper, progress.start))


def _trace_json(trace: Trace) -> dict[str, Any]:
    """``to_json(trace)``, four times as fast: a step's fields are JSON values already."""
    from .cli import to_json
    from .records import Step

    names = Step.__match_args__
    fields = operator.attrgetter(*names)
    value: dict[str, Any] = to_json(dataclasses.replace(trace, steps=[]))
    value["steps"] = [dict(zip(names, fields(step))) for step in trace.steps]
    return value


def _traced(job: Job, progress: _Progress) -> Trace:
    """Trace as ``trace()`` does, keeping each step in `progress` as it happens."""
    import quorvel_lab

    from .records import Trace

    stream = quorvel_lab.steps(job.source, job.registers, job.max_steps)
    progress.steps.extend(stream)
    assert stream.stopped is not None, "an exhausted stream says how it stopped"
    return Trace(progress.steps, stream.rax, stream.stopped, stream.statement, stream.note)


def _compute(job: Job, progress: _Progress) -> Any:
    import quorvel_lab

    from . import view
    from .cli import to_json

    if job.command == "check":
        return to_json(quorvel_lab.check(job.source))
    if job.command == "listing":
        return to_json(quorvel_lab.listing(job.source, job.registers))
    if job.command == "trace":
        return _trace_json(_traced(job, progress))
    if job.command == "run":
        return _run(job, progress)
    try:
        trace = _traced(job, progress)
    except ValueError:
        # The document of a program that does not assemble: its error and every diagnostic.
        return view.trace_document(job.source, job.registers)
    return view.trace_document(job.source, job.registers, trace=trace)


class _TimeLimit(Exception):
    pass


def _on_alarm(signum: int, frame: object) -> None:
    # Raised from the handler, it interrupts generated code as Ctrl-C does.
    raise _TimeLimit


def answer(job: Job, seconds: float) -> tuple[int, Any]:
    """Do `job` within `seconds`: an HTTP status and a JSON body, never an exception."""
    progress = _Progress()
    try:
        signal.setitimer(signal.ITIMER_REAL, seconds)
        try:
            return 200, _compute(job, progress)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
    except _TimeLimit:
        return time_limit_answer(job, seconds, progress)
    except ValueError as error:
        return 422, {"error": str(error), "notes": list(getattr(error, "__notes__", ()))}
    except MemoryError:
        return 500, {"error": "the program's result did not fit in memory"}
    except Exception as error:
        return 500, {"error": f"internal error: {type(error).__name__}: {error}"}


_FRAME = struct.Struct(">I")
# An answer: the body's length, the HTTP status, then the body's JSON.
_REPLY = struct.Struct(">IH")


def _encode(value: Any) -> bytes:
    return json.dumps(value, separators=(",", ":")).encode()


def _read_frame(stream: Any) -> bytes | None:
    head = stream.read(_FRAME.size)
    if len(head) < _FRAME.size:
        return None
    (size,) = _FRAME.unpack(head)
    return bytes(stream.read(size))


def worker_main() -> None:
    """A worker: read jobs from stdin, write answers to stdout, until stdin ends."""
    # Stray output of the lab must not corrupt the answers: fd 1 becomes stderr.
    answers = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)
    signal.signal(signal.SIGALRM, _on_alarm)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # Imported before the first job, whose time limit they would otherwise eat into; then ready.
    from . import cli, view  # noqa: F401

    answers.write(_FRAME.pack(0))
    answers.flush()
    requests = sys.stdin.buffer
    while (frame := _read_frame(requests)) is not None:
        message = json.loads(frame)
        job = Job(message["command"], message["source"], message["registers"], message["max_steps"])
        status, body = answer(job, message["seconds"])
        data = _encode(body)
        answers.write(_REPLY.pack(len(data), status) + data)
        answers.flush()


# ---------------------------------------------------------------- the pool

class _WorkerDied(Exception):
    def __init__(self, started: bool) -> None:
        super().__init__()
        # False: it was dead before it read the job, which another worker can do instead.
        self.started = started


class _Worker:
    def __init__(self, process: asyncio.subprocess.Process) -> None:
        self.process = process

    @classmethod
    async def start(cls) -> _Worker:
        process = await asyncio.create_subprocess_exec(
            sys.executable, "-m", "quorvel_lab.serve", "--worker",
            stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
            # Ctrl-C in the server's terminal is for the server; it stops the workers itself.
            start_new_session=True,
        )
        assert process.stdout is not None
        try:
            await process.stdout.readexactly(_FRAME.size)
        except asyncio.IncompleteReadError:
            await process.wait()
            raise OSError(f"a worker process ended as it started (exit status {process.returncode})") from None
        return cls(process)

    async def ask(self, job: Job, seconds: float) -> tuple[int, bytes]:
        assert self.process.stdin is not None and self.process.stdout is not None
        message = {"command": job.command, "source": job.source, "registers": job.registers,
                   "max_steps": job.max_steps, "seconds": seconds}
        data = json.dumps(message).encode()
        try:
            self.process.stdin.write(_FRAME.pack(len(data)) + data)
            await self.process.stdin.drain()
        except ConnectionError as error:
            raise _WorkerDied(started=False) from error
        try:
            size, status = _REPLY.unpack(await self.process.stdout.readexactly(_REPLY.size))
            body = await self.process.stdout.readexactly(size)
        except (asyncio.IncompleteReadError, ConnectionError) as error:
            raise _WorkerDied(started=True) from error
        return status, body

    def kill(self) -> None:
        if self.process.returncode is None:
            with contextlib.suppress(ProcessLookupError):
                self.process.kill()

    async def stop(self) -> None:
        if self.process.stdin is not None:
            self.process.stdin.close()
        try:
            await asyncio.wait_for(self.process.wait(), 2)
        except asyncio.TimeoutError:
            self.kill()
            await self.process.wait()


class WorkerPool:
    """Worker processes, each doing one job at a time; one that dies or hangs is replaced."""

    def __init__(self, size: int, seconds: float) -> None:
        self.size = size
        self.seconds = seconds
        self._idle: asyncio.Queue[_Worker] = asyncio.Queue()
        self._all: set[_Worker] = set()
        self._replacing: set[asyncio.Task[None]] = set()
        self._closing = False

    async def start(self) -> None:
        started = await asyncio.gather(*(_Worker.start() for _ in range(self.size)), return_exceptions=True)
        for worker in started:
            if isinstance(worker, _Worker):
                self._all.add(worker)
                self._idle.put_nowait(worker)
        failure = next((error for error in started if isinstance(error, BaseException)), None)
        if failure is not None:
            await self.close()
            raise failure

    def pids(self) -> list[int]:
        return [worker.process.pid for worker in self._all]

    async def _replace(self, worker: _Worker) -> None:
        worker.kill()
        await worker.process.wait()
        self._all.discard(worker)
        while True:
            try:
                fresh = await _Worker.start()
                break
            except OSError as error:
                print(f"quorvel serve: cannot start a worker ({error}); trying again", file=sys.stderr)
                await asyncio.sleep(1)
        self._all.add(fresh)
        self._idle.put_nowait(fresh)

    def _replace_later(self, worker: _Worker) -> None:
        if self._closing:
            worker.kill()
            return
        task = asyncio.get_running_loop().create_task(self._replace(worker))
        self._replacing.add(task)
        task.add_done_callback(self._replacing.discard)

    async def answer(self, job: Job) -> tuple[int, bytes]:
        """The HTTP status and the JSON body that answer `job`."""
        while True:
            worker = await self._idle.get()
            try:
                result = await asyncio.wait_for(worker.ask(job, self.seconds), self.seconds + _KILL_GRACE)
            except asyncio.TimeoutError:
                self._replace_later(worker)
                status, value = time_limit_answer(job, self.seconds)
                return status, _encode(value)
            except _WorkerDied as died:
                self._replace_later(worker)
                if not died.started:
                    continue
                await worker.process.wait()
                signal_number = -(worker.process.returncode or 0)
                how = f" (signal {signal_number})" if signal_number > 0 else ""
                return 500, _encode({"error": f"the worker process running the program ended{how}; "
                                              "a new one takes its place"})
            except BaseException:
                self._replace_later(worker)
                raise
            self._idle.put_nowait(worker)
            return result

    async def close(self) -> None:
        """Stop every worker; a request still running gets an error answer at once."""
        self._closing = True
        for task in list(self._replacing):
            task.cancel()
        await asyncio.gather(*(worker.stop() for worker in self._all), return_exceptions=True)
        self._all.clear()


# ---------------------------------------------------------------- HTTP

def playground_page(token: str) -> str:
    """The editor page, everything it needs inlined."""
    from .view import asset

    return (
        "<!DOCTYPE html>\n"
        '<html lang="en"><head><meta charset="utf-8">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        '<meta name="color-scheme" content="light dark">'
        f'<meta name="quorvel-token" content="{html.escape(token)}">'
        '<link rel="icon" href="data:,">'
        "<title>quorvel playground</title>"
        f"<style>{asset('view.css')}{asset('playground.css')}</style>"
        f"</head><body>{asset('playground.html')}"
        f"<script>{asset('view.js')}</script><script>{asset('playground.js')}</script>"
        "</body></html>\n"
    )


# Only this origin: the page, its API and nothing else.
_PAGE_POLICY = ("default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                "img-src data:; connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'")


def make_app(pool: WorkerPool, token: str, cookie_name: str) -> Any:
    """The aiohttp application: the page at / and the API under /api/."""
    from aiohttp import web

    def error(status: int, message: str) -> web.Response:
        return web.json_response({"error": message}, status=status)

    def authorized(request: web.Request, *, cookie: bool) -> bool:
        offered = [request.query.get("token", "")]
        scheme, _, credentials = request.headers.get("Authorization", "").partition(" ")
        if scheme.lower() == "bearer":
            offered.append(credentials.strip())
        if cookie:
            offered.append(request.cookies.get(cookie_name, ""))
        return any(hmac.compare_digest(candidate.encode(), token.encode()) for candidate in offered if candidate)

    @web.middleware
    async def guard(request: web.Request, handler: Callable[[web.Request], Any]) -> web.StreamResponse:
        try:
            response: web.StreamResponse = await handler(request)
        except web.HTTPException as http_error:
            response = error(http_error.status, http_error.reason)
        except Exception as failure:  # the client sees one line, never a traceback
            print(f"quorvel serve: internal error: {type(failure).__name__}: {failure}", file=sys.stderr)
            response = error(500, "internal error")
        response.headers["Content-Security-Policy"] = _PAGE_POLICY
        response.headers["X-Content-Type-Options"] = "nosniff"
        response.headers["Referrer-Policy"] = "no-referrer"
        response.headers["Cache-Control"] = "no-store"
        return response

    async def page(request: web.Request) -> web.StreamResponse:
        if not authorized(request, cookie=True):
            return web.Response(status=403, text="403: this page needs the URL with the token that "
                                                 "quorvel serve printed when it started\n")
        response = web.Response(text=playground_page(token), content_type="text/html")
        # Lets the page be reloaded, and share links followed, without the token in the address.
        response.set_cookie(cookie_name, token, httponly=True, samesite="Strict", path="/")
        return response

    async def api(request: web.Request) -> web.StreamResponse:
        if not authorized(request, cookie=False):
            return error(403, "a missing or wrong token: send the token quorvel serve printed, "
                              "as 'Authorization: Bearer TOKEN' or ?token=TOKEN")
        command = request.match_info["command"]
        if command not in COMMANDS:
            return error(404, f"no such command: {command}; the API has {', '.join(COMMANDS)}")
        if (request.content_length or 0) > BODY_LIMIT:
            return error(413, f"the body is larger than {BODY_LIMIT} bytes")
        try:
            body = await request.read()
        except web.HTTPRequestEntityTooLarge:
            return error(413, f"the body is larger than {BODY_LIMIT} bytes")
        try:
            job = parse_job(command, body)
        except BadRequest as bad:
            return error(400, str(bad))
        status, result = await pool.answer(job)
        return web.Response(status=status, body=result, content_type="application/json")

    app = web.Application(client_max_size=BODY_LIMIT, middlewares=[guard])
    app.router.add_get("/", page)
    app.router.add_post("/api/{command}", api)
    return app


def _user() -> str:
    try:
        return getpass.getuser()
    except (OSError, KeyError):  # no name for this user id (a container, say)
        return f"user {os.getuid()}"


def _url(host: str, port: int, token: str) -> str:
    shown = f"[{host}]" if ":" in host else host
    return f"http://{shown}:{port}/?token={token}"


async def _serve(host: str, port: int, open_browser: bool, seconds: float, workers: int) -> None:
    from aiohttp import web

    try:
        listener = socket.create_server((host, port), family=socket.AF_INET6 if ":" in host else socket.AF_INET)
    except OSError as error:
        raise ValueError(f"cannot listen on {host} port {port}: {error.strerror or error}") from None
    port = listener.getsockname()[1]
    token = secrets.token_urlsafe(24)
    pool = WorkerPool(workers, seconds)
    runner = web.AppRunner(make_app(pool, token, f"quorvel-token-{port}"), access_log=None, handle_signals=False)
    try:
        try:
            await pool.start()
        except OSError as error:
            raise ValueError(f"cannot start the worker processes: {error}") from None
        await runner.setup()
        await web.SockSite(runner, listener).start()
        url = _url(host, port, token)
        print(url, flush=True)
        print(f"quorvel serve: anyone who has this URL can run native code on this machine as {_user()}. "
              f"Programs run in {workers} worker processes, {seconds:g} s at most each. Ctrl-C stops the server.",
              flush=True)
        if open_browser:
            import webbrowser

            await asyncio.get_running_loop().run_in_executor(None, webbrowser.open, url)
        stop = asyncio.Event()
        asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
        await stop.wait()
    finally:
        # The workers first: requests still running then end at once, and so does the server.
        await pool.close()
        await runner.cleanup()
        listener.close()


def main(host: str = "127.0.0.1", port: int = 0, open_browser: bool = True, seconds: float = 5.0,
         workers: int | None = None) -> int:
    """Serve the playground until SIGTERM (status 0) or Ctrl-C (KeyboardInterrupt)."""
    try:
        import aiohttp  # noqa: F401
    except ImportError:
        raise ValueError("quorvel serve needs the serve extra: pip install 'quorvel[serve]'") from None
    if not 0 <= port <= 65535:
        raise ValueError(f"invalid port {port}: ports are 0 (any free one) to 65535")
    asyncio.run(_serve(host, port, open_browser, seconds, workers or min(4, os.cpu_count() or 1)))
    return 0


if __name__ == "__main__" and sys.argv[1:] == ["--worker"]:
    worker_main()
