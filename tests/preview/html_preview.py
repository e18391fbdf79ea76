#!/usr/bin/env python3
"""vpsim diff --html in a real browser:  python3 tests/preview/html_preview.py VPSIM SOURCE_DIR

The demo machine's preview (with the bundle's upgrade code) as JSON, text and page; headless Chromium
(Debian: chromium) renders the page to a PNG and dumps its DOM. The page must load and run nothing;
its summary must count each list of the JSON form; the rows under each list's heading, across the
stages, must be exactly that list's entries (security changes with their words); its profile and exit
code lines must be the text form's; chosen entries must stand under their stage; a shared component key
must show the value it keeps. The page must name the machine, its collection's date and account and the
tool's version, say that a collection cannot know the files in use, list the bundle's cached uninstaller
as kept on purpose with the log's reason and its lock-down in words, and list the RunOnce entry once.
"""
import json, os, shutil, subprocess, sys
from collections import Counter
from html.parser import HTMLParser

import browser_page

STAGES = ["Driver packages", "Smart cards", "The maker's settings", "Installer registration",
          "Shortcuts, binaries and folders", "Caches", "Deletions at the next restart", "RunOnce", "The run's log"]
STAGE_OF = {
    "C:\\windows\\inf\\oem3.inf": "Driver packages",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers": "Smart cards",
    "HKEY_CURRENT_USER\\SOFTWARE\\Corvanta LLP.": "The maker's settings",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs": "Installer registration",
    "C:\\windows\\system32\\Corvanta LLP\\": "Shortcuts, binaries and folders",
    "C:\\ProgramData\\Corvanta LLP\\": "Caches",
    "C:\\Windows\\system32\\vpCSP.dll": "Deletions at the next restart",
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager": "Deletions at the next restart",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce": "RunOnce",
    "C:\\windows\\temp\\vpRemovalTool.txt": "The run's log",
}
STAGE_OF_READERS = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers"
KEPT_CACHE = "C:\\ProgramData\\Package Cache\\{D31C5999-DC0F-4449-9558-FC927AD644A2}"
SHARED_COMPONENT = ("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\"
                    "S-1-5-18\\Components\\4A6EC43FDD5278C4DB5F08A70931B23E",
                    "4869547C1818A50429AADD37FD07317A = C:\\WINDOWS\\system32\\orbisrt140.dll")


class Page(HTMLParser):
    """The DOM's paragraphs, facts (dt: dd), stage headings, summary rows by data-kind, the rows of the
    kept and left-alone table, and the other rows of cells with the stage (h3) and list (h4) they stand
    under."""

    def __init__(self):
        super().__init__()
        self.paragraphs, self.stages, self.summary, self.rows, self.notes, self.facts = [], [], {}, [], [], {}
        self.profiles, self.profile_rows = [], []
        self.text = self.cells = self.kind = self.heading = self.section = self.term = None

    def handle_starttag(self, tag, attrs):
        if tag in ("p", "h2", "h3", "h4", "td", "th", "dt", "dd"):
            self.text = ""
        elif tag == "tr":
            self.cells, self.kind = [], dict(attrs).get("data-kind")
        elif tag == "br" and self.text is not None:
            self.text += "\n"

    def handle_data(self, data):
        if self.text is not None:
            self.text += data

    def handle_endtag(self, tag):
        if tag == "p":
            self.paragraphs.append(self.text)
        elif tag == "h2":
            self.section = self.text
        elif tag == "dt":
            self.term = self.text
        elif tag == "dd":
            self.facts[self.term] = self.text
        elif tag == "h3" and self.section.startswith("Changes in users' profiles"):
            self.profiles.append(self.text)
        elif tag == "h3":
            self.stages.append(self.text.split(". ", 1)[1])
        elif tag == "h4":
            self.heading = self.text.rsplit(" (", 1)[0]
        elif tag == "td":
            self.cells.append(self.text)
        elif tag == "tr" and self.kind:
            self.summary[self.kind] = self.cells
        elif tag == "tr" and self.cells and self.section.startswith("Changes in users' profiles"):
            self.profile_rows.append((self.profiles[-1], self.heading, tuple(self.cells)))
        elif tag == "tr" and self.cells and self.section.startswith("Kept on purpose"):
            self.notes.append(tuple(self.cells))
        elif tag == "tr" and self.cells:
            self.rows.append((self.stages[-1], self.heading, tuple(self.cells)))
        if tag in ("p", "h2", "h3", "h4", "td", "th", "dt", "dd"):
            self.text = None


