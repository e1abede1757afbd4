"""Regenerate docs/view.png, the README's picture of the trace view.

    python docs/screenshot_view.py

Traces examples/gcd.s into a page, opens it in headless Chromium (Debian's
chromium, driven by Playwright), steps to the middle of the first round of
Euclid's loop with a breakpoint set, and saves the view at 1280x800.
"""

from __future__ import annotations

import shutil
import sys
import tempfile
from pathlib import Path

from playwright.sync_api import sync_playwright

from quorvel_lab import view

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "docs" / "view.png"


def main() -> int:
    executable = shutil.which("chromium") or shutil.which("chromium-browser")
    if executable is None:
        print("screenshot_view.py: no chromium (apt-get install chromium)", file=sys.stderr)
        return 1
    source = (ROOT / "examples" / "gcd.s").read_text()
    page_text = view.page(view.trace_document(source, {"rax": 1071, "rbx": 462}, title="examples/gcd.s"))
    lines = source.splitlines()
    pop_rax = next(number for number, text in enumerate(lines, 1) if text.strip().startswith("pop rax"))
    with tempfile.TemporaryDirectory() as directory, sync_playwright() as playwright:
        path = Path(directory) / "gcd.html"
        path.write_text(page_text, encoding="utf-8")
        browser = playwright.chromium.launch(executable_path=executable, args=["--no-sandbox"])
        page = browser.new_page(viewport={"width": 1280, "height": 800}, color_scheme="light")
        page.goto(path.as_uri())
        root = page.locator(".quorvel-view")
        root.locator(f'tr[data-line="{pop_rax}"] .qv-bp').click()
        root.focus()
        for _ in range(6):  # cmp, je, xor, div, push rbx, push rdx
            root.press("ArrowRight")
        root.screenshot(path=str(OUT))
        browser.close()
    print(f"wrote {OUT.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
