#!/usr/bin/env python3
"""vpsim fleet on a pilot sample, its page in a real browser:
   python3 tests/preview/fleet_preview.py VPSIM SOURCE_DIR

Twenty collections are made as collect-machine.cmd writes them (registry\\*.reg, drive_c.listing, the
driver packages' .inf files, machine.ini with [collection]) from the demo, clean and user-writable
machines: fully installed, with a file in use, partly installed, with another vendor's card and a
reader of its own, with an ordinary user's Package Cache, Windows Installer busy, run as LocalSystem,
clean, a driver package that Windows refuses to uninstall, and two that cannot be read. vpsim fleet previews them on two processes; its JSON form must
agree with each machine's own run (exit-code.txt, changes.json) and with what the sample is known to
hold; headless Chromium (Debian: chromium) renders fleet.html, whose rows must be the JSON form's.
The same sample on one process is timed beside it.
"""
import json, os, shutil, subprocess, sys, time, urllib.parse
from html.parser import HTMLParser

import browser_page

EXTRA_READER = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\Readers\\Corvanta VESPARIO 7"
OTHER_CARD = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\Halvorsen ID 2"
USER_SID = "S-1-5-21-3623811015-3361044348-30300820-1002"


def collect(scenario, out, computer, ini_extra="", registry_extra="", drop_keys=(), drop_files=(), lock=True):
    """The scenario folder as collect-machine.cmd would have collected that machine."""
    os.makedirs(os.path.join(out, "registry"))
    lines = []
    for line in open(os.path.join(scenario, "machine.ini"), encoding="utf-8").read().splitlines():
        if line.startswith("locked=") and not lock:
            continue
        lines.append(line)
    ini = "\n".join(lines) + "\n[collection]\ncomputer=%s\ndate=2026-11-%02d 09:30\n" % (computer, int(computer[-2:]))
    open(os.path.join(out, "machine.ini"), "w", encoding="utf-8").write(ini + ini_extra)
    # The registry in one export; keys dropped whole (with the keys below them).
    kept, skipping = [], False
    for line in open(os.path.join(scenario, "registry.reg"), encoding="utf-8").read().splitlines():
        if line.startswith("["):
            skipping = any(line[1:-1] == key or line[1:-1].startswith(key + "\\") for key in drop_keys)
        if not skipping:
            kept.append(line)
    open(os.path.join(out, "registry", "01-machine.reg"), "w", encoding="utf-8").write(
        "\n".join(kept) + "\n" + registry_extra)
    # drive_c: the .inf files copied, everything else listed as ATTRIBUTES|SIZE|PATH.
    listing, root = [], os.path.join(scenario, "drive_c")
    for folder, dirs, files in os.walk(root):
        dirs.sort()
        relative = os.path.relpath(folder, root)
        windows = "C:" if relative == "." else "C:\\" + relative.replace("/", "\\")
        if any(windows.lower().startswith(drop.lower()) for drop in drop_files):
            continue
        if relative != ".":
            listing.append("d----------||" + windows)
        for name in sorted(files):
            path = os.path.join(folder, name)
            if os.path.basename(folder).lower() == "inf":
                os.makedirs(os.path.join(out, "drive_c", relative), exist_ok=True)
                shutil.copy(path, os.path.join(out, "drive_c", relative, name))
            else:
                listing.append("--a--------|%d|%s\\%s" % (os.path.getsize(path), windows, name))
    open(os.path.join(out, "drive_c.listing"), "w", encoding="utf-8", newline="\r\n").write("\n".join(listing) + "\n")