def cells_of(entry):
    """The row cells an entry of a JSON list must have."""
    if isinstance(entry, str):
        return (entry,)
    if "below" in entry:
        return (entry["path"], str(entry["below"]))
    if "before" in entry:
        return (entry.get("key", entry.get("path")), entry["before"], entry["after"], entry["in_words"])
    return (entry["key"], entry["name"] or "(default)") + ((entry["data"],) if "data" in entry else ())


def problems_of(vpsim, source, browser, work):
    """The demo machine as a collection of PC-0042 made by CONTOSO\\admin."""
    demo, after, page, png = (os.path.join(work, name) for name in ("demo", "after", "preview.html", "preview.png"))
    shutil.copytree(os.path.join(source, "machines", "demo"), demo)
    with open(os.path.join(demo, "machine.ini"), "a") as ini:
        ini.write("[user]\nname=CONTOSO\\admin\nsid=S-1-5-21-1-2-3-1001\n"
                  "[collection]\ncomputer=PC-0042\ndate=2026-11-30 09:30\n")
    version = [line.split("VERSION ")[1].split()[0] for line in open(os.path.join(source, "CMakeLists.txt"))
               if line.startswith("project(")][0]
    arguments = open(os.path.join(demo, "expected", "arguments.txt")).read().split()
    subprocess.run([vpsim, "run", demo, "--out", after, "--"] + arguments, stdout=subprocess.DEVNULL)
    changes = json.loads(subprocess.run([vpsim, "diff", "--json", demo, after], capture_output=True).stdout)
    text = subprocess.run([vpsim, "diff", "--html", page, demo, after], capture_output=True, text=True).stdout
    rendered = Page()
    problems = browser_page.render(browser, page, png, work, rendered)
    lines = text.splitlines()
    if rendered.paragraphs[:2] != [lines[0], lines[-1]]:
        problems.append("profile and exit code %r, the text form says %r" % (rendered.paragraphs[:2], [lines[0], lines[-1]]))
    if len(rendered.stages) != len(STAGES) or not all(map(str.startswith, rendered.stages, STAGES)):
        problems.append("the stages are %r, not those of the run in its order" % rendered.stages)
    for kind, entries in changes.items():
        if isinstance(entries, list):
            label, count = rendered.summary.get(kind, ("(missing)", "-1"))
            if int(count) != len(entries):
                problems.append("summary of %s: %s, the JSON form has %d" % (kind, count, len(entries)))
            shown = Counter(cells for _, heading, cells in rendered.rows if heading == label)
            wanted = Counter(cells_of(entry) for entry in entries)
            problems += ["%s: no row %r" % (kind, cells) for cells in wanted - shown]
            problems += ["%s: a row %r that the JSON form lacks" % (kind, cells) for cells in shown - wanted]
    for path, stage in STAGE_OF.items():
        found = {s for s, _, cells in rendered.rows if cells[0] == path}
        if not found or any(not s.startswith(stage) for s in found):
            problems.append("%s is shown under %s, not %s" % (path, sorted(found) or "no stage", stage))
    facts = {"Machine": "PC-0042", "Collected": "2026-11-30 09:30", "Collected as": "CONTOSO\\admin",
             "Tool": "vpRemovalTool.exe " + version, "HKEY_CURRENT_USER of the run": "the profile of CONTOSO\\admin"}
    if rendered.facts != facts:
        problems.append("the page's facts are %r, not %r" % (rendered.facts, facts))
    if not any("cannot know which files are in use" in p for p in rendered.paragraphs):
        problems.append("the page does not say that a collection cannot know the files in use")
    kept = [n for n in rendered.notes if n[0] == "Kept on purpose" and n[1] == KEPT_CACHE]
    if len(kept) != 1 or kept[0][2] != "the bundle's quiet uninstall runs from it" or \
            "It no longer takes permissions" not in kept[0][3]:
        problems.append("the bundle's cached uninstaller is not listed as kept on purpose, locked down: %r" % rendered.notes)
    readers = [cells for _, heading, cells in rendered.rows if cells[0] == STAGE_OF_READERS and heading == "Key security changed"]
    if len(readers) != 1 or "On this key, Local Service may now read, change and delete." not in readers[0][3].split("\n"):
        problems.append("the readers' key security is not given in words: %r" % readers)
    if [heading for _, heading, cells in rendered.rows if cells[0].endswith("\\RunOnce") and cells[1] == "remove"] \
            != ["RunOnce entries written"]:
        problems.append("the RunOnce entry is not listed exactly once")
    if SHARED_COMPONENT not in [cells for _, heading, cells in rendered.rows if heading.startswith("Keys that lost")]:
        problems.append("the shared component key is not shown with the value it keeps")
    return problems, len(rendered.rows)


