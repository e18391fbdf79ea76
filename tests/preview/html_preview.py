#!/usr/bin/env python3
"""vpsim diff --html in a real browser.

    python3 tests/preview/html_preview.py VPSIM SOURCE_DIR

Runs the tool on the demo machine with the bundle's upgrade code, writes the preview as JSON, as text
and as a page, and has headless Chromium (Debian: chromium) render the page to a PNG and dump its
DOM. The page must load nothing and run nothing; its summary must count each list of the JSON form;
under each list's heading, across the stages, its rows must be exactly that list's entries; the
exit code and the profile lines must be the text form's; chosen entries must stand under their
stage, and a component key shared with another product must show the value it keeps.
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib
from collections import Counter
from html.parser import HTMLParser

STAGES = ["Driver packages", "Smart cards", "The maker's settings", "Installer registration",
          "Shortcuts, binaries and folders", "Caches", "Deletions at the next restart", "RunOnce",
          "The run's log"]

# One entry of each kind of place, and the stage it must be shown under.
STAGE_OF = {
    "C:\\windows\\inf\\oem3.inf": "Driver packages",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers": "Smart cards",
    "HKEY_CURRENT_USER\\SOFTWARE\\Corvanta LLP.": "The maker's settings",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs": "Installer registration",
    "C:\\windows\\system32\\Corvanta LLP\\": "Shortcuts, binaries and folders",
    "C:\\ProgramData\\Corvanta LLP\\": "Caches",
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager": "Deletions at the next restart",
    "C:\\Windows\\system32\\vpCSP.dll": "Deletions at the next restart",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce": "RunOnce",
    "C:\\windows\\temp\\vpRemovalTool.txt": "The run's log",
}
SHARED_COMPONENT = ("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\"
                    "S-1-5-18\\Components\\4A6EC43FDD5278C4DB5F08A70931B23E",
                    "4869547C1818A50429AADD37FD07317A = C:\\WINDOWS\\system32\\orbisrt140.dll")


class Page(HTMLParser):
    """The rendered DOM: its paragraphs, the summary's rows by data-kind, and every other table row
    with the stage (h3) and list (h4) headings it stands under."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.paragraphs, self.stages, self.summary, self.rows = [], [], {}, []
        self.heading = None
        self.text = self.cells = self.kind = None
        self.header_row = False

    def handle_starttag(self, tag, attrs):
        if tag in ("p", "h3", "h4", "td", "th"):
            self.text = ""
        if tag == "tr":
            self.cells, self.kind, self.header_row = [], dict(attrs).get("data-kind"), False
        if tag == "th":
            self.header_row = True
        if tag == "br" and self.text is not None:
            self.text += "\n"

    def handle_data(self, data):
        if self.text is not None:
            self.text += data

    def handle_endtag(self, tag):
        if tag == "p":
            self.paragraphs.append(self.text)
        elif tag == "h3":
            self.stages.append(self.text.split(". ", 1)[1])
        elif tag == "h4":
            self.heading = self.text.rsplit(" (", 1)[0]
        elif tag in ("td", "th"):
            self.cells.append(self.text)
        elif tag == "tr" and self.kind:
            self.summary[self.kind] = self.cells
        elif tag == "tr" and not self.header_row:
            self.rows.append((self.stages[-1], self.heading, tuple(self.cells)))
        if tag in ("p", "h3", "h4", "td", "th"):
            self.text = None


def cells_of(kind, entry):
    """The row cells an entry of a JSON list must have."""
    if isinstance(entry, str):
        return (entry,)
    if "below" in entry:
        return (entry["path"], str(entry["below"]))
    if "before" in entry:
        return (entry.get("key", entry.get("path")), entry["before"], entry["after"])
    row = (entry["key"], entry["name"] or "(default)")
    return row + (entry["data"],) if "data" in entry else row


