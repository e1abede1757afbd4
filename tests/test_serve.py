"""The playground's API over HTTP, against a running ``quorvel serve``."""

import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path

import pytest

import quorvel_lab
from quorvel_lab.cli import to_json

pytest.importorskip("aiohttp", reason="the playground needs the serve extra (aiohttp)")

TIME_LIMIT = 2
FACTORIAL = Path(__file__).resolve().parent.parent.joinpath("examples", "factorial.s").read_text()
ENDLESS = "spin:\n  jmp spin"


class Server:
    def __init__(self, process, url):
        self.process = process
        self.url = url
        self.base, self.token = re.fullmatch(r"(http://127\.0\.0\.1:\d+)/\?token=(\S+)", url).groups()

    def workers(self):
        pid = self.process.pid
        return [int(child) for child in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]

    def post(self, command, body, token="header", raw=False):
        data = body if raw else json.dumps(body).encode()
        url = f"{self.base}/api/{command}"
        headers = {"Content-Type": "application/json"}
        if token == "header":
            headers["Authorization"] = f"Bearer {self.token}"
        elif token == "query":
            url += f"?token={self.token}"
        elif token is not None:
            headers["Authorization"] = f"Bearer {token}"
        request = urllib.request.Request(url, data=data, headers=headers, method="POST")
        try:
            with urllib.request.urlopen(request, timeout=60) as response:
                return response.status, json.loads(response.read())
        except urllib.error.HTTPError as error:
            return error.code, json.loads(error.read())


def start_server(*options):
    process = subprocess.Popen(
        [sys.executable, "-m", "quorvel_lab", "serve", "--no-browser", *options],
        stdout=subprocess.PIPE, text=True,
    )
    url = process.stdout.readline().strip()
    warning = process.stdout.readline()
    assert "anyone who has this URL can run native code" in warning
    return Server(process, url)


def stop_server(server):
    server.process.send_signal(signal.SIGTERM)
    assert server.process.wait(timeout=30) == 0


@pytest.fixture(scope="module")
def server():
    server = start_server("--time-limit", str(TIME_LIMIT), "--workers", "2")
    yield server
    stop_server(server)


def without_frame_pointer(answer):
    """The answer without rbp, an address on the code stack that differs from process to process."""
    if isinstance(answer, dict):
        for registers in [step["registers"] for step in answer.get("steps", [])] + [answer.get("registers"),
                                                                                      answer.get("start")]:
            if registers:
                del registers["rbp"]
    return answer


@pytest.mark.parametrize(
    ("command", "expected"),
    [
        ("check", lambda: to_json(quorvel_lab.check(FACTORIAL + "\nfoo"))),
        ("listing", lambda: to_json(quorvel_lab.listing(FACTORIAL, {"rcx": 5}))),
        ("trace", lambda: to_json(quorvel_lab.trace(FACTORIAL, {"rcx": 5}, 7))),
        ("run", lambda: to_json(quorvel_lab.run(FACTORIAL, {"rcx": 5}))),
    ],
)
def test_the_api_answers_as_the_command_line(server, command, expected):
    source = FACTORIAL + "\nfoo" if command == "check" else FACTORIAL
    status, answer = server.post(command, {"source": source, "registers": {"rcx": 5}, "max_steps": 7})
    assert (status, without_frame_pointer(answer)) == (200, without_frame_pointer(expected()))


@pytest.mark.parametrize(
    ("source", "registers", "expected"),
    [
        (FACTORIAL, {"rcx": 10}, {"rax": 3628800, "stopped": "completed"}),
        ("mov rax, 7\nxor rdx, rdx\ndiv rdx", {}, {"rax": None, "statement": 3, "note": "in statement 3: div rdx",
                                                  "stopped": "Execution fault: SIGFPE (integer divide by zero) "
                                                             "at code offset 0x9c"}),
        ("add rax, rbx", {"rax": 1, "rbx": -1}, {"rax": 0, "stopped": "completed"}),
        ("mov rcx, 3\npush rcx\ndec rcx\npush rcx", {}, {"stack": [2, 3], "stack_depth": 2,
                                                          "flags": {"CF": False, "ZF": False, "SF": False, "OF": False}}),
    ],
)
def test_run_answers_the_result_and_how_the_run_stopped(server, source, registers, expected):
    status, answer = server.post("run", {"source": source, "registers": registers})
    assert status == 200
    assert {name: answer[name] for name in expected} == expected


