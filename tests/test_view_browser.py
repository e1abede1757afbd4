"""The trace view in headless Chromium: as a file, in an executed notebook and in the playground."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel
import quorvel_lab
from quorvel_lab import view

ROOT = Path(__file__).resolve().parent.parent
SCREENSHOTS = ROOT / "build" / "screenshots"
GCD = (ROOT / "examples" / "gcd.s").read_text()
FACTORIAL = "mov rax, 1\nnext:\n  mul rcx\n  dec rcx\n  jne next\n"
# Generous: the machine running the suite may be busy with a build.
TIMEOUT_MS = 60_000


def chromium_path():
    for candidate in ("chromium", "chromium-browser"):
        found = shutil.which(candidate)
        if found:
            return found
    return None


@pytest.fixture(scope="session")
def browser():
    sync_api = pytest.importorskip("playwright.sync_api", reason="Playwright is not installed (pip install playwright)")
    executable = chromium_path()
    if executable is None:
        pytest.skip("no Chromium to drive: Debian's chromium package is not installed (apt-get install chromium)")
    # A sanitizer runtime preloaded for the module under test has no business in the browser.
    clean = {name: value for name, value in os.environ.items() if name not in ("LD_PRELOAD", "PYTHONMALLOC")}
    saved = dict(os.environ)
    os.environ.clear()
    os.environ.update(clean)
    try:
        playwright = sync_api.sync_playwright().start()
        chromium = playwright.chromium.launch(executable_path=executable, args=["--no-sandbox"], timeout=TIMEOUT_MS)
    finally:
        os.environ.clear()
        os.environ.update(saved)
    yield chromium
    chromium.close()
    playwright.stop()


class Tab:
    """A page, the requests it made and the script errors it had."""

    def __init__(self, browser, width=1280, height=800, scheme="light"):
        self.context = browser.new_context(viewport={"width": width, "height": height}, color_scheme=scheme)
        self.context.set_default_timeout(TIMEOUT_MS)
        self.page = self.context.new_page()
        self.requests = []
        self.errors = []
        self.page.on("request", lambda request: self.requests.append(request.url))
        self.page.on("pageerror", lambda error: self.errors.append(str(error)))

    def screenshot(self, name):
        SCREENSHOTS.mkdir(parents=True, exist_ok=True)
        self.page.screenshot(path=str(SCREENSHOTS / f"{name}.png"), full_page=True)

    def close(self):
        assert self.errors == []
        self.context.close()


@pytest.fixture
def tab(browser):
    tabs = []

    def open_tab(**options):
        tabs.append(Tab(browser, **options))
        return tabs[-1]

    yield open_tab
    for each in tabs:
        each.close()


class ViewOnPage:
    def __init__(self, root):
        self.root = root

    def register(self, name):
        return self.root.locator(f'[data-register="{name}"] .qv-decimal').inner_text()

    def changed(self):
        return [row.get_attribute("data-register") for row in self.root.locator("tr.qv-changed").all()]

    def position(self):
        return self.root.locator(".qv-position").inner_text()

    def next_line(self):
        return int(self.root.locator("tr.qv-next").get_attribute("data-line"))

    def press(self, key, times=1):
        for _ in range(times):
            self.root.press(key)


def expected_changes(before, after):
    return [name for name in quorvel_lab.REGISTERS if name != "rbp" and before[name] != after[name]]


def test_the_file_steps_both_ways_from_the_keyboard_alone(tab, tmp_path):
    program = tmp_path / "gcd.s"
    program.write_text(GCD)
    out = tmp_path / "gcd.html"
    subprocess.run([sys.executable, "-m", "quorvel_lab", "trace", str(program), "--reg", "rax=1071", "--reg", "rbx=462",
                    "--html", str(out)], check=True, capture_output=True)
    steps = quorvel_lab.trace(GCD, {"rax": 1071, "rbx": 462}).steps
    lines = GCD.splitlines()

    page = tab()
    page.page.goto(out.as_uri())
    shown = ViewOnPage(page.page.locator(".quorvel-view.qv-mounted"))
    shown.root.focus()
    assert shown.position().startswith("before the first step of 29")
    shown.press("ArrowRight", 4)  # cmp, je, xor, div
    assert shown.register("rax") == str(steps[3].registers["rax"]) == "2"
    assert shown.register("rdx") == "147"
    assert shown.changed() == expected_changes(steps[2].registers, steps[3].registers) == ["rax", "rdx"]
    assert shown.next_line() == lines.index("    push rbx") + 1
    shown.press("ArrowLeft")
    assert shown.register("rax") == "1071"
    assert shown.changed() == expected_changes(steps[1].registers, steps[2].registers) == []

    # A breakpoint on "pop rax", set from the keyboard in the source pane.
    pop_rax = next(number for number, text in enumerate(lines, 1) if text.strip().startswith("pop rax"))
    source = shown.root.locator(".qv-source")
    source.focus()
    for _ in range(pop_rax - 1):
        source.press("ArrowDown")
    source.press("b")
    shown.root.focus()
    shown.press("Home")
    shown.press(" ")
    assert shown.next_line() == pop_rax
    first_stop = shown.position()
    shown.press(" ")
    assert shown.next_line() == pop_rax and shown.position() != first_stop
    shown.press("Shift+ ")
    assert shown.position() == first_stop

    shown.root.locator(".qv-slider").fill("29")
    assert shown.position().startswith("after step 29 of 29")
    assert shown.register("rax") == "21"
    assert shown.root.locator(".qv-end p").all_inner_texts() == ["rax = 21", "completed"]
    page.screenshot("file-1280x800-light")
    assert page.requests == [out.as_uri()]


# The WCAG contrast ratio of an element's text against the first opaque background behind it.
CONTRAST = """node => {
  const rgb = (text) => text.match(/[\\d.]+/g).map(Number);
  const luminance = ([r, g, b]) => [r, g, b].map((c) => c / 255)
    .map((c) => (c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4))
    .reduce((sum, c, i) => sum + c * [0.2126, 0.7152, 0.0722][i], 0);
  let behind = node;
  while (behind && rgb(getComputedStyle(behind).backgroundColor)[3] === 0) behind = behind.parentElement;
  const [a, b] = [luminance(rgb(getComputedStyle(node).color)), luminance(rgb(getComputedStyle(behind).backgroundColor))];
  return (Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05);
}"""
TEXTS = [".qv-outcome", ".qv-position", ".qv-num", ".qv-bytes", "tr.qv-next code", "tr.qv-ran code",
         "tr.qv-changed th", "tr.qv-changed .qv-hex", ".qv-flag.qv-set", ".qv-flag:not(.qv-set)",
         ".qv-diagnostic.qv-error td:last-child", ".qv-diagnostic.qv-warning td:last-child", ".qv-stack-note", ".qv-help"]


@pytest.mark.parametrize("scheme", ["light", "dark"])
def test_the_file_fits_a_phone_screen_with_readable_colours(tab, tmp_path, scheme):
    out = tmp_path / "phone.html"
    source = "mov rax, 1\nsub rax, 1\nadd rax, 1 2\nxor rdx, rdx\ndiv rdx"
    diagnostics = [*quorvel_lab.check(source), quorvel_lab.Diagnostic(1, 1, "error", "shown in its colours")]
    doc = view.document(source, trace=quorvel_lab.trace(source), listing_rows=quorvel_lab.listing(source).rows,
                        diagnostics=diagnostics)
    out.write_text(view.page(doc))
    page = tab(width=390, height=844, scheme=scheme)
    page.page.goto(out.as_uri())
    page.page.locator(".quorvel-view.qv-mounted").focus()
    page.page.keyboard.press("ArrowRight")
    page.page.keyboard.press("ArrowRight")
    assert page.page.evaluate("document.documentElement.scrollWidth") <= 390
    background = page.page.locator(".quorvel-view").evaluate("node => getComputedStyle(node).backgroundColor")
    assert background == ("rgb(255, 255, 255)" if scheme == "light" else "rgb(23, 25, 29)")
    ratios = {selector: page.page.locator(selector).first.evaluate(CONTRAST) for selector in TEXTS}
    assert {selector: ratio for selector, ratio in ratios.items() if ratio < 4.5} == {}
    page.page.keyboard.press("End")
    assert page.page.locator("tr.qv-fault").get_attribute("data-line") == "5"
    assert page.page.locator("tr.qv-fault code").evaluate(CONTRAST) >= 4.5
    assert page.page.locator(".qv-end p").all_inner_texts()[1:] == ["in statement 5: div rdx", "at statement 5 (line 5): div rdx"]
    page.screenshot(f"file-390x844-{scheme}")


def test_the_stack_is_replayed_from_the_steps_and_a_cut_is_announced(tab, tmp_path):
    source = "push rax\npush rbx\npop rcx\npush rcx\nadd rcx, 1\npush rcx\npop rdx\npop rsi\npop rdi\npop r8\nnop"
    out = tmp_path / "stack.html"
    out.write_text(view.page(view.trace_document(source, {"rax": 7, "rbx": 9})))
    page = tab()
    page.page.goto(out.as_uri())
    shown = ViewOnPage(page.page.locator(".quorvel-view.qv-mounted"))
    words = shown.root.locator(".qv-stack-words .qv-hex")
    shown.root.focus()
    stepper = quorvel_lab.Stepper(source, {"rax": 7, "rbx": 9})
    expected = []
    while stepper.step() is not None:
        shown.press("ArrowRight")
        expected.append([f"0x{word:016x}" for word in stepper.stack])
        assert words.all_inner_texts() == expected[-1]
    assert expected[1] == ["0x0000000000000009", "0x0000000000000007"] and expected[-1] == []
    assert shown.root.locator(".qv-stack-note").inner_text() == "empty: the program popped 1 word more than it pushed"
    shown.press("ArrowLeft", 6)
    assert words.all_inner_texts() == expected[-7]

    spin = "spin:\n  add rax, 1\n  jmp spin"
    out.write_text(view.page(view.document(spin, trace=quorvel_lab.trace(spin, max_steps=25), limit=10)))
    page.page.goto(out.as_uri())
    assert page.page.locator(".qv-notice").inner_text() == (
        "This run has 25 steps; the page holds the first 5 and the last 5. Steps 6 to 20 are left out.")
    shown.root.focus()
    shown.press("ArrowRight", 6)
    assert shown.position().startswith("after step 21 of 25")
    assert shown.register("rax") == "11" and shown.changed() == []


def test_views_in_an_executed_notebook_do_not_interfere(tab, tmp_path, monkeypatch):
    nbformat = pytest.importorskip("nbformat")
    pytest.importorskip("nbconvert")
    from nbconvert import HTMLExporter
    from nbconvert.preprocessors import ExecutePreprocessor

    notebook = nbformat.v4.new_notebook(cells=[
        nbformat.v4.new_code_cell("%load_ext quorvel_lab"),
        nbformat.v4.new_code_cell("%%quorvel --reg rcx=3 --trace\nmov rax, 1\nnext:\n  mul rcx\n  dec rcx\n  jne next"),
        nbformat.v4.new_code_cell("import quorvel_lab\nquorvel_lab.trace('mov rax, 7\\nadd rax, 1')"),
    ])
    # The kernel runs in another directory: it must import the modules under test.
    tested = [Path(quorvel.__file__).resolve().parent, Path(quorvel_lab.__file__).resolve().parent.parent]
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([*map(str, tested), os.environ.get("PYTHONPATH", "")]))
    ExecutePreprocessor(timeout=300, kernel_name="python3").preprocess(notebook, {"metadata": {"path": str(tmp_path)}})
    outputs = [cell.outputs[0].data for cell in notebook.cells[1:]]
    assert outputs[0]["text/plain"].startswith("step  stmt  line")
    body, _ = HTMLExporter(template_name="basic").from_notebook_node(notebook)
    out = tmp_path / "notebook.html"
    out.write_text(f'<!DOCTYPE html><html><head><meta charset="utf-8"></head><body>{body}</body></html>')

    page = tab()
    page.page.goto(out.as_uri())
    first, second = (ViewOnPage(root) for root in page.page.locator(".quorvel-view.qv-mounted").all())
    first.root.focus()
    first.press("ArrowRight", 3)
    assert first.register("rax") == "3" and first.position().startswith("after step 3 of 10")
    assert second.position().startswith("before the first step of 2")
    second.root.focus()
    second.press("End")
    assert second.register("rax") == "8" and first.register("rax") == "3"
    assert page.page.evaluate("Object.keys(window).filter(name => /quorvel/i.test(name))") == ["QuorvelView"]
    page.screenshot("notebook")
    assert page.requests == [out.as_uri()]


@pytest.fixture(scope="module")
def server():
    pytest.importorskip("aiohttp", reason="the playground needs the serve extra (aiohttp)")
    from test_serve import start_server, stop_server

    server = start_server("--workers", "2")
    yield server
    stop_server(server)


def test_edit_check_run_trace_and_share(tab, server):
    page = tab()
    browser_page = page.page
    browser_page.goto(server.url)
    assert browser_page.url == server.base + "/"  # the token leaves the address bar
    browser_page.locator(".pg-diagnostics li").first.wait_for()

    editor = browser_page.locator("#pg-source")
    editor.fill("")
    checks_before = sum(url.endswith("/api/check") for url in page.requests)
    typed = "mov rax, 5\npush rax\nfoo rax\n"
    editor.press_sequentially(typed)
    browser_page.locator('.pg-gutter [data-line="3"].pg-error').wait_for()
    assert browser_page.locator(".pg-diagnostics li").all_inner_texts() == ["line 3: error: Unknown instruction: foo"]
    # Checked as typed, but not at every key.
    assert 0 < sum(url.endswith("/api/check") for url in page.requests) - checks_before < len(typed) / 2

    editor.fill(FACTORIAL)
    browser_page.locator("#pg-reg-rcx").fill("5")
    browser_page.locator(".pg-diagnostics li.pg-ok").wait_for()
    browser_page.locator("#pg-run").click()
    assert browser_page.locator(".pg-rax").inner_text() == "rax = 120"

    browser_page.locator("#pg-trace").click()
    shown = ViewOnPage(browser_page.locator(".pg-view .quorvel-view.qv-mounted"))
    shown.root.wait_for()
    shown.press("ArrowRight", 3)  # mov, mul, dec
    assert shown.register("rax") == "5" and shown.register("rcx") == "4"
    shown.press("ArrowLeft")
    assert shown.register("rcx") == "5" and shown.changed() == ["rax"]
    shown.root.locator(".qv-slider").fill("16")
    assert shown.position().startswith("after step 16 of 16")
    assert shown.register("rax") == "120"
    page.screenshot("playground")

    browser_page.locator("#pg-share").click()
    link = browser_page.locator("#pg-share-link").input_value()
    assert link.startswith(server.base + "/#program=") and "token" not in link
    shared = tab()
    shared.page.context.add_cookies(page.context.cookies())
    shared.page.goto(link)
    assert shared.page.locator("#pg-source").input_value() == FACTORIAL
    assert shared.page.locator("#pg-reg-rcx").input_value() == "5"
    shared.page.locator(".pg-diagnostics li.pg-ok").wait_for()

    for each in (page, shared):
        assert each.requests and all(url.startswith(server.base + "/") for url in each.requests)
