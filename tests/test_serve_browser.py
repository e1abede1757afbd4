"""The playground page in headless Chromium, against a running ``quorvel serve``."""

import pytest

pytest.importorskip("aiohttp", reason="the playground needs the serve extra (aiohttp)")

from test_serve import start_server, stop_server  # noqa: E402
from test_view_browser import ViewOnPage, browser, tab  # noqa: E402, F401

FACTORIAL = "mov rax, 1\nnext:\n  mul rcx\n  dec rcx\n  jne next\n"


@pytest.fixture(scope="module")
def server():
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