PROFILE_LISTS = {"keys_removed": "Keys removed", "values_removed": "Values removed", "values_changed": "Values changed",
                 "keys_added": "Keys added", "values_added": "Values added"}


def profile_problems(vpsim, source, browser, work):
    """The machine with several user profiles: each user's hive that changed (two loaded, one a hive file
    the run loaded) is a heading of its SID with the hive named, and exactly the JSON form's rows below."""
    machine, after, page, png = (os.path.join(work, name)
                                 for name in ("profiles", "after-profiles", "profiles.html", "profiles.png"))
    shutil.copytree(os.path.join(source, "machines", "profiles"), machine)
    subprocess.run([vpsim, "run", machine, "--out", after], stdout=subprocess.DEVNULL)
    changes = json.loads(subprocess.run([vpsim, "diff", "--json", machine, after], capture_output=True).stdout)
    subprocess.run([vpsim, "diff", "--html", page, machine, after], capture_output=True)
    rendered = Page()
    problems = browser_page.render(browser, page, png, work, rendered)
    hives = changes["user_profiles"]
    if [(h["hive"].split("\\")[-1], h["loaded"]) for h in hives] != \
            [("S-1-5-21-1004336348-1177238915-682003330-1001", True), ("NTUSER.DAT", False),
             ("S-1-5-21-1004336348-1177238915-682003330-1003", True)]:
        problems.append("the JSON form's hives are %r, not alice's, bob's file and carol's" % hives)
    if rendered.profiles != [h["sid"] for h in hives]:
        problems.append("the page's profiles are %r, the JSON form's %r" % (rendered.profiles, [h["sid"] for h in hives]))
    if rendered.summary.get("user_profiles", ("", "-1"))[1] != str(len(hives)):
        problems.append("the summary counts %r profiles" % (rendered.summary.get("user_profiles"),))
    wanted = Counter((h["sid"], PROFILE_LISTS[kind], cells_of(e)) for h in hives for kind in PROFILE_LISTS for e in h[kind])
    shown = Counter(rendered.profile_rows)
    problems += ["profiles: no row %r" % (row,) for row in wanted - shown]
    problems += ["profiles: a row %r that the JSON form lacks" % (row,) for row in shown - wanted]
    if not wanted or any(h["keys_removed"] != [{"path": "SOFTWARE\\Corvanta LLP.", "below": 2}] for h in hives):
        problems.append("not every profile lists the maker's key removed: %r" % hives)
    for h in hives:
        title = "%s (%s): " % (h["sid"], h["folder"]) + \
            ("the hive loaded as " + h["hive"] if h["loaded"] else "the hive file %s, not loaded" % h["hive"])
        if title not in rendered.paragraphs:
            problems.append("the page does not name the hive: %r" % title)
    for kind in ("keys_removed", "files_changed"):
        if any("S-1-5-21" in json.dumps(e) or "NTUSER" in json.dumps(e) for e in changes[kind]):
            problems.append("%s still lists a user's hive: %r" % (kind, changes[kind]))
    return problems


def every_problem(vpsim, source, browser, work):
    problems, rows = problems_of(vpsim, source, browser, work)
    return problems + profile_problems(vpsim, source, browser, work), rows


if __name__ == "__main__":
    sys.exit(browser_page.main("html_preview", "rows of changes", every_problem))
