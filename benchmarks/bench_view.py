"""What the trace view costs: its size, how soon a long trace shows, how fast the playground answers.

    python benchmarks/bench_view.py

Needs Debian's chromium and Playwright (the test extra) for the first-paint
figures, and aiohttp (the serve extra) for the API's; a part whose tools are
missing says so and is left out.
"""

from __future__ import annotations

import gzip
import json
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

import quorvel_lab
from quorvel_lab import view

ROOT = Path(__file__).resolve().parent.parent
ASSETS = ("view.js", "view.css", "playground.js", "playground.css", "playground.html")
EXAMPLES = {
    "factorial.s": {"rcx": 10},
    "gcd.s": {"rax": 1071, "rbx": 462},
    "fibonacci.s": {"rcx": 50},
    "popcount.s": {"rbx": 0xF0F0},
}
LONG_STEPS = 100_000
ROUNDS = 5


def row(label: str, value: float, unit: str) -> None:
    print(f"{label:<58} {value:>12,.1f} {unit}")


def sizes() -> None:
    print("== size")
    total = 0
    for name in ASSETS:
        size = len(view.asset(name).encode())
        total += size
        row(f"shipped {name}", size, "bytes")
    row("shipped assets together", total, "bytes")
    typical = view.page(view.trace_document((ROOT / "examples" / "factorial.s").read_text(), {"rcx": 10}))
    row("generated file, factorial.s with rcx=10 (31 steps)", len(typical.encode()), "bytes")
    row("  the same, gzipped (as mailed in an archive)", len(gzip.compress(typical.encode())), "bytes")


def long_page(directory: Path) -> Path:
    source = "spin:\n    add rax, 3\n    push rax\n    pop rbx\n    jmp spin\n"
    started = time.perf_counter()
    trace = quorvel_lab.trace(source, max_steps=LONG_STEPS)
    traced = time.perf_counter()
    page = view.page(view.trace_document(source, trace=trace))
    built = time.perf_counter()
    path = directory / "long.html"
    path.write_text(page, encoding="utf-8")
    print(f"== a {LONG_STEPS:,}-step trace")
    row("trace()", (traced - started) * 1e3, "ms")
    row("document and page built from it", (built - traced) * 1e3, "ms")
    row("page size", len(page.encode()), "bytes")
    row("page size per step", len(page.encode()) / LONG_STEPS, "bytes")
    return path


# Records when the view is in the document and the frame after it has been painted.
_MOUNT_PROBE = """
new MutationObserver((changes, observer) => {
  if (document.querySelector(".qv-mounted")) {
    observer.disconnect();
    window.quorvelMounted = performance.now();
    requestAnimationFrame(() => requestAnimationFrame(() => { window.quorvelPainted = performance.now(); }));
  }
}).observe(document, {childList: true, subtree: true, attributes: true});
"""


_STEPPING = """() => {
  const view = document.querySelector(".quorvel-view").quorvelView;
  const started = performance.now();
  for (let i = 0; i < 1000; i++) view.act("forward");
  return (performance.now() - started) / 1000;
}"""
_JUMP = """() => {
  const view = document.querySelector(".quorvel-view").quorvelView;
  view.go(0);
  const started = performance.now();
  view.go(view.model.count);
  return performance.now() - started;
}"""


def first_paint(path: Path) -> None:
    executable = shutil.which("chromium") or shutil.which("chromium-browser")
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        print("(no Playwright: pip install playwright for the browser figures)")
        return
    if executable is None:
        print("(no chromium: apt-get install chromium for the browser figures)")
        return
    figures: dict[str, list[float]] = {"first paint": [], "view mounted": [], "view painted": [], "step": [],
                                       "jump": []}
    with sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=executable, args=["--no-sandbox"])
        for _ in range(ROUNDS):
            page = browser.new_page(viewport={"width": 1280, "height": 800})
            page.add_init_script(_MOUNT_PROBE)
            page.goto(path.as_uri())
            page.wait_for_function("window.quorvelPainted !== undefined", timeout=120_000)
            paints = page.evaluate("Object.fromEntries(performance.getEntriesByType('paint')"
                                   ".map(entry => [entry.name, entry.startTime]))")
            figures["first paint"].append(paints.get("first-contentful-paint", float("nan")))
            figures["view mounted"].append(page.evaluate("window.quorvelMounted"))
            figures["view painted"].append(page.evaluate("window.quorvelPainted"))
            figures["step"].append(page.evaluate(_STEPPING))
            figures["jump"].append(page.evaluate(_JUMP))
            page.close()
        browser.close()
    print(f"== opening it in headless Chromium at 1280x800 (median of {ROUNDS})")
    row("first contentful paint", statistics.median(figures["first paint"]), "ms")
    row("the view built (document parsed, DOM made)", statistics.median(figures["view mounted"]), "ms")
    row("the view painted", statistics.median(figures["view painted"]), "ms")
    row("one step forward, panels redrawn (mean of 1000)", statistics.median(figures["step"]), "ms")
    row("a jump from the first step to the last", statistics.median(figures["jump"]), "ms")


def post(base: str, token: str, command: str, body: dict[str, object]) -> float:
    request = urllib.request.Request(f"{base}/api/{command}", data=json.dumps(body).encode(),
                                     headers={"Authorization": f"Bearer {token}"}, method="POST")
    started = time.perf_counter()
    with urllib.request.urlopen(request, timeout=60) as response:
        response.read()
    return time.perf_counter() - started


def api() -> None:
    try:
        import aiohttp  # noqa: F401
    except ImportError:
        print("(no aiohttp: pip install 'quorvel[serve]' for the API figures)")
        return
    server = subprocess.Popen([sys.executable, "-m", "quorvel_lab", "serve", "--no-browser", "--workers", "2"],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert server.stdout is not None
        url = server.stdout.readline().strip()
        base, token = url.split("/?token=")
        print(f"== the playground's API over loopback (median of {ROUNDS * 4})")
        for name, registers in EXAMPLES.items():
            body = {"source": (ROOT / "examples" / name).read_text(), "registers": registers}
            post(base, token, "check", body)  # each worker's first answer warms its caches
            for command in ("check", "trace", "view"):
                seconds = [post(base, token, command, body) for _ in range(ROUNDS * 4)]
                row(f"{command} {name}", statistics.median(seconds) * 1e3, "ms")
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=30)


def main() -> None:
    sizes()
    with tempfile.TemporaryDirectory() as directory:
        path = long_page(Path(directory))
        first_paint(path)
    api()


if __name__ == "__main__":
    main()