def test_a_program_that_does_not_assemble_is_unprocessable(server):
    for command in ("listing", "trace", "run"):
        assert server.post(command, {"source": "nop\npush r11"}) == (
            422, {"error": "Unsupported register: r11", "notes": ["in statement 2: push r11"]})


@pytest.mark.parametrize("token", [None, "wrong", ""])
def test_the_api_needs_the_token(server, token):
    status, answer = server.post("check", {"source": "nop"}, token=token)
    assert status == 403 and "token" in answer["error"]


def test_the_token_is_taken_from_the_header_the_query_and_for_the_page_a_cookie(server):
    assert server.post("check", {"source": "nop"}, token="query")[0] == 200
    with pytest.raises(urllib.error.HTTPError, match="403"):
        urllib.request.urlopen(server.base + "/", timeout=60)
    with urllib.request.urlopen(server.url, timeout=60) as response:
        cookie = response.headers["Set-Cookie"].split(";")[0]
        assert "<title>quorvel playground</title>" in response.read().decode()
    request = urllib.request.Request(server.base + "/", headers={"Cookie": cookie})
    with urllib.request.urlopen(request, timeout=60) as response:
        assert response.status == 200
    # The cookie opens the page only: a web page elsewhere cannot use it to run code.
    plain = urllib.request.Request(f"{server.base}/api/check", data=b'{"source": "nop"}', headers={"Cookie": cookie})
    with pytest.raises(urllib.error.HTTPError, match="403"):
        urllib.request.urlopen(plain, timeout=60)


def test_a_body_over_one_mebibyte_is_refused(server):
    body = json.dumps({"source": ";" * (1 << 20)}).encode()
    status, answer = server.post("check", body, raw=True)
    assert status == 413 and answer == {"error": "the body is larger than 1048576 bytes"}


@pytest.mark.parametrize(
    ("body", "message"),
    [
        (b"{'source': 'nop'}", "the body is not JSON"),
        (b"\xff\xfe", "the body is not JSON"),
        (b'["nop"]', "the body must be a JSON object"),
        (b"[" * 100000, "the body is not JSON the API takes: it is nested too deeply"),
        (b"{}", '"source" must be a string'),
        (b'{"source": 5}', '"source" must be a string'),
        (b'{"source": "nop", "registers": [["rax", 1]]}', '"registers" must be an object'),
        (b'{"source": "nop", "registers": {"rax": "1"}}', "register 'rax': the value must be an integer"),
        (b'{"source": "nop", "registers": {"rax": true}}', "register 'rax': the value must be an integer"),
        (b'{"source": "nop", "registers": {"rax": 18446744073709551616}}', "register 'rax': registers hold 64 bits"),
        (b'{"source": "nop", "registers": {"eax": 1}}', "register 'eax': Unknown x86 register: eax"),
        (b'{"source": "nop", "max_steps": -1}', '"max_steps" must be a whole number from 0 to 200000'),
        (b'{"source": "nop", "max_steps": 1.5}', '"max_steps" must be a whole number'),
        (b'{"source": "nop", "max_steps": 200001}', '"max_steps" must be a whole number'),
        (b'{"source": "nop", "max_step": 5}', "unknown field 'max_step'"),
    ],
)
def test_a_malformed_body_is_a_bad_request_with_a_json_error(server, body, message):
    status, answer = server.post("trace", body, raw=True)
    assert status == 400 and answer["error"].startswith(message)