def png_problems(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return ["the screenshot is no PNG"]
    width, height = struct.unpack(">II", data[16:24])
    pixels, at = b"", 8
    while at < len(data):
        length, chunk = struct.unpack(">I4s", data[at:at + 8])
        if chunk == b"IDAT":
            pixels += data[at + 8:at + 8 + length]
        at += 12 + length
    colours = len(set(zlib.decompress(pixels)))
    if (width, height) != (1280, 1600) or colours < 16:
        return ["the screenshot is %dx%d with %d byte values: nothing rendered" % (width, height, colours)]
    return []


def main(vpsim, source_dir):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if not browser:
        print("FAIL html_preview: chromium is not installed (Debian: chromium)")
        return 1
    demo = os.path.join(source_dir, "machines", "demo")
    arguments = open(os.path.join(demo, "expected", "arguments.txt")).read().split()
    work = tempfile.mkdtemp(prefix="vp-html-")
    try:
        after, page = os.path.join(work, "after"), os.path.join(work, "preview.html")
        subprocess.run([vpsim, "run", demo, "--out", after, "--"] + arguments, stdout=subprocess.DEVNULL)
        changes = json.loads(subprocess.run([vpsim, "diff", "--json", demo, after], capture_output=True,
                                            check=True).stdout)
        text = subprocess.run([vpsim, "diff", "--html", page, demo, after], capture_output=True, check=True,
                              text=True).stdout.splitlines()
        chrome = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                  "--user-data-dir=" + os.path.join(work, "profile"), "--window-size=1280,1600"]
        url = "file://" + page
        subprocess.run(chrome + ["--screenshot=" + os.path.join(work, "preview.png"), url],
                       capture_output=True, timeout=120)
        dom = subprocess.run(chrome + ["--dump-dom", url], capture_output=True, timeout=120, text=True).stdout

        problems = png_problems(os.path.join(work, "preview.png"))
        raw = open(page, encoding="utf-8").read().lower()
        problems += ["the page holds %r: it must need nothing beside it" % needle
                     for needle in ("<script", "<link", "src=", "url(", "@import", "http:", "https:") if needle in raw]
        rendered = Page()
        rendered.feed(dom)
        if rendered.paragraphs[:2] != [text[0], text[-1]]:
            problems.append("profile and exit code lines %r, the text form says %r" % (rendered.paragraphs[:2],
                                                                                     [text[0], text[-1]]))
        if len(rendered.stages) != len(STAGES) or not all(map(str.startswith, rendered.stages, STAGES)):
            problems.append("the stages are %r, not those of the run in its order" % rendered.stages)
        for kind, entries in changes.items():
            if not isinstance(entries, list):
                continue
            label, count = rendered.summary.get(kind, ("(missing)", "-1"))
            if int(count) != len(entries):
                problems.append("summary of %s: %s, the JSON form has %d" % (kind, count, len(entries)))
            shown = Counter(cells for _, heading, cells in rendered.rows if heading == label)
            wanted = Counter(cells_of(kind, entry) for entry in entries)
            for cells in (wanted - shown):
                problems.append("%s: no row %r" % (kind, cells))
            for cells in (shown - wanted):
                problems.append("%s: a row %r that the JSON form lacks" % (kind, cells))
        for path, stage in STAGE_OF.items():
            found = {s.split(":")[0] for s, _, cells in rendered.rows if cells[0] == path}
            if not found or any(not s.startswith(stage) for s in found):
                problems.append("%s is shown under %s, not %s" % (path, sorted(found) or "no stage", stage))
        kept = [cells for _, heading, cells in rendered.rows if heading.startswith("Keys that lost values")]
        if SHARED_COMPONENT not in kept:
            problems.append("the shared component key is not shown with the value it keeps: %r" % kept)
        for problem in problems:
            print("   " + problem)
        print("%s html_preview (%d rows of changes, rendered by %s)" % ("FAIL" if problems else "PASS",
                                                                      len(rendered.rows), os.path.basename(browser)))
        return 1 if problems else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]) if len(sys.argv) == 3 else 2)
