"""What the preview checks share: a page rendered by headless Chromium, and the check's frame."""
import os, shutil, struct, subprocess, sys, tempfile


def render(browser, page, png, work, parsed):
    """Renders PAGE to a 1280x1600 PNG and feeds its DOM to the parser PARSED; the problems found: no
    such PNG, or a page that needs something beside it."""
    chrome = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + work + "/profile",
              "--window-size=1280,1600"]
    subprocess.run(chrome + ["--screenshot=" + png, "file://" + page], capture_output=True, timeout=120)
    parsed.feed(subprocess.run(chrome + ["--dump-dom", "file://" + page], capture_output=True, timeout=120,
                               text=True).stdout)
    shot = open(png, "rb").read() if os.path.exists(png) else b""
    problems = [] if shot[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", shot[16:24]) == (1280, 1600) \
        else ["no 1280x1600 PNG was rendered"]
    raw = open(page, encoding="utf-8").read().lower()
    return problems + ["the page holds %r: it must need nothing beside it" % needle
                       for needle in ("<script", "<link", "src=", "url(", "@import", "http:", "https:") if needle in raw]


def main(name, counted, problems_of):
    """Runs PROBLEMS_OF(vpsim, source_dir, browser, work) -> (problems, count) in a folder of its own and
    prints them with one PASS or FAIL line naming the count (COUNTED, e.g. "rows"); the exit code."""
    if len(sys.argv) != 3:
        return 2
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if not browser:
        print("FAIL %s: chromium is not installed (Debian: chromium)" % name)
        return 1
    work = tempfile.mkdtemp(prefix="vp-%s-" % name)
    try:
        problems, count = problems_of(sys.argv[1], sys.argv[2], browser, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for problem in problems:
        print("   " + problem)
    print("%s %s (%d %s, rendered by %s)" % ("FAIL" if problems else "PASS", name, count, counted, browser))
    return 1 if problems else 0