@pytest.mark.parametrize("command", ["run", "trace", "view"])
def test_an_endless_loop_answers_on_time_and_the_server_goes_on(server, command):
    started = time.monotonic()
    status, answer = server.post(command, {"source": ENDLESS, "max_steps": 200000 if command != "run" else 0})
    elapsed = time.monotonic() - started
    stopped = answer["trace"]["stopped"] if command == "view" else answer["stopped"]
    assert (status, stopped) == (200, f"time limit ({TIME_LIMIT} s) reached")
    if command == "run":  # where the program was when the time ran out
        assert answer["statement"] in (1, 2) and answer["registers"]["rax"] == 0
    else:  # the steps it ran until then
        assert len(answer["trace"]["statement"] if command == "view" else answer["steps"]) > 0
    assert TIME_LIMIT <= elapsed < TIME_LIMIT + 5
    assert server.post("run", {"source": "mov rax, 3"})[1]["rax"] == 3


def post_in_threads(server, bodies):
    answers = [None] * len(bodies)

    def post(index):
        answers[index] = server.post(*bodies[index])

    threads = [threading.Thread(target=post, args=(index,)) for index in range(len(bodies))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    return answers


def test_requests_run_in_parallel_up_to_the_worker_count(server):
    started = time.monotonic()
    answers = post_in_threads(server, [("run", {"source": ENDLESS})] * 2)
    elapsed = time.monotonic() - started
    assert [answer[1]["stopped"] for answer in answers] == [f"time limit ({TIME_LIMIT} s) reached"] * 2
    # One after the other they would take two time limits.
    assert elapsed < 2 * TIME_LIMIT - 0.3


def wait_for(condition, what, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"gave up waiting for {what}")
        time.sleep(0.05)


def cpu_ticks(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime and stime


def state(pid):
    """The process's state letter (R running, S sleeping, Z dead and not yet reaped, X gone)."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return "X"


@pytest.fixture
def patient_server():
    """A server whose time limit leaves ample time to find the worker running a loop."""
    server = start_server("--time-limit", "120", "--workers", "2")
    yield server
    stop_server(server)


def test_a_worker_killed_with_sigkill_is_replaced(patient_server):
    server = patient_server
    wait_for(lambda: len(server.workers()) == 2, "two workers")
    answers = []
    thread = threading.Thread(target=lambda: answers.append(server.post("run", {"source": ENDLESS})))
    thread.start()
    # The worker running the loop is the one that keeps using the processor (0.3 s of it, here).
    before = {pid: cpu_ticks(pid) for pid in server.workers()}
    wait_for(lambda: any(cpu_ticks(pid) - ticks > 30 for pid, ticks in before.items()), "a worker running the loop")
    busy = next(pid for pid, ticks in before.items() if cpu_ticks(pid) - ticks > 30)
    os.kill(busy, signal.SIGKILL)
    thread.join(timeout=60)
    status, answer = answers[0]
    assert status == 500, answer
    # The signal is named when the interpreter's child watcher saw it: Python 3.10's
    # may find the worker already reaped and know no status.
    assert re.fullmatch(r"the worker process running the program ended( \(signal 9\))?; a new one takes its place",
                        answer["error"]), answer

    idle = server.workers()[0]
    os.kill(idle, signal.SIGKILL)
    wait_for(lambda: state(idle) in ("Z", "X"), "the idle worker's end")
    # Both kinds of death are behind the pool: every request is answered.
    answers = post_in_threads(server, [("run", {"source": f"mov rax, {n}"}) for n in range(4)])
    assert [(status, answer["rax"]) for status, answer in answers] == [(200, n) for n in range(4)]
    wait_for(lambda: len(server.workers()) == 2 and busy not in server.workers() and idle not in server.workers(),
             "two fresh workers")


def test_without_the_serve_extra_the_command_says_what_to_install():
    blocked = "import sys; sys.modules['aiohttp'] = None; from quorvel_lab.cli import main; sys.exit(main(['serve']))"
    done = subprocess.run([sys.executable, "-c", blocked], capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == "quorvel: error: quorvel serve needs the serve extra: pip install 'quorvel[serve]'\n"