def make_sample(source, sample):
    demo, clean, writable = (os.path.join(source, "machines", name) for name in ("demo", "clean", "user-writable"))
    made = {}

    def add(name, scenario, **changes):
        collect(scenario, os.path.join(sample, name), os.path.basename(name), **changes)
        made[name] = scenario

    for number in range(1, 6):  # the usual machine: fully installed, nothing held open
        add("PC-%02d" % number, demo, lock=False)
    add("PC-06", demo, lock=False, ini_extra="[faults]\nfault=SetupUninstallOEMInfW:1:5\n")  # a package refused: 3
    add("PC-07", demo)  # the cryptographic provider in use
    add("PC-08", demo)
    add("PC-09", demo, lock=False,  # partly installed: no settings, no Start menu folder
        drop_keys=("HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanta LLP.", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Corvanta LLP."),
        drop_files=("C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs",))
    add("PC-10", demo, lock=False,  # another vendor's card beside a reader of the product's own
        registry_extra="\n[%s]\n\"ATR\"=hex:3b,8c,80,01\n\n[%s]\n\"Device\"=\"VESPARIO 7\"\n" % (OTHER_CARD, EXTRA_READER))
    add("PC-11", writable)  # an ordinary user's folders in ProgramData
    add("PC-12", demo, lock=False,  # an ordinary user made the Package Cache
        ini_extra="[security]\nfile=C:\\ProgramData\\Package Cache sddl=O:%s\n" % USER_SID)
    add("PC-13", demo, ini_extra="[installer]\nbusy=yes\n")  # Windows Installer busy: 1618
    # LocalSystem's run, in a folder of a site: a folder that is no collection is looked through, and
    # the link to the machine's page has its blank and '#' encoded.
    add("site #2/PC-14", demo, lock=False, ini_extra="[run]\naccount=localsystem\n")
    for number in range(15, 19):
        add("PC-%02d" % number, clean)
    add("PC-19", clean, ini_extra="[os]\nversion=ten\n")  # cannot be read: a bad machine.ini
    add("PC-20", clean)
    open(os.path.join(sample, "PC-20", "registry", "02-cut.reg"), "w").write("[HKEY_LOCAL_MACHINE\\SOFTWARE\n")
    return made


class Page(HTMLParser):
    """fleet.html's tables as lists of rows (cells' text, links, the row's data- attributes)."""

    def __init__(self):
        super().__init__()
        self.tables, self.text, self.row, self.paragraphs = [], None, None, []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "table":
            self.tables.append([])
        elif tag == "tr":
            self.row = {"cells": [], "attrs": attrs, "links": []}
        elif tag in ("td", "th", "p"):
            self.text = ""
        elif tag == "a" and self.row is not None:
            self.row["links"].append(attrs.get("href"))
        elif tag == "br" and self.text is not None:
            self.text += "\n"

    def handle_data(self, data):
        if self.text is not None:
            self.text += data

    def handle_endtag(self, tag):
        if tag == "td":
            self.row["cells"].append(self.text)
        elif tag == "tr" and self.row["cells"]:
            self.tables[-1].append(self.row)
        elif tag == "p":
            self.paragraphs.append(self.text)
        if tag in ("td", "th", "p"):
            self.text = None


def fleet(vpsim, sample, out, jobs, arguments):
    start = time.monotonic()
    done = subprocess.run([vpsim, "fleet", sample, "--out", out, "--jobs", str(jobs), "--"] + arguments,
                          capture_output=True, text=True)
    return done, time.monotonic() - start


def problems_of(vpsim, source, browser, work):
    sample, out, out_one = (os.path.join(work, name) for name in ("sample", "out", "out-one"))
    made = make_sample(source, sample)
    arguments = open(os.path.join(source, "machines", "demo", "expected", "arguments.txt")).read().split()
    done, two = fleet(vpsim, sample, out, 2, arguments)
    problems = [] if done.returncode == 0 else ["vpsim fleet ended with %d: %s" % (done.returncode, done.stderr)]
    _, one = fleet(vpsim, sample, out_one, 1, arguments)
    print("   twenty previews: %.2f s on two processes, %.2f s on one" % (two, one))
    fleet_json = json.load(open(os.path.join(out, "fleet.json"), encoding="utf-8"))
    machines = {m["folder"]: m for m in fleet_json["machines"]}
    if sorted(machines) != sorted(made):
        return problems + ["the machines are %r, not the sample's" % sorted(machines)], 0
    if json.load(open(os.path.join(out_one, "fleet.json"), encoding="utf-8")) != fleet_json:
        problems.append("one process gives another fleet.json than two")

    # Each row against the machine's own run and page.
    counts = {"keys_removed": "keys_removed", "values_removed": "values_removed", "files_removed": "files_removed",
              "deleted_at_restart": "deleted_at_restart"}
    for folder, m in machines.items():
        name = os.path.basename(folder)
        if name in ("PC-19", "PC-20"):
            if m["error"] is None or m["exit_code"] is not None or not m["error"].startswith("cannot be read: "):
                problems.append("%s cannot be read, yet its row is %r" % (name, m))
            continue
        if m["error"] is not None:
            problems.append("%s: %s" % (name, m["error"]))
            continue
        run = os.path.join(out, folder, "run")
        exact = int(open(os.path.join(run, "exit-code.txt")).read())
        changes = json.load(open(os.path.join(out, folder, "changes.json"), encoding="utf-8"))
        if m["exit_code"] != exact or changes["exit_code"] != exact:
            problems.append("%s: exit code %r, its run's exit-code.txt says %d" % (name, m["exit_code"], exact))
        for count, kind in counts.items():
            if m[count] != len(changes[kind]):
                problems.append("%s: %s %d, its changes.json lists %d" % (name, count, m[count], len(changes[kind])))
        logs = [os.path.join(folder_, f) for folder_, _, files in os.walk(os.path.join(run, "drive_c"))
                for f in files if f.lower() == "vpremovaltool.txt" and os.path.basename(folder_).lower() == "temp"]
        not_removed = sum(line.lstrip().startswith(("Not removed: ", "Not removed ("))
                          for line in open(logs[0], encoding="latin-1").read().splitlines()) if logs else -1
        if m["not_removed"] != not_removed:
            problems.append("%s: not_removed %r, its run's log has %d such lines" % (name, m["not_removed"], not_removed))
        if m["name"] != name or m["collected"] != "2026-11-%s 09:30" % name[-2:]:
            problems.append("%s: named %r, collected %r" % (name, m["name"], m["collected"]))
        if not os.path.exists(os.path.join(out, m["page"])):
            problems.append("%s: no page %s" % (name, m["page"]))
    wanted_codes = {"PC-%02d" % n: 0 for n in range(1, 19)}
    wanted_codes.update({"PC-06": 3, "PC-07": 1, "PC-08": 1, "PC-11": 1, "PC-12": 3, "PC-13": 1618})
    codes = {m["name"]: m["exit_code"] for m in machines.values() if m["exit_code"] is not None}
    if codes != wanted_codes:
        problems.append("exit codes %r, not %r" % (codes, wanted_codes))
    by_code = {c["exit_code"]: c["machines"] for c in fleet_json["by_exit_code"]}
    if by_code != {0: 12, 1: 3, 3: 2, 1618: 1, None: 2}:
        problems.append("machines by exit code: %r" % by_code)

    # The changes on only some machines: the rarest first, none that all previewed machines share.
    uncommon = fleet_json["changes_on_some_machines"]
    sizes = [len(c["machines"]) for c in uncommon]
    if sizes != sorted(sizes) or max(sizes) >= 18:
        problems.append("the uncommon changes are not fewest machines first, or hold a shared one: %r" % sizes)
    found = [c for c in uncommon if c["item"] == EXTRA_READER]
    if [c["machines"] for c in found] != [["PC-10"]] or found[0]["change"] != "Key removed":
        problems.append("the reader of PC-10 alone is listed as %r" % found)
    if any(c["item"].startswith(OTHER_CARD) for c in uncommon):
        problems.append("another vendor's card is listed as removed")
    if machines["PC-06"]["not_removed"] != 1:
        problems.append("PC-06's refused driver package is not counted as not removed")
    if machines["PC-12"]["not_removed"] != 2:
        problems.append("PC-12's cached packages in the user's Package Cache are not counted as not removed")
    restart = [c for c in uncommon if c["item"] == "C:\\Windows\\system32\\vpCSP.dll"]
    if [c["machines"] for c in restart] != [["PC-07", "PC-08"]]:
        problems.append("the provider in use is deleted at the restart on %r" % restart)

    # The page in the browser, row for row.
    page, png = os.path.join(out, "fleet.html"), os.path.join(work, "fleet.png")
    rendered = Page()
    problems += browser_page.render(browser, page, png, work, rendered)
    if len(rendered.tables) != 3:
        return problems + ["the page has %d tables, not 3" % len(rendered.tables)], 0
    summary, rows, changes = rendered.tables
    shown_codes = [(r["cells"][0], r["cells"][1], int(r["cells"][2])) for r in summary]
    wanted = [("none" if c["exit_code"] is None else str(c["exit_code"]), c["meaning"], c["machines"])
              for c in fleet_json["by_exit_code"]]
    if shown_codes != wanted:
        problems.append("machines by exit code %r, the JSON form has %r" % (shown_codes, wanted))
    for m, r in zip(fleet_json["machines"], rows):
        if r["attrs"].get("data-folder") != m["folder"]:
            problems.append("row %r where the JSON form has %s" % (r["attrs"], m["folder"]))
            continue
        if m["error"]:
            want = [m["name"], m["collected"], "Could not be previewed: " + m["error"]]
        else:
            want = [m["name"], m["collected"], "%d (%s)" % (m["exit_code"], m["exit_code_meaning"])] + \
                   [str(m[k]) for k in ("keys_removed", "values_removed", "files_removed", "deleted_at_restart",
                                        "not_removed")]
            if [urllib.parse.unquote(link) for link in r["links"]] != [m["page"]] or " " in r["links"][0]:
                problems.append("%s links to %r, not %s" % (m["folder"], r["links"], m["page"]))
        if r["cells"] != want:
            problems.append("%s: the row is %r, the JSON form says %r" % (m["folder"], r["cells"], want))
    if len(rows) != len(fleet_json["machines"]):
        problems.append("%d machine rows, the JSON form has %d" % (len(rows), len(fleet_json["machines"])))
    shown = [(r["cells"][0], r["cells"][1], r["cells"][2].split("\n")) for r in changes]
    if shown != [(c["change"], c["item"], c["machines"]) for c in uncommon]:
        problems.append("the page's changes on only some machines are not the JSON form's")
    if not any("cannot know which files are in use" in p for p in rendered.paragraphs):
        problems.append("the page does not say that a collection cannot know the files in use")
    return problems, len(rows) + len(changes)


if __name__ == "__main__":
    sys.exit(browser_page.main("fleet_preview", "rows", problems_of))
